// Which walked files count as messages: the name, lower-cased and stripped of
// leading and trailing spaces, ends in ".msg". The window's Add Folder command
// and the command line's folder arguments use this one test.
#pragma once

#include <string_view>

namespace qm::shell {

bool IsMsgFileName(std::string_view path);

}  // namespace qm::shell
