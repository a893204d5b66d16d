// The store's rules: the name-to-id map (ids, streams and buckets against
// the values Outlook's own empty store holds, and its limits), and what
// happens to properties on their way into the store: the ones the format
// owns, named-property ids, the subject marker, value sizes, and the case
// folding of folder names.
#include <gtest/gtest.h>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "pst/ndb/crc.h"
#include "pst/store/folder.h"
#include "pst/store/name_to_id_map.h"
#include "pst/store/property_rules.h"

using namespace qm;
using namespace qm::pst::store;
using mapi::makeTag;
using mapi::NamedKey;
using mapi::Property;
namespace tag = mapi::tag;

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

TEST(NameToIdMap, OutlookDefaultGivesOutlooksIdsRecordsAndBuckets) {
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

TEST(NameToIdMap, NewNamesGetTheNextIdsOnceUntilTheMapIsFull) {
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
    // Until the map is full (ids 0x8000-0xFFFE); then a clear error.
    for (uint32_t i = 0; map.size() < 0x7FFF; ++i)
        ASSERT_EQ(map.idFor(NamedKey::byId(custom, 100 + i)), 0x8027 + i);
    try {
        map.idFor(NamedKey::byName(custom, u"one too many"));
        FAIL() << "expected qm::Error";
    } catch (const qm::Error& e) {
        EXPECT_NE(std::string(e.what()).find("full"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("one too many"), std::string::npos) << e.what();
    }
    // Names already there still resolve.
    EXPECT_EQ(map.idFor(NamedKey::byId(custom, 7)), 0x8023);
}

namespace {

Property named(uint16_t localId, uint16_t type, const mapi::NamedKey& key, Bytes value) {
    Property p = Property::raw(makeTag(localId, type), std::move(value));
    p.named = std::make_shared<mapi::NamedKey>(key);
    return p;
}

std::u16string text(const Property& p) {
    return mapi::utf16FromLE(p.value);
}

}  // namespace

TEST(StoreProperties, DropsWhatTheFormatOwnsPerObjectKind) {
    mapi::PropertyBag bag;
    bag.set(Property::binary(makeTag(0x0FFF, mapi::PT_BINARY), {1, 2, 3}));  // EntryId
    bag.set(Property::binary(makeTag(0x0FF9, mapi::PT_BINARY), {4}));        // RecordKey
    bag.set(Property::int32(makeTag(0x0FFE, mapi::PT_LONG), 6));             // ObjectType
    bag.set(Property::int32(tag::MessageSize, 1234));
    bag.set(Property::boolean(tag::HasAttachments, true));
    bag.set(Property::int32(tag::StoreSupportMask, 0x40000));
    bag.set(Property::int32(tag::RowId, 3));
    bag.set(Property::int32(tag::AttachSize, 99));
    bag.set(Property::utf8(tag::Subject, "kept"));
    bag.set(Property::raw(makeTag(0x4000, mapi::PT_NULL), {}));

    NameToIdMap names;
    auto message = storeProperties(bag, ObjectKind::Message, names);
    EXPECT_EQ(message.size(), 2u);  // AttachSize is an attachment's only
    EXPECT_NE(findTag(message, tag::Subject), nullptr);
    EXPECT_NE(findTag(message, tag::AttachSize), nullptr);

    auto recipient = storeProperties(bag, ObjectKind::Recipient, names);
    // A recipient keeps the entry id, record key and object type of its
    // address-book entry, and the sizes mean nothing to it.
    EXPECT_NE(findTag(recipient, makeTag(0x0FFF, mapi::PT_BINARY)), nullptr);
    EXPECT_NE(findTag(recipient, makeTag(0x0FF9, mapi::PT_BINARY)), nullptr);
    EXPECT_NE(findTag(recipient, makeTag(0x0FFE, mapi::PT_LONG)), nullptr);
    EXPECT_EQ(findTag(recipient, tag::RowId), nullptr);
    EXPECT_EQ(findTag(recipient, tag::StoreSupportMask), nullptr);

    auto attachment = storeProperties(bag, ObjectKind::Attachment, names);
    EXPECT_EQ(findTag(attachment, tag::AttachSize), nullptr);
    EXPECT_NE(findTag(attachment, tag::MessageSize), nullptr);
    EXPECT_EQ(findTag(attachment, makeTag(0x0FFF, mapi::PT_BINARY)), nullptr);
}

TEST(StoreProperties, NamedPropertiesTakeTheStoresIds) {
    NameToIdMap names = NameToIdMap::outlookDefault();
    const mapi::Guid common = *mapi::Guid::parse("{00062008-0000-0000-C000-000000000046}");
    const auto keywords = mapi::NamedKey::byName(mapi::PS_PUBLIC_STRINGS, u"Keywords");
    const auto reminder = mapi::NamedKey::byId(common, 0x8503);
    const auto custom = mapi::NamedKey::byName(common, u"x-custom");
    mapi::PropertyBag bag;
    bag.set(named(0x8001, mapi::PT_BOOLEAN, reminder, {1}));
    bag.set(named(0x8002, mapi::PT_UNICODE, custom, mapi::utf16ToLE(u"v")));
    Property cats = named(0x8003, mapi::PT_MV_UNICODE, keywords, {});
    cats.items = {mapi::utf16ToLE(u"red"), mapi::utf16ToLE(u"blue")};
    bag.set(cats);

    auto props = storeProperties(bag, ObjectKind::Message, names);
    ASSERT_EQ(props.size(), 3u);
    const auto* r = findTag(props, makeTag(0x8017, mapi::PT_BOOLEAN));  // Outlook's id
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->value, Bytes{1});
    const auto* k = findTag(props, makeTag(0x8013, mapi::PT_MV_UNICODE));
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->items.size(), 2u);
    EXPECT_NE(findTag(props, makeTag(0x8023, mapi::PT_UNICODE)), nullptr);  // new name
    EXPECT_EQ(names.size(), 36u);

    mapi::PropertyBag nameless;
    nameless.set(Property::int32(makeTag(0x8100, mapi::PT_LONG), 1));
    try {
        storeProperties(nameless, ObjectKind::Recipient, names);
        FAIL() << "expected qm::Error";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("0x81000003"), std::string::npos) << e.what();
    }
}

TEST(EncodeSubject, MarksThePrefixOutlooksWay) {
    struct Case {
        const char16_t* subject;
        const char16_t* prefix;      // nullptr: the input has none
        const char16_t* normalized;  // nullptr: the input has none
        char16_t marker;             // stored: U+0001, the marker, the subject; 0: unchanged
    };
    const Case cases[] = {
        {u"RE: Hello", u"RE: ", nullptr, 5},
        {u"RE: Hello", u"", nullptr, 1},  // given: no prefix
        {u"Hello", u"FW: ", nullptr, 1},  // given, but not its start
        {u"Antwort: Hallo", nullptr, u"Hallo", 10},
        {u"Sv: Hej", nullptr, u"Sv: Hej", 1},
        // Derived as Outlook derives it: 1-3 letters, then ": ".
        {u"AW: Änderung", nullptr, nullptr, 5},
        {u"R: x", nullptr, nullptr, 4},
        {u"RE: FW: x", nullptr, nullptr, 5},
        {u"ОТВ: Привет", nullptr, nullptr, 6},
        {u"Hello", u"FW: ", u"Bye", 1},
        {u"Re:x", nullptr, nullptr, 1},
        {u"ABCD: x", nullptr, nullptr, 1},
        {u"10: x", nullptr, nullptr, 1},
        {u"[EXT]: x", nullptr, nullptr, 1},
        {u"A B: x", nullptr, nullptr, 1},
        {u"\x01\x05RE: x", nullptr, nullptr, 0},  // already marked
        {u"", u"", nullptr, 0},
    };
    NameToIdMap names;
    for (const Case& c : cases) {
        SCOPED_TRACE(mapi::toUtf8(c.subject));
        mapi::PropertyBag bag;
        bag.set(Property::unicode(tag::Subject, c.subject));
        if (c.prefix) bag.set(Property::unicode(makeTag(0x003D, mapi::PT_UNICODE), c.prefix));
        if (c.normalized)
            bag.set(Property::unicode(makeTag(0x0E1D, mapi::PT_UNICODE), c.normalized));
        auto props = storeProperties(bag, ObjectKind::Message, names);
        EXPECT_EQ(findTag(props, makeTag(0x003D, mapi::PT_UNICODE)), nullptr);
        EXPECT_EQ(findTag(props, makeTag(0x0E1D, mapi::PT_UNICODE)), nullptr);
        encodeSubject(bag, props);
        const std::u16string marked = std::u16string{u'\x01', c.marker} + c.subject;
        EXPECT_EQ(text(*findTag(props, tag::Subject)), c.marker ? marked : c.subject);
    }
}

TEST(ValueSize, CountsWhatAttachSizeAddsUp) {
    EXPECT_EQ(valueSize(Property::boolean(tag::AttachmentHidden, true)), 1u);
    EXPECT_EQ(valueSize(Property::int32(tag::AttachMethod, 1)), 4u);
    EXPECT_EQ(valueSize(Property::time(tag::CreationTime, 1)), 8u);
    EXPECT_EQ(valueSize(Property::utf8(tag::AttachFilename, "a.txt")), 10u);
    EXPECT_EQ(valueSize(Property::binary(tag::AttachDataBinary, Bytes(1000, 7))), 1000u);
    Property mv = Property::raw(makeTag(0x6801, mapi::PT_MV_LONG), Bytes(12, 0));
    EXPECT_EQ(valueSize(mv), 12u);
    Property mvs = Property::raw(makeTag(0x6802, mapi::PT_MV_UNICODE), {});
    mvs.items = {mapi::utf16ToLE(u"ab"), mapi::utf16ToLE(u"c")};
    EXPECT_EQ(valueSize(mvs), 6u);
    Property streamed;
    streamed.tag = tag::AttachDataBinary;
    streamed.stream = std::make_shared<PatternSource>(5u << 20, 3);
    EXPECT_EQ(valueSize(streamed), 5u << 20);
}

TEST(FoldCase, NamesDifferingOnlyInCaseCollide) {
    EXPECT_EQ(foldCase(u"Inbox"), foldCase(u"INBOX"));
    EXPECT_EQ(foldCase(u"Ärger Über"), foldCase(u"ärger über"));
    EXPECT_EQ(foldCase(u"ПРИВЕТ Ёж"), foldCase(u"привет ёж"));
    EXPECT_EQ(foldCase(u"ΣΟΦΙΑ"), foldCase(u"σοφια"));
    EXPECT_EQ(foldCase(u"Łódź"), foldCase(u"łÓDŹ"));
    EXPECT_EQ(foldCase(u"ＭＡＩＬ"), foldCase(u"ｍａｉｌ"));
    EXPECT_NE(foldCase(u"Mail"), foldCase(u"Mails"));
    EXPECT_NE(foldCase(u"a×b"), foldCase(u"a÷b"));  // × and ÷ are not a case pair
}
