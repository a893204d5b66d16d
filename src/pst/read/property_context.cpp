#include "pst/read/property_context.h"

#include <cstdio>

#include "mapi/error.h"
#include "pst/ndb/format.h"

namespace qm::pst::read {

using namespace mapi;

std::string tagName(PropTag tag) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", tag);
    return buf;
}

namespace {

// Bytes the type keeps inline in the PC's 4-byte value; 0 when it uses an HNID.
size_t inlineSize(uint16_t type) {
    switch (type) {
        case PT_SHORT:
            return 2;
        case PT_LONG:
        case PT_FLOAT:
        case PT_ERROR:
            return 4;
        case PT_BOOLEAN:
            return 1;
        default:
            return 0;
    }
}

}  // namespace

Property decodeValue(PropTag tag, Bytes bytes, const std::string& file, const std::string& where) {
    Property p;
    p.tag = tag;
    uint16_t type = propType(tag);
    if (isMultiValued(type)) {
        size_t elem = fixedSize(baseType(type));
        if (elem > 0) {
            if (bytes.size() % elem != 0)
                throw FormatError(file, where, -1,
                                  "multi-valued array of " + std::to_string(bytes.size()) +
                                      " bytes is not whole elements");
            p.value = std::move(bytes);
            return p;
        }
        // ulCount, offsets from the start of the value, then the items.
        if (bytes.empty()) return p;
        if (bytes.size() < 4) throw FormatError(file, where, -1, "multi-valued value too short");
        uint32_t count = loadLE32(bytes.data());
        if (uint64_t(count) * 4 + 4 > bytes.size())
            throw FormatError(file, where, -1,
                              "multi-valued count " + std::to_string(count) + " does not fit its " +
                                  std::to_string(bytes.size()) + " bytes");
        std::vector<uint32_t> offs(count);
        for (uint32_t i = 0; i < count; ++i) offs[i] = loadLE32(&bytes[4 + 4 * i]);
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t end = i + 1 < count ? offs[i + 1] : uint32_t(bytes.size());
            if (offs[i] < 4 + 4 * count || offs[i] > end || end > bytes.size())
                throw FormatError(file, where, -1,
                                  "multi-valued item " + std::to_string(i) + " out of bounds");
            p.items.emplace_back(bytes.begin() + offs[i], bytes.begin() + end);
        }
        return p;
    }
    size_t fixed = fixedSize(type);
    if (fixed > 0 && bytes.size() != fixed)
        throw FormatError(file, where, -1,
                          "value of " + std::to_string(bytes.size()) + " bytes for a " +
                              std::to_string(fixed) + "-byte type");
    if (type == PT_UNICODE && bytes.size() % 2 != 0)
        throw FormatError(file, where, -1, "UTF-16 string of odd length");
    p.value = std::move(bytes);
    return p;
}

PropertyContext::PropertyContext(std::shared_ptr<const NodeDatabase> db, Bid bidData, Bid bidSub,
                                 std::string where)
    : node_(std::move(db), bidData, bidSub, std::move(where)),
      bth_(node_.heap().clientSig() == ndb::bTypePC
               ? Bth(node_.heap(), node_.heap().userRoot())
               : throw FormatError(node_.db().path(), node_.where(), -1,
                                   "heap client signature " + hex(node_.heap().clientSig()) +
                                       " is not a property context")) {
    if (bth_.keySize() != 2 || bth_.dataSize() != 6)
        throw FormatError(node_.db().path(), node_.where(), -1,
                          "property BTH with cbKey " + std::to_string(bth_.keySize()) + " cbEnt " +
                              std::to_string(bth_.dataSize()));
    for (const auto& r : bth_.records())
        entries_.push_back({loadLE16(r.key.data()), loadLE16(r.data.data()), loadLE32(&r.data[2])});
}

Property PropertyContext::property(const Entry& e) const {
    PropTag tag = makeTag(e.id, e.type);
    auto where = [&] { return node_.where() + " property " + tagName(tag); };  // for errors only
    size_t inl = inlineSize(e.type);
    if (inl > 0) {
        Bytes b(4);
        storeLE32(b.data(), e.value);
        b.resize(inl);
        return decodeValueAt(tag, std::move(b), node_.db().path(), where);
    }
    if (!isKnownType(e.type))
        throw FormatError(node_.db().path(), where(), -1, "unknown property type " + hex(e.type));
    if (!ndb::hnidIsHid(e.value) && e.value != 0 && !isMultiValued(e.type) &&
        fixedSize(e.type) == 0 && node_.size(e.value) > kStreamThreshold) {
        Property p;
        p.tag = tag;
        p.stream = node_.source(e.value);
        return p;
    }
    try {
        return decodeValue(tag, node_.read(e.value), node_.db().path(), std::string());
    } catch (const FormatError& err) {
        throw FormatError(node_.db().path(), where(), err.offset(), err.reason());
    }
}

PropertyBag PropertyContext::properties(const NameMap* names) const {
    PropertyBag bag;
    bag.reserve(entries_.size());
    for (const auto& e : entries_) {
        Property p = property(e);
        if (names && e.id >= ndb::kFirstNamedPropId) p.named = names->find(e.id);
        bag.set(std::move(p));
    }
    return bag;
}

PropertyContext::ObjectRef PropertyContext::objectRef(const Entry& e) const {
    Bytes b = node_.read(e.value);
    if (b.size() != 8)
        throw FormatError(node_.db().path(),
                          node_.where() + " property " + tagName(makeTag(e.id, e.type)), -1,
                          "object reference of " + std::to_string(b.size()) + " bytes");
    return {loadLE32(b.data()), loadLE32(&b[4])};
}

}  // namespace qm::pst::read
