// A B-tree of 512-byte BTPAGEs ([MS-PST] 2.2.2.7.7): the NBT or the BBT.
// Leaves hold fixed-size entries whose first 8 bytes are the key (a NID
// zero-extended, or a BID); intermediate pages hold BTENTRYs {key, BREF},
// the key being the smallest key of the child. Keys unique and ascending.
//
// Copy-on-write: a changed page and every page above it get a new BID and
// a new place at writeDirty(); the old places are freed after the commit.
// Only the pages on the paths touched since the last commit are held (plus
// what was read since, trimmed when it grows); the rest is read back from
// the file. An insert past the last key fills the right-most leaf before
// starting a new one, so trees whose keys grow stay dense.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "pst/ndb/format.h"
#include "pst/ndb/space_allocator.h"
#include "pst/ndb/writable_file.h"

namespace qm::pst::ndb {

class PageBTree {
  public:
    static constexpr uint32_t kMaxEntrySize = 32;
    using Entry = std::array<uint8_t, kMaxEntrySize>;  // only entrySize bytes used

    // `ptype` PTYPE_NBT (32-byte entries, 15 a leaf) or PTYPE_BBT (24, 20).
    // `nextPageBid` is HEADER.bidNextP, advanced for every page written.
    PageBTree(WritableFile& file, SpaceAllocator& space, Bid& nextPageBid, uint8_t ptype);
    ~PageBTree();

    // An empty tree: one empty leaf, written at the next writeDirty().
    void createEmpty();

    static uint64_t keyOf(const uint8_t* entry) { return loadLE64(entry); }
    uint32_t entrySize() const { return entrySize_; }

    std::optional<Entry> find(uint64_t key) const;
    // Inserts, or replaces the entry with the same key.
    void put(std::span<const uint8_t> entry);
    bool erase(uint64_t key);

    // Writes every changed page (new places and BIDs, children first) and
    // returns the root's BREF. Old places go to SpaceAllocator::freeAfterCommit.
    Bref writeDirty();
    // Drops every page but the root (after a commit: all pages are clean).
    void dropClean();
    Bref root() const;
    uint8_t depth() const;  // cLevel of the root

  private:
    struct Node;
    struct Split;
    Node& child(Node& n, size_t i) const;
    std::unique_ptr<Node> readNode(Bref ref, int expectLevel) const;
    void insertInto(Node& n, const Entry& e, std::unique_ptr<Node>& split);
    bool eraseFrom(Node& n, uint64_t key);
    void writeNode(Node& n);
    void maybeTrim() const;

    WritableFile& file_;
    SpaceAllocator& space_;
    Bid& nextPageBid_;
    uint8_t ptype_;
    uint32_t entrySize_;
    uint32_t leafMax_;
    std::unique_ptr<Node> root_;
    mutable size_t loadsSinceTrim_ = 0;
};

}  // namespace qm::pst::ndb
