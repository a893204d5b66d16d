#include "pst/read/table_context.h"

#include <algorithm>

#include "mapi/error.h"
#include "pst/ndb/format.h"
#include "pst/read/property_context.h"

namespace qm::pst::read {

using namespace mapi;

TableContext::TableContext(std::shared_ptr<const NodeDatabase> db, Bid bidData, Bid bidSub,
                           std::string where)
    : node_(std::move(db), bidData, bidSub, std::move(where)) {
    const std::string& file = node_.db().path();
    auto fail = [&](const std::string& what) { throw FormatError(file, node_.where(), -1, what); };
    const Heap& heap = node_.heap();
    if (heap.clientSig() != ndb::bTypeTC)
        fail("heap client signature " + hex(heap.clientSig()) + " is not a table context");
    auto info = heap.item(heap.userRoot());
    if (info.size() < ndb::kTcInfoHeaderSize || info[0] != ndb::bTypeTC)
        fail("TCINFO missing or of the wrong type");
    uint8_t cCols = info[1];
    if (info.size() != ndb::kTcInfoHeaderSize + size_t(cCols) * ndb::kTcColDescSize)
        fail("TCINFO of " + std::to_string(info.size()) + " bytes for " + std::to_string(cCols) +
             " columns");
    for (int i = 0; i < 4; ++i) rgib_[i] = loadLE16(&info[2 + 2 * i]);
    hidRowIndex_ = loadLE32(&info[10]);
    hnidRows_ = loadLE32(&info[14]);
    if (!(rgib_[TCI_4b] <= rgib_[TCI_2b] && rgib_[TCI_2b] <= rgib_[TCI_1b] &&
          rgib_[TCI_1b] <= rgib_[TCI_bm]))
        fail("rgib offsets out of order");
    uint32_t cebSize = (uint32_t(cCols) + 7) / 8;
    if (uint32_t(rgib_[TCI_bm] - rgib_[TCI_1b]) != cebSize)
        fail("cell existence bitmap of " + std::to_string(rgib_[TCI_bm] - rgib_[TCI_1b]) +
             " bytes for " + std::to_string(cCols) + " columns");
    for (uint8_t i = 0; i < cCols; ++i) {
        const uint8_t* c = &info[ndb::kTcInfoHeaderSize + i * ndb::kTcColDescSize];
        TcColumn col{loadLE32(c), loadLE16(c + 4), c[6], c[7]};
        if (uint32_t(col.ibData) + col.cbData > rgib_[TCI_1b])
            fail("column " + tagName(col.tag) + " runs past the data cells");
        if (col.iBit >= cCols) fail("column " + tagName(col.tag) + " iBit out of range");
        columns_.push_back(col);
    }
    // Row index.
    if (hidRowIndex_ != 0) {
        Bth idx(heap, hidRowIndex_);
        if (idx.keySize() != 4 || (idx.dataSize() != 4 && idx.dataSize() != 2))
            fail("row index with cbKey " + std::to_string(idx.keySize()) + " cbEnt " +
                 std::to_string(idx.dataSize()));
        for (const auto& r : idx.records()) {
            uint32_t pos = idx.dataSize() == 4 ? loadLE32(r.data.data()) : loadLE16(r.data.data());
            index_.emplace_back(loadLE32(r.key.data()), pos);
        }
    }
    // Row matrix.
    uint32_t rowSize = rgib_[TCI_bm];
    if (hnidRows_ != 0) {
        if (rowSize == 0) fail("rows of zero size");
        if (ndb::hnidIsHid(hnidRows_)) {
            auto it = heap.item(hnidRows_);
            matrix_.emplace_back(it.begin(), it.end());
            if (it.size() % rowSize != 0)
                fail("row matrix of " + std::to_string(it.size()) + " bytes is not whole rows of " +
                     std::to_string(rowSize));
        } else {
            const SubnodeEntry* s = node_.findSubnode(hnidRows_);
            if (!s) fail("row matrix subnode " + hex(hnidRows_) + " is missing");
            matrix_ = node_.db().readDataTree(s->bidData);
        }
        for (const Bytes& b : matrix_) {
            size_t n = b.size() / rowSize;
            matrixBlocks_.push_back(n);
            for (size_t r = 0; r < n; ++r) rows_.emplace_back(b.data() + r * rowSize, rowSize);
        }
    }
    // A matrix block may end in unused space (whole rows only), so the row
    // index, not the byte count, says how many rows there are.
    if (rows_.size() > index_.size()) rows_.resize(index_.size());
    if (rows_.size() < index_.size())
        fail("row index lists " + std::to_string(index_.size()) + " rows, the matrix holds " +
             std::to_string(rows_.size()));
}

uint32_t TableContext::rowId(size_t row) const {
    return loadLE32(rows_[row].data());
}

bool TableContext::cellExists(size_t row, const TcColumn& col) const {
    uint8_t byte = rows_[row][rgib_[TCI_1b] + col.iBit / 8];
    return (byte & (0x80 >> (col.iBit % 8))) != 0;
}

const TcColumn* TableContext::findColumn(uint32_t tag) const {
    for (const auto& c : columns_)
        if (c.tag == tag) return &c;
    return nullptr;
}

PropertyBag TableContext::rowProperties(size_t row, const NameMap* names) const {
    PropertyBag bag;
    auto cells = rows_[row];
    for (const auto& col : columns_) {
        if (!cellExists(row, col)) continue;
        uint16_t type = propType(col.tag);
        auto where = [&] {  // made only for an error
            return node_.where() + " row " + std::to_string(row) + " column " + tagName(col.tag);
        };
        const uint8_t* cell = cells.data() + col.ibData;
        size_t fixed = isMultiValued(type) ? 0 : fixedSize(type);
        Property p;
        if (fixed > 0 && fixed <= 8 && type != PT_CLSID) {
            if (col.cbData != fixed)
                throw FormatError(node_.db().path(), where(), -1,
                                  "cell of " + std::to_string(col.cbData) + " bytes for a " +
                                      std::to_string(fixed) + "-byte type");
            p = decodeValueAt(col.tag, Bytes(cell, cell + fixed), node_.db().path(), where);
        } else {
            if (col.cbData != 4)
                throw FormatError(node_.db().path(), where(), -1,
                                  "variable-size cell of " + std::to_string(col.cbData) + " bytes");
            p = decodeValueAt(col.tag, node_.read(loadLE32(cell)), node_.db().path(), where);
        }
        if (names && propId(col.tag) >= ndb::kFirstNamedPropId)
            p.named = names->find(propId(col.tag));
        bag.set(std::move(p));
    }
    return bag;
}

}  // namespace qm::pst::read
