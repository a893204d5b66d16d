#include "support/message_gen.h"

#include <algorithm>
#include <iterator>

#include "mapi/codepage.h"
#include "mapi/crc32.h"
#include "mapi/tags.h"
#include "msg/compound_file_writer.h"

namespace qm::testing {

using namespace mapi;

namespace {

const Guid kPsetidCommon = *Guid::parse("{00062008-0000-0000-C000-000000000046}");
const Guid kCustomSet = *Guid::parse("{9B2F2C1A-5D3E-4F60-8A7B-1C2D3E4F5061}");

const std::string kCyrillic8 = "\xCF\xF0\xE8\xE2\xE5\xF2";  // "Привет" in cp1251

Property named(Property p, NamedKey key) {
    p.named = std::make_shared<NamedKey>(std::move(key));
    return p;
}

Property multi(PropTag tag, std::vector<Bytes> items) {
    Property p = Property::raw(tag, {});
    p.items = std::move(items);
    return p;
}

void addAllTypes(PropertyBag& bag, uint32_t seed) {
    uint16_t id = 0x6800;  // test-only ids, clear of every well-known tag
    auto next = [&](uint16_t type) { return makeTag(id++, type); };
    bag.set(Property::int16(next(PT_SHORT), int16_t(-1234 - int(seed % 7))));
    bag.set(Property::int32(next(PT_LONG), int32_t(0x7A6B5C4D ^ seed)));
    bag.set(Property::raw(next(PT_FLOAT), {0x00, 0x00, 0x50, 0x40}));  // 3.25
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
    const std::pair<uint16_t, int> fixed[] = {
        {PT_MV_SHORT, 3},    {PT_MV_LONG, 5},     {PT_MV_FLOAT, 2},
        {PT_MV_DOUBLE, 2},   {PT_MV_CURRENCY, 2}, {PT_MV_APPTIME, 2},
        {PT_MV_LONGLONG, 4}, {PT_MV_SYSTIME, 3},  {PT_MV_CLSID, 2}};
    for (auto [type, count] : fixed)
        bag.set(Property::raw(next(type), pattern(fixedSize(baseType(type)) * count, seed + type)));
    // Multi-valued, variable size: one item per value.
    bag.set(multi(next(PT_MV_STRING8),
                  {Bytes{'o', 'n', 'e'}, Bytes(kCyrillic8.begin(), kCyrillic8.end()), Bytes{'x'}}));
    bag.set(multi(next(PT_MV_UNICODE), {utf16ToLE(u"alpha"), utf16ToLE(u"βeta"), utf16ToLE(u"")}));
    bag.set(multi(next(PT_MV_BINARY), {pattern(5, seed), Bytes{}, pattern(5000, seed + 1)}));
}

// PidTagRtfCompressed holding `rtf` uncompressed: COMPSIZE, RAWSIZE, "MELA", CRC 0.
Bytes melaRtf(const std::string& rtf) {
    Bytes b;
    for (uint32_t v : {uint32_t(rtf.size() + 12), uint32_t(rtf.size()), 0x414C454Du, 0u})
        appendLE32(b, v);
    b.insert(b.end(), rtf.begin(), rtf.end());
    return b;
}

void addNamed(PropertyBag& bag, const MessageSpec& spec) {
    for (size_t i = 0; i < spec.namedById; ++i) {
        const PropTag t = makeTag(0x8000, i % 2 ? PT_UNICODE : PT_LONG);
        bag.set(
            named(i % 2 ? Property::utf8(t, "named " + std::to_string(i))
                        : Property::int32(t, int32_t(i * 7)),
                  NamedKey::byId(i % 3 == 2 ? kCustomSet : kPsetidCommon, uint32_t(0x8500 + i))));
    }
    if (spec.namedByName)
        bag.set(
            named(multi(makeTag(0x8000, PT_MV_UNICODE), {utf16ToLE(u"red"), utf16ToLE(u"Привет")}),
                  NamedKey::byName(PS_PUBLIC_STRINGS, u"Keywords")));
    for (size_t i = 1; i < spec.namedByName; ++i)
        bag.set(named(Property::utf8(makeTag(0x8000, PT_UNICODE), "value " + std::to_string(i)),
                      NamedKey::byName(i % 2 ? PS_PUBLIC_STRINGS : kCustomSet,
                                       fromUtf8("x-qm-header-" + std::to_string(i)))));
}

Property attachmentData(uint64_t size, uint32_t seed) {
    auto source = std::make_shared<PatternSource>(size, seed);
    Property p =
        Property::binary(tag::AttachDataBinary, size < (1u << 20) ? source->readAll() : Bytes());
    if (size >= (1u << 20)) p.stream = source;
    return p;
}

Message makeLevel(const MessageSpec& spec, int level) {
    Message m;
    const bool top = level == 0;
    const std::string n = std::to_string(level);
    // `ascii` plus a non-Latin tail that both encodings can carry.
    auto text = [&](PropTag t, const std::string& ascii) {
        if (spec.unicode) return Property::utf8(t, ascii + " Grüße 日本語 Привет");
        return Property::string8(makeTag(propId(t), PT_STRING8), ascii + " " + kCyrillic8);
    };
    const uint32_t seed = spec.seed + uint32_t(level) * 1000;
    const std::string subject = top ? spec.subject : spec.subject + " / level " + n;
    if (spec.unicode) {
        m.props.set(Property::utf8(tag::MessageClass, spec.messageClass));
        m.props.set(Property::utf8(tag::Subject, subject));
    } else {
        m.props.set(Property::string8(makeTag(0x001A, PT_STRING8), spec.messageClass));
        m.props.set(Property::string8(makeTag(0x0037, PT_STRING8), subject + " " + kCyrillic8));
        m.props.set(Property::int32(tag::MessageCodepage, 1251));
    }
    m.props.set(text(tag::Body, "Body text of level " + n));
    m.props.set(text(tag::SenderName, "Ann Sender"));
    m.props.set(Property::utf8(tag::SenderEmailAddress, "ann@example.com"));
    m.props.set(Property::time(tag::ClientSubmitTime, 0x01D9000000000000ull + seed));
    m.props.set(Property::time(tag::MessageDeliveryTime, 0x01D9000100000000ull + seed));
    m.props.set(Property::int32(tag::MessageFlags, MSGFLAG_READ));
    m.props.set(Property::int32(tag::Importance, 1));
    m.props.set(Property::int32(tag::InternetCodepage, 65001));
    const std::string html = "<html><body><p>Hello <b>Grüße</b> level " + n + "</p></body></html>";
    if (spec.htmlBody) m.props.set(Property::binary(tag::Html, Bytes(html.begin(), html.end())));
    const std::string rtf =
        "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Arial;}}\\f0 Hello level " + n + "\\par}";
    if (spec.rtfBody) m.props.set(Property::binary(tag::RtfCompressed, melaRtf(rtf)));
    if (top && spec.allTypes) addAllTypes(m.props, seed);
    if (top) {
        addNamed(m.props, spec);
    } else if (spec.namedById) {
        // Embedded messages use the top-level map too.
        m.props.set(named(Property::int32(makeTag(0x8000, PT_LONG), level),
                          NamedKey::byId(kPsetidCommon, 0x8500)));
    }
    const size_t recips = top ? spec.recipients : 1;
    std::string displayTo;
    for (size_t i = 0; i < recips; i += 3)
        displayTo += (displayTo.empty() ? "Recipient " : "; Recipient ") + std::to_string(i);
    if (recips) m.props.set(Property::utf8(tag::DisplayTo, displayTo));
    for (size_t i = 0; i < recips; ++i) {
        PropertyBag& r = m.recipients.emplace_back().props;
        r.set(Property::int32(tag::RecipientType, int32_t(1 + i % 3)));
        r.set(text(tag::DisplayName, "Recipient " + std::to_string(i)));
        r.set(Property::utf8(tag::AddressType, "SMTP"));
        r.set(Property::utf8(tag::EmailAddress, "r" + std::to_string(i) + "@example.com"));
        r.set(Property::int32(tag::RowId, int32_t(i)));
    }
    for (size_t i = 0; top && i < spec.attachmentSizes.size(); ++i) {
        PropertyBag& a = m.attachments.emplace_back().props;
        a.set(Property::int32(tag::AttachMethod, ATTACH_BY_VALUE));
        a.set(text(tag::AttachLongFilename, "file" + std::to_string(i) + ".bin"));
        a.set(Property::utf8(tag::AttachFilename, "FILE" + std::to_string(i) + ".BIN"));
        a.set(Property::utf8(tag::AttachMimeTag, "application/octet-stream"));
        a.set(Property::int32(tag::AttachNumber, int32_t(i)));
        a.set(Property::int32(tag::RenderingPosition, -1));
        a.set(attachmentData(spec.attachmentSizes[i], seed + uint32_t(i)));
    }
    if (top && spec.oleAttachment) {
        PropertyBag& a = m.attachments.emplace_back().props;
        a.set(Property::int32(tag::AttachMethod, ATTACH_OLE));
        a.set(Property::utf8(tag::DisplayName, "OLE object"));
        a.set(Property::time(tag::CreationTime, 0x01D9123456789ABCull));
        a.set(Property::time(tag::LastModificationTime, 0x01D9123456789ABDull));
        a.set(Property::raw(tag::AttachDataObject, makeOleStorage(seed)));
    }
    if (level < spec.embedDepth) {
        Attachment& a = m.attachments.emplace_back();
        a.props.set(Property::int32(tag::AttachMethod, ATTACH_EMBEDDED_MSG));
        a.props.set(text(tag::DisplayName, "Embedded level " + std::to_string(level + 1)));
        a.props.set(Property::int32(tag::RenderingPosition, -1));
        a.embedded = std::make_unique<Message>(makeLevel(spec, level + 1));
    }
    return m;
}

void dumpBag(const PropertyBag& bag, const std::string& path, bool fileTags,
             std::vector<std::string>& out) {
    for (const Property& p : bag) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08X", p.tag);
        // A named property's local id differs from file to file; its name does not.
        const std::string key =
            p.named && !fileTags ? p.named->str() + std::string(hex).substr(4) : hex;
        const std::string line = "P " + path + " " + key;
        if (p.type() == PT_OBJECT && fileTags) {
            // An attachment's object is listed with the attachment (see dumpAt).
            if (p.id() != propId(tag::AttachDataObject)) out.push_back(line + " O");
            continue;
        }
        Bytes value = p.bytes();
        if (isMultiValued(p.type()) && !fixedSize(baseType(p.type()))) {
            for (const Bytes& item : p.items) {
                appendLE32(value, uint32_t(item.size()));
                value.insert(value.end(), item.begin(), item.end());
            }
        }
        out.push_back(line + " " + std::to_string(p.flags) + " " + std::to_string(value.size()) +
                      " " + std::to_string(crc32(value)));
    }
}

void dumpAt(const Message& m, const std::string& path, bool fileTags,
            std::vector<std::string>& out) {
    dumpBag(m.props, path, fileTags, out);
    out.push_back("C " + path + " " + std::to_string(m.recipients.size()) + " " +
                  std::to_string(m.attachments.size()));
    for (size_t i = 0; i < m.recipients.size(); ++i)
        dumpBag(m.recipients[i].props, path + "r" + std::to_string(i) + "/", fileTags, out);
    for (size_t i = 0; i < m.attachments.size(); ++i) {
        const Attachment& a = m.attachments[i];
        const std::string where = path + "a" + std::to_string(i) + "/";
        dumpBag(a.props, where, fileTags, out);
        if (fileTags && (a.embedded || a.props.find(tag::AttachDataObject)))
            out.push_back("P " + where + " 3701000D O");
        if (a.embedded) dumpAt(*a.embedded, where + "e/", fileTags, out);
    }
}

}  // namespace

Bytes pattern(size_t n, uint32_t seed) {
    return PatternSource(n, seed).readAll();
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
    return makeLevel(spec, 0);
}

std::vector<std::string> dumpMessage(const Message& m, bool fileTags) {
    std::vector<std::string> out;
    dumpAt(m, "/", fileTags, out);
    std::sort(out.begin(), out.end());
    return out;
}

std::string diffMessages(const Message& expected, const Message& actual) {
    const auto a = dumpMessage(expected), b = dumpMessage(actual);
    std::vector<std::string> missing, extra;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(missing));
    std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(extra));
    if (missing.empty()) return extra.empty() ? "" : "unexpected: " + extra[0];
    return "missing: " + missing[0] + (extra.empty() ? "" : "; instead: " + extra[0]);
}

}  // namespace qm::testing
