// BTree-on-heap ([MS-PST] 2.3.2): sorted fixed-size records in heap
// allocations. BTHHEADER (8): bType 0xB5, cbKey, cbEnt, bIdxLevels, hidRoot.
// Leaves hold {key, data} records, index levels {key, hid of child}; a key
// in an index record is the smallest key below it. Each level's node is one
// allocation of at most kMaxHeapAllocation bytes.
//
// Keys compare as little-endian unsigned integers (cbKey 2, 4 or 8; a 16-byte
// key compares byte-wise from its last byte).
//
// Inserts descend from the root and rewrite only the path they touch; an
// insert past the last key fills the right-most leaf completely before
// starting a new one, so tables whose row ids grow stay dense.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "pst/ltp/heap_builder.h"

namespace qm::pst::ltp {

class BthBuilder {
  public:
    // Allocates an empty BTH (BTHHEADER with hidRoot 0) in `heap`.
    // REQUIRES: cbKey in {2, 4, 8, 16}; 1 <= cbEnt <= 32.
    static BthBuilder create(HeapBuilder& heap, uint8_t cbKey, uint8_t cbEnt);
    // The BTH whose BTHHEADER is `header`. Throws qm::FormatError if that
    // allocation is not a BTHHEADER.
    BthBuilder(HeapBuilder& heap, Hid header);

    // Builds the whole tree from records sorted by key (leaves filled, then
    // index levels as needed). `records` are packed back to back, cbKey +
    // cbEnt bytes each. Nodes reserved with reserve() are filled in place;
    // others are allocated as the tree is built.
    // REQUIRES: the BTH is empty; records sorted by key, keys unique.
    void load(std::span<const uint8_t> records);
    // Allocates, zero-filled, the nodes load() will need for `count`
    // records: the root first, then each level below it. Outlook's PCs hold
    // the BTH header at HID 0x20 and its root at 0x40, before the values the
    // records point to; reserving the nodes first keeps that order although
    // the records are only known once the values are placed.
    // REQUIRES: the BTH is empty and nothing reserved yet; load() is then
    // given exactly `count` records.
    void reserve(size_t count);

    Hid header() const { return header_; }
    uint8_t keySize() const { return cbKey_; }
    uint8_t dataSize() const { return cbEnt_; }

    // Inserts, or replaces the data of an existing key.
    // REQUIRES: key.size() == cbKey, data.size() == cbEnt.
    void insert(std::span<const uint8_t> key, std::span<const uint8_t> data);
    // Appends records whose keys all exceed every key in the BTH, giving
    // the tree insert() would build one record at a time, but rewriting
    // each touched node once.
    // REQUIRES: records packed and sorted as for load(); first key above
    // lastKey().
    void append(std::span<const uint8_t> records);
    // The largest key, if any.
    std::optional<Bytes> lastKey() const;
    std::optional<Bytes> find(std::span<const uint8_t> key) const;

  private:
    struct Split;
    Hid insertAt(Hid node, uint8_t level, std::span<const uint8_t> key,
                 std::span<const uint8_t> data, std::optional<Split>& split);
    struct Item;
    // Appends to the subtree at `node`; returns its (possibly moved) HID
    // and adds the nodes that follow it at its level to `after`.
    Hid appendAt(Hid node, uint8_t level, std::span<const uint8_t> records,
                 std::vector<Item>& after);
    // Adds `items` as index records after those of `n`, filling `n` to the
    // cap, then new index nodes (added to `after`).
    void appendIndex(Bytes& n, std::span<const Item> items, std::vector<Item>& after);
    void writeHeader();

    // Node sizes in bytes per level (0 = leaves) for `count` records.
    std::vector<std::vector<size_t>> shape(size_t count) const;

    HeapBuilder& heap_;
    Hid header_ = 0;
    std::vector<std::vector<Hid>> reserved_;  // per level, as shape() gives
    size_t reservedCount_ = 0;
    uint8_t cbKey_ = 0;
    uint8_t cbEnt_ = 0;
    uint8_t levels_ = 0;
    Hid root_ = 0;
};

}  // namespace qm::pst::ltp
