// A Unicode store holds no 8-bit strings: every PT_STRING8 / PT_MV_STRING8
// value a .msg carries is decoded once, before the message is stored.
#pragma once

#include <string>
#include <vector>

#include "mapi/message.h"

namespace qm::mapi {

// Rewrites every PT_STRING8 and PT_MV_STRING8 value of the message, its
// recipients and attachments, and embedded messages at any depth, named
// properties included, as PT_UNICODE / PT_MV_UNICODE. The code page is
// chosen per message: Message::declaredCodePage(), else (for an embedded
// message) the code page of the message it is embedded in, else
// `fallbackCodePage` (the run's --codepage, 1252 by default). An 8-bit
// PidTagBody is decoded with PidTagInternetCodepage instead when the message
// has one other than UTF-8 (65001). Where a property comes both as 8-bit and
// as Unicode, the Unicode value is kept and the 8-bit one dropped.
// Returns one warning sentence per value that held bytes invalid in the
// chosen code page (they decode to U+FFFD), naming the property and where
// it is (recipient N, attachment N, embedded message, counted from 0 as the
// .msg storages are), and one per unknown code page (decoded as 1252).
std::vector<std::string> decodeString8(Message& message, int fallbackCodePage = 1252);

// True when the message or anything in it (recipients, attachments,
// embedded messages) still holds a PT_STRING8 or PT_MV_STRING8 value.
bool holdsString8(const Message& message);

}  // namespace qm::mapi
