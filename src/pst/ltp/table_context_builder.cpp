#include "pst/ltp/table_context_builder.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <stdexcept>

#include "mapi/error.h"

namespace qm::pst::ltp {
namespace {

using namespace ndb;
using BlockRef = NodeDatabaseWriter::BlockRef;

constexpr uint32_t kHnidSize = 4;
constexpr uint8_t kIBitRowId = 0;
constexpr uint8_t kIBitRowVer = 1;

// Bytes a column takes in a row: fixed values up to 8 bytes inline, all
// else (GUID, strings, binary, multi-valued, object) as a 4-byte HNID.
uint8_t cellSize(uint16_t type) {
    if (mapi::isMultiValued(type)) return kHnidSize;
    size_t f = mapi::fixedSize(type);
    if (f == 0 || f > 8) return kHnidSize;
    return uint8_t(f);
}
bool cellIsHnid(uint16_t type) {
    return mapi::isMultiValued(type) || mapi::fixedSize(type) == 0 || mapi::fixedSize(type) > 8;
}

std::string tagHex(mapi::PropTag tag) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", tag);
    return buf;
}

}  // namespace

TableLayout TableLayout::forTags(std::vector<mapi::PropTag> tags) {
    for (mapi::PropTag t : {kPidTagLtpRowId, kPidTagLtpRowVer})
        if (std::find(tags.begin(), tags.end(), t) == tags.end()) tags.push_back(t);
    std::sort(tags.begin(), tags.end());
    if (std::adjacent_find(tags.begin(), tags.end()) != tags.end())
        throw std::logic_error("table columns must be unique");
    if (tags.size() > 255) throw std::logic_error("a table holds at most 255 columns");
    TableLayout l;
    l.columns.push_back({kPidTagLtpRowId, 0, 4, kIBitRowId});
    l.columns.push_back({kPidTagLtpRowVer, 4, 4, kIBitRowVer});
    uint16_t at = 8;
    uint8_t bit = 2;
    for (uint8_t size : {8, 4, 2, 1}) {
        for (mapi::PropTag t : tags) {
            if (t == kPidTagLtpRowId || t == kPidTagLtpRowVer) continue;
            uint16_t type = mapi::propType(t);
            if (type == mapi::PT_UNSPECIFIED || type == mapi::PT_NULL)
                throw std::logic_error("table column without a storable type");
            if (cellSize(type) != size) continue;
            l.columns.push_back({t, at, size, bit++});
            at = uint16_t(at + size);
        }
        if (size == 4) l.end8_4 = at;
        if (size == 2) l.end2 = at;
        if (size == 1) l.end1 = at;
    }
    l.rowSize = uint16_t(l.end1 + (l.columns.size() + 7) / 8);
    std::sort(l.columns.begin(), l.columns.end(),
              [](const TableColumn& a, const TableColumn& b) { return a.tag < b.tag; });
    return l;
}

const TableColumn* TableLayout::find(mapi::PropTag tag) const {
    for (const auto& c : columns)
        if (c.tag == tag) return &c;
    return nullptr;
}

struct TableContextBuilder::Impl {
    Impl(NodeDatabaseWriter& w) : ndb(w) {}

    struct RowBlock {
        Bid bid = 0;  // its block once written
        bool loaded = false;
        bool dirty = false;
        Bytes rows;  // whole rows, without the zero tail
    };

    NodeDatabaseWriter& ndb;
    std::unique_ptr<HeapBuilder> heap;
    std::optional<BthBuilder> rowIndex;
    // Row-index records of rows added since the last flush, whose ids
    // exceed every id in rowIndex: appended to it in one go at flush.
    Bytes pendingIndex;
    std::optional<uint32_t> lastRowId;
    TableLayout layout;
    Hid tcinfo = 0;
    uint32_t rowsPerBlock = 1;
    uint32_t rowCount = 0;
    // Inline matrix (a heap allocation) while it fits; then a subnode.
    Hid inlineHid = 0;
    Bytes inlineRows;
    Nid matrixNid = 0;
    std::vector<RowBlock> blocks;
    Bid matrixRoot = 0;
    uint32_t nextLtpIndex = 1;
    std::map<Nid, SubnodeEntry> valueSubnodes;  // cells above 3580 bytes

    std::string file() const { return ndb.path().string(); }

    void appendPending() {
        rowIndex->append(pendingIndex);
        pendingIndex.clear();
    }

    std::optional<uint32_t> findPending(uint32_t rowId) const {
        constexpr size_t kRec = 8;
        size_t lo = 0, hi = pendingIndex.size() / kRec;
        while (lo < hi) {
            const size_t mid = (lo + hi) / 2;
            const uint32_t id = loadLE32(pendingIndex.data() + mid * kRec);
            if (id == rowId) return loadLE32(pendingIndex.data() + mid * kRec + 4);
            if (id < rowId)
                lo = mid + 1;
            else
                hi = mid;
        }
        return std::nullopt;
    }

    void writeTcInfo() {
        Bytes b;
        b.reserve(22 + 8 * layout.columns.size());
        b.push_back(bTypeTC);
        b.push_back(uint8_t(layout.columns.size()));
        appendLE16(b, layout.end8_4);
        appendLE16(b, layout.end2);
        appendLE16(b, layout.end1);
        appendLE16(b, layout.rowSize);
        appendLE32(b, rowIndex ? rowIndex->header() : 0);
        appendLE32(b, matrixNid ? matrixNid : inlineHid);
        appendLE32(b, 0);  // hidIndex, deprecated
        for (const auto& c : layout.columns) {
            appendLE32(b, c.tag);
            appendLE16(b, c.ibData);
            b.push_back(c.cbData);
            b.push_back(c.iBit);
        }
        if (tcinfo == 0) {
            tcinfo = heap->allocate(b);
        } else {
            Hid same = heap->replace(tcinfo, b);
            if (same != tcinfo) throw std::logic_error("TCINFO moved");
        }
        heap->setUserRoot(tcinfo);
    }

    RowBlock& block(uint32_t k) {
        RowBlock& b = blocks[k];
        if (!b.loaded) {
            Bytes d = ndb.readBlock(b.bid);
            uint32_t rows =
                k + 1 < blocks.size() ? rowsPerBlock : uint32_t(d.size()) / layout.rowSize;
            if (size_t(rows) * layout.rowSize > d.size())
                throw FormatError(file(), "row matrix", -1, "block shorter than its rows");
            d.resize(size_t(rows) * layout.rowSize);
            b.rows = std::move(d);
            b.loaded = true;
        }
        return b;
    }

    // The row's bytes, for changing in place.
    uint8_t* rowAt(uint32_t index) {
        if (matrixNid == 0) return inlineRows.data() + size_t(index) * layout.rowSize;
        RowBlock& b = block(index / rowsPerBlock);
        b.dirty = true;
        return b.rows.data() + size_t(index % rowsPerBlock) * layout.rowSize;
    }

    uint32_t storeValue(const mapi::Property& p) {
        uint64_t size = encodedPropertySize(p);
        if (size == 0) return heap->allocate(Bytes());
        if (size <= kMaxHeapAllocation) {
            // A value in memory goes to the heap as it lies; only a stream
            // or a variable multi-value is encoded first.
            const bool variableMv = mapi::isMultiValued(p.type()) && mapi::fixedSize(p.type()) == 0;
            if (!p.stream && !variableMv) return heap->allocate(p.value);
            return heap->allocate(encodePropertyValue(p));
        }
        Nid nid = makeNid(NID_TYPE_LTP, nextLtpIndex++);
        Bid bid;
        if (p.stream && !mapi::isMultiValued(p.type())) {
            bid = ndb.writeStream(*p.stream);
        } else {
            Bytes v = encodePropertyValue(p);
            bid = ndb.writeStream(SpanSource(v));
        }
        valueSubnodes[nid] = {nid, bid, 0};
        return nid;
    }

    void dropValue(uint32_t hnid) {
        if (hnid == 0) return;  // Outlook's empty value: nothing to free
        if (hnidIsHid(hnid))
            heap->free(hnid);
        else
            valueSubnodes.erase(hnid);
    }

    Bytes encodeRow(uint32_t rowId, std::span<const mapi::Property> cells) {
        Bytes row(layout.rowSize, 0);
        uint8_t* ceb = row.data() + layout.end1;
        auto setBit = [&](uint8_t bit) { ceb[bit / 8] |= uint8_t(0x80 >> (bit % 8)); };
        storeLE32(row.data(), rowId);
        setBit(kIBitRowId);
        setBit(kIBitRowVer);
        for (const auto& p : cells) {
            if (p.tag == kPidTagLtpRowId) continue;
            const TableColumn* c = layout.find(p.tag);
            if (!c) continue;
            if (cellIsHnid(p.type())) {
                storeLE32(row.data() + c->ibData, storeValue(p));
            } else {
                // Fixed-size cells are held in memory; only a stream needs reading.
                const Bytes streamed = p.stream ? p.bytes() : Bytes();
                const Bytes& v = p.stream ? streamed : p.value;
                if (v.size() != c->cbData)
                    throw Error("table cell " + tagHex(p.tag) + ": value of " +
                                std::to_string(v.size()) + " bytes for a " +
                                std::to_string(c->cbData) + "-byte column");
                std::copy(v.begin(), v.end(), row.begin() + c->ibData);
            }
            setBit(c->iBit);
        }
        return row;
    }

    void appendRow(const Bytes& row) {
        if (matrixNid == 0 && size_t(rowCount + 1) * layout.rowSize <= kMaxHeapAllocation) {
            inlineRows.insert(inlineRows.end(), row.begin(), row.end());
            if (inlineHid == 0) {
                inlineHid = heap->allocate(inlineRows);
                writeTcInfo();
            } else {
                Hid h = heap->replace(inlineHid, inlineRows);
                if (h != inlineHid) {
                    inlineHid = h;
                    writeTcInfo();
                }
            }
            ++rowCount;
            return;
        }
        if (matrixNid == 0) {
            // The matrix outgrows the heap: it moves to a subnode of whole rows.
            matrixNid = makeNid(NID_TYPE_LTP, nextLtpIndex++);
            for (uint32_t r = 0; r < rowCount; ++r) {
                if (r % rowsPerBlock == 0) blocks.push_back({0, true, true, {}});
                Bytes& rows = blocks.back().rows;
                rows.insert(rows.end(), inlineRows.begin() + long(r) * layout.rowSize,
                            inlineRows.begin() + long(r + 1) * layout.rowSize);
            }
            if (inlineHid) heap->free(inlineHid);
            inlineHid = 0;
            inlineRows.clear();
            inlineRows.shrink_to_fit();
            writeTcInfo();
        }
        if (rowCount % rowsPerBlock == 0) {
            // The block before becomes a middle block: full size from now on.
            if (!blocks.empty()) block(uint32_t(blocks.size() - 1)).dirty = true;
            blocks.push_back({0, true, true, {}});
        }
        RowBlock& b = block(uint32_t(blocks.size() - 1));
        b.rows.insert(b.rows.end(), row.begin(), row.end());
        b.dirty = true;
        ++rowCount;
    }
};

TableContextBuilder::TableContextBuilder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {
    layout_ = impl_->layout;
    rowCount_ = impl_->rowCount;
}

TableContextBuilder::TableContextBuilder(ndb::NodeDatabaseWriter& ndb,
                                         std::vector<mapi::PropTag> columns)
    : impl_(std::make_unique<Impl>(ndb)) {
    Impl& m = *impl_;
    m.layout = TableLayout::forTags(std::move(columns));
    if (m.layout.rowSize > kMaxBlockData) throw std::logic_error("table row larger than a block");
    m.rowsPerBlock = kMaxBlockData / m.layout.rowSize;
    m.heap = std::make_unique<HeapBuilder>(ndb, bTypeTC);
    // Outlook's order: the row index's BTH header at HID 0x20, TCINFO at 0x40.
    m.rowIndex.emplace(BthBuilder::create(*m.heap, 4, 4));
    m.writeTcInfo();
    layout_ = m.layout;
}

TableContextBuilder::~TableContextBuilder() = default;

std::unique_ptr<TableContextBuilder> TableContextBuilder::open(ndb::NodeDatabaseWriter& ndb,
                                                               Bid bidData, Bid bidSub) {
    auto m = std::make_unique<Impl>(ndb);
    const std::string file = ndb.path().string();
    m->heap = HeapBuilder::open(ndb, bidData);
    if (m->heap->clientSig() != bTypeTC)
        throw FormatError(file, "HNHDR", -1, "not a table context (bClientSig)");
    m->tcinfo = m->heap->userRoot();
    Bytes t = m->heap->read(m->tcinfo);
    ByteReader r(t, "TCINFO");
    if (r.u8() != bTypeTC) throw FormatError(file, "TCINFO", -1, "bType is not 0x7C");
    uint8_t cCols = r.u8();
    m->layout.end8_4 = r.u16();
    m->layout.end2 = r.u16();
    m->layout.end1 = r.u16();
    m->layout.rowSize = r.u16();
    Hid hidRowIndex = r.u32();
    uint32_t hnidRows = r.u32();
    r.u32();
    for (uint8_t i = 0; i < cCols; ++i) {
        TableColumn c;
        c.tag = r.u32();
        c.ibData = r.u16();
        c.cbData = r.u8();
        c.iBit = r.u8();
        m->layout.columns.push_back(c);
    }
    const TableLayout& l = m->layout;
    if (l.rowSize == 0 || l.rowSize > kMaxBlockData || l.end8_4 > l.end2 || l.end2 > l.end1 ||
        l.end1 > l.rowSize || size_t(l.rowSize - l.end1) * 8 < l.columns.size())
        throw FormatError(file, "TCINFO", -1, "row layout out of range");
    for (const auto& c : l.columns)
        if (size_t(c.ibData) + c.cbData > l.end1 || c.iBit >= l.columns.size() ||
            c.cbData != cellSize(mapi::propType(c.tag)))
            throw FormatError(file, "TCINFO", -1, "column " + tagHex(c.tag) + " outside the row");
    m->rowsPerBlock = kMaxBlockData / m->layout.rowSize;
    m->rowIndex.emplace(*m->heap, hidRowIndex);
    if (auto last = m->rowIndex->lastKey()) m->lastRowId = loadLE32(last->data());
    std::vector<SubnodeEntry> subs = ndb.readSubnodeTree(bidSub);
    for (const auto& s : subs) {
        if (nidType(s.nid) == NID_TYPE_LTP)
            m->nextLtpIndex = std::max(m->nextLtpIndex, nidIndex(s.nid) + 1);
        if (s.nid != hnidRows) m->valueSubnodes[s.nid] = s;
    }
    if (hnidRows == 0) {
    } else if (hnidIsHid(hnidRows)) {
        m->inlineHid = hnidRows;
        m->inlineRows = m->heap->read(hnidRows);
        m->rowCount = uint32_t(m->inlineRows.size() / m->layout.rowSize);
    } else {
        auto it = std::find_if(subs.begin(), subs.end(),
                               [&](const SubnodeEntry& s) { return s.nid == hnidRows; });
        if (it == subs.end()) throw FormatError(file, "TCINFO", -1, "row matrix subnode missing");
        m->matrixNid = hnidRows;
        m->matrixRoot = it->bidData;
        auto refs = ndb.dataTreeBlockRefs(it->bidData);
        for (size_t k = 0; k < refs.size(); ++k)
            m->blocks.push_back({refs[k].bid, false, false, {}});
        if (!refs.empty())
            m->rowCount =
                uint32_t(refs.size() - 1) * m->rowsPerBlock + refs.back().size / m->layout.rowSize;
    }
    return std::unique_ptr<TableContextBuilder>(new TableContextBuilder(std::move(m)));
}

void TableContextBuilder::addRow(uint32_t rowId, std::span<const mapi::Property> cells) {
    Impl& m = *impl_;
    uint8_t key[4], data[4];
    storeLE32(key, rowId);
    storeLE32(data, m.rowCount);
    // Ids usually grow: such a row's index record waits for flush().
    const bool grows = !m.lastRowId || rowId > *m.lastRowId;
    if (!grows) {
        m.appendPending();
        if (m.rowIndex->find(key)) throw std::logic_error("table already has this row id");
    }
    if (grows && m.rowCount != 0) {
        Bytes row = m.encodeRow(rowId, cells);
        m.appendRow(row);
        m.pendingIndex.insert(m.pendingIndex.end(), key, key + 4);
        m.pendingIndex.insert(m.pendingIndex.end(), data, data + 4);
    } else if (m.rowCount == 0 && m.matrixNid == 0 && m.layout.rowSize <= kMaxHeapAllocation) {
        // A table's first row in Outlook's order: the row index's leaf
        // (HID 0x60), the row matrix (0x80), then the row's values.
        m.rowIndex->insert(key, data);
        m.appendRow(Bytes(m.layout.rowSize, 0));
        Bytes row = m.encodeRow(rowId, cells);
        m.inlineRows = row;
        if (m.heap->replace(m.inlineHid, m.inlineRows) != m.inlineHid)
            throw std::logic_error("row matrix moved");
    } else {
        Bytes row = m.encodeRow(rowId, cells);
        m.appendRow(row);
        m.rowIndex->insert(key, data);
    }
    if (grows) m.lastRowId = rowId;
    rowCount_ = m.rowCount;
}

std::optional<uint32_t> TableContextBuilder::findRow(uint32_t rowId) const {
    uint8_t key[4];
    storeLE32(key, rowId);
    if (auto pending = impl_->findPending(rowId)) return pending;
    auto d = impl_->rowIndex->find(key);
    if (!d) return std::nullopt;
    return loadLE32(d->data());
}

bool TableContextBuilder::updateRow(uint32_t rowId, std::span<const mapi::Property> cells) {
    Impl& m = *impl_;
    auto index = findRow(rowId);
    if (!index) return false;
    if (*index >= m.rowCount) throw FormatError(m.file(), "row index", -1, "row beyond the matrix");
    uint8_t* old = m.rowAt(*index);
    const uint8_t* ceb = old + m.layout.end1;
    for (const auto& c : m.layout.columns)
        if (cellIsHnid(mapi::propType(c.tag)) && (ceb[c.iBit / 8] & (0x80 >> (c.iBit % 8))))
            m.dropValue(loadLE32(old + c.ibData));
    Bytes row = m.encodeRow(rowId, cells);
    old = m.rowAt(*index);
    std::copy(row.begin(), row.end(), old);
    if (m.matrixNid == 0) {
        Hid h = m.heap->replace(m.inlineHid, m.inlineRows);
        if (h != m.inlineHid) {
            m.inlineHid = h;
            m.writeTcInfo();
        }
    }
    return true;
}

BuiltNode TableContextBuilder::flush() {
    Impl& m = *impl_;
    BuiltNode out;
    m.appendPending();
    if (m.matrixNid != 0) {
        std::vector<BlockRef> refs;
        bool changed = m.matrixRoot == 0;
        for (size_t k = 0; k < m.blocks.size(); ++k) {
            auto& b = m.blocks[k];
            bool last = k + 1 == m.blocks.size();
            if (b.dirty) {
                Bytes d = b.rows;
                // Every block but the last is a full 8176-byte block.
                if (!last) d.resize(kMaxBlockData, 0);
                b.bid = m.ndb.writeDataBlock(d);
                b.dirty = false;
                changed = true;
            }
            uint32_t size =
                last ? uint32_t(b.rows.empty() ? m.ndb.findBlock(b.bid)->cb : b.rows.size())
                     : kMaxBlockData;
            refs.push_back({b.bid, size});
            if (!last) {
                b.loaded = false;
                b.rows.clear();
                b.rows.shrink_to_fit();
            }
        }
        if (changed) m.matrixRoot = m.ndb.writeDataTree(refs, m.matrixRoot);
        out.subnodes.push_back({m.matrixNid, m.matrixRoot, 0});
    }
    for (const auto& [nid, s] : m.valueSubnodes) out.subnodes.push_back(s);
    std::sort(out.subnodes.begin(), out.subnodes.end(),
              [](const SubnodeEntry& a, const SubnodeEntry& b) { return a.nid < b.nid; });
    out.bidData = m.heap->flush();
    return out;
}

}  // namespace qm::pst::ltp
