// A table context, read ([MS-PST] 2.3.4): TCINFO with its column
// descriptions, the row index (a BTH of row id -> row position) and the row
// matrix (a heap item, or a subnode whose blocks each hold whole rows).
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "mapi/property.h"
#include "pst/read/bth.h"
#include "pst/read/ltp_node.h"
#include "pst/read/name_map.h"

namespace qm::pst::read {

struct TcColumn {
    uint32_t tag = 0;
    uint16_t ibData = 0;
    uint8_t cbData = 0;
    uint8_t iBit = 0;
};

class TableContext {
  public:
    enum { TCI_4b = 0, TCI_2b = 1, TCI_1b = 2, TCI_bm = 3 };

    TableContext(const TableContext&) = delete;
    TableContext& operator=(const TableContext&) = delete;

    // Throws qm::FormatError when the node is not a well-formed TC.
    TableContext(std::shared_ptr<const NodeDatabase> db, Bid bidData, Bid bidSub,
                 std::string where);

    const std::vector<TcColumn>& columns() const { return columns_; }
    const std::array<uint16_t, 4>& rgib() const { return rgib_; }
    uint32_t rowSize() const { return rgib_[TCI_bm]; }
    uint32_t hidRowIndex() const { return hidRowIndex_; }
    uint32_t hnidRows() const { return hnidRows_; }
    const LtpNode& node() const { return node_; }

    // Rows in row-matrix order.
    size_t rowCount() const { return rows_.size(); }
    std::span<const uint8_t> rowBytes(size_t row) const { return rows_[row]; }
    uint32_t rowId(size_t row) const;
    bool cellExists(size_t row, const TcColumn& col) const;
    // The row's cells that exist, as properties (LtpRowId/LtpRowVer
    // included); named ids resolved through `names` when given.
    mapi::PropertyBag rowProperties(size_t row, const NameMap* names = nullptr) const;
    const TcColumn* findColumn(uint32_t tag) const;

    // The row index as stored: (row id, row position), sorted by row id.
    const std::vector<std::pair<uint32_t, uint32_t>>& rowIndex() const { return index_; }
    // Rows per row-matrix block when the matrix lives in a subnode.
    size_t matrixBlockCount() const { return matrixBlocks_.size(); }
    const std::vector<size_t>& matrixBlockRows() const { return matrixBlocks_; }

  private:
    LtpNode node_;
    std::array<uint16_t, 4> rgib_{};
    uint32_t hidRowIndex_ = 0, hnidRows_ = 0;
    std::vector<TcColumn> columns_;
    std::vector<std::pair<uint32_t, uint32_t>> index_;
    std::vector<Bytes> matrix_;                   // the blocks (or the one heap item)
    std::vector<std::span<const uint8_t>> rows_;  // views into matrix_
    std::vector<size_t> matrixBlocks_;
};

}  // namespace qm::pst::read
