// Varied mapi::Message objects for tests: every property type, Unicode or
// 8-bit strings, recipients, attachments of any size (large ones produced on
// demand, never held), embedded messages, named properties, HTML and RTF
// bodies. The same MessageSpec always gives the same message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mapi/message.h"

namespace qm::testing {

struct MessageSpec {
    uint32_t seed = 1;
    std::string messageClass = "IPM.Note";
    std::string subject = "Quillmark test message";
    // Strings as PT_UNICODE (with non-Latin text); false: PT_STRING8 encoded in
    // cp1251 (Cyrillic), and PidTagMessageCodepage says so.
    bool unicode = true;
    bool allTypes = false;  // one property of every type (ids 0x6800 up)
    size_t recipients = 1;
    // One by-value attachment each; from 1 MiB on its data is a stream.
    std::vector<uint64_t> attachmentSizes = {};
    int embedDepth = 0;          // a chain of embedded messages this deep, in one more attachment
    bool oleAttachment = false;  // method 6, holding a small OLE storage
    size_t namedById = 0;        // named properties in PSETID_Common by LID 0x8500 up
    size_t namedByName = 0;      // named properties in PS_PUBLIC_STRINGS by name
    bool htmlBody = false;       // PidTagHtml as binary UTF-8
    bool rtfBody = false;        // PidTagRtfCompressed, stored uncompressed ("MELA")
};

mapi::Message makeMessage(const MessageSpec& spec);

// `n` bytes of the repeatable pattern `seed` picks (mapi::PatternSource).
Bytes pattern(size_t n, uint32_t seed);

// A small standalone compound file (one storage, two streams) standing in for
// an OLE object.
Bytes makeOleStorage(uint32_t seed);

// The message as sorted lines: "C <where> <recipients> <attachments>" for
// each object, "P <where> <tag> <flags> <size> <crc>" for each property
// (variable-size multi-valued: each item as u32 size and bytes); <where> is
// "/" then r<i>/, a<i>/ and e/ (embedded). Named properties show their name;
// with `fileTags` their tag, and objects "P <where> <tag> O", as
// tests/tools/msg_dump.py prints a .msg file.
std::vector<std::string> dumpMessage(const mapi::Message& m, bool fileTags = false);

// "" when both messages hold the same properties (tags or names, types,
// flags and values, in any order), recipients and attachments, embedded
// messages included; otherwise the first difference, saying where.
std::string diffMessages(const mapi::Message& expected, const mapi::Message& actual);

}  // namespace qm::testing
