// FolderWalk, and the listing it stands on, on real trees: breadth first, each folder's files then
// its sub-folders in name order whatever order they were made in; links to files and folders
// followed, no folder entered twice; FIFOs and dangling links are no files; a
// folder below the start that cannot be listed is skipped.
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mapi/error.h"
#include "shell/directory_listing.h"
#include "shell/folder_walk.h"
#include "shell/source_rows.h"
#include "temp_tree.h"

namespace qm::shell {
namespace {

namespace fs = std::filesystem;
using test::TempTree;

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

std::string CopyName(int n) {
    return (n % 3 == 0   ? "COPY"
            : n % 3 == 1 ? "Copy"
                         : "copy") +
           std::string(n < 10 ? "0" : "") + std::to_string(n) + ".msg";
}

TEST(FolderWalk, BreadthFirstInNameOrderThroughLinksOnce) {
    TempTree t;
    for (int i = 30; i >= 0; --i) t.file(CopyName((i * 17) % 31));  // scrambled
    for (const char* f :
         {"gamma/z.msg", "_x/a.msg", "beta/B.msg", "beta/a.msg", "Alpha/b.msg",
          "Alpha/Sub/deep/c.msg", "Alpha/Sub/a.msg", "notes.txt", "a_.msg", "A.msg", "a.msg"})
        t.file(f);
    t.dir("Alpha/empty");
    fs::create_symlink(t.path("beta/a.msg"), t.path("gamma/link.msg"));
    fs::create_directory_symlink(t.root(), t.path("Alpha/Sub/deep/back"));  // a loop
    fs::create_directory_symlink(t.path("Alpha/Sub"), t.path("gamma/twice"));
    fs::create_symlink(t.path("nowhere.msg"), t.path("beta/dangling.msg"));
    ASSERT_EQ(::mkfifo(t.path("beta/pipe.msg").c_str(), 0600), 0);
    std::string expected;
    for (const std::string f : {"A.msg", "a.msg", "a_.msg"}) expected += t.path(f) + "\n";
    for (int n = 0; n <= 30; ++n) expected += t.path(CopyName(n)) + "\n";
    for (const char* f : {"notes.txt", "Alpha/b.msg", "beta/a.msg", "beta/B.msg", "gamma/link.msg",
                          "gamma/z.msg", "_x/a.msg", "Alpha/Sub/a.msg", "Alpha/Sub/deep/c.msg"})
        expected += t.path(f) + "\n";
    EXPECT_EQ(WalkText(t.root()), expected);
    EXPECT_EQ(WalkText(t.root() + "/"), expected);
    // The listing under the walk agrees with the standard library on every
    // kind of entry: files, folders, links to each, dangling links, FIFOs.
    for (const std::string& folder : {t.root(), t.path("beta") + "/", t.path("gamma")}) {
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
    EXPECT_THROW(DirectoryListing(t.path("missing")), qm::IoError);
    EXPECT_THROW(DirectoryListing(t.path("a.msg")), qm::IoError);
    // What is not a folder yields nothing.
    for (const std::string& start :
         {t.path("a.msg"), t.path("missing"), std::string(), t.path("Alpha/empty")})
        EXPECT_EQ(WalkText(start), "") << start;
}

TEST(FolderWalk, AFolderBelowTheStartThatCannotBeListedIsSkipped) {
    TempTree t;
    for (const char* f : {"a.msg", "locked/b.msg", "locked/deeper/c.msg", "open/d.msg"}) t.file(f);
    const std::string r = t.root() + "/";
    fs::permissions(t.path("locked"), fs::perms::none);
    const std::string denied = r + "locked/: list folder failed: Permission denied";
    EXPECT_EQ(test::WherePermissionsBind(t, [&] { return WalkText(t.root()); }),
              r + "a.msg\n" + r + "open/d.msg\nskipped " + r + "locked/: " + denied + "\n");
    // SourceRows, which counts the rows a run reads, serves the rest too.
    const auto rows = [&](const std::vector<SourceRows::Source>& sources) {
        return test::WherePermissionsBind(t, [&] {
            SourceRows rows(sources);
            std::string text = std::to_string(rows.Count());
            for (int64_t i = 0; i < rows.Rows(); ++i) text += " " + *rows.Row(i);
            for (const auto& f : rows.SkippedFolders()) text += " skipped " + f.path;
            return text;
        });
    };
    EXPECT_EQ(rows({{t.root(), true}, {t.path("late.msg"), false}}),
              "3 " + r + "a.msg " + r + "open/d.msg " + r + "late.msg skipped " + r + "locked/");
    // The chosen folder itself failing to list ends the walk with the error.
    EXPECT_EQ(test::WherePermissionsBind(t, [&] { return WalkText(t.path("locked")); }),
              "exception: " + denied);
    EXPECT_EQ(rows({{t.path("locked"), true}}), "exception: " + denied);
    // Queued when the top was listed, gone before it is entered.
    fs::permissions(t.path("locked"), fs::perms::owner_all);
    FolderWalk walk(t.root());
    std::string path;
    ASSERT_TRUE(walk.Next(path));
    fs::remove_all(t.path("locked"));
    ASSERT_TRUE(walk.Next(path));
    EXPECT_EQ(path, t.path("open/d.msg"));
    EXPECT_FALSE(walk.Next(path));
    ASSERT_EQ(walk.Skipped().size(), 1u);
    EXPECT_EQ(walk.Skipped()[0].path, r + "locked/");
}

}  // namespace
}  // namespace qm::shell
