#include "mapi/property.h"

#include <cstdio>
#include <cstring>

#include "mapi/codepage.h"

namespace qm::mapi {

// The type tables read best a case or a row a line.
// clang-format off
size_t fixedSize(uint16_t type) {
    switch (baseType(type)) {
        case PT_SHORT: return 2;
        case PT_LONG:
        case PT_FLOAT:
        case PT_ERROR: return 4;
        case PT_BOOLEAN: return 1;
        case PT_DOUBLE:
        case PT_CURRENCY:
        case PT_APPTIME:
        case PT_LONGLONG:
        case PT_SYSTIME: return 8;
        case PT_CLSID: return 16;
        default: return 0;
    }
}

bool isKnownType(uint16_t type) {
    switch (type) {
        case PT_UNSPECIFIED: case PT_NULL: case PT_SHORT: case PT_LONG: case PT_FLOAT:
        case PT_DOUBLE: case PT_CURRENCY: case PT_APPTIME: case PT_ERROR: case PT_BOOLEAN:
        case PT_OBJECT: case PT_LONGLONG: case PT_STRING8: case PT_UNICODE: case PT_SYSTIME:
        case PT_CLSID: case PT_SVREID: case PT_SRESTRICT: case PT_ACTIONS: case PT_BINARY:
        case PT_MV_SHORT: case PT_MV_LONG: case PT_MV_FLOAT: case PT_MV_DOUBLE:
        case PT_MV_CURRENCY: case PT_MV_APPTIME: case PT_MV_LONGLONG: case PT_MV_STRING8:
        case PT_MV_UNICODE: case PT_MV_SYSTIME: case PT_MV_CLSID: case PT_MV_BINARY:
            return true;
        default: return false;
    }
}

std::string typeName(uint16_t type) {
    const char* base = nullptr;
    switch (baseType(type)) {
        case PT_UNSPECIFIED: base = "Unspecified"; break;
        case PT_NULL: base = "Null"; break;
        case PT_SHORT: base = "Integer16"; break;
        case PT_LONG: base = "Integer32"; break;
        case PT_FLOAT: base = "Floating32"; break;
        case PT_DOUBLE: base = "Floating64"; break;
        case PT_CURRENCY: base = "Currency"; break;
        case PT_APPTIME: base = "FloatingTime"; break;
        case PT_ERROR: base = "ErrorCode"; break;
        case PT_BOOLEAN: base = "Boolean"; break;
        case PT_OBJECT: base = "Object"; break;
        case PT_LONGLONG: base = "Integer64"; break;
        case PT_STRING8: base = "String8"; break;
        case PT_UNICODE: base = "String"; break;
        case PT_SYSTIME: base = "Time"; break;
        case PT_CLSID: base = "Guid"; break;
        case PT_SVREID: base = "ServerId"; break;
        case PT_SRESTRICT: base = "Restriction"; break;
        case PT_ACTIONS: base = "RuleAction"; break;
        case PT_BINARY: base = "Binary"; break;
        default: break;
    }
    if (!base || (isMultiValued(type) && !isKnownType(type))) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "0x%04X", type);
        return buf;
    }
    return std::string(isMultiValued(type) ? "PtypMultiple" : "Ptyp") + base;
}
// clang-format on

const Guid PS_MAPI = *Guid::parse("{00020328-0000-0000-C000-000000000046}");
const Guid PS_PUBLIC_STRINGS = *Guid::parse("{00020329-0000-0000-C000-000000000046}");

Guid Guid::fromBytes(const uint8_t* p) {
    Guid g;
    std::memcpy(g.bytes.data(), p, 16);
    return g;
}

std::optional<Guid> Guid::parse(std::string_view t) {
    if (!t.empty() && t.front() == '{') t.remove_prefix(1);
    if (!t.empty() && t.back() == '}') t.remove_suffix(1);
    if (t.size() != 36) return std::nullopt;
    std::string hex;
    for (size_t i = 0; i < t.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (t[i] != '-') return std::nullopt;
            continue;
        }
        hex += t[i];
    }
    uint8_t raw[16];
    for (int i = 0; i < 16; ++i) {
        unsigned v = 0;
        for (int k = 0; k < 2; ++k) {
            char c = hex[size_t(2 * i + k)];
            v <<= 4;
            if (c >= '0' && c <= '9')
                v |= unsigned(c - '0');
            else if (c >= 'a' && c <= 'f')
                v |= unsigned(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                v |= unsigned(c - 'A' + 10);
            else
                return std::nullopt;
        }
        raw[i] = uint8_t(v);
    }
    // Text order is big-endian per field; the stored form has the first three
    // fields little-endian.
    Guid g;
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i) g.bytes[size_t(i)] = raw[order[i]];
    return g;
}

std::string Guid::str() const {
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    std::string s = "{";
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
        char buf[3];
        std::snprintf(buf, sizeof buf, "%02X", bytes[size_t(order[i])]);
        s += buf;
    }
    return s + "}";
}

std::string NamedKey::str() const {
    if (isString) return set.str() + ":\"" + toUtf8(name) + "\"";
    char buf[16];
    std::snprintf(buf, sizeof buf, ":0x%04X", id);
    return set.str() + buf;
}

uint64_t Property::byteSize() const {
    if (stream) return stream->size();
    if (!items.empty()) {
        uint64_t n = 0;
        for (const auto& i : items) n += i.size();
        return n;
    }
    return value.size();
}

Bytes Property::bytes() const {
    return stream ? stream->readAll() : value;
}

namespace {
Property fixed(PropTag tag, const void* p, size_t n) {
    Property prop;
    prop.tag = tag;
    prop.value.resize(n);
    std::memcpy(prop.value.data(), p, n);
    return prop;
}
}  // namespace

Property Property::int16(PropTag tag, int16_t v) {
    uint8_t b[2];
    storeLE16(b, uint16_t(v));
    return fixed(tag, b, 2);
}
Property Property::int32(PropTag tag, int32_t v) {
    uint8_t b[4];
    storeLE32(b, uint32_t(v));
    return fixed(tag, b, 4);
}
Property Property::int64(PropTag tag, int64_t v) {
    uint8_t b[8];
    storeLE64(b, uint64_t(v));
    return fixed(tag, b, 8);
}
Property Property::boolean(PropTag tag, bool v) {
    uint8_t b = v ? 1 : 0;
    return fixed(tag, &b, 1);
}
Property Property::float64(PropTag tag, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    return int64(tag, int64_t(bits));
}
Property Property::time(PropTag tag, uint64_t filetime) {
    return int64(tag, int64_t(filetime));
}
Property Property::unicode(PropTag tag, std::u16string_view v) {
    Property p;
    p.tag = tag;
    p.value = utf16ToLE(v);
    return p;
}
Property Property::utf8(PropTag tag, std::string_view v) {
    return unicode(makeTag(propId(tag), PT_UNICODE), fromUtf8(v));
}
Property Property::string8(PropTag tag, std::string_view bytes) {
    Property p;
    p.tag = tag;
    p.value.assign(bytes.begin(), bytes.end());
    return p;
}
Property Property::binary(PropTag tag, Bytes v) {
    return raw(tag, std::move(v));
}
Property Property::raw(PropTag tag, Bytes v) {
    Property p;
    p.tag = tag;
    p.value = std::move(v);
    return p;
}

bool Property::operator==(const Property& o) const {
    if (tag != o.tag) {
        if (!(named && o.named && type() == o.type())) return false;
    }
    if (bool(named) != bool(o.named)) return false;
    if (named && *named != *o.named) return false;
    if (items != o.items) return false;
    if (!stream && !o.stream) return value == o.value;
    return bytes() == o.bytes();
}

const Property* PropertyBag::find(PropTag tag) const {
    for (const auto& p : props_)
        if (p.tag == tag && !p.named) return &p;
    return nullptr;
}

Property* PropertyBag::find(PropTag tag) {
    for (auto& p : props_)
        if (p.tag == tag && !p.named) return &p;
    return nullptr;
}

const Property* PropertyBag::findId(uint16_t id) const {
    for (const auto& p : props_)
        if (p.id() == id && !p.named) return &p;
    return nullptr;
}

const Property* PropertyBag::findNamed(const NamedKey& key, uint16_t type) const {
    for (const auto& p : props_)
        if (p.named && p.type() == type && *p.named == key) return &p;
    return nullptr;
}

void PropertyBag::set(Property p) {
    for (auto& q : props_) {
        bool same = p.named ? (q.named && q.type() == p.type() && *q.named == *p.named)
                            : (!q.named && q.tag == p.tag);
        if (same) {
            q = std::move(p);
            return;
        }
    }
    props_.push_back(std::move(p));
}

bool PropertyBag::erase(PropTag tag) {
    for (auto it = props_.begin(); it != props_.end(); ++it) {
        if (it->tag == tag && !it->named) {
            props_.erase(it);
            return true;
        }
    }
    return false;
}

std::optional<int32_t> PropertyBag::int32(PropTag tag) const {
    const Property* p = find(tag);
    if (!p || p->value.size() != 4) return std::nullopt;
    return int32_t(loadLE32(p->value.data()));
}

std::optional<int64_t> PropertyBag::int64(PropTag tag) const {
    const Property* p = find(tag);
    if (!p || p->value.size() != 8) return std::nullopt;
    return int64_t(loadLE64(p->value.data()));
}

std::optional<bool> PropertyBag::boolean(PropTag tag) const {
    const Property* p = find(tag);
    if (!p || p->value.empty()) return std::nullopt;
    return p->value[0] != 0;
}

std::optional<std::string> PropertyBag::string(uint16_t id, int codePage) const {
    if (const Property* p = find(makeTag(id, PT_UNICODE))) {
        Bytes b = p->bytes();
        return toUtf8(utf16FromLE(b));
    }
    if (const Property* p = find(makeTag(id, PT_STRING8))) {
        Bytes b = p->bytes();
        return toUtf8(decodeCodePage(
            std::string_view(reinterpret_cast<const char*>(b.data()), b.size()), codePage));
    }
    return std::nullopt;
}

}  // namespace qm::mapi
