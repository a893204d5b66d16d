// Blocks, data trees, subnode trees and reference counts: written by the
// node database writer, read back by it and by an independent reading of
// the file (ndb_file_check).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "mapi/error.h"
#include "pst/ndb/ndb_file_check.h"
#include "pst/ndb/node_database_writer.h"
#include "pst/ndb/test_files.h"
#include "pst/ndb/writable_file.h"

namespace qm::pst::ndb {
namespace {

using qm::pst::testing::TempDir;
using testing::checkFile;

Bytes pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = PatternSource::byteAt(i, seed);
    return b;
}

TEST(NdbCreate, NewFileIsCleanAndHasTheUnicodeHeader) {
    TempDir dir;
    auto w = NodeDatabaseWriter::create(dir / "a.pst");
    w->close();
    auto v = checkFile((dir / "a.pst").string());
    EXPECT_TRUE(v.clean()) << v.report();
    EXPECT_EQ(v.header.cryptMethod, uint8_t(CryptMethod::Permute));
    EXPECT_EQ(v.header.root.fileEof, kFirstAMapOffset + kRegionSize);
    EXPECT_EQ(v.header.rgnid[NID_TYPE_NORMAL_FOLDER], kRgnidStartDefault);
    EXPECT_EQ(v.header.rgnid[NID_TYPE_NORMAL_MESSAGE], kRgnidStartNormalMessage);
    EXPECT_EQ(v.header.rgnid[NID_TYPE_SEARCH_FOLDER], kRgnidStartSearchFolder);
    EXPECT_EQ(v.header.rgnid[NID_TYPE_ASSOC_MESSAGE], kRgnidStartAssocMessage);
    EXPECT_TRUE(v.nodes.empty());
    EXPECT_EQ(std::filesystem::file_size(dir / "a.pst"), v.header.root.fileEof);
}

TEST(NdbCreate, NeverOverwritesNorFollowsLinks) {
    TempDir dir;
    { std::ofstream(dir / "exists.pst") << "keep me"; }
    EXPECT_THROW(NodeDatabaseWriter::create(dir / "exists.pst"), IoError);
    std::ifstream in(dir / "exists.pst");
    std::string s;
    std::getline(in, s);
    EXPECT_EQ(s, "keep me");
    std::filesystem::create_symlink(dir / "target.pst", dir / "link.pst");
    EXPECT_THROW(NodeDatabaseWriter::create(dir / "link.pst"), IoError);
    EXPECT_FALSE(std::filesystem::exists(dir / "target.pst"));
    EXPECT_THROW(NodeDatabaseWriter::create(dir / "no-such-dir" / "a.pst"), IoError);
}

// Until published the file has no name, so nothing half-made is ever at the
// path; publishing never replaces what appeared there meanwhile.
TEST(NdbCreate, TheFileTakesItsNameOnlyWhenPublished) {
    TempDir dir;
    auto w = NodeDatabaseWriter::create(dir / "a.pst", CryptMethod::Permute, false);
    EXPECT_FALSE(std::filesystem::exists(dir / "a.pst"));
    w->setNode({0x21, w->writeDataBlock(pattern(100, 1)), 0, 0});
    w->commit();
    w->publish();
    w->close();
    EXPECT_TRUE(checkFile((dir / "a.pst").string()).clean());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              1);

    auto late = NodeDatabaseWriter::create(dir / "b.pst", CryptMethod::Permute, false);
    { std::ofstream(dir / "b.pst") << "came first"; }
    EXPECT_THROW(late->publish(), IoError);
    late.reset();
    std::ifstream in(dir / "b.pst");
    std::string s;
    std::getline(in, s);
    EXPECT_EQ(s, "came first");
    // Dropped unpublished, it leaves nothing behind.
    auto dropped = NodeDatabaseWriter::create(dir / "c.pst", CryptMethod::Permute, false);
    dropped.reset();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              2);
}

// Where the file system has no unnamed files, the file waits under a hidden
// name beside its own; publishing moves the name, dropping removes the file.
TEST(NdbCreate, TheHiddenNameWayLeavesOnlyThePublishedFile) {
    TempDir dir;
    auto files = [&] {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir.path()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    };
    {
        WritableFile dropped = WritableFile::createUnpublished(dir / "dropped.pst", false);
        ASSERT_EQ(files().size(), 1u);
        EXPECT_EQ(files()[0].rfind(".dropped.pst.", 0), 0u) << files()[0];
    }
    EXPECT_TRUE(files().empty());

    WritableFile f = WritableFile::createUnpublished(dir / "a.pst", false);
    const Bytes data = pattern(5000, 3);
    f.write(0, data);
    { std::ofstream(dir / "a.pst") << "came first"; }
    EXPECT_THROW(f.publish(), IoError);
    std::filesystem::remove(dir / "a.pst");
    f.publish();
    f.close();
    EXPECT_EQ(files(), std::vector<std::string>{"a.pst"});
    std::ifstream in(dir / "a.pst", std::ios::binary);
    const Bytes back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(back, data);
}

// A store whose file was deleted or replaced cannot deliver what it commits:
// the next commit fails, and so does everything after it.
TEST(NdbCreate, ADeletedOrReplacedFileFailsTheNextCommit) {
    TempDir dir;
    for (bool replace : {false, true}) {
        const auto path = dir / (replace ? "replaced.pst" : "deleted.pst");
        auto w = NodeDatabaseWriter::create(path);
        std::filesystem::remove(path);
        if (replace) std::ofstream(path) << "another file";
        w->setNode({0x21, w->writeDataBlock(pattern(100, 2)), 0, 0});
        EXPECT_THROW(w->commit(), Error) << path;
        EXPECT_THROW(w->commit(), Error) << path;
    }
}

TEST(NdbCreate, NidsComeFromTheHeaderCounters) {
    TempDir dir;
    auto w = NodeDatabaseWriter::create(dir / "a.pst");
    EXPECT_EQ(w->allocateNid(NID_TYPE_NORMAL_MESSAGE), 0x200024u);
    EXPECT_EQ(w->allocateNid(NID_TYPE_NORMAL_MESSAGE), 0x200044u);
    EXPECT_EQ(w->allocateNid(NID_TYPE_ASSOC_MESSAGE), 0x100028u);
    EXPECT_EQ(w->allocateNid(NID_TYPE_NORMAL_FOLDER), 0x8022u);
    w->reserveNid(0x8062);
    EXPECT_EQ(w->allocateNid(NID_TYPE_NORMAL_FOLDER), 0x8082u);
    w->close();
    auto v = checkFile((dir / "a.pst").string());
    EXPECT_EQ(v.header.rgnid[NID_TYPE_NORMAL_MESSAGE], 0x10002u);
    EXPECT_EQ(v.header.rgnid[NID_TYPE_NORMAL_FOLDER], 0x404u);
}

class NdbBlocks : public ::testing::TestWithParam<CryptMethod> {};

TEST_P(NdbBlocks, DataBlocksRoundTrip) {
    TempDir dir;
    auto w = NodeDatabaseWriter::create(dir / "a.pst", GetParam());
    std::vector<std::pair<Bid, Bytes>> written;
    for (size_t size : {1, 2, 47, 48, 49, 100, 4000, 8175, 8176}) {
        Bytes b = pattern(size, uint32_t(size));
        Bid bid = w->writeDataBlock(b);
        EXPECT_FALSE(bidIsInternal(bid));
        EXPECT_EQ(bid % kBidIncrement, 0u);
        EXPECT_EQ(w->readBlock(bid), b);
        written.push_back({bid, b});
    }
    EXPECT_THROW(w->writeDataBlock(Bytes(kMaxBlockData + 1)), std::logic_error);
    EXPECT_THROW(w->writeDataBlock(Bytes()), std::logic_error);
    Nid nid = w->allocateNid(NID_TYPE_INTERNAL);
    for (auto& [bid, b] : written) {
        w->setNode({nid, bid, 0, 0});
        nid = w->allocateNid(NID_TYPE_INTERNAL);
    }
    w->close();
    auto v = checkFile((dir / "a.pst").string());
    ASSERT_TRUE(v.clean()) << v.report();
    EXPECT_EQ(v.header.cryptMethod, uint8_t(GetParam()));
    for (auto& [bid, b] : written) {
        EXPECT_EQ(v.data(bid), b);
        EXPECT_EQ(v.blocks.at(bid).cRef, 2);
    }
}

TEST_P(NdbBlocks, DataTreesOfEverySize) {
    TempDir dir;
    auto w = NodeDatabaseWriter::create(dir / "a.pst", GetParam());
    // One block, an XBLOCK, a full XBLOCK and an XXBLOCK.
    std::vector<size_t> sizes = {10,
                                 kMaxBlockData,
                                 kMaxBlockData + 1,
                                 3 * kMaxBlockData + 5,
                                 size_t(kMaxXBlockEntries) * kMaxBlockData,
                                 size_t(kMaxXBlockEntries) * kMaxBlockData + 1};
    std::vector<std::pair<Bid, size_t>> trees;
    Nid nid = 0x100;
    for (size_t s : sizes) {
        Bid root = w->writeStream(PatternSource(s, uint32_t(s)));
        trees.push_back({root, s});
        EXPECT_EQ(w->dataSize(root), s);
        size_t blocks = (s + kMaxBlockData - 1) / kMaxBlockData;
        EXPECT_EQ(bidIsInternal(root), blocks > 1);
        EXPECT_EQ(w->dataTreeBlocks(root).size(), blocks);
        if (s < 100000) {
            EXPECT_EQ(w->readData(root), pattern(s, uint32_t(s)));
        }
        w->setNode({nid++ << 5 | NID_TYPE_INTERNAL, root, 0, 0});
    }
    EXPECT_EQ(w->writeData({}), 0u);
    w->close();
    auto v = checkFile((dir / "a.pst").string());
    ASSERT_TRUE(v.clean()) << v.report();
    for (auto [root, s] : trees) EXPECT_EQ(v.data(root), pattern(s, uint32_t(s))) << s;
}

INSTANTIATE_TEST_SUITE_P(Encodings, NdbBlocks,
                         ::testing::Values(CryptMethod::Permute, CryptMethod::None));

TEST(NdbTrees, ExplicitTreesOverExistingBlocksAndReuse) {
    TempDir dir;
    auto w = NodeDatabaseWriter::create(dir / "a.pst");
    std::vector<Bid> bids;
    Bytes all;
    for (int i = 0; i < 2500; ++i) {
        Bytes b = pattern(100 + i % 50, uint32_t(i));
        all.insert(all.end(), b.begin(), b.end());
        bids.push_back(w->writeDataBlock(b));
    }
    Bid t1 = w->writeDataTree(bids);
    EXPECT_EQ(w->readData(t1), all);
    EXPECT_EQ(w->dataTreeBlocks(t1), bids);
    w->setNode({0x21, t1, 0, 0});
    w->commit();
    // Same blocks but the last one: the first two XBLOCKs are kept.
    Bytes last = pattern(77, 999);
    bids.back() = w->writeDataBlock(last);
    Bid t2 = w->writeDataTree(bids, t1);
    auto x1 = testing::checkFile((dir / "a.pst").string());  // t1 committed
    Bytes top2 = w->readBlock(t2);
    Bytes top1 = w->readBlock(t1);
    EXPECT_EQ(loadLE64(top2.data() + 8), loadLE64(top1.data() + 8));
    EXPECT_EQ(loadLE64(top2.data() + 16), loadLE64(top1.data() + 16));
    EXPECT_NE(loadLE64(top2.data() + 24), loadLE64(top1.data() + 24));
    w->setNode({0x21, t2, 0, 0});
    // An unchanged tree is the same tree.
    EXPECT_EQ(w->writeDataTree(bids, t2), t2);
    w->close();
    auto v = checkFile((dir / "a.pst").string());
    ASSERT_TRUE(v.clean()) << v.report();
    all.resize(all.size() - (100 + 2499 % 50));
    all.insert(all.end(), last.begin(), last.end());
    EXPECT_EQ(v.data(v.nodes.at(0x21).bidData), all);
    EXPECT_FALSE(v.blocks.count(t1)) << "the replaced tree is freed";
}

TEST(NdbTrees, SubnodeTreesLeafAndIntermediate) {
    TempDir dir;
    auto w = NodeDatabaseWriter::create(dir / "a.pst");
    for (size_t count : {size_t(1), size_t(340), size_t(341), size_t(2000)}) {
        std::vector<SubnodeEntry> entries;
        for (size_t i = 0; i < count; ++i) {
            Bid d = w->writeDataBlock(pattern(20, uint32_t(i)));
            entries.push_back({makeNid(NID_TYPE_LTP, uint32_t(i + 1)), d, 0});
        }
        // A nested subnode tree under the first entry.
        std::vector<SubnodeEntry> inner = {{0x3F, w->writeDataBlock(pattern(5, 5)), 0}};
        entries[0].bidSub = w->writeSubnodeTree(inner);
        Bid root = w->writeSubnodeTree(entries);
        EXPECT_EQ(w->readSubnodeTree(root), entries);
        w->setNode({makeNid(NID_TYPE_NORMAL_MESSAGE, uint32_t(0x10000 + count)), 0, root, 0x122});
    }
    std::vector<SubnodeEntry> unsorted = {{0x3F, 0, 0}, {0x1F, 0, 0}};
    EXPECT_THROW(w->writeSubnodeTree(unsorted), std::logic_error);
    EXPECT_EQ(w->writeSubnodeTree({}), 0u);
    w->close();
    auto v = checkFile((dir / "a.pst").string());
    ASSERT_TRUE(v.clean()) << v.report();
    size_t total = 0;
    for (const auto& [nid, n] : v.nodes) total += v.subnodes(n.bidSub).size();
    EXPECT_EQ(total, 1u + 340 + 341 + 2000);
}

TEST(NdbRefs, SharedBlocksCountEveryReferenceAndGarbageIsFreed) {
    TempDir dir;
    auto w = NodeDatabaseWriter::create(dir / "a.pst");
    Bid shared = w->writeDataBlock(pattern(64, 1));
    for (Nid n : {0x61u, 0x81u, 0xA1u}) w->setNode({n, shared, 0, 0});
    Bid orphan = w->writeDataBlock(pattern(64, 2));  // never referenced
    w->commit();
    EXPECT_EQ(w->findBlock(shared)->cRef, 4);
    EXPECT_FALSE(w->findBlock(orphan)) << "an unreferenced block is garbage at commit";
    auto v = checkFile((dir / "a.pst").string());
    ASSERT_TRUE(v.clean()) << v.report();
    EXPECT_EQ(v.blocks.at(shared).cRef, 4);

    // Replacing and deleting nodes releases; the last release frees the block.
    Bid other = w->writeDataBlock(pattern(64, 3));
    w->setNode({0x61, other, 0, 0});
    EXPECT_TRUE(w->deleteNode(0x81));
    EXPECT_FALSE(w->deleteNode(0x81));
    w->commit();
    EXPECT_EQ(w->findBlock(shared)->cRef, 2);
    EXPECT_TRUE(w->deleteNode(0xA1));
    // A tree over blocks: freeing the tree frees what only it held.
    std::vector<Bid> parts = {w->writeDataBlock(pattern(100, 4)),
                              w->writeDataBlock(pattern(100, 5))};
    Bid tree = w->writeDataTree(parts);
    w->setNode({0xC1, tree, 0, 0});
    w->commit();
    EXPECT_FALSE(w->findBlock(shared));
    EXPECT_EQ(w->findBlock(parts[0])->cRef, 2);
    w->addRef(parts[0]);  // held by the caller across the next commit
    w->deleteNode(0xC1);
    w->commit();
    EXPECT_FALSE(w->findBlock(tree));
    EXPECT_FALSE(w->findBlock(parts[1]));
    ASSERT_TRUE(w->findBlock(parts[0]));
    EXPECT_EQ(w->readBlock(parts[0]), pattern(100, 4));
    w->setNode({0xE1, parts[0], 0, 0});
    w->release(parts[0]);
    w->close();
    v = checkFile((dir / "a.pst").string());
    ASSERT_TRUE(v.clean()) << v.report();
    EXPECT_EQ(v.blocks.at(parts[0]).cRef, 2);
    EXPECT_EQ(v.nodes.size(), 2u);
}

TEST(NdbSpace, FreedSpaceIsReusedAfterTheCommitThatFreesIt) {
    TempDir dir;
    auto w = NodeDatabaseWriter::create(dir / "a.pst");
    std::mt19937 rng(7);
    w->reserveNid(makeNid(NID_TYPE_SEARCH_UPDATE_QUEUE, 0x400 + 20));
    // A node rewritten over and over: the file must stop growing.
    uint64_t sizeAfter10 = 0;
    for (int round = 0; round < 60; ++round) {
        for (Nid n = 1; n <= 20; ++n) {
            Bid b = w->writeData(pattern(1000 + rng() % 20000, uint32_t(round * 100 + n)));
            w->setNode({makeNid(NID_TYPE_SEARCH_UPDATE_QUEUE, 0x400 + n), b, 0, 0});
        }
        w->commit();
        if (round == 10) sizeAfter10 = w->fileSize();
        if (round % 20 == 0) {
            auto v = checkFile((dir / "a.pst").string());
            ASSERT_TRUE(v.clean()) << "round " << round << "\n" << v.report();
        }
    }
    EXPECT_LE(w->fileSize(), sizeAfter10 + 4 * kRegionSize);
    w->close();
    auto v = checkFile((dir / "a.pst").string());
    ASSERT_TRUE(v.clean()) << v.report();
    for (const auto& f : testing::readerFindings((dir / "a.pst").string())) ADD_FAILURE() << f;
}

TEST(NdbSpace, FilePastTheFirstFMap) {
    TempDir dir;
    auto w = NodeDatabaseWriter::create(dir / "big.pst");
    // ~40 MB of attachments, committed in steps, then a few replaced.
    std::vector<Bid> roots;
    for (int i = 0; i < 40; ++i) {
        Bid b = w->writeStream(PatternSource(1'000'000 + i, uint32_t(i)));
        // Search update queues: raw streams, as these are.
        w->setNode({makeNid(NID_TYPE_SEARCH_UPDATE_QUEUE, 0x10001 + i), b, 0, 0});
        roots.push_back(b);
        if (i % 8 == 7) w->commit();
    }
    w->reserveNid(makeNid(NID_TYPE_SEARCH_UPDATE_QUEUE, 0x10001 + 39));
    for (int i = 0; i < 40; i += 5)
        w->deleteNode(makeNid(NID_TYPE_SEARCH_UPDATE_QUEUE, 0x10001 + i));
    w->close();
    auto v = checkFile((dir / "big.pst").string());
    ASSERT_TRUE(v.clean()) << v.report();
    EXPECT_GT(v.header.root.fileEof, fmapOffset(kRegionsInHeaderFM));
    for (const auto& f : testing::readerFindings((dir / "big.pst").string())) ADD_FAILURE() << f;
    EXPECT_EQ(v.nodes.size(), 32u);
    EXPECT_EQ(v.data(roots[7]), PatternSource(1'000'007, 7).readAll());
}

}  // namespace
}  // namespace qm::pst::ndb
