#include "pst/ndb/space_allocator.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <stdexcept>

#include "mapi/error.h"
#include "pst/ndb/block_format.h"

namespace qm::pst::ndb {
namespace {

constexpr uint32_t kSlotsPerPage = kPageSize / kAMapSlotSize;  // 8
// Clean bitmaps kept for reuse; dirty ones stay until the commit writes them.
constexpr size_t kCleanBitmapCache = 64;
// FMap bytes saturate: a run longer than this is told as this.
constexpr uint16_t kFMapMaxRun = 0xFF;

bool slotUsed(const uint8_t* bm, uint32_t slot) {
    return (bm[slot / 8] & (0x80 >> (slot % 8))) != 0;
}

void setSlots(uint8_t* bm, uint32_t first, uint32_t count, bool used) {
    for (uint32_t s = first; s < first + count; ++s) {
        uint8_t mask = uint8_t(0x80 >> (s % 8));
        if (used)
            bm[s / 8] |= mask;
        else
            bm[s / 8] &= uint8_t(~mask);
    }
}

}  // namespace

void SpaceAllocator::createInitial() {
    regions_.clear();
    bitmaps_.clear();
    dirtyRegions_ = 0;
    treeCap_ = 0;
    addRegion();
}

void SpaceAllocator::updateTree(uint32_t region) {
    size_t i = treeCap_ + region;
    runTree_[i] = regions_[region].maxRun;
    pageTree_[i] = regions_[region].freePages;
    for (i /= 2; i >= 1; i /= 2) {
        runTree_[i] = std::max(runTree_[2 * i], runTree_[2 * i + 1]);
        pageTree_[i] = std::max(pageTree_[2 * i], pageTree_[2 * i + 1]);
    }
}

uint32_t SpaceAllocator::firstRegionWith(bool pages, uint32_t want) const {
    const std::vector<uint16_t>& t = pages ? pageTree_ : runTree_;
    if (treeCap_ == 0 || t[1] < want) return UINT32_MAX;
    size_t i = 1;
    while (i < treeCap_) i = t[2 * i] >= want ? 2 * i : 2 * i + 1;
    return uint32_t(i - treeCap_);
}

uint32_t SpaceAllocator::addRegion() {
    uint32_t n = uint32_t(regions_.size());
    regions_.push_back(Region{});
    if (regions_.size() > treeCap_) {
        treeCap_ = std::max<size_t>(treeCap_ * 2, 64);
        runTree_.assign(2 * treeCap_, 0);
        pageTree_.assign(2 * treeCap_, 0);
        for (uint32_t r = 0; r < n; ++r) {
            runTree_[treeCap_ + r] = regions_[r].maxRun;
            pageTree_[treeCap_ + r] = regions_[r].freePages;
        }
        for (size_t i = treeCap_ - 1; i >= 1; --i) {
            runTree_[i] = std::max(runTree_[2 * i], runTree_[2 * i + 1]);
            pageTree_[i] = std::max(pageTree_[2 * i], pageTree_[2 * i + 1]);
        }
    }
    Bitmap& bm = bitmaps_[n];
    bm.fill(0);
    // The map pages at the start of the region are in use like any page.
    setSlots(bm.data(), 0, regionMapPages(n) * kSlotsPerPage, true);
    markDirty(n);
    regions_[n].fresh = true;
    recount(n);
    return n;
}

SpaceAllocator::Bitmap& SpaceAllocator::bitmap(uint32_t region) {
    auto it = bitmaps_.find(region);
    if (it != bitmaps_.end()) return it->second;
    trimCache();
    std::array<uint8_t, kPageSize> page;
    Ib ib = regionOffset(region);
    file_.read(ib, page);
    checkPage(page, PTYPE_AMAP, ib, ib, file_.path().string());
    Bitmap& bm = bitmaps_[region];
    std::memcpy(bm.data(), page.data(), kPageDataSize);
    return bm;
}

void SpaceAllocator::markDirty(uint32_t region) {
    if (regions_[region].dirty) return;
    regions_[region].dirty = true;
    ++dirtyRegions_;
}

void SpaceAllocator::trimCache() {
    // Every dirty region's bitmap is cached, so the rest are the clean ones;
    // counting them by a walk over the cache made each miss cost as much as
    // the regions written since the last commit.
    if (bitmaps_.size() - dirtyRegions_ < kCleanBitmapCache) return;
    for (auto it = bitmaps_.begin(); it != bitmaps_.end();) {
        if (!regions_[it->first].dirty)
            it = bitmaps_.erase(it);
        else
            ++it;
    }
}

void SpaceAllocator::recount(uint32_t region) {
    const Bitmap& bm = bitmaps_.at(region);
    Region& r = regions_[region];
    uint32_t free = 0, run = 0, best = 0, pages = 0;
    // Runs after every allocation: whole words first, since a region is
    // mostly all used or all free.
    static_assert(kPageDataSize % 8 == 0);
    for (uint32_t byte = 0; byte < kPageDataSize; ++byte) {
        if (byte % 8 == 0) {
            uint64_t word;
            std::memcpy(&word, bm.data() + byte, 8);
            if (word == 0) {
                pages += 8;
                free += 64;
                run += 64;
                best = std::max(best, run);
                byte += 7;
                continue;
            }
            if (word == ~uint64_t(0)) {
                run = 0;
                byte += 7;
                continue;
            }
        }
        uint8_t v = bm[byte];
        if (v == 0) {
            ++pages;
            free += 8;
            run += 8;
            best = std::max(best, run);
            continue;
        }
        if (v == 0xFF) {
            run = 0;
            continue;
        }
        for (int bit = 0; bit < 8; ++bit) {
            if (v & (0x80 >> bit)) {
                run = 0;
            } else {
                ++free;
                best = std::max(best, ++run);
            }
        }
    }
    r.freeSlots = uint16_t(free);
    r.maxRun = uint16_t(best);
    r.freePages = uint16_t(pages);
    updateTree(region);
}

bool SpaceAllocator::tryAllocate(uint32_t region, uint32_t slots, bool page, Ib& out) {
    const Region& info = regions_[region];
    if (page ? info.freePages == 0 : info.maxRun < slots) return false;
    Bitmap& bm = bitmap(region);
    uint32_t found = UINT32_MAX;
    // The file fills from the front, so without a starting point each search
    // would walk the used part of the region again.
    const uint32_t start = regions_[region].firstFree;
    uint32_t firstFreeSeen = UINT32_MAX;
    if (page) {
        for (uint32_t byte = start / 8; byte < kPageDataSize; ++byte)
            if (bm[byte] == 0) {
                found = byte * 8;
                break;
            }
    } else {
        uint32_t run = 0;
        for (uint32_t s = start; s < kAMapBits; ++s) {
            if (bm[s / 8] == 0xFF && s % 8 == 0) {
                run = 0;
                s += 7;
                continue;
            }
            if (slotUsed(bm.data(), s)) {
                run = 0;
            } else {
                if (firstFreeSeen == UINT32_MAX) firstFreeSeen = s;
                if (++run == slots) {
                    found = s + 1 - slots;
                    break;
                }
            }
        }
    }
    if (found == UINT32_MAX) return false;
    assert(found + slots <= kAMapBits && (!page || found % kSlotsPerPage == 0));
    setSlots(bm.data(), found, slots, true);
    if (!page) {
        // Below the first free slot seen all is used; if the block starts
        // there, it is used up to the block's end too.
        regions_[region].firstFree =
            uint16_t(firstFreeSeen == found ? found + slots : firstFreeSeen);
    }
    markDirty(region);
    recount(region);
    out = regionOffset(region) + uint64_t(found) * kAMapSlotSize;
    return true;
}

Ib SpaceAllocator::allocateBlock(uint32_t size) {
    if (size == 0 || size % kAMapSlotSize != 0 || size > kMaxBlockSize)
        throw std::logic_error("allocateBlock: bad block size");
    uint32_t slots = size / kAMapSlotSize;
    Ib ib = 0;
    if (blockHint_ < regions_.size() && tryAllocate(blockHint_, slots, false, ib)) return ib;
    uint32_t r = firstRegionWith(false, slots);
    if (r != UINT32_MAX && tryAllocate(r, slots, false, ib)) {
        blockHint_ = r;
        return ib;
    }
    blockHint_ = addRegion();
    if (!tryAllocate(blockHint_, slots, false, ib)) throw std::logic_error("fresh region full");
    return ib;
}

Ib SpaceAllocator::allocatePage() {
    Ib ib = 0;
    if (pageHint_ < regions_.size() && tryAllocate(pageHint_, kSlotsPerPage, true, ib)) return ib;
    uint32_t r = firstRegionWith(true, 1);
    if (r != UINT32_MAX && tryAllocate(r, kSlotsPerPage, true, ib)) {
        pageHint_ = r;
        return ib;
    }
    pageHint_ = addRegion();
    if (!tryAllocate(pageHint_, kSlotsPerPage, true, ib))
        throw std::logic_error("fresh region full");
    return ib;
}

void SpaceAllocator::freeAfterCommit(Ib ib, uint32_t size) {
    pendingFrees_.emplace_back(ib, size);
}

uint64_t SpaceAllocator::freeBytes() const {
    uint64_t slots = 0;
    for (const Region& r : regions_) slots += r.freeSlots;
    return slots * kAMapSlotSize;
}

void SpaceAllocator::writeMaps(Bid dlistBid) {
    const std::string file = file_.path().string();
    for (auto [ib, size] : pendingFrees_) {
        if (ib < kFirstAMapOffset || ib >= fileEof())
            throw std::logic_error("free outside the file");
        uint32_t region = uint32_t((ib - kFirstAMapOffset) / kRegionSize);
        uint32_t slot = uint32_t((ib - regionOffset(region)) / kAMapSlotSize);
        Bitmap& bm = bitmap(region);
        for (uint32_t s = slot; s < slot + size / kAMapSlotSize; ++s)
            if (!slotUsed(bm.data(), s)) throw std::logic_error("double free in the AMap");
        setSlots(bm.data(), slot, size / kAMapSlotSize, false);
        regions_[region].firstFree = std::min(regions_[region].firstFree, uint16_t(slot));
        markDirty(region);
        recount(region);
    }
    pendingFrees_.clear();

    std::array<uint8_t, kPageSize> page;
    std::vector<uint32_t> fmapsToWrite;
    for (uint32_t r = 0; r < regions_.size(); ++r) {
        Region& info = regions_[r];
        if (!info.dirty) continue;
        Ib ib = regionOffset(r);
        page.fill(0);
        std::memcpy(page.data(), bitmap(r).data(), kPageDataSize);
        sealPage(page, PTYPE_AMAP, ib, ib);
        file_.write(ib, page);
        if (info.fresh) {
            // Every page is reported in use: the PMap is deprecated and
            // cbPMapFree stays 0. The FPMap says the same of every PMap.
            if (Ib pm = pmapOffset(r)) {
                page.fill(0xFF);
                sealPage(page, PTYPE_PMAP, pm, pm);
                file_.write(pm, page);
            }
            if (Ib fp = fpmapOffset(r)) {
                page.fill(0xFF);
                sealPage(page, PTYPE_FPMAP, fp, fp);
                file_.write(fp, page);
            }
        }
        if (r >= kRegionsInHeaderFM) {
            uint32_t first =
                kRegionsInHeaderFM + (r - kRegionsInHeaderFM) / kRegionsPerFMap * kRegionsPerFMap;
            if (fmapsToWrite.empty() || fmapsToWrite.back() != first) fmapsToWrite.push_back(first);
        }
        info.dirty = false;
        --dirtyRegions_;
        info.fresh = false;
    }
    for (uint32_t first : fmapsToWrite) {
        // One byte per AMap from the FMap's own region on: the longest free run.
        page.fill(0);
        for (uint32_t i = 0; i < kRegionsPerFMap && first + i < regions_.size(); ++i)
            page[i] = uint8_t(std::min(regions_[first + i].maxRun, kFMapMaxRun));
        Ib fm = fmapOffset(first);
        sealPage(page, PTYPE_FMAP, fm, fm);
        file_.write(fm, page);
    }

    // Density list ([MS-PST] 2.2.2.7.4): every AMap, full ones too, the most
    // free slots first. The page holds 119 entries; a file of more regions
    // lists the 119 with the most free space.
    std::vector<uint32_t> order(regions_.size());
    for (uint32_t r = 0; r < regions_.size(); ++r) order[r] = r;
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        return regions_[a].freeSlots > regions_[b].freeSlots;
    });
    if (order.size() > dl::kMaxEntries) order.resize(dl::kMaxEntries);
    page.fill(0);
    page[dl::bFlags] = 0;
    page[dl::cEntDList] = uint8_t(order.size());
    storeLE32(page.data() + dl::ulCurrentPage, blockHint_);
    for (size_t i = 0; i < order.size(); ++i)
        storeLE32(page.data() + dl::rgDListPageEnt + i * dl::kEntrySize,
                  (order[i] & dl::kPageNumMask) |
                      (uint32_t(regions_[order[i]].freeSlots) << dl::kFreeSlotsShift));
    sealPage(page, PTYPE_DL, dlistBid, kDListOffset);
    file_.write(kDListOffset, page);

    file_.extendTo(fileEof());
    trimCache();
}

}  // namespace qm::pst::ndb
