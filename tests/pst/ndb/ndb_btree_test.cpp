// The NBT and BBT as B-trees of pages: thousands of entries in growing and
// random order, replaced and deleted across commits, compared with a
// std::map and with an independent walk of the file.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "pst/ndb/ndb_file_check.h"
#include "pst/ndb/node_database_writer.h"
#include "pst/ndb/test_files.h"

namespace qm::pst::ndb {
namespace {

using qm::pst::testing::TempDir;
using testing::checkFile;

void expectSameNodes(const NodeDatabaseWriter& w, const std::map<Nid, NodeEntry>& model,
                     const testing::FileView& v) {
    EXPECT_EQ(v.nodes.size(), model.size());
    for (const auto& [nid, e] : model) {
        auto it = v.nodes.find(nid);
        ASSERT_NE(it, v.nodes.end()) << std::hex << nid;
        EXPECT_EQ(it->second, e);
        EXPECT_EQ(w.findNode(nid), e);
    }
}

TEST(NdbBTree, GrowingIdsFillPagesFromTheRightEdge) {
    TempDir dir;
    auto w = NodeDatabaseWriter::create(dir / "a.pst");
    Bid data = w->writeDataBlock(Bytes(16, 1));
    std::map<Nid, NodeEntry> model;
    for (int i = 0; i < 6000; ++i) {
        NodeEntry e{w->allocateNid(NID_TYPE_NORMAL_MESSAGE), data, 0, 0x8082};
        w->setNode(e);
        model[e.nid] = e;
        if (i % 1000 == 999) w->commit();
    }
    w->commit();
    auto v = checkFile((dir / "a.pst").string());
    ASSERT_TRUE(v.clean()) << v.report();
    expectSameNodes(*w, model, v);
    EXPECT_EQ(v.blocks.at(data).cRef, 6001);
    // Appended keys leave full leaves: 6000 / 15 = 400 leaves, 20 leaves per
    // intermediate page: 3 levels.
    EXPECT_EQ(v.nbtDepth, 2u);
}

TEST(NdbBTree, RandomInsertReplaceDeleteAgreesWithAMap) {
    TempDir dir;
    auto w = NodeDatabaseWriter::create(dir / "a.pst", CryptMethod::None);
    std::mt19937 rng(1234);
    std::vector<Bid> blocks;
    for (int i = 0; i < 50; ++i) blocks.push_back(w->writeDataBlock(Bytes(8 + i, uint8_t(i))));
    // Node 0x21 keeps every block alive through its subnodes.
    std::vector<SubnodeEntry> keep;
    for (size_t i = 0; i < blocks.size(); ++i)
        keep.push_back({makeNid(NID_TYPE_LTP, uint32_t(i + 1)), blocks[i], 0});
    Bid keepTree = w->writeSubnodeTree(keep);
    w->setNode({0x21, blocks[0], keepTree, 0});
    std::map<Nid, NodeEntry> model;
    for (int round = 0; round < 8; ++round) {
        for (int i = 0; i < 1500; ++i) {
            Nid nid = makeNid(uint8_t(1 + rng() % 18), 0x400 + rng() % 5000);
            if (nid == 0x21) continue;
            if (rng() % 4 == 0) {
                bool had = model.erase(nid) > 0;
                EXPECT_EQ(w->deleteNode(nid), had);
            } else {
                NodeEntry e{nid, blocks[rng() % blocks.size()], 0, rng() % 3 ? 0u : 0x122u};
                w->setNode(e);
                model[nid] = e;
            }
        }
        w->commit();
        model[0x21] = {0x21, blocks[0], keepTree, 0};
        auto v = checkFile((dir / "a.pst").string());
        ASSERT_TRUE(v.clean()) << "round " << round << "\n" << v.report();
        expectSameNodes(*w, model, v);
    }
    size_t visited = 0;
    Nid prev = 0;
    w->forEachNode([&](const NodeEntry& e) {
        EXPECT_GT(e.nid, prev);
        prev = e.nid;
        ++visited;
    });
    EXPECT_EQ(visited, model.size());
    // Deleting everything collapses the tree to an empty leaf.
    for (const auto& [nid, e] : model)
        if (nid != 0x21) w->deleteNode(nid);
    w->setNode({0x21, blocks[0], 0, 0});
    w->close();
    auto v = checkFile((dir / "a.pst").string());
    ASSERT_TRUE(v.clean()) << v.report();
    EXPECT_EQ(v.nodes.size(), 1u);
    EXPECT_EQ(v.nbtDepth, 0u);
    EXPECT_EQ(v.blocks.size(), 1u) << "the subnode tree and every other block are freed";
}

TEST(NdbBTree, ThousandsOfBlocksInTheBbt) {
    TempDir dir;
    auto w = NodeDatabaseWriter::create(dir / "a.pst");
    std::vector<SubnodeEntry> subs;
    for (uint32_t i = 1; i <= 5000; ++i)
        subs.push_back({makeNid(NID_TYPE_LTP, i), w->writeDataBlock(Bytes(1, uint8_t(i))), 0});
    w->setNode({0x21, 0, w->writeSubnodeTree(subs), 0});
    w->close();
    auto v = checkFile((dir / "a.pst").string());
    ASSERT_TRUE(v.clean()) << v.report();
    EXPECT_EQ(v.blocks.size(), 5000u + 15 + 1);  // data, 15 SLBLOCKs, the SIBLOCK
    EXPECT_GE(v.bbtDepth, 2u);
    EXPECT_EQ(v.subnodes(v.nodes.at(0x21).bidSub), subs);
}

}  // namespace
}  // namespace qm::pst::ndb
