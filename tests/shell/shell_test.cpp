// The walkers under both front ends, on real trees: which names are
// messages, the name order, the walk, and SourceRows.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mapi/error.h"
#include "shell/directory_listing.h"
#include "shell/folder_walk.h"
#include "shell/msg_name.h"
#include "shell/name_order.h"
#include "shell/source_rows.h"
#include "support/scratch_dir.h"

namespace qm::shell {
namespace {

namespace fs = std::filesystem;

TEST(MessageNames, LowerCasedTrimmedLastFourCharactersThenUpperCasedOrdinalThenExactName) {
    for (const char* name : {"/m/a.MSG", "/m/a.msg   ", "  /m/a.msg", ".msg", "/m/\xc3\xa9.msg"})
        EXPECT_TRUE(IsMsgFileName(name)) << '"' << name << '"';
    for (const char* name :
         {"/m/a.msgx", "/m/a.msg\t", "/m/amsg", "msg", "", "    ", "/m/a.m\xc3\x9fg"})
        EXPECT_FALSE(IsMsgFileName(name)) << '"' << name << '"';
    const char* const cases[][3] = {
        {"a", "_a", "upper-cased: 'A' (0x41) is before '_' (0x5F)"},
        {"B", "b", "equal ignoring case: the exact bytes decide"},
        {"abc", "ABCD", "a prefix first"},
        {"\xC3\xA9z", "\xC3\x8B", "U+00E9 as U+00C9, before U+00CB"},
        {"\xC5\x82x", "\xC5\x81y", "Latin Extended-A: U+0142 as U+0141"},
        {"\xCE\xB1", "\xCE\x92", "Greek: alpha as U+0391, before U+0392"},
        {"\xD1\x8F", "\xD0\xAF\x61", "Cyrillic: U+044F as U+042F"},
        {"\xF0\x9F\x93\xA7", "\xFF", "an undecodable byte after every code point"},
        {"\xC3", "\xC3\xFF", "a cut sequence is its bytes"},
    };
    for (const auto& [first, second, why] : cases) {
        SCOPED_TRACE(why);
        EXPECT_TRUE(NameOrderLess(first, second));
        EXPECT_FALSE(NameOrderLess(second, first));
        EXPECT_FALSE(NameOrderLess(first, first));
    }
}

struct Tree : qm::testing::ScratchDir {
    std::string at(const std::string& rel) const { return (*this / rel).string(); }
};

// One line per file, then one per skipped folder.
std::string WalkText(const std::string& start) {
    std::string out;
    FolderWalk walk(start);
    for (std::string path; walk.Next(path);) out += path + "\n";
    std::string path;
    EXPECT_FALSE(walk.Next(path)) << "a finished walk stays finished";
    for (const SkippedFolder& f : walk.Skipped())
        out += "skipped " + f.path + ": " + f.reason + "\n";
    return out;
}

TEST(FolderWalk, BreadthFirstInNameOrderThroughLinksOnce) {
    Tree t;
    for (const char* f :
         {"gamma/z.msg", "_x/a.msg", "beta/B.msg", "beta/a.msg", "Alpha/b.msg",
          "Alpha/Sub/deep/c.msg", "Alpha/Sub/a.msg", "notes.txt", "a_.msg", "A.msg", "a.msg"})
        t.touch(f);
    fs::create_directories(t / "Alpha/empty");
    fs::create_symlink(t / "beta/a.msg", t / "gamma/link.msg");
    fs::create_directory_symlink(t.path(), t / "Alpha/Sub/deep/back");  // a loop
    fs::create_directory_symlink(t / "Alpha/Sub", t / "gamma/twice");
    fs::create_symlink(t / "nowhere.msg", t / "beta/dangling.msg");
    ASSERT_EQ(::mkfifo(t.at("beta/pipe.msg").c_str(), 0600), 0);
    std::string expected;
    for (const char* f :
         {"A.msg", "a.msg", "a_.msg", "notes.txt", "Alpha/b.msg", "beta/a.msg", "beta/B.msg",
          "gamma/link.msg", "gamma/z.msg", "_x/a.msg", "Alpha/Sub/a.msg", "Alpha/Sub/deep/c.msg"})
        expected += t.at(f) + "\n";
    EXPECT_EQ(WalkText(t.str()), expected);
    EXPECT_EQ(WalkText(t.str() + "/"), expected);
    EXPECT_THROW(DirectoryListing(t.at("missing")), qm::IoError);
    // What is not a folder yields nothing.
    for (const std::string& start :
         {t.at("a.msg"), t.at("missing"), std::string(), t.at("Alpha/empty")})
        EXPECT_EQ(WalkText(start), "") << start;
}

// A folder gone between its listing and its walk is skipped; the start
// failing ends the walk. SourceRows, read several times in a run, keeps its
// rows as counted, or a vanished file would shift the rows after it.
TEST(FolderWalk, AFolderBelowTheStartThatCannotBeListedIsSkipped) {
    Tree t;
    for (const char* f : {"a.msg", "gone/b.msg", "open/d.msg", "open/x.eml"}) t.touch(f);
    const std::string r = t.str() + "/";
    FolderWalk walk(t.str());
    std::string path;
    ASSERT_TRUE(walk.Next(path));
    fs::remove_all(t / "gone");
    ASSERT_TRUE(walk.Next(path));
    EXPECT_EQ(path, t.at("open/d.msg"));
    ASSERT_TRUE(walk.Next(path));
    EXPECT_FALSE(walk.Next(path));
    ASSERT_EQ(walk.Skipped().size(), 1u);
    EXPECT_EQ(walk.Skipped()[0].path, r + "gone/");
    EXPECT_NE(walk.Skipped()[0].reason.find("No such file"), std::string::npos);
    FolderWalk lost(t.at("open"));
    fs::rename(t / "open", t / "moved");
    EXPECT_THROW(lost.Next(path), qm::IoError);
    // By index, then by cursor. A file given by name is a row whatever it is
    // called; a folder given twice gives its files twice.
    SourceRows rows({{t.str(), true}, {t.at("x.eml"), false}, {t.at("moved"), true}});
    EXPECT_EQ(rows.Row(0), nullptr);
    ASSERT_EQ(rows.Count(), 4);
    t.touch("new.msg");
    fs::remove_all(t / "moved");
    std::string text;
    for (int64_t i = 0; i < rows.Rows(); ++i) text += *rows.Row(i) + " ";
    EXPECT_EQ(rows.Row(rows.Rows()), nullptr);
    EXPECT_EQ(rows.Row(-1), nullptr);
    SourceRows::Cursor cursor = rows.NewCursor();
    for (std::string row; cursor.Next(row);) text += row + " ";
    const std::string listed =
        r + "a.msg " + r + "moved/d.msg " + r + "x.eml " + r + "moved/d.msg ";
    EXPECT_EQ(text, listed + listed);
}

// Past its spill point the rows live in scratch files, read a window at a
// time: forwards, backwards and by cursor, each is the row kept in memory.
TEST(SourceRows, RowsSpilledToScratchFilesReadAsKeptInMemory) {
    Tree t;
    for (int i = 0; i < 4200; ++i) t.touch("big/f" + std::to_string(i) + ".msg");
    for (int i = 0; i < 30; ++i) t.touch("big/sub/g" + std::to_string(i) + ".msg");
    t.touch("x.msg");
    const std::vector<SourceRows::Source> sources{{t.at("big"), true}, {t.at("x.msg"), false}};
    SourceRows kept(sources), spilled(sources, 100);
    ASSERT_EQ(kept.Count(), 4231);
    ASSERT_EQ(spilled.Count(), 4231);
    for (int64_t i = 0; i < kept.Rows(); ++i) ASSERT_EQ(*spilled.Row(i), *kept.Row(i)) << i;
    for (int64_t i = kept.Rows() - 1; i >= 0; i -= 7) ASSERT_EQ(*spilled.Row(i), *kept.Row(i)) << i;
    EXPECT_EQ(spilled.Row(kept.Rows()), nullptr);
    SourceRows::Cursor cursor = spilled.NewCursor();
    int64_t n = 0;
    for (std::string row; cursor.Next(row); ++n) ASSERT_EQ(row, *kept.Row(n)) << n;
    EXPECT_EQ(n, kept.Rows());
}

}  // namespace
}  // namespace qm::shell
