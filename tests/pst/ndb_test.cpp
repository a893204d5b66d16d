// The node database writer beyond the structure round trips: creating and
// publishing the file, data trees at the XBLOCK/XXBLOCK edge and rewritten
// in part, crash consistency (killed at every commit step and at random),
// pffinfo and files past 4 GiB; every file read by our reader and checker.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

#include "mapi/error.h"
#include "pst/ndb/node_database_writer.h"
#include "pst/ndb/writable_file.h"
#include "pst/pst_test.h"
#include "pst/read/node_database.h"
#include "support/validators.h"

namespace qm::pst::ndb {
namespace {

using namespace qm::pst::testing;

std::shared_ptr<read::NodeDatabase> checked(const fs::path& path) {
    expectClean(path, /*loose=*/true);
    return read::NodeDatabase::open(path);
}

Bytes nodeData(const read::NodeDatabase& db, Nid nid) {
    return db.readStream(db.node(nid).bidData);
}

size_t fileCount(const fs::path& dir) {
    return size_t(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

// Never over anything at the path, never through a link; until published
// the file has no name (or, where the file system has no unnamed files, a
// hidden one beside its own), and publishing never replaces what appeared
// there. A file deleted or replaced under the writer fails every commit.
TEST(NdbCreate, NeverOverwritesAndTakesItsNameOnlyWhenPublished) {
    ScratchDir dir;
    { std::ofstream(dir / "exists.pst") << "keep me"; }
    EXPECT_THROW(NodeDatabaseWriter::create(dir / "exists.pst"), IoError);
    EXPECT_EQ(qm::testing::readText(dir / "exists.pst"), "keep me");
    fs::create_symlink(dir / "target.pst", dir / "link.pst");
    EXPECT_THROW(NodeDatabaseWriter::create(dir / "link.pst"), IoError);
    EXPECT_FALSE(fs::exists(dir / "target.pst"));
    EXPECT_THROW(NodeDatabaseWriter::create(dir / "no-such-dir" / "a.pst"), IoError);
    auto w = NodeDatabaseWriter::create(dir / "a.pst", CryptMethod::Permute, false);
    EXPECT_FALSE(fs::exists(dir / "a.pst"));
    w->setNode({0x41, w->writeDataBlock(pattern(100, 1)), 0, 0});
    w->commit();
    w->publish();
    w->close();
    checked(dir / "a.pst");
    auto late = NodeDatabaseWriter::create(dir / "b.pst", CryptMethod::Permute, false);
    { std::ofstream(dir / "b.pst") << "came first"; }
    EXPECT_THROW(late->publish(), IoError);
    late.reset();
    EXPECT_EQ(qm::testing::readText(dir / "b.pst"), "came first");
    NodeDatabaseWriter::create(dir / "c.pst", CryptMethod::Permute, false).reset();
    // A file with no nodes at all (empty B-tree roots) checks clean too.
    NodeDatabaseWriter::create(dir / "d.pst")->close();
    EXPECT_TRUE(checked(dir / "d.pst")->nodes().empty());
    EXPECT_EQ(fileCount(dir.path()), 5u) << "exists, link, a, b and d; nothing of c";
    {
        WritableFile dropped = WritableFile::createUnpublished(dir / "dropped.pst", false);
        size_t hidden = 0;
        for (const auto& e : fs::directory_iterator(dir.path()))
            hidden += e.path().filename().string().starts_with(".dropped.pst.");
        EXPECT_EQ(hidden, 1u);
    }
    EXPECT_EQ(fileCount(dir.path()), 5u);
    WritableFile f = WritableFile::createUnpublished(dir / "e.pst", false);
    f.write(0, pattern(5000, 3));
    { std::ofstream(dir / "e.pst") << "came first"; }
    EXPECT_THROW(f.publish(), IoError);
    fs::remove(dir / "e.pst");
    f.publish();
    f.close();
    EXPECT_EQ(readFile(dir / "e.pst"), pattern(5000, 3));
    for (bool replace : {false, true}) {
        const auto path = dir / (replace ? "replaced.pst" : "deleted.pst");
        auto gone = NodeDatabaseWriter::create(path);
        fs::remove(path);
        if (replace) std::ofstream(path) << "another file";
        gone->setNode({0x41, gone->writeDataBlock(pattern(100, 2)), 0, 0});
        EXPECT_THROW(gone->commit(), Error) << path;
        EXPECT_THROW(gone->commit(), Error) << path;
    }
}

// A stream of exactly one full XBLOCK, and one byte more (an XXBLOCK); the
// latter's tree rewritten with a new last block keeps the XBLOCK that did
// not change, and what only the old tree held is freed.
TEST(NdbTrees, ExplicitTreesReuseBlocksAndReferencesAreCounted) {
    ScratchDir dir;
    auto w = NodeDatabaseWriter::create(dir / "a.pst");
    const size_t full = size_t(kMaxXBlockEntries) * kMaxBlockData;
    std::vector<Nid> streams;
    for (size_t s : {full, full + 1}) {
        const Bid root = w->writeStream(PatternSource(s, uint32_t(s)));
        EXPECT_EQ(w->readBlock(root)[1], s > full ? 2 : 1) << "the tree's level";
        streams.push_back(w->allocateNid(NID_TYPE_SEARCH_UPDATE_QUEUE));
        w->setNode({streams.back(), root, 0, 0});
    }
    w->commit();
    const Bid t1 = w->findNode(streams[1])->bidData;
    auto refs = w->dataTreeBlockRefs(t1);
    ASSERT_EQ(refs.size(), kMaxXBlockEntries + 1u);
    const Bid dropped = refs.back().bid;
    refs.back() = {w->writeDataBlock(Bytes{'x'}), 1};
    const Bid t2 = w->writeDataTree(refs, t1);
    const Bytes top1 = w->readBlock(t1), top2 = w->readBlock(t2);
    EXPECT_EQ(loadLE64(top2.data() + 8), loadLE64(top1.data() + 8));
    EXPECT_NE(loadLE64(top2.data() + 16), loadLE64(top1.data() + 16));
    w->setNode({streams[1], t2, 0, 0});
    EXPECT_EQ(w->findBlock(t2)->cRef, 2) << "the BBT's count and the node's";
    EXPECT_EQ(w->writeDataTree(refs, t2), t2) << "an unchanged tree is the same tree";
    const Bid orphan = w->writeDataTree(refs);
    w->commit();
    EXPECT_FALSE(w->findBlock(orphan)) << "a tree nothing holds is garbage at commit";
    EXPECT_FALSE(w->findBlock(t1)) << "the replaced tree is freed";
    EXPECT_FALSE(w->findBlock(dropped)) << "and the block only it held";
    w->close();
    const auto db = checked(dir / "a.pst");
    EXPECT_EQ(nodeData(*db, streams[0]), PatternSource(full, uint32_t(full)).readAll());
    Bytes changed = PatternSource(full + 1, uint32_t(full + 1)).readAll();
    changed.back() = 'x';
    EXPECT_EQ(nodeData(*db, streams[1]), changed);
}

TEST(NdbValidators, PffinfoReadsTheHeaderAndTrees) {
    ScratchDir dir;
    for (CryptMethod c : {CryptMethod::Permute, CryptMethod::None}) {
        const auto path = dir / (c == CryptMethod::None ? "none.pst" : "permute.pst");
        auto w = NodeDatabaseWriter::create(path, c);
        for (uint32_t i = 1; i <= 40; ++i) {
            const std::vector<SubnodeEntry> subs = {
                {makeNid(NID_TYPE_LTP, 1), w->writeDataBlock(Bytes(30, 1)), 0}};
            w->setNode({w->allocateNid(NID_TYPE_SEARCH_UPDATE_QUEUE),
                        w->writeStream(PatternSource(i * 1500, i)), w->writeSubnodeTree(subs), 0});
            if (i % 10 == 0) w->commit();
        }
        w->close();
        checked(path);
        const auto r = qm::testing::validators::pffinfo(path);
        if (!r.ran()) GTEST_SKIP() << r.skipped;
        qm::testing::validators::expectClean(r);
        for (const char* says : {"64-bit", c == CryptMethod::None ? "none" : "compressible"})
            EXPECT_NE(r.output.find(says), std::string::npos) << r.output;
    }
}

// Files past 2 GiB (the first FPMap, region 8192) and 4 GiB (offsets above
// 32 bits): minutes of disk writing, so only when QM_PST_HUGE_TESTS is set.
TEST(NdbHuge, FilePastFourGiB) {
    if (!std::getenv("QM_PST_HUGE_TESTS"))
        GTEST_SKIP() << "set QM_PST_HUGE_TESTS=1 to write a 4.3 GB file";
    ScratchDir dir;
    auto w = NodeDatabaseWriter::create(dir / "huge.pst");
    std::vector<Nid> nids;
    for (uint32_t i = 0; i < 22; ++i) {  // 200 MB streams, committed as they go
        nids.push_back(w->allocateNid(NID_TYPE_SEARCH_UPDATE_QUEUE));
        w->setNode({nids.back(), w->writeStream(PatternSource(200'000'000, i)), 0, 0});
        w->commit();
    }
    // Rewrite a node near the end: its new blocks land above 4 GiB.
    const Bid late = w->writeData(Bytes(100000, 0x5A));
    w->setNode({nids.front(), late, 0, 0});
    w->close();
    const auto db = checked(dir / "huge.pst");
    EXPECT_GT(db->header().root.fileEof, fpmapOffset(kRegionsInHeaderFP));
    EXPECT_GT(db->findBlock(late)->ib, uint64_t(1) << 32);
    EXPECT_EQ(nodeData(*db, nids.front()), Bytes(100000, 0x5A));
}

// Runs `child` in a child process (which ends it with _exit); its wait status.
template <typename F>
int inChild(F child) {
    const pid_t pid = fork();
    if (pid == 0) child();
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

// Crash consistency. Transaction t (1-based) adds message node t with a
// stream of its own, rewrites a "folder" node whose data says t, and deletes
// message t - 3 (search update queues: nodes whose data is a raw stream).
Bytes folderData(uint32_t t) {
    Bytes b(3000 + t * 37 % 5000);
    for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(t + i);
    return b;
}
Nid messageNid(uint32_t t) {
    return makeNid(NID_TYPE_SEARCH_UPDATE_QUEUE, 0x1000 + t);
}
constexpr Nid kFolder = makeNid(NID_TYPE_SEARCH_UPDATE_QUEUE, 0x10);

void runTransactions(NodeDatabaseWriter& w, uint32_t count, int reportFd) {
    for (uint32_t t = 1; t <= count; ++t) {
        const Bid s = w.writeStream(PatternSource(20000 + t * 1000, t));
        w.reserveNid(messageNid(t));
        w.reserveNid(kFolder);
        w.setNode({messageNid(t), s, 0, 0});
        w.setNode({kFolder, w.writeData(folderData(t)), 0, 0});
        if (t > 3) w.deleteNode(messageNid(t - 3));
        w.commit();
        if (reportFd >= 0 && ::write(reportFd, &t, sizeof t) != sizeof t) _exit(3);
    }
}

// The transaction the file holds (0: the empty state); fails the test when
// the file is not exactly one committed state.
uint32_t committedState(const fs::path& path) {
    const auto db = checked(path);
    if (!db->findNode(kFolder)) {
        EXPECT_TRUE(db->nodes().empty());
        return 0;
    }
    const Bytes folder = nodeData(*db, kFolder);
    uint32_t t = 0;
    for (uint32_t c = 1; c < 400; ++c)
        if (folder == folderData(c)) t = c;
    EXPECT_NE(t, 0u) << "folder node holds no committed state";
    for (uint32_t m = 1; m <= t; ++m) {
        const bool present = db->findNode(messageNid(m)) != nullptr;
        EXPECT_EQ(present, m + 3 > t) << "message " << m << " in state " << t;
        if (present) {
            EXPECT_EQ(nodeData(*db, messageNid(m)), PatternSource(20000 + m * 1000, m).readAll());
        }
    }
    EXPECT_FALSE(db->findNode(messageNid(t + 1)));
    return t;
}

TEST(NdbCrash, KilledAfterEachCommitStep) {
    for (const char* step : {"data", "invalid-header", "maps", "header"}) {
        ScratchDir dir;
        const int status = inChild([&] {
            auto w = NodeDatabaseWriter::create(dir / "a.pst");
            runTransactions(*w, 4, -1);
            int seen = 0;
            w->setCommitObserver([&](const char* s) {
                if (std::strcmp(s, step) == 0 && ++seen == 1) ::kill(::getpid(), SIGKILL);
            });
            runTransactions(*w, 5, -1);  // transaction 1 again: a fifth commit
            _exit(0);
        });
        ASSERT_TRUE(WIFSIGNALED(status)) << step;
        // Killed in the fifth commit (which sets the folder to state 1):
        // before its header lands the file is state 4. Killed while the maps
        // are rewritten, the header says they are to be rebuilt.
        const auto db = checked(dir / "a.pst");
        const bool mapsInFlight =
            !std::strcmp(step, "invalid-header") || !std::strcmp(step, "maps");
        EXPECT_EQ(db->header().root.amapValid == uint8_t(AMapValid::Invalid), mapsInFlight) << step;
        EXPECT_EQ(nodeData(*db, kFolder), folderData(std::strcmp(step, "header") ? 4 : 1)) << step;
    }
}

TEST(NdbCrash, KilledAtRandomMoments) {
    std::mt19937 rng(42);
    for (int trial = 0; trial < 12; ++trial) {
        ScratchDir dir;
        const auto path = dir / "a.pst";
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            auto w = NodeDatabaseWriter::create(path);
            const uint32_t zero = 0;
            if (::write(fds[1], &zero, sizeof zero) != sizeof zero) _exit(3);
            runTransactions(*w, 300, fds[1]);
            _exit(0);
        }
        ::close(fds[1]);
        uint32_t last = 0, t = 0;
        ASSERT_EQ(::read(fds[0], &t, sizeof t), ssize_t(sizeof t));  // the file exists
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 150000));
        ::kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        while (::read(fds[0], &t, sizeof t) == ssize_t(sizeof t)) last = t;
        ::close(fds[0]);
        const uint32_t state = committedState(path);
        EXPECT_TRUE(state == last || state == last + 1)
            << "trial " << trial << ": file holds " << state << ", child had committed " << last;
    }
}

TEST(NdbCrash, AFailedWriteStopsTheWriterAndKeepsTheLastCommit) {
    ScratchDir dir;
    const int status = inChild([&] {
        // The file may not grow past 3 MB: writes beyond fail with EFBIG.
        ::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit lim { 3u << 20, 3u << 20 };
        ::setrlimit(RLIMIT_FSIZE, &lim);
        auto w = NodeDatabaseWriter::create(dir / "a.pst");
        runTransactions(*w, 3, -1);
        w->reserveNid(makeNid(NID_TYPE_SEARCH_UPDATE_QUEUE, 0x5000));  // fillers above messages
        try {
            for (uint32_t i = 0; i < 100; ++i) {
                const Nid nid = w->allocateNid(NID_TYPE_SEARCH_UPDATE_QUEUE);
                w->setNode({nid, w->writeStream(PatternSource(1 << 20, i)), 0, 0});
                w->commit();
            }
            _exit(10);  // the limit never hit
        } catch (const IoError&) {
        }
        // Writing or committing on after a failure fails too.
        try {
            w->writeDataBlock(Bytes(10, 1));
            _exit(11);
        } catch (const Error&) {
        }
        try {
            w->commit();
            _exit(12);
        } catch (const Error&) {
        }
        _exit(0);
    });
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(committedState(dir / "a.pst"), 3u);
}

}  // namespace
}  // namespace qm::pst::ndb
