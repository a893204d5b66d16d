// What happens to properties on their way into the store: the ones the
// format owns, named-property ids, the subject marker, value sizes, and the
// case folding of folder names.
#include <gtest/gtest.h>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "pst/store/folder.h"
#include "pst/store/property_rules.h"

using namespace qm;
using namespace qm::pst::store;
using mapi::makeTag;
using mapi::Property;
namespace tag = mapi::tag;

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
        const char16_t* stored;
    };
    const Case cases[] = {
        {u"RE: Hello", u"RE: ", nullptr, u"\x01\x05RE: Hello"},
        {u"RE: Hello", u"", nullptr, u"\x01\x01RE: Hello"},  // given: no prefix
        {u"Hello", u"FW: ", nullptr, u"\x01\x01Hello"},      // given, but not its start
        {u"Antwort: Hallo", nullptr, u"Hallo",
         u"\x01\x0A"
         u"Antwort: Hallo"},
        {u"Sv: Hej", nullptr, u"Sv: Hej", u"\x01\x01Sv: Hej"},
        // Derived as Outlook derives it: 1-3 letters, then ": ".
        {u"AW: Änderung", nullptr, nullptr,
         u"\x01\x05"
         u"AW: Änderung"},
        {u"R: x", nullptr, nullptr, u"\x01\x04R: x"},
        {u"RE: FW: x", nullptr, nullptr, u"\x01\x05RE: FW: x"},
        {u"ОТВ: Привет", nullptr, nullptr, u"\x01\x06ОТВ: Привет"},
        {u"Hello", u"FW: ", u"Bye", u"\x01\x01Hello"},
        {u"Re:x", nullptr, nullptr, u"\x01\x01Re:x"},
        {u"ABCD: x", nullptr, nullptr,
         u"\x01\x01"
         u"ABCD: x"},
        {u"10: x", nullptr, nullptr,
         u"\x01\x01"
         u"10: x"},
        {u"[EXT]: x", nullptr, nullptr, u"\x01\x01[EXT]: x"},
        {u"A B: x", nullptr, nullptr,
         u"\x01\x01"
         u"A B: x"},
        {u"\x01\x05RE: x", nullptr, nullptr, u"\x01\x05RE: x"},  // already marked
        {u"", u"", nullptr, u""},
    };
    NameToIdMap names;
    for (const Case& c : cases) {
        SCOPED_TRACE(mapi::toUtf8(c.subject));
        mapi::PropertyBag bag;
        bag.set(Property::unicode(tag::Subject, c.subject));
        if (c.prefix) bag.set(Property::unicode(makeTag(0x003D, mapi::PT_UNICODE), c.prefix));
        if (c.normalized) {
            bag.set(Property::unicode(makeTag(0x0E1D, mapi::PT_UNICODE), c.normalized));
        }
        auto props = storeProperties(bag, ObjectKind::Message, names);
        EXPECT_EQ(findTag(props, makeTag(0x003D, mapi::PT_UNICODE)), nullptr);
        EXPECT_EQ(findTag(props, makeTag(0x0E1D, mapi::PT_UNICODE)), nullptr);
        encodeSubject(bag, props);
        EXPECT_EQ(text(*findTag(props, tag::Subject)), c.stored);
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
