#include "pst/ndb/page_btree.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <functional>
#include <stdexcept>

#include "mapi/error.h"
#include "pst/ndb/block_format.h"

namespace qm::pst::ndb {
namespace {
// Pages read since the last trim before the clean ones are dropped again:
// bounds the memory a transaction that reads much (a big commit) can hold.
// A page held costs about 700 bytes; at 4096 a store of 100,000 messages,
// whose trees have more pages to read, held a megabyte more than one of
// 10,000, and reading the pages again was no slower.
constexpr size_t kTrimAfterLoads = 256;
}  // namespace

struct PageBTree::Node {
    uint8_t level = 0;
    Bref disk;  // where the page is on disk; bid 0 when never written
    bool dirty = true;
    std::vector<Entry> entries;  // leaves
    struct Child {
        uint64_t key = 0;
        Bref ref;
        std::unique_ptr<Node> node;  // held when read or changed
    };
    std::vector<Child> children;  // intermediate pages

    size_t count() const { return level == 0 ? entries.size() : children.size(); }
    uint64_t firstKey() const {
        return level == 0 ? keyOf(entries.front().data()) : children.front().key;
    }
};

PageBTree::PageBTree(WritableFile& file, SpaceAllocator& space, Bid& nextPageBid, uint8_t ptype)
    : file_(file), space_(space), nextPageBid_(nextPageBid), ptype_(ptype) {
    if (ptype == PTYPE_NBT) {
        entrySize_ = kNbtEntrySize;
        leafMax_ = kNbtEntryMax;
    } else {
        entrySize_ = kBbtEntrySize;
        leafMax_ = kBbtEntryMax;
    }
}

PageBTree::~PageBTree() = default;

void PageBTree::createEmpty() {
    root_ = std::make_unique<Node>();
}

Bref PageBTree::root() const {
    return root_->disk;
}

uint8_t PageBTree::depth() const {
    return root_->level;
}

std::unique_ptr<PageBTree::Node> PageBTree::readNode(Bref ref, int expectLevel) const {
    std::array<uint8_t, kPageSize> page;
    file_.read(ref.ib, page);
    const std::string file = file_.path().string();
    checkPage(page, ptype_, ref.bid, ref.ib, file);
    auto n = std::make_unique<Node>();
    n->disk = ref;
    n->dirty = false;
    uint8_t cEnt = page[btp::cEnt];
    uint8_t cbEnt = page[btp::cbEnt];
    n->level = page[btp::cLevel];
    if ((expectLevel >= 0 && n->level != expectLevel) || n->level > kMaxBtreeLevels)
        throw FormatError(file, "BTPAGE", int64_t(ref.ib), "unexpected level");
    uint32_t want = n->level == 0 ? entrySize_ : kBtEntrySize;
    if (cbEnt != want || uint32_t(cEnt) * cbEnt > kBtEntriesSize)
        throw FormatError(file, "BTPAGE", int64_t(ref.ib), "bad entry size or count");
    for (uint32_t i = 0; i < cEnt; ++i) {
        const uint8_t* p = page.data() + i * cbEnt;
        if (n->level == 0) {
            Entry e{};
            std::memcpy(e.data(), p, entrySize_);
            n->entries.push_back(e);
        } else {
            Node::Child c;
            c.key = loadLE64(p);
            c.ref = {loadLE64(p + 8), loadLE64(p + 16)};
            n->children.push_back(std::move(c));
        }
    }
    ++loadsSinceTrim_;
    return n;
}

PageBTree::Node& PageBTree::child(Node& n, size_t i) const {
    auto& c = n.children[i];
    if (!c.node) c.node = readNode(c.ref, n.level - 1);
    return *c.node;
}

void PageBTree::maybeTrim() const {
    if (loadsSinceTrim_ < kTrimAfterLoads) return;
    // A clean page has no changed page below it (changes mark the whole path).
    std::function<void(Node&)> trim = [&](Node& n) {
        for (auto& c : n.children) {
            if (!c.node) continue;
            if (!c.node->dirty)
                c.node.reset();
            else
                trim(*c.node);
        }
    };
    trim(*root_);
    loadsSinceTrim_ = 0;
}

std::optional<PageBTree::Entry> PageBTree::find(uint64_t key) const {
    maybeTrim();
    Node* n = root_.get();
    while (n->level > 0) {
        if (n->children.empty() || key < n->children.front().key) return std::nullopt;
        auto it = std::upper_bound(n->children.begin(), n->children.end(), key,
                                   [](uint64_t k, const Node::Child& c) { return k < c.key; });
        n = &child(*n, size_t(it - n->children.begin()) - 1);
    }
    auto it = std::lower_bound(n->entries.begin(), n->entries.end(), key,
                               [](const Entry& e, uint64_t k) { return keyOf(e.data()) < k; });
    if (it == n->entries.end() || keyOf(it->data()) != key) return std::nullopt;
    return *it;
}

void PageBTree::insertInto(Node& n, const Entry& e, std::unique_ptr<Node>& split) {
    uint64_t key = keyOf(e.data());
    n.dirty = true;
    if (n.level == 0) {
        auto it = std::lower_bound(n.entries.begin(), n.entries.end(), key,
                                   [](const Entry& x, uint64_t k) { return keyOf(x.data()) < k; });
        if (it != n.entries.end() && keyOf(it->data()) == key) {
            *it = e;
            return;
        }
        bool atEnd = it == n.entries.end();
        n.entries.insert(it, e);
        if (n.entries.size() <= leafMax_) return;
        // Appending keeps the left page full; a middle insert halves it.
        size_t keep = atEnd ? leafMax_ : n.entries.size() / 2;
        split = std::make_unique<Node>();
        split->level = 0;
        split->entries.assign(n.entries.begin() + long(keep), n.entries.end());
        n.entries.resize(keep);
        return;
    }
    size_t i = 0;
    if (key >= n.children.front().key) {
        auto it = std::upper_bound(n.children.begin(), n.children.end(), key,
                                   [](uint64_t k, const Node::Child& c) { return k < c.key; });
        i = size_t(it - n.children.begin()) - 1;
    }
    Node& c = child(n, i);
    std::unique_ptr<Node> childSplit;
    insertInto(c, e, childSplit);
    n.children[i].key = c.firstKey();
    if (!childSplit) return;
    bool atEnd = i + 1 == n.children.size();
    Node::Child sib;
    sib.key = childSplit->firstKey();
    sib.node = std::move(childSplit);
    n.children.insert(n.children.begin() + long(i) + 1, std::move(sib));
    if (n.children.size() <= kBtEntryMax) return;
    size_t keep = atEnd ? kBtEntryMax : n.children.size() / 2;
    split = std::make_unique<Node>();
    split->level = n.level;
    for (size_t k = keep; k < n.children.size(); ++k)
        split->children.push_back(std::move(n.children[k]));
    n.children.resize(keep);
}

void PageBTree::put(std::span<const uint8_t> entry) {
    if (entry.size() != entrySize_) throw std::logic_error("PageBTree::put: wrong entry size");
    maybeTrim();
    Entry e{};
    std::memcpy(e.data(), entry.data(), entry.size());
    std::unique_ptr<Node> split;
    insertInto(*root_, e, split);
    if (!split) return;
    if (root_->level >= kMaxBtreeLevels) throw std::logic_error("B-tree too deep");
    auto top = std::make_unique<Node>();
    top->level = uint8_t(root_->level + 1);
    Node::Child left, right;
    left.key = root_->firstKey();
    left.node = std::move(root_);
    right.key = split->firstKey();
    right.node = std::move(split);
    top->children.push_back(std::move(left));
    top->children.push_back(std::move(right));
    root_ = std::move(top);
}

bool PageBTree::eraseFrom(Node& n, uint64_t key) {
    if (n.level == 0) {
        auto it = std::lower_bound(n.entries.begin(), n.entries.end(), key,
                                   [](const Entry& x, uint64_t k) { return keyOf(x.data()) < k; });
        if (it == n.entries.end() || keyOf(it->data()) != key) return false;
        n.entries.erase(it);
        n.dirty = true;
        return true;
    }
    if (n.children.empty() || key < n.children.front().key) return false;
    auto it = std::upper_bound(n.children.begin(), n.children.end(), key,
                               [](uint64_t k, const Node::Child& c) { return k < c.key; });
    size_t i = size_t(it - n.children.begin()) - 1;
    Node& c = child(n, i);
    if (!eraseFrom(c, key)) return false;
    n.dirty = true;
    if (c.count() == 0) {
        // An empty page leaves the tree; its place is freed after the commit.
        if (c.disk.bid != 0) space_.freeAfterCommit(c.disk.ib, kPageSize);
        n.children.erase(n.children.begin() + long(i));
    } else {
        n.children[i].key = c.firstKey();
    }
    return true;
}

bool PageBTree::erase(uint64_t key) {
    maybeTrim();
    if (!eraseFrom(*root_, key)) return false;
    // A root with a single child hands the root over to it.
    while (root_->level > 0 && root_->children.size() <= 1) {
        if (root_->disk.bid != 0) space_.freeAfterCommit(root_->disk.ib, kPageSize);
        if (root_->children.empty()) {
            root_ = std::make_unique<Node>();
            break;
        }
        child(*root_, 0);
        std::unique_ptr<Node> only = std::move(root_->children[0].node);
        root_ = std::move(only);
        root_->dirty = true;
    }
    return true;
}

void PageBTree::writeNode(Node& n) {
    if (!n.dirty) return;
    std::array<uint8_t, kPageSize> page{};
    if (n.level == 0) {
        for (size_t i = 0; i < n.entries.size(); ++i)
            std::memcpy(page.data() + i * entrySize_, n.entries[i].data(), entrySize_);
    } else {
        for (size_t i = 0; i < n.children.size(); ++i) {
            auto& c = n.children[i];
            if (c.node) {
                writeNode(*c.node);
                c.ref = c.node->disk;
                c.key = c.node->firstKey();
            }
            uint8_t* p = page.data() + i * kBtEntrySize;
            storeLE64(p, c.key);
            storeLE64(p + 8, c.ref.bid);
            storeLE64(p + 16, c.ref.ib);
        }
    }
    // Invariants of a page about to be written: within capacity, keys ascending.
    assert(n.count() <= (n.level == 0 ? leafMax_ : kBtEntryMax));
    for (size_t i = 1; i < n.count(); ++i)
        assert(loadLE64(page.data() + (i - 1) * (n.level == 0 ? entrySize_ : kBtEntrySize)) <
               loadLE64(page.data() + i * (n.level == 0 ? entrySize_ : kBtEntrySize)));
    page[btp::cEnt] = uint8_t(n.count());
    page[btp::cEntMax] = uint8_t(n.level == 0 ? leafMax_ : kBtEntryMax);
    page[btp::cbEnt] = uint8_t(n.level == 0 ? entrySize_ : kBtEntrySize);
    page[btp::cLevel] = n.level;
    if (n.disk.bid != 0) space_.freeAfterCommit(n.disk.ib, kPageSize);
    Bref ref{nextPageBid_++, space_.allocatePage()};
    sealPage(page, ptype_, ref.bid, ref.ib);
    file_.write(ref.ib, page);
    n.disk = ref;
    n.dirty = false;
}

Bref PageBTree::writeDirty() {
    writeNode(*root_);
    return root_->disk;
}

void PageBTree::dropClean() {
    for (auto& c : root_->children)
        if (c.node && !c.node->dirty) c.node.reset();
    loadsSinceTrim_ = 0;
}

}  // namespace qm::pst::ndb
