// Names and sizes of the .msg layout inside a compound file ([MS-OXMSG] 2.2,
// 2.4). Shared by the MSG reader and writer.
//
//   Root Entry
//     __properties_version1.0       header (32 top level, 24 embedded, 8 else) + 16-byte entries
//     __substg1.0_TTTTTTTT          value of a variable-size or multi-valued property
//     __substg1.0_TTTTTTTT-NNNNNNNN element N of a variable-size multi-valued property
//     __nameid_version1.0/          named-property map (top level only)
//     __recip_version1.0_#NNNNNNNN/ one per recipient
//     __attach_version1.0_#NNNNNNNN/ one per attachment; __substg1.0_3701000D/ is
//                                   an embedded message or an OLE storage
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qm::msg::layout {

constexpr std::u16string_view kPropertiesStream = u"__properties_version1.0";
constexpr std::u16string_view kNameIdStorage = u"__nameid_version1.0";
constexpr std::u16string_view kRecipPrefix = u"__recip_version1.0_#";
constexpr std::u16string_view kAttachPrefix = u"__attach_version1.0_#";
constexpr std::u16string_view kSubstgPrefix = u"__substg1.0_";

constexpr size_t kTopHeaderSize = 32;       // reserved 8, next ids 2x4, counts 2x4, reserved 8
constexpr size_t kEmbeddedHeaderSize = 24;  // the same without the trailing reserved 8
constexpr size_t kChildHeaderSize = 8;      // recipients and attachments: reserved 8
constexpr size_t kEntrySize = 16;           // tag, flags, 8 bytes of value or size

// Size field of a PT_OBJECT entry, as every writer sets it.
constexpr uint32_t kObjectSize = 0xFFFFFFFF;

// Streams of __nameid_version1.0 ([MS-OXMSG] 2.2.3), named by their tags.
constexpr uint32_t kGuidStreamTag = 0x00020102;
constexpr uint32_t kEntryStreamTag = 0x00030102;
constexpr uint32_t kStringStreamTag = 0x00040102;
// Name-to-id mapping streams are 0x1000 + bucket, bucket < kNameIdBuckets.
constexpr uint32_t kNameIdBuckets = 0x1F;

// Caps that keep a hostile file from costing more than it is worth. Counts
// go well beyond what real files hold (1321 recipients, 40 attachments, depth
// 2 seen) while bounding work.
constexpr size_t kMaxEntriesPerStream = 65536;
constexpr size_t kMaxRecipients = 32768;
constexpr size_t kMaxAttachments = 2048;  // Outlook's own limit on attachment storages
constexpr size_t kMaxMultiValues = 65535;
constexpr int kMaxEmbedDepth = 32;
constexpr uint32_t kMaxNameBytes = 2048;  // a named property's name, in UTF-16 bytes
// Binary values at least this large stay in the file and are read on demand.
constexpr uint64_t kStreamThreshold = 1u << 20;

std::u16string substgName(uint32_t tag);
std::u16string substgName(uint32_t tag, uint32_t index);  // "...TTTTTTTT-NNNNNNNN"
std::u16string numberedName(std::u16string_view prefix, uint32_t index);
std::u16string hex8(uint32_t v);

}  // namespace qm::msg::layout
