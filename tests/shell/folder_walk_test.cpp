// FolderWalk hands out the files pathLogger logs, in pathLogger's order, on
// real trees: nested folders, files that are not messages, links to files and
// folders, a link loop, and things that are not files.
#include "shell/folder_walk.h"

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "shell/path_logger.h"
#include "temp_tree.h"

namespace qm::shell {
namespace {

using test::TempTree;
using test::WherePermissionsBind;
using ::testing::ElementsAre;

std::vector<std::string> LoggedFiles(const std::string& start) {
    pathLogger logger;
    logger.PathLogInit();
    logger.fullFileNamesOnly(true);
    logger.LogPath(start);
    return logger.fullFileNames()->Values();
}

std::vector<std::string> WalkedFiles(const std::string& start) {
    FolderWalk walk(start);
    std::vector<std::string> out;
    std::string path;
    while (walk.Next(path)) out.push_back(path);
    EXPECT_FALSE(walk.Next(path)) << "a finished walk stays finished";
    return out;
}

// Several folders at several depths, each with enough files that the
// platform's listing order is not the order they were made in.
void MakeNestedTree(const TempTree& t) {
    const char* const folders[] = {"",      "2009/",       "2009/q1/", "2009/q1/deep/",
                                   "2010/", "2010/empty/", "notes/",   "z/"};
    int n = 0;
    for (const char* folder : folders) {
        const std::string f = folder;
        if (f == "2010/empty/") {
            t.dir(f);
            continue;
        }
        for (int i = 0; i < 25; ++i) {
            t.file(f + "m" + std::to_string(n++) + ".msg");
            if (i % 4 == 0) t.file(f + "note" + std::to_string(n) + ".txt");
            if (i % 7 == 0) t.file(f + "UPPER" + std::to_string(n) + ".MSG ");
        }
    }
    std::filesystem::create_symlink(t.path("2009/m25.msg"), t.path("z/link.msg"));
    std::filesystem::create_directory_symlink(t.root(), t.path("2009/q1/back"));  // a loop
    std::filesystem::create_directory_symlink(t.path("2010"), t.path("z/twice"));
    std::filesystem::create_symlink(t.path("nowhere.msg"), t.path("notes/dangling.msg"));
    ASSERT_EQ(::mkfifo(t.path("notes/pipe.msg").c_str(), 0600), 0);
}

TEST(FolderWalk, GivesPathLoggersFilesInPathLoggersOrder) {
    TempTree t;
    MakeNestedTree(t);
    for (const std::string& start : {t.root(), t.root() + "/"}) {
        SCOPED_TRACE(start);
        const std::vector<std::string> logged = LoggedFiles(start);
        ASSERT_GT(logged.size(), 200u);
        EXPECT_EQ(WalkedFiles(start), logged);
    }
    // Started below the top, through a link, the same holds.
    EXPECT_EQ(WalkedFiles(t.path("z/twice")), LoggedFiles(t.path("z/twice")));
    EXPECT_EQ(WalkedFiles(t.path("2009")), LoggedFiles(t.path("2009")));
}

TEST(FolderWalk, SubFoldersOfAFolderComeAfterItsFiles) {
    TempTree t;
    t.file("sub/deep/c.msg");
    t.file("sub/b.msg");
    t.file("a.msg");
    const std::string r = t.root() + "/";
    EXPECT_THAT(WalkedFiles(t.root()),
                ElementsAre(r + "a.msg", r + "sub/b.msg", r + "sub/deep/c.msg"));
}

TEST(FolderWalk, WhatIsNotAFolderYieldsNothing) {
    TempTree t;
    t.file("a.msg");
    EXPECT_TRUE(WalkedFiles(t.path("a.msg")).empty());
    EXPECT_TRUE(WalkedFiles(t.path("missing")).empty());
    EXPECT_TRUE(WalkedFiles("").empty());
    t.dir("empty");
    EXPECT_TRUE(WalkedFiles(t.path("empty")).empty());
}

TEST(FolderWalk, ListsEachFolderInNameOrderWhateverTheCreationOrder) {
    TempTree t;
    // Made in a scrambled order, so a listing in creation or hash order
    // would not come out sorted.
    std::vector<std::string> made;
    for (int i = 30; i >= 0; --i) {
        const int n = (i * 17) % 31;
        const std::string digits = (n < 10 ? "0" : "") + std::to_string(n);
        made.push_back((n % 3 == 0 ? "COPY" : n % 3 == 1 ? "Copy" : "copy") + digits + ".msg");
    }
    for (const std::string& f : made) t.file(f);
    for (const char* f : {"gamma/z.msg", "_x/a.msg", "beta/B.msg", "beta/a.msg", "Alpha/b.msg",
                          "Alpha/Sub/a.msg", "a_.msg", "A.msg", "a.msg"})
        t.file(f);
    const std::string r = t.root() + "/";
    std::vector<std::string> expected = {r + "A.msg", r + "a.msg", r + "a_.msg"};
    for (int n = 0; n <= 30; ++n) {
        const std::string digits = (n < 10 ? "0" : "") + std::to_string(n);
        expected.push_back(r +
                           (n % 3 == 0   ? "COPY"
                            : n % 3 == 1 ? "Copy"
                                         : "copy") +
                           digits + ".msg");
    }
    // Sub-folders in name order, each folder's files before the next level.
    for (const char* f :
         {"Alpha/b.msg", "beta/a.msg", "beta/B.msg", "gamma/z.msg", "_x/a.msg", "Alpha/Sub/a.msg"})
        expected.push_back(r + f);
    EXPECT_EQ(WalkedFiles(t.root()), expected);
    EXPECT_EQ(LoggedFiles(t.root()), expected) << "the reference walk takes the same order";
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
    std::filesystem::permissions(t.path("locked"), std::filesystem::perms::none);
    const std::string text = WherePermissionsBind(t, [&] { return WalkText(t.root()); });
    EXPECT_EQ(text, r + "a.msg\n" + r + "open/d.msg\nskipped " + r + "locked/: " + r +
                        "locked/: list folder failed: Permission denied\n");
    // The chosen folder itself failing to list ends the walk with the error.
    const std::string chosen = WherePermissionsBind(t, [&] { return WalkText(t.path("locked")); });
    EXPECT_EQ(chosen, "exception: " + r + "locked/: list folder failed: Permission denied");
}

TEST(FolderWalk, AFolderGoneBeforeItIsEnteredIsSkipped) {
    TempTree t;
    t.file("a.msg");
    t.file("sub/b.msg");
    t.file("tail/c.msg");
    FolderWalk walk(t.root());
    std::string path;
    ASSERT_TRUE(walk.Next(path));
    EXPECT_EQ(path, t.path("a.msg"));
    // The sub-folder was queued when the top was entered; it cannot be listed now.
    std::filesystem::remove_all(t.path("sub"));
    ASSERT_TRUE(walk.Next(path));
    EXPECT_EQ(path, t.path("tail/c.msg"));
    EXPECT_FALSE(walk.Next(path));
    ASSERT_EQ(walk.Skipped().size(), 1u);
    EXPECT_EQ(walk.Skipped()[0].path, t.path("sub") + "/");
}

}  // namespace
}  // namespace qm::shell
