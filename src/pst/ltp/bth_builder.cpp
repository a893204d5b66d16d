#include "pst/ltp/bth_builder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "mapi/error.h"

namespace qm::pst::ltp {
namespace {

using namespace ndb;

constexpr uint32_t kBthHeaderSize = 8;
constexpr uint32_t kIndexDataSize = 4;  // hidNextLevel

// Keys are little-endian integers: compare from the most significant byte.
int compareKeys(const uint8_t* a, const uint8_t* b, size_t n) {
    for (size_t i = n; i-- > 0;)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
}

}  // namespace

struct BthBuilder::Item {
    Bytes key;
    Hid hid = 0;
};

struct BthBuilder::Split {
    Bytes key;
    Hid hid = 0;
};

BthBuilder BthBuilder::create(HeapBuilder& heap, uint8_t cbKey, uint8_t cbEnt) {
    if (!(cbKey == 2 || cbKey == 4 || cbKey == 8 || cbKey == 16) || cbEnt < 1 || cbEnt > 32)
        throw std::logic_error("BTH key or entry size out of range");
    Bytes h = {bTypeBTH, cbKey, cbEnt, 0, 0, 0, 0, 0};
    Hid hid = heap.allocate(h);
    return BthBuilder(heap, hid);
}

BthBuilder::BthBuilder(HeapBuilder& heap, Hid header) : heap_(heap), header_(header) {
    Bytes h = heap.read(header);
    if (h.size() != kBthHeaderSize || h[0] != bTypeBTH)
        throw FormatError("", "BTHHEADER", -1, "not a BTH header");
    cbKey_ = h[1];
    cbEnt_ = h[2];
    levels_ = h[3];
    root_ = loadLE32(h.data() + 4);
}

void BthBuilder::writeHeader() {
    Bytes h = {bTypeBTH, cbKey_, cbEnt_, levels_, 0, 0, 0, 0};
    storeLE32(h.data() + 4, root_);
    Hid same = heap_.replace(header_, h);
    if (same != header_) throw std::logic_error("BTH header moved");
}

std::vector<std::vector<size_t>> BthBuilder::shape(size_t count) const {
    std::vector<std::vector<size_t>> levels;
    if (count == 0) return levels;
    const size_t recSize = size_t(cbKey_) + cbEnt_;
    const size_t indexSize = size_t(cbKey_) + kIndexDataSize;
    const size_t perLeaf = kMaxHeapAllocation / recSize;
    const size_t perIndex = kMaxHeapAllocation / indexSize;
    std::vector<size_t> sizes;
    for (size_t first = 0; first < count; first += perLeaf)
        sizes.push_back(std::min(perLeaf, count - first) * recSize);
    levels.push_back(std::move(sizes));
    while (levels.back().size() > 1) {
        const size_t below = levels.back().size();
        std::vector<size_t> up;
        for (size_t first = 0; first < below; first += perIndex)
            up.push_back(std::min(perIndex, below - first) * indexSize);
        levels.push_back(std::move(up));
    }
    return levels;
}

void BthBuilder::reserve(size_t count) {
    if (root_ != 0 || !reserved_.empty())
        throw std::logic_error("BthBuilder::reserve on a BTH that has records");
    const auto levels = shape(count);
    reserved_.resize(levels.size());
    for (size_t level = levels.size(); level-- > 0;)
        for (size_t size : levels[level])
            reserved_[level].push_back(heap_.allocate(Bytes(size, 0)));
    reservedCount_ = count;
}

void BthBuilder::load(std::span<const uint8_t> records) {
    if (root_ != 0) throw std::logic_error("BthBuilder::load into a BTH that has records");
    const uint8_t cbKey = cbKey_;
    const size_t recSize = size_t(cbKey) + cbEnt_;
    if (records.size() % recSize != 0) throw std::logic_error("BTH record of the wrong size");
    const size_t count = records.size() / recSize;
    if (!reserved_.empty() && count != reservedCount_)
        throw std::logic_error("BthBuilder::load: not the record count reserved");
    if (count == 0) return;
    for (size_t i = 1; i < count; ++i) {
        if (compareKeys(&records[(i - 1) * recSize], &records[i * recSize], cbKey) >= 0)
            throw std::logic_error("BTH records not sorted or keys not unique");
    }
    auto place = [&](size_t level, size_t index, std::span<const uint8_t> node) {
        if (reserved_.empty()) return heap_.allocate(node);
        const Hid hid = reserved_[level][index];
        if (heap_.replace(hid, node) != hid) throw std::logic_error("reserved BTH node moved");
        return hid;
    };
    // Leaves, then index levels over them, each node one full allocation.
    struct Item {
        Bytes key;
        Hid hid;
    };
    std::vector<Item> level;
    const size_t perLeaf = kMaxHeapAllocation / recSize;
    for (size_t first = 0; first < count; first += perLeaf) {
        const size_t end = std::min(count, first + perLeaf);
        const uint8_t* from = &records[first * recSize];
        level.push_back(
            {Bytes(from, from + cbKey),
             place(0, level.size(), std::span<const uint8_t>(from, (end - first) * recSize))});
    }
    uint8_t levels = 0;
    const size_t perIndex = kMaxHeapAllocation / (cbKey + kIndexDataSize);
    while (level.size() > 1) {
        std::vector<Item> up;
        for (size_t first = 0; first < level.size(); first += perIndex) {
            Bytes node;
            const size_t end = std::min(level.size(), first + perIndex);
            for (size_t i = first; i < end; ++i) {
                node.insert(node.end(), level[i].key.begin(), level[i].key.end());
                appendLE32(node, level[i].hid);
            }
            up.push_back({level[first].key, place(levels + 1u, up.size(), node)});
        }
        level = std::move(up);
        ++levels;
    }
    reserved_.clear();
    levels_ = levels;
    root_ = level[0].hid;
    writeHeader();
}

Hid BthBuilder::insertAt(Hid node, uint8_t level, std::span<const uint8_t> key,
                         std::span<const uint8_t> data, std::optional<Split>& split) {
    Bytes n = heap_.read(node);
    size_t recSize = cbKey_ + (level == 0 ? cbEnt_ : kIndexDataSize);
    if (n.empty() || n.size() % recSize != 0)
        throw FormatError("", "BTH", -1, "node size is not a multiple of its record size");
    size_t count = n.size() / recSize;
    // First record whose key is not below `key`.
    size_t pos = 0;
    while (pos < count && compareKeys(n.data() + pos * recSize, key.data(), cbKey_) < 0) ++pos;
    size_t cap = kMaxHeapAllocation / recSize;
    if (level == 0) {
        if (pos < count && compareKeys(n.data() + pos * recSize, key.data(), cbKey_) == 0) {
            std::copy(data.begin(), data.end(), n.begin() + long(pos * recSize + cbKey_));
            return heap_.replace(node, n);
        }
        Bytes rec(key.begin(), key.end());
        rec.insert(rec.end(), data.begin(), data.end());
        n.insert(n.begin() + long(pos * recSize), rec.begin(), rec.end());
    } else {
        // The child whose range holds the key (the first one for smaller keys).
        size_t child = pos < count && compareKeys(n.data() + pos * recSize, key.data(), cbKey_) == 0
                           ? pos
                           : (pos == 0 ? 0 : pos - 1);
        uint8_t* rec = n.data() + child * recSize;
        std::optional<Split> below;
        Hid newChild = insertAt(loadLE32(rec + cbKey_), uint8_t(level - 1), key, data, below);
        storeLE32(rec + cbKey_, newChild);
        if (compareKeys(key.data(), rec, cbKey_) < 0) std::copy(key.begin(), key.end(), rec);
        if (below) {
            Bytes r = below->key;
            appendLE32(r, below->hid);
            n.insert(n.begin() + long((child + 1) * recSize), r.begin(), r.end());
            pos = child + 1;
        } else {
            return heap_.replace(node, n);
        }
    }
    count = n.size() / recSize;
    if (count <= cap) return heap_.replace(node, n);
    // Appending keeps the left node full; a middle insert halves it.
    size_t keep = pos + 1 == count ? cap : count / 2;
    Bytes right(n.begin() + long(keep * recSize), n.end());
    n.resize(keep * recSize);
    split = Split{Bytes(right.begin(), right.begin() + cbKey_), heap_.allocate(right)};
    return heap_.replace(node, n);
}

void BthBuilder::insert(std::span<const uint8_t> key, std::span<const uint8_t> data) {
    if (key.size() != cbKey_ || data.size() != cbEnt_)
        throw std::logic_error("BTH insert: key or data of the wrong size");
    if (root_ == 0) {
        Bytes rec(key.begin(), key.end());
        rec.insert(rec.end(), data.begin(), data.end());
        root_ = heap_.allocate(rec);
        levels_ = 0;
        writeHeader();
        return;
    }
    std::optional<Split> split;
    Hid newRoot = insertAt(root_, levels_, key, data, split);
    if (split) {
        Bytes top;
        Bytes first = heap_.read(newRoot);
        top.insert(top.end(), first.begin(), first.begin() + cbKey_);
        appendLE32(top, newRoot);
        top.insert(top.end(), split->key.begin(), split->key.end());
        appendLE32(top, split->hid);
        newRoot = heap_.allocate(top);
        ++levels_;
    }
    if (newRoot != root_ || split) {
        root_ = newRoot;
        writeHeader();
    }
}

void BthBuilder::appendIndex(Bytes& n, std::span<const Item> items, std::vector<Item>& after) {
    const size_t recSize = size_t(cbKey_) + kIndexDataSize;
    const size_t cap = kMaxHeapAllocation / recSize;
    size_t i = 0;
    auto add = [&](Bytes& to, const Item& it) {
        to.insert(to.end(), it.key.begin(), it.key.end());
        appendLE32(to, it.hid);
    };
    for (; i < items.size() && n.size() / recSize < cap; ++i) add(n, items[i]);
    while (i < items.size()) {
        Bytes node;
        const Bytes first = items[i].key;
        for (size_t k = 0; k < cap && i < items.size(); ++k, ++i) add(node, items[i]);
        after.push_back({first, heap_.allocate(node)});
    }
}

Hid BthBuilder::appendAt(Hid node, uint8_t level, std::span<const uint8_t> records,
                         std::vector<Item>& after) {
    Bytes n = heap_.read(node);
    const size_t recSize = cbKey_ + (level == 0 ? cbEnt_ : kIndexDataSize);
    if (n.empty() || n.size() % recSize != 0)
        throw FormatError("", "BTH", -1, "node size is not a multiple of its record size");
    if (level == 0) {
        const size_t cap = kMaxHeapAllocation / recSize;
        const size_t room = n.size() / recSize < cap ? cap - n.size() / recSize : 0;
        const size_t here = std::min(room, records.size() / recSize) * recSize;
        n.insert(n.end(), records.begin(), records.begin() + long(here));
        for (size_t at = here; at < records.size(); at += cap * recSize) {
            const auto leaf = records.subspan(at, std::min(cap * recSize, records.size() - at));
            after.push_back({Bytes(leaf.begin(), leaf.begin() + cbKey_), heap_.allocate(leaf)});
        }
        return here == 0 ? node : heap_.replace(node, n);
    }
    // Larger keys all go below the last child.
    uint8_t* last = n.data() + n.size() - recSize;
    std::vector<Item> below;
    const Hid child = appendAt(loadLE32(last + cbKey_), uint8_t(level - 1), records, below);
    const bool moved = child != loadLE32(last + cbKey_);
    storeLE32(last + cbKey_, child);
    if (!moved && below.empty()) return node;
    appendIndex(n, below, after);
    return heap_.replace(node, n);
}

void BthBuilder::append(std::span<const uint8_t> records) {
    const size_t recSize = size_t(cbKey_) + cbEnt_;
    if (records.size() % recSize != 0) throw std::logic_error("BTH record of the wrong size");
    if (records.empty()) return;
    for (size_t at = recSize; at < records.size(); at += recSize)
        if (compareKeys(&records[at - recSize], &records[at], cbKey_) >= 0)
            throw std::logic_error("BTH records not sorted or keys not unique");
    const auto last = lastKey();
    if (last && compareKeys(last->data(), records.data(), cbKey_) >= 0)
        throw std::logic_error("BTH append: key not above the last one");
    if (root_ == 0) {
        load(records);
        return;
    }
    std::vector<Item> after;
    Hid root = appendAt(root_, levels_, records, after);
    while (!after.empty()) {
        // The root split: a new level above it, as insert() grows one.
        const Bytes first = heap_.read(root);
        std::vector<Item> items{{Bytes(first.begin(), first.begin() + cbKey_), root}};
        items.insert(items.end(), after.begin(), after.end());
        after.clear();
        Bytes top;
        appendIndex(top, items, after);
        root = heap_.allocate(top);
        ++levels_;
    }
    if (root != root_) {
        root_ = root;
        writeHeader();
    }
}

std::optional<Bytes> BthBuilder::lastKey() const {
    if (root_ == 0) return std::nullopt;
    Hid node = root_;
    for (int level = levels_; level >= 0; --level) {
        const std::span<const uint8_t> n = heap_.view(node);
        const size_t recSize = cbKey_ + (level == 0 ? cbEnt_ : kIndexDataSize);
        if (n.size() < recSize || n.size() % recSize != 0)
            throw FormatError("", "BTH", -1, "node size is not a multiple of its record size");
        const uint8_t* rec = n.data() + n.size() - recSize;
        if (level == 0) return Bytes(rec, rec + cbKey_);
        node = loadLE32(rec + cbKey_);
    }
    return std::nullopt;
}

std::optional<Bytes> BthBuilder::find(std::span<const uint8_t> key) const {
    if (key.size() != cbKey_ || root_ == 0) return std::nullopt;
    Hid node = root_;
    for (int level = levels_; level >= 0; --level) {
        const std::span<const uint8_t> n = heap_.view(node);
        size_t recSize = cbKey_ + (level == 0 ? cbEnt_ : kIndexDataSize);
        size_t count = n.size() / recSize;
        if (level == 0) {
            for (size_t i = 0; i < count; ++i)
                if (compareKeys(n.data() + i * recSize, key.data(), cbKey_) == 0)
                    return Bytes(n.begin() + long(i * recSize + cbKey_),
                                 n.begin() + long((i + 1) * recSize));
            return std::nullopt;
        }
        size_t child = SIZE_MAX;
        for (size_t i = 0;
             i < count && compareKeys(n.data() + i * recSize, key.data(), cbKey_) <= 0; ++i)
            child = i;
        if (child == SIZE_MAX) return std::nullopt;
        node = loadLE32(n.data() + child * recSize + cbKey_);
    }
    return std::nullopt;
}

}  // namespace qm::pst::ltp
