// MAPI properties as both file formats store them: a 32-bit tag (id << 16 |
// type) and the value in its little-endian wire form, so a value read from a
// .msg reaches the .pst byte for byte. Typed accessors decode on request.
//
// Value forms (`Property::value`), per [MS-OXCDATA] 2.11.1:
//   Int16 2 bytes, Int32/Float32/ErrorCode 4, Boolean 1 (0 or 1),
//   Float64/Currency/AppTime/Int64/Time 8, Guid 16,
//   String  UTF-16LE without terminator, String8 code-page bytes without
//   terminator, Binary raw, Object (OLE storage) a standalone compound file.
//   Multi-valued fixed-size types: the elements packed in `value`.
//   Multi-valued variable-size types (MV String, String8, Binary): `items`.
// A large single value may instead live in `stream` (then `value` is empty).
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mapi/bytes.h"

namespace qm::mapi {

using PropTag = uint32_t;

enum PropType : uint16_t {
    PT_UNSPECIFIED = 0x0000,
    PT_NULL = 0x0001,
    PT_SHORT = 0x0002,      // PtypInteger16
    PT_LONG = 0x0003,       // PtypInteger32
    PT_FLOAT = 0x0004,      // PtypFloating32
    PT_DOUBLE = 0x0005,     // PtypFloating64
    PT_CURRENCY = 0x0006,   // PtypCurrency
    PT_APPTIME = 0x0007,    // PtypFloatingTime
    PT_ERROR = 0x000A,      // PtypErrorCode
    PT_BOOLEAN = 0x000B,    // PtypBoolean
    PT_OBJECT = 0x000D,     // PtypObject
    PT_LONGLONG = 0x0014,   // PtypInteger64
    PT_STRING8 = 0x001E,    // PtypString8
    PT_UNICODE = 0x001F,    // PtypString
    PT_SYSTIME = 0x0040,    // PtypTime
    PT_CLSID = 0x0048,      // PtypGuid
    PT_SVREID = 0x00FB,     // PtypServerId
    PT_SRESTRICT = 0x00FD,  // PtypRestriction
    PT_ACTIONS = 0x00FE,    // PtypRuleAction
    PT_BINARY = 0x0102,     // PtypBinary
    MV_FLAG = 0x1000,
    PT_MV_SHORT = 0x1002,
    PT_MV_LONG = 0x1003,
    PT_MV_FLOAT = 0x1004,
    PT_MV_DOUBLE = 0x1005,
    PT_MV_CURRENCY = 0x1006,
    PT_MV_APPTIME = 0x1007,
    PT_MV_LONGLONG = 0x1014,
    PT_MV_STRING8 = 0x101E,
    PT_MV_UNICODE = 0x101F,
    PT_MV_SYSTIME = 0x1040,
    PT_MV_CLSID = 0x1048,
    PT_MV_BINARY = 0x1102,
};

constexpr PropTag makeTag(uint16_t id, uint16_t type) {
    return (PropTag(id) << 16) | type;
}
constexpr uint16_t propId(PropTag tag) {
    return uint16_t(tag >> 16);
}
constexpr uint16_t propType(PropTag tag) {
    return uint16_t(tag & 0xFFFF);
}
constexpr bool isMultiValued(uint16_t type) {
    return (type & MV_FLAG) != 0;
}
constexpr uint16_t baseType(uint16_t type) {
    return uint16_t(type & ~MV_FLAG);
}

// Size in bytes of one element of a fixed-size type; 0 for variable-size
// types (strings, binary, object, server id, restriction, rule action).
size_t fixedSize(uint16_t type);
bool isKnownType(uint16_t type);
// "PtypInteger32", "PtypMultipleString", ...; "0x1234" for unknown types.
std::string typeName(uint16_t type);

// A property-set GUID in the byte order both formats store (the first three
// fields little-endian).
struct Guid {
    std::array<uint8_t, 16> bytes{};

    static Guid fromBytes(const uint8_t* p);
    // "{00020329-0000-0000-C000-000000000046}" (braces optional).
    static std::optional<Guid> parse(std::string_view text);
    std::string str() const;  // upper case with braces
    auto operator<=>(const Guid&) const = default;
};

extern const Guid PS_MAPI;            // {00020328-0000-0000-C000-000000000046}
extern const Guid PS_PUBLIC_STRINGS;  // {00020329-0000-0000-C000-000000000046}

// The name of a named property: a property set plus a numeric id (LID) or a
// string name.
struct NamedKey {
    Guid set;
    bool isString = false;
    uint32_t id = 0;      // when !isString
    std::u16string name;  // when isString

    static NamedKey byId(const Guid& set, uint32_t id) { return {set, false, id, {}}; }
    static NamedKey byName(const Guid& set, std::u16string name) {
        return {set, true, 0, std::move(name)};
    }
    std::string str() const;  // "{GUID}:0x8501" or "{GUID}:\"Keywords\""
    auto operator<=>(const NamedKey&) const = default;
};

struct Property {
    PropTag tag = 0;  // for a named property the id half is the source's local id
    std::shared_ptr<const NamedKey> named;  // set for ids 0x8000 and above
    uint32_t flags = 0x6;  // PROPATTR_READABLE | PROPATTR_WRITABLE, as .msg files carry them
    Bytes value;
    std::vector<Bytes> items;
    std::shared_ptr<const ByteSource> stream;

    uint16_t type() const { return propType(tag); }
    uint16_t id() const { return propId(tag); }
    // Size of the value in bytes (stream size, or the sum of items for MV).
    uint64_t byteSize() const;
    // The value as bytes, reading the stream if there is one.
    Bytes bytes() const;

    static Property int16(PropTag tag, int16_t v);
    static Property int32(PropTag tag, int32_t v);
    static Property int64(PropTag tag, int64_t v);
    static Property boolean(PropTag tag, bool v);
    static Property float64(PropTag tag, double v);
    static Property time(PropTag tag, uint64_t filetime);
    static Property unicode(PropTag tag, std::u16string_view v);
    static Property utf8(PropTag tag, std::string_view v);  // stored as PT_UNICODE
    static Property string8(PropTag tag, std::string_view bytes);
    static Property binary(PropTag tag, Bytes v);
    static Property raw(PropTag tag, Bytes v);

    bool operator==(const Property& o) const;  // compares tag, name and value bytes
};

// Properties of one object, unique by (tag) for ordinary ids and by
// (named key, type) for named ones. Insertion order is kept.
class PropertyBag {
  public:
    const Property* find(PropTag tag) const;
    Property* find(PropTag tag);
    // Any type with this id (ordinary ids only).
    const Property* findId(uint16_t id) const;
    const Property* findNamed(const NamedKey& key, uint16_t type) const;

    // Adds, or replaces the property with the same identity.
    void set(Property p);
    // set() for a caller that knows no property with p's key is in the bag.
    void append(Property p) { props_.push_back(std::move(p)); }
    bool erase(PropTag tag);

    std::optional<int32_t> int32(PropTag tag) const;
    std::optional<int64_t> int64(PropTag tag) const;
    std::optional<bool> boolean(PropTag tag) const;
    // A PT_UNICODE or PT_STRING8 property with this id, as UTF-8; string8
    // values are decoded with `codePage`.
    std::optional<std::string> string(uint16_t id, int codePage = 1252) const;

    size_t size() const { return props_.size(); }
    bool empty() const { return props_.empty(); }
    auto begin() const { return props_.begin(); }
    auto end() const { return props_.end(); }
    auto begin() { return props_.begin(); }
    auto end() { return props_.end(); }
    void reserve(size_t n) { props_.reserve(n); }

  private:
    std::vector<Property> props_;
};

}  // namespace qm::mapi
