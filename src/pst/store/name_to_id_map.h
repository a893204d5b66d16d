// The store's named-property map ([MS-PST] 2.4.7), node 0x61: which
// (property set, LID or name) each property id from 0x8000 up stands for.
//
// Layout of the PC it becomes:
//   0x00010003 PidTagNameidBucketCount   251
//   0x00020102 PidTagNameidStreamGuid    16-byte GUIDs; wGuid 3 is the first
//   0x00030102 PidTagNameidStreamEntry   NAMEID records {dwPropertyID,
//                                        (wGuid << 1) | N, wPropIdx}, one per id
//   0x00040102 PidTagNameidStreamString  {length, UTF-16LE name}, 4-aligned
//   0x1000 + b  (PT_BINARY)              bucket b: the NAMEIDs whose hash is b,
//                                        a string name's record carrying the
//                                        CRC-32 of the name instead of its offset
// wGuid 1 is PS_MAPI and 2 PS_PUBLIC_STRINGS; neither is in the GUID stream.
// Property id = 0x8000 + wPropIdx.
//
// Invariants: ids are handed out densely in order of first use and never
// change; a key has exactly one id; buckets hold every entry once, in
// entry order.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "mapi/property.h"

namespace qm::pst::store {

class NameToIdMap {
  public:
    // Highest id a PC can address: property ids are 16 bits and 0xFFFF is
    // never used, so at most 0x7FFF names fit.
    static constexpr uint16_t kLastId = 0xFFFE;

    NameToIdMap() = default;

    // The 35 names Outlook registers in every new store, in its order, so a
    // new store's ids (and the named columns of its standard folders' tables)
    // agree with Outlook's own.
    static NameToIdMap outlookDefault();

    // The id of `key`, registering it when new.
    // Throws qm::Error when the map already holds every id it can.
    uint16_t idFor(const mapi::NamedKey& key);
    std::optional<uint16_t> find(const mapi::NamedKey& key) const;
    // The key behind an id, or nullptr.
    const mapi::NamedKey* keyOf(uint16_t id) const;
    size_t size() const { return entries_.size(); }

    // Whether names were added since the last markClean().
    bool dirty() const { return dirty_; }
    void markClean() { dirty_ = false; }

    // The PC's properties, as laid out above (empty buckets omitted).
    std::vector<mapi::Property> properties() const;

    // Pieces of that layout, for tests.
    Bytes guidStream() const;
    Bytes entryStream() const;
    const Bytes& stringStream() const { return strings_; }
    static uint32_t bucketOf(uint32_t idOrCrc, uint16_t guidWord);

  private:
    struct Entry {
        mapi::NamedKey key;
        uint16_t wGuid = 0;
        uint32_t stringOffset = 0;  // for string names
        uint32_t nameCrc = 0;       // for string names
    };
    uint16_t guidIndex(const mapi::Guid& guid);
    static void appendRecord(Bytes& out, const Entry& e, uint16_t index, bool forBucket);

    std::vector<Entry> entries_;
    std::map<mapi::NamedKey, uint16_t> ids_;
    std::vector<mapi::Guid> guids_;
    Bytes strings_;
    bool dirty_ = true;
};

}  // namespace qm::pst::store
