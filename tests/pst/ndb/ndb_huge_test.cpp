// Files past 2 GiB (the first FPMap, region 8192) and past 4 GiB (offsets
// above 32 bits). Minutes of disk writing: run only when QM_PST_HUGE_TESTS
// is set, as the benchmarks do.
#include <gtest/gtest.h>

#include <cstdlib>

#include "pst/ndb/ndb_file_check.h"
#include "pst/ndb/node_database_writer.h"
#include "pst/ndb/test_files.h"

namespace qm::pst::ndb {
namespace {

using qm::pst::testing::TempDir;

TEST(NdbHuge, FilePastFourGiB) {
    if (!std::getenv("QM_PST_HUGE_TESTS"))
        GTEST_SKIP() << "set QM_PST_HUGE_TESTS=1 to write a 4.3 GB file";
    TempDir dir;
    auto path = dir / "huge.pst";
    auto w = NodeDatabaseWriter::create(path, CryptMethod::Permute);
    // 4.3 GB of 200 MB streams, committed as they go.
    constexpr uint64_t kStream = 200'000'000;
    std::vector<std::pair<Nid, Bid>> nodes;
    for (uint32_t i = 0; i < 22; ++i) {
        Nid nid = w->allocateNid(NID_TYPE_SEARCH_UPDATE_QUEUE);
        Bid b = w->writeStream(PatternSource(kStream, i));
        w->setNode({nid, b, 0, 0});
        nodes.push_back({nid, b});
        w->commit();
    }
    // Rewrite a node near the end: its new blocks land above 4 GiB.
    Bid late = w->writeData(Bytes(100000, 0x5A));
    w->setNode({nodes.front().first, late, 0, 0});
    w->close();
    auto v = testing::checkFile(path.string());
    ASSERT_TRUE(v.clean()) << v.report();
    EXPECT_GT(v.header.root.fileEof, uint64_t(1) << 32);
    EXPECT_GT(v.header.root.fileEof, fpmapOffset(kRegionsInHeaderFP));
    EXPECT_GT(v.blocks.rbegin()->second.bref.ib, uint64_t(1) << 32);
    EXPECT_EQ(v.data(late), Bytes(100000, 0x5A));
    for (const auto& f : testing::readerFindings(path.string())) ADD_FAILURE() << f;
}

}  // namespace
}  // namespace qm::pst::ndb
