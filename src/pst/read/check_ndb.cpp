// Checker, node database part: header, blocks, references and counts,
// allocation maps and the density list.
#include <algorithm>

#include "pst/ndb/crc.h"
#include "pst/ndb/signature.h"
#include "pst/read/check_internal.h"

namespace qm::pst::read::check {

using namespace ndb;

Checker::Checker(std::shared_ptr<NodeDatabase> db, CheckReport& report)
    : db_(db), pst_(db), report_(report) {
    mapsTrusted_ = db_->header().root.amapValid != uint8_t(AMapValid::Invalid);
    if (!mapsTrusted_)
        note(
            "fAMapValid is 0 (maps to be rebuilt by the next writer): map mismatches are not "
            "counted as defects");
}

void Checker::mapFinding(const std::string& where, const std::string& what) {
    if (mapsTrusted_)
        finding(where, what);
    else
        note(where + ": " + what);
}

void Checker::checkHeader() {
    const Header& h = db_->header();
    const Bytes& b = db_->headerBytes();
    if (b[hdr::bSentinel] != kSentinel) finding("header", "bSentinel " + hex(b[hdr::bSentinel]));
    if (h.cryptMethod == uint8_t(CryptMethod::Cyclic))
        note("blocks use cyclic encoding (read, never written by us)");
    if (h.root.amapValid > uint8_t(AMapValid::Valid2))
        finding("header", "fAMapValid " + hex(h.root.amapValid) + " is not a known value");
    const uint64_t physical = db_->file().size();
    const Ib eof = h.root.fileEof;
    if (eof < kFirstAMapOffset + kRegionSize || (eof - kFirstAMapOffset) % kRegionSize != 0) {
        finding("header", "ibFileEof " + hex(eof) + " is not a whole number of regions");
        regions_ = eof > kFirstAMapOffset ? (eof - kFirstAMapOffset) / kRegionSize : 0;
    } else {
        regions_ = (eof - kFirstAMapOffset) / kRegionSize;
    }
    // A file shorter than ibFileEof was reported when it was opened; the
    // maps are checked over the regions the file really holds (none when it
    // ends before the first AMap), never over what the header claims.
    if (eof > physical) {
        regions_ = physical > kFirstAMapOffset
                       ? std::min(regions_, (physical - kFirstAMapOffset) / kRegionSize)
                       : 0;
    }
    if (eof < physical)
        note("file has " + std::to_string(physical - eof) + " bytes past ibFileEof");
    if (regions_ > 0 && h.root.amapLast != regionOffset(regions_ - 1))
        finding("header", "ibAMapLast " + hex(h.root.amapLast) + ", the last region's AMap is at " +
                              hex(regionOffset(regions_ - 1)));
    if (h.root.pmapFree != 0) note("cbPMapFree is " + std::to_string(h.root.pmapFree));

    Bid maxBlock = 0;
    for (const auto& e : db_->blocks()) maxBlock = std::max(maxBlock, bidKey(e.bid));
    if (!db_->blocks().empty() && h.bidNextB <= maxBlock)
        finding("header", "bidNextB " + hex(h.bidNextB) + " not above block " + hex(maxBlock));
    Bid maxPage = 0;
    for (const auto& p : db_->pages()) maxPage = std::max(maxPage, p.bid);
    if (h.bidNextP <= maxPage)
        finding("header", "bidNextP " + hex(h.bidNextP) + " not above page " + hex(maxPage));
    // rgnid: the last index handed out per type, so never below one in use.
    uint32_t maxIndex[kRgnidCount] = {};
    for (const auto& n : db_->nodes())
        maxIndex[nidType(n.nid)] = std::max(maxIndex[nidType(n.nid)], nidIndex(n.nid));
    for (uint32_t t = 0; t < kRgnidCount; ++t) {
        if (t == NID_TYPE_INTERNAL || maxIndex[t] == 0) continue;  // internal NIDs are fixed
        if (h.rgnid[t] < maxIndex[t])
            finding("header", "rgnid[" + hex(t) + "] " + hex(h.rgnid[t]) +
                                  " below the index in use " + hex(maxIndex[t]));
    }
}

void Checker::checkBlocks() {
    for (const auto& e : db_->blocks()) {
        std::string where = "block " + hex(e.bid) + " at " + hex(e.ib);
        if (e.bid & kBidReservedBit) finding(where, "reserved bit 0 of the BID is set");
        if (e.cb == 0) finding(where, "zero-length block");
        // BBTENTRY and NBTENTRY dwPadding are not judged: Outlook leaves
        // whatever was in memory there in its own files.
        try {
            RawBlock b = db_->readRawBlock(e.bid);
            if (bidIsInternal(e.bid)) {
                uint8_t btype = b.data.empty() ? 0 : b.data[0];
                if (btype != kBTypeXBlock && btype != kBTypeSubnode)
                    finding(where, "internal BID on a block of btype " + hex(btype));
            }
        } catch (const FormatError& err) {
            finding(where, err.reason());
            unreadable_.insert(bidKey(e.bid));
        }
    }
}

uint64_t Checker::reference(Bid bid, Expect expect, const std::string& from) {
    Bid key = bidKey(bid);
    const std::string where = "block " + hex(bid);
    const BbtEntry* e = db_->findBlock(bid);
    if (!e) {
        finding(from, "refers to block " + hex(bid) + ", absent from the block B-tree");
        return 0;
    }
    const auto& blocks = db_->blocks();
    if (refs_.size() != blocks.size()) refs_.assign(blocks.size(), 0);
    ++refs_[size_t(e - blocks.data())];
    bool internal = bidIsInternal(bid);
    bool wantInternal =
        expect == Expect::XBlock || expect == Expect::SubnodeRoot || expect == Expect::SlBlock;
    if (expect == Expect::Data && internal) {
        finding(from, "lists internal block " + hex(bid) + " where a data block belongs");
        return e->cb;
    }
    if (wantInternal && !internal) {
        finding(from, "refers to data block " + hex(bid) + " where an internal block belongs");
        return 0;
    }
    if (!internal) return e->cb;
    auto done = expanded_.find(key);
    if (done != expanded_.end()) return done->second;
    expanded_[key] = 0;
    if (unreadable_.count(key)) return 0;
    RawBlock b;
    try {
        b = db_->readRawBlock(bid);
    } catch (const FormatError&) {
        return 0;  // reported by checkBlocks
    }
    const Bytes& d = b.data;
    if (d.size() < kInternalBlockHeaderSize) {
        finding(where, "internal block shorter than its header");
        return 0;
    }
    uint8_t btype = d[0], level = d[1];
    uint16_t cEnt = loadLE16(&d[2]);
    uint64_t total = 0;
    if (btype == kBTypeXBlock) {
        if (expect == Expect::SubnodeRoot || expect == Expect::SlBlock ||
            (expect == Expect::XBlock && level != 1) || level < 1 || level > 2) {
            finding(from, "refers to XBLOCK " + hex(bid) + " of cLevel " + std::to_string(level) +
                              " where it does not belong");
            return 0;
        }
        uint32_t lcbTotal = loadLE32(&d[4]);
        if (cEnt == 0 || kInternalBlockHeaderSize + size_t(cEnt) * kXBlockBidSize > d.size()) {
            finding(where, "cEnt " + std::to_string(cEnt) + " does not fit the block");
            return 0;
        }
        if (kInternalBlockHeaderSize + size_t(cEnt) * kXBlockBidSize != d.size())
            finding(where,
                    "cb " + std::to_string(d.size()) + " for " + std::to_string(cEnt) + " entries");
        for (uint16_t i = 0; i < cEnt; ++i) {
            Bid child = loadLE64(&d[kInternalBlockHeaderSize + i * kXBlockBidSize]);
            total += reference(child, level == 1 ? Expect::Data : Expect::XBlock, where);
        }
        if (total != lcbTotal)
            finding(where, "lcbTotal " + std::to_string(lcbTotal) + " but the blocks hold " +
                               std::to_string(total));
    } else if (btype == kBTypeSubnode) {
        if (expect != Expect::SubnodeRoot && !(expect == Expect::SlBlock && level == 0)) {
            finding(from, "refers to subnode block " + hex(bid) + " where it does not belong");
            return 0;
        }
        uint32_t entSize = level == 0 ? kSlEntrySize : kSiEntrySize;
        if (level > 1 || cEnt == 0 ||
            kInternalBlockHeaderSize + size_t(cEnt) * entSize > d.size()) {
            finding(where, "subnode block cLevel " + std::to_string(level) + " cEnt " +
                               std::to_string(cEnt) + " does not fit");
            return 0;
        }
        if (loadLE32(&d[4]) != 0) finding(where, "dwPadding not 0");
        for (uint16_t i = 0; i < cEnt; ++i) {
            const uint8_t* s = &d[kInternalBlockHeaderSize + i * entSize];
            Nid nid = loadLE32(s);
            std::string entry = where + " entry " + std::to_string(i) + " (nid " + hex(nid) + ")";
            if (level == 0) {
                Bid data = loadLE64(s + 8), sub = loadLE64(s + 16);
                if (data != 0) reference(data, Expect::DataRoot, entry);
                if (sub != 0) reference(sub, Expect::SubnodeRoot, entry);
            } else {
                reference(loadLE64(s + 8), Expect::SlBlock, entry);
            }
        }
    } else {
        finding(where, "internal block of unknown btype " + hex(btype));
    }
    expanded_[key] = total;
    return total;
}

void Checker::checkReferences() {
    for (const auto& n : db_->nodes()) {
        std::string where = "node " + hex(n.nid);
        if (n.bidData != 0) reference(n.bidData, Expect::DataRoot, where);
        if (n.bidSub != 0) reference(n.bidSub, Expect::SubnodeRoot, where);
    }
    const auto& blocks = db_->blocks();
    refs_.resize(blocks.size(), 0);
    for (size_t i = 0; i < blocks.size(); ++i) {
        const BbtEntry& e = blocks[i];
        const uint32_t refs = refs_[i];
        std::string where = "block " + hex(e.bid);
        if (refs == 0) {
            finding(where, "not referenced by any node (cRef " + std::to_string(e.cRef) + ")");
            continue;
        }
        // The BBT entry itself holds one reference ([MS-PST] 2.2.2.7.7.3.1).
        if (e.cRef != refs + 1)
            finding(where, "cRef " + std::to_string(e.cRef) + ", references give " +
                               std::to_string(refs + 1));
    }
}

namespace {

// One bit per 64-byte slot of the regions.
class SlotMap {
  public:
    explicit SlotMap(uint64_t slots) : bits_((slots + 63) / 64), slots_(slots) {}
    bool get(uint64_t s) const { return (bits_[s / 64] >> (s % 64)) & 1; }
    void set(uint64_t s) { bits_[s / 64] |= uint64_t(1) << (s % 64); }
    uint64_t size() const { return slots_; }

  private:
    std::vector<uint64_t> bits_;
    uint64_t slots_;
};

}  // namespace

void Checker::checkMaps() {
    const Header& h = db_->header();
    const FileBytes& file = db_->file();
    const uint64_t slots = regions_ * kAMapBits;
    SlotMap used(slots);
    uint64_t overlaps = 0;
    std::string firstOverlap;
    auto mark = [&](Ib ib, uint64_t size, const std::string& what) {
        if (ib < kFirstAMapOffset || ib + size > kFirstAMapOffset + slots * kAMapSlotSize) {
            finding(what, "lies outside the file's regions");
            return;
        }
        uint64_t first = (ib - kFirstAMapOffset) / kAMapSlotSize;
        uint64_t last = (ib + size - 1 - kFirstAMapOffset) / kAMapSlotSize;
        if (first / kAMapBits != last / kAMapBits) finding(what, "crosses a region boundary");
        for (uint64_t s = first; s <= last; ++s) {
            if (used.get(s)) {
                if (overlaps++ == 0) firstOverlap = what;
            }
            used.set(s);
        }
    };
    for (uint64_t n = 0; n < regions_; ++n) {
        struct MapPage {
            uint64_t ib;
            uint8_t ptype;
            const char* name;
        };
        std::vector<MapPage> maps = {{regionOffset(n), PTYPE_AMAP, "AMap"}};
        if (regionHasPMap(n)) maps.push_back({pmapOffset(n), PTYPE_PMAP, "PMap"});
        if (regionHasFMap(n)) maps.push_back({fmapOffset(n), PTYPE_FMAP, "FMap"});
        if (regionHasFPMap(n)) maps.push_back({fpmapOffset(n), PTYPE_FPMAP, "FPMap"});
        for (const auto& m : maps) {
            std::string where = std::string(m.name) + " at " + hex(m.ib);
            mark(m.ib, kPageSize, where);
            if (!file.contains(m.ib, kPageSize)) {
                mapFinding(where, "missing (file too short)");
                continue;
            }
            Bytes p = file.read(m.ib, kPageSize);
            // Map pages are rewritten in place; with fAMapValid 0 a torn one
            // is expected, so these too are only noted then.
            if (p[ptr::ptype] != m.ptype || p[ptr::ptypeRepeat] != m.ptype)
                mapFinding(where, "page type " + hex(p[ptr::ptype]) + "/" +
                                      hex(p[ptr::ptypeRepeat]) + ", expected " + hex(m.ptype));
            if (loadLE16(&p[ptr::wSig]) != 0) mapFinding(where, "wSig not 0");
            if (loadLE64(&p[ptr::bid]) != m.ib)
                mapFinding(where, "bid " + hex(loadLE64(&p[ptr::bid])) + " is not its offset");
            if (loadLE32(&p[ptr::dwCRC]) != crc32(p.data(), kPageDataSize))
                mapFinding(where, "page CRC mismatch");
        }
    }
    for (const auto& pg : db_->pages())
        mark(pg.ib, kPageSize,
             std::string(pg.ptype == PTYPE_NBT ? "NBT" : "BBT") + " page " + hex(pg.bid) + " at " +
                 hex(pg.ib));
    for (const auto& e : db_->blocks())
        mark(e.ib, blockSizeOnDisk(e.cb), "block " + hex(e.bid) + " at " + hex(e.ib));
    if (overlaps > 0)
        finding(firstOverlap, "shares space with another page or block (" +
                                  std::to_string(overlaps) + " slots shared in all)");

    uint64_t freeSlots = 0, pmapReserved = 0;
    Bytes pmap;
    for (uint64_t n = 0; n < regions_; ++n) {
        Ib ib = regionOffset(n);
        if (!file.contains(ib, kPageSize)) break;
        Bytes amap = file.read(ib, kPageSize);
        uint64_t pmapRegion = n - n % kRegionsPerPMap;
        if (n == pmapRegion) {
            pmap.clear();
            if (file.contains(pmapOffset(n), kPageSize)) pmap = file.read(pmapOffset(n), kPageSize);
        }
        // Outlook keeps pages it freed allocated in the AMap and free in the
        // PMap (its own files show it); such space holds nothing yet is no leak.
        auto pmapFree = [&](uint32_t slot) {
            if (pmap.empty()) return false;
            uint64_t page =
                ((n - pmapRegion) * kRegionSize + uint64_t(slot) * kAMapSlotSize) / kPageSize;
            return page < kAMapBits && !(pmap[page / 8] & (0x80 >> (page % 8)));
        };
        uint64_t usedFree = 0, unusedMarked = 0;
        Ib firstUsedFree = 0, firstUnused = 0;
        for (uint32_t s = 0; s < kAMapBits; ++s) {
            bool bit = (amap[s / 8] & (0x80 >> (s % 8))) != 0;
            bool isUsed = used.get(n * kAMapBits + s);
            if (!bit) ++freeSlots;
            Ib at = ib + uint64_t(s) * kAMapSlotSize;
            if (isUsed && !bit && usedFree++ == 0) firstUsedFree = at;
            if (!isUsed && bit && pmapFree(s)) {
                ++pmapReserved;
            } else if (!isUsed && bit && unusedMarked++ == 0) {
                firstUnused = at;
            }
        }
        std::string where = "AMap at " + hex(ib);
        if (usedFree)
            mapFinding(where, std::to_string(usedFree) + " slots in use are marked free (first " +
                                  hex(firstUsedFree) + ")");
        if (unusedMarked)
            mapFinding(where, std::to_string(unusedMarked) +
                                  " slots marked allocated hold nothing (first " +
                                  hex(firstUnused) + ")");
    }
    if (pmapReserved > 0)
        note(std::to_string(pmapReserved) +
             " slots are allocated in the AMaps and free in the PMaps (pages kept for reuse)");
    if (h.root.amapFree != freeSlots * kAMapSlotSize)
        mapFinding("header", "cbAMapFree " + std::to_string(h.root.amapFree) + ", the AMaps give " +
                                 std::to_string(freeSlots * kAMapSlotSize));
}

void Checker::checkDensityList() {
    const FileBytes& file = db_->file();
    if (!file.contains(kDListOffset, kPageSize)) return;
    Bytes p = file.read(kDListOffset, kPageSize);
    const std::string where = "density list at " + hex(kDListOffset);
    if (p[ptr::ptype] != PTYPE_DL) {
        note("no density list");
        return;
    }
    if (p[ptr::ptypeRepeat] != PTYPE_DL) mapFinding(where, "ptypeRepeat differs");
    Bid bid = loadLE64(&p[ptr::bid]);
    if (loadLE32(&p[ptr::dwCRC]) != crc32(p.data(), kPageDataSize))
        mapFinding(where, "page CRC mismatch");
    if (loadLE16(&p[ptr::wSig]) != computeSignature(kDListOffset, bid))
        mapFinding(where, "wSig " + hex(loadLE16(&p[ptr::wSig])) + ", expected " +
                              hex(computeSignature(kDListOffset, bid)));
    uint8_t count = p[dl::cEntDList];
    if (count > dl::kMaxEntries) {
        mapFinding(where, "cEntDList " + std::to_string(count) + " exceeds 119");
        return;
    }
    uint32_t current = loadLE32(&p[dl::ulCurrentPage]);
    if (regions_ > 0 && current >= regions_)
        mapFinding(where, "ulCurrentPage " + std::to_string(current) + " names no AMap");
    uint32_t prevFree = UINT32_MAX;
    std::set<uint32_t> seen;
    for (uint8_t i = 0; i < count; ++i) {
        uint32_t ent = loadLE32(&p[dl::rgDListPageEnt + i * dl::kEntrySize]);
        uint32_t page = ent & dl::kPageNumMask, freeSlots = ent >> dl::kFreeSlotsShift;
        std::string e = where + " entry " + std::to_string(i);
        if (page >= regions_) {
            mapFinding(e, "AMap " + std::to_string(page) + " does not exist");
            continue;
        }
        if (!seen.insert(page).second) mapFinding(e, "AMap " + std::to_string(page) + " twice");
        Bytes amap = file.read(regionOffset(page), kPageSize);
        uint32_t actual = 0;
        for (uint32_t s = 0; s < kAMapBits; ++s)
            if (!(amap[s / 8] & (0x80 >> (s % 8)))) ++actual;
        if (freeSlots != actual)
            mapFinding(e, "AMap " + std::to_string(page) + " listed with " +
                              std::to_string(freeSlots) + " free slots, it has " +
                              std::to_string(actual));
        if (freeSlots > prevFree) mapFinding(e, "entries not ordered by free space, most first");
        prevFree = freeSlots;
    }
}

}  // namespace qm::pst::read::check
