// decodeString8: which code page each 8-bit string is read with, and that
// nothing 8-bit is left anywhere in the message.
#include <gtest/gtest.h>

#include "mapi/codepage.h"
#include "mapi/message.h"
#include "mapi/tags.h"
#include "mapi/unicode_strings.h"

using namespace qm::mapi;
using qm::Bytes;
using qm::MemorySource;

namespace {

constexpr PropTag kSubject8 = makeTag(0x0037, PT_STRING8);
constexpr PropTag kBody8 = makeTag(0x1000, PT_STRING8);
constexpr PropTag kHeaders = makeTag(0x007D, PT_UNICODE);
constexpr PropTag kHeaders8 = makeTag(0x007D, PT_STRING8);
const std::string kPrivet1251 = "\xCF\xF0\xE8\xE2\xE5\xF2";
const std::string kPrivetKoi8 = "\xF0\xD2\xC9\xD7\xC5\xD4";

std::string text(const PropertyBag& bag, uint16_t id) {
    const Property* p = bag.find(makeTag(id, PT_UNICODE));
    return p ? toUtf8(utf16FromLE(p->value)) : "<no Unicode value>";
}

TEST(DecodeString8, ChoosesTheCodePageByTheRule) {
    struct Case {
        const char* what;
        std::vector<std::pair<PropTag, int32_t>> ints;
        std::string headers;
        int fallback;
        std::string subject;  // 8-bit
        std::string body;     // 8-bit
        const char* wantSubject;
        const char* wantBody;
    };
    const std::string hdrKoi8 =
        "Received: by x\r\nContent-Type: text/plain;\r\n\tformat=flowed; charset=\"KOI8-R\"\r\n"
        "Subject: =?koi8-r?B?8NLJ18XU?=\r\n\r\nContent-Type: text/plain; charset=big5\r\n";
    const std::vector<Case> cases = {
        {"message code page before the locale and the internet code page",
         {{tag::MessageCodepage, 1251},
          {tag::MessageLocaleId, 0x0411},
          {tag::InternetCodepage, 932}},
         hdrKoi8,
         1252,
         kPrivet1251,
         "\x81\xA0",
         "Привет",
         "□"},
        {"locale's ANSI code page (1049 -> 1251) before the headers",
         {{tag::MessageLocaleId, 0x0419}, {tag::InternetCodepage, 1252}},
         hdrKoi8,
         1252,
         kPrivet1251,
         "",
         "Привет",
         ""},
        {"an unknown locale falls through to the headers' charset",
         {{tag::MessageLocaleId, 0x0439}},
         hdrKoi8,
         1252,
         kPrivetKoi8,
         kPrivetKoi8,
         "Привет",
         "Привет"},
        {"internet code page is the body's only",
         {{tag::InternetCodepage, 1251}},
         "",
         1252,
         kPrivet1251,
         kPrivet1251,
         "Ïðèâåò",
         "Привет"},
        {"UTF-8 internet code page: the body follows the general rule",
         {{tag::InternetCodepage, 65001}, {tag::MessageCodepage, 1251}},
         "",
         1252,
         kPrivet1251,
         kPrivet1251,
         "Привет",
         "Привет"},
        {"nothing said: the run's fallback", {}, "", 1251, kPrivet1251, "", "Привет", ""},
        {"headers without a charset: the fallback",
         {},
         "Content-Type: multipart/mixed; boundary=\"charset=koi8-r\"\r\n",
         1252,
         kPrivet1251,
         "",
         "Ïðèâåò",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Message m;
        for (const auto& [t, v] : c.ints) m.props.set(Property::int32(t, v));
        if (!c.headers.empty()) m.props.set(Property::string8(kHeaders8, c.headers));
        m.props.set(Property::string8(kSubject8, c.subject));
        if (!c.body.empty()) m.props.set(Property::string8(kBody8, c.body));
        EXPECT_TRUE(decodeString8(m, c.fallback).empty());
        EXPECT_EQ(text(m.props, 0x0037), c.wantSubject);
        if (!c.body.empty()) {
            EXPECT_EQ(text(m.props, 0x1000), c.wantBody);
        }
        EXPECT_EQ(text(m.props, 0x007D), c.headers.empty() ? "<no Unicode value>" : c.headers);
        EXPECT_FALSE(holdsString8(m));
    }

    Message unicodeHeaders;
    unicodeHeaders.props.set(Property::utf8(
        kHeaders, "From: a@b\r\ncontent-type: text/plain; CHARSET=windows-1251\r\n"));
    EXPECT_EQ(unicodeHeaders.declaredCodePage(), 1251);
    EXPECT_EQ(unicodeHeaders.stringCodePage(), 1251);
    EXPECT_EQ(Message().stringCodePage(874), 874);
}

TEST(DecodeString8, ReachesEveryObjectAndNamesWhereBytesAreInvalid) {
    Message inner;  // no code page of its own: its parent's (932)
    inner.props.set(Property::string8(kSubject8, "\x82\xA0"));
    Recipient innerRecipient;
    innerRecipient.props.set(Property::string8(makeTag(0x3001, PT_STRING8), "x\x81"));
    inner.recipients.push_back(std::move(innerRecipient));
    Message deepest;  // its own code page wins over its parents'
    deepest.props.set(Property::int32(tag::MessageCodepage, 1251));
    deepest.props.set(Property::string8(kSubject8, kPrivet1251));
    Attachment deep;
    deep.embedded = std::make_unique<Message>(std::move(deepest));
    inner.attachments.push_back(std::move(deep));

    Message m;
    m.props.set(Property::int32(tag::MessageCodepage, 932));
    m.props.set(Property::string8(kSubject8, "\x93\xFA\x96\x7B\x8C\xEA"));
    // Both forms of one property: the Unicode one is kept.
    m.props.set(Property::string8(makeTag(0x0042, PT_STRING8), "old"));
    m.props.set(Property::utf8(tag::SentRepresentingName, "Ann"));
    Property keywords = Property::raw(makeTag(0x8005, PT_MV_STRING8), {});
    keywords.named = std::make_shared<NamedKey>(NamedKey::byName(PS_PUBLIC_STRINGS, u"Keywords"));
    keywords.items = {Bytes{0x82, 0xA0}, Bytes{'o', 'k'}};
    m.props.set(keywords);
    Property streamed = Property::string8(kBody8, "");
    streamed.value.clear();
    streamed.stream = std::make_shared<MemorySource>(Bytes{0x82, 0xA2});
    m.props.set(streamed);
    Recipient r;
    r.props.set(Property::string8(makeTag(0x3001, PT_STRING8), "\x82\xA4"));
    m.recipients.push_back(std::move(r));
    Attachment plain;
    plain.props.set(Property::string8(makeTag(0x3707, PT_STRING8), "\x82\xA6.txt"));
    m.attachments.push_back(std::move(plain));
    Attachment holder;
    holder.embedded = std::make_unique<Message>(std::move(inner));
    m.attachments.push_back(std::move(holder));

    const auto warnings = decodeString8(m);
    EXPECT_FALSE(holdsString8(m));
    EXPECT_EQ(text(m.props, 0x0037), "日本語");
    EXPECT_EQ(text(m.props, 0x0042), "Ann");
    EXPECT_EQ(m.props.findId(0x0042)->type(), PT_UNICODE);
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

TEST(DecodeString8, InvalidBytesAndUnknownCodePagesAreReportedOnce) {
    Message m;
    m.props.set(Property::int32(tag::MessageCodepage, 65001));
    m.props.set(Property::string8(kSubject8, "ok \xC0\x80 \xFF"));
    EXPECT_EQ(decodeString8(m).size(), 1u);
    EXPECT_EQ(text(m.props, 0x0037), "ok \xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD");

    Message odd;
    odd.props.set(Property::int32(tag::MessageCodepage, 12345));
    odd.props.set(Property::string8(kSubject8, "caf\xE9"));
    odd.props.set(Property::string8(kBody8, "na\xEFve"));
    const auto warnings = decodeString8(odd);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("code page 12345"), std::string::npos) << warnings[0];
    EXPECT_EQ(text(odd.props, 0x0037), "café");

    Message clean;
    clean.props.set(Property::utf8(tag::Subject, "already Unicode"));
    EXPECT_TRUE(decodeString8(clean).empty());
    EXPECT_EQ(clean.props.size(), 1u);
}

TEST(CodePage, CharsetNamesAndDecoderReuse) {
    EXPECT_EQ(codePageForCharset("UTF-8"), 65001);
    EXPECT_EQ(codePageForCharset("iso-8859-2"), 28592);
    EXPECT_EQ(codePageForCharset("Windows-1251"), 1251);
    EXPECT_EQ(codePageForCharset("Shift_JIS"), 932);
    EXPECT_EQ(codePageForCharset("big5"), 950);
    EXPECT_FALSE(codePageForCharset("windows-99999999999"));
    EXPECT_FALSE(codePageForCharset("x-unknown"));
    EXPECT_FALSE(codePageForCharset(""));

    CodePageDecoder decoder;
    for (int round = 0; round < 2; ++round) {  // a reused converter starts clean
        EXPECT_EQ(toUtf8(decoder.decode("\x1B$B$\"\x1B(B!", 50220).text), "あ!");
        auto r = decoder.decode("a\x81", 932);
        EXPECT_EQ(toUtf8(r.text), "a\xEF\xBF\xBD");
        EXPECT_TRUE(r.invalidBytes);
        EXPECT_FALSE(decoder.decode(kPrivet1251, 1251).invalidBytes);
    }
}

}  // namespace
