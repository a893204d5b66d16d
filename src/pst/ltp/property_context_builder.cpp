#include "pst/ltp/property_context_builder.h"

#include <algorithm>
#include <cstdio>
#include <span>
#include <stdexcept>

#include "mapi/error.h"
#include "pst/ltp/bth_builder.h"

namespace qm::pst::ltp {
namespace {

using namespace ndb;

constexpr uint32_t kInlineMax = 4;  // dwValueHnid holds the value itself

std::string tagName(mapi::PropTag tag) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", tag);
    return buf;
}

bool isVariableMv(uint16_t type) {
    return mapi::isMultiValued(type) && mapi::fixedSize(type) == 0;
}

}  // namespace

uint64_t encodedPropertySize(const mapi::Property& p) {
    if (isVariableMv(p.type())) {
        uint64_t n = 4 + 4 * uint64_t(p.items.size());
        for (const auto& it : p.items) n += it.size();
        return n;
    }
    return p.stream ? p.stream->size() : p.value.size();
}

Bytes encodePropertyValue(const mapi::Property& p) {
    if (isVariableMv(p.type())) {
        Bytes out;
        appendLE32(out, uint32_t(p.items.size()));
        uint32_t offset = 4 + 4 * uint32_t(p.items.size());
        for (const auto& it : p.items) {
            appendLE32(out, offset);
            offset += uint32_t(it.size());
        }
        for (const auto& it : p.items) out.insert(out.end(), it.begin(), it.end());
        return out;
    }
    return p.bytes();
}

PropertyContextBuilder::PropertyContextBuilder(ndb::NodeDatabaseWriter& ndb, SubnodeIds* ids)
    : ndb_(ndb), ids_(ids) {}

void PropertyContextBuilder::set(mapi::Property prop) {
    uint16_t type = prop.type();
    if (type == mapi::PT_UNSPECIFIED || type == mapi::PT_NULL)
        throw std::logic_error("property " + tagName(prop.tag) + " has no storable type");
    size_t fixed = mapi::fixedSize(type);
    if (fixed && !mapi::isMultiValued(type) && !prop.stream && prop.value.size() != fixed)
        throw Error("property " + tagName(prop.tag) + ": a value of " +
                    std::to_string(prop.value.size()) + " bytes for a " + std::to_string(fixed) +
                    "-byte type");
    // Appended, and ordered once when the order is needed: a sorted insert
    // moved half the message's properties for every one added.
    if (!props_.empty() && props_.back().prop.id() >= prop.id()) sorted_ = false;
    Pending p;
    p.prop = std::move(prop);
    props_.push_back(std::move(p));
}

void PropertyContextBuilder::order() const {
    if (sorted_) return;
    std::stable_sort(props_.begin(), props_.end(),
                     [](const Pending& a, const Pending& b) { return a.prop.id() < b.prop.id(); });
    // Of properties set under one id, the last one set stays.
    auto out = props_.begin();
    for (auto it = props_.begin(); it != props_.end();) {
        auto last = it;
        while (last + 1 != props_.end() && (last + 1)->prop.id() == it->prop.id()) ++last;
        if (out != last) *out = std::move(*last);
        ++out;
        it = last + 1;
    }
    props_.erase(out, props_.end());
    sorted_ = true;
}

void PropertyContextBuilder::setObject(mapi::PropTag tag, Nid subnode, uint32_t size) {
    mapi::Property prop;
    prop.tag = mapi::makeTag(mapi::propId(tag), mapi::PT_OBJECT);
    set(prop);
    order();
    auto it = std::find_if(props_.begin(), props_.end(),
                           [&](const Pending& p) { return p.prop.id() == mapi::propId(tag); });
    it->objectRef = true;
    it->objectNid = subnode;
    it->objectSize = size;
}

std::vector<mapi::Property> PropertyContextBuilder::takeProperties() {
    order();
    std::vector<mapi::Property> out;
    out.reserve(props_.size());
    for (Pending& p : props_) out.push_back(std::move(p.prop));
    props_.clear();
    sorted_ = true;
    return out;
}

BuiltNode PropertyContextBuilder::build() {
    return build(0, nullptr);
}

BuiltNode PropertyContextBuilder::build(mapi::PropTag sizeTag, const SizeDependent& sizeValue) {
    SubnodeIds& ids = ids_ ? *ids_ : ownIds_;
    order();
    HeapBuilder heap(ndb_, bTypePC);
    // Outlook's order: the BTH header (HID 0x20, the user root), the BTH's
    // root (0x40), then the values.
    BthBuilder bth = BthBuilder::create(heap, 2, 6);
    heap.setUserRoot(bth.header());
    bth.reserve(props_.size());
    BuiltNode out;
    Bytes records;  // packed {wPropId, wPropType, dwValueHnid}
    records.reserve(8 * props_.size());
    bool sizeTagSet = false;
    auto toSubnode = [&](const mapi::Property& p) {
        Nid nid = ids.next(NID_TYPE_LTP);
        Bid bid;
        if (p.stream && !isVariableMv(p.type())) {
            bid = ndb_.writeStream(*p.stream);
        } else if (!isVariableMv(p.type())) {
            // Written from where it lies: a copy here was a second pass over
            // every body and attachment on the store's thread.
            bid = ndb_.writeStream(SpanSource(p.value));
        } else {
            Bytes v = encodePropertyValue(p);
            bid = ndb_.writeStream(SpanSource(v));
        }
        out.subnodes.push_back({nid, bid, 0});
        return nid;
    };
    // A value in memory is used where it lies; only a stream is read (or a
    // variable multi-value encoded) into `scratch`.
    Bytes scratch;
    auto valueOf = [&scratch](const mapi::Property& p) -> std::span<const uint8_t> {
        if (!p.stream && !isVariableMv(p.type())) return p.value;
        scratch = encodePropertyValue(p);
        return scratch;
    };
    for (const Pending& pending : props_) {
        const mapi::Property& p = pending.prop;
        uint16_t type = p.type();
        uint32_t dword = 0;
        size_t fixed = mapi::isMultiValued(type) ? 0 : mapi::fixedSize(type);
        if (type == mapi::PT_OBJECT) {
            Bytes ref;
            if (pending.objectRef) {
                appendLE32(ref, pending.objectNid);
                appendLE32(ref, pending.objectSize);
            } else {
                uint64_t size = encodedPropertySize(p);
                if (size > 0xFFFFFFFFull) throw Error("object " + tagName(p.tag) + " above 4 GiB");
                appendLE32(ref, toSubnode(p));
                appendLE32(ref, uint32_t(size));
            }
            dword = heap.allocate(ref);
        } else if (fixed != 0 && fixed <= kInlineMax) {
            const std::span<const uint8_t> v = valueOf(p);
            for (size_t i = 0; i < v.size() && i < kInlineMax; ++i)
                dword |= uint32_t(v[i]) << (8 * i);
        } else if (fixed != 0) {
            dword = heap.allocate(valueOf(p));
        } else if (encodedPropertySize(p) == 0) {
            dword = heap.allocate(Bytes());
        } else if (encodedPropertySize(p) <= kMaxHeapAllocation) {
            dword = heap.allocate(valueOf(p));
        } else {
            dword = toSubnode(p);
        }
        appendLE16(records, p.id());
        appendLE16(records, type);
        appendLE32(records, dword);
        if (sizeValue && p.tag == sizeTag) sizeTagSet = true;
    }
    bth.load(records);
    if (sizeValue) {
        if (!sizeTagSet || mapi::propType(sizeTag) != mapi::PT_LONG)
            throw std::logic_error("PC size-dependent value: " + tagName(sizeTag) +
                                   " is not a PT_LONG set in this PC");
        const int32_t v = sizeValue(heap.byteSize(), out.subnodes);
        uint8_t rec[6];
        storeLE16(rec, mapi::PT_LONG);
        storeLE32(rec + 2, uint32_t(v));
        uint8_t key[2];
        storeLE16(key, mapi::propId(sizeTag));
        bth.insert(key, rec);
    }
    out.bidData = heap.flush();
    std::sort(out.subnodes.begin(), out.subnodes.end(),
              [](const SubnodeEntry& a, const SubnodeEntry& b) { return a.nid < b.nid; });
    return out;
}

}  // namespace qm::pst::ltp
