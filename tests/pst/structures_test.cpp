// One round trip for every PST structure above the blocks: the node B-tree
// and subnode trees, heaps with BTHs, property contexts and table contexts.
// Each row writes through the writer or its builder, keeping a model of what
// it wrote; the file must check clean with the product's checker and its
// reader must see exactly the model. Every type of value, and big tables,
// are the store round trips' (tests/pst/store).
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>

#include "mapi/error.h"
#include "pst/ltp/bth_builder.h"
#include "pst/ltp/heap_builder.h"
#include "pst/ltp/property_context_builder.h"
#include "pst/ltp/table_context_builder.h"
#include "pst/ndb/node_database_writer.h"
#include "pst/pst_test.h"
#include "pst/read/bth.h"
#include "pst/read/check_internal.h"
#include "pst/read/ltp_node.h"
#include "pst/read/property_context.h"
#include "pst/read/table_context.h"

namespace qm::pst::ltp {
namespace {

using namespace qm::pst::testing;
using mapi::makeTag;
using mapi::Property;
using ndb::NodeDatabaseWriter;
using Model = std::map<std::string, Bytes>;
using Db = std::shared_ptr<read::NodeDatabase>;

std::string key(std::initializer_list<uint64_t> parts) {
    std::string s;
    for (uint64_t p : parts) s += (s.empty() ? "" : "/") + read::hex(p);
    return s;
}

Bytes le32(uint32_t v) {
    Bytes b;
    appendLE32(b, v);
    return b;
}

// A property's value as one byte string: multi-valued items length-prefixed.
Bytes flat(const Property& p) {
    if (p.items.empty()) return p.bytes();
    Bytes b;
    for (const auto& item : p.items) {
        appendLE32(b, uint32_t(item.size()));
        b.insert(b.end(), item.begin(), item.end());
    }
    return b;
}

Property mv(uint16_t id, uint16_t type, std::vector<Bytes> items) {
    Property p;
    p.tag = makeTag(id, type);
    p.items = std::move(items);
    return p;
}

// Nodes the checker does not open as lists or tables hold the raw heaps.
constexpr Nid kRaw = ndb::makeNid(ndb::NID_TYPE_INTERNAL, 0x500);

void put(NodeDatabaseWriter& w, Nid nid, const BuiltNode& n) {
    w.setNode({nid, n.bidData, w.writeSubnodeTree(n.subnodes), 0});
}

struct Structure {
    const char* name;
    // Writes, committing as it goes; returns the model of what it wrote.
    std::function<Model(NodeDatabaseWriter&, const fs::path&)> write;
    // What the reader sees (`written` names the roots a model keeps).
    std::function<Model(const Db&, const Model& written)> read;
    friend void PrintTo(const Structure& s, std::ostream* os) { *os << s.name; }
};

// Random inserts, replacements and deletes over eight commits, each checked
// (clean B-tree pages are dropped after 256 loads); then every node deleted
// but one: the trees collapse to one leaf and every other block is freed.
Model writeRandomNodes(NodeDatabaseWriter& w, const fs::path& path) {
    std::mt19937 rng(1234);
    std::vector<Bid> blocks;
    for (int i = 0; i < 50; ++i) blocks.push_back(w.writeDataBlock(Bytes(8 + i, uint8_t(i))));
    // Node 0x41 keeps every block alive through its subnodes: more than one
    // SLBLOCK holds (so an SIBLOCK over them), the first with its own tree.
    std::vector<ndb::SubnodeEntry> keep;
    for (uint32_t i = 0; i < 700; ++i)
        keep.push_back({ndb::makeNid(ndb::NID_TYPE_LTP, i + 1), blocks[i % blocks.size()], 0});
    keep[0].bidSub = w.writeSubnodeTree(std::vector<ndb::SubnodeEntry>{{0x3F, blocks[1], 0}});
    const Bid keepTree = w.writeSubnodeTree(keep);
    EXPECT_EQ(w.readSubnodeTree(keepTree), keep);
    const std::vector<ndb::SubnodeEntry> unsorted = {{0x3F, 0, 0}, {0x1F, 0, 0}};
    EXPECT_THROW(w.writeSubnodeTree(unsorted), std::logic_error);
    EXPECT_EQ(w.writeSubnodeTree({}), 0u);
    EXPECT_THROW(w.writeDataBlock(Bytes(ndb::kMaxBlockData + 1)), std::logic_error);
    EXPECT_THROW(w.writeDataBlock(Bytes()), std::logic_error);
    EXPECT_EQ(w.writeData({}), 0u);
    w.setNode({0x41, blocks[0], keepTree, 0});
    std::map<Nid, ndb::NodeEntry> model = {{0x41, {0x41, blocks[0], keepTree, 0}}};
    // Kinds of node the checker does not open as lists or tables.
    const uint8_t types[] = {ndb::NID_TYPE_INTERNAL, ndb::NID_TYPE_ATTACHMENT,
                             ndb::NID_TYPE_SEARCH_UPDATE_QUEUE, ndb::NID_TYPE_LTP};
    for (uint8_t t : types) w.reserveNid(ndb::makeNid(t, 0x400 + 5000));
    for (int round = 0; round < 8; ++round) {
        for (int i = 0; i < 1500; ++i) {
            const Nid nid = ndb::makeNid(types[rng() % 4], 0x400 + rng() % 5000);
            if (nid == 0x41) continue;
            if (rng() % 4 == 0) {
                EXPECT_EQ(w.deleteNode(nid), model.erase(nid) > 0);
            } else {
                const ndb::NodeEntry e{nid, blocks[rng() % blocks.size()], 0,
                                       rng() % 3 ? 0u : 0x122u};
                w.setNode(e);
                model[nid] = e;
            }
        }
        w.commit();
        expectClean(path, true);
        if (round == 0) {  // our reader sees the subnodes as written
            std::vector<ndb::SubnodeEntry> seen;
            for (const auto& s : read::NodeDatabase::open(path)->readSubnodes(keepTree))
                seen.push_back({s.nid, s.bidData, s.bidSub});
            EXPECT_EQ(seen, keep);
        }
        for (const auto& [nid, e] : model) EXPECT_EQ(w.findNode(nid), e) << key({nid});
    }
    for (const auto& [nid, e] : model)
        if (nid != 0x41) w.deleteNode(nid);
    w.setNode({0x41, blocks[0], 0, 0});
    return {{"0x41", Bytes(8, 0)}};  // block 0's data
}

Model readNodes(const Db& db, const Model&) {
    EXPECT_EQ(db->nodes().size(), 1u);
    for (const auto& p : db->pages()) EXPECT_EQ(p.level, 0u);
    EXPECT_EQ(db->blocks().size(), 1u) << "the subnode tree and every other block are freed";
    return {{read::hex(db->nodes().at(0).nid), db->readStream(db->nodes().at(0).bidData)}};
}

Bytes packed(const std::map<uint32_t, uint32_t>& records) {
    Bytes b;
    for (const auto& [k, v] : records) {
        appendLE32(b, k);
        appendLE32(b, v);
    }
    return b;
}

// A heap grown and flushed again and again, as a folder's contents table is
// at every commit: a flush keeps only the last fill-level page in memory, so
// a change below an earlier one must read that page back. In it two BTHs:
// one inserted into record by record (growing keys, then random ones), one
// appended to in batches of any size.
Model writeHeap(NodeDatabaseWriter& w, const fs::path&) {
    HeapBuilder heap(w, ndb::bTypePC);
    std::mt19937 rng(3);
    std::map<Hid, Bytes> items;
    const Hid biggest = heap.allocate(pattern(ndb::kMaxHeapAllocation, 1));
    items[biggest] = pattern(ndb::kMaxHeapAllocation, 1);
    EXPECT_THROW(heap.allocate(Bytes(ndb::kMaxHeapAllocation + 1)), std::logic_error);
    heap.setUserRoot(biggest);
    uint32_t seed = 1;
    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < 1000; ++i) {
            const Bytes b = pattern(i % 7 ? 290 : rng() % 700, ++seed);
            items[heap.allocate(b)] = b;
        }
        w.setNode({kRaw, heap.flush(), 0, 0});
        w.commit();
    }
    std::map<uint32_t, uint32_t> inserted, appended = {{0, 0}};
    BthBuilder inc = BthBuilder::create(heap, 4, 4);
    for (uint32_t i = 0; i < 4000; ++i) {
        const uint32_t k = i < 2000 ? i + 1 : uint32_t(1 + rng() % 100000);
        inserted[k] = i;
        inc.insert(le32(k), le32(i));
    }
    EXPECT_FALSE(inc.find(le32(0)));
    BthBuilder app = BthBuilder::create(heap, 4, 4);
    app.append(packed({{0, 0}}));
    uint32_t next = 1;
    for (uint32_t batch : {1u, 445u, 1u, 2u, 3000u, 196000u, 1u, 447u, 5000u}) {
        std::map<uint32_t, uint32_t> records;
        for (uint32_t i = 0; i < batch; ++i, ++next) records[next * 2] = next;
        app.append(packed(records));
        appended.merge(records);
    }
    EXPECT_THROW(app.append(packed({{2, 1}})), std::logic_error);
    // Room made in blocks whose levels the first bitmap page (block 8)
    // holds, and values grown in others: their levels change.
    int n = 0;
    std::map<Hid, Bytes> moved;
    for (auto it = items.begin(); it != items.end();) {
        const uint32_t block = ndb::hidBlock(it->first);
        if (block >= 9 && block <= 60 && n++ % 3 == 0) {
            heap.free(it->first);
            it = items.erase(it);
        } else if (block >= 70 && block <= 130 && n++ % 5 == 0) {
            const Bytes b = pattern(900, ++seed);
            moved[heap.replace(it->first, b)] = b;
            it = items.erase(it);
        } else {
            ++it;
        }
    }
    items.merge(moved);
    const Bid root = heap.flush();
    w.setNode({kRaw, root, 0, 0});
    auto reopened = HeapBuilder::open(w, root);
    Model m = {{"~inserted", packed(inserted)}, {"~appended", packed(appended)}};
    appendLE32(m["~bths"], inc.header());
    appendLE32(m["~bths"], app.header());
    for (const auto& [hid, b] : items) {
        EXPECT_EQ(reopened->read(hid), b);
        m[key({hid})] = b;
    }
    EXPECT_EQ(reopened->flush(), root) << "nothing changed: the same tree";
    return m;
}

// The fill levels and page maps held to the checker's rules; the BTHs as
// load() would build them: one index level over the inserts, two over the
// 206,000 appended records.
Model readHeap(const Db& db, const Model& written) {
    read::LtpNode node(db, db->node(kRaw).bidData, 0, "heap");
    read::CheckReport report;
    read::check::Checker checker(db, report);
    read::check::checkHeapLayout(checker, node.heap());
    EXPECT_TRUE(report.clean()) << joined(report);
    EXPECT_GT(node.heap().blockCount(), 264u) << "three bitmap pages";
    Model m = {{"~bths", written.at("~bths")}};
    for (uint32_t i = 0; i < 2; ++i) {
        read::Bth bth(node.heap(), loadLE32(written.at("~bths").data() + 4 * i));
        EXPECT_EQ(bth.indexLevels(), i + 1);
        Bytes& b = m[i ? "~appended" : "~inserted"];
        for (const auto& r : bth.records()) {
            b.insert(b.end(), r.key.begin(), r.key.end());
            b.insert(b.end(), r.data.begin(), r.data.end());
        }
    }
    for (const auto& [k, v] : written) {
        if (k.starts_with("~")) continue;
        const auto item = node.heap().item(uint32_t(std::stoul(k, nullptr, 16)));
        m[k] = Bytes(item.begin(), item.end());
    }
    return m;
}

// Values inline, on the heap and in subnodes (3580 bytes on the heap, 3581
// in a subnode, one value as a stream) and 900 more, so the heap spans pages
// and the BTH needs an index level; a size value filled in from what the
// builder reports before it writes must be what lands in the file. Beside
// it, a store node with nothing a store needs: the checker says so.
constexpr Nid kPc = kRaw;
constexpr mapi::PropTag kSizeTag = makeTag(0x0E08, mapi::PT_LONG);

Model writePropertyContext(NodeDatabaseWriter& w, const fs::path&) {
    Property streamed;
    streamed.tag = makeTag(0x6014, mapi::PT_BINARY);
    streamed.stream = std::make_shared<PatternSource>(300000, 20);
    const std::vector<Property> props = {
        Property::boolean(makeTag(0x6008, mapi::PT_BOOLEAN), true),
        Property::utf8(makeTag(0x600F, mapi::PT_UNICODE), ""),
        Property::binary(makeTag(0x6010, mapi::PT_BINARY), {}),
        Property::binary(makeTag(0x6011, mapi::PT_BINARY), pattern(3581, 17)),
        Property::binary(makeTag(0x6012, mapi::PT_BINARY), pattern(3580, 18)),
        Property::unicode(makeTag(0x6013, mapi::PT_UNICODE), std::u16string(30000, u'x')),
        streamed,
        mv(0x601D, mapi::PT_MV_BINARY, {pattern(10, 1), {}, pattern(3000, 2), pattern(2000, 3)}),
    };
    PropertyContextBuilder pc(w);
    EXPECT_THROW(pc.set(Property::raw(makeTag(0x6001, mapi::PT_LONG), {1, 2})), Error);
    EXPECT_THROW(pc.set(Property::raw(makeTag(0x6001, mapi::PT_NULL), {})), std::logic_error);
    Model m;
    for (const auto& p : props) {
        pc.set(p);
        m[key({p.tag})] = flat(p);
    }
    pc.set(Property::int32(makeTag(0x6002, mapi::PT_LONG), 1));
    pc.set(Property::int32(makeTag(0x6002, mapi::PT_LONG), 7));  // replaces
    m[key({makeTag(0x6002, mapi::PT_LONG)})] = le32(7);
    for (uint16_t id = 0; id < 900; ++id) {
        pc.set(Property::binary(makeTag(uint16_t(0x8000 + id), mapi::PT_BINARY), pattern(40, id)));
        m[key({makeTag(uint16_t(0x8000 + id), mapi::PT_BINARY)})] = pattern(40, id);
    }
    EXPECT_THROW(pc.build(kSizeTag, [](uint64_t, const auto&) { return 0; }), std::logic_error)
        << "the size property must be in the PC";
    pc.set(Property::int32(kSizeTag, 0));
    uint64_t heapBytes = 0;
    BuiltNode n =
        pc.build(kSizeTag, [&](uint64_t bytes, const auto&) { return int32_t(heapBytes = bytes); });
    EXPECT_EQ(heapBytes, w.dataSize(n.bidData));
    m[key({kSizeTag})] = le32(uint32_t(heapBytes));
    put(w, kPc, n);
    PropertyContextBuilder bare(w);
    bare.set(Property::int32(kSizeTag, 0));
    bare.set(Property::int32(makeTag(0x8000, mapi::PT_LONG), 1));  // no name map names it
    put(w, ndb::NID_MESSAGE_STORE, bare.build());
    return m;
}

// Inline values sit in the record, big ones in LTP subnodes, empty ones are
// zero-length allocations (HID 0 names nothing).
Model readPropertyContext(const Db& db, const Model&) {
    const std::string said = joined(read::checkFile(db->path()));
    for (const char* says : {"no PidTagDisplayName", "PidTagRecordKey is not 16 bytes",
                             "node 0x61 is missing", "root folder 0x122 is missing"})
        EXPECT_NE(said.find(says), std::string::npos) << says << "\n" << said;
    read::PropertyContext pc(db, db->node(kPc).bidData, db->node(kPc).bidSub, "pc");
    EXPECT_EQ(pc.bth().indexLevels(), 1u);
    for (const auto& e : pc.entries()) {
        const bool inSubnode = e.id == 0x6011 || e.id == 0x6013 || e.id == 0x6014;
        EXPECT_TRUE(e.id != 0x6008 || e.value == 1u) << "a boolean inline";
        EXPECT_TRUE(!inSubnode || ndb::nidType(e.value) == ndb::NID_TYPE_LTP) << std::hex << e.id;
        EXPECT_TRUE(e.id != 0x6012 || ndb::hnidIsHid(e.value)) << "3580 bytes on the heap";
        const bool empty = e.id == 0x600F || e.id == 0x6010;
        EXPECT_TRUE(!empty || (ndb::hnidIsHid(e.value) && e.value != 0)) << "empty, on the heap";
    }
    Model m;
    for (const auto& p : pc.properties()) m[key({p.tag})] = flat(p);
    return m;
}

// A contents table (so the checker holds it to Outlook's layout) of 600
// rows, so its matrix spans blocks, reopened from the file as a store that
// dropped its builder does: multi-valued strings, a CLSID, a short, an empty
// binary cell and one in a subnode, which goes when its row is updated.
constexpr Nid kTable = 0x802E;
const std::vector<mapi::PropTag> kColumns = {
    makeTag(0x6001, mapi::PT_SHORT), makeTag(0x6002, mapi::PT_CLSID),
    makeTag(0x6003, mapi::PT_BINARY), makeTag(0x6004, mapi::PT_MV_UNICODE)};

uint32_t rowIdFor(uint32_t i) {
    return ndb::makeNid(ndb::NID_TYPE_NORMAL_MESSAGE, 0x10001 + i);
}

Model writeTable(NodeDatabaseWriter& w, const fs::path&) {
    w.reserveNid(kTable);
    auto tc = std::make_unique<TableContextBuilder>(w, kColumns);
    Model m;
    for (uint32_t i = 0; i < 600; ++i) {
        const size_t binary = i == 0 ? 0 : i == 2 ? 5000 : 10;  // empty, or in a subnode
        const std::vector<Property> cells = {
            Property::int16(kColumns[0], int16_t(i)), Property::raw(kColumns[1], pattern(16, i)),
            Property::binary(kColumns[2], pattern(binary, i)),
            mv(0x6004, mapi::PT_MV_UNICODE, {{'a', 0}, {}, {uint8_t('0' + i % 10), 0}}),
            Property::int32(makeTag(0x7777, mapi::PT_LONG), 1)};  // not a column: left out
        tc->addRow(rowIdFor(i), cells);
        for (size_t c = 0; c < kColumns.size(); ++c) m[key({i, cells[c].tag})] = flat(cells[c]);
    }
    put(w, kTable, tc->flush());
    w.commit();
    tc = TableContextBuilder::open(w, w.findNode(kTable)->bidData, w.findNode(kTable)->bidSub);
    EXPECT_EQ(tc->rowCount(), 600u);
    const std::vector<Property> changed = {Property::binary(kColumns[2], pattern(9, 9))};
    EXPECT_TRUE(tc->updateRow(rowIdFor(2), changed));
    EXPECT_FALSE(tc->updateRow(rowIdFor(600), changed));
    std::erase_if(m, [](const auto& kv) { return kv.first.starts_with(key({2}) + "/"); });
    m[key({2, changed[0].tag})] = flat(changed[0]);
    put(w, kTable, tc->flush());
    return m;
}

Model readTable(const Db& db, const Model&) {
    read::TableContext t(db, db->node(kTable).bidData, db->node(kTable).bidSub, "table");
    EXPECT_EQ(t.node().subnodes().size(), 1u) << "the row matrix; row 2's old binary is gone";
    Model m;
    for (uint32_t r = 0; r < t.rowCount(); ++r) {
        EXPECT_EQ(t.rowId(r), rowIdFor(r));
        for (const auto& p : t.rowProperties(r))
            if (p.tag != ndb::kPidTagLtpRowId && p.tag != ndb::kPidTagLtpRowVer)
                m[key({r, p.tag})] = flat(p);
    }
    return m;
}

const Structure kStructures[] = {
    {"RandomNodes", writeRandomNodes, readNodes},
    {"Heap", writeHeap, readHeap},
    {"PropertyContext", writePropertyContext, readPropertyContext},
    {"TableContext", writeTable, readTable},
};

class PstStructures : public ::testing::TestWithParam<Structure> {};

TEST_P(PstStructures, RoundTripAgainstTheModel) {
    const Structure& s = GetParam();
    ScratchDir dir;
    const auto path = dir / "t.pst";
    Model written;
    {
        auto w = NodeDatabaseWriter::create(path);
        written = s.write(*w, path);
        w->close();
    }
    expectClean(path, /*loose=*/true);
    const Db db = read::NodeDatabase::open(path);
    const Model seen = s.read(db, written);
    EXPECT_EQ(seen.size(), written.size());
    for (const auto& [k, v] : written)
        ASSERT_TRUE(seen.count(k) && seen.at(k) == v) << k << " not read back as written";
}

INSTANTIATE_TEST_SUITE_P(, PstStructures, ::testing::ValuesIn(kStructures),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qm::pst::ltp
