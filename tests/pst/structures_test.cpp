// One round trip for every PST structure above the blocks: the node B-tree
// and subnode trees, heaps, BTHs, property contexts and table contexts. Each
// row writes through the writer or its builder, keeping a simple model of
// what it wrote (named byte strings); the file must check clean with the
// product's checker, and the product's reader must see exactly the model.
// What a model cannot show (layouts, kept blocks, index levels) is each
// row's own check. Data blocks and trees are the store round trips'.
#include <gtest/gtest.h>

#include <algorithm>
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

// Nodes the checker does not open as lists or tables hold the raw heaps.
constexpr Nid kRaw = ndb::makeNid(ndb::NID_TYPE_INTERNAL, 0x500);

void put(NodeDatabaseWriter& w, Nid nid, const BuiltNode& n) {
    w.setNode({nid, n.bidData, w.writeSubnodeTree(n.subnodes), 0});
}

uint32_t depth(const read::NodeDatabase& db, uint8_t ptype) {
    uint32_t d = 0;
    for (const auto& p : db.pages())
        if (p.ptype == ptype) d = std::max<uint32_t>(d, p.level);
    return d;
}

struct Structure {
    const char* name;
    ndb::CryptMethod crypt;
    // Writes, committing as it goes; returns the model of what it wrote.
    std::function<Model(NodeDatabaseWriter&, const fs::path&)> write;
    // What the reader sees (`written` names the roots a model keeps).
    std::function<Model(const Db&, const Model& written)> read;
    std::function<void(const Db&, const fs::path&)> check = [](const Db&, const fs::path&) {};
};

Bytes nodeBytes(Bid data, Bid sub, Nid parent) {
    Bytes b;
    appendLE64(b, data);
    appendLE64(b, sub);
    appendLE32(b, parent);
    return b;
}

Model readNodes(const Db& db, const Model&) {
    Model m;
    for (const auto& n : db->nodes()) m[key({n.nid})] = nodeBytes(n.bidData, n.bidSub, n.nidParent);
    return m;
}

// Random inserts, replacements and deletes over eight commits, each checked;
// then everything deleted but one node: the tree collapses to one leaf.
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
            const auto seen = read::NodeDatabase::open(path)->readSubnodes(keepTree);
            EXPECT_EQ(seen.size(), keep.size());
            for (size_t i = 0; i < seen.size() && i < keep.size(); ++i)
                EXPECT_TRUE(seen[i].nid == keep[i].nid && seen[i].bidData == keep[i].bidData &&
                            seen[i].bidSub == keep[i].bidSub);
        }
        for (const auto& [nid, e] : model) EXPECT_EQ(w.findNode(nid), e) << key({nid});
    }
    size_t visited = 0;
    Nid prev = 0;
    w.forEachNode([&](const ndb::NodeEntry& e) {
        EXPECT_GT(e.nid, prev);
        prev = e.nid;
        ++visited;
    });
    EXPECT_EQ(visited, model.size());
    for (const auto& [nid, e] : model)
        if (nid != 0x41) w.deleteNode(nid);
    w.setNode({0x41, blocks[0], 0, 0});
    return {{key({0x41}), nodeBytes(blocks[0], 0, 0)}};
}

// A heap grown and flushed again and again, as a folder's contents table is
// at every commit: a flush keeps only the last fill-level page in memory, so
// a change below an earlier one must read that page back.
Model writeHeap(NodeDatabaseWriter& w, const fs::path&) {
    HeapBuilder heap(w, ndb::bTypePC);
    std::mt19937 rng(3);
    Model m;
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
    EXPECT_GT(heap.pageCount(), 140u) << "past the second fill-level page";
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
    EXPECT_EQ(reopened->pageCount(), heap.pageCount());
    for (const auto& [hid, b] : items) {
        EXPECT_EQ(reopened->read(hid), b);
        m[key({hid})] = b;
    }
    EXPECT_EQ(reopened->flush(), root) << "nothing changed: the same tree";
    // A page holds exactly 8176 bytes: HNHDR 12 + items 8152 + cAlloc and
    // cFree 4 + four offsets 8.
    HeapBuilder one(w, ndb::bTypePC);
    const Hid a = one.allocate(pattern(3580, 1));
    one.allocate(pattern(3580, 2));
    const Hid c = one.allocate(pattern(992, 3));
    EXPECT_EQ(one.replace(a, pattern(3580, 4)), a);
    EXPECT_EQ(one.replace(c, pattern(991, 5)), c);
    EXPECT_EQ(one.replace(c, pattern(992, 6)), c);
    EXPECT_EQ(one.pageCount(), 1u);
    EXPECT_EQ(w.readBlock(w.dataTreeBlocks(one.flush())[0]).size(), ndb::kMaxBlockData);
    return m;
}

Model readHeap(const Db& db, const Model& written) {
    read::LtpNode node(db, db->node(kRaw).bidData, 0, "heap");
    EXPECT_EQ(node.heap().clientSig(), ndb::bTypePC);
    Model m;
    for (const auto& [k, v] : written) {
        const auto item = node.heap().item(uint32_t(std::stoul(k, nullptr, 16)));
        m[k] = Bytes(item.begin(), item.end());
    }
    return m;
}

// The heap's fill levels and page maps, held to the checker's rules.
void checkHeapLayout(const Db& db, const fs::path&) {
    read::CheckReport report;
    read::check::Checker checker(db, report);
    read::LtpNode node(db, db->node(kRaw).bidData, 0, "heap");
    read::check::checkHeapLayout(checker, node.heap());
    EXPECT_TRUE(report.clean()) << joined(report);
}

Bytes packed(const std::map<uint32_t, uint32_t>& records) {
    Bytes b;
    for (const auto& [k, v] : records) {
        appendLE32(b, k);
        appendLE32(b, v);
    }
    return b;
}

// Three BTHs in one heap: built at once, inserted one by one (growing keys,
// then random), and appended in batches of any size onto a tree insert()
// started, which must give the tree the whole run builds at once.
Model writeBths(NodeDatabaseWriter& w, const fs::path&) {
    HeapBuilder heap(w, ndb::bTypeBTH);
    std::map<uint32_t, uint32_t> bulk, inserted, appended = {{0, 0}};
    for (uint32_t k = 0; k < 5000; ++k) bulk[k * 3] = k;
    const Hid bulkHid = BthBuilder::build(heap, 4, 4, packed(bulk));
    BthBuilder inc = BthBuilder::create(heap, 4, 4);
    std::mt19937 rng(5);
    for (uint32_t i = 0; i < 4000; ++i) {
        const uint32_t k = i < 2000 ? i : uint32_t(rng() % 100000);
        inserted[k] = i;
        inc.insert(le32(k), le32(i));
    }
    EXPECT_GE(inc.indexLevels(), 1u);
    EXPECT_EQ(inc.count(), inserted.size());
    for (const auto& [k, v] : inserted) EXPECT_EQ(inc.find(le32(k)), le32(v)) << k;
    EXPECT_FALSE(inc.find(le32(100001)));
    BthBuilder app = BthBuilder::create(heap, 4, 4);
    app.insert(le32(0), le32(0));
    uint32_t next = 1;
    for (uint32_t batch : {1u, 445u, 1u, 2u, 3000u, 196000u, 1u, 447u, 5000u}) {
        std::map<uint32_t, uint32_t> records;
        for (uint32_t i = 0; i < batch; ++i, ++next) records[next * 2] = next;
        app.append(packed(records));
        appended.merge(records);
        EXPECT_EQ(app.lastKey(), le32((next - 1) * 2));
    }
    EXPECT_THROW(app.append(packed({{2, 1}})), std::logic_error);
    EXPECT_EQ(app.indexLevels(), 2u);
    const Hid all = BthBuilder::build(heap, 4, 4, packed(appended));
    heap.setUserRoot(inc.header());
    w.setNode({kRaw, heap.flush(), 0, 0});
    Bytes hids;
    for (Hid h : {bulkHid, inc.header(), app.header(), all}) appendLE32(hids, h);
    return {{"hids", hids},
            {"bulk", packed(bulk)},
            {"inserted", packed(inserted)},
            {"appended", packed(appended)},
            {"built", packed(appended)}};
}

Model readBths(const Db& db, const Model& written) {
    read::LtpNode node(db, db->node(kRaw).bidData, 0, "bth");
    Model m = {{"hids", written.at("hids")}};
    uint8_t levels[4] = {};
    const char* names[] = {"bulk", "inserted", "appended", "built"};
    for (int i = 0; i < 4; ++i) {
        read::Bth bth(node.heap(), loadLE32(written.at("hids").data() + 4 * i));
        levels[i] = bth.indexLevels();
        Bytes& b = m[names[i]];
        for (const auto& r : bth.records()) {
            b.insert(b.end(), r.key.begin(), r.key.end());
            b.insert(b.end(), r.data.begin(), r.data.end());
        }
    }
    EXPECT_EQ(levels[0], 1);
    EXPECT_EQ(levels[2], levels[3]);
    return m;
}

Property raw(uint16_t id, uint16_t type, Bytes v) {
    return Property::raw(makeTag(id, type), std::move(v));
}
Property mv(uint16_t id, uint16_t type, std::vector<Bytes> items) {
    Property p;
    p.tag = makeTag(id, type);
    p.items = std::move(items);
    return p;
}

// Every type, inline, on the heap and in subnodes (above 3580 bytes, one
// value as a stream), two objects (one the PC writes, one the caller's) and
// 900 more values, so the heap spans pages; a size value filled in from
// what the builder reports before it writes must be what lands in the file.
// Beside it, a store node with nothing a store needs: the checker says so.
constexpr Nid kPc = kRaw;
constexpr mapi::PropTag kSizeTag = makeTag(0x0E08, mapi::PT_LONG);

Model writePropertyContext(NodeDatabaseWriter& w, const fs::path&) {
    Property streamed;
    streamed.tag = makeTag(0x6014, mapi::PT_BINARY);
    streamed.stream = std::make_shared<PatternSource>(300000, 20);
    const std::vector<Property> props = {
        Property::int16(makeTag(0x6001, mapi::PT_SHORT), -2),
        raw(0x6003, mapi::PT_FLOAT, {0, 0, 0x80, 0x3F}),
        Property::float64(makeTag(0x6004, mapi::PT_DOUBLE), 3.25),
        raw(0x6005, mapi::PT_CURRENCY, pattern(8, 5)),
        raw(0x6006, mapi::PT_APPTIME, pattern(8, 6)),
        raw(0x6007, mapi::PT_ERROR, {0x0F, 0x01, 0x04, 0x80}),
        Property::boolean(makeTag(0x6008, mapi::PT_BOOLEAN), true),
        Property::int64(makeTag(0x6009, mapi::PT_LONGLONG), -5),
        Property::string8(makeTag(0x600A, mapi::PT_STRING8), "eight bit"),
        Property::utf8(makeTag(0x600B, mapi::PT_UNICODE), "Grüße"),
        Property::time(makeTag(0x600C, mapi::PT_SYSTIME), 0x01CAC625D9699F36ull),
        raw(0x600D, mapi::PT_CLSID, pattern(16, 13)),
        Property::binary(makeTag(0x600E, mapi::PT_BINARY), pattern(100, 14)),
        Property::utf8(makeTag(0x600F, mapi::PT_UNICODE), ""),
        Property::binary(makeTag(0x6010, mapi::PT_BINARY), {}),
        Property::binary(makeTag(0x6011, mapi::PT_BINARY), pattern(3581, 17)),
        Property::binary(makeTag(0x6012, mapi::PT_BINARY), pattern(3580, 18)),
        Property::unicode(makeTag(0x6013, mapi::PT_UNICODE), std::u16string(30000, u'x')),
        streamed,
        raw(0x6015, mapi::PT_MV_SHORT, {1, 0, 2, 0, 3, 0}),
        raw(0x6016, mapi::PT_MV_LONG, pattern(40, 22)),
        raw(0x6017, mapi::PT_MV_DOUBLE, pattern(24, 23)),
        raw(0x6018, mapi::PT_MV_LONGLONG, pattern(16, 24)),
        raw(0x6019, mapi::PT_MV_SYSTIME, pattern(32, 25)),
        raw(0x601A, mapi::PT_MV_CLSID, pattern(48, 26)),
        mv(0x601B, mapi::PT_MV_UNICODE, {{'a', 0, 'b', 0}, {}, {'c', 0}}),
        mv(0x601C, mapi::PT_MV_STRING8, {{'x'}, {'y', 'z'}}),
        mv(0x601D, mapi::PT_MV_BINARY, {pattern(10, 1), {}, pattern(3000, 2), pattern(2000, 3)}),
        raw(0x601E, mapi::PT_MV_CURRENCY, pattern(8, 30)),
    };
    PropertyContextBuilder pc(w);
    EXPECT_THROW(pc.set(raw(0x6001, mapi::PT_LONG, {1, 2})), Error);
    EXPECT_THROW(pc.set(raw(0x6001, mapi::PT_NULL, {})), std::logic_error);
    Model m;
    for (const auto& p : props) {
        pc.set(p);
        m[key({p.tag})] = flat(p);
    }
    pc.set(Property::int32(makeTag(0x6002, mapi::PT_LONG), 1));
    pc.set(Property::int32(makeTag(0x6002, mapi::PT_LONG), 7));  // replaces
    m[key({makeTag(0x6002, mapi::PT_LONG)})] = le32(7);
    pc.set(Property::int32(makeTag(0x6020, mapi::PT_LONG), 7));
    EXPECT_TRUE(pc.erase(0x6020));
    EXPECT_FALSE(pc.erase(0x6020));
    Property ole;
    ole.tag = makeTag(0x3701, mapi::PT_OBJECT);
    ole.value = pattern(20000, 40);
    pc.set(ole);
    pc.setObject(makeTag(0x3702, mapi::PT_OBJECT), 0x8025, 500);
    for (uint16_t id = 0; id < 900; ++id) {
        pc.set(Property::binary(makeTag(uint16_t(0x8000 + id), mapi::PT_BINARY), pattern(40, id)));
        m[key({makeTag(uint16_t(0x8000 + id), mapi::PT_BINARY)})] = pattern(40, id);
    }
    EXPECT_THROW(pc.build(kSizeTag, [](uint64_t, const auto&) { return 0; }), std::logic_error)
        << "the size property must be in the PC";
    pc.set(Property::int32(kSizeTag, 0));
    uint64_t heapBytes = 0;
    size_t subnodes = 0;
    BuiltNode n = pc.build(kSizeTag, [&](uint64_t bytes, const auto& subs) {
        heapBytes = bytes;
        subnodes = subs.size();
        return int32_t(bytes);
    });
    EXPECT_EQ(heapBytes, w.dataSize(n.bidData));
    EXPECT_EQ(subnodes, n.subnodes.size());
    m[key({kSizeTag})] = le32(uint32_t(heapBytes));
    n.subnodes.push_back({0x8025, w.writeData(pattern(500, 41)), 0});
    put(w, kPc, n);
    PropertyContextBuilder bare(w);
    bare.set(Property::int32(kSizeTag, 0));
    bare.set(Property::int32(makeTag(0x8000, mapi::PT_LONG), 1));  // no name map names it
    put(w, ndb::NID_MESSAGE_STORE, bare.build());
    return m;
}

Model readPropertyContext(const Db& db, const Model&) {
    read::PropertyContext pc(db, db->node(kPc).bidData, db->node(kPc).bidSub, "pc");
    Model m;
    for (const auto& p : pc.properties())
        if (p.type() != mapi::PT_OBJECT) m[key({p.tag})] = flat(p);
    return m;
}

// Inline values sit in the record, big ones in LTP subnodes, empty ones
// are zero-length allocations (HID 0 names nothing); objects name theirs.
// Outlook's HIDs hold the BTH header and root.
void checkPropertyContext(const Db& db, const fs::path& path) {
    const std::string said = joined(read::checkFile(path));
    for (const char* says : {"no PidTagDisplayName", "PidTagRecordKey is not 16 bytes",
                             "node 0x61 is missing", "root folder 0x122 is missing"})
        EXPECT_NE(said.find(says), std::string::npos) << says << "\n" << said;
    read::PropertyContext pc(db, db->node(kPc).bidData, db->node(kPc).bidSub, "pc");
    EXPECT_GT(pc.node().heap().blockCount(), 1u);
    EXPECT_EQ(pc.bth().indexLevels(), 1u);
    EXPECT_EQ(pc.node().heap().userRoot(), 0x20u) << "the BTH header is the first allocation";
    EXPECT_EQ(pc.bth().rootHid(), 0x40u) << "the BTH root next, before the values";
    for (const auto& e : pc.entries()) {
        const bool inSubnode = e.id == 0x6011 || e.id == 0x6013 || e.id == 0x6014;
        EXPECT_TRUE(e.id != 0x6008 || e.value == 1u) << "a boolean inline";
        EXPECT_TRUE(!inSubnode || ndb::nidType(e.value) == ndb::NID_TYPE_LTP) << std::hex << e.id;
        EXPECT_TRUE(e.id != 0x6012 || ndb::hnidIsHid(e.value)) << "3580 bytes on the heap";
        if (e.id == 0x600F || e.id == 0x6010) {  // empty, yet on the heap
            EXPECT_TRUE(ndb::hnidIsHid(e.value) && e.value != 0) << std::hex << e.value;
        }
        if (e.type != mapi::PT_OBJECT) continue;
        const bool ours = e.id == 0x3702;
        EXPECT_EQ(pc.objectRef(e).size, ours ? 500u : 20000u);
        EXPECT_EQ(pc.node().read(pc.objectRef(e).nid),
                  ours ? pattern(500, 41) : pattern(20000, 40));
    }
}

const std::vector<mapi::PropTag> kColumns = {
    makeTag(0x0017, mapi::PT_LONG),       makeTag(0x0037, mapi::PT_UNICODE),
    makeTag(0x0039, mapi::PT_SYSTIME),    makeTag(0x0E07, mapi::PT_LONG),
    makeTag(0x0E1B, mapi::PT_BOOLEAN),    makeTag(0x6001, mapi::PT_SHORT),
    makeTag(0x6002, mapi::PT_CLSID),      makeTag(0x6003, mapi::PT_BINARY),
    makeTag(0x6004, mapi::PT_MV_UNICODE), makeTag(0x6005, mapi::PT_LONGLONG),
};

std::vector<Property> cellsFor(uint32_t i) {
    std::vector<Property> c = {
        Property::int32(makeTag(0x0017, mapi::PT_LONG), int32_t(i % 3)),
        Property::utf8(makeTag(0x0037, mapi::PT_UNICODE), "Subject " + std::to_string(i)),
        Property::time(makeTag(0x0039, mapi::PT_SYSTIME), 0x01CA000000000000ull + i),
        Property::int16(makeTag(0x6001, mapi::PT_SHORT), int16_t(i)),
        Property::raw(makeTag(0x6002, mapi::PT_CLSID), pattern(16, i)),
        Property::int64(makeTag(0x6005, mapi::PT_LONGLONG), -int64_t(i)),
        Property::int32(makeTag(0x7777, mapi::PT_LONG), 1),  // not a column: left out
    };
    if (i % 2) c.push_back(Property::boolean(makeTag(0x0E1B, mapi::PT_BOOLEAN), i % 4 == 1));
    if (i % 7 == 0)
        c.push_back(Property::binary(makeTag(0x6003, mapi::PT_BINARY), pattern(i % 50, i)));
    if (i == 9) c.push_back(Property::binary(makeTag(0x6003, mapi::PT_BINARY), pattern(5000, i)));
    if (i % 5 == 0)
        c.push_back(mv(0x6004, mapi::PT_MV_UNICODE, {{'a', 0}, {}, {uint8_t('0' + i % 10), 0}}));
    return c;
}

uint32_t rowIdFor(uint32_t i) {
    return ndb::makeNid(ndb::NID_TYPE_NORMAL_MESSAGE, 0x10001 + i);
}

void addRow(TableContextBuilder& tc, Model& m, Nid table, uint32_t i) {
    tc.addRow(rowIdFor(i), cellsFor(i));
    for (const auto& p : cellsFor(i))
        if (p.id() != 0x7777) m[key({table, i, p.tag})] = flat(p);
}

// The row matrix: the biggest of the table's subnodes.
std::vector<Bid> matrixBlocks(const NodeDatabaseWriter& w, Nid nid) {
    Bid best = 0;
    for (const auto& sn : w.readSubnodeTree(w.findNode(nid)->bidSub))
        if (!best || w.dataSize(sn.bidData) > w.dataSize(best)) best = sn.bidData;
    return w.dataTreeBlocks(best);
}

// Contents tables (so the checker holds them to Outlook's layout): empty,
// a few rows inline, and one grown over flushes and commits, reopened
// from the file as a store that dropped its builder does, rows updated.
constexpr Nid kEmpty = 0x60E, kInline = 0x12E, kGrown = 0x802E;

Model writeTables(NodeDatabaseWriter& w, const fs::path&) {
    Model m;
    w.reserveNid(kGrown);
    put(w, kEmpty, TableContextBuilder(w, kColumns).flush());
    TableContextBuilder few(w, kColumns);
    for (uint32_t i = 0; i < 5; ++i) addRow(few, m, kInline, i);
    put(w, kInline, few.flush());
    auto tc = std::make_unique<TableContextBuilder>(w, kColumns);
    uint32_t rows = 0;
    std::vector<Bid> early;
    for (int round = 0; round < 12; ++round) {
        for (int i = 0; i < 250; ++i) addRow(*tc, m, kGrown, rows++);
        put(w, kGrown, tc->flush());
        if (round % 3 == 2) {
            w.commit();
            const auto node = w.findNode(kGrown);
            tc = TableContextBuilder::open(w, node->bidData, node->bidSub);
            EXPECT_EQ(tc->rowCount(), rows);
        }
        if (round == 5) early = matrixBlocks(w, kGrown);
    }
    // Full row blocks written early are the same blocks at the end.
    const auto late = matrixBlocks(w, kGrown);
    EXPECT_GT(early.size(), 2u);
    for (size_t k = 0; k + 1 < early.size() && k < late.size(); ++k)
        EXPECT_EQ(early[k], late[k]) << k;
    const std::vector<Property> changed = {
        Property::utf8(makeTag(0x0037, mapi::PT_UNICODE), "changed")};
    for (uint32_t i : {123u, 9u}) {  // row 9 had a cell in a subnode
        EXPECT_TRUE(tc->updateRow(rowIdFor(i), changed));
        std::erase_if(m, [&](const auto& kv) {
            return kv.first.starts_with(key({kGrown, i}) + "/");
        });
        m[key({kGrown, i, changed[0].tag})] = flat(changed[0]);
    }
    EXPECT_FALSE(tc->updateRow(12345, changed));
    EXPECT_EQ(tc->findRow(rowIdFor(123)), 123u);
    EXPECT_EQ(tc->readRow(123).size(), 3u);  // RowId, RowVer, subject
    put(w, kGrown, tc->flush());
    return m;
}

Model readTables(const Db& db, const Model&) {
    Model m;
    for (Nid nid : {kEmpty, kInline, kGrown}) {
        read::TableContext t(db, db->node(nid).bidData, db->node(nid).bidSub, "table");
        EXPECT_EQ(t.columns().size(), kColumns.size() + 2);
        EXPECT_EQ(t.rowIndex().size(), t.rowCount());
        for (uint32_t r = 0; r < t.rowCount(); ++r) {
            EXPECT_EQ(t.rowId(r), rowIdFor(r));
            for (const auto& p : t.rowProperties(r))
                if (p.tag != ndb::kPidTagLtpRowId && p.tag != ndb::kPidTagLtpRowVer)
                    m[key({nid, r, p.tag})] = flat(p);
        }
    }
    return m;
}

void checkTables(const Db& db, const fs::path&) {
    read::TableContext e(db, db->node(kEmpty).bidData, db->node(kEmpty).bidSub, "empty");
    EXPECT_EQ(e.hnidRows(), 0u);
    read::TableContext few(db, db->node(kInline).bidData, db->node(kInline).bidSub, "few");
    EXPECT_TRUE(ndb::hnidIsHid(few.hnidRows())) << "five rows fit in the heap";
    // Row 0's binary cell is empty: present, and a zero-length allocation.
    const read::TcColumn* bin = few.findColumn(makeTag(0x6003, mapi::PT_BINARY));
    ASSERT_TRUE(bin && few.cellExists(0, *bin));
    const uint32_t hnid = loadLE32(few.rowBytes(0).data() + bin->ibData);
    ASSERT_TRUE(ndb::hnidIsHid(hnid) && hnid != 0) << hnid;
    EXPECT_EQ(few.node().heap().pageMap(0).cFree, 1u) << "readers count zero-length items as cFree";
    read::TableContext t(db, db->node(kGrown).bidData, db->node(kGrown).bidSub, "grown");
    EXPECT_FALSE(ndb::hnidIsHid(t.hnidRows()));
    const auto& sizes = t.matrixBlockSizes();
    for (size_t k = 0; k + 1 < sizes.size(); ++k) EXPECT_EQ(sizes[k], ndb::kMaxBlockData);
    EXPECT_EQ(t.node().subnodes().size(), 1u) << "the big cell of row 9 is gone";
}

const Structure kStructures[] = {
    {"RandomNodes", ndb::CryptMethod::None, writeRandomNodes, readNodes,
     [](const Db& db, const fs::path&) {
         EXPECT_EQ(depth(*db, ndb::PTYPE_NBT), 0u);
         EXPECT_EQ(db->blocks().size(), 1u) << "the subnode tree and every other block are freed";
     }},
    {"Heap", ndb::CryptMethod::Permute, writeHeap, readHeap, checkHeapLayout},
    {"Bths", ndb::CryptMethod::Permute, writeBths, readBths},
    {"PropertyContext", ndb::CryptMethod::Permute, writePropertyContext, readPropertyContext,
     checkPropertyContext},
    {"TableContexts", ndb::CryptMethod::Permute, writeTables, readTables, checkTables},
};

void PrintTo(const Structure& s, std::ostream* os) {
    *os << s.name;
}

class PstStructures : public ::testing::TestWithParam<Structure> {};

TEST_P(PstStructures, RoundTripAgainstTheModel) {
    const Structure& s = GetParam();
    ScratchDir dir;
    const auto path = dir / "t.pst";
    Model written;
    {
        auto w = NodeDatabaseWriter::create(path, s.crypt);
        written = s.write(*w, path);
        w->close();
    }
    expectClean(path, /*loose=*/true);
    const Db db = read::NodeDatabase::open(path);
    const Model seen = s.read(db, written);
    EXPECT_EQ(seen.size(), written.size());
    for (const auto& [k, v] : written)
        ASSERT_TRUE(seen.count(k) && seen.at(k) == v) << k << " not read back as written";
    s.check(db, path);
}

INSTANTIATE_TEST_SUITE_P(, PstStructures, ::testing::ValuesIn(kStructures),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qm::pst::ltp
