// SourceRows: the rows the window's list would hold for the same paths (files
// as given, folders as their .msg files in pathLogger's order), served again
// on every walk; and what a walk gives when the tree changed after the count.
#include "shell/source_rows.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "shell/msg_name.h"
#include "shell/path_logger.h"
#include "temp_tree.h"

namespace qm::shell {
namespace {

using test::TempTree;
using test::WherePermissionsBind;
using ::testing::ElementsAre;

// What the command line listed before the rows were walked on demand: files
// as given, each folder's pathLogger list through the .msg test.
std::vector<std::string> ListedRows(const std::vector<SourceRows::Source>& sources) {
    std::vector<std::string> rows;
    for (const auto& s : sources) {
        if (!s.folder) {
            rows.push_back(s.path);
            continue;
        }
        pathLogger logger;
        logger.PathLogInit();
        logger.fullFileNamesOnly(true);
        logger.LogPath(EnsureTrailingSeparator(s.path));
        for (const auto& f : *logger.fullFileNames()) {
            if (IsMsgFileName(f)) rows.push_back(f);
        }
    }
    return rows;
}

std::vector<std::string> RowsFrom(SourceRows& rows, int64_t from = 0) {
    std::vector<std::string> out;
    for (int64_t i = from; i < rows.Rows(); ++i) {
        const std::string* text = rows.Row(i);
        if (!text) break;
        out.push_back(*text);
    }
    return out;
}

struct Tree {
    TempTree t;
    Tree() {
        for (int i = 0; i < 40; ++i) {
            t.file("Mail/a" + std::to_string(i) + ".msg");
            t.file("Mail/2009/b" + std::to_string(i) + ".MSG");
            t.file("Mail/2009/q1/c" + std::to_string(i) + ".msg");
            if (i % 5 == 0) {
                t.file("Mail/readme" + std::to_string(i) + ".txt");
                t.file("Mail/2009/msg" + std::to_string(i));  // ends in "msg", no dot
                t.file("Other/d" + std::to_string(i) + ".msg");
            }
        }
        t.file("single.msg");
        t.file("named.eml");  // given by name: a row whatever it is called
    }
    std::vector<SourceRows::Source> sources() const {
        return {{t.path("named.eml"), false},
                {t.path("Mail"), true},
                {t.path("single.msg"), false},
                {t.path("Other"), true},
                {t.path("Mail/2009"), true}};  // a folder twice: its files twice
    }
};

TEST(SourceRows, RowsAreTheListedRowsInTheSameOrder) {
    Tree tree;
    const auto sources = tree.sources();
    const std::vector<std::string> listed = ListedRows(sources);
    ASSERT_EQ(listed.size(), 1u + 120u + 1u + 8u + 80u);

    SourceRows rows(sources);
    EXPECT_EQ(rows.Rows(), 0);
    EXPECT_EQ(rows.Count(), int64_t(listed.size()));
    EXPECT_EQ(rows.Rows(), int64_t(listed.size()));
    EXPECT_EQ(RowsFrom(rows), listed);
    // A second pass (the import after the folder list) starts a new walk.
    EXPECT_EQ(RowsFrom(rows), listed);

    // The read-ahead's own walk, unaffected by where the list stands.
    ASSERT_NE(rows.Row(7), nullptr);
    SourceRows::Cursor cursor = rows.NewCursor();
    std::vector<std::string> ahead;
    std::string row;
    while (cursor.Next(row)) ahead.push_back(row);
    EXPECT_EQ(ahead, listed);
    EXPECT_EQ(*rows.Row(8), listed[8]);
}

TEST(SourceRows, AnyRowCanBeAskedForAgain) {
    Tree tree;
    const auto sources = tree.sources();
    const std::vector<std::string> listed = ListedRows(sources);
    SourceRows rows(sources);
    rows.Count();
    for (int64_t i : {5, 5, 0, 150, 149, 3, 209, 0, 209}) {
        const std::string* text = rows.Row(i);
        ASSERT_NE(text, nullptr) << i;
        EXPECT_EQ(*text, listed[size_t(i)]) << i;
    }
    EXPECT_EQ(rows.Row(-1), nullptr);
    EXPECT_EQ(rows.Row(int64_t(listed.size())), nullptr);
    EXPECT_EQ(*rows.Row(0), listed[0]) << "after the end, an earlier row walks again";
}

TEST(SourceRows, NothingToWalk) {
    TempTree t;
    t.dir("empty");
    t.file("empty/notes.txt");
    SourceRows rows({{t.path("empty"), true}, {t.path("gone"), true}});
    EXPECT_EQ(rows.Count(), 0);
    EXPECT_EQ(rows.Row(0), nullptr);
}

TEST(SourceRows, FilesRemovedAfterTheCountLeaveRowsPastTheWalksEnd) {
    Tree tree;
    const auto sources = tree.sources();
    SourceRows rows(sources);
    const int64_t counted = rows.Count();
    // The folder-list pass saw everything; then two files and a folder go.
    EXPECT_EQ(int64_t(RowsFrom(rows).size()), counted);
    std::filesystem::remove(tree.t.path("Mail/a3.msg"));
    std::filesystem::remove(tree.t.path("single.msg"));
    std::filesystem::remove_all(tree.t.path("Other"));

    const std::vector<std::string> now = ListedRows(sources);
    ASSERT_EQ(int64_t(now.size()), counted - 1 - 8);
    // The single file given by name is still a row: its import fails.
    EXPECT_NE(std::find(now.begin(), now.end(), tree.t.path("single.msg")), now.end());
    // The next pass serves what this walk finds, in order, and no row past it.
    EXPECT_EQ(RowsFrom(rows), now);
    for (int64_t i = int64_t(now.size()); i < counted; ++i) EXPECT_EQ(rows.Row(i), nullptr) << i;
    // Rows before the end are still there for a later pass.
    EXPECT_EQ(*rows.Row(0), now[0]);
    EXPECT_EQ(rows.Rows(), counted) << "the count is what the run was told";
}

TEST(SourceRows, FilesAddedAfterTheCountAreNotServedPastIt) {
    Tree tree;
    const auto sources = tree.sources();
    SourceRows rows(sources);
    const int64_t counted = rows.Count();
    tree.t.file("Other/new1.msg");
    tree.t.file("Mail/2009/q1/new2.msg");
    const std::vector<std::string> now = ListedRows(sources);
    ASSERT_EQ(int64_t(now.size()), counted + 1 + 2);
    // Every row up to the count is a file of the new walk, in its order;
    // what lies past the count is never asked for by a run.
    const std::vector<std::string> served = RowsFrom(rows);
    ASSERT_EQ(int64_t(served.size()), counted);
    EXPECT_EQ(served, std::vector<std::string>(now.begin(), now.begin() + counted));
}

TEST(SourceRows, AFolderThatCannotBeListedIsSkippedAndTheRestServed) {
    TempTree t;
    t.file("a.msg");
    t.file("b.msg");
    t.file("sub/c.msg");
    t.file("sub/d.msg");
    const std::vector<SourceRows::Source> sources = {{t.root(), true}, {t.path("late.msg"), false}};
    SourceRows rows(sources);
    ASSERT_EQ(rows.Count(), 5);
    EXPECT_TRUE(rows.SkippedFolders().empty());
    ASSERT_NE(rows.Row(1), nullptr);
    // Queued when the top was listed, gone before it is entered: the rows
    // after it move up.
    std::filesystem::remove_all(t.path("sub"));
    EXPECT_EQ(*rows.Row(2), t.path("late.msg"));
    EXPECT_EQ(rows.Row(3), nullptr);
    // A locked folder is met by the count and kept in its list.
    t.file("locked/e.msg");
    std::filesystem::permissions(t.path("locked"), std::filesystem::perms::none);
    EXPECT_EQ(WherePermissionsBind(t,
                                   [&] {
                                       SourceRows again(sources);
                                       std::string text = std::to_string(again.Count());
                                       for (const auto& f : again.SkippedFolders())
                                           text += " " + f.path;
                                       return text;
                                   }),
              "3 " + t.path("locked") + "/");
}

}  // namespace
}  // namespace qm::shell
