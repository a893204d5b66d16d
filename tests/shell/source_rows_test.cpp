// SourceRows: the rows the window's list would hold for the same paths (files
// as given, folders as their .msg files in walk order), kept from the count
// whatever happens to the tree after it.
#include "shell/source_rows.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "temp_tree.h"

namespace qm::shell {
namespace {

namespace fs = std::filesystem;

// The rows by index, checked against the read-ahead's own cursor, which does
// not depend on where the list's reads stand.
std::vector<std::string> RowsOf(SourceRows& rows) {
    std::vector<std::string> out, cursorRows;
    for (int64_t i = 0; i < rows.Rows(); ++i) out.push_back(*rows.Row(i));
    EXPECT_EQ(rows.Row(rows.Rows()), nullptr);
    EXPECT_EQ(rows.Row(-1), nullptr);
    SourceRows::Cursor cursor = rows.NewCursor();
    for (std::string row; cursor.Next(row);) cursorRows.push_back(row);
    EXPECT_EQ(cursorRows, out);
    return out;
}

// A run reads the rows several times (folder list, import, read-ahead): a
// row must name the same file every time, or a vanished file shifts the rows
// after it and the last rows fail without a file.
TEST(SourceRows, RowsAreKeptFromTheCountWhateverTheTreeDoesAfter) {
    test::TempTree t;
    for (const char* f : {"named.eml", "single.msg", "Mail/b.msg", "Mail/A.MSG", "Mail/readme.txt",
                          "Mail/2009/c.msg", "Mail/2009/msg", "Mail/2010/e.msg", "Other/d.msg"})
        t.file(f);
    // Given by name, a file is a row whatever it is called; a folder given
    // twice gives its files twice; rows of one folder from two sources meet;
    // 2009 and 2010 are folders of one length.
    SourceRows rows({{t.path("named.eml"), false},
                     {t.path("Mail"), true},
                     {t.path("single.msg"), false},
                     {t.path("Other"), true},
                     {t.path("Other/d.msg"), false},
                     {t.path("Mail/2009"), true}});
    EXPECT_EQ(rows.Rows(), 0);
    EXPECT_EQ(rows.Row(0), nullptr);
    std::vector<std::string> listed;
    for (const char* f :
         {"named.eml", "Mail/A.MSG", "Mail/b.msg", "Mail/2009/c.msg", "Mail/2010/e.msg",
          "single.msg", "Other/d.msg", "Other/d.msg", "Mail/2009/c.msg"})
        listed.push_back(t.path(f));
    ASSERT_EQ(rows.Count(), int64_t(listed.size()));
    EXPECT_EQ(RowsOf(rows), listed);
    for (int64_t i : {5, 0, 7, 3}) EXPECT_EQ(*rows.Row(i), listed[size_t(i)]);

    fs::remove(t.path("Mail/A.MSG"));
    fs::remove(t.path("single.msg"));
    fs::remove_all(t.path("Other"));
    t.file("Mail/2009/new.msg");
    fs::permissions(t.path("Mail/2009"), fs::perms::none);
    EXPECT_EQ(RowsOf(rows), listed);
    EXPECT_TRUE(rows.SkippedFolders().empty());

    SourceRows none({{t.path("Mail/2009/q1"), true}, {t.path("gone"), true}});
    EXPECT_EQ(none.Count(), 0);
    EXPECT_TRUE(RowsOf(none).empty());
}

}  // namespace
}  // namespace qm::shell
