// The folder part of a path: everything up to and including its last
// backslash. Only the backslash separates; a forward slash is an ordinary
// character here (Windows-form paths; POSIX paths go through relative_folder).
#pragma once

#include <string>

namespace qm::convert {

// "C:\Mail\2009\a.msg" -> "C:\Mail\2009\", "a.msg" -> "", "C:\Mail\" -> itself.
// REQUIRES: path is not empty; an empty path throws NumberedError 9
// (splitting it yields no piece to take the last component from).
std::string GetFolderPath(const std::string& path);

}  // namespace qm::convert
