// Folder names under one parent compare case-insensitively, as Outlook
// compares them: "Mail" and "mail" name the same folder. The rule is the
// store's own (pst/store/folder.h), so the automation surface never finds a
// folder the store would not refuse as a duplicate, nor the other way round.
#pragma once

#include <string>

namespace qm::outlook {

// REQUIRES: both names are valid UTF-8 (folder names always are).
bool FolderNamesEqual(const std::string& a, const std::string& b);
// A key equal for exactly the names FolderNamesEqual finds equal.
std::u16string FolderNameKey(const std::string& name);

}  // namespace qm::outlook
