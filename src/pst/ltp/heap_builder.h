// Heap-on-node ([MS-PST] 2.3.1): the allocations of one node's data stream,
// each data block one heap page.
//
// Page layout written:
//   page 0           HNHDR (12): ibHnpm, bSig 0xEC, bClientSig, hidUserRoot,
//                    fill levels of pages 0-7
//   pages 8+128k     HNBITMAPHDR (66): ibHnpm, fill levels of the next 128 pages
//   other pages      HNPAGEHDR (2): ibHnpm
//   then the allocations back to back, then (2-aligned) HNPAGEMAP: cAlloc,
//   cFree, rgibAlloc[cAlloc + 1]. A freed allocation keeps its index with
//   zero length, so every other HID stays valid. cFree counts the
//   zero-length allocations, as readers check it ([MS-PST] 2.3.1.5; the
//   outlook-pst library refuses a page map whose count differs). Our own
//   allocations always take a new index, never a zero-length one, so an
//   empty value allocated on purpose (property contexts and tables store
//   empty values so) keeps its HID.
//
// Pages are rewritten only when they change: flush() writes the changed
// pages as new blocks and re-references the unchanged ones, so a heap that
// grows by appending (a folder's contents table) rewrites only its tail
// and the pages holding fill levels.
//
// New allocations go first to a few earlier pages known to have room (an
// item freed or moved out of them: a table's growing row-index leaf leaves
// such holes), then to the last page, then to a new page.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "mapi/bytes.h"
#include "pst/ndb/node_database_writer.h"

namespace qm::pst::ltp {

using Hid = uint32_t;
using ndb::Bid;
using ndb::Nid;

class HeapBuilder {
  public:
    // A new, empty heap. `clientSig`: bTypeTC, bTypeBTH or bTypePC.
    HeapBuilder(ndb::NodeDatabaseWriter& ndb, uint8_t clientSig);
    // The heap stored in the data tree `bidData`, for changing it. Reads
    // the tree's block list, page 0 and the bitmap pages; other pages are
    // read when an allocation in them is read or changed.
    // Throws qm::FormatError when the stream is not a heap.
    static std::unique_ptr<HeapBuilder> open(ndb::NodeDatabaseWriter& ndb, Bid bidData);

    uint8_t clientSig() const { return clientSig_; }
    Hid userRoot() const { return userRoot_; }
    void setUserRoot(Hid hid);

    // REQUIRES: bytes.size() <= kMaxHeapAllocation (3580). Empty bytes make a
    // zero-length allocation (an empty value).
    Hid allocate(std::span<const uint8_t> bytes);
    // Replaces the contents of `hid`. Returns `hid` when the new bytes fit
    // in its page, otherwise the HID of a new allocation (the old one is
    // freed): callers must store the returned HID.
    // REQUIRES: bytes.size() <= kMaxHeapAllocation.
    [[nodiscard]] Hid replace(Hid hid, std::span<const uint8_t> bytes);
    void free(Hid hid);
    // Throws qm::FormatError for a HID that names no allocation.
    Bytes read(Hid hid) const;
    // The same without a copy: valid until the heap next changes.
    std::span<const uint8_t> view(Hid hid) const;

    // Bytes the heap's blocks hold once written: the sum of their cb.
    uint64_t byteSize() const;

    // Writes the changed pages and the data tree over all pages; returns its
    // root (a new tree; the one given to open() is left to the caller, who
    // normally replaces it through setNode()). Returns the same root when
    // nothing changed since the last flush.
    // REQUIRES: the result is referenced before the next commit.
    Bid flush();

  private:
    struct Page {
        Bid bid = 0;        // its block once written; 0 while new
        uint32_t size = 0;  // cb of that block
        uint8_t fill = 0;   // fill-level nibble as last written
        bool loaded = false;
        bool dirty = false;
        // The allocations back to back (one buffer, not one each: a heap
        // has hundreds); allocation i ends at ends[i - 1].
        Bytes bytes;
        std::vector<uint16_t> ends;
        uint32_t itemBytes = 0;  // bytes.size(), kept as it changes
        size_t count() const { return ends.size(); }
        std::span<const uint8_t> item(size_t i) const;  // i from 1
        // Allocation i (from 1) becomes `v`, or is added when i is count() + 1.
        void put(size_t i, std::span<const uint8_t> v);
        void clear();
    };
    Page& page(uint32_t index) const;  // loaded
    void noteRoom(uint32_t index);
    bool tryPlace(uint32_t index, std::span<const uint8_t> bytes, Hid& hid);
    uint32_t newPage();
    static uint32_t headerSize(uint32_t index);
    // Bytes the page takes written; `itemBytes` and `items` adjust the
    // page's own totals (a planned allocation or replacement).
    static uint32_t encodedSize(uint32_t index, const Page& p, int64_t itemBytes = 0,
                                int64_t items = 0);
    Bytes encodePage(uint32_t index) const;
    void decodePage(uint32_t index, Page& p, const Bytes& data) const;

    ndb::NodeDatabaseWriter& ndb_;
    uint8_t clientSig_;
    Hid userRoot_ = 0;
    mutable std::vector<Page> pages_;
    std::vector<uint32_t> roomy_;  // earlier pages with room worth filling
    Bid lastRoot_ = 0;
    bool headerDirty_ = true;
};

}  // namespace qm::pst::ltp
