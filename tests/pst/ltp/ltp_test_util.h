// Shared by the LTP tests: a writer on a scratch file and the reader's view
// of what it committed.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "pst/ltp/property_context_builder.h"
#include "pst/ndb/ndb_file_check.h"
#include "pst/ndb/node_database_writer.h"
#include "pst/ndb/test_files.h"
#include "pst/read/node_database.h"

namespace qm::pst::ltp::testing {

struct Scratch {
    qm::pst::testing::TempDir dir;
    std::filesystem::path path = dir / "t.pst";
    std::unique_ptr<ndb::NodeDatabaseWriter> w = ndb::NodeDatabaseWriter::create(path);

    // Points `nid` at a built node (its subnodes written as its tree).
    void put(ndb::Nid nid, const BuiltNode& n, ndb::Nid parent = 0) {
        w->setNode({nid, n.bidData, w->writeSubnodeTree(n.subnodes), parent});
    }
    std::shared_ptr<const read::NodeDatabase> commitAndRead() {
        w->commit();
        auto v = ndb::testing::checkFile(path.string());
        EXPECT_TRUE(v.clean()) << v.report();
        return read::NodeDatabase::open(path);
    }
};

inline Bytes pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = PatternSource::byteAt(i, seed);
    return b;
}

}  // namespace qm::pst::ltp::testing
