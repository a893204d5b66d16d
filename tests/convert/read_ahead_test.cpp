// Reading ahead: the run gets exactly what its own read would give (message
// or error), in list order, skipped rows dropped, FIFOs never opened.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "convert/read_ahead.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "msg/msg.h"
#include "run_fixture.h"

namespace qm::convert {
namespace {

using qm::testing::ScratchDir;

std::string subjectOf(const mapi::Message& m) {
    return m.props.string(mapi::propId(mapi::tag::Subject)).value_or("");
}

struct Files {
    ScratchDir dir;
    std::vector<std::string> paths;
    explicit Files(int n) {
        for (int i = 0; i < n; ++i) {
            const auto p = dir.path() / ("m" + std::to_string(i) + ".msg");
            qm::testing::writeMessage(p, qm::testing::testMessage("subject " + std::to_string(i)));
            paths.push_back(p.string());
        }
    }
};

ReadAhead::PathSource listOf(std::vector<std::string> paths) {
    return [paths = std::move(paths), i = size_t(0)](std::string& path) mutable {
        if (i == paths.size()) return false;
        path = paths[i++];
        return true;
    };
}

mapi::Message readMsg(const std::string& path) {
    return msg::readMsgFile(path);
}

TEST(ReadAhead, GivesEachMessageInListOrderAsItsOwnReadWould) {
    Files f(20);  // more than kMaxMessages: the worker has to wait for the run
    ReadAhead ahead(listOf(f.paths), readMsg);
    for (int i = 0; i < 20; ++i) {
        auto m = ahead.take(f.paths[size_t(i)]);
        ASSERT_TRUE(m) << i;
        EXPECT_EQ(subjectOf(*m), "subject " + std::to_string(i));
        EXPECT_EQ(subjectOf(*m), subjectOf(msg::readMsgFile(f.paths[size_t(i)])));
    }
}

TEST(ReadAhead, RowsTheRunSkipsAreDroppedAndTheSamePathMayComeTwice) {
    Files f(6);
    std::vector<std::string> list = f.paths;
    list.push_back(f.paths[0]);  // listed twice, as the Open dialog allows
    ReadAhead ahead(listOf(list), readMsg);
    ASSERT_TRUE(ahead.take(f.paths[0]));
    auto third = ahead.take(f.paths[3]);
    ASSERT_TRUE(third);
    EXPECT_EQ(subjectOf(*third), "subject 3");
    auto again = ahead.take(f.paths[0]);
    ASSERT_TRUE(again);
    EXPECT_EQ(subjectOf(*again), "subject 0");
}

TEST(ReadAhead, RethrowsTheErrorTheReadRaised) {
    Files f(2);
    const std::string bad = (f.dir.path() / "bad.msg").string();
    std::ofstream(bad) << "not a compound file";
    std::string direct;
    try {
        msg::readMsgFile(bad);
    } catch (const qm::FormatError& e) {
        direct = e.what();
    }
    ASSERT_FALSE(direct.empty());
    ReadAhead ahead(listOf({f.paths[0], bad, f.paths[1]}), readMsg);
    ASSERT_TRUE(ahead.take(f.paths[0]));
    try {
        ahead.take(bad);
        FAIL() << "no error";
    } catch (const qm::FormatError& e) {
        EXPECT_EQ(std::string(e.what()), direct);
    }
    EXPECT_TRUE(ahead.take(f.paths[1]));
}

TEST(ReadAhead, OutOfStepMeansTheCallerReads) {
    Files f(3);
    ReadAhead ahead(listOf({f.paths[0], f.paths[1]}), readMsg);
    EXPECT_FALSE(ahead.take(f.paths[2]));  // not in the list: prefetch stops
    EXPECT_FALSE(ahead.take(f.paths[0]));
}

TEST(ReadAhead, AFifoIsNeverOpened) {
    Files f(1);
    const std::string fifo = (f.dir.path() / "pipe.msg").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Opening the FIFO would block the worker for good, and this take with it.
    ReadAhead ahead(listOf({fifo, f.paths[0]}), readMsg);
    auto m = ahead.take(f.paths[0]);
    ASSERT_TRUE(m);
    EXPECT_EQ(subjectOf(*m), "subject 0");
}

TEST(ReadAhead, StopWhileTheWorkerWaitsForRoom) {
    Files f(12);
    std::optional<ReadAhead> ahead(std::in_place, listOf(f.paths), readMsg);
    ASSERT_TRUE(ahead->take(f.paths[0]));
    ahead.reset();  // joins a worker blocked on a full queue
}

TEST(ReadAhead, TakesItsPathsFromASourceOnlyAsItNeedsThem) {
    Files f(30);
    std::atomic<size_t> asked{0};
    ReadAhead ahead(
        [&](std::string& path) {
            const size_t i = asked++;
            if (i >= f.paths.size()) return false;
            path = f.paths[i];
            return true;
        },
        readMsg);
    for (size_t i = 0; i < f.paths.size(); ++i) {
        auto m = ahead.take(f.paths[i]);
        ASSERT_TRUE(m) << i;
        EXPECT_EQ(subjectOf(*m), "subject " + std::to_string(i));
        // The worker asks for a path only when the queue has room: never
        // more than the queue ahead of what was taken, plus the one it holds.
        EXPECT_LE(asked.load(), i + 1 + ReadAhead::kMaxMessages + 1) << i;
    }
}

TEST(ReadAhead, ASourceThatFailsEndsTheReadAheadThere) {
    Files f(3);
    std::atomic<int> calls{0};
    ReadAhead ahead(
        [&](std::string& path) {
            if (calls++ == 1) throw qm::IoError(f.dir.str(), "list folder", EACCES);
            path = f.paths[0];
            return true;
        },
        readMsg);
    auto m = ahead.take(f.paths[0]);
    ASSERT_TRUE(m);
    EXPECT_EQ(subjectOf(*m), "subject 0");
    // Nothing more ahead: the caller reads the next message itself.
    EXPECT_FALSE(ahead.take(f.paths[1]));
    EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace qm::convert
