// The engine without a front end: a list of rows, a recording observer,
// readers that stand in for damaged input, the read-ahead under it, and the
// shared corpus through a whole run. The window's behaviour over it is
// tested in tests/app (run_test.cpp), the command line's in tests/cli.
#include "convert/conversion.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <optional>

#include "convert/read_ahead.h"
#include "convert/relative_folder.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "msg/msg.h"
#include "run_fixture.h"

namespace qm::convert {
namespace {

namespace fs = std::filesystem;
using qm::testing::ScratchDir;

ReadAhead::PathSource listOf(std::vector<std::string> paths) {
    return [paths = std::move(paths), i = size_t(0)](std::string& path) mutable {
        if (i == paths.size()) return false;
        path = paths[i++];
        return true;
    };
}

struct Rows : SourceList {
    explicit Rows(std::vector<std::string> rows) : rows(std::move(rows)) {}
    int64_t size() override { return int64_t(rows.size()); }
    std::string path(int64_t row) override {
        ++reads;
        return rows.at(size_t(row));
    }
    std::unique_ptr<SourceCursor> readAheadCursor() override {
        struct Cursor : SourceCursor {
            ReadAhead::PathSource source;
            bool next(std::string& p) override { return source(p); }
        };
        auto c = std::make_unique<Cursor>();
        c->source = listOf(rows);
        return c;
    }
    std::vector<std::string> rows;
    int reads = 0;
};

struct Recorder : Observer {
    void messageDone(const MessageOutcome& m) override { done.push_back(m); }
    void warning(const Warning& w) override { warnings.push_back(w); }
    std::vector<MessageOutcome> done;
    std::vector<Warning> warnings;
};

// Reads .msg files and adds the warnings a damaged file would have given
// (keyed by file name); a name listed with no warnings fails to read.
struct DamagedReader : MessageReader {
    std::map<std::string, std::vector<std::string>> damage;
    mapi::Message read(const std::string& path) override {
        mapi::Message m = msg::readMsgFile(path);
        const auto it = damage.find(fs::path(path).filename().string());
        if (it != damage.end()) {
            if (it->second.empty()) throw qm::Error(path + ": unreadable by design");
            m.warnings = it->second;
        }
        return m;
    }
};

ConversionOptions optionsIn(const ScratchDir& dst) {
    ConversionOptions o;
    o.destination = WithTrailingSeparator(dst.str());
    o.clock = qm::testing::fixedClock({2026, 12, 6, 3, 44, 8});
    return o;
}

TEST(ConversionTest, FolderListFromTheRowsAsFromTheirFoldersAll) {
    // Runs of one folder (as a folder walk lists them), folders coming back
    // later, and case-different twins.
    std::vector<std::string> paths;
    for (int i = 0; i < 30; ++i) paths.push_back("/m/b/x" + std::to_string(i) + ".msg");
    for (int i = 0; i < 5; ++i) paths.push_back("/m/a/c/y" + std::to_string(i) + ".msg");
    for (const char* p : {"/m/b/z.msg", "/m/B/z.msg", "/m/b/w.msg", "/n/\xC3\xA9/v.msg"})
        paths.push_back(p);
    paths.push_back("/m/a/u.msg");
    ScratchDir dst;
    Conversion c(optionsIn(dst));
    Rows rows(paths);
    Recorder seen;
    const RunReport report = c.run(rows, seen);
    ASSERT_EQ(report.outcome, RunOutcome::Completed) << report.trappedCause;
    EXPECT_EQ(c.folderList(),
              (StringList{"m", "m\\B", "m\\a", "m\\a\\c", "m\\b", "n", "n\\\xC3\xA9"}));
    EXPECT_EQ(report.folders, 6);  // m\B and m\b are one store folder
    EXPECT_TRUE(report.failedFolders.empty());
    // Every row read twice (folder list, import), and failed alone: no such file.
    EXPECT_EQ(rows.reads, int(2 * paths.size()));
    ASSERT_EQ(report.failed.size(), paths.size());
    EXPECT_NE(report.failed[0].reason.find("no such file"), std::string::npos);
    EXPECT_FALSE(c.storeOpen());
    EXPECT_EQ(seen.done.size(), paths.size());
    EXPECT_EQ(seen.done.back().storeFolder, "m\\a");
}

TEST(ConversionTest, ARowWithoutAFolderTrapsAndTheStoreStaysOpenUntilClosed) {
    ScratchDir dst;
    Conversion c(optionsIn(dst));
    Rows rows({"/m/a.msg", "relative.msg"});
    Recorder seen;
    const RunReport report = c.run(rows, seen);
    EXPECT_EQ(report.outcome, RunOutcome::Trapped);
    EXPECT_TRUE(report.storeCreated);
    EXPECT_TRUE(c.storeOpen());
    EXPECT_TRUE(seen.done.empty());
    EXPECT_THROW(c.run(rows, seen), qm::Error);  // once only
    c.close();
    EXPECT_FALSE(c.storeOpen());
    EXPECT_EQ(qm::testing::checkFindings(report.pstPath), "");
}

// What a reader repaired is reported per message, in list order, and the
// message is still converted; a read that fails is a failure, not a warning.
// The observer hears every warning; the report counts them all but keeps
// only the first kKeptWarnings.
TEST(ConversionTest, ReaderWarningsAreReportedNeverCountedAsFailures) {
    ScratchDir src;
    std::vector<std::string> paths;
    for (const char* name :
         {"clean.msg", "damaged.msg", "twice.msg", "unreadable.msg", "noisy.msg"}) {
        paths.push_back((src.path() / "M" / name).string());
        qm::testing::writeMessage(paths.back(), qm::testing::testMessage(name));
    }
    auto reader = std::make_shared<DamagedReader>();
    reader->damage["damaged.msg"] = {"attachment 2 dropped: its stream is cut short"};
    reader->damage["twice.msg"] = {"recipient 1 dropped", "property 0x0037 repaired"};
    reader->damage["unreadable.msg"] = {};
    for (size_t i = 0; i < kKeptWarnings; ++i)
        reader->damage["noisy.msg"].push_back("warning " + std::to_string(i));
    const int64_t total = 3 + int64_t(kKeptWarnings);
    for (bool ahead : {false, true}) {
        SCOPED_TRACE(ahead ? "read ahead" : "read in turn");
        ScratchDir out;
        ConversionOptions o = optionsIn(out);
        o.reader = reader;
        o.readAhead = ahead;
        Conversion c(o);
        Rows rows(paths);
        Recorder seen;
        const RunReport report = c.run(rows, seen);
        ASSERT_EQ(report.outcome, RunOutcome::Completed) << report.trappedCause;
        EXPECT_EQ(report.converted, 4);
        ASSERT_EQ(report.failed.size(), 1u);
        EXPECT_EQ(report.failed[0].path, paths[3]);
        EXPECT_EQ(report.warningCount, total);
        ASSERT_EQ(report.warnings.size(), kKeptWarnings);
        EXPECT_EQ(report.warnings.back().what, "warning " + std::to_string(kKeptWarnings - 4));
        EXPECT_EQ(report.warnings[0].path, paths[1]);
        EXPECT_EQ(report.warnings[0].what, "attachment 2 dropped: its stream is cut short");
        EXPECT_EQ(report.warnings[2].path, paths[2]);
        EXPECT_EQ(report.warnings[2].what, "property 0x0037 repaired");
        ASSERT_EQ(seen.warnings.size(), size_t(total));
        EXPECT_EQ(seen.warnings[1].what, "recipient 1 dropped");
        EXPECT_EQ(seen.warnings.back().path, paths[4]);
        EXPECT_EQ(qm::testing::readBack(
                      report.pstPath)["folders"][GetRelativeFolder(paths[0])]["subjects"],
                  nlohmann::json({"clean.msg", "damaged.msg", "twice.msg", "noisy.msg"}));
    }
}

// The shared corpus of real-world .msg files through a whole run: every file
// our reader reads lands in its mirrored folder, every other one is reported
// with its cause, and the store reads clean everywhere.
TEST(CorpusRunTest, ReadableMessagesConvertAndBrokenOnesAreReported) {
    const char* shared = std::getenv("QM_SHARED_DIR");
    if (!shared || !fs::is_directory(fs::path(shared) / "corpus")) {
        GTEST_SKIP() << "QM_SHARED_DIR/corpus is not available; the corpus run is skipped";
    }
    std::vector<std::string> files;
    std::map<std::string, size_t> expected;  // store folder -> readable messages
    size_t readable = 0;
    for (const auto& e : fs::recursive_directory_iterator(fs::path(shared) / "corpus")) {
        std::string ext = e.path().extension().string();
        for (auto& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
        if (e.is_regular_file() && ext == ".msg") files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
        try {
            msg::readMsgFile(f);
            ++readable;
            ++expected[GetRelativeFolder(f)];
        } catch (const qm::Error&) {
        }
    }
    ASSERT_GT(readable, 0u);
    ScratchDir dst;
    Conversion conversion(optionsIn(dst));
    Rows rows(files);
    Observer quiet;
    const RunReport report = conversion.run(rows, quiet);
    ASSERT_EQ(report.outcome, RunOutcome::Completed) << report.trappedCause;
    EXPECT_EQ(report.converted, int64_t(readable));
    EXPECT_EQ(report.failed.size(), files.size() - readable);
    for (const auto& f : report.failed) EXPECT_FALSE(f.reason.empty()) << f.path;
    const auto back = qm::testing::readEverywhere(report.pstPath, false);
    for (const auto& [folder, count] : expected) {
        EXPECT_EQ(back["folders"].value(folder, nlohmann::json())["subjects"].size(), count)
            << folder;
    }
}

// Reading ahead: the run gets exactly what its own read would give (message
// or error), in list order, skipped rows dropped, FIFOs never opened.
struct Files {
    ScratchDir dir;
    std::vector<std::string> paths;
    explicit Files(int n) {
        for (int i = 0; i < n; ++i) {
            paths.push_back((dir / ("m" + std::to_string(i) + ".msg")).string());
            qm::testing::writeMessage(paths.back(),
                                      qm::testing::testMessage("subject " + std::to_string(i)));
        }
    }
};

mapi::Message readMsg(const std::string& path) {
    return msg::readMsgFile(path);
}

// The subject of the message `f` gives, "(none)", or the text of what it threw.
std::string outcomeOf(const std::function<std::optional<mapi::Message>()>& f) {
    try {
        const auto m = f();
        return m ? m->props.string(mapi::propId(mapi::tag::Subject)).value_or("") : "(none)";
    } catch (const qm::Error& e) {
        return e.what();
    }
}

TEST(ReadAhead, GivesEachMessageInListOrderTakingPathsOnlyAsItNeedsThem) {
    Files f(30);  // more than kMaxMessages: the worker has to wait for the run
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
        EXPECT_EQ(outcomeOf([&] { return ahead.take(f.paths[i]); }),
                  "subject " + std::to_string(i));
        // Never more than the queue ahead of what was taken, plus the one
        // the worker holds.
        EXPECT_LE(asked.load(), i + 1 + ReadAhead::kMaxMessages + 1) << i;
    }
    // Stopped while the worker waits for room: the destructor joins it.
    std::optional<ReadAhead> full(std::in_place, listOf(f.paths), readMsg);
    ASSERT_TRUE(full->take(f.paths[0]));
    full.reset();
    // Skipped rows are dropped; a row listed twice (the Open dialog allows
    // it) is read twice; a path not ahead stops it and the caller reads.
    ReadAhead skip(listOf({f.paths[0], f.paths[1], f.paths[2], f.paths[3], f.paths[0]}), readMsg);
    for (size_t i : {0, 3, 0}) {
        EXPECT_EQ(outcomeOf([&] { return skip.take(f.paths[i]); }), "subject " + std::to_string(i));
    }
    EXPECT_EQ(outcomeOf([&] { return skip.take(f.paths[4]); }), "(none)");
    EXPECT_EQ(outcomeOf([&] { return skip.take(f.paths[0]); }), "(none)");
}

TEST(ReadAhead, RethrowsWhatTheReadRaisedNeverOpensAFifoAndStopsWithItsSource) {
    Files f(2);
    const std::string bad = (f.dir / "bad.msg").string(), fifo = (f.dir / "pipe.msg").string();
    std::ofstream(bad) << "not a compound file";
    ReadAhead ahead(listOf({f.paths[0], bad, f.paths[1]}), readMsg);
    EXPECT_EQ(outcomeOf([&] { return ahead.take(f.paths[0]); }), "subject 0");
    const std::string direct = outcomeOf([&] { return readMsg(bad); });
    EXPECT_NE(direct.find("bad.msg"), std::string::npos) << direct;
    EXPECT_EQ(outcomeOf([&] { return ahead.take(bad); }), direct);
    EXPECT_THROW(readMsg((f.dir / "missing.msg").string()), qm::IoError);  // not a FormatError
    EXPECT_EQ(outcomeOf([&] { return ahead.take(f.paths[1]); }), "subject 1");
    // Opening the FIFO would block the worker for good, and this take with it.
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ReadAhead pipe(listOf({fifo, f.paths[0]}), readMsg);
    EXPECT_EQ(outcomeOf([&] { return pipe.take(f.paths[0]); }), "subject 0");
    std::atomic<int> calls{0};
    ReadAhead failing(
        [&](std::string& path) {
            if (calls++ == 1) throw qm::IoError(f.dir.str(), "list folder", EACCES);
            path = f.paths[0];
            return true;
        },
        readMsg);
    EXPECT_EQ(outcomeOf([&] { return failing.take(f.paths[0]); }), "subject 0");
    // Nothing more ahead: the caller reads the next message itself.
    EXPECT_EQ(outcomeOf([&] { return failing.take(f.paths[1]); }), "(none)");
    EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace qm::convert
