// Builds varied mapi::Message objects for tests: every property type, Unicode
// or 8-bit strings, recipients, attachments of any size (large ones produced
// on demand, never held), embedded messages, named properties, HTML and RTF
// bodies. The same spec and seed always give the same message, so a test can
// build the expected value again instead of keeping it.
//
//   qm::testing::MessageSpec spec;
//   spec.recipients = 3;
//   spec.attachmentSizes = {10, 9u << 20};
//   spec.embedDepth = 2;
//   mapi::Message m = qm::testing::makeMessage(spec);
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
    // One property of every single- and multi-valued type (ids 0x6800 up).
    bool allTypes = false;
    size_t recipients = 1;
    // One by-value attachment per entry, with that many bytes of data.
    std::vector<uint64_t> attachmentSizes = {};
    // A chain of embedded messages this deep, in one more attachment.
    int embedDepth = 0;
    // An attachment with method 6 holding a small OLE storage.
    bool oleAttachment = false;
    size_t namedById = 0;    // named properties in PSETID_Common by LID 0x8500 up
    size_t namedByName = 0;  // named properties in PS_PUBLIC_STRINGS by name
    bool htmlBody = false;   // PidTagHtml as binary UTF-8
    bool rtfBody = false;    // PidTagRtfCompressed, stored uncompressed ("MELA")
};

mapi::Message makeMessage(const MessageSpec& spec);

// The bytes PatternSource(size, seed) produces, as attachment data: a stream
// from kStreamedAttachmentSize on, plain bytes below.
mapi::Property attachmentData(uint64_t size, uint32_t seed);

// A small standalone compound file (one storage, two streams) standing in for
// an OLE object.
Bytes makeOleStorage(uint32_t seed);

// "" when both messages hold the same properties (tags or names, types,
// flags and value bytes, in any order), recipients and attachments, embedded
// messages included; otherwise the first difference, saying where.
std::string diffMessages(const mapi::Message& expected, const mapi::Message& actual);

}  // namespace qm::testing
