#include "pst/read/node_database.h"

#include <algorithm>

#include "pst/ndb/crc.h"
#include "pst/ndb/crypt.h"
#include "pst/ndb/signature.h"

namespace qm::pst::read {

using namespace ndb;

namespace {

std::string pageName(uint8_t ptype) {
    switch (ptype) {
        case PTYPE_NBT:
            return "NBT page";
        case PTYPE_BBT:
            return "BBT page";
        default:
            return "page";
    }
}

// A chain of XBLOCKs is at most XXBLOCK -> XBLOCK -> data.
constexpr int kMaxDataTreeLevel = 2;

}  // namespace

ndb::Header parseHeader(std::span<const uint8_t> b, const std::string& file) {
    if (b.size() < kHeaderSize)
        throw FormatError(file, "header", 0, "file too short for a PST header");
    if (loadLE32(&b[hdr::dwMagic]) != kHeaderMagic)
        throw FormatError(file, "header", 0, "not a PST file (no !BDN signature)");
    if (loadLE16(&b[hdr::wMagicClient]) != kHeaderMagicClient)
        throw FormatError(file, "header", hdr::wMagicClient, "not a PST file (wMagicClient)");
    Header h;
    h.version = loadLE16(&b[hdr::wVer]);
    if (h.version == kVersionAnsiLow || h.version == kVersionAnsiHigh)
        throw FormatError(file, "header", hdr::wVer,
                          "ANSI (32-bit) PST file (wVer " + std::to_string(h.version) +
                              "); only Unicode PST files are supported");
    if (h.version < kVersionUnicode || h.version == kVersionUnicode4k)
        throw FormatError(file, "header", hdr::wVer,
                          "unsupported PST version " + std::to_string(h.version));
    h.clientVersion = loadLE16(&b[hdr::wVerClient]);
    h.platformCreate = b[hdr::bPlatformCreate];
    h.platformAccess = b[hdr::bPlatformAccess];
    h.reserved1 = loadLE32(&b[hdr::dwReserved1]);
    h.reserved2 = loadLE32(&b[hdr::dwReserved2]);
    h.bidUnused = loadLE64(&b[hdr::bidUnused]);
    h.bidNextP = loadLE64(&b[hdr::bidNextP]);
    h.unique = loadLE32(&b[hdr::dwUnique]);
    for (uint32_t i = 0; i < kRgnidCount; ++i) h.rgnid[i] = loadLE32(&b[hdr::rgnid + 4 * i]);
    const uint8_t* r = &b[hdr::root];
    h.root.reserved = loadLE32(r + root::dwReserved);
    h.root.fileEof = loadLE64(r + root::ibFileEof);
    h.root.amapLast = loadLE64(r + root::ibAMapLast);
    h.root.amapFree = loadLE64(r + root::cbAMapFree);
    h.root.pmapFree = loadLE64(r + root::cbPMapFree);
    h.root.nbt = {loadLE64(r + root::brefNbt), loadLE64(r + root::brefNbt + 8)};
    h.root.bbt = {loadLE64(r + root::brefBbt), loadLE64(r + root::brefBbt + 8)};
    h.root.amapValid = r[root::fAMapValid];
    h.cryptMethod = b[hdr::bCryptMethod];
    h.bidNextB = loadLE64(&b[hdr::bidNextB]);
    h.crcPartial = loadLE32(&b[hdr::dwCRCPartial]);
    h.crcFull = loadLE32(&b[hdr::dwCRCFull]);
    if (h.cryptMethod != uint8_t(CryptMethod::None) &&
        h.cryptMethod != uint8_t(CryptMethod::Permute) &&
        h.cryptMethod != uint8_t(CryptMethod::Cyclic))
        throw FormatError(file, "header", hdr::bCryptMethod,
                          "unsupported encoding " + hex(h.cryptMethod));
    return h;
}

std::shared_ptr<NodeDatabase> NodeDatabase::open(const std::filesystem::path& path) {
    return open(path, Problems(path.string()));
}

std::shared_ptr<NodeDatabase> NodeDatabase::open(const std::filesystem::path& path,
                                                 const Problems& problems) {
    std::shared_ptr<NodeDatabase> db(new NodeDatabase());
    db->file_ = FileBytes::open(path);
    const std::string& name = db->file_->path();
    if (db->file_->size() < kHeaderSize)
        throw FormatError(name, "header", 0, "file too short for a PST header");
    db->headerBytes_ = db->file_->read(0, kHeaderSize);
    db->header_ = parseHeader(db->headerBytes_, name);
    const Header& h = db->header_;
    uint32_t partial = crc32(&db->headerBytes_[kHeaderCrcStart], kHeaderCrcPartialSize);
    if (partial != h.crcPartial)
        problems.add("header",
                     "dwCRCPartial " + hex(h.crcPartial) + " but the bytes give " + hex(partial),
                     hdr::dwCRCPartial);
    uint32_t full = crc32(&db->headerBytes_[kHeaderCrcStart], kHeaderCrcFullSize);
    if (full != h.crcFull)
        problems.add("header", "dwCRCFull " + hex(h.crcFull) + " but the bytes give " + hex(full),
                     hdr::dwCRCFull);
    if (h.root.fileEof > db->file_->size())
        problems.add("header",
                     "the file is shorter (" + hex(db->file_->size()) + " bytes) than ibFileEof " +
                         hex(h.root.fileEof) + ": truncated",
                     hdr::root + root::ibFileEof);
    db->walk(h.root.nbt, PTYPE_NBT, -1, 0, UINT64_MAX, problems, 0);
    db->walk(h.root.bbt, PTYPE_BBT, -1, 0, UINT64_MAX, problems, 0);
    db->visited_.clear();
    return db;
}

void NodeDatabase::walk(const Bref& bref, uint8_t ptype, int expectedLevel, uint64_t lowKey,
                        uint64_t highKey, const Problems& problems, int depth) {
    const std::string where = pageName(ptype) + " " + hex(bref.bid) + " at " + hex(bref.ib);
    if (depth > int(kMaxBtreeLevels)) {
        problems.add(where, "B-tree deeper than " + std::to_string(kMaxBtreeLevels) + " levels");
        return;
    }
    if (bref.ib % kPageSize != 0 || bref.ib < kFirstAMapOffset ||
        !file_->contains(bref.ib, kPageSize)) {
        problems.add(where, "page offset outside the file or not page-aligned", int64_t(bref.ib));
        return;
    }
    if (!visited_.insert(bref.ib).second) {
        problems.add(where, "page reached twice (the B-tree loops or shares a page)",
                     int64_t(bref.ib));
        return;
    }
    Bytes page = file_->read(bref.ib, kPageSize);
    uint8_t type = page[ptr::ptype];
    Bid bid = loadLE64(&page[ptr::bid]);
    if (type != ptype || page[ptr::ptypeRepeat] != ptype) {
        problems.add(where,
                     "page type " + hex(type) + "/" + hex(page[ptr::ptypeRepeat]) + ", expected " +
                         hex(ptype),
                     int64_t(bref.ib));
        return;
    }
    if (bid != bref.bid) {
        problems.add(where, "trailer bid " + hex(bid) + " differs from the reference",
                     int64_t(bref.ib));
        return;
    }
    uint16_t sig = loadLE16(&page[ptr::wSig]);
    if (sig != computeSignature(bref.ib, bid))
        problems.add(where,
                     "wSig " + hex(sig) + ", expected " + hex(computeSignature(bref.ib, bid)),
                     int64_t(bref.ib));
    uint32_t crc = crc32(page.data(), kPageDataSize);
    if (crc != loadLE32(&page[ptr::dwCRC]))
        problems.add(where, "page CRC mismatch", int64_t(bref.ib));

    uint8_t cEnt = page[btp::cEnt], cEntMax = page[btp::cEntMax], cbEnt = page[btp::cbEnt];
    uint8_t cLevel = page[btp::cLevel];
    uint32_t padding = loadLE32(&page[btp::dwPadding]);
    pages_.push_back({bref.ib, bid, ptype, cLevel});
    if (cLevel > kMaxBtreeLevels) {
        problems.add(where, "cLevel " + std::to_string(cLevel) + " exceeds 8");
        return;
    }
    if (expectedLevel >= 0 && cLevel != expectedLevel) {
        problems.add(where, "cLevel " + std::to_string(cLevel) + ", its parent implies " +
                                std::to_string(expectedLevel));
        return;
    }
    uint32_t wantCb =
        cLevel > 0 ? kBtEntrySize : (ptype == PTYPE_NBT ? kNbtEntrySize : kBbtEntrySize);
    if (cbEnt != wantCb) {
        problems.add(where,
                     "cbEnt " + std::to_string(cbEnt) + ", expected " + std::to_string(wantCb));
        return;
    }
    uint32_t maxEnt = kBtEntriesSize / wantCb;
    if (cEntMax != maxEnt)
        problems.add(where,
                     "cEntMax " + std::to_string(cEntMax) + ", expected " + std::to_string(maxEnt));
    if (cEnt > maxEnt) {
        problems.add(where, "cEnt " + std::to_string(cEnt) + " exceeds " + std::to_string(maxEnt));
        return;
    }
    if (padding != 0) problems.add(where, "dwPadding " + hex(padding) + ", expected 0");
    if (cEnt == 0 && expectedLevel >= 0) problems.add(where, "empty non-root page");

    uint64_t prev = 0;
    for (uint32_t i = 0; i < cEnt; ++i) {
        const uint8_t* e = &page[i * cbEnt];
        uint64_t key = loadLE64(e);
        std::string entry = where + " entry " + std::to_string(i);
        if (ptype == PTYPE_NBT && key > UINT32_MAX) {
            problems.add(entry, "NID " + hex(key) + " wider than 32 bits");
            continue;
        }
        if (i > 0 && key <= prev) {
            problems.add(entry, "key " + hex(key) + " not above the previous " + hex(prev));
            continue;
        }
        if (key < lowKey || key >= highKey) {
            problems.add(entry, "key " + hex(key) + " outside the range its parent gives [" +
                                    hex(lowKey) + ", " + hex(highKey) + ")");
            continue;
        }
        if (i == 0 && expectedLevel >= 0 && key != lowKey)
            problems.add(entry,
                         "first key " + hex(key) + " differs from the parent's key " + hex(lowKey));
        prev = key;
        if (cLevel > 0) {
            uint64_t next = highKey;
            if (i + 1 < cEnt) next = std::min(highKey, loadLE64(&page[(i + 1) * cbEnt]));
            Bref child{loadLE64(e + 8), loadLE64(e + 16)};
            walk(child, ptype, cLevel - 1, key, std::max(next, key + 1), problems, depth + 1);
        } else if (ptype == PTYPE_NBT) {
            NbtEntry n;
            n.nid = Nid(key);
            n.bidData = loadLE64(e + 8);
            n.bidSub = loadLE64(e + 16);
            n.nidParent = loadLE32(e + 24);
            n.padding = loadLE32(e + 28);
            nodes_.push_back(n);
        } else {
            BbtEntry b;
            b.bid = key;
            b.ib = loadLE64(e + 8);
            b.cb = loadLE16(e + 16);
            b.cRef = loadLE16(e + 18);
            b.padding = loadLE32(e + 20);
            blocks_.push_back(b);
        }
    }
    if (expectedLevel < 0) {
        // Keys were checked page by page; a damaged tree can still mix
        // orders across pages, so lookups sort once.
        auto byNid = [](const NbtEntry& a, const NbtEntry& b) { return a.nid < b.nid; };
        auto byBid = [](const BbtEntry& a, const BbtEntry& b) { return a.bid < b.bid; };
        if (ptype == PTYPE_NBT && !std::is_sorted(nodes_.begin(), nodes_.end(), byNid))
            std::sort(nodes_.begin(), nodes_.end(), byNid);
        if (ptype == PTYPE_BBT && !std::is_sorted(blocks_.begin(), blocks_.end(), byBid))
            std::sort(blocks_.begin(), blocks_.end(), byBid);
    }
}

const NbtEntry* NodeDatabase::findNode(Nid nid) const {
    auto it = std::lower_bound(nodes_.begin(), nodes_.end(), nid,
                               [](const NbtEntry& e, Nid n) { return e.nid < n; });
    return it != nodes_.end() && it->nid == nid ? &*it : nullptr;
}

const BbtEntry* NodeDatabase::findBlock(Bid bid) const {
    Bid key = bidKey(bid);
    auto it = std::lower_bound(blocks_.begin(), blocks_.end(), key,
                               [](const BbtEntry& e, Bid b) { return bidKey(e.bid) < b; });
    return it != blocks_.end() && bidKey(it->bid) == key ? &*it : nullptr;
}

const NbtEntry& NodeDatabase::node(Nid nid) const {
    const NbtEntry* n = findNode(nid);
    if (!n) throw FormatError(path(), "node " + hex(nid), -1, "not in the node B-tree");
    return *n;
}

RawBlock NodeDatabase::readRawBlock(Bid bid) const {
    auto where = [&] { return "block " + hex(bid); };  // made only for an error
    const BbtEntry* e = findBlock(bid);
    if (!e) throw FormatError(path(), where(), -1, "not in the block B-tree");
    uint32_t size = blockSizeOnDisk(e->cb);
    if (e->cb > kMaxBlockData)
        throw FormatError(
            path(), where(), int64_t(e->ib),
            "cb " + std::to_string(e->cb) + " exceeds " + std::to_string(kMaxBlockData));
    if (e->ib % kBlockAlign != 0 || e->ib < kFirstAMapOffset || !file_->contains(e->ib, size))
        throw FormatError(path(), where(), int64_t(e->ib),
                          "block offset outside the file or not 64-byte aligned");
    Bytes raw = file_->read(e->ib, size);
    const uint8_t* t = &raw[size - kBlockTrailerSize];
    uint16_t cb = loadLE16(t + btr::cb);
    uint16_t sig = loadLE16(t + btr::wSig);
    uint32_t crc = loadLE32(t + btr::dwCRC);
    Bid tbid = loadLE64(t + btr::bid);
    if (bidKey(tbid) != bidKey(e->bid))
        throw FormatError(path(), where(), int64_t(e->ib), "trailer bid " + hex(tbid));
    if (cb != e->cb)
        throw FormatError(
            path(), where(), int64_t(e->ib),
            "trailer cb " + std::to_string(cb) + ", the BBT says " + std::to_string(e->cb));
    if (sig != computeSignature(e->ib, tbid))
        throw FormatError(path(), where(), int64_t(e->ib),
                          "wSig " + hex(sig) + ", expected " + hex(computeSignature(e->ib, tbid)));
    if (crc != crc32(raw.data(), cb))
        throw FormatError(path(), where(), int64_t(e->ib), "block CRC mismatch");
    raw.resize(cb);
    return {*e, std::move(raw)};
}

Bytes NodeDatabase::readDataBlock(Bid bid) const {
    if (bidIsInternal(bid))
        throw FormatError(path(), "block " + hex(bid), -1, "internal block where data expected");
    RawBlock b = readRawBlock(bid);
    decodeBlockData(b.data, cryptMethod(), b.entry.bid);
    return std::move(b.data);
}

void NodeDatabase::dataLeaves(Bid bid, std::vector<XBlockChild>& out) const {
    if (!bidIsInternal(bid)) {
        const BbtEntry* e = findBlock(bid);
        if (!e) throw FormatError(path(), "block " + hex(bid), -1, "not in the block B-tree");
        out.push_back({bid, e->cb});
        return;
    }
    // XXBLOCK -> XBLOCKs -> data blocks; each level checked against lcbTotal.
    auto expand = [&](Bid xb, int wantLevel, auto& self) -> uint64_t {
        RawBlock b = readRawBlock(xb);
        const std::string where = "XBLOCK " + hex(xb);
        if (b.data.size() < kInternalBlockHeaderSize)
            throw FormatError(path(), where, int64_t(b.entry.ib), "too short");
        uint8_t btype = b.data[0], level = b.data[1];
        uint16_t cEnt = loadLE16(&b.data[2]);
        uint32_t lcbTotal = loadLE32(&b.data[4]);
        if (btype != kBTypeXBlock || level < 1 || level > kMaxDataTreeLevel ||
            (wantLevel >= 0 && level != wantLevel))
            throw FormatError(path(), where, int64_t(b.entry.ib),
                              "btype " + hex(btype) + " cLevel " + std::to_string(level) +
                                  " is not a data tree block here");
        if (cEnt == 0 || kInternalBlockHeaderSize + uint64_t(cEnt) * kXBlockBidSize > b.data.size())
            throw FormatError(path(), where, int64_t(b.entry.ib),
                              "cEnt " + std::to_string(cEnt) + " does not fit the block");
        uint64_t total = 0;
        for (uint16_t i = 0; i < cEnt; ++i) {
            Bid child = loadLE64(&b.data[kInternalBlockHeaderSize + i * kXBlockBidSize]);
            if (level == 1) {
                if (bidIsInternal(child))
                    throw FormatError(path(), where, int64_t(b.entry.ib),
                                      "XBLOCK lists internal block " + hex(child));
                const BbtEntry* e = findBlock(child);
                if (!e)
                    throw FormatError(path(), where, int64_t(b.entry.ib),
                                      "lists block " + hex(child) + " absent from the BBT");
                out.push_back({child, e->cb});
                total += e->cb;
            } else {
                if (!bidIsInternal(child))
                    throw FormatError(path(), where, int64_t(b.entry.ib),
                                      "XXBLOCK lists data block " + hex(child));
                total += self(child, 1, self);
            }
            if (total > lcbTotal)
                throw FormatError(
                    path(), where, int64_t(b.entry.ib),
                    "blocks below hold more than lcbTotal " + std::to_string(lcbTotal));
        }
        if (total != lcbTotal)
            throw FormatError(path(), where, int64_t(b.entry.ib),
                              "lcbTotal " + std::to_string(lcbTotal) + " but the blocks hold " +
                                  std::to_string(total));
        return total;
    };
    uint64_t total = expand(bid, -1, expand);
    // Blocks may be shared, so a hostile tree could name far more bytes than
    // the file holds; no honest stream does.
    if (total > file_->size())
        throw FormatError(path(), "data tree " + hex(bid), -1,
                          "names " + std::to_string(total) + " bytes, more than the file holds");
}

std::vector<Bytes> NodeDatabase::readDataTree(Bid bid) const {
    std::vector<Bytes> blocks;
    if (bid == 0) return blocks;
    std::vector<XBlockChild> leaves;
    dataLeaves(bid, leaves);
    blocks.reserve(leaves.size());
    for (const auto& l : leaves) blocks.push_back(readDataBlock(l.bid));
    return blocks;
}

uint64_t NodeDatabase::streamSize(Bid bid) const {
    if (bid == 0) return 0;
    std::vector<XBlockChild> leaves;
    dataLeaves(bid, leaves);
    uint64_t n = 0;
    for (const auto& l : leaves) n += l.size;
    return n;
}

Bytes NodeDatabase::readStream(Bid bid, uint64_t limit) const {
    Bytes out;
    if (bid == 0) return out;
    std::vector<XBlockChild> leaves;
    dataLeaves(bid, leaves);
    uint64_t n = 0;
    for (const auto& l : leaves) n += l.size;
    if (n > limit)
        throw FormatError(path(), "data tree " + hex(bid), -1,
                          "stream of " + std::to_string(n) + " bytes exceeds the limit");
    out.reserve(size_t(n));
    for (const auto& l : leaves) {
        Bytes b = readDataBlock(l.bid);
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

namespace {

// Reads a data tree's blocks as the consumer asks for bytes.
class TreeSource final : public ByteSource {
  public:
    TreeSource(std::shared_ptr<const NodeDatabase> db, std::vector<std::pair<Bid, uint64_t>> leaves)
        : db_(std::move(db)), leaves_(std::move(leaves)) {
        uint64_t off = 0;
        for (auto& l : leaves_) {
            starts_.push_back(off);
            off += l.second;
        }
        size_ = off;
    }
    uint64_t size() const override { return size_; }
    void read(uint64_t offset, std::span<uint8_t> out) const override {
        size_t done = 0;
        auto it = std::upper_bound(starts_.begin(), starts_.end(), offset);
        size_t i = size_t(it - starts_.begin()) - 1;
        while (done < out.size() && i < leaves_.size()) {
            Bytes b = db_->readDataBlock(leaves_[i].first);
            uint64_t inBlock = offset + done - starts_[i];
            size_t n = size_t(std::min<uint64_t>(b.size() - inBlock, out.size() - done));
            std::copy_n(b.begin() + ptrdiff_t(inBlock), n, out.begin() + ptrdiff_t(done));
            done += n;
            ++i;
        }
    }

  private:
    std::shared_ptr<const NodeDatabase> db_;
    std::vector<std::pair<Bid, uint64_t>> leaves_;
    std::vector<uint64_t> starts_;
    uint64_t size_ = 0;
};

}  // namespace

std::shared_ptr<const ByteSource> NodeDatabase::streamSource(Bid bid) const {
    std::vector<XBlockChild> leaves;
    if (bid != 0) dataLeaves(bid, leaves);
    std::vector<std::pair<Bid, uint64_t>> l;
    for (const auto& x : leaves) l.emplace_back(x.bid, x.size);
    // NodeDatabase objects only live in shared_ptrs (open() makes them).
    return std::make_shared<TreeSource>(shared_from_this(), std::move(l));
}

void NodeDatabase::subnodeLeaves(Bid bid, int level, std::vector<SubnodeEntry>& out) const {
    const std::string where = "subnode block " + hex(bid);
    if (!bidIsInternal(bid))
        throw FormatError(path(), where, -1, "a subnode tree must use internal blocks");
    RawBlock b = readRawBlock(bid);
    if (b.data.size() < kInternalBlockHeaderSize)
        throw FormatError(path(), where, int64_t(b.entry.ib), "too short");
    uint8_t btype = b.data[0], cLevel = b.data[1];
    uint16_t cEnt = loadLE16(&b.data[2]);
    if (btype != kBTypeSubnode || cLevel > 1 || (level >= 0 && cLevel != level))
        throw FormatError(path(), where, int64_t(b.entry.ib),
                          "btype " + hex(btype) + " cLevel " + std::to_string(cLevel) +
                              " is not a subnode block here");
    uint32_t entSize = cLevel == 0 ? kSlEntrySize : kSiEntrySize;
    if (cEnt == 0 || kInternalBlockHeaderSize + uint64_t(cEnt) * entSize > b.data.size())
        throw FormatError(path(), where, int64_t(b.entry.ib),
                          "cEnt " + std::to_string(cEnt) + " does not fit the block");
    for (uint16_t i = 0; i < cEnt; ++i) {
        const uint8_t* e = &b.data[kInternalBlockHeaderSize + i * entSize];
        // The NID field is 8 bytes but only the low 4 count: Outlook leaves
        // whatever was in memory in the high 4 (its own files show it).
        Nid nid = Nid(loadLE32(e));
        if (!out.empty() && nid <= out.back().nid && cLevel == 0)
            throw FormatError(path(), where, int64_t(b.entry.ib),
                              "subnode " + hex(nid) + " out of order");
        if (cLevel == 0) {
            out.push_back({nid, loadLE64(e + 8), loadLE64(e + 16)});
        } else {
            size_t before = out.size();
            subnodeLeaves(loadLE64(e + 8), 0, out);
            if (out.size() == before || out[before].nid != nid)
                throw FormatError(path(), where, int64_t(b.entry.ib),
                                  "SIENTRY key " + hex(nid) + " is not its child's first NID");
            if (before > 0 && out[before].nid <= out[before - 1].nid)
                throw FormatError(path(), where, int64_t(b.entry.ib),
                                  "subnode " + hex(out[before].nid) + " out of order");
        }
    }
}

std::vector<SubnodeEntry> NodeDatabase::readSubnodes(Bid bidSub) const {
    std::vector<SubnodeEntry> out;
    if (bidSub != 0) subnodeLeaves(bidSub, -1, out);
    return out;
}

}  // namespace qm::pst::read
