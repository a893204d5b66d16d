#include <gtest/gtest.h>

#include "mapi/codepage.h"
#include "mapi/message.h"
#include "mapi/propnames.h"
#include "mapi/tags.h"

using namespace qm::mapi;

TEST(Guid, ParsesAndPrintsInStoredByteOrder) {
    Guid g = *Guid::parse("{00020329-0000-0000-C000-000000000046}");
    EXPECT_EQ(g.bytes[0], 0x29);  // first field little-endian
    EXPECT_EQ(g.bytes[1], 0x03);
    EXPECT_EQ(g.bytes[8], 0xC0);
    EXPECT_EQ(g.str(), "{00020329-0000-0000-C000-000000000046}");
    EXPECT_FALSE(Guid::parse("{0002032-0000-0000-C000-000000000046}"));
    EXPECT_FALSE(Guid::parse("{00020329x0000-0000-C000-000000000046}"));
}

TEST(PropertyBag, SetReplacesByIdentityAndDecodesStrings) {
    PropertyBag bag;
    bag.set(Property::utf8(tag::Subject, "Grüße"));
    bag.set(Property::int32(tag::MessageFlags, 1));
    bag.set(Property::int32(tag::MessageFlags, 17));
    auto nk = std::make_shared<NamedKey>(NamedKey::byName(PS_PUBLIC_STRINGS, u"Keywords"));
    Property named = Property::utf8(makeTag(0x8001, PT_UNICODE), "x");
    named.named = nk;
    bag.set(named);
    named.tag = makeTag(0x8005, PT_UNICODE);  // another local id, same name: same property
    named.value = utf16ToLE(u"y");
    bag.set(named);
    EXPECT_EQ(bag.size(), 3u);
    EXPECT_EQ(bag.int32(tag::MessageFlags), 17);
    EXPECT_EQ(bag.string(0x0037), "Grüße");
    EXPECT_EQ(toUtf8(utf16FromLE(bag.findNamed(*nk, PT_UNICODE)->value)), "y");

    bag.set(Property::string8(makeTag(0x0E04, PT_STRING8), "\xCF\xF0\xE8\xE2\xE5\xF2"));
    EXPECT_EQ(bag.string(0x0E04, 1251), "Привет");
}

TEST(CodePage, DecodesWithIconvAndResolvesLocales) {
    EXPECT_EQ(toUtf8(decodeCodePage("\x82\xA0", 932)), "あ");
    EXPECT_EQ(toUtf8(decodeCodePage("caf\xE9", 1252)), "café");
    EXPECT_EQ(toUtf8(decodeCodePage("ab\x81", 932)), "ab\xEF\xBF\xBD");  // cut-off lead byte
    EXPECT_EQ(codePageForLocale(0x0419), 1251);
    EXPECT_EQ(codePageForLocale(0x0411), 932);
    EXPECT_EQ(codePageForLocale(0x0804), 936);
    EXPECT_EQ(codePageForLocale(0x0404), 950);
    EXPECT_FALSE(codePageForLocale(0x0439));  // Hindi has no ANSI code page

    Message m;
    EXPECT_EQ(m.stringCodePage(), 1252);
    m.props.set(Property::int32(tag::InternetCodepage, 28591));
    EXPECT_EQ(m.stringCodePage(), 1252);  // the MIME body's charset, not the strings
    m.props.set(Property::int32(tag::MessageLocaleId, 0x0419));
    EXPECT_EQ(m.stringCodePage(), 1251);
    m.props.set(Property::int32(tag::MessageCodepage, 932));
    EXPECT_EQ(m.stringCodePage(), 932);
}

TEST(Utf, SurrogatesAndInvalidBytes) {
    std::string emoji = "\xF0\x9F\x98\x80";
    EXPECT_EQ(fromUtf8(emoji).size(), 2u);
    EXPECT_EQ(toUtf8(fromUtf8(emoji)), emoji);
    EXPECT_EQ(toUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
    EXPECT_EQ(fromUtf8("\xC0\x80"), std::u16string(u"\uFFFD\uFFFD"));
    EXPECT_STREQ(propertyName(0x0037), "PidTagSubject");
    EXPECT_STREQ(propertyName(0x1234), "");
    EXPECT_EQ(typeName(PT_MV_UNICODE), "PtypMultipleString");
    EXPECT_EQ(typeName(0x1234), "0x1234");
}
