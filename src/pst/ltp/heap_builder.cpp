#include "pst/ltp/heap_builder.h"

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>

#include "mapi/error.h"

namespace qm::pst::ltp {
namespace {

using namespace ndb;

constexpr uint32_t kPageMapFixed = 4;  // cAlloc + cFree before rgibAlloc
// hidIndex has 11 bits; index 0 is never used.
constexpr uint32_t kMaxAllocationsPerPage = 0x7FF;
constexpr uint32_t kMaxPages = 0x10000;  // hidBlockIndex is 16 bits
constexpr uint32_t kPagesPerBitmap = 128;
// An earlier page is worth refilling when this much is free in it; a few
// such pages are remembered, each refill costing one rewritten block.
constexpr uint32_t kRoomWorthFilling = 256;
constexpr size_t kMaxRoomyPages = 4;

// [MS-PST] 2.3.1.2: free bytes of a block told in 4 bits, 0 = most free.
uint8_t fillLevel(uint32_t freeBytes) {
    static constexpr uint32_t kAtLeast[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768,
                                            512,  256,  128,  64,   32,   16,   8};
    for (uint8_t i = 0; i < 15; ++i)
        if (freeBytes >= kAtLeast[i]) return i;
    return 0xF;
}

// The page whose header holds the fill level of page i.
uint32_t fillOwner(uint32_t i) {
    return i < 8 ? 0 : 8 + (i - 8) / kPagesPerBitmap * kPagesPerBitmap;
}

void setNibble(uint8_t* levels, uint32_t slot, uint8_t v) {
    uint8_t& b = levels[slot / 2];
    b = slot % 2 ? uint8_t((b & 0x0F) | (v << 4)) : uint8_t((b & 0xF0) | v);
}
uint8_t getNibble(const uint8_t* levels, uint32_t slot) {
    return slot % 2 ? uint8_t(levels[slot / 2] >> 4) : uint8_t(levels[slot / 2] & 0x0F);
}

}  // namespace

HeapBuilder::HeapBuilder(ndb::NodeDatabaseWriter& ndb, uint8_t clientSig)
    : ndb_(ndb), clientSig_(clientSig) {
    newPage();
}

uint32_t HeapBuilder::headerSize(uint32_t index) {
    if (index == 0) return kHnHdrSize;
    return heapBlockHasBitmap(index) ? kHnBitmapHdrSize : kHnPageHdrSize;
}

std::span<const uint8_t> HeapBuilder::Page::item(size_t i) const {
    const size_t begin = i == 1 ? 0 : ends[i - 2];
    return {bytes.data() + begin, size_t(ends[i - 1]) - begin};
}

void HeapBuilder::Page::put(size_t i, std::span<const uint8_t> v) {
    // `v` may lie in this very buffer (one allocation copied to another).
    const std::less<const uint8_t*> before;
    const bool inside = !bytes.empty() && !before(v.data(), bytes.data()) &&
                        before(v.data(), bytes.data() + bytes.size());
    const Bytes copy = inside ? Bytes(v.begin(), v.end()) : Bytes();
    if (inside) v = copy;
    if (i == ends.size() + 1) {
        if (bytes.capacity() == 0) bytes.reserve(1024);  // most pages fill to a few KB
        bytes.insert(bytes.end(), v.begin(), v.end());
        ends.push_back(uint16_t(bytes.size()));
    } else {
        const size_t begin = i == 1 ? 0 : ends[i - 2];
        const size_t old = ends[i - 1] - begin;
        if (v.size() > old)
            bytes.insert(bytes.begin() + long(begin + old), v.size() - old, 0);
        else
            bytes.erase(bytes.begin() + long(begin + v.size()), bytes.begin() + long(begin + old));
        std::copy(v.begin(), v.end(), bytes.begin() + long(begin));
        const long delta = long(v.size()) - long(old);
        for (size_t k = i - 1; k < ends.size(); ++k) ends[k] = uint16_t(long(ends[k]) + delta);
    }
    itemBytes = uint32_t(bytes.size());
}

void HeapBuilder::Page::clear() {
    bytes.clear();
    ends.clear();
    itemBytes = 0;
}

uint32_t HeapBuilder::encodedSize(uint32_t index, const Page& p, int64_t itemBytes, int64_t items) {
    int64_t body = itemBytes + int64_t(p.itemBytes);
    body += headerSize(index);
    body += body % 2;  // the page map is 2-byte aligned
    return uint32_t(body + kPageMapFixed + 2 * (int64_t(p.count()) + items + 1));
}

uint32_t HeapBuilder::newPage() {
    if (pages_.size() >= kMaxPages) throw Error("heap-on-node: more than 65536 blocks");
    Page p;
    p.loaded = true;
    p.dirty = true;
    pages_.push_back(std::move(p));
    return uint32_t(pages_.size() - 1);
}

void HeapBuilder::decodePage(uint32_t index, Page& p, const Bytes& d) const {
    const std::string file = ndb_.path().string();
    auto fail = [&](const std::string& what) {
        throw FormatError(file, "heap block " + std::to_string(index), -1, what);
    };
    if (d.size() < headerSize(index)) fail("shorter than its header");
    uint16_t ibHnpm = loadLE16(d.data());
    if (ibHnpm < headerSize(index) || size_t(ibHnpm) + kPageMapFixed > d.size())
        fail("page map offset out of range");
    uint16_t cAlloc = loadLE16(d.data() + ibHnpm);
    if (size_t(ibHnpm) + kPageMapFixed + 2 * (size_t(cAlloc) + 1) > d.size())
        fail("page map truncated");
    p.clear();
    const uint8_t* offs = d.data() + ibHnpm + kPageMapFixed;
    for (uint16_t i = 0; i < cAlloc; ++i) {
        uint16_t a = loadLE16(offs + 2 * i), b = loadLE16(offs + 2 * i + 2);
        if (a > b || b > ibHnpm) fail("allocation outside the block");
        p.put(size_t(i) + 1, std::span<const uint8_t>(d.data() + a, size_t(b - a)));
    }
    p.loaded = true;
}

HeapBuilder::Page& HeapBuilder::page(uint32_t index) const {
    if (index >= pages_.size())
        throw FormatError(ndb_.path().string(), "heap", -1,
                          "HID names block " + std::to_string(index) + " of a heap of " +
                              std::to_string(pages_.size()));
    Page& p = pages_[index];
    if (!p.loaded) decodePage(index, p, ndb_.readBlock(p.bid));
    return p;
}

std::unique_ptr<HeapBuilder> HeapBuilder::open(ndb::NodeDatabaseWriter& ndb, Bid bidData) {
    const std::string file = ndb.path().string();
    auto refs = ndb.dataTreeBlockRefs(bidData);
    if (refs.empty()) throw FormatError(file, "heap", -1, "node has no data");
    if (refs.size() > kMaxPages) throw FormatError(file, "heap", -1, "more than 65536 blocks");
    Bytes first = ndb.readBlock(refs[0].bid);
    if (first.size() < kHnHdrSize || first[2] != kHeapSignature)
        throw FormatError(file, "HNHDR", -1, "not a heap-on-node (bSig is not 0xEC)");
    std::unique_ptr<HeapBuilder> h(new HeapBuilder(ndb, first[3]));
    h->pages_.clear();
    h->userRoot_ = loadLE32(first.data() + 4);
    for (const auto& r : refs) {
        Page p;
        p.bid = r.bid;
        p.size = r.size;
        h->pages_.push_back(std::move(p));
    }
    // Fill levels come from the headers that hold them.
    for (uint32_t owner = 0; owner < h->pages_.size();
         owner = owner == 0 ? 8 : owner + kPagesPerBitmap) {
        Bytes d = owner == 0 ? first : ndb.readBlock(h->pages_[owner].bid);
        const uint8_t* levels = d.data() + (owner == 0 ? 8 : 2);
        uint32_t span = owner == 0 ? 8 : kPagesPerBitmap;
        for (uint32_t i = 0; i < span && owner + i < h->pages_.size(); ++i)
            h->pages_[owner + i].fill = getNibble(levels, i);
    }
    h->lastRoot_ = bidData;
    h->headerDirty_ = false;
    return h;
}

void HeapBuilder::setUserRoot(Hid hid) {
    if (hid != userRoot_) headerDirty_ = true;
    userRoot_ = hid;
}

bool HeapBuilder::tryPlace(uint32_t index, std::span<const uint8_t> bytes, Hid& hid) {
    Page& p = page(index);
    // One more page-map entry, and perhaps one byte to keep the map aligned.
    uint32_t grown = encodedSize(index, p, int64_t(bytes.size()), 1);
    if (grown > kMaxBlockData || p.count() >= kMaxAllocationsPerPage) return false;
    p.put(p.count() + 1, bytes);
    p.dirty = true;
    hid = makeHid(index, uint32_t(p.count()));
    return true;
}

void HeapBuilder::noteRoom(uint32_t index) {
    if (index + 1 == pages_.size() || roomy_.size() >= kMaxRoomyPages) return;
    if (std::find(roomy_.begin(), roomy_.end(), index) != roomy_.end()) return;
    if (kMaxBlockData - encodedSize(index, page(index)) >= kRoomWorthFilling)
        roomy_.push_back(index);
}

Hid HeapBuilder::allocate(std::span<const uint8_t> bytes) {
    if (bytes.size() > kMaxHeapAllocation)
        throw std::logic_error("heap allocation larger than 3580 bytes");
    Hid hid = 0;
    for (size_t i = 0; i < roomy_.size();) {
        uint32_t index = roomy_[i];
        bool placed = tryPlace(index, bytes, hid);
        if (kMaxBlockData - encodedSize(index, page(index)) < kRoomWorthFilling)
            roomy_.erase(roomy_.begin() + long(i));
        else
            ++i;
        if (placed) return hid;
    }
    if (tryPlace(uint32_t(pages_.size() - 1), bytes, hid)) return hid;
    if (!tryPlace(newPage(), bytes, hid)) throw std::logic_error("heap page cannot take an item");
    return hid;
}

Bytes HeapBuilder::read(Hid hid) const {
    const std::span<const uint8_t> v = view(hid);
    return Bytes(v.begin(), v.end());
}

std::span<const uint8_t> HeapBuilder::view(Hid hid) const {
    const Page& p = page(hidBlock(hid));
    uint32_t i = hidIndex(hid);
    if ((hid & kNidTypeMask) != 0 || i == 0 || i > p.count())
        throw FormatError(ndb_.path().string(), "heap", -1,
                          "HID " + std::to_string(hid) + " names no allocation");
    return p.item(i);
}

Hid HeapBuilder::replace(Hid hid, std::span<const uint8_t> bytes) {
    if (bytes.size() > kMaxHeapAllocation)
        throw std::logic_error("heap allocation larger than 3580 bytes");
    view(hid);  // validates
    uint32_t index = hidBlock(hid);
    Page& p = page(index);
    const size_t old = p.item(hidIndex(hid)).size();
    uint32_t size = encodedSize(index, p, int64_t(bytes.size()) - int64_t(old));
    if (size <= kMaxBlockData) {
        p.put(hidIndex(hid), bytes);
        p.dirty = true;
        return hid;
    }
    free(hid);
    return allocate(bytes);
}

void HeapBuilder::free(Hid hid) {
    view(hid);  // validates
    Page& p = page(hidBlock(hid));
    p.put(hidIndex(hid), {});
    p.dirty = true;
    noteRoom(hidBlock(hid));
}

uint64_t HeapBuilder::byteSize() const {
    uint64_t total = 0;
    for (uint32_t i = 0; i < pages_.size(); ++i) {
        const Page& p = pages_[i];
        total += p.loaded ? encodedSize(i, p) : p.size;
    }
    return total;
}

Bytes HeapBuilder::encodePage(uint32_t index) const {
    const Page& p = pages_[index];
    Bytes d;
    d.reserve(encodedSize(index, p));
    d.resize(headerSize(index), 0);
    const uint16_t base = uint16_t(d.size());
    d.insert(d.end(), p.bytes.begin(), p.bytes.end());
    if (d.size() % 2) d.push_back(0);
    storeLE16(d.data(), uint16_t(d.size()));
    appendLE16(d, uint16_t(p.count()));
    uint16_t empty = 0, previous = 0;
    for (uint16_t end : p.ends) {
        empty += end == previous;
        previous = end;
    }
    appendLE16(d, empty);
    appendLE16(d, base);
    for (uint16_t end : p.ends) appendLE16(d, uint16_t(base + end));
    if (index == 0) {
        d[2] = kHeapSignature;
        d[3] = clientSig_;
        storeLE32(d.data() + 4, userRoot_);
    }
    // Checks the running byte count the size planning relies on.
    if (d.size() != encodedSize(index, p) || d.size() > kMaxBlockData)
        throw std::logic_error("heap page size accounting is off");
    if (index == 0 || heapBlockHasBitmap(index)) {
        uint8_t* levels = d.data() + (index == 0 ? 8 : 2);
        uint32_t span = index == 0 ? 8 : kPagesPerBitmap;
        for (uint32_t i = 0; i < span && index + i < pages_.size(); ++i)
            setNibble(levels, i, pages_[index + i].fill);
    }
    return d;
}

Bid HeapBuilder::flush() {
    if (headerDirty_) page(0).dirty = true;
    bool any = false;
    // New fill levels; a changed level dirties the page that records it.
    for (uint32_t i = 0; i < pages_.size(); ++i) {
        Page& p = pages_[i];
        if (!p.dirty) continue;
        any = true;
        uint8_t level = fillLevel(kMaxBlockData - encodedSize(i, p));
        if (level != p.fill) {
            p.fill = level;
            page(fillOwner(i)).dirty = true;
        }
    }
    if (!any && lastRoot_ != 0) return lastRoot_;
    std::vector<NodeDatabaseWriter::BlockRef> refs;
    refs.reserve(pages_.size());
    for (uint32_t i = 0; i < pages_.size(); ++i) {
        Page& p = pages_[i];
        if (p.dirty) {
            Bytes d = encodePage(i);
            p.bid = ndb_.writeDataBlock(d);
            p.size = uint32_t(d.size());
            p.dirty = false;
        }
        refs.push_back({p.bid, p.size});
    }
    lastRoot_ = ndb_.writeDataTree(refs, lastRoot_);
    headerDirty_ = false;
    // Clean pages are read again when needed; the last one takes new items,
    // and the page holding its fill level changes at almost every flush. The
    // other pages with fill levels go too: a table of 100,000 rows has one
    // every 128 pages, and kept they would grow with the table.
    const uint32_t tailOwner = fillOwner(uint32_t(pages_.size() - 1));
    for (uint32_t i = 1; i + 1 < pages_.size(); ++i) {
        if (i == tailOwner) continue;
        pages_[i].loaded = false;
        pages_[i].clear();
        pages_[i].bytes.shrink_to_fit();
        pages_[i].ends.shrink_to_fit();
    }
    return lastRoot_;
}

}  // namespace qm::pst::ltp
