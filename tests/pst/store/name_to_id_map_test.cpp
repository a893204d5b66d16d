// The store's name-to-id map: ids, streams and buckets, checked against the
// values Outlook's own empty store holds and against its limits.
#include <gtest/gtest.h>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "pst/ndb/crc.h"
#include "pst/store/name_to_id_map.h"

using namespace qm;
using namespace qm::pst::store;
using mapi::NamedKey;

namespace {

const mapi::Guid kCommon = *mapi::Guid::parse("{00062008-0000-0000-C000-000000000046}");
const mapi::Guid kAppointment = *mapi::Guid::parse("{00062002-0000-0000-C000-000000000046}");
const mapi::Guid kHeaders = *mapi::Guid::parse("{00020386-0000-0000-C000-000000000046}");

const mapi::Property* prop(const std::vector<mapi::Property>& props, uint32_t tag) {
    for (const auto& p : props) {
        if (p.tag == tag) return &p;
    }
    return nullptr;
}

}  // namespace

TEST(NameToIdMap, OutlookDefaultGivesOutlooksIds) {
    NameToIdMap map = NameToIdMap::outlookDefault();
    EXPECT_EQ(map.size(), 35u);
    EXPECT_EQ(map.find(NamedKey::byId(kAppointment, 0x8205)), 0x8000);
    EXPECT_EQ(map.find(NamedKey::byName(kHeaders, u"content-class")), 0x8009);
    EXPECT_EQ(map.find(NamedKey::byName(mapi::PS_PUBLIC_STRINGS, u"Keywords")), 0x8013);
    EXPECT_EQ(map.find(NamedKey::byId(kCommon, 0x8552)), 0x8022);
    ASSERT_NE(map.keyOf(0x8013), nullptr);
    EXPECT_EQ(map.keyOf(0x8013)->name, u"Keywords");
    EXPECT_EQ(map.keyOf(0x8023), nullptr);
    EXPECT_EQ(map.keyOf(0x1234), nullptr);
    // Six GUIDs in the stream; PS_PUBLIC_STRINGS is wGuid 2 and not among them.
    EXPECT_EQ(map.guidStream().size(), 6u * 16);
    EXPECT_EQ(map.entryStream().size(), 35u * 8);
}

TEST(NameToIdMap, RecordsAndBucketsMatchOutlooksBytes) {
    NameToIdMap map = NameToIdMap::outlookDefault();
    const Bytes entries = map.entryStream();
    // First record: LID 0x8205, wGuid 3 (first stream GUID), numeric, index 0.
    EXPECT_EQ(Bytes(entries.begin(), entries.begin() + 8),
              (Bytes{0x05, 0x82, 0, 0, 0x06, 0, 0, 0}));
    // "content-class": string offset 0 in the string stream, wGuid 4, string.
    EXPECT_EQ(Bytes(entries.begin() + 9 * 8, entries.begin() + 10 * 8),
              (Bytes{0, 0, 0, 0, 0x09, 0, 0x09, 0}));
    const Bytes& strings = map.stringStream();
    ASSERT_GE(strings.size(), 4u);
    EXPECT_EQ(loadLE32(strings.data()), 26u);  // 13 UTF-16 units
    EXPECT_EQ(strings.size() % 4, 0u);

    // Outlook's buckets: (0x8205 ^ 6) % 251 = 151 holds the first record;
    // the CRC of "content-class" (0xE6008F65) puts it in bucket 206.
    EXPECT_EQ(pst::ndb::crc32(mapi::utf16ToLE(u"content-class")), 0xE6008F65u);
    const auto props = map.properties();
    const auto* b151 = prop(props, mapi::makeTag(0x1000 + 151, mapi::PT_BINARY));
    ASSERT_NE(b151, nullptr);
    EXPECT_EQ(b151->value, (Bytes{0x05, 0x82, 0, 0, 0x06, 0, 0, 0}));
    const auto* b206 = prop(props, mapi::makeTag(0x1000 + 206, mapi::PT_BINARY));
    ASSERT_NE(b206, nullptr);
    EXPECT_EQ(b206->value, (Bytes{0x65, 0x8F, 0x00, 0xE6, 0x09, 0, 0x09, 0}));
    // Two names share bucket 164 in Outlook's file, in entry order.
    const auto* b164 = prop(props, mapi::makeTag(0x1000 + 164, mapi::PT_BINARY));
    ASSERT_NE(b164, nullptr);
    EXPECT_EQ(b164->value,
              (Bytes{0x16, 0x82, 0, 0, 0x06, 0, 0x03, 0, 0x05, 0x81, 0, 0, 0x10, 0, 0x1B, 0}));
    // Bucket count first, and only non-empty buckets.
    EXPECT_EQ(props[0].tag, 0x00010003u);
    EXPECT_EQ(loadLE32(props[0].value.data()), 251u);
    size_t bucketRecords = 0;
    for (const auto& p : props) {
        if (mapi::propId(p.tag) >= 0x1000) {
            EXPECT_FALSE(p.value.empty());
            bucketRecords += p.value.size() / 8;
        }
    }
    EXPECT_EQ(bucketRecords, 35u);
}

TEST(NameToIdMap, NewNamesGetTheNextIdsOnce) {
    NameToIdMap map = NameToIdMap::outlookDefault();
    map.markClean();
    const mapi::Guid custom = *mapi::Guid::parse("{11112222-3333-4444-5555-666677778888}");
    EXPECT_EQ(map.idFor(NamedKey::byId(custom, 7)), 0x8023);
    EXPECT_TRUE(map.dirty());
    EXPECT_EQ(map.idFor(NamedKey::byName(custom, u"seven")), 0x8024);
    EXPECT_EQ(map.idFor(NamedKey::byId(custom, 7)), 0x8023);  // same key, same id
    EXPECT_EQ(map.idFor(NamedKey::byId(mapi::PS_MAPI, 0x1234)), 0x8025);
    // The new GUID joins the stream once; PS_MAPI never does.
    EXPECT_EQ(map.guidStream().size(), 7u * 16);
    // The PS_MAPI record says wGuid 1, numeric.
    const Bytes entries = map.entryStream();
    EXPECT_EQ(Bytes(entries.end() - 8, entries.end()), (Bytes{0x34, 0x12, 0, 0, 0x02, 0, 0x25, 0}));
    // Names that differ only in case are different names.
    EXPECT_NE(map.idFor(NamedKey::byName(custom, u"Seven")), 0x8024);
}

TEST(NameToIdMap, FullMapThrowsAClearError) {
    NameToIdMap map;
    const mapi::Guid custom = *mapi::Guid::parse("{11112222-3333-4444-5555-666677778888}");
    for (uint32_t i = 0; i <= NameToIdMap::kLastId - 0x8000u; ++i) {
        ASSERT_EQ(map.idFor(NamedKey::byId(custom, i)), 0x8000 + i);
    }
    EXPECT_EQ(map.size(), 0x7FFFu);
    try {
        map.idFor(NamedKey::byName(custom, u"one too many"));
        FAIL() << "expected qm::Error";
    } catch (const qm::Error& e) {
        EXPECT_NE(std::string(e.what()).find("full"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("one too many"), std::string::npos) << e.what();
    }
    // Names already there still resolve.
    EXPECT_EQ(map.idFor(NamedKey::byId(custom, 5)), 0x8005);
}
