#include "mapi/unicode_strings.h"

namespace qm::mapi {

std::vector<std::string> decodeString8(Message& message, int fallbackCodePage) {
    (void)message;
    (void)fallbackCodePage;
    return {};
}

}  // namespace qm::mapi
