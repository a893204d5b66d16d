#include "pst/ndb/ndb_file_check.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>

#include "pst/ndb/crc.h"
#include "pst/ndb/crypt.h"
#include "pst/ndb/signature.h"
#include "pst/read/checker.h"

namespace qm::pst::ndb::testing {
namespace {

struct Reader {
    int fd = -1;
    uint64_t size = 0;
    Bytes at(uint64_t off, size_t n) const {
        Bytes b(n);
        if (off + n > size) throw std::runtime_error("read past end of file");
        if (::pread(fd, b.data(), n, off_t(off)) != ssize_t(n)) throw std::runtime_error("pread");
        return b;
    }
};

std::string hex(uint64_t v) {
    std::ostringstream s;
    s << "0x" << std::hex << v;
    return s.str();
}

}  // namespace

std::string FileView::report() const {
    std::string out;
    for (const auto& f : findings) out += f + "\n";
    return out;
}

Bytes FileView::data(Bid root) const {
    Reader r;
    r.fd = ::open(path.c_str(), O_RDONLY);
    r.size = uint64_t(::lseek(r.fd, 0, SEEK_END));
    std::function<Bytes(Bid)> raw = [&](Bid bid) {
        const BlockEntry& e = blocks.at(bidKey(bid));
        Bytes b = r.at(e.bref.ib, e.cb);
        if (!bidIsInternal(bid)) decodeBlockData(b, crypt, bid);
        return b;
    };
    std::function<Bytes(Bid)> tree = [&](Bid bid) -> Bytes {
        Bytes b = raw(bid);
        if (!bidIsInternal(bid)) return b;
        Bytes out;
        uint16_t n = loadLE16(b.data() + 2);
        for (uint16_t i = 0; i < n; ++i) {
            Bytes c = tree(loadLE64(b.data() + 8 + 8 * i));
            out.insert(out.end(), c.begin(), c.end());
        }
        return out;
    };
    Bytes out = root ? tree(root) : Bytes{};
    ::close(r.fd);
    return out;
}

std::vector<SubnodeEntry> FileView::subnodes(Bid root) const {
    std::vector<SubnodeEntry> out;
    if (!root) return out;
    Reader r;
    r.fd = ::open(path.c_str(), O_RDONLY);
    r.size = uint64_t(::lseek(r.fd, 0, SEEK_END));
    std::function<void(Bid)> walk = [&](Bid bid) {
        const BlockEntry& e = blocks.at(bidKey(bid));
        Bytes b = r.at(e.bref.ib, e.cb);
        uint16_t n = loadLE16(b.data() + 2);
        for (uint16_t i = 0; i < n; ++i) {
            if (b[1] == 0) {
                const uint8_t* p = b.data() + 8 + 24 * i;
                out.push_back({Nid(loadLE64(p)), loadLE64(p + 8), loadLE64(p + 16)});
            } else {
                walk(loadLE64(b.data() + 8 + 16 * i + 8));
            }
        }
    };
    walk(root);
    ::close(r.fd);
    return out;
}

FileView checkFile(const std::string& path) {
    FileView v;
    v.path = path;
    auto find = [&](const std::string& s) { v.findings.push_back(s); };
    Reader r;
    r.fd = ::open(path.c_str(), O_RDONLY);
    if (r.fd < 0) throw std::runtime_error("cannot open " + path);
    r.size = uint64_t(::lseek(r.fd, 0, SEEK_END));
    try {
        Bytes h = r.at(0, kHeaderSize);
        const uint8_t* p = h.data();
        if (loadLE32(p) != kHeaderMagic) find("header: bad magic");
        if (loadLE32(p + hdr::dwCRCPartial) != crc32(p + 8, kHeaderCrcPartialSize))
            find("header: bad partial CRC");
        if (loadLE32(p + hdr::dwCRCFull) != crc32(p + 8, kHeaderCrcFullSize))
            find("header: bad full CRC");
        if (loadLE16(p + hdr::wVer) != kVersionUnicode) find("header: wVer");
        if (loadLE16(p + hdr::wVerClient) != kVersionClient) find("header: wVerClient");
        v.header.bidNextB = loadLE64(p + hdr::bidNextB);
        v.header.bidNextP = loadLE64(p + hdr::bidNextP);
        v.header.unique = loadLE32(p + hdr::dwUnique);
        for (uint32_t i = 0; i < kRgnidCount; ++i)
            v.header.rgnid[i] = loadLE32(p + hdr::rgnid + 4 * i);
        const uint8_t* rt = p + hdr::root;
        Root& root = v.header.root;
        root.fileEof = loadLE64(rt + root::ibFileEof);
        root.amapLast = loadLE64(rt + root::ibAMapLast);
        root.amapFree = loadLE64(rt + root::cbAMapFree);
        root.pmapFree = loadLE64(rt + root::cbPMapFree);
        root.nbt = {loadLE64(rt + root::brefNbt), loadLE64(rt + root::brefNbt + 8)};
        root.bbt = {loadLE64(rt + root::brefBbt), loadLE64(rt + root::brefBbt + 8)};
        root.amapValid = rt[root::fAMapValid];
        v.header.cryptMethod = p[hdr::bCryptMethod];
        v.crypt = CryptMethod(v.header.cryptMethod);
        if (p[hdr::bSentinel] != kSentinel) find("header: sentinel");
        // A commit interrupted while rewriting the maps leaves them flagged
        // INVALID: the next writer rebuilds them, so they are not compared.
        v.amapsInvalid = root.amapValid == uint8_t(AMapValid::Invalid);
        if (root.amapValid != uint8_t(AMapValid::Valid2) && !v.amapsInvalid)
            find("header: fAMapValid is neither VALID_AMAP2 nor INVALID");
        if (root.pmapFree != 0) find("header: cbPMapFree is not 0");
        if ((root.fileEof - kFirstAMapOffset) % kRegionSize != 0)
            find("header: ibFileEof not whole regions");
        if (r.size < root.fileEof) find("file shorter than ibFileEof");
        if (root.amapLast + kRegionSize != root.fileEof)
            find("header: ibAMapLast is not the last region");

        uint64_t regions = (root.fileEof - kFirstAMapOffset) / kRegionSize;
        std::vector<Bytes> used(regions, Bytes(kPageDataSize, 0));
        auto mark = [&](uint64_t ib, uint64_t size, const std::string& what) {
            if (ib < kFirstAMapOffset || ib + size > root.fileEof) {
                find(what + " outside the regions at " + hex(ib));
                return;
            }
            uint64_t region = (ib - kFirstAMapOffset) / kRegionSize;
            uint64_t slot = (ib - regionOffset(region)) / kAMapSlotSize;
            uint64_t n = size / kAMapSlotSize;
            if (slot + n > kAMapBits) find(what + " crosses a region boundary at " + hex(ib));
            for (uint64_t s = slot; s < slot + n && s < kAMapBits; ++s) {
                uint8_t& byte = used[region][s / 8];
                uint8_t m = uint8_t(0x80 >> (s % 8));
                if (byte & m) find(what + " overlaps other data at " + hex(ib));
                byte |= m;
            }
        };
        for (uint64_t n = 0; n < regions; ++n)
            mark(regionOffset(n), uint64_t(regionMapPages(n)) * kPageSize, "map pages");

        // B-trees.
        std::vector<std::pair<Bid, bool>> refsFromNodes;  // (bid) one reference each
        std::map<uint64_t, int> pageBids;
        std::function<uint64_t(Bref, uint8_t, int, uint64_t, uint64_t, uint32_t&)> walk =
            [&](Bref ref, uint8_t ptype, int level, uint64_t lo, uint64_t hi,
                uint32_t& depth) -> uint64_t {
            Bytes pg = r.at(ref.ib, kPageSize);
            std::string where =
                std::string(ptype == PTYPE_NBT ? "NBT" : "BBT") + " page " + hex(ref.ib);
            if (ref.ib % kPageSize != 0) find(where + ": not 512-aligned");
            mark(ref.ib, kPageSize, where);
            if (pageBids[ref.bid]++) find(where + ": page BID used twice");
            if (ref.bid >= v.header.bidNextP) find(where + ": page BID not below bidNextP");
            if (pg[ptr::ptype] != ptype || pg[ptr::ptypeRepeat] != ptype) find(where + ": ptype");
            if (loadLE16(pg.data() + ptr::wSig) != computeSignature(ref.ib, ref.bid))
                find(where + ": wSig");
            if (loadLE32(pg.data() + ptr::dwCRC) != crc32(pg.data(), kPageDataSize))
                find(where + ": CRC");
            if (loadLE64(pg.data() + ptr::bid) != ref.bid) find(where + ": bid");
            uint8_t cEnt = pg[btp::cEnt], cEntMax = pg[btp::cEntMax], cbEnt = pg[btp::cbEnt],
                    cLevel = pg[btp::cLevel];
            if (level >= 0 && cLevel != level) find(where + ": cLevel");
            if (level < 0) depth = cLevel;
            uint32_t want =
                cLevel == 0 ? (ptype == PTYPE_NBT ? kNbtEntrySize : kBbtEntrySize) : kBtEntrySize;
            uint32_t wantMax =
                cLevel == 0 ? (ptype == PTYPE_NBT ? kNbtEntryMax : kBbtEntryMax) : kBtEntryMax;
            if (cbEnt != want || cEntMax != wantMax || cEnt > cEntMax) {
                find(where + ": cbEnt/cEntMax/cEnt");
                return lo;
            }
            if (loadLE32(pg.data() + btp::dwPadding) != 0) find(where + ": dwPadding");
            if (cEnt == 0 && level >= 0) find(where + ": empty non-root page");
            uint64_t first = UINT64_MAX, prev = 0;
            for (uint32_t i = 0; i < cEnt; ++i) {
                const uint8_t* e = pg.data() + i * cbEnt;
                uint64_t key = loadLE64(e);
                if (i == 0) first = key;
                if (i > 0 && key <= prev) find(where + ": keys not ascending");
                if (key < lo || key >= hi) find(where + ": key outside the parent's range");
                prev = key;
                if (cLevel > 0) {
                    uint64_t next = i + 1 < cEnt ? loadLE64(e + cbEnt) : hi;
                    uint32_t d = 0;
                    uint64_t childFirst =
                        walk({loadLE64(e + 8), loadLE64(e + 16)}, ptype, cLevel - 1, key, next, d);
                    if (childFirst != key) find(where + ": key is not the child's smallest key");
                } else if (ptype == PTYPE_NBT) {
                    NodeEntry n{Nid(key), loadLE64(e + 8), loadLE64(e + 16), loadLE32(e + 24)};
                    if (key > 0xFFFFFFFFull) find(where + ": NID wider than 32 bits");
                    if (loadLE32(e + 28) != 0) find(where + ": NBTENTRY padding");
                    v.nodes[n.nid] = n;
                    if (n.bidData) refsFromNodes.push_back({n.bidData, true});
                    if (n.bidSub) refsFromNodes.push_back({n.bidSub, true});
                } else {
                    BlockEntry b{
                        {loadLE64(e), loadLE64(e + 8)}, loadLE16(e + 16), loadLE16(e + 18)};
                    if (loadLE32(e + 20) != 0) find(where + ": BBTENTRY padding");
                    v.blocks[b.bref.bid] = b;
                }
            }
            return first;
        };
        uint32_t depth = 0;
        walk(root.nbt, PTYPE_NBT, -1, 0, UINT64_MAX, depth);
        v.nbtDepth = depth;
        walk(root.bbt, PTYPE_BBT, -1, 0, UINT64_MAX, depth);
        v.bbtDepth = depth;

        // Blocks: trailers, and the references internal blocks make.
        std::map<Bid, int> refs;
        for (auto [bid, _] : refsFromNodes) refs[bidKey(bid)]++;
        for (const auto& [bid, b] : v.blocks) {
            std::string where = "block " + hex(bid) + " at " + hex(b.bref.ib);
            if (b.bref.ib % kBlockAlign != 0) find(where + ": not 64-aligned");
            if (bid >= v.header.bidNextB) find(where + ": BID not below bidNextB");
            if (bid & kBidReservedBit) find(where + ": reserved bit set");
            if (b.cb == 0 || b.cb > kMaxBlockData) find(where + ": cb");
            uint32_t size = blockSizeOnDisk(b.cb);
            mark(b.bref.ib, size, where);
            Bytes d = r.at(b.bref.ib, size);
            const uint8_t* t = d.data() + size - kBlockTrailerSize;
            if (loadLE16(t) != b.cb) find(where + ": trailer cb");
            if (loadLE16(t + 2) != computeSignature(b.bref.ib, bid)) find(where + ": wSig");
            if (loadLE32(t + 4) != crc32(d.data(), b.cb)) find(where + ": CRC");
            if (loadLE64(t + 8) != bid) find(where + ": trailer bid");
            for (size_t i = b.cb; i < size - kBlockTrailerSize; ++i)
                if (d[i] != 0) {
                    find(where + ": padding not zero");
                    break;
                }
            if (bidIsInternal(bid)) {
                uint8_t btype = d[0], level = d[1];
                uint16_t n = loadLE16(d.data() + 2);
                if (n == 0) find(where + ": internal block without entries");
                if (btype == kBTypeXBlock) {
                    if (level < 1 || level > 2) find(where + ": XBLOCK level");
                    if (8u + 8u * n != b.cb) find(where + ": XBLOCK size");
                    for (uint16_t i = 0; i < n; ++i) refs[bidKey(loadLE64(d.data() + 8 + 8 * i))]++;
                } else if (btype == kBTypeSubnode) {
                    uint32_t es = level == 0 ? kSlEntrySize : kSiEntrySize;
                    if (8u + es * n != b.cb) find(where + ": subnode block size");
                    uint64_t prev = 0;
                    for (uint16_t i = 0; i < n; ++i) {
                        const uint8_t* e = d.data() + 8 + es * i;
                        if (i > 0 && loadLE64(e) <= prev)
                            find(where + ": subnode NIDs not ascending");
                        prev = loadLE64(e);
                        refs[bidKey(loadLE64(e + 8))]++;
                        if (level == 0 && loadLE64(e + 16)) refs[bidKey(loadLE64(e + 16))]++;
                    }
                } else {
                    find(where + ": unknown internal block type");
                }
            }
        }
        for (const auto& [bid, n] : refs)
            if (!v.blocks.count(bid)) find("reference to missing block " + hex(bid));
        for (const auto& [bid, b] : v.blocks) {
            int expect = 1 + (refs.count(bid) ? refs[bid] : 0);
            if (b.cRef != expect)
                find("block " + hex(bid) + ": cRef " + std::to_string(b.cRef) +
                     ", references say " + std::to_string(expect));
        }

        // Maps.
        uint64_t freeSlots = 0;
        std::vector<uint32_t> regionFree(regions), regionRun(regions);
        for (uint64_t n = 0; n < regions; ++n) {
            uint64_t ib = regionOffset(n);
            Bytes pg = r.at(ib, kPageSize);
            std::string where = "AMap " + hex(ib);
            if (pg[ptr::ptype] != PTYPE_AMAP || loadLE16(pg.data() + ptr::wSig) != 0 ||
                loadLE32(pg.data() + ptr::dwCRC) != crc32(pg.data(), kPageDataSize) ||
                loadLE64(pg.data() + ptr::bid) != ib)
                find(where + ": trailer");
            if (!v.amapsInvalid && std::memcmp(pg.data(), used[n].data(), kPageDataSize) != 0) {
                for (uint32_t s = 0; s < kAMapBits; ++s) {
                    bool a = pg[s / 8] & (0x80 >> (s % 8)), u = used[n][s / 8] & (0x80 >> (s % 8));
                    if (a != u) {
                        find(where + ": slot at " + hex(ib + uint64_t(s) * 64) +
                             (u ? " used but marked free" : " marked used but free"));
                        break;
                    }
                }
            }
            uint32_t run = 0, best = 0, f = 0;
            for (uint32_t s = 0; s < kAMapBits; ++s) {
                if (pg[s / 8] & (0x80 >> (s % 8))) {
                    run = 0;
                } else {
                    ++f;
                    best = std::max(best, ++run);
                }
            }
            regionFree[n] = f;
            regionRun[n] = best;
            freeSlots += f;
            auto checkMap = [&](uint64_t off, uint8_t ptype, const char* name) {
                Bytes m = r.at(off, kPageSize);
                if (m[ptr::ptype] != ptype ||
                    loadLE32(m.data() + ptr::dwCRC) != crc32(m.data(), kPageDataSize) ||
                    loadLE64(m.data() + ptr::bid) != off)
                    find(std::string(name) + " " + hex(off) + ": trailer");
                return m;
            };
            if (regionHasPMap(n)) checkMap(pmapOffset(n), PTYPE_PMAP, "PMap");
            if (regionHasFPMap(n)) checkMap(fpmapOffset(n), PTYPE_FPMAP, "FPMap");
        }
        for (uint64_t n = kRegionsInHeaderFM; n < regions; n += kRegionsPerFMap) {
            Bytes m = r.at(fmapOffset(n), kPageSize);
            if (m[ptr::ptype] != PTYPE_FMAP ||
                loadLE32(m.data() + ptr::dwCRC) != crc32(m.data(), kPageDataSize))
                find("FMap " + hex(fmapOffset(n)) + ": trailer");
            for (uint64_t i = 0; i < kRegionsPerFMap && n + i < regions; ++i)
                if (!v.amapsInvalid && m[i] != std::min<uint32_t>(regionRun[n + i], 255))
                    find("FMap " + hex(fmapOffset(n)) + ": byte " + std::to_string(i));
        }
        if (!v.amapsInvalid && root.amapFree != freeSlots * kAMapSlotSize)
            find("cbAMapFree " + std::to_string(root.amapFree) + ", AMaps say " +
                 std::to_string(freeSlots * 64));
        // The density list is rewritten with the AMaps, under the same
        // invalid header: a kill in that step can leave it torn or naming
        // regions the committed header does not have yet.
        if (!v.amapsInvalid) {
            Bytes dlist = r.at(kDListOffset, kPageSize);
            if (dlist[ptr::ptype] != PTYPE_DL ||
                loadLE32(dlist.data() + ptr::dwCRC) != crc32(dlist.data(), kPageDataSize) ||
                loadLE16(dlist.data() + ptr::wSig) !=
                    computeSignature(kDListOffset, loadLE64(dlist.data() + ptr::bid)))
                find("DList: trailer");
            uint8_t cEnt = dlist[dl::cEntDList];
            uint32_t prevFree = UINT32_MAX;
            std::set<uint32_t> listed;
            for (uint32_t i = 0; i < cEnt; ++i) {
                uint32_t e = loadLE32(dlist.data() + dl::rgDListPageEnt + 4 * i);
                uint32_t page = e & dl::kPageNumMask, free = e >> dl::kFreeSlotsShift;
                if (page >= regions || regionFree[page] != free)
                    find("DList entry " + std::to_string(i) + " disagrees with its AMap");
                if (free > prevFree) find("DList not ordered by free space");
                prevFree = free;
                listed.insert(page);
            }
            // Whole: every AMap, as many as the page holds, none twice, and
            // none left out that has more free space than one listed.
            if (listed.size() != cEnt || cEnt != std::min<uint64_t>(regions, dl::kMaxEntries))
                find("DList names " + std::to_string(listed.size()) + " AMaps in " +
                     std::to_string(cEnt) + " entries for " + std::to_string(regions));
            for (uint32_t page = 0; page < regions && cEnt > 0; ++page)
                if (!listed.count(page) && regionFree[page] > prevFree)
                    find("DList leaves out AMap " + std::to_string(page) + " with " +
                         std::to_string(regionFree[page]) + " free slots");
        }
    } catch (const std::exception& e) {
        find(std::string("unreadable: ") + e.what());
    }
    ::close(r.fd);
    return v;
}

std::vector<std::string> readerFindings(const std::string& path) {
    std::vector<std::string> out;
    for (const auto& f : read::checkFile(path).findings) {
        bool messaging = f.where.find("store") != std::string::npos ||
                         f.where.find("folder") != std::string::npos ||
                         f.where.find("name") != std::string::npos ||
                         f.where.find("message") != std::string::npos;
        if (!messaging) out.push_back(f.line());
    }
    return out;
}

}  // namespace qm::pst::ndb::testing
