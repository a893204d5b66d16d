// BrowseFolder: the modal folder picker. Returns the chosen folder's path in
// the platform's form (exact file-name bytes), or "" when the user cancelled
// or anything failed; it never raises. No separator is added or removed: the
// root comes back as "/" (or "C:\"), any other folder without a final one.
#pragma once

#include <string>

class QWidget;

namespace qm::shell {

// REQUIRES: a QApplication exists and this is its thread.
std::string BrowseFolder(QWidget* owner, const std::string& title);

}  // namespace qm::shell
