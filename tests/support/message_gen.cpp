#include "support/message_gen.h"

#include <cstring>
#include <memory>
#include <sstream>

#include "mapi/codepage.h"
#include "mapi/tags.h"
#include "msg/compound_file_writer.h"

namespace qm::testing {

using namespace mapi;

namespace {

// Test-only property ids, clear of every well-known tag.
constexpr uint16_t kFirstTypeId = 0x6800;
const Guid kPsetidCommon = *Guid::parse("{00062008-0000-0000-C000-000000000046}");
const Guid kCustomSet = *Guid::parse("{9B2F2C1A-5D3E-4F60-8A7B-1C2D3E4F5061}");

// "Привет" in cp1251.
const std::string kCyrillic8 = "\xCF\xF0\xE8\xE2\xE5\xF2";

struct Strings {
    bool unicode;
    PropTag tag(uint16_t id) const { return makeTag(id, unicode ? PT_UNICODE : PT_STRING8); }
    // `ascii` plus a non-Latin tail that both encodings can carry.
    Property make(uint16_t id, const std::string& ascii) const {
        if (unicode) return Property::utf8(makeTag(id, PT_UNICODE), ascii + " Grüße 日本語 Привет");
        return Property::string8(makeTag(id, PT_STRING8), ascii + " " + kCyrillic8);
    }
};

Bytes pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    PatternSource(n, seed).read(0, b);
    return b;
}

void addAllTypes(PropertyBag& bag, uint32_t seed) {
    uint16_t id = kFirstTypeId;
    auto next = [&](uint16_t type) { return makeTag(id++, type); };
    bag.set(Property::int16(next(PT_SHORT), int16_t(-1234 - int(seed % 7))));
    bag.set(Property::int32(next(PT_LONG), int32_t(0x7A6B5C4D ^ seed)));
    {
        float f = 3.25f;
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        Bytes b(4);
        storeLE32(b.data(), bits);
        bag.set(Property::raw(next(PT_FLOAT), b));
    }
    bag.set(Property::float64(next(PT_DOUBLE), -2.5e10 + seed));
    bag.set(Property::int64(next(PT_CURRENCY), 123456789));  // 12345.6789
    bag.set(Property::float64(next(PT_APPTIME), 40000.5));
    bag.set(Property::raw(next(PT_ERROR), {0x0F, 0x01, 0x04, 0x80}));  // MAPI_E_NOT_FOUND
    bag.set(Property::boolean(next(PT_BOOLEAN), true));
    bag.set(Property::int64(next(PT_LONGLONG), int64_t(0x1122334455667788ll) + seed));
    bag.set(Property::string8(next(PT_STRING8), "eight-bit " + kCyrillic8));
    bag.set(Property::utf8(next(PT_UNICODE), "unicode 𝄞 music"));  // a surrogate pair
    bag.set(Property::time(next(PT_SYSTIME), 0x01D5A1B2C3D4E5F6ull + seed));
    bag.set(Property::raw(next(PT_CLSID), Bytes(kCustomSet.bytes.begin(), kCustomSet.bytes.end())));
    bag.set(Property::binary(next(PT_BINARY), pattern(300, seed)));
    // Multi-valued, fixed size: elements packed.
    auto packed = [&](uint16_t type, size_t elem, size_t count) {
        Property p = Property::raw(next(type), pattern(elem * count, seed + type));
        bag.set(std::move(p));
    };
    packed(PT_MV_SHORT, 2, 3);
    packed(PT_MV_LONG, 4, 5);
    packed(PT_MV_FLOAT, 4, 2);
    packed(PT_MV_DOUBLE, 8, 2);
    packed(PT_MV_CURRENCY, 8, 2);
    packed(PT_MV_APPTIME, 8, 2);
    packed(PT_MV_LONGLONG, 8, 4);
    packed(PT_MV_SYSTIME, 8, 3);
    packed(PT_MV_CLSID, 16, 2);
    // Multi-valued, variable size: one item per value.
    Property mv8;
    mv8.tag = next(PT_MV_STRING8);
    mv8.items = {Bytes{'o', 'n', 'e'}, Bytes(kCyrillic8.begin(), kCyrillic8.end()), Bytes{'x'}};
    bag.set(std::move(mv8));
    Property mvu;
    mvu.tag = next(PT_MV_UNICODE);
    mvu.items = {utf16ToLE(u"alpha"), utf16ToLE(u"βeta"), utf16ToLE(u"")};
    bag.set(std::move(mvu));
    Property mvb;
    mvb.tag = next(PT_MV_BINARY);
    mvb.items = {pattern(5, seed), Bytes{}, pattern(5000, seed + 1)};
    bag.set(std::move(mvb));
}

// PidTagRtfCompressed holding `rtf` uncompressed: COMPSIZE, RAWSIZE, "MELA", CRC 0.
Bytes melaRtf(const std::string& rtf) {
    Bytes b;
    appendLE32(b, uint32_t(rtf.size() + 12));
    appendLE32(b, uint32_t(rtf.size()));
    appendLE32(b, 0x414C454D);
    appendLE32(b, 0);
    b.insert(b.end(), rtf.begin(), rtf.end());
    return b;
}

Message makeLevel(const MessageSpec& spec, int level, int depthLeft, bool top);

Attachment embeddedAttachment(const MessageSpec& spec, int level, int depthLeft) {
    Attachment a;
    Strings s{spec.unicode};
    a.props.set(Property::int32(tag::AttachMethod, ATTACH_EMBEDDED_MSG));
    a.props.set(s.make(propId(tag::DisplayName), "Embedded level " + std::to_string(level)));
    a.props.set(Property::int32(tag::RenderingPosition, -1));
    a.embedded = std::make_unique<Message>(makeLevel(spec, level, depthLeft, false));
    return a;
}

Message makeLevel(const MessageSpec& spec, int level, int depthLeft, bool top) {
    Message m;
    Strings s{spec.unicode};
    uint32_t seed = spec.seed + uint32_t(level) * 1000;
    if (s.unicode) {
        m.props.set(Property::utf8(tag::MessageClass, spec.messageClass));
        m.props.set(Property::utf8(
            tag::Subject,
            level == 0 ? spec.subject : spec.subject + " / level " + std::to_string(level)));
    } else {
        m.props.set(Property::string8(makeTag(0x001A, PT_STRING8), spec.messageClass));
        m.props.set(Property::string8(
            makeTag(0x0037, PT_STRING8),
            (level == 0 ? spec.subject : spec.subject + " / level " + std::to_string(level)) + " " +
                kCyrillic8));
        m.props.set(Property::int32(tag::MessageCodepage, 1251));
    }
    m.props.set(s.make(propId(tag::Body), "Body text of level " + std::to_string(level)));
    m.props.set(s.make(propId(tag::SenderName), "Ann Sender"));
    m.props.set(Property::utf8(tag::SenderEmailAddress, "ann@example.com"));
    m.props.set(Property::time(tag::ClientSubmitTime, 0x01D9000000000000ull + seed));
    m.props.set(Property::time(tag::MessageDeliveryTime, 0x01D9000100000000ull + seed));
    m.props.set(Property::int32(tag::MessageFlags, MSGFLAG_READ));
    m.props.set(Property::int32(tag::Importance, 1));
    m.props.set(Property::int32(tag::InternetCodepage, 65001));
    if (spec.htmlBody) {
        std::string html = "<html><body><p>Hello <b>Grüße</b> level " + std::to_string(level) +
                           "</p></body></html>";
        m.props.set(Property::binary(tag::Html, Bytes(html.begin(), html.end())));
    }
    if (spec.rtfBody) {
        m.props.set(Property::binary(
            tag::RtfCompressed,
            melaRtf("{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Arial;}}\\f0 Hello level " +
                    std::to_string(level) + "\\par}")));
    }
    if (top && spec.allTypes) addAllTypes(m.props, seed);
    if (top) {
        for (size_t i = 0; i < spec.namedById; ++i) {
            Property p =
                (i % 2) ? Property::utf8(makeTag(0x8000, PT_UNICODE), "named " + std::to_string(i))
                        : Property::int32(makeTag(0x8000, PT_LONG), int32_t(i * 7));
            p.named = std::make_shared<NamedKey>(
                NamedKey::byId(i % 3 == 2 ? kCustomSet : kPsetidCommon, uint32_t(0x8500 + i)));
            m.props.set(std::move(p));
        }
        for (size_t i = 0; i < spec.namedByName; ++i) {
            Property p;
            if (i == 0) {
                p.tag = makeTag(0x8000, PT_MV_UNICODE);
                p.items = {utf16ToLE(u"red"), utf16ToLE(u"Привет")};
                p.named =
                    std::make_shared<NamedKey>(NamedKey::byName(PS_PUBLIC_STRINGS, u"Keywords"));
            } else {
                p = Property::utf8(makeTag(0x8000, PT_UNICODE), "value " + std::to_string(i));
                p.named = std::make_shared<NamedKey>(
                    NamedKey::byName(i % 2 ? PS_PUBLIC_STRINGS : kCustomSet,
                                     fromUtf8("x-qm-header-" + std::to_string(i))));
            }
            m.props.set(std::move(p));
        }
    } else if (spec.namedById) {
        // Embedded messages use the top-level map too.
        Property p = Property::int32(makeTag(0x8000, PT_LONG), level);
        p.named = std::make_shared<NamedKey>(NamedKey::byId(kPsetidCommon, 0x8500));
        m.props.set(std::move(p));
    }
    size_t recips = top ? spec.recipients : 1;
    std::string displayTo;
    for (size_t i = 0; i < recips; i += 3)
        displayTo +=
            (displayTo.empty() ? "" : "; ") + std::string("Recipient ") + std::to_string(i);
    if (recips) m.props.set(Property::utf8(tag::DisplayTo, displayTo));
    for (size_t i = 0; i < recips; ++i) {
        Recipient r;
        r.props.set(Property::int32(tag::RecipientType, int32_t(1 + i % 3)));
        r.props.set(s.make(propId(tag::DisplayName), "Recipient " + std::to_string(i)));
        r.props.set(Property::utf8(tag::AddressType, "SMTP"));
        r.props.set(Property::utf8(tag::EmailAddress, "r" + std::to_string(i) + "@example.com"));
        r.props.set(Property::int32(tag::RowId, int32_t(i)));
        m.recipients.push_back(std::move(r));
    }
    if (top) {
        for (size_t i = 0; i < spec.attachmentSizes.size(); ++i) {
            Attachment a;
            a.props.set(Property::int32(tag::AttachMethod, ATTACH_BY_VALUE));
            a.props.set(
                s.make(propId(tag::AttachLongFilename), "file" + std::to_string(i) + ".bin"));
            a.props.set(Property::utf8(tag::AttachFilename, "FILE" + std::to_string(i) + ".BIN"));
            a.props.set(Property::utf8(tag::AttachMimeTag, "application/octet-stream"));
            a.props.set(Property::int32(tag::AttachNumber, int32_t(i)));
            a.props.set(Property::int32(tag::RenderingPosition, -1));
            a.props.set(attachmentData(spec.attachmentSizes[i], seed + uint32_t(i)));
            m.attachments.push_back(std::move(a));
        }
        if (spec.oleAttachment) {
            Attachment a;
            a.props.set(Property::int32(tag::AttachMethod, ATTACH_OLE));
            a.props.set(Property::utf8(tag::DisplayName, "OLE object"));
            a.props.set(Property::time(tag::CreationTime, 0x01D9123456789ABCull));
            a.props.set(Property::time(tag::LastModificationTime, 0x01D9123456789ABDull));
            a.props.set(Property::raw(tag::AttachDataObject, makeOleStorage(seed)));
            m.attachments.push_back(std::move(a));
        }
    }
    if (depthLeft > 0) m.attachments.push_back(embeddedAttachment(spec, level + 1, depthLeft - 1));
    return m;
}

std::string describe(const Property& p) {
    std::ostringstream s;
    if (p.named) s << p.named->str() << " ";
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", p.tag);
    s << buf;
    return s.str();
}

const Property* counterpart(const PropertyBag& bag, const Property& p) {
    if (p.named) return bag.findNamed(*p.named, p.type());
    return bag.find(p.tag);
}

std::string diffBags(const PropertyBag& a, const PropertyBag& b, const std::string& where) {
    for (const Property& p : a) {
        const Property* q = counterpart(b, p);
        if (!q) return where + ": property " + describe(p) + " is missing";
        if (p.flags != q->flags) return where + ": property " + describe(p) + " flags differ";
        if (!(p == *q)) {
            return where + ": property " + describe(p) + " value differs (" +
                   std::to_string(p.byteSize()) + " vs " + std::to_string(q->byteSize()) +
                   " bytes)";
        }
    }
    for (const Property& q : b) {
        if (!counterpart(a, q)) return where + ": unexpected property " + describe(q);
    }
    return "";
}

std::string diffAt(const Message& a, const Message& b, const std::string& where) {
    if (auto d = diffBags(a.props, b.props, where); !d.empty()) return d;
    if (a.recipients.size() != b.recipients.size()) {
        return where + ": " + std::to_string(a.recipients.size()) + " recipients vs " +
               std::to_string(b.recipients.size());
    }
    for (size_t i = 0; i < a.recipients.size(); ++i) {
        auto d = diffBags(a.recipients[i].props, b.recipients[i].props,
                          where + " recipient " + std::to_string(i));
        if (!d.empty()) return d;
    }
    if (a.attachments.size() != b.attachments.size()) {
        return where + ": " + std::to_string(a.attachments.size()) + " attachments vs " +
               std::to_string(b.attachments.size());
    }
    for (size_t i = 0; i < a.attachments.size(); ++i) {
        std::string w = where + " attachment " + std::to_string(i);
        const Attachment& x = a.attachments[i];
        const Attachment& y = b.attachments[i];
        if (auto d = diffBags(x.props, y.props, w); !d.empty()) return d;
        if (bool(x.embedded) != bool(y.embedded)) return w + ": embedded message presence differs";
        if (x.embedded) {
            if (auto d = diffAt(*x.embedded, *y.embedded, w + " embedded"); !d.empty()) return d;
        }
    }
    return "";
}

}  // namespace

Property attachmentData(uint64_t size, uint32_t seed) {
    Property p;
    p.tag = tag::AttachDataBinary;
    auto source = std::make_shared<PatternSource>(size, seed);
    if (size >= kStreamedAttachmentSize) {
        p.stream = source;
    } else {
        p.value = source->readAll();
    }
    return p;
}

Bytes makeOleStorage(uint32_t seed) {
    msg::CompoundFileWriter w(512);
    w.setClsid(msg::CompoundFileWriter::kRoot, kCustomSet);
    w.addStream(msg::CompoundFileWriter::kRoot, u"\x01Ole", pattern(20, seed));
    uint32_t sub = w.addStorage(msg::CompoundFileWriter::kRoot, u"Contents");
    w.setTimes(sub, 0x01D8000000000000ull + seed, 0x01D8000000000001ull + seed);
    w.addStream(sub, u"CONTENTS", pattern(5000, seed + 1));
    return w.toBytes();
}

Message makeMessage(const MessageSpec& spec) {
    return makeLevel(spec, 0, spec.embedDepth, true);
}

std::string diffMessages(const Message& expected, const Message& actual) {
    return diffAt(expected, actual, "message");
}

}  // namespace qm::testing
