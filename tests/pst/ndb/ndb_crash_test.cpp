// Crash consistency: a child process writes and commits, and is killed
// (SIGKILL) at random moments and right after each step of a commit. The
// parent then reads the file: it must check clean and hold exactly the
// state of the last commit the child finished, or of the one it was in.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "mapi/error.h"
#include "pst/ndb/ndb_file_check.h"
#include "pst/ndb/node_database_writer.h"
#include "pst/ndb/test_files.h"

namespace qm::pst::ndb {
namespace {

using qm::pst::testing::TempDir;
using testing::checkFile;

// Transaction t (1-based): adds message node t with a stream of its own,
// rewrites a "folder" node whose data says t, and deletes message t - 3.
Bytes folderData(uint32_t t) {
    Bytes b(3000 + t * 37 % 5000);
    for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(t + i);
    return b;
}
// Search update queues: nodes whose data is a raw stream, as here.
Nid messageNid(uint32_t t) {
    return makeNid(NID_TYPE_SEARCH_UPDATE_QUEUE, 0x1000 + t);
}
constexpr Nid kFolder = makeNid(NID_TYPE_SEARCH_UPDATE_QUEUE, 0x10);

void runTransactions(NodeDatabaseWriter& w, uint32_t count, int reportFd) {
    for (uint32_t t = 1; t <= count; ++t) {
        Bid s = w.writeStream(PatternSource(20000 + t * 1000, t));
        w.reserveNid(messageNid(t));
        w.reserveNid(kFolder);
        w.setNode({messageNid(t), s, 0, 0});
        w.setNode({kFolder, w.writeData(folderData(t)), 0, 0});
        if (t > 3) w.deleteNode(messageNid(t - 3));
        w.commit();
        if (reportFd >= 0 && ::write(reportFd, &t, sizeof t) != sizeof t) _exit(3);
    }
}

// The transaction the file holds, or 0 for the empty state; fails the test
// when the file is not exactly one committed state.
uint32_t committedState(const std::string& path) {
    auto v = checkFile(path);
    EXPECT_TRUE(v.clean()) << v.report();
    for (const auto& f : testing::readerFindings(path)) ADD_FAILURE() << f;
    if (!v.nodes.count(kFolder)) {
        EXPECT_TRUE(v.nodes.empty());
        return 0;
    }
    Bytes folder = v.data(v.nodes.at(kFolder).bidData);
    uint32_t t = 0;
    for (uint32_t c = 1; c < 400; ++c)
        if (folder == folderData(c)) t = c;
    EXPECT_NE(t, 0u) << "folder node holds no committed state";
    for (uint32_t m = 1; m <= t; ++m) {
        bool present = v.nodes.count(messageNid(m)) > 0;
        EXPECT_EQ(present, m + 3 > t) << "message " << m << " in state " << t;
        if (present) {
            EXPECT_EQ(v.data(v.nodes.at(messageNid(m)).bidData),
                      PatternSource(20000 + m * 1000, m).readAll());
        }
    }
    EXPECT_FALSE(v.nodes.count(messageNid(t + 1)));
    return t;
}

TEST(NdbCrash, KilledAfterEachCommitStep) {
    for (const char* step : {"data", "invalid-header", "maps", "header"}) {
        TempDir dir;
        std::string path = (dir / "a.pst").string();
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            auto w = NodeDatabaseWriter::create(path);
            runTransactions(*w, 4, -1);
            int seen = 0;
            w->setCommitObserver([&](const char* s) {
                if (std::strcmp(s, step) == 0 && ++seen == 1) ::kill(::getpid(), SIGKILL);
            });
            runTransactions(*w, 5, -1);  // transaction 1 again: a fifth commit
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << step;
        // Killed during the fifth commit (which re-adds message 1 and sets
        // the folder to state 1): before its header lands the file is state 4.
        auto v = checkFile(path);
        ASSERT_TRUE(v.clean()) << step << "\n" << v.report();
        bool mapsInFlight =
            std::strcmp(step, "invalid-header") == 0 || std::strcmp(step, "maps") == 0;
        EXPECT_EQ(v.amapsInvalid, mapsInFlight) << step;
        for (const auto& f : testing::readerFindings(path)) ADD_FAILURE() << step << ": " << f;
        Bytes folder = v.data(v.nodes.at(kFolder).bidData);
        if (std::strcmp(step, "header") == 0)
            EXPECT_EQ(folder, folderData(1)) << step;
        else
            EXPECT_EQ(folder, folderData(4)) << step;
    }
}

TEST(NdbCrash, KilledAtRandomMoments) {
    std::mt19937 rng(42);
    for (int trial = 0; trial < 12; ++trial) {
        TempDir dir;
        std::string path = (dir / "a.pst").string();
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            auto w = NodeDatabaseWriter::create(path);
            uint32_t zero = 0;
            if (::write(fds[1], &zero, sizeof zero) != sizeof zero) _exit(3);
            runTransactions(*w, 300, fds[1]);
            _exit(0);
        }
        ::close(fds[1]);
        uint32_t first = 0;
        ASSERT_EQ(::read(fds[0], &first, sizeof first), ssize_t(sizeof first));  // file exists
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 150000));
        ::kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        uint32_t last = 0, t = 0;
        while (::read(fds[0], &t, sizeof t) == ssize_t(sizeof t)) last = t;
        ::close(fds[0]);
        uint32_t state = committedState(path);
        EXPECT_TRUE(state == last || state == last + 1)
            << "trial " << trial << ": file holds " << state << ", child had committed " << last;
    }
}

TEST(NdbCrash, AFailedWriteStopsTheWriterAndKeepsTheLastCommit) {
    TempDir dir;
    std::string path = (dir / "a.pst").string();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The file may not grow past 3 MB: writes beyond fail with EFBIG.
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim {
            3u << 20, 3u << 20
        };
        ::setrlimit(RLIMIT_FSIZE, &lim);
        auto w = NodeDatabaseWriter::create(path);
        runTransactions(*w, 3, -1);
        w->reserveNid(makeNid(NID_TYPE_SEARCH_UPDATE_QUEUE, 0x5000));  // fillers above messages
        try {
            for (uint32_t i = 0; i < 100; ++i) {
                Nid nid = w->allocateNid(NID_TYPE_SEARCH_UPDATE_QUEUE);
                w->setNode({nid, w->writeStream(PatternSource(1 << 20, i)), 0, 0});
                w->commit();
            }
            _exit(10);  // the limit never hit
        } catch (const IoError&) {
        }
        try {
            w->writeDataBlock(Bytes(10, 1));
            _exit(11);  // writing on after a failure
        } catch (const Error&) {
        }
        try {
            w->commit();
            _exit(12);
        } catch (const Error&) {
        }
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(committedState(path), 3u);
}

}  // namespace
}  // namespace qm::pst::ndb
