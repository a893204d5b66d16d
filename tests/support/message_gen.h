// Builds varied mapi::Message objects for tests: every property type, Unicode
// or 8-bit strings, recipients, attachments of any size (large ones produced
// on demand, never held), embedded messages, named properties, HTML and RTF
// bodies. The same MessageSpec always gives the same message, so a test can
// build the expected value again instead of keeping it.
//
//   mapi::Message m = qm::testing::makeMessage({.recipients = 3, .embedDepth = 2});
//   ... write it, read it back ...
//   EXPECT_EQ(qm::testing::diffMessages(m, back), "");
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mapi/message.h"

namespace qm::testing {

// Attachment data at or above this size is a PatternSource (Property::stream)
// instead of bytes in memory.
constexpr uint64_t kStreamedAttachmentSize = 1u << 20;

struct MessageSpec {
    uint32_t seed = 1;
    std::string messageClass = "IPM.Note";
    std::string subject = "Quillmark test message";
    // Strings as PT_UNICODE (with non-Latin text); false: PT_STRING8 encoded in
    // cp1251 (Cyrillic), and PidTagMessageCodepage says so.
    bool unicode = true;
    bool allTypes = false;  // one property of every type (ids 0x6800 up)
    size_t recipients = 1;
    std::vector<uint64_t> attachmentSizes = {};  // one by-value attachment each
    int embedDepth = 0;          // a chain of embedded messages this deep, in one more attachment
    bool oleAttachment = false;  // method 6, holding a small OLE storage
    size_t namedById = 0;        // named properties in PSETID_Common by LID 0x8500 up
    size_t namedByName = 0;      // named properties in PS_PUBLIC_STRINGS by name
    bool htmlBody = false;       // PidTagHtml as binary UTF-8
    bool rtfBody = false;        // PidTagRtfCompressed, stored uncompressed ("MELA")
};

mapi::Message makeMessage(const MessageSpec& spec);

// The bytes PatternSource(size, seed) produces, as attachment data: a stream
// from kStreamedAttachmentSize on, plain bytes below.
mapi::Property attachmentData(uint64_t size, uint32_t seed);

// A small standalone compound file (one storage, two streams) standing in for
// an OLE object.
Bytes makeOleStorage(uint32_t seed);

// The message as sorted lines: "C <where> <recipients> <attachments>" for
// each object and "P <where> <tag> <flags> <size> <crc>" for each property
// (its value's bytes; variable-size multi-valued: each item as u32 size and
// bytes), <where> "/" then r<i>/, a<i>/ and e/ (embedded). Named properties
// show their name, unless `fileTags` (then objects show as "P <where> <tag>
// O": the form tests/tools/msg_dump.py prints for a .msg file).
std::vector<std::string> dumpMessage(const mapi::Message& m, bool fileTags = false);

// "" when both messages hold the same properties (tags or names, types,
// flags and values, in any order), recipients and attachments, embedded
// messages included; otherwise the first difference, saying where.
std::string diffMessages(const mapi::Message& expected, const mapi::Message& actual);

}  // namespace qm::testing
