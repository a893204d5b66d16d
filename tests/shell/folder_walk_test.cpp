// The listing the walk stands on agrees with std::filesystem; FolderWalk on
// real trees: breadth first, each folder's files then its sub-folders in name
// order whatever order they were made in; links to files and folders
// followed, no folder entered twice; FIFOs and dangling links are no files; a
// folder below the start that cannot be listed is skipped.
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "mapi/error.h"
#include "shell/directory_listing.h"
#include "shell/folder_walk.h"
#include "temp_tree.h"

namespace qm::shell {
namespace {

namespace fs = std::filesystem;
using test::TempTree;
using test::WherePermissionsBind;

TEST(DirectoryListing, AgreesWithTheStandardLibraryOnEveryKindOfEntry) {
    TempTree t;
    for (int i = 0; i < 300; ++i) t.file("m" + std::to_string(i) + ".msg");
    t.dir("sub");
    fs::create_symlink(t.path("m1.msg"), t.path("link-file.msg"));
    fs::create_directory_symlink(t.path("sub"), t.path("link-folder"));
    fs::create_symlink(t.path("nowhere"), t.path("dangling.msg"));
    ASSERT_EQ(::mkfifo(t.path("pipe.msg").c_str(), 0600), 0);

    struct Seen {
        std::string name;
        EntryKind kind;
        bool operator==(const Seen&) const = default;
    };
    std::vector<Seen> expected, listed;
    for (const fs::directory_entry& e : fs::directory_iterator(t.root())) {
        std::error_code ec;
        const EntryKind kind = e.is_regular_file(ec) ? EntryKind::File
                               : e.is_directory(ec)  ? EntryKind::Folder
                                                     : EntryKind::Other;
        expected.push_back({e.path().filename().string(), kind});
    }
    for (const std::string& folder : {t.root(), t.root() + "/"}) {
        listed.clear();
        DirectoryListing listing(folder);
        Seen s;
        while (listing.Next(s.name, s.kind)) listed.push_back(s);
        EXPECT_FALSE(listing.Next(s.name, s.kind)) << "a finished listing stays finished";
        ASSERT_EQ(listed.size(), expected.size()) << folder;
        EXPECT_TRUE(listed == expected) << folder;
    }
    // What each kind means for a walk is FolderWalk's test below.
    EXPECT_THROW(DirectoryListing(t.path("missing")), qm::IoError);
    EXPECT_THROW(DirectoryListing(t.path("m1.msg")), qm::IoError);
}

std::vector<std::string> WalkedFiles(const std::string& start) {
    FolderWalk walk(start);
    std::vector<std::string> out;
    std::string path;
    while (walk.Next(path)) out.push_back(path);
    EXPECT_FALSE(walk.Next(path)) << "a finished walk stays finished";
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

    std::vector<std::string> expected = {"A.msg", "a.msg", "a_.msg"};
    for (int n = 0; n <= 30; ++n) expected.push_back(CopyName(n));
    for (const char* f : {"notes.txt", "Alpha/b.msg", "beta/a.msg", "beta/B.msg", "gamma/link.msg",
                          "gamma/z.msg", "_x/a.msg", "Alpha/Sub/a.msg", "Alpha/Sub/deep/c.msg"})
        expected.push_back(f);
    for (std::string& f : expected) f = t.path(f);
    EXPECT_EQ(WalkedFiles(t.root()), expected);
    EXPECT_EQ(WalkedFiles(t.root() + "/"), expected);

    // What is not a folder yields nothing.
    for (const std::string& start :
         {t.path("a.msg"), t.path("missing"), std::string(), t.path("Alpha/empty")})
        EXPECT_TRUE(WalkedFiles(start).empty()) << start;
}

// One line per file, then one per skipped folder.
std::string WalkText(const std::string& start) {
    std::string out;
    FolderWalk walk(start);
    for (std::string path; walk.Next(path);) out += path + "\n";
    for (const SkippedFolder& f : walk.Skipped())
        out += "skipped " + f.path + ": " + f.reason + "\n";
    return out;
}

TEST(FolderWalk, AFolderBelowTheStartThatCannotBeListedIsSkipped) {
    TempTree t;
    for (const char* f : {"a.msg", "locked/b.msg", "locked/deeper/c.msg", "open/d.msg"}) t.file(f);
    const std::string r = t.root() + "/";
    fs::permissions(t.path("locked"), fs::perms::none);
    EXPECT_EQ(WherePermissionsBind(t, [&] { return WalkText(t.root()); }),
              r + "a.msg\n" + r + "open/d.msg\nskipped " + r + "locked/: " + r +
                  "locked/: list folder failed: Permission denied\n");
    // The chosen folder itself failing to list ends the walk with the error.
    EXPECT_EQ(WherePermissionsBind(t, [&] { return WalkText(t.path("locked")); }),
              "exception: " + r + "locked/: list folder failed: Permission denied");
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
