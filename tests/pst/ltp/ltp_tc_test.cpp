// Table contexts: layout, rows inline and in a subnode, appends across
// flushes and commits that keep the full blocks, reopening, row updates;
// read back by the reader.
#include <gtest/gtest.h>

#include "ltp_test_util.h"
#include "pst/ltp/table_context_builder.h"
#include "pst/read/bth.h"
#include "pst/read/table_context.h"

namespace qm::pst::ltp {
namespace {

using mapi::makeTag;
using mapi::Property;
using testing::pattern;
using testing::Scratch;

const std::vector<mapi::PropTag> kColumns = {
    makeTag(0x0017, mapi::PT_LONG),       makeTag(0x0037, mapi::PT_UNICODE),
    makeTag(0x0039, mapi::PT_SYSTIME),    makeTag(0x0E07, mapi::PT_LONG),
    makeTag(0x0E1B, mapi::PT_BOOLEAN),    makeTag(0x6001, mapi::PT_SHORT),
    makeTag(0x6002, mapi::PT_CLSID),      makeTag(0x6003, mapi::PT_BINARY),
    makeTag(0x6004, mapi::PT_MV_UNICODE), makeTag(0x6005, mapi::PT_LONGLONG),
};

std::vector<Property> cellsFor(uint32_t i) {
    std::vector<Property> c;
    c.push_back(Property::int32(makeTag(0x0017, mapi::PT_LONG), int32_t(i % 3)));
    c.push_back(Property::utf8(makeTag(0x0037, mapi::PT_UNICODE), "Subject " + std::to_string(i)));
    c.push_back(Property::time(makeTag(0x0039, mapi::PT_SYSTIME), 0x01CA000000000000ull + i));
    if (i % 2) c.push_back(Property::boolean(makeTag(0x0E1B, mapi::PT_BOOLEAN), i % 4 == 1));
    c.push_back(Property::int16(makeTag(0x6001, mapi::PT_SHORT), int16_t(i)));
    c.push_back(Property::raw(makeTag(0x6002, mapi::PT_CLSID), pattern(16, i)));
    if (i % 7 == 0)
        c.push_back(Property::binary(makeTag(0x6003, mapi::PT_BINARY), pattern(i % 50, i)));
    if (i == 9) c.push_back(Property::binary(makeTag(0x6003, mapi::PT_BINARY), pattern(5000, i)));
    if (i % 5 == 0) {
        Property mv;
        mv.tag = makeTag(0x6004, mapi::PT_MV_UNICODE);
        mv.items = {{'a', 0}, {}, {uint8_t('0' + i % 10), 0}};
        c.push_back(mv);
    }
    c.push_back(Property::int64(makeTag(0x6005, mapi::PT_LONGLONG), -int64_t(i)));
    c.push_back(Property::int32(makeTag(0x7777, mapi::PT_LONG), 1));  // not a column: ignored
    return c;
}

// The row matrix: the biggest of the table's subnodes.
Bid matrixRoot(const ndb::NodeDatabaseWriter& w, ndb::Nid nid) {
    Bid best = 0;
    for (const auto& sn : w.readSubnodeTree(w.findNode(nid)->bidSub))
        if (!best || w.dataSize(sn.bidData) > w.dataSize(best)) best = sn.bidData;
    return best;
}

uint32_t rowIdFor(uint32_t i) {
    return ndb::makeNid(ndb::NID_TYPE_NORMAL_MESSAGE, 0x10001 + i);
}

// Every row of the reader's table against cellsFor().
void expectRows(const read::TableContext& t, uint32_t count) {
    ASSERT_EQ(t.rowCount(), count);
    ASSERT_EQ(t.rowIndex().size(), count);
    for (uint32_t i = 0; i < count; ++i) {
        ASSERT_EQ(t.rowId(i), rowIdFor(i));
        mapi::PropertyBag bag = t.rowProperties(i);
        for (const auto& p : cellsFor(i)) {
            if (p.id() == 0x7777) {
                EXPECT_FALSE(bag.find(p.tag));
                continue;
            }
            const Property* got = bag.find(p.tag);
            ASSERT_TRUE(got) << "row " << i << " tag " << std::hex << p.tag;
            if (p.items.empty())
                ASSERT_EQ(got->bytes(), p.bytes()) << "row " << i << " tag " << std::hex << p.tag;
            else
                ASSERT_EQ(got->items, p.items);
        }
        EXPECT_EQ(bag.find(makeTag(0x0E1B, mapi::PT_BOOLEAN)) != nullptr, i % 2 == 1);
    }
}

TEST(LtpTc, LayoutFollowsCellSizes) {
    TableLayout l = TableLayout::forTags(kColumns);
    ASSERT_EQ(l.columns.size(), kColumns.size() + 2);
    const TableColumn* id = l.find(ndb::kPidTagLtpRowId);
    const TableColumn* ver = l.find(ndb::kPidTagLtpRowVer);
    EXPECT_EQ(id->ibData, 0);
    EXPECT_EQ(id->iBit, 0);
    EXPECT_EQ(ver->ibData, 4);
    EXPECT_EQ(ver->iBit, 1);
    EXPECT_EQ(l.find(makeTag(0x0039, mapi::PT_SYSTIME))->ibData, 8);  // 8-byte cells first
    EXPECT_EQ(l.find(makeTag(0x6005, mapi::PT_LONGLONG))->ibData, 16);
    EXPECT_EQ(l.find(makeTag(0x6002, mapi::PT_CLSID))->cbData, 4);  // a GUID is an HNID
    EXPECT_EQ(l.end8_4, 24 + 6 * 4);
    EXPECT_EQ(l.end2, l.end8_4 + 2);
    EXPECT_EQ(l.end1, l.end2 + 1);
    EXPECT_EQ(l.rowSize, l.end1 + 2);
    for (size_t i = 1; i < l.columns.size(); ++i) EXPECT_LT(l.columns[i - 1].tag, l.columns[i].tag);
}

// The HIDs every table Outlook writes uses (readers of the java-libpst
// family take the row index's header at 0x20 for granted).
void expectOutlooksHeapOrder(const read::TableContext& t) {
    EXPECT_EQ(t.hidRowIndex(), 0x20u) << "row index BTHHEADER";
    EXPECT_EQ(t.node().heap().userRoot(), 0x40u) << "TCINFO";
    if (t.rowCount() == 0) return;
    EXPECT_EQ(read::Bth(t.node().heap(), 0x20).rootHid(), 0x60u) << "row index leaf";
    if (ndb::hnidIsHid(t.hnidRows())) {
        EXPECT_EQ(t.hnidRows(), 0x80u) << "row matrix";
    }
}

TEST(LtpTc, EmptyAndInlineTables) {
    Scratch s;
    TableContextBuilder empty(*s.w, kColumns);
    s.put(0x60E, empty.flush());
    TableContextBuilder few(*s.w, kColumns);
    for (uint32_t i = 0; i < 5; ++i) few.addRow(rowIdFor(i), cellsFor(i));
    s.put(0x12E, few.flush());
    auto db = s.commitAndRead();
    read::TableContext e(db, db->findNode(0x60E)->bidData, db->findNode(0x60E)->bidSub, "empty");
    EXPECT_EQ(e.rowCount(), 0u);
    EXPECT_EQ(e.hnidRows(), 0u);
    EXPECT_EQ(e.columns().size(), kColumns.size() + 2);
    expectOutlooksHeapOrder(e);
    const auto* n = db->findNode(0x12E);
    read::TableContext t(db, n->bidData, n->bidSub, "few");
    EXPECT_TRUE(ndb::hnidIsHid(t.hnidRows())) << "five rows fit in the heap";
    expectRows(t, 5);
    expectOutlooksHeapOrder(t);
    // Row 0's binary cell is empty: present, and a zero-length allocation.
    const read::TcColumn* bin = t.findColumn(makeTag(0x6003, mapi::PT_BINARY));
    ASSERT_TRUE(bin && t.cellExists(0, *bin));
    const uint32_t hnid = loadLE32(t.rowBytes(0).data() + bin->ibData);
    ASSERT_TRUE(ndb::hnidIsHid(hnid) && hnid != 0) << hnid;
    EXPECT_TRUE(t.node().heap().item(hnid).empty());
    EXPECT_EQ(t.node().heap().pageMap(0).cFree, 1u) << "readers count zero-length items as cFree";
}

TEST(LtpTc, GrowingTableKeepsFullBlocksAcrossFlushesAndReopening) {
    Scratch s;
    const ndb::Nid nid = 0x802E;
    auto tc = std::make_unique<TableContextBuilder>(*s.w, kColumns);
    uint32_t rows = 0;
    std::vector<Bid> firstBlocks;
    for (int round = 0; round < 12; ++round) {
        for (int i = 0; i < 250; ++i, ++rows) tc->addRow(rowIdFor(rows), cellsFor(rows));
        BuiltNode n = tc->flush();
        s.put(nid, n);
        if (round % 3 == 2) {
            s.w->commit();
            // Reopen from the file, as a store that dropped its builder does.
            auto node = s.w->findNode(nid);
            tc = TableContextBuilder::open(*s.w, node->bidData, node->bidSub);
            EXPECT_EQ(tc->rowCount(), rows);
        }
        if (round == 5) {
            firstBlocks = s.w->dataTreeBlocks(matrixRoot(*s.w, nid));
        }
    }
    auto db = s.commitAndRead();
    const auto* n = db->findNode(nid);
    read::TableContext t(db, n->bidData, n->bidSub, "contents");
    EXPECT_FALSE(ndb::hnidIsHid(t.hnidRows()));
    expectRows(t, rows);
    // Full row blocks written early are the same blocks at the end.
    auto lastBlocks = s.w->dataTreeBlocks(matrixRoot(*s.w, nid));
    ASSERT_GT(firstBlocks.size(), 2u);
    for (size_t k = 0; k + 1 < firstBlocks.size(); ++k)
        EXPECT_EQ(firstBlocks[k], lastBlocks[k]) << k;
    // Every block but the last holds 8176 bytes.
    const auto& sizes = t.matrixBlockSizes();
    for (size_t k = 0; k + 1 < sizes.size(); ++k) EXPECT_EQ(sizes[k], ndb::kMaxBlockData);
}

TEST(LtpTc, UpdateRowsInPlace) {
    Scratch s;
    TableContextBuilder tc(*s.w, kColumns);
    for (uint32_t i = 0; i < 400; ++i) tc.addRow(rowIdFor(i), cellsFor(i));
    s.put(0x802E, tc.flush());
    s.w->commit();
    auto node = s.w->findNode(0x802E);
    auto re = TableContextBuilder::open(*s.w, node->bidData, node->bidSub);
    std::vector<Property> changed = {Property::utf8(makeTag(0x0037, mapi::PT_UNICODE), "changed")};
    EXPECT_TRUE(re->updateRow(rowIdFor(123), changed));
    EXPECT_TRUE(re->updateRow(rowIdFor(9), changed));  // had a subnode value
    EXPECT_FALSE(re->updateRow(12345, changed));
    EXPECT_EQ(re->findRow(rowIdFor(123)), 123u);
    auto back = re->readRow(123);
    ASSERT_EQ(back.size(), 3u);  // RowId, RowVer, subject
    s.put(0x802E, re->flush());
    auto db = s.commitAndRead();
    const auto* n = db->findNode(0x802E);
    read::TableContext t(db, n->bidData, n->bidSub, "contents");
    ASSERT_EQ(t.rowCount(), 400u);
    auto bag = t.rowProperties(123);
    EXPECT_EQ(bag.string(0x0037), "changed");
    EXPECT_FALSE(bag.find(makeTag(0x0017, mapi::PT_LONG)));
    EXPECT_EQ(t.rowProperties(124).string(0x0037), "Subject 124");
    EXPECT_EQ(t.node().subnodes().size(), 1u) << "the big cell of row 9 is gone";
}

}  // namespace
}  // namespace qm::pst::ltp
