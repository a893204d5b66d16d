// Independent readers over node-database files: libpff's pffinfo, and our
// own reader's strict checker (node-database findings only: a file of
// loose nodes is no message store).
#include <gtest/gtest.h>

#include <filesystem>

#include "pst/ndb/ndb_file_check.h"
#include "pst/ndb/node_database_writer.h"
#include "pst/ndb/test_files.h"
#include "support/validators.h"

namespace qm::pst::ndb {
namespace {

using qm::pst::testing::TempDir;

void writeRawNodes(const std::filesystem::path& path, CryptMethod crypt) {
    auto w = NodeDatabaseWriter::create(path, crypt);
    for (uint32_t i = 1; i <= 40; ++i) {
        Bid data = w->writeStream(PatternSource(i * 1500, i));
        std::vector<SubnodeEntry> subs = {
            {makeNid(NID_TYPE_LTP, 1), w->writeDataBlock(Bytes(30, 1)), 0}};
        // Search update queues hold raw streams, not heaps.
        w->setNode(
            {w->allocateNid(NID_TYPE_SEARCH_UPDATE_QUEUE), data, w->writeSubnodeTree(subs), 0});
        if (i % 10 == 0) w->commit();
    }
    w->close();
}

TEST(NdbValidators, PffinfoReadsTheHeaderAndTrees) {
    TempDir dir;
    for (CryptMethod c : {CryptMethod::Permute, CryptMethod::None}) {
        auto path = dir / (c == CryptMethod::None ? "none.pst" : "permute.pst");
        writeRawNodes(path, c);
        const auto r = qm::testing::validators::pffinfo(path);
        if (!r.ran()) GTEST_SKIP() << r.skipped;
        qm::testing::validators::expectClean(r);
        const std::string& out = r.output;
        EXPECT_NE(out.find("64-bit"), std::string::npos) << out;
        EXPECT_NE(out.find(c == CryptMethod::None ? "none" : "compressible"), std::string::npos)
            << out;
    }
}

TEST(NdbValidators, ReaderCheckerFindsNoNodeDatabaseDefects) {
    TempDir dir;
    writeRawNodes(dir / "a.pst", CryptMethod::Permute);
    for (const auto& f : testing::readerFindings((dir / "a.pst").string())) ADD_FAILURE() << f;
}

}  // namespace
}  // namespace qm::pst::ndb
