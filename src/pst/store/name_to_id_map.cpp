#include "pst/store/name_to_id_map.h"

#include <string>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "pst/ndb/crc.h"
#include "pst/ndb/format.h"

namespace qm::pst::store {
namespace {

constexpr uint16_t kGuidPsMapi = 1;
constexpr uint16_t kGuidPsPublicStrings = 2;
constexpr uint16_t kFirstStreamGuid = 3;

mapi::Guid guid(const char* text) {
    return *mapi::Guid::parse(text);
}

}  // namespace

NameToIdMap NameToIdMap::outlookDefault() {
    // Read from the name-to-id map of an empty store Outlook made, in its
    // order: PSETID_Appointment, PS_INTERNET_HEADERS, PS_PUBLIC_STRINGS,
    // PSETID_Common, the set of "IsMentioned", PSETID_Remote and PSETID_Task.
    const mapi::Guid common = guid("{00062008-0000-0000-C000-000000000046}");
    const mapi::Guid appointment = guid("{00062002-0000-0000-C000-000000000046}");
    const mapi::Guid headers = guid("{00020386-0000-0000-C000-000000000046}");
    const mapi::Guid mention = guid("{41F28F13-83F4-4114-A584-EEDB5A6B0BFF}");
    const mapi::Guid remote = guid("{00062014-0000-0000-C000-000000000046}");
    const mapi::Guid task = guid("{00062003-0000-0000-C000-000000000046}");
    const mapi::Guid& pub = mapi::PS_PUBLIC_STRINGS;
    auto id = [](const mapi::Guid& g, uint32_t lid) { return mapi::NamedKey::byId(g, lid); };
    auto name = [](const mapi::Guid& g, const char16_t* n) { return mapi::NamedKey::byName(g, n); };

    NameToIdMap map;
    const mapi::NamedKey keys[] = {
        id(appointment, 0x8205),
        id(appointment, 0x8223),
        id(appointment, 0x8231),
        id(appointment, 0x8216),
        id(appointment, 0x820D),
        id(appointment, 0x820E),
        id(appointment, 0x8235),
        id(appointment, 0x8236),
        id(appointment, 0x8233),
        name(headers, u"content-class"),
        name(pub, u"DRMLicense"),
        name(headers, u"x-cr-hashedpuzzle"),
        name(headers, u"x-cr-puzzleid"),
        id(common, 0x8580),
        id(common, 0x8581),
        name(pub, u"urn:schemas-microsoft-com:office:outlook#storetypeprivate"),
        id(common, 0x8510),
        id(common, 0x8578),
        name(mention, u"IsMentioned"),
        name(pub, u"Keywords"),
        id(remote, 0x8F05),
        id(common, 0x8514),
        id(remote, 0x8F07),
        id(common, 0x8503),
        id(common, 0x85A8),
        id(common, 0x8502),
        id(task, 0x8104),
        id(task, 0x8105),
        id(task, 0x811C),
        name(headers, u"x-ms-exchange-organization-authdomain"),
        name(pub, u"DoNotForward"),
        id(common, 0x8570),
        id(task, 0x8101),
        id(common, 0x85E0),
        id(common, 0x8552),
    };
    for (const auto& k : keys) map.idFor(k);
    return map;
}

uint16_t NameToIdMap::guidIndex(const mapi::Guid& g) {
    if (g == mapi::PS_MAPI) return kGuidPsMapi;
    if (g == mapi::PS_PUBLIC_STRINGS) return kGuidPsPublicStrings;
    for (size_t i = 0; i < guids_.size(); ++i) {
        if (guids_[i] == g) return uint16_t(kFirstStreamGuid + i);
    }
    // wGuid is 15 bits; the id limit (0x7FFF names) is reached long before.
    guids_.push_back(g);
    return uint16_t(kFirstStreamGuid + guids_.size() - 1);
}

uint16_t NameToIdMap::idFor(const mapi::NamedKey& key) {
    if (auto it = ids_.find(key); it != ids_.end()) return it->second;
    const uint32_t next = ndb::kFirstNamedPropId + entries_.size();
    if (next > kLastId) {
        throw Error("the store's named-property map is full (" + std::to_string(entries_.size()) +
                    " names, the most a PST can address); cannot add " + key.str());
    }
    Entry e;
    e.key = key;
    e.wGuid = guidIndex(key.set);
    if (key.isString) {
        const Bytes name = mapi::utf16ToLE(key.name);
        e.stringOffset = uint32_t(strings_.size());
        e.nameCrc = ndb::crc32(name);
        appendLE32(strings_, uint32_t(name.size()));
        strings_.insert(strings_.end(), name.begin(), name.end());
        while (strings_.size() % 4) strings_.push_back(0);
    }
    entries_.push_back(std::move(e));
    ids_.emplace(key, uint16_t(next));
    dirty_ = true;
    return uint16_t(next);
}

std::optional<uint16_t> NameToIdMap::find(const mapi::NamedKey& key) const {
    if (auto it = ids_.find(key); it != ids_.end()) return it->second;
    return std::nullopt;
}

const mapi::NamedKey* NameToIdMap::keyOf(uint16_t id) const {
    if (id < ndb::kFirstNamedPropId || size_t(id - ndb::kFirstNamedPropId) >= entries_.size()) {
        return nullptr;
    }
    return &entries_[id - ndb::kFirstNamedPropId].key;
}

uint32_t NameToIdMap::bucketOf(uint32_t idOrCrc, uint16_t guidWord) {
    return (idOrCrc ^ guidWord) % ndb::kNameidBucketCount;
}

void NameToIdMap::appendRecord(Bytes& out, const Entry& e, uint16_t index, bool forBucket) {
    const uint16_t guidWord = uint16_t((e.wGuid << 1) | (e.key.isString ? 1 : 0));
    uint32_t first = e.key.id;
    if (e.key.isString) first = forBucket ? e.nameCrc : e.stringOffset;
    appendLE32(out, first);
    appendLE16(out, guidWord);
    appendLE16(out, index);
}

Bytes NameToIdMap::guidStream() const {
    Bytes out;
    out.reserve(guids_.size() * 16);
    for (const auto& g : guids_) out.insert(out.end(), g.bytes.begin(), g.bytes.end());
    return out;
}

Bytes NameToIdMap::entryStream() const {
    Bytes out;
    out.reserve(entries_.size() * 8);
    for (size_t i = 0; i < entries_.size(); ++i) appendRecord(out, entries_[i], uint16_t(i), false);
    return out;
}

std::vector<mapi::Property> NameToIdMap::properties() const {
    std::vector<Bytes> buckets(ndb::kNameidBucketCount);
    for (size_t i = 0; i < entries_.size(); ++i) {
        const Entry& e = entries_[i];
        const uint16_t guidWord = uint16_t((e.wGuid << 1) | (e.key.isString ? 1 : 0));
        const uint32_t b = bucketOf(e.key.isString ? e.nameCrc : e.key.id, guidWord);
        appendRecord(buckets[b], e, uint16_t(i), true);
    }
    std::vector<mapi::Property> props;
    props.push_back(mapi::Property::int32(mapi::makeTag(0x0001, mapi::PT_LONG),
                                          int32_t(ndb::kNameidBucketCount)));
    props.push_back(mapi::Property::binary(mapi::makeTag(0x0002, mapi::PT_BINARY), guidStream()));
    props.push_back(mapi::Property::binary(mapi::makeTag(0x0003, mapi::PT_BINARY), entryStream()));
    props.push_back(mapi::Property::binary(mapi::makeTag(0x0004, mapi::PT_BINARY), strings_));
    for (uint32_t b = 0; b < buckets.size(); ++b) {
        if (buckets[b].empty()) continue;
        props.push_back(mapi::Property::binary(mapi::makeTag(uint16_t(0x1000 + b), mapi::PT_BINARY),
                                               std::move(buckets[b])));
    }
    return props;
}

}  // namespace qm::pst::store
