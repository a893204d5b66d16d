// The store's rules: the name-to-id map (Outlook's ids and its limits), and
// what happens to properties on their way into the store.
#include <gtest/gtest.h>

#include "mapi/bytes.h"
#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "pst/store/name_to_id_map.h"
#include "pst/store/property_rules.h"

using namespace qm;
using namespace qm::pst::store;
using mapi::makeTag;
using mapi::NamedKey;
using mapi::Property;
namespace tag = mapi::tag;

const mapi::Guid kCommon = *mapi::Guid::parse("{00062008-0000-0000-C000-000000000046}");
const mapi::Guid kHeaders = *mapi::Guid::parse("{00020386-0000-0000-C000-000000000046}");

// Outlook's ids for its 35 names (its streams and buckets are EmptyStore's,
// byte for byte); new names get the next ids, once, until the map is full.
TEST(NameToIdMap, OutlooksIdsThenNewNamesOnceUntilTheMapIsFull) {
    NameToIdMap map = NameToIdMap::outlookDefault();
    EXPECT_EQ(map.find(NamedKey::byName(kHeaders, u"content-class")), 0x8009);
    EXPECT_EQ(map.find(NamedKey::byId(kCommon, 0x8552)), 0x8022);
    ASSERT_NE(map.keyOf(0x8013), nullptr);
    EXPECT_EQ(map.keyOf(0x8013)->name, u"Keywords");
    EXPECT_EQ(map.keyOf(0x8023), nullptr);
    EXPECT_EQ(map.keyOf(0x1234), nullptr);
    EXPECT_EQ(loadLE32(map.stringStream().data()), 26u) << "content-class: 13 UTF-16 units";
    const mapi::Guid custom = *mapi::Guid::parse("{11112222-3333-4444-5555-666677778888}");
    EXPECT_EQ(map.idFor(NamedKey::byId(custom, 7)), 0x8023);
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
    // Until the map is full (ids 0x8000-0xFFFE); then an error.
    for (uint32_t i = 0; map.size() < 0x7FFF; ++i)
        ASSERT_EQ(map.idFor(NamedKey::byId(custom, 100 + i)), 0x8027 + i);
    EXPECT_THROW(map.idFor(NamedKey::byName(custom, u"one too many")), qm::Error);
    // Names already there still resolve.
    EXPECT_EQ(map.idFor(NamedKey::byId(custom, 7)), 0x8023);
}

// Per object kind: what the format owns is dropped (a recipient keeps the
// ids of its address-book entry; sizes are an attachment's or a message's
// own); a named-range id without a name is refused.
TEST(StoreProperties, DropsWhatTheFormatOwnsRefusesANamedIdWithoutANameAndMarksThePrefix) {
    mapi::PropertyBag bag;
    bag.set(Property::binary(makeTag(0x0FFF, mapi::PT_BINARY), {1, 2, 3}));  // EntryId
    bag.set(Property::int32(makeTag(0x0FFE, mapi::PT_LONG), 6));             // ObjectType
    bag.set(Property::int32(tag::MessageSize, 1234));
    bag.set(Property::int32(tag::StoreSupportMask, 0x40000));
    bag.set(Property::int32(tag::AttachSize, 99));
    bag.set(Property::utf8(tag::Subject, "kept"));
    bag.set(Property::raw(makeTag(0x4000, mapi::PT_NULL), {}));
    NameToIdMap names = NameToIdMap::outlookDefault();
    auto message = storeProperties(bag, ObjectKind::Message, names);
    EXPECT_EQ(message.size(), 2u);
    EXPECT_NE(findTag(message, tag::AttachSize), nullptr);
    auto recipient = storeProperties(bag, ObjectKind::Recipient, names);
    EXPECT_NE(findTag(recipient, makeTag(0x0FFF, mapi::PT_BINARY)), nullptr);
    EXPECT_NE(findTag(recipient, makeTag(0x0FFE, mapi::PT_LONG)), nullptr);
    EXPECT_EQ(findTag(recipient, tag::StoreSupportMask), nullptr);
    auto attachment = storeProperties(bag, ObjectKind::Attachment, names);
    EXPECT_EQ(findTag(attachment, tag::AttachSize), nullptr);
    EXPECT_NE(findTag(attachment, tag::MessageSize), nullptr);
    EXPECT_EQ(findTag(attachment, makeTag(0x0FFF, mapi::PT_BINARY)), nullptr);
    // What PidTagAttachSize adds up for multi-valued values.
    EXPECT_EQ(valueSize(Property::raw(makeTag(0x6801, mapi::PT_MV_LONG), Bytes(12, 0))), 12u);
    Property mvs = Property::raw(makeTag(0x6802, mapi::PT_MV_UNICODE), {});
    mvs.items = {mapi::utf16ToLE(u"ab"), mapi::utf16ToLE(u"c")};
    EXPECT_EQ(valueSize(mvs), 6u);
    mapi::PropertyBag nameless;
    nameless.set(Property::int32(makeTag(0x8100, mapi::PT_LONG), 1));
    EXPECT_THROW(storeProperties(nameless, ObjectKind::Recipient, names), Error);
    // The subject's prefix marked Outlook's way.
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
        {u"R: x", nullptr, nullptr, 4},
        {u"ОТВ: Привет", nullptr, nullptr, 6},
        {u"Re:x", nullptr, nullptr, 1},
        {u"ABCD: x", nullptr, nullptr, 1},
        {u"10: x", nullptr, nullptr, 1},
        {u"\x01\x05RE: x", nullptr, nullptr, 0},  // already marked
        {u"", u"", nullptr, 0},
    };
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
        EXPECT_EQ(mapi::utf16FromLE(findTag(props, tag::Subject)->value),
                  c.marker ? marked : c.subject);
    }
}
