// The node database writer: blocks, trees, nodes, reference counts and the
// commit protocol (see node_database_writer.h). Pages and space live in
// PageBTree and SpaceAllocator; this file keeps the books between them.
//
// Reference counts are not written to the BBT as they change: every change
// goes into `deltas`, and commit() settles them. A block whose settled
// count is 1 is garbage; releasing an internal block's children can make
// more garbage, so settling runs to a fixed point before anything is
// written. Counts that go up and down again within a transaction (a table's
// full blocks re-referenced by each new version of its tree) thus never
// touch a BBT page.
#include "pst/ndb/node_database_writer.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include "mapi/error.h"
#include "pst/ndb/block_format.h"
#include "pst/ndb/page_btree.h"
#include "pst/ndb/space_allocator.h"
#include "pst/ndb/writable_file.h"

namespace qm::pst::ndb {
namespace {

// First block BID (index 1) and first page BID of a new file. BID 0 means
// "no block".
constexpr Bid kFirstBlockBid = kBidIncrement;
constexpr Bid kFirstPageBid = 1;
// lcbTotal is 32 bits: one stream is smaller than 4 GiB.
constexpr uint64_t kMaxStreamSize = 0xFFFFFFFFull;
constexpr uint32_t kMaxNidIndex = (1u << (32 - kNidTypeBits)) - 1;

std::string hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

// On the stack: one is built per block written.
std::array<uint8_t, 24> bbtEntry(const BlockEntry& e) {
    std::array<uint8_t, 24> b{};  // BBTENTRY: BREF(16) cb(2) cRef(2) dwPadding(4)
    storeLE64(b.data(), e.bref.bid);
    storeLE64(b.data() + 8, e.bref.ib);
    storeLE16(b.data() + 16, e.cb);
    storeLE16(b.data() + 18, e.cRef);
    return b;
}

BlockEntry parseBbtEntry(const uint8_t* p) {
    BlockEntry e;
    e.bref = {loadLE64(p), loadLE64(p + 8)};
    e.cb = loadLE16(p + 16);
    e.cRef = loadLE16(p + 18);
    return e;
}

std::array<uint8_t, 32> nbtEntry(const NodeEntry& e) {
    std::array<uint8_t, 32> b{};  // NBTENTRY: nid(8) bidData(8) bidSub(8) nidParent(4) dwPadding(4)
    storeLE64(b.data(), e.nid);
    storeLE64(b.data() + 8, e.bidData);
    storeLE64(b.data() + 16, e.bidSub);
    storeLE32(b.data() + 24, e.nidParent);
    return b;
}

NodeEntry parseNbtEntry(const uint8_t* p) {
    return NodeEntry{Nid(loadLE64(p)), loadLE64(p + 8), loadLE64(p + 16), loadLE32(p + 24)};
}

}  // namespace

struct NodeDatabaseWriter::Impl {
    Impl(WritableFile f, CryptMethod c)
        : file(std::move(f)),
          space(file),
          nbt(file, space, bidNextP, PTYPE_NBT),
          bbt(file, space, bidNextP, PTYPE_BBT),
          crypt(c) {}

    WritableFile file;
    Bid bidNextP = kFirstPageBid;
    Bid bidNextB = kFirstBlockBid;
    SpaceAllocator space;
    PageBTree nbt;
    PageBTree bbt;
    CryptMethod crypt;
    uint32_t rgnid[kRgnidCount] = {};
    uint32_t unique = 0;
    Header committed;
    bool hasCommitted = false;
    bool open = true;
    bool broken = false;
    bool changed = true;
    uint64_t commits = 0;
    std::unordered_map<Bid, int32_t> deltas;
    std::function<void(const char*)> observer;

    const std::string fileName() const { return file.path().string(); }

    void usable() const {
        if (!open) throw Error(fileName() + ": the node database is closed");
        if (broken || file.failed())
            throw Error(fileName() + ": an earlier write failed; the file keeps its last commit");
    }

    void observe(const char* step) {
        if (observer) observer(step);
    }

    Bid nextBid(bool internal) {
        Bid bid = bidNextB;
        bidNextB += kBidIncrement;
        return internal ? bid | kBidInternalBit : bid;
    }

    Bid writeBlock(std::span<const uint8_t> data, bool internal) {
        if (data.empty() || data.size() > kMaxBlockData)
            throw std::logic_error("block data must hold 1 to 8176 bytes");
        usable();
        Bid bid = nextBid(internal);
        uint32_t size = blockSizeOnDisk(uint32_t(data.size()));
        Ib ib = space.allocateBlock(size);
        sealBlockInto(data, bid, ib, crypt, file.writeSpace(ib, size));
        bbt.put(bbtEntry(BlockEntry{{bid, ib}, uint16_t(data.size()), 1}));
        deltas.emplace(bid, 0);  // a garbage candidate until referenced
        changed = true;
        return bid;
    }

    std::optional<BlockEntry> lookup(Bid bid) const {
        auto e = bbt.find(bidKey(bid));
        if (!e) return std::nullopt;
        return parseBbtEntry(e->data());
    }

    BlockEntry mustFind(Bid bid) const {
        auto e = lookup(bid);
        if (!e) throw FormatError(fileName(), "BBT", -1, "no block with BID " + hex(bid));
        return *e;
    }

    Bytes read(Bid bid) const {
        BlockEntry e = mustFind(bid);
        Bytes disk(blockSizeOnDisk(e.cb));
        file.read(e.bref.ib, disk);
        return openBlock(disk, e.bref.bid, e.bref.ib, e.cb, crypt, fileName());
    }

    void ref(Bid bid, int32_t d) {
        if (bid == 0) return;
        deltas[bidKey(bid)] += d;
        changed = true;
    }

    // The blocks an internal block references, once each reference.
    std::vector<Bid> children(Bid bid) const {
        std::vector<Bid> out;
        BlockEntry e = mustFind(bid);
        Bytes data = read(bid);
        if (data.empty()) return out;
        if (data[0] == kBTypeXBlock) {
            out = parseXBlock(data, fileName(), e.bref.ib).bids;
        } else {
            SubnodeBlock s = parseSubnodeBlock(data, fileName(), e.bref.ib);
            for (const auto& l : s.leaves) {
                if (l.bidData) out.push_back(l.bidData);
                if (l.bidSub) out.push_back(l.bidSub);
            }
            for (const auto& c : s.children) out.push_back(c.bid);
        }
        return out;
    }

    // Settles the reference counts: finds the garbage, releases what it
    // references, then writes the new counts and drops the garbage.
    // After the first pass only blocks whose count just dropped are looked
    // at again: a commit settles every block written since the last one, and
    // passes over all of them were most of a commit's time.
    void settle() {
        std::unordered_set<Bid> garbage;
        std::vector<Bid> work;
        work.reserve(deltas.size());
        for (const auto& [bid, d] : deltas) work.push_back(bid);
        while (!work.empty()) {
            std::vector<Bid> next;
            for (Bid bid : work) {
                if (garbage.count(bid)) continue;
                int64_t count = int64_t(mustFind(bid).cRef) + deltas[bid];
                if (count < 1) throw std::logic_error("block released more often than referenced");
                if (count > 1) continue;
                garbage.insert(bid);
                if (bidIsInternal(bid)) {
                    for (Bid c : children(bid)) {
                        deltas[bidKey(c)] -= 1;
                        next.push_back(bidKey(c));
                    }
                }
            }
            work.swap(next);
        }
        for (auto [bid, d] : deltas) {
            BlockEntry e = mustFind(bid);
            int64_t count = int64_t(e.cRef) + d;
            if (garbage.count(bid)) {
                if (count != 1) throw std::logic_error("freed block still referenced");
                bbt.erase(bid);
                space.freeAfterCommit(e.bref.ib, blockSizeOnDisk(e.cb));
            } else if (d != 0) {
                if (count > 0xFFFF) throw std::logic_error("block reference count above 65535");
                e.cRef = uint16_t(count);
                bbt.put(bbtEntry(e));
            }
        }
        deltas.clear();
    }

    Header makeHeader(AMapValid valid, Bref nbtRoot, Bref bbtRoot) const {
        Header h;
        h.bidNextP = bidNextP;
        h.bidNextB = bidNextB;
        h.unique = unique;
        std::copy(std::begin(rgnid), std::end(rgnid), std::begin(h.rgnid));
        h.root.fileEof = space.fileEof();
        h.root.amapLast = space.amapLast();
        h.root.amapFree = space.freeBytes();
        h.root.pmapFree = 0;
        h.root.nbt = nbtRoot;
        h.root.bbt = bbtRoot;
        h.root.amapValid = uint8_t(valid);
        h.cryptMethod = uint8_t(crypt);
        return h;
    }

    void writeHeader(const Header& h) {
        auto bytes = encodeHeader(h);
        file.write(0, bytes);
    }

    void commit() {
        usable();
        if (!changed && hasCommitted) return;
        try {
            settle();
            Bref nbtRoot = nbt.writeDirty();
            Bref bbtRoot = bbt.writeDirty();
            observe("data");
            if (hasCommitted) {
                // The maps are about to change in place: until the new header
                // is down, the file is the old state with maps to rebuild.
                // One sync makes both the new data and this header durable:
                // neither is reachable from the committed header, so their
                // order on the disk does not matter, only that both are down
                // before the maps change.
                Header h = committed;
                h.root.amapValid = uint8_t(AMapValid::Invalid);
                writeHeader(h);
            }
            file.sync();
            if (hasCommitted) observe("invalid-header");
            Bid dlistBid = bidNextP++;
            space.writeMaps(dlistBid);
            file.sync();
            observe("maps");
            ++unique;
            Header h = makeHeader(AMapValid::Valid2, nbtRoot, bbtRoot);
            writeHeader(h);
            file.sync();
            observe("header");
            committed = h;
            hasCommitted = true;
            changed = false;
            ++commits;
            nbt.dropClean();
            bbt.dropClean();
        } catch (...) {
            broken = true;
            throw;
        }
    }
};

NodeDatabaseWriter::NodeDatabaseWriter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
NodeDatabaseWriter::~NodeDatabaseWriter() = default;

std::unique_ptr<NodeDatabaseWriter> NodeDatabaseWriter::create(const std::filesystem::path& path,
                                                               CryptMethod crypt, bool publishNow) {
    if (crypt != CryptMethod::None && crypt != CryptMethod::Permute)
        throw std::invalid_argument("only NONE and PERMUTE encodings are written");
    auto impl = std::make_unique<Impl>(WritableFile::createUnpublished(path), crypt);
    for (uint32_t t = 0; t < kRgnidCount; ++t) impl->rgnid[t] = kRgnidStartDefault;
    impl->rgnid[NID_TYPE_SEARCH_FOLDER] = kRgnidStartSearchFolder;
    impl->rgnid[NID_TYPE_NORMAL_MESSAGE] = kRgnidStartNormalMessage;
    impl->rgnid[NID_TYPE_ASSOC_MESSAGE] = kRgnidStartAssocMessage;
    impl->space.createInitial();
    impl->nbt.createEmpty();
    impl->bbt.createEmpty();
    std::unique_ptr<NodeDatabaseWriter> w(new NodeDatabaseWriter(std::move(impl)));
    w->commit();
    if (publishNow) w->publish();
    return w;
}

void NodeDatabaseWriter::publish() {
    impl_->usable();
    impl_->file.publish();
}

const std::filesystem::path& NodeDatabaseWriter::path() const {
    return impl_->file.path();
}
CryptMethod NodeDatabaseWriter::cryptMethod() const {
    return impl_->crypt;
}

Bid NodeDatabaseWriter::writeDataBlock(std::span<const uint8_t> data) {
    return impl_->writeBlock(data, false);
}

Bid NodeDatabaseWriter::writeDataTree(std::span<const BlockRef> blocks, Bid previous) {
    Impl& m = *impl_;
    m.usable();
    if (blocks.empty()) throw std::logic_error("writeDataTree: no blocks");
    uint64_t total = 0;
    for (const auto& b : blocks) {
        if (bidIsInternal(b.bid)) throw std::logic_error("writeDataTree: internal block as data");
        total += b.size;
    }
    if (total > kMaxStreamSize)
        throw Error(m.fileName() + ": a stream of " + std::to_string(total) +
                    " bytes exceeds the format's 4 GiB limit");
    if (blocks.size() == 1) return blocks[0].bid;

    // Children of the previous tree, for reusing its XBLOCKs.
    std::vector<Bid> prevTop;
    uint8_t prevLevel = 0;
    if (previous != 0 && bidIsInternal(previous) && m.lookup(previous)) {
        Bytes d = m.read(previous);
        if (!d.empty() && d[0] == kBTypeXBlock) {
            XBlock x = parseXBlock(d, m.fileName(), 0);
            prevLevel = x.level;
            prevTop = std::move(x.bids);
        }
    }
    auto sameBids = [](const std::vector<Bid>& a, std::span<const BlockRef> b) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (a[i] != b[i].bid) return false;
        return true;
    };
    auto writeX = [&](std::span<const BlockRef> group, uint32_t size) {
        std::vector<Bid> bids;
        for (const auto& b : group) bids.push_back(b.bid);
        Bid x = m.writeBlock(makeXBlock(1, bids, size), true);
        for (Bid b : bids) m.ref(b, +1);
        return x;
    };
    if (blocks.size() <= kMaxXBlockEntries) {
        if (prevLevel == 1 && sameBids(prevTop, blocks)) return previous;
        return writeX(blocks, uint32_t(total));
    }
    std::vector<Bid> xbids;
    for (size_t first = 0; first < blocks.size(); first += kMaxXBlockEntries) {
        auto group =
            blocks.subspan(first, std::min<size_t>(kMaxXBlockEntries, blocks.size() - first));
        uint32_t size = 0;
        for (const auto& b : group) size += b.size;
        size_t g = first / kMaxXBlockEntries;
        Bid reuse = 0;
        if (prevLevel == 2 && g < prevTop.size()) {
            Bytes d = m.read(prevTop[g]);
            XBlock x = parseXBlock(d, m.fileName(), 0);
            if (x.level == 1 && sameBids(x.bids, group)) reuse = prevTop[g];
        }
        xbids.push_back(reuse ? reuse : writeX(group, size));
    }
    if (xbids.size() > kMaxXBlockEntries) throw std::logic_error("data tree too large");
    if (prevLevel == 2 && xbids == prevTop) return previous;
    Bid xx = m.writeBlock(makeXBlock(2, xbids, uint32_t(total)), true);
    for (Bid b : xbids) m.ref(b, +1);
    return xx;
}

Bid NodeDatabaseWriter::writeData(std::span<const uint8_t> data) {
    return writeStream(SpanSource(data));
}

Bid NodeDatabaseWriter::writeStream(const ByteSource& source) {
    Impl& m = *impl_;
    m.usable();
    uint64_t size = source.size();
    if (size == 0) return 0;
    if (size > kMaxStreamSize)
        throw Error(m.fileName() + ": a value of " + std::to_string(size) +
                    " bytes exceeds the format's 4 GiB stream limit");
    uint64_t blocks = (size + kMaxBlockData - 1) / kMaxBlockData;
    // A value in memory is sealed from where it lies; only a source that
    // must be read (a file, a generator) goes through a buffer.
    const uint8_t* inPlace = source.contiguous();
    Bytes piece(inPlace ? 0 : kMaxBlockData);
    std::vector<BlockRef> group;
    std::vector<Bid> xbids;
    auto flushGroup = [&] {
        std::vector<Bid> bids;
        uint32_t sum = 0;
        for (const auto& b : group) {
            bids.push_back(b.bid);
            sum += b.size;
        }
        Bid x = m.writeBlock(makeXBlock(1, bids, sum), true);
        for (Bid b : bids) m.ref(b, +1);
        xbids.push_back(x);
        group.clear();
    };
    for (uint64_t off = 0; off < size; off += kMaxBlockData) {
        uint32_t n = uint32_t(std::min<uint64_t>(kMaxBlockData, size - off));
        std::span<const uint8_t> data;
        if (inPlace) {
            data = {inPlace + off, n};
        } else {
            std::span<uint8_t> out(piece.data(), n);
            source.read(off, out);
            data = out;
        }
        group.push_back({m.writeBlock(data, false), n});
        if (blocks > kMaxXBlockEntries && group.size() == kMaxXBlockEntries) flushGroup();
    }
    if (blocks == 1) return group[0].bid;
    if (blocks <= kMaxXBlockEntries) {
        flushGroup();
        return xbids[0];
    }
    if (!group.empty()) flushGroup();
    Bid xx = m.writeBlock(makeXBlock(2, xbids, uint32_t(size)), true);
    for (Bid b : xbids) m.ref(b, +1);
    return xx;
}

Bid NodeDatabaseWriter::writeSubnodeTree(std::span<const SubnodeEntry> entries) {
    Impl& m = *impl_;
    m.usable();
    if (entries.empty()) return 0;
    for (size_t i = 1; i < entries.size(); ++i)
        if (entries[i - 1].nid >= entries[i].nid)
            throw std::logic_error("writeSubnodeTree: NIDs not sorted or not unique");
    auto writeLeaf = [&](std::span<const SubnodeEntry> part) {
        Bid b = m.writeBlock(makeSlBlock(part), true);
        for (const auto& e : part) {
            m.ref(e.bidData, +1);
            m.ref(e.bidSub, +1);
        }
        return b;
    };
    if (entries.size() <= kMaxSlEntries) return writeLeaf(entries);
    std::vector<SiEntry> top;
    for (size_t first = 0; first < entries.size(); first += kMaxSlEntries) {
        auto part = entries.subspan(first, std::min<size_t>(kMaxSlEntries, entries.size() - first));
        top.push_back({part.front().nid, writeLeaf(part)});
    }
    if (top.size() > kMaxSiEntries)
        throw Error(m.fileName() + ": more subnodes than one SIBLOCK can hold");
    Bid si = m.writeBlock(makeSiBlock(top), true);
    for (const auto& e : top) m.ref(e.bid, +1);
    return si;
}

std::optional<BlockEntry> NodeDatabaseWriter::findBlock(Bid bid) const {
    auto e = impl_->lookup(bid);
    if (!e) return e;
    auto it = impl_->deltas.find(bidKey(bid));
    if (it != impl_->deltas.end()) e->cRef = uint16_t(int32_t(e->cRef) + it->second);
    return e;
}

Bytes NodeDatabaseWriter::readBlock(Bid bid) const {
    return impl_->read(bid);
}

std::vector<Bid> NodeDatabaseWriter::dataTreeBlocks(Bid root) const {
    const Impl& m = *impl_;
    if (root == 0) return {};
    if (!bidIsInternal(root)) return {root};
    BlockEntry e = m.mustFind(root);
    XBlock x = parseXBlock(m.read(root), m.fileName(), e.bref.ib);
    if (x.level == 1) return x.bids;
    std::vector<Bid> out;
    for (Bid b : x.bids) {
        BlockEntry be = m.mustFind(b);
        XBlock c = parseXBlock(m.read(b), m.fileName(), be.bref.ib);
        if (c.level != 1)
            throw FormatError(m.fileName(), "XXBLOCK", int64_t(e.bref.ib),
                              "child is not an XBLOCK");
        out.insert(out.end(), c.bids.begin(), c.bids.end());
    }
    return out;
}

std::vector<NodeDatabaseWriter::BlockRef> NodeDatabaseWriter::dataTreeBlockRefs(Bid root) const {
    std::vector<BlockRef> out;
    for (Bid b : dataTreeBlocks(root)) out.push_back({b, impl_->mustFind(b).cb});
    return out;
}

uint64_t NodeDatabaseWriter::dataSize(Bid root) const {
    const Impl& m = *impl_;
    if (root == 0) return 0;
    if (!bidIsInternal(root)) return m.mustFind(root).cb;
    return parseXBlock(m.read(root), m.fileName(), m.mustFind(root).bref.ib).lcbTotal;
}

std::vector<SubnodeEntry> NodeDatabaseWriter::readSubnodeTree(Bid root) const {
    const Impl& m = *impl_;
    std::vector<SubnodeEntry> out;
    if (root == 0) return out;
    BlockEntry e = m.mustFind(root);
    SubnodeBlock s = parseSubnodeBlock(m.read(root), m.fileName(), e.bref.ib);
    out = s.leaves;
    for (const auto& c : s.children) {
        BlockEntry ce = m.mustFind(c.bid);
        SubnodeBlock leaf = parseSubnodeBlock(m.read(c.bid), m.fileName(), ce.bref.ib);
        if (leaf.level != 0)
            throw FormatError(m.fileName(), "SIBLOCK", int64_t(e.bref.ib),
                              "child is not an SLBLOCK");
        out.insert(out.end(), leaf.leaves.begin(), leaf.leaves.end());
    }
    return out;
}

void NodeDatabaseWriter::setNode(const NodeEntry& entry) {
    Impl& m = *impl_;
    m.usable();
    if (nidType(entry.nid) == NID_TYPE_HID) throw std::logic_error("setNode: a HID is not a node");
    std::optional<NodeEntry> old = findNode(entry.nid);
    m.nbt.put(nbtEntry(entry));
    m.ref(entry.bidData, +1);
    m.ref(entry.bidSub, +1);
    if (old) {
        m.ref(old->bidData, -1);
        m.ref(old->bidSub, -1);
    }
    m.changed = true;
}

bool NodeDatabaseWriter::deleteNode(Nid nid) {
    Impl& m = *impl_;
    m.usable();
    std::optional<NodeEntry> old = findNode(nid);
    if (!old) return false;
    m.nbt.erase(nid);
    m.ref(old->bidData, -1);
    m.ref(old->bidSub, -1);
    m.changed = true;
    return true;
}

std::optional<NodeEntry> NodeDatabaseWriter::findNode(Nid nid) const {
    auto e = impl_->nbt.find(nid);
    if (!e) return std::nullopt;
    return parseNbtEntry(e->data());
}

Nid NodeDatabaseWriter::allocateNid(uint8_t type) {
    Impl& m = *impl_;
    m.usable();
    if (type >= kRgnidCount || type == NID_TYPE_HID)
        throw std::logic_error("allocateNid: bad type");
    if (m.rgnid[type] >= kMaxNidIndex)
        throw Error(m.fileName() + ": node ids of this type are exhausted");
    m.changed = true;
    return makeNid(type, ++m.rgnid[type]);
}

void NodeDatabaseWriter::reserveNid(Nid nid) {
    Impl& m = *impl_;
    uint8_t t = nidType(nid);
    if (m.rgnid[t] < nidIndex(nid)) {
        m.rgnid[t] = nidIndex(nid);
        m.changed = true;
    }
}

void NodeDatabaseWriter::commit() {
    impl_->commit();
}

void NodeDatabaseWriter::close() {
    Impl& m = *impl_;
    m.commit();
    m.file.close();
    m.open = false;
}

bool NodeDatabaseWriter::isOpen() const {
    return impl_->open;
}

uint64_t NodeDatabaseWriter::fileSize() const {
    return impl_->space.fileEof();
}

uint64_t NodeDatabaseWriter::committedCount() const {
    return impl_->commits;
}

void NodeDatabaseWriter::setCommitObserver(std::function<void(const char* step)> observer) {
    impl_->observer = std::move(observer);
}

}  // namespace qm::pst::ndb
