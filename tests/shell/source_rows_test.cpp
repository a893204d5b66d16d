// SourceRows: the rows the window's list would hold for the same paths (files
// as given, folders as their .msg files in pathLogger's order), kept from the
// count whatever happens to the tree after it.
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

// Files as given, each folder's pathLogger list through the .msg test.
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

std::vector<std::string> RowsOf(SourceRows& rows) {
    std::vector<std::string> out;
    for (int64_t i = 0; i < rows.Rows(); ++i) out.push_back(*rows.Row(i));
    EXPECT_EQ(rows.Row(rows.Rows()), nullptr);
    return out;
}

std::vector<std::string> CursorRows(const SourceRows& rows) {
    SourceRows::Cursor cursor = rows.NewCursor();
    std::vector<std::string> out;
    for (std::string row; cursor.Next(row);) out.push_back(row);
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
    EXPECT_EQ(rows.Row(0), nullptr);
    EXPECT_EQ(rows.Count(), int64_t(listed.size()));
    EXPECT_EQ(rows.Rows(), int64_t(listed.size()));
    EXPECT_EQ(RowsOf(rows), listed);
    for (int64_t i : {5, 5, 0, 150, 149, 3, 209, 0, 209})
        EXPECT_EQ(*rows.Row(i), listed[size_t(i)]);
    EXPECT_EQ(rows.Row(-1), nullptr);
    // The read-ahead's own cursor, unaffected by where the list's reads stand.
    ASSERT_NE(rows.Row(7), nullptr);
    EXPECT_EQ(CursorRows(rows), listed);
    EXPECT_EQ(*rows.Row(8), listed[8]);
}

TEST(SourceRows, NothingToWalk) {
    TempTree t;
    t.dir("empty");
    t.file("empty/notes.txt");
    SourceRows rows({{t.path("empty"), true}, {t.path("gone"), true}});
    EXPECT_EQ(rows.Count(), 0);
    EXPECT_EQ(rows.Row(0), nullptr);
    EXPECT_TRUE(CursorRows(rows).empty());
}

// A run reads the rows several times (folder list, import, read-ahead): a
// row read once must name the same file every time, or a vanished file
// shifts the rows after it and the last rows fail without a file.
TEST(SourceRows, TheTreeChangingAfterTheCountChangesNoRow) {
    Tree tree;
    const auto sources = tree.sources();
    const std::vector<std::string> listed = ListedRows(sources);
    SourceRows rows(sources);
    ASSERT_EQ(rows.Count(), int64_t(listed.size()));
    ASSERT_EQ(*rows.Row(3), listed[3]);
    std::filesystem::remove(tree.t.path("Mail/a3.msg"));
    std::filesystem::remove(tree.t.path("single.msg"));
    std::filesystem::remove_all(tree.t.path("Other"));
    tree.t.file("Mail/2009/q1/new.msg");
    std::filesystem::permissions(tree.t.path("Mail/2009"), std::filesystem::perms::none);
    EXPECT_EQ(RowsOf(rows), listed);
    EXPECT_EQ(CursorRows(rows), listed);
    EXPECT_TRUE(rows.SkippedFolders().empty());
}

TEST(SourceRows, AFolderThatCannotBeListedIsSkippedAndTheRestServed) {
    TempTree t;
    for (const char* f : {"a.msg", "locked/e.msg", "locked/deeper/f.msg", "sub/c.msg"}) t.file(f);
    std::filesystem::permissions(t.path("locked"), std::filesystem::perms::none);
    const auto count = [&](const std::vector<SourceRows::Source>& sources) {
        return WherePermissionsBind(t, [&] {
            SourceRows rows(sources);
            std::string text = std::to_string(rows.Count());
            for (const auto& row : RowsOf(rows)) text += " " + row;
            for (const auto& f : rows.SkippedFolders()) text += " skipped " + f.path;
            return text;
        });
    };
    EXPECT_EQ(count({{t.root(), true}, {t.path("late.msg"), false}}),
              "3 " + t.path("a.msg") + " " + t.path("sub/c.msg") + " " + t.path("late.msg") +
                  " skipped " + t.path("locked") + "/");
    // A given folder that cannot be listed ends the count.
    EXPECT_EQ(count({{t.path("locked"), true}}),
              "exception: " + t.path("locked") + "/: list folder failed: Permission denied");
}

}  // namespace
}  // namespace qm::shell
