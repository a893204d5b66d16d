// The MAPI model: GUIDs, property bags, code pages, UTF conversions and the
// 8-bit string rule (which code page each 8-bit string is read with).
#include <gtest/gtest.h>

#include "mapi/codepage.h"
#include "mapi/message.h"
#include "mapi/propnames.h"
#include "mapi/tags.h"
#include "mapi/unicode_strings.h"

using namespace qm::mapi;
using qm::Bytes;

namespace {

const std::string kPrivet1251 = "\xCF\xF0\xE8\xE2\xE5\xF2";
const std::string kPrivetKoi8 = "\xF0\xD2\xC9\xD7\xC5\xD4";

Property s8(uint16_t id, std::string_view bytes) {
    return Property::string8(makeTag(id, PT_STRING8), bytes);
}
std::string text(const PropertyBag& bag, uint16_t id) {
    const Property* p = bag.find(makeTag(id, PT_UNICODE));
    return p ? toUtf8(utf16FromLE(p->value)) : "<no Unicode value>";
}

TEST(PropertyBag, SetReplacesByIdentityDecodesStringsAndGuidsKeepStoredByteOrder) {
    const Guid g = *Guid::parse("{00020329-0000-0000-C000-000000000046}");
    EXPECT_EQ(g.bytes[0], 0x29);  // first field little-endian
    EXPECT_EQ(g.bytes[8], 0xC0);
    for (const char* bad :
         {"{0002032-0000-0000-C000-000000000046}", "{00020329x0000-0000-C000-000000000046}"})
        EXPECT_FALSE(Guid::parse(bad));

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
    bag.set(s8(0x0E04, kPrivet1251));
    EXPECT_EQ(bag.string(0x0E04, 1251), "Привет");
    // Equal values: a named property's local id does not count, a stream
    // equals its bytes.
    Property other = named, plain = named, items = named, streamed = *bag.find(tag::Subject);
    other.tag = makeTag(0x8001, PT_UNICODE);
    EXPECT_TRUE(named == other);
    other.named = std::make_shared<NamedKey>(NamedKey::byName(PS_PUBLIC_STRINGS, u"Other"));
    plain.named.reset();
    items.items = {Bytes{1}};
    for (const Property* p : {&other, &plain, &items, bag.find(tag::MessageFlags)})
        EXPECT_FALSE(named == *p);
    streamed.stream = std::make_shared<qm::MemorySource>(streamed.value);
    streamed.value.clear();
    EXPECT_TRUE(streamed == *bag.find(tag::Subject));
    EXPECT_STREQ(propertyName(0x1234), "");
    EXPECT_EQ(typeName(0x1234), "0x1234");
}

TEST(CodePage, DecodesWithIconvRefusesUnknownNamesAndUtfKeepsSurrogates) {
    CodePageDecoder decoder;
    for (int round = 0; round < 2; ++round) {  // a reused converter starts clean
        EXPECT_EQ(toUtf8(decoder.decode("\x1B$B$\"\x1B(B!", 50220).text), "あ!");
        auto r = decoder.decode("a\x81", 932);  // a cut-off lead byte
        EXPECT_EQ(toUtf8(r.text), "a\xEF\xBF\xBD");
        EXPECT_TRUE(r.invalidBytes);
        r = decoder.decode("a\x80z", 932);  // a byte no character starts with, mid-text
        EXPECT_EQ(toUtf8(r.text), "a\xEF\xBF\xBDz");
        EXPECT_TRUE(r.invalidBytes);
    }
    for (const char* unknown : {"windows-99999999999", "x-unknown", ""})
        EXPECT_FALSE(codePageForCharset(unknown));
    const std::string emoji = "\xF0\x9F\x98\x80";
    EXPECT_EQ(toUtf8(fromUtf8(emoji)), emoji);
    EXPECT_EQ(toUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(DecodeString8, ChoosesTheCodePageByTheRuleReachesEveryObjectAndNamesInvalidBytes) {
    const std::string hdrKoi8 =
        "Received: by x\r\nContent-Type: text/plain;\r\n\tformat=flowed; charset=\"KOI8-R\"\r\n"
        "Subject: =?koi8-r?B?8NLJ18XU?=\r\n\r\nContent-Type: text/plain; charset=big5\r\n";
    const struct {
        const char* what;
        int32_t messageCodepage, localeId, internetCodepage;  // 0: absent
        std::string headers;
        int fallback;
        std::string subject, body;  // 8-bit
        const char *wantSubject, *wantBody;
        const char* warning = nullptr;  // the one warning's text, when there is one
    } cases[] = {
        {"message code page before the locale and the internet code page", 1251, 0x0411, 932,
         hdrKoi8, 1252, kPrivet1251, "\x81\xA0", "Привет", "□"},
        {"locale's ANSI code page (1049 -> 1251) before the headers", 0, 0x0419, 1252, hdrKoi8,
         1252, kPrivet1251, "", "Привет", ""},
        {"an unknown locale falls through to the headers' charset", 0, 0x0439, 0, hdrKoi8, 1252,
         kPrivetKoi8, kPrivetKoi8, "Привет", "Привет"},
        {"internet code page is the body's only", 0, 0, 1251, "", 1252, kPrivet1251, kPrivet1251,
         "Ïðèâåò", "Привет"},
        {"UTF-8 internet code page: the body follows the general rule", 1251, 0, 65001, "", 1252,
         kPrivet1251, kPrivet1251, "Привет", "Привет"},
        {"nothing said: the run's fallback", 0, 0, 0, "", 1251, kPrivet1251, "", "Привет", ""},
        {"headers without a charset: the fallback", 0, 0, 0,
         "Content-Type: multipart/mixed; boundary=\"charset=koi8-r\"\r\n", 1252, kPrivet1251, "",
         "Ïðèâåò", ""},
        // Not text: said once a property; a code page unknown here: once a message.
        {"UTF-8 with invalid bytes", 65001, 0, 0, "", 1252, "ok \xC0\x80 \xFF", "",
         "ok \uFFFD\uFFFD \uFFFD", "", "not text in code page 65001"},
        {"an unknown code page: 1252 instead", 12345, 0, 0, "", 1252, "caf\xE9", "na\xEFve", "café",
         "naïve", "code page 12345 is unknown here"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Message m;
        for (auto [t, v] : {std::pair{tag::MessageCodepage, c.messageCodepage},
                            {tag::MessageLocaleId, c.localeId},
                            {tag::InternetCodepage, c.internetCodepage}})
            if (v) m.props.set(Property::int32(t, v));
        if (!c.headers.empty()) m.props.set(s8(0x007D, c.headers));
        m.props.set(s8(0x0037, c.subject));
        if (!c.body.empty()) m.props.set(s8(0x1000, c.body));
        const auto warnings = decodeString8(m, c.fallback);
        ASSERT_EQ(warnings.size(), c.warning ? 1u : 0u);
        EXPECT_TRUE(!c.warning || warnings[0].find(c.warning) != std::string::npos);
        EXPECT_EQ(text(m.props, 0x0037), c.wantSubject);
        EXPECT_EQ(text(m.props, 0x1000), c.body.empty() ? "<no Unicode value>" : c.wantBody);
        EXPECT_EQ(text(m.props, 0x007D), c.headers.empty() ? "<no Unicode value>" : c.headers);
        EXPECT_FALSE(holdsString8(m));
    }

    Message unicodeHeaders;
    unicodeHeaders.props.set(
        Property::utf8(makeTag(0x007D, PT_UNICODE),
                       "From: a@b\r\ncontent-type: text/plain; CHARSET=windows-1251\r\n"));
    EXPECT_EQ(unicodeHeaders.declaredCodePage(), 1251);
    EXPECT_EQ(unicodeHeaders.stringCodePage(), 1251);

    Message inner;  // no code page of its own: its parent's (932)
    inner.props.set(s8(0x0037, "\x82\xA0"));
    inner.recipients.emplace_back().props.set(s8(0x3001, "x\x81"));
    Message deepest;  // its own code page wins over its parents'
    deepest.props.set(Property::int32(tag::MessageCodepage, 1251));
    deepest.props.set(s8(0x0037, kPrivet1251));
    inner.attachments.emplace_back().embedded = std::make_unique<Message>(std::move(deepest));

    Message m;
    m.props.set(Property::int32(tag::MessageCodepage, 932));
    m.props.set(s8(0x0037, "\x93\xFA\x96\x7B\x8C\xEA"));
    // Both forms of one property: the Unicode one is kept.
    m.props.set(s8(0x0042, "old"));
    m.props.set(Property::utf8(tag::SentRepresentingName, "Ann"));
    Property keywords = Property::raw(makeTag(0x8005, PT_MV_STRING8), {});
    keywords.named = std::make_shared<NamedKey>(NamedKey::byName(PS_PUBLIC_STRINGS, u"Keywords"));
    keywords.items = {Bytes{0x82, 0xA0}, Bytes{'o', 'k'}};
    m.props.set(keywords);
    Property streamed = s8(0x1000, "");
    streamed.value.clear();
    streamed.stream = std::make_shared<qm::MemorySource>(Bytes{0x82, 0xA2});
    m.props.set(streamed);
    m.recipients.emplace_back().props.set(s8(0x3001, "\x82\xA4"));
    m.attachments.emplace_back().props.set(s8(0x3707, "\x82\xA6.txt"));
    m.attachments.emplace_back().embedded = std::make_unique<Message>(std::move(inner));

    const auto warnings = decodeString8(m);
    EXPECT_FALSE(holdsString8(m));
    EXPECT_EQ(text(m.props, 0x0037), "日本語");
    EXPECT_EQ(text(m.props, 0x0042), "Ann");
    EXPECT_EQ(text(m.props, 0x1000), "い");
    const Property* k = m.props.findNamed(*keywords.named, PT_MV_UNICODE);
    ASSERT_NE(k, nullptr);
    ASSERT_EQ(k->items.size(), 2u);
    EXPECT_EQ(toUtf8(utf16FromLE(k->items[0])), "あ");
    EXPECT_EQ(toUtf8(utf16FromLE(k->items[1])), "ok");
    EXPECT_EQ(text(m.recipients[0].props, 0x3001), "う");
    EXPECT_EQ(text(m.attachments[0].props, 0x3707), "え.txt");
    const Message& in = *m.attachments[1].embedded;
    EXPECT_EQ(text(in.props, 0x0037), "あ");
    EXPECT_EQ(text(in.recipients[0].props, 0x3001), "x\xEF\xBF\xBD");
    EXPECT_EQ(text(in.attachments[0].embedded->props, 0x0037), "Привет");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0],
              "PidTagDisplayName (0x3001001E) of recipient 0 of the message embedded in "
              "attachment 1 holds bytes that are not text in code page 932; they read as U+FFFD");
}

}  // namespace
