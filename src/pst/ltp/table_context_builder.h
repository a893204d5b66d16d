// Table context ([MS-PST] 2.3.4): a heap (bClientSig 0x7C) whose user root
// is TCINFO: bType 0x7C, cCols, rgib[4] (ends of the 8/4-byte, 2-byte and
// 1-byte cells and of the cell-existence bitmap = row size), hidRowIndex,
// hnidRows, hidIndex 0, TCOLDESC[cCols] sorted by tag.
//
// Heap order, as in every table Outlook writes (pst-extractor and the
// java-libpst family read the row index's header at HID 0x20 without
// looking at hidRowIndex): the row index's BTHHEADER at 0x20, TCINFO at
// 0x40; with rows, the row index's leaf at 0x60, the row matrix at 0x80,
// then the cells' values.
//
// Row layout: PidTagLtpRowId at 0 (iBit 0), PidTagLtpRowVer at 4 (iBit 1),
// then the 8-byte cells, the 4-byte cells, the 2-byte cells, the 1-byte
// cells, each group in tag order, then the cell-existence bitmap (iBit 0 is
// the most significant bit of its first byte). Int64/Time/Float64/Currency/
// AppTime take 8 bytes, Int32/Float32/ErrorCode 4, Int16 2, Boolean 1;
// Guid, strings, binary, multi-valued and object cells take a 4-byte HNID
// into the table's heap (a subnode when the value exceeds 3580 bytes).
// An absent cell has bitmap bit 0 and zero bytes; an empty variable value
// has its bit set and the HID of a zero-length allocation (Outlook writes
// HNID 0 there, which the outlook-pst library refuses in a table).
//
// Row index: a BTH (cbKey 4 = dwRowID, cbEnt 4 = dwRowIndex).
// Row matrix: absent (hnidRows 0) without rows; a heap allocation while it
// fits in 3580 bytes; otherwise an LTP subnode whose data blocks hold
// floor(8176 / rowSize) whole rows each, every block but the last written
// with cb = 8176 (zero-filled tail).
//
// Growing: addRow() appends to the matrix. flush() rewrites only the last
// (partial) row block, the heap pages that changed and the trees above;
// full row blocks and unchanged heap pages are re-referenced, so a table of
// 100,000 rows costs a few blocks per flush, not the table.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "mapi/property.h"
#include "pst/ltp/bth_builder.h"
#include "pst/ltp/heap_builder.h"
#include "pst/ltp/property_context_builder.h"

namespace qm::pst::ltp {

struct TableColumn {
    mapi::PropTag tag = 0;
    uint16_t ibData = 0;  // offset in the row
    uint8_t cbData = 0;   // 1, 2, 4 or 8
    uint8_t iBit = 0;     // bit in the cell-existence bitmap
};

// The column layout for a set of tags (RowId and RowVer added when
// missing), as described above.
struct TableLayout {
    std::vector<TableColumn> columns;                      // sorted by tag
    uint16_t end8_4 = 0, end2 = 0, end1 = 0, rowSize = 0;  // rgib
    static TableLayout forTags(std::vector<mapi::PropTag> tags);
    const TableColumn* find(mapi::PropTag tag) const;
};

class TableContextBuilder {
  public:
    // A new, empty table with these columns.
    // REQUIRES: tags unique; types a table can hold.
    TableContextBuilder(ndb::NodeDatabaseWriter& ndb, std::vector<mapi::PropTag> columns);
    // The table a node holds (its bidData and bidSub), for adding and
    // changing rows. Throws qm::FormatError when it is not a table context.
    static std::unique_ptr<TableContextBuilder> open(ndb::NodeDatabaseWriter& ndb, Bid bidData,
                                                     Bid bidSub);
    ~TableContextBuilder();

    const TableLayout& layout() const { return layout_; }
    uint32_t rowCount() const { return rowCount_; }

    // Appends a row. Cells whose tag is not a column are ignored; cells not
    // given are absent. RowId is `rowId`; RowVer is taken from the cells
    // (PidTagLtpRowVer) or written 0.
    // REQUIRES: no row with this id.
    void addRow(uint32_t rowId, std::span<const mapi::Property> cells);
    // Replaces every cell of an existing row; false when there is none.
    bool updateRow(uint32_t rowId, std::span<const mapi::Property> cells);
    // Position of the row in the matrix.
    std::optional<uint32_t> findRow(uint32_t rowId) const;

    // Writes what changed. The caller then points the node at
    // (bidData, writeSubnodeTree(subnodes)).
    // REQUIRES: the result is referenced before the next commit.
    BuiltNode flush();

    struct Impl;

  private:
    explicit TableContextBuilder(std::unique_ptr<Impl> impl);
    TableLayout layout_;
    uint32_t rowCount_ = 0;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qm::pst::ltp
