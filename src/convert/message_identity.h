// What makes two source files the same message, for skipping duplicates: a
// 32-byte digest per message, so a run remembers every converted message in
// fixed space.
#pragma once

#include "convert/sha256.h"
#include "mapi/message.h"

namespace qm::convert {

// The SHA-256 of PidTagInternetMessageId when the message has one; else of a
// canonical set of its properties: message class, subject, sender,
// recipients, submit and delivery times, bodies (plain, HTML, RTF), and each
// attachment's names and bytes (an embedded message by its own identity).
// The two kinds are labelled apart, so one set holds both. Never the file's
// bytes: the same message saved twice is the same. Strings are compared as
// decoded text, so call it after mapi::decodeString8.
Digest MessageIdentity(const mapi::Message& message);

}  // namespace qm::convert
