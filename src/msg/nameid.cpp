#include "msg/nameid.h"

#include <array>
#include <stdexcept>

#include "mapi/codepage.h"
#include "mapi/crc32.h"
#include "msg/msg_format.h"

namespace qm::msg {

namespace {

constexpr uint16_t kFirstNamedId = 0x8000;
constexpr uint32_t kMaxPropertyIndex = 0x7FFE;  // ids 0x8000..0xFFFE
constexpr uint32_t kGuidIndexMapi = 1, kGuidIndexPublicStrings = 2, kFirstStoredGuidIndex = 3;

}  // namespace

uint32_t nameIdCrc(std::span<const uint8_t> data) {
    return mapi::crc32(data);
}

NameIdMap NameIdMap::read(const CompoundFileReader& cfb, uint32_t storage) {
    NameIdMap map;
    auto streamOf = [&](uint32_t tag) -> Bytes {
        auto id = cfb.find(storage, layout::substgName(tag));
        if (!id || !cfb.entry(*id).isStream()) return {};
        return cfb.readStream(*id);
    };
    Bytes guids = streamOf(layout::kGuidStreamTag);
    Bytes entries = streamOf(layout::kEntryStreamTag);
    Bytes strings = streamOf(layout::kStringStreamTag);
    size_t guidCount = guids.size() / 16;
    size_t records = entries.size() / 8;  // a trailing partial record is ignored
    for (size_t k = 0; k < records; ++k) {
        uint32_t value = loadLE32(&entries[k * 8]);
        uint32_t info = loadLE32(&entries[k * 8 + 4]);
        uint32_t propIndex = info >> 16;
        uint32_t guidIndex = (info >> 1) & 0x7FFF;
        bool isString = info & 1;
        if (propIndex > kMaxPropertyIndex) continue;
        mapi::Guid set;
        if (guidIndex == kGuidIndexMapi) {
            set = mapi::PS_MAPI;
        } else if (guidIndex == kGuidIndexPublicStrings) {
            set = mapi::PS_PUBLIC_STRINGS;
        } else if (guidIndex >= kFirstStoredGuidIndex &&
                   guidIndex - kFirstStoredGuidIndex < guidCount) {
            set = mapi::Guid::fromBytes(&guids[(guidIndex - kFirstStoredGuidIndex) * 16]);
        } else {
            continue;
        }
        std::shared_ptr<mapi::NamedKey> key;
        if (isString) {
            if (uint64_t(value) + 4 > strings.size()) continue;
            uint32_t len = loadLE32(&strings[value]);
            if (len % 2 != 0 || len > layout::kMaxNameBytes ||
                uint64_t(value) + 4 + len > strings.size())
                continue;
            std::u16string name = mapi::utf16FromLE(std::span(strings).subspan(value + 4, len));
            key = std::make_shared<mapi::NamedKey>(mapi::NamedKey::byName(set, std::move(name)));
        } else {
            key = std::make_shared<mapi::NamedKey>(mapi::NamedKey::byId(set, value));
        }
        if (map.byIndex_.size() <= propIndex) map.byIndex_.resize(propIndex + 1);
        if (map.byIndex_[propIndex]) continue;  // duplicates: the first one wins
        map.byIndex_[propIndex] = std::move(key);
        ++map.count_;
    }
    return map;
}

std::shared_ptr<const mapi::NamedKey> NameIdMap::lookup(uint16_t id) const {
    if (id < kFirstNamedId) return nullptr;
    size_t index = id - kFirstNamedId;
    return index < byIndex_.size() ? byIndex_[index] : nullptr;
}

uint16_t NameIdBuilder::idFor(const mapi::NamedKey& key) {
    auto it = index_.find(key);
    if (it != index_.end()) return it->second;
    if (keys_.size() > kMaxPropertyIndex) {
        throw std::length_error("more named properties than a .msg can number");
    }
    uint16_t id = uint16_t(kFirstNamedId + keys_.size());
    keys_.push_back(key);
    index_.emplace(key, id);
    return id;
}

void NameIdBuilder::write(CompoundFileWriter& cfw, uint32_t storage) const {
    std::vector<mapi::Guid> stored;
    auto guidIndex = [&](const mapi::Guid& g) -> uint32_t {
        if (g == mapi::PS_MAPI) return kGuidIndexMapi;
        if (g == mapi::PS_PUBLIC_STRINGS) return kGuidIndexPublicStrings;
        for (size_t i = 0; i < stored.size(); ++i)
            if (stored[i] == g) return uint32_t(kFirstStoredGuidIndex + i);
        stored.push_back(g);
        return uint32_t(kFirstStoredGuidIndex + stored.size() - 1);
    };
    Bytes entries, strings;
    std::vector<Bytes> buckets(layout::kNameIdBuckets);
    for (size_t i = 0; i < keys_.size(); ++i) {
        const mapi::NamedKey& k = keys_[i];
        uint32_t gi = guidIndex(k.set);
        uint32_t info = (uint32_t(i) << 16) | (gi << 1) | (k.isString ? 1 : 0);
        uint32_t hashKey;
        uint32_t bucket;
        if (k.isString) {
            Bytes name = mapi::utf16ToLE(k.name);
            appendLE32(entries, uint32_t(strings.size()));
            appendLE32(strings, uint32_t(name.size()));
            strings.insert(strings.end(), name.begin(), name.end());
            while (strings.size() % 4) strings.push_back(0);
            hashKey = nameIdCrc(name);
            bucket = (hashKey ^ ((gi << 1) | 1)) % layout::kNameIdBuckets;
        } else {
            appendLE32(entries, k.id);
            hashKey = k.id;
            bucket = (k.id ^ (gi << 1)) % layout::kNameIdBuckets;
        }
        appendLE32(entries, info);
        appendLE32(buckets[bucket], hashKey);
        appendLE32(buckets[bucket], info);
    }
    Bytes guidBytes;
    for (const auto& g : stored) guidBytes.insert(guidBytes.end(), g.bytes.begin(), g.bytes.end());
    cfw.addStream(storage, layout::substgName(layout::kGuidStreamTag), std::move(guidBytes));
    cfw.addStream(storage, layout::substgName(layout::kEntryStreamTag), std::move(entries));
    cfw.addStream(storage, layout::substgName(layout::kStringStreamTag), std::move(strings));
    for (uint32_t b = 0; b < layout::kNameIdBuckets; ++b) {
        if (buckets[b].empty()) continue;
        cfw.addStream(storage, layout::substgName(((0x1000 + b) << 16) | 0x0102),
                      std::move(buckets[b]));
    }
}

}  // namespace qm::msg
