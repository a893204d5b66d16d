// Checker, lists and tables part: every top-level node that holds a heap is
// opened as the property context or table context its type says, and its
// layout checked beyond what reading needs.
#include <algorithm>

#include "mapi/error.h"
#include "pst/read/check_internal.h"
#include "pst/read/table_context.h"

namespace qm::pst::read::check {

using namespace ndb;

namespace {

enum class Kind { None, Pc, Tc, Message };

Kind kindOf(Nid nid) {
    switch (nidType(nid)) {
        case NID_TYPE_NORMAL_FOLDER:
        case NID_TYPE_SEARCH_FOLDER:
        case NID_TYPE_SEARCH_CRITERIA_OBJECT:
            return Kind::Pc;
        case NID_TYPE_NORMAL_MESSAGE:
        case NID_TYPE_ASSOC_MESSAGE:
            return Kind::Message;
        case NID_TYPE_RECEIVE_FOLDER_TABLE:
        case NID_TYPE_OUTGOING_QUEUE_TABLE:
        case NID_TYPE_HIERARCHY_TABLE:
        case NID_TYPE_CONTENTS_TABLE:
        case NID_TYPE_ASSOC_CONTENTS_TABLE:
        case NID_TYPE_SEARCH_CONTENTS_TABLE:
        case NID_TYPE_ATTACHMENT_TABLE:
        case NID_TYPE_RECIPIENT_TABLE:
            return Kind::Tc;
        default:
            break;
    }
    if (nid == NID_MESSAGE_STORE || nid == NID_NAME_TO_ID_MAP) return Kind::Pc;
    return Kind::None;
}

// Cells of fixed types up to 8 bytes hold their value; every other cell
// holds a 4-byte HNID.
bool heldInline(uint16_t type) {
    if (mapi::isMultiValued(type) || type == mapi::PT_CLSID) return false;
    size_t f = mapi::fixedSize(type);
    return f > 0 && f <= 8;
}

uint32_t cellSize(uint16_t type) {
    return heldInline(type) ? uint32_t(mapi::fixedSize(type)) : 4;
}

// Heap ids of the first two items of block 0 ([MS-PST] 2.3.1.1 HID:
// hidIndex 1 and 2). Every Outlook-made table context allocates the row
// index's BTHHEADER first and TCINFO second, and every property context its
// BTHHEADER first; readers that follow Outlook's files rely on it.
constexpr uint32_t kFirstHid = 0x20;
constexpr uint32_t kSecondHid = 0x40;

// [MS-PST] 2.3.1.1 fill levels: free bytes a block could still take, in
// bands from 0 (3584 or more) to 15 (under 8).
uint8_t fillLevel(uint32_t freeBytes) {
    static const uint32_t kFloor[16] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768,
                                        512,  256,  128,  64,   32,   16,   8,    0};
    for (uint8_t i = 0; i < 16; ++i)
        if (freeBytes >= kFloor[i]) return i;
    return 15;
}

}  // namespace

// Page maps right after the last item (2-byte aligned) and the block
// ending with the page map; fill levels true to the blocks.
void checkHeapLayout(Checker& c, const Heap& heap) {
    for (size_t i = 0; i < heap.blockCount(); ++i) {
        const auto& m = heap.pageMap(i);
        std::string where = heap.where() + " heap block " + std::to_string(i);
        if (m.ibHnpm - m.offsets.back() > 1)
            c.finding(where, "page map at " + std::to_string(m.ibHnpm) +
                                 " leaves a gap after the last item at " +
                                 std::to_string(m.offsets.back()));
        size_t mapEnd = size_t(m.ibHnpm) + 4 + 2 * m.offsets.size();
        if (heap.block(i).size() < mapEnd || heap.block(i).size() - mapEnd >= 64)
            c.finding(where, "block of " + std::to_string(heap.block(i).size()) +
                                 " bytes for a page map ending at " + std::to_string(mapEnd));
        // cFree may be non-zero: Outlook keeps freed items as empty slots.
    }
    // Fill levels: blocks 0-7 in HNHDR, then 128 per HNBITMAPHDR.
    auto expected = [&](size_t i) {
        return fillLevel(uint32_t(ndb::kMaxBlockData - heap.block(i).size()));
    };
    auto checkNibbles = [&](const uint8_t* levels, size_t first, size_t count,
                            const std::string& where) {
        for (size_t k = 0; k < count && first + k < heap.blockCount(); ++k) {
            uint8_t stored = (levels[k / 2] >> (4 * (k % 2))) & 0x0F;
            if (stored != expected(first + k))
                c.finding(where, "fill level of block " + std::to_string(first + k) + " is " +
                                     std::to_string(stored) + ", its free space gives " +
                                     std::to_string(expected(first + k)));
        }
    };
    checkNibbles(heap.headerFillLevel(), 0, 8, heap.where() + " HNHDR");
    for (size_t b = 8; b < heap.blockCount(); b += 128)
        checkNibbles(heap.block(b).data() + 2, b, 128,
                     heap.where() + " HNBITMAPHDR of block " + std::to_string(b));
}

bool is8BitString(uint16_t type) {
    return type == mapi::PT_STRING8 || type == mapi::PT_MV_STRING8;
}

void checkTableLayout(Checker& c, const TableContext& tc, const std::string& where,
                      bool receiveFolders) {
    const auto& cols = tc.columns();
    const auto& rgib = tc.rgib();
    if (tc.hidRowIndex() != kFirstHid)
        c.finding(where, "row index BTHHEADER at heap id " + hex(tc.hidRowIndex()) +
                             ", Outlook puts it at " + hex(kFirstHid));
    if (tc.node().heap().userRoot() != kSecondHid)
        c.finding(where, "TCINFO at heap id " + hex(tc.node().heap().userRoot()) +
                             ", Outlook puts it at " + hex(kSecondHid));
    for (size_t i = 1; i < cols.size(); ++i)
        if (cols[i].tag <= cols[i - 1].tag)
            c.finding(where, "TCOLDESC " + tagName(cols[i].tag) + " not in ascending tag order");
    const TcColumn* rowId = tc.findColumn(kPidTagLtpRowId);
    const TcColumn* rowVer = tc.findColumn(kPidTagLtpRowVer);
    if (!rowId || rowId->ibData != 0 || rowId->cbData != 4 || rowId->iBit != 0)
        c.finding(where, "LtpRowId column missing or not at offset 0, bit 0");
    if (!rowVer || rowVer->ibData != 4 || rowVer->cbData != 4 || rowVer->iBit != 1)
        c.finding(where, "LtpRowVer column missing or not at offset 4, bit 1");
    std::vector<bool> bits(cols.size());
    std::vector<std::pair<uint32_t, uint32_t>> spans;
    for (const auto& col : cols) {
        std::string cw = where + " column " + tagName(col.tag);
        if (is8BitString(mapi::propType(col.tag)))
            c.finding(cw, "8-bit string column in a Unicode store");
        uint32_t want = cellSize(mapi::propType(col.tag));
        if (col.cbData != want)
            c.finding(cw, "cbData " + std::to_string(col.cbData) + ", its type takes " +
                              std::to_string(want));
        uint32_t lo = 0, hi = rgib[TableContext::TCI_4b];
        if (col.cbData == 2) lo = rgib[TableContext::TCI_4b], hi = rgib[TableContext::TCI_2b];
        if (col.cbData == 1) lo = rgib[TableContext::TCI_2b], hi = rgib[TableContext::TCI_1b];
        if (col.ibData < lo || col.ibData + col.cbData > hi)
            c.finding(cw, "cell at " + std::to_string(col.ibData) + " outside its size group [" +
                              std::to_string(lo) + ", " + std::to_string(hi) + ")");
        if (col.iBit < bits.size()) {
            if (bits[col.iBit]) c.finding(cw, "iBit " + std::to_string(col.iBit) + " used twice");
            bits[col.iBit] = true;
        }
        spans.emplace_back(col.ibData, col.ibData + col.cbData);
    }
    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); ++i)
        if (spans[i].first < spans[i - 1].second)
            c.finding(where, "cells overlap at offset " + std::to_string(spans[i].first));

    // Row index against the rows.
    const auto& index = tc.rowIndex();
    std::vector<bool> used(tc.rowCount());
    for (const auto& [id, pos] : index) {
        if (pos >= tc.rowCount()) {
            c.finding(where, "row index sends row id " + hex(id) + " to position " +
                                 std::to_string(pos) + " past the rows");
            continue;
        }
        if (used[pos]) c.finding(where, "row position " + std::to_string(pos) + " indexed twice");
        used[pos] = true;
        if (tc.rowId(pos) != id)
            c.finding(where, "row index sends " + hex(id) + " to the row of " + hex(tc.rowId(pos)));
    }
    for (size_t r = 0; r < tc.rowCount(); ++r) {
        if (!tc.cellExists(r, rowId ? *rowId : TcColumn{kPidTagLtpRowId, 0, 4, 0}))
            c.finding(where, "row " + std::to_string(r) + " has no LtpRowId cell");
    }
    // A row matrix in a subnode: whole rows per block, every block full but the last.
    const auto& perBlock = tc.matrixBlockRows();
    if (!hnidIsHid(tc.hnidRows()) && tc.hnidRows() != 0 && tc.rowSize() > 0) {
        size_t full = kMaxBlockData / tc.rowSize();
        for (size_t i = 0; i + 1 < perBlock.size(); ++i)
            if (perBlock[i] != full)
                c.finding(where, "row matrix block " + std::to_string(i) + " holds " +
                                     std::to_string(perBlock[i]) + " rows, a full block " +
                                     std::to_string(full));
    }
    // HNID 0 is a HID with hidIndex 0, which names no item ([MS-PST] 2.3.1.1,
    // 2.3.3.2): outlook-pst refuses a present cell holding it, readpst drops
    // the value. Outlook's one such cell, in every sample it made, is the
    // receive folder table's default entry (an empty message class); none of
    // the readers we test against reads that table.
    for (const auto& col : cols) {
        if (receiveFolders || heldInline(mapi::propType(col.tag)) || col.cbData != 4) continue;
        size_t zero = 0;
        for (size_t r = 0; r < tc.rowCount(); ++r)
            if (size_t(col.ibData) + 4 <= tc.rowBytes(r).size() && tc.cellExists(r, col) &&
                loadLE32(tc.rowBytes(r).data() + col.ibData) == 0)
                ++zero;
        if (zero > 0)
            c.finding(where + " column " + tagName(col.tag),
                      std::to_string(zero) + " present cells hold HNID 0 instead of a value");
    }
    for (size_t r = 0; r < tc.rowCount(); ++r) {
        try {
            tc.rowProperties(r);
        } catch (const FormatError& e) {
            c.finding(e.structure(), e.reason());
        }
    }
}

void checkPropertyValues(Checker& c, const PropertyContext& pc) {
    if (pc.node().heap().userRoot() != kFirstHid)
        c.finding(pc.node().where(), "property context BTHHEADER at heap id " +
                                         hex(pc.node().heap().userRoot()) +
                                         ", Outlook puts it at " + hex(kFirstHid));
    for (const auto& e : pc.entries()) {
        if (is8BitString(e.type))
            c.finding(pc.node().where(), "8-bit string property " +
                                             tagName(mapi::makeTag(e.id, e.type)) +
                                             " in a Unicode store");
        try {
            pc.property(e);
            if (e.type == mapi::PT_OBJECT) {
                auto ref = pc.objectRef(e);
                if (!pc.node().findSubnode(ref.nid))
                    c.finding(pc.node().where(), "object property " +
                                                     tagName(mapi::makeTag(e.id, e.type)) +
                                                     " names missing subnode " + hex(ref.nid));
            }
        } catch (const FormatError& err) {
            c.finding(err.structure(), err.reason());
        }
    }
}

void Checker::checkNodes() {
    for (const auto& n : db_->nodes()) {
        std::string where = "node " + hex(n.nid);
        Kind kind = kindOf(n.nid);
        if (kind == Kind::None || kind == Kind::Message) {
            if (kind == Kind::Message) checkMessage(n.nid, n.bidData, n.bidSub, where, 0);
            continue;
        }
        if (n.bidData == 0) {
            finding(where, "no data");
            continue;
        }
        try {
            if (kind == Kind::Pc) {
                PropertyContext pc(db_, n.bidData, n.bidSub, where);
                checkHeapLayout(*this, pc.node().heap());
                checkPropertyValues(*this, pc);
            } else {
                TableContext tc(db_, n.bidData, n.bidSub, where);
                checkHeapLayout(*this, tc.node().heap());
                checkTableLayout(*this, tc, where, nidType(n.nid) == NID_TYPE_RECEIVE_FOLDER_TABLE);
                bool isTemplate = n.nid == NID_HIERARCHY_TABLE_TEMPLATE ||
                                  n.nid == NID_CONTENTS_TABLE_TEMPLATE ||
                                  n.nid == NID_ASSOC_CONTENTS_TABLE_TEMPLATE ||
                                  n.nid == NID_SEARCH_CONTENTS_TABLE_TEMPLATE ||
                                  n.nid == NID_ATTACHMENT_TABLE || n.nid == NID_RECIPIENT_TABLE;
                if (isTemplate && tc.rowCount() != 0)
                    finding(where,
                            "table template holds " + std::to_string(tc.rowCount()) + " rows");
            }
        } catch (const FormatError& e) {
            finding(e.structure(), e.reason());
        }
    }
}

}  // namespace qm::pst::read::check
