// Space in the file: regions of 0x3E000 bytes, each opening with its AMap
// (then a PMap every 8 regions, an FMap from region 128 every 496, an FPMap
// from region 8192 every 31,744, packed in that order, each page's BID its
// own offset). One AMap bit = one 64-byte slot, the most significant bit of
// a byte being the first slot; 1 = in use.
//
// Crash consistency lives here: freed space is only remembered until
// writeMaps() (called by the commit, after the header has been marked
// INVALID), so nothing the last committed state uses is ever handed out
// again before the commit that stops using it. The file grows in whole
// regions; a block never crosses into the next region.
//
// Memory: three small counters per region, and the bitmaps of the regions
// touched since the last commit plus a few cached ones. Clean bitmaps are
// read back from their AMap page when needed.
#pragma once

#include <array>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "pst/ndb/format.h"
#include "pst/ndb/writable_file.h"

namespace qm::pst::ndb {

class SpaceAllocator {
  public:
    explicit SpaceAllocator(WritableFile& file) : file_(file) {}

    // The first region of a new file (AMap and PMap at 0x4400 and 0x4600).
    void createInitial();

    // REQUIRES: size a multiple of 64, at most kMaxBlockSize.
    Ib allocateBlock(uint32_t size);
    // One 512-byte page, 512-aligned.
    Ib allocatePage();
    // The space stops being used by the state the next commit writes; it is
    // marked free in the maps by writeMaps().
    void freeAfterCommit(Ib ib, uint32_t size);

    // Commit step: marks the pending frees, writes every changed AMap, the
    // map pages of new regions, the FMaps over changed regions and the
    // density list (page BID `dlistBid`), and extends the file to fileEof().
    // REQUIRES: the header on disk says fAMapValid = INVALID.
    void writeMaps(Bid dlistBid);

    uint64_t fileEof() const { return regionOffset(regions_.size()); }
    Ib amapLast() const { return regionOffset(regions_.size() - 1); }
    uint64_t freeBytes() const;
    size_t regionCount() const { return regions_.size(); }

  private:
    using Bitmap = std::array<uint8_t, kPageDataSize>;
    struct Region {
        uint16_t freeSlots = 0;
        uint16_t maxRun = 0;     // longest run of free slots
        uint16_t freePages = 0;  // wholly free 512-byte pages
        uint16_t firstFree = 0;  // every slot below is in use: searches start here
        bool dirty = false;      // bitmap differs from its AMap page
        bool fresh = false;      // created since the last writeMaps()
    };

    // The lowest region whose longest free run (or count of wholly free
    // pages) reaches `want`, or UINT32_MAX: a max-tree over the regions so
    // that a search costs log(regions), not a scan of a big file.
    uint32_t firstRegionWith(bool pages, uint32_t want) const;
    void updateTree(uint32_t region);

    Bitmap& bitmap(uint32_t region);
    void recount(uint32_t region);
    uint32_t addRegion();
    bool tryAllocate(uint32_t region, uint32_t slots, bool page, Ib& out);
    void trimCache();
    void markDirty(uint32_t region);

    WritableFile& file_;
    std::vector<Region> regions_;
    std::unordered_map<uint32_t, Bitmap> bitmaps_;
    size_t dirtyRegions_ = 0;  // regions with dirty set, all in bitmaps_
    std::vector<std::pair<Ib, uint32_t>> pendingFrees_;
    size_t treeCap_ = 0;              // leaves: a power of two >= regions
    std::vector<uint16_t> runTree_;   // max of maxRun below each node
    std::vector<uint16_t> pageTree_;  // max of freePages below each node
    uint32_t blockHint_ = 0;
    uint32_t pageHint_ = 0;
};

}  // namespace qm::pst::ndb
