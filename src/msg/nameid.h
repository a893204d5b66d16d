// The named-property map of a .msg: __nameid_version1.0 ([MS-OXMSG] 2.2.3).
//
//   GUID stream    16-byte GUIDs; GUID index n >= 3 is entry n - 3 (1 is PS_MAPI,
//                  2 PS_PUBLIC_STRINGS, neither stored)
//   entry stream   8-byte records; record for property id 0x8000 + PropertyIndex:
//                  u32 LID or string offset, u32 (PropertyIndex << 16 |
//                  GUID index << 1 | kind)
//   string stream  at each offset: u32 byte length, UTF-16LE name, padded to 4
//   0x1000+k       hash buckets that let a writer find an id from a name;
//                  readers ignore them, we write them as Outlook does.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "mapi/property.h"
#include "msg/compound_file_reader.h"
#include "msg/compound_file_writer.h"

namespace qm::msg {

// CRC-32 (reflected 0xEDB88320) seeded with 0 and without the final XOR, as
// the name buckets and compressed RTF use it.
uint32_t nameIdCrc(std::span<const uint8_t> data);

class NameIdMap {
  public:
    // Reads the map under `storage` (the top-level __nameid_version1.0).
    // Records that point outside their streams are skipped, never trusted:
    // their property ids then stay unresolved.
    static NameIdMap read(const CompoundFileReader& cfb, uint32_t storage);

    // The name of property id `id` (0x8000..0xFFFE), or null when unknown.
    std::shared_ptr<const mapi::NamedKey> lookup(uint16_t id) const;
    size_t size() const { return count_; }

  private:
    std::vector<std::shared_ptr<const mapi::NamedKey>> byIndex_;
    size_t count_ = 0;
};

class NameIdBuilder {
  public:
    // The local property id for `key`, assigned in order of first request.
    // Throws std::length_error past the 0x7FFF names the id range holds.
    uint16_t idFor(const mapi::NamedKey& key);
    size_t size() const { return keys_.size(); }
    // Adds the map's streams to `storage` (an empty __nameid_version1.0).
    void write(CompoundFileWriter& cfw, uint32_t storage) const;

  private:
    std::vector<mapi::NamedKey> keys_;
    std::map<mapi::NamedKey, uint16_t> index_;
};

}  // namespace qm::msg
