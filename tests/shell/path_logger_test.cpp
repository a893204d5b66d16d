#include "shell/path_logger.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "temp_tree.h"

namespace qm::shell {
namespace {

using test::TempTree;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

std::vector<std::string> ValuesOf(const TextListRef& list) {
    return list->Values();
}
std::vector<std::string> KeysOf(const TextListRef& list) {
    std::vector<std::string> keys;
    for (int32_t k = 1; k <= list->Count(); ++k) keys.push_back(list->Key(k));
    return keys;
}

// Walks `path` the way Add Folder does, in the given mode.
struct Walk {
    pathLogger logger;
    explicit Walk(const std::string& path, bool oneList = true) {
        logger.PathLogInit();
        logger.fullFileNamesOnly(oneList);
        logger.LogPath(path);
    }
};

TEST(PathLogger, NewLoggerHasNothing) {
    pathLogger logger;
    EXPECT_EQ(logger.Count(), 0);
    EXPECT_FALSE(logger.fullFileNamesOnly());
    EXPECT_EQ(logger.pathNames()->Count(), 0);
    EXPECT_EQ(logger.fullFileNames()->Count(), 0);
}

TEST(PathLogger, EmptyFolderLogsOnlyItself) {
    TempTree t;
    Walk w(t.root());
    EXPECT_THAT(ValuesOf(w.logger.pathNames()), ElementsAre(t.root() + "/"));
    EXPECT_THAT(KeysOf(w.logger.pathNames()), ElementsAre("K0"));
    EXPECT_EQ(w.logger.fullFileNames()->Count(), 0);
    EXPECT_EQ(w.logger.Count(), 1);
}

TEST(PathLogger, ThreeLevelsAreLoggedTopDownWithTheirKeys) {
    TempTree t;
    t.file("top.msg");
    t.file("sub/mid.msg");
    t.file("sub/deep/low.msg");
    for (const std::string& start : {t.root(), t.root() + "/"}) {
        SCOPED_TRACE(start);
        Walk w(start);
        const std::string r = t.root() + "/";
        EXPECT_THAT(ValuesOf(w.logger.pathNames()), ElementsAre(r, r + "sub/", r + "sub/deep/"));
        EXPECT_THAT(KeysOf(w.logger.pathNames()), ElementsAre("K0", "K2", "K3"));
        EXPECT_THAT(ValuesOf(w.logger.fullFileNames()),
                    ElementsAre(r + "top.msg", r + "sub/mid.msg", r + "sub/deep/low.msg"));
        EXPECT_THAT(KeysOf(w.logger.fullFileNames()), ElementsAre("K1", "K2", "K3"));
        EXPECT_EQ(w.logger.Count(), 4);
        EXPECT_EQ(w.logger.fileNames()->Count(), 0) << "one-list mode fills one list";
        EXPECT_EQ(w.logger.pathPointers()->Count(), 0);
    }
}

TEST(PathLogger, ThreeListModePointsEachFileAtItsFolder) {
    TempTree t;
    t.file("a.msg");
    t.file("b.txt");
    t.file("x/y/z/w/deep.msg");  // w is the fifth folder: root, x, y, z, w
    Walk w(t.root(), /*oneList=*/false);
    auto names = w.logger.fileNames();
    auto full = w.logger.fullFileNames();
    auto ptrs = w.logger.pathPointers();
    auto folders = w.logger.pathNames();
    ASSERT_EQ(names->Count(), 3);
    ASSERT_EQ(full->Count(), 3);
    ASSERT_EQ(ptrs->Count(), 3);
    std::map<std::string, int32_t> pointerOf;
    for (int32_t k = 1; k <= 3; ++k) {
        EXPECT_EQ(names->Key(k), "K" + std::to_string(k));
        EXPECT_EQ(ptrs->Key(k), "K" + std::to_string(k));
        EXPECT_EQ(folders->Item(ptrs->Item(k)) + names->Item(k), full->Item(k));
        pointerOf[names->Item(k)] = ptrs->Item(k);
    }
    EXPECT_EQ(pointerOf["a.msg"], 1);
    EXPECT_EQ(pointerOf["b.txt"], 1);
    EXPECT_EQ(pointerOf["deep.msg"], 5);
    EXPECT_EQ(folders->Item(5), t.root() + "/x/y/z/w/");
    EXPECT_EQ(w.logger.Count(), 4);
}

TEST(PathLogger, PathsThatAreNotFoldersChangeNothing) {
    TempTree t;
    t.file("plain.msg");
    for (const std::string& path : {t.path("plain.msg"), t.path("missing"), std::string()}) {
        SCOPED_TRACE(path);
        pathLogger logger;
        logger.PathLogInit();
        EXPECT_NO_THROW(logger.LogPath(path));
        EXPECT_EQ(logger.Count(), 0);
        EXPECT_EQ(logger.pathNames()->Count(), 0);
        EXPECT_EQ(logger.fullFileNames()->Count(), 0);
    }
}

TEST(PathLogger, AListTakenBeforeTerminateKeepsItsEntries) {
    TempTree t;
    t.file("a.msg");
    t.file("s/b.msg");
    TextListRef kept;
    {
        pathLogger logger;
        logger.PathLogInit();
        logger.LogPath(t.root());
        kept = logger.fullFileNames();
        logger.Terminate();
        EXPECT_EQ(logger.fullFileNames()->Count(), 0)
            << "after Terminate a getter gives a new list";
        EXPECT_EQ(logger.Count(), 3) << "Terminate keeps the counter";
        EXPECT_TRUE(logger.fullFileNamesOnly()) << "Terminate keeps the flag";
    }
    EXPECT_THAT(ValuesOf(kept), UnorderedElementsAre(t.path("a.msg"), t.path("s/b.msg")));
}

TEST(PathLogger, SecondWalkWithoutInitFailsAndKeepsTheFirst) {
    TempTree t;
    t.file("a.msg");
    t.file("b.msg");
    pathLogger logger;
    logger.PathLogInit();
    logger.LogPath(t.root());
    const auto first = ValuesOf(logger.fullFileNames());
    ASSERT_EQ(logger.Count(), 3);
    try {
        logger.LogPath(t.root());
        FAIL() << "the second walk did not fail";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.number(), kErrDuplicateKey);
    }
    EXPECT_EQ(ValuesOf(logger.fullFileNames()), first);
    EXPECT_EQ(logger.pathNames()->Count(), 1);
    EXPECT_EQ(logger.Count(), 1);
}

TEST(PathLogger, InitDropsListsButNotTheCounter) {
    TempTree t;
    t.file("a.msg");
    pathLogger logger;
    logger.PathLogInit();
    logger.fullFileNamesOnly(false);
    logger.LogPath(t.root());
    auto old = logger.fullFileNames();
    logger.PathLogInit();
    EXPECT_TRUE(logger.fullFileNamesOnly());
    EXPECT_EQ(logger.Count(), 2);
    EXPECT_EQ(logger.fullFileNames()->Count(), 0);
    EXPECT_EQ(old->Count(), 1);
    logger.LogPath(t.root());  // a walk after a new init succeeds
    EXPECT_EQ(logger.fullFileNames()->Count(), 1);
}

TEST(PathLogger, WalkingWithoutAServiceFailsBeforeTouchingAnything) {
    TempTree t;
    pathLogger logger;
    try {
        logger.LogPath(t.root());
        FAIL();
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.number(), kErrNoObject);
    }
    logger.PathLogInit();
    logger.Terminate();
    EXPECT_THROW(logger.LogPath(t.root()), RuntimeError);
    EXPECT_EQ(logger.Count(), 0);
    EXPECT_EQ(logger.pathNames()->Count(), 0);
}

TEST(PathLogger, ListsRegularFilesAndLinksToThemOnly) {
    TempTree t;
    t.file("real.msg");
    std::filesystem::create_symlink(t.path("real.msg"), t.path("link.msg"));
    std::filesystem::create_symlink(t.path("nowhere.msg"), t.path("dangling.msg"));
    std::filesystem::create_symlink("/dev/null", t.path("device.msg"));
    ASSERT_EQ(::mkfifo(t.path("pipe.msg").c_str(), 0600), 0);
    Walk w(t.root());
    EXPECT_THAT(ValuesOf(w.logger.fullFileNames()),
                UnorderedElementsAre(t.path("real.msg"), t.path("link.msg")));
}

TEST(PathLogger, FolderLinkLoopEndsAndEachFileIsLoggedOnce) {
    TempTree t;
    t.file("a.msg");
    t.file("sub/b.msg");
    t.file("other/c.msg");
    std::filesystem::create_directory_symlink(t.root(), t.path("sub/back"));  // up to the start
    std::filesystem::create_directory_symlink(t.path("sub"), t.path("sub/self"));     // to itself
    std::filesystem::create_directory_symlink(t.path("other"), t.path("sub/again"));  // a sibling
    Walk w(t.root());
    EXPECT_THAT(ValuesOf(w.logger.fullFileNames()),
                UnorderedElementsAre(t.path("a.msg"), t.path("sub/b.msg"), t.path("other/c.msg")));
    EXPECT_EQ(w.logger.pathNames()->Count(), 3);
    EXPECT_EQ(w.logger.Count(), 4);
}

TEST(PathLogger, FollowsALinkToAFolderOutsideTheTree) {
    TempTree outside;
    outside.file("far.msg");
    TempTree t;
    std::filesystem::create_directory_symlink(outside.root(), t.path("linked"));
    Walk w(t.root());
    EXPECT_THAT(ValuesOf(w.logger.fullFileNames()), ElementsAre(t.path("linked/far.msg")));
}

// A service that serves a fixed tree in a fixed listing order, and fails to
// list one folder, to show breadth-first order and failure handling exactly.
class FakeService : public FolderService {
  public:
    struct Folder {
        std::vector<std::string> subs;
        std::vector<std::string> files;
        bool unreadable = false;
    };
    explicit FakeService(std::map<std::string, Folder> tree) : tree_(std::move(tree)) {}
    bool FolderExists(const std::string& p) override {
        return tree_.contains(EnsureTrailingSeparator(p)) && !p.empty();
    }
    std::string Identity(const std::string& f) override { return f; }
    std::vector<SubFolderEntry> SubFolders(const std::string& f) override {
        std::vector<SubFolderEntry> out;
        for (const auto& s : at(f).subs) out.push_back({s, f + s + "/"});
        return out;
    }
    std::vector<std::string> Files(const std::string& f) override { return at(f).files; }

  private:
    const Folder& at(const std::string& f) {
        const Folder& folder = tree_.at(f);
        if (folder.unreadable) throw qm::IoError(f, "list folder", EACCES);
        return folder;
    }
    std::map<std::string, Folder> tree_;
};

TEST(PathLogger, QueuesSubFoldersBeforeLoggingFilesBreadthFirst) {
    std::map<std::string, FakeService::Folder> tree = {
        {"/r/", {{"A", "B"}, {"r1", "r2"}}},
        {"/r/A/", {{"A1"}, {"a"}}},
        {"/r/B/", {{}, {"b"}}},
        {"/r/A/A1/", {{}, {"a1"}}},
    };
    pathLogger logger([&] { return std::make_unique<FakeService>(tree); });
    logger.PathLogInit();
    logger.LogPath("/r");
    EXPECT_THAT(ValuesOf(logger.pathNames()), ElementsAre("/r/", "/r/A/", "/r/B/", "/r/A/A1/"));
    EXPECT_THAT(KeysOf(logger.pathNames()), ElementsAre("K0", "K2", "K3", "K4"));
    EXPECT_THAT(ValuesOf(logger.fullFileNames()),
                ElementsAre("/r/r1", "/r/r2", "/r/A/a", "/r/B/b", "/r/A/A1/a1"));
    EXPECT_EQ(logger.Count(), 6);
}

TEST(PathLogger, AFolderThatCannotBeListedEndsTheWalkKeepingWhatWasLogged) {
    std::map<std::string, FakeService::Folder> tree = {
        {"/r/", {{"A", "B"}, {"r1"}}},
        {"/r/A/", {{}, {}, /*unreadable=*/true}},
        {"/r/B/", {{}, {"b"}}},
    };
    pathLogger logger([&] { return std::make_unique<FakeService>(tree); });
    logger.PathLogInit();
    try {
        logger.LogPath("/r/");
        FAIL() << "the unreadable folder was passed over";
    } catch (const qm::IoError& e) {
        EXPECT_EQ(e.path(), "/r/A/");
    }
    EXPECT_THAT(ValuesOf(logger.fullFileNames()), ElementsAre("/r/r1"));
    EXPECT_THAT(ValuesOf(logger.pathNames()), ElementsAre("/r/", "/r/A/", "/r/B/"));
    EXPECT_EQ(logger.Count(), 2);
}

TEST(PathLogger, EnsureTrailingSeparator) {
    EXPECT_EQ(EnsureTrailingSeparator(""), "/");
    EXPECT_EQ(EnsureTrailingSeparator("/"), "/");
    EXPECT_EQ(EnsureTrailingSeparator("/a"), "/a/");
    EXPECT_EQ(EnsureTrailingSeparator("/a/"), "/a/");
}

}  // namespace
}  // namespace qm::shell
