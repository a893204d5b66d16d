// The engine without a front end: a list of rows, a recording observer, and
// readers that stand in for damaged input. The window's behaviour over it is
// tested in tests/app (run_test.cpp), the command line's in tests/cli.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "convert/conversion.h"
#include "convert/relative_folder.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "msg/msg.h"
#include "run_fixture.h"

namespace qm::convert {
namespace {

namespace fs = std::filesystem;
using qm::testing::ScratchDir;

class Rows : public SourceList {
  public:
    explicit Rows(std::vector<std::string> rows) : rows_(std::move(rows)) {}
    int64_t size() override { return int64_t(rows_.size()); }
    std::string path(int64_t row) override {
        ++reads;
        return rows_.at(size_t(row));
    }
    std::unique_ptr<SourceCursor> readAheadCursor() override {
        if (!offerCursor) return nullptr;
        struct Cursor : SourceCursor {
            std::vector<std::string> rows;
            size_t next_ = 0;
            bool next(std::string& p) override {
                if (next_ == rows.size()) return false;
                p = rows[next_++];
                return true;
            }
        };
        auto c = std::make_unique<Cursor>();
        c->rows = rows_;
        return c;
    }
    int reads = 0;
    bool offerCursor = false;

  private:
    std::vector<std::string> rows_;
};

struct Recorder : Observer {
    void yield() override { ++yields; }
    void messageDone(const MessageOutcome& m) override { done.push_back(m); }
    void warning(const Warning& w) override { warnings.push_back(w); }
    int yields = 0;
    std::vector<MessageOutcome> done;
    std::vector<Warning> warnings;
};

// Reads .msg files and adds the warnings a damaged file would have given
// (keyed by file name); a name listed with an empty warning fails to read.
class DamagedReader : public MessageReader {
  public:
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
    for (const char* p :
         {"/m/b/z.msg", "/m/B/z.msg", "/m/b/w.msg", "/n/\xC3\xA9/v.msg", "/m/a/u.msg"}) {
        paths.push_back(p);
    }
    ScratchDir dst;
    Conversion c(optionsIn(dst));
    Rows rows(paths);
    Recorder seen;
    const RunReport report = c.run(rows, seen);
    ASSERT_EQ(report.outcome, RunOutcome::Completed) << report.trappedCause;
    EXPECT_EQ(c.folderList(),
              (StringList{"m", "m\\B", "m\\a", "m\\a\\c", "m\\b", "n", "n\\\xC3\xA9"}));
    // m\B and m\b are one store folder.
    EXPECT_EQ(report.folders, 6);
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
TEST(ConversionTest, ReaderWarningsAreReportedNeverCountedAsFailures) {
    ScratchDir src;
    ScratchDir dst;
    std::vector<std::string> paths;
    for (const char* name : {"clean.msg", "damaged.msg", "twice.msg", "unreadable.msg"}) {
        const fs::path p = src.path() / "M" / name;
        qm::testing::writeMessage(p, qm::testing::testMessage(name));
        paths.push_back(p.string());
    }
    for (bool ahead : {false, true}) {
        SCOPED_TRACE(ahead ? "read ahead" : "read in turn");
        auto reader = std::make_shared<DamagedReader>();
        reader->damage["damaged.msg"] = {"attachment 2 dropped: its stream is cut short"};
        reader->damage["twice.msg"] = {"recipient 1 dropped", "property 0x0037 repaired"};
        reader->damage["unreadable.msg"] = {};
        ScratchDir out;
        ConversionOptions o = optionsIn(out);
        o.reader = reader;
        o.readAhead = ahead;
        Conversion c(o);
        Rows rows(paths);
        rows.offerCursor = ahead;
        Recorder seen;
        const RunReport report = c.run(rows, seen);
        ASSERT_EQ(report.outcome, RunOutcome::Completed) << report.trappedCause;
        EXPECT_EQ(report.converted, 3);
        ASSERT_EQ(report.failed.size(), 1u);
        EXPECT_EQ(report.failed[0].path, paths[3]);
        ASSERT_EQ(report.warnings.size(), 3u);
        EXPECT_EQ(report.warnings[0].path, paths[1]);
        EXPECT_EQ(report.warnings[0].what, "attachment 2 dropped: its stream is cut short");
        EXPECT_EQ(report.warnings[2].path, paths[2]);
        EXPECT_EQ(report.warnings[2].what, "property 0x0037 repaired");
        ASSERT_EQ(seen.warnings.size(), 3u);
        EXPECT_EQ(seen.warnings[1].what, "recipient 1 dropped");
        const auto back = qm::testing::readBack(report.pstPath);
        EXPECT_EQ(back["folders"][GetRelativeFolder(paths[0])]["subjects"],
                  nlohmann::json({"clean.msg", "damaged.msg", "twice.msg"}));
    }
}

}  // namespace
}  // namespace qm::convert
