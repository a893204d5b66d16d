// The store's named-property map (NID 0x61, [MS-PST] 2.4.7), read: property
// ids 0x8000 + wPropIdx resolved to (property set, LID or name).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "mapi/property.h"

namespace qm::pst::read {

// One NAMEID record of the entry stream.
struct NameIdRecord {
    uint32_t propertyId = 0;  // LID, or offset into the string stream
    uint16_t guidIndex = 0;   // wGuid: 1 PS_MAPI, 2 PS_PUBLIC_STRINGS, >= 3 stream
    bool isString = false;
    uint16_t propIndex = 0;  // NPID = 0x8000 + propIndex
};

class NameMap {
  public:
    NameMap() = default;
    // Throws qm::FormatError (with `file`) when the streams are malformed.
    static NameMap fromProperties(const mapi::PropertyBag& props, const std::string& file);

    // The name of a property id of 0x8000 or more; null when unmapped.
    std::shared_ptr<const mapi::NamedKey> find(uint16_t propId) const;
    const std::vector<NameIdRecord>& records() const { return records_; }
    const std::vector<mapi::Guid>& guids() const { return guids_; }
    size_t size() const { return byId_.size(); }

  private:
    std::vector<NameIdRecord> records_;
    std::vector<mapi::Guid> guids_;
    std::map<uint16_t, std::shared_ptr<const mapi::NamedKey>> byId_;
};

// The bucket a record hashes to: (id ^ (wGuid << 1 | N)) % 251, where a
// string name's id is the CRC of its UTF-16LE bytes.
uint32_t nameIdBucket(uint32_t idOrCrc, uint16_t guidIndex, bool isString);

}  // namespace qm::pst::read
