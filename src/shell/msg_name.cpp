#include "shell/msg_name.h"

namespace qm::shell {

bool IsMsgFileName(std::string_view path) {
    // Only spaces are trimmed (not tabs): a name may legitimately end in other
    // white space, and only spaces are what the test forgives.
    const size_t first = path.find_first_not_of(' ');
    if (first == std::string_view::npos) return false;
    const size_t last = path.find_last_not_of(' ');
    std::string_view trimmed = path.substr(first, last - first + 1);
    // The last four characters, or the whole text if shorter. Lower-casing
    // ASCII suffices: no other character lower-cases to one of ".msg", and a
    // multi-byte character at the end can never match.
    std::string_view tail = trimmed.size() > 4 ? trimmed.substr(trimmed.size() - 4) : trimmed;
    if (tail.size() != 4) return false;
    constexpr std::string_view kExtension = ".msg";
    for (size_t i = 0; i < 4; ++i) {
        char c = tail[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kExtension[i]) return false;
    }
    return true;
}

}  // namespace qm::shell
