#include "pst/read/name_map.h"

#include "mapi/error.h"
#include "pst/ndb/format.h"
#include "pst/read/problems.h"

namespace qm::pst::read {

namespace {
constexpr mapi::PropTag kStreamGuid = 0x00020102;
constexpr mapi::PropTag kStreamEntry = 0x00030102;
constexpr mapi::PropTag kStreamString = 0x00040102;
constexpr uint32_t kNameIdSize = 8;
constexpr uint16_t kFirstStreamGuid = 3;
}  // namespace

uint32_t nameIdBucket(uint32_t idOrCrc, uint16_t guidIndex, bool isString) {
    return (idOrCrc ^ ((uint32_t(guidIndex) << 1) | (isString ? 1u : 0u))) %
           ndb::kNameidBucketCount;
}

NameMap NameMap::fromProperties(const mapi::PropertyBag& props, const std::string& file) {
    NameMap m;
    auto stream = [&](mapi::PropTag tag) {
        const mapi::Property* p = props.find(tag);
        return p ? p->bytes() : Bytes{};
    };
    Bytes guids = stream(kStreamGuid), entries = stream(kStreamEntry),
          strings = stream(kStreamString);
    const std::string where = "name-to-id map";
    if (guids.size() % 16 != 0)
        throw FormatError(file, where, -1, "GUID stream is not a whole number of GUIDs");
    if (entries.size() % kNameIdSize != 0)
        throw FormatError(file, where, -1, "entry stream is not a whole number of records");
    for (size_t i = 0; i < guids.size(); i += 16)
        m.guids_.push_back(mapi::Guid::fromBytes(&guids[i]));
    for (size_t i = 0; i < entries.size(); i += kNameIdSize) {
        NameIdRecord r;
        r.propertyId = loadLE32(&entries[i]);
        uint16_t w = loadLE16(&entries[i + 4]);
        r.isString = (w & 1) != 0;
        r.guidIndex = uint16_t(w >> 1);
        r.propIndex = loadLE16(&entries[i + 6]);
        std::string rec = where + " record " + std::to_string(i / kNameIdSize);
        mapi::Guid set;
        if (r.guidIndex == 1) {
            set = mapi::PS_MAPI;
        } else if (r.guidIndex == 2) {
            set = mapi::PS_PUBLIC_STRINGS;
        } else if (r.guidIndex >= kFirstStreamGuid &&
                   size_t(r.guidIndex - kFirstStreamGuid) < m.guids_.size()) {
            set = m.guids_[r.guidIndex - kFirstStreamGuid];
        } else {
            throw FormatError(file, rec, -1,
                              "wGuid " + std::to_string(r.guidIndex) + " names no property set");
        }
        auto key = std::make_shared<mapi::NamedKey>();
        key->set = set;
        key->isString = r.isString;
        if (r.isString) {
            uint64_t off = r.propertyId;
            if (off + 4 > strings.size())
                throw FormatError(file, rec, -1, "string offset " + hex(off) + " past the stream");
            uint32_t len = loadLE32(&strings[off]);
            if (len % 2 != 0 || off + 4 + len > strings.size())
                throw FormatError(
                    file, rec, -1,
                    "string of " + std::to_string(len) + " bytes runs past the stream");
            for (uint32_t k = 0; k < len; k += 2)
                key->name.push_back(char16_t(loadLE16(&strings[off + 4 + k])));
        } else {
            key->id = r.propertyId;
        }
        uint32_t npid = uint32_t(ndb::kFirstNamedPropId) + r.propIndex;
        if (npid > 0xFFFF)
            throw FormatError(file, rec, -1,
                              "wPropIdx " + std::to_string(r.propIndex) + " gives no property id");
        if (!m.byId_.emplace(uint16_t(npid), key).second)
            throw FormatError(file, rec, -1, "property id " + hex(npid) + " mapped twice");
        m.records_.push_back(r);
    }
    return m;
}

std::shared_ptr<const mapi::NamedKey> NameMap::find(uint16_t propId) const {
    auto it = byId_.find(propId);
    return it == byId_.end() ? nullptr : it->second;
}

}  // namespace qm::pst::read
