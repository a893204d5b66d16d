// Folder names under one parent compare case-insensitively, as Outlook
// compares them: "Mail" and "mail" name the same folder.
#pragma once

#include <string>

namespace qm::outlook {

// Simple (one-to-one) lower-case mapping for the scripts whose case pairs are
// regular: Basic Latin, Latin-1, Latin Extended-A, Greek, Cyrillic and the
// fullwidth Latin letters. Other characters compare exactly.
char32_t FoldCase(char32_t c);

// REQUIRES: both names are valid UTF-8 (folder names always are).
bool FolderNamesEqual(const std::string& a, const std::string& b);

}  // namespace qm::outlook
