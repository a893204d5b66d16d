// The walkers under both front ends, on real trees: which names are
// messages; the name order (upper-cased code points, ties by the exact
// bytes, undecodable bytes after every code point); the listing and the walk
// over it (breadth first, each folder's files then its sub-folders in name
// order, links followed, no folder entered twice, FIFOs and dangling links no
// files, a folder below the start that cannot be listed skipped); and
// SourceRows, whose rows stay as counted whatever the tree does after.
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

TEST(IsMsgFileName, LowerCasedTrimmedLastFourCharacters) {
    for (const char* name : {"/m/a.msg", "/m/a.MSG", "/m/a.Msg", "/m/a.msg   ", "  /m/a.msg",
                             ".msg", "/m/\xc3\xa9.msg"})
        EXPECT_TRUE(IsMsgFileName(name)) << '"' << name << '"';
    for (const char* name : {"/m/a.msgx", "/m/a.ms", "/m/a.msg\t", "/m/amsg", "msg", "", "    ",
                             "/m/a.msg.txt", "/m/a.m\xc3\x9fg"})
        EXPECT_FALSE(IsMsgFileName(name)) << '"' << name << '"';
}

TEST(NameOrder, OrdersPairsAsTheUpperCasedOrdinalThenTheExactName) {
    const char* const cases[][3] = {
        {"copy04", "copy14", "digits by code point"},
        {"apple", "Banana", "letter case ignored"},
        {"a", "_a", "upper-cased: 'A' (0x41) is before '_' (0x5F)"},
        {"B", "b", "equal ignoring case: the exact bytes decide"},
        {"abc", "ABCD", "a prefix first"},
        {"Zeta", "\xC3\xA4pfel", "U+00E4 upper-cases to U+00C4, after Z"},
        {"\xC3\xA9z", "\xC3\x8B", "U+00E9 as U+00C9, before U+00CB"},
        {"\xC5\x82"
         "a",
         "\xC5\x81"
         "b",
         "Latin Extended-A: U+0142 as U+0141"},
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
        std::vector<std::string> names = {second, first};
        SortByName(names);
        EXPECT_EQ(names, (std::vector<std::string>{first, second}));
    }
}

struct Tree : qm::testing::ScratchDir {
    Tree() : ScratchDir("qm-shell") {}
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
    for (const std::string f : {"A.msg", "a.msg", "a_.msg"}) expected += t.at(f) + "\n";
    for (const char* f : {"notes.txt", "Alpha/b.msg", "beta/a.msg", "beta/B.msg", "gamma/link.msg",
                          "gamma/z.msg", "_x/a.msg", "Alpha/Sub/a.msg", "Alpha/Sub/deep/c.msg"})
        expected += t.at(f) + "\n";
    EXPECT_EQ(WalkText(t.str()), expected);
    EXPECT_EQ(WalkText(t.str() + "/"), expected);
    // The listing under the walk agrees with the standard library on every
    // kind of entry: files, folders, links to each, dangling links, FIFOs.
    for (const std::string& folder : {t.str(), t.at("beta") + "/", t.at("gamma")}) {
        std::vector<std::pair<std::string, EntryKind>> expected, listed;
        for (const fs::directory_entry& e : fs::directory_iterator(folder)) {
            std::error_code ec;
            expected.emplace_back(e.path().filename().string(),
                                  e.is_regular_file(ec) ? EntryKind::File
                                  : e.is_directory(ec)  ? EntryKind::Folder
                                                        : EntryKind::Other);
        }
        DirectoryListing listing(folder);
        for (std::pair<std::string, EntryKind> e; listing.Next(e.first, e.second);)
            listed.push_back(e);
        std::pair<std::string, EntryKind> more;
        EXPECT_FALSE(listing.Next(more.first, more.second)) << "a finished listing stays so";
        EXPECT_TRUE(listed == expected) << folder;
    }
    EXPECT_THROW(DirectoryListing(t.at("missing")), qm::IoError);
    EXPECT_THROW(DirectoryListing(t.at("a.msg")), qm::IoError);
    // What is not a folder yields nothing.
    for (const std::string& start :
         {t.at("a.msg"), t.at("missing"), std::string(), t.at("Alpha/empty")})
        EXPECT_EQ(WalkText(start), "") << start;
}

// A folder that cannot be listed: queued when its parent was listed, gone
// before it is entered, it is skipped; the chosen folder itself failing ends
// the walk with the error. SourceRows, which the command line reads several
// times in a run (folder list, import, read-ahead), keeps its rows as
// counted whatever the tree does after, or a vanished file would shift the
// rows after it.
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
    // The rows by index, then by the read-ahead's cursor, which does not
    // depend on where the list's reads stand. A file given by name is a row
    // whatever it is called; a folder given twice gives its files twice.
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
    EXPECT_EQ(SourceRows({{t.at("moved"), true}}).Count(), 0);
}

// Past its spill point the list keeps its rows in scratch files and reads
// them back a window at a time: every row, read forwards, backwards and by
// a cursor, is the row the list kept in memory gives, across windows and
// across folders.
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
    SourceRows::Cursor a = kept.NewCursor(), b = spilled.NewCursor();
    std::string ra, rb;
    int64_t n = 0;
    while (a.Next(ra)) {
        ASSERT_TRUE(b.Next(rb));
        ASSERT_EQ(rb, ra) << n++;
    }
    EXPECT_FALSE(b.Next(rb));
    EXPECT_EQ(rb.substr(rb.size() - 5), "x.msg");
}

}  // namespace
}  // namespace qm::shell
