// A Unicode store holds no 8-bit strings: every PT_STRING8 / PT_MV_STRING8
// value a .msg carries is decoded once, before the message is stored.
#pragma once

#include <string>
#include <vector>

#include "mapi/message.h"

namespace qm::mapi {

// Rewrites every PT_STRING8 and PT_MV_STRING8 value of the message, its
// recipients and attachments, and embedded messages at any depth, as
// PT_UNICODE / PT_MV_UNICODE. The code page is chosen per message (an
// embedded message without its own code page properties takes its
// parent's); `fallbackCodePage` is the last resort (the run's --codepage,
// 1252 by default). Returns one warning sentence per value that held bytes
// invalid in the chosen code page (they decode to U+FFFD).
std::vector<std::string> decodeString8(Message& message, int fallbackCodePage = 1252);

}  // namespace qm::mapi
