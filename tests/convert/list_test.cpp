// The pure parts under the folder list: the binary sort and de-duplication,
// the folder of a path, the relative folder of Windows-form and POSIX source
// paths, the folder list built from them, and the store's names.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "convert/folder_list.h"
#include "convert/folder_path.h"
#include "convert/relative_folder.h"
#include "convert/string_list.h"
#include "convert/timestamp.h"
#include "mapi/error.h"

namespace qm::convert {
namespace {

// The number of the NumberedError `f` throws; 0 when it throws none.
template <typename F>
int errorOf(F f) {
    try {
        f();
    } catch (const NumberedError& e) {
        return e.number();
    }
    return 0;
}

TEST(BinaryLessTest, OrdersByUtf16CodeUnits) {
    // U+FF3C (fullwidth backslash) after every supplementary character, as in
    // UTF-16, though UTF-8 byte order says otherwise; é < ê differ in a
    // continuation byte.
    const char* const ordered[][2] = {{"", "a"},
                                      {"A", "a"},
                                      {"x\\y", "x\\y\\z"},
                                      {"z", "\xC3\xA9"},
                                      {"\xC3\xA9", "\xC3\xAA"},
                                      {"\xF0\x9F\x98\x80", "\xEF\xBC\xBC"}};
    for (const auto& [lo, hi] : ordered) {
        EXPECT_TRUE(BinaryLess(lo, hi)) << lo << " < " << hi;
        EXPECT_FALSE(BinaryLess(hi, lo)) << hi << " < " << lo;
    }
    EXPECT_FALSE(BinaryLess("", ""));
}

TEST(SortStringRangeTest, CasesFromTheFolderList) {
    // The spare element after hi stays; an empty range still reads list(lo - 1).
    const struct {
        StringList in;
        int64_t lo, hi;
        StringList out;  // {"!"}: the range is outside the list
    } cases[] = {{{"b", "a", "B", "a"}, 0, 3, {"B", "a", "a", "b"}},
                 {{"x\\y", "x", "w"}, 0, 2, {"w", "x", "x\\y"}},
                 {{"b", "a", ""}, 0, 1, {"a", "b", ""}},
                 {{"q", "c", "a"}, 1, 1, {"q", "c", "a"}},
                 {{"d", "c", "b", "a"}, 1, 2, {"d", "b", "c", "a"}},
                 {{"a"}, 0, -1, {"!"}},
                 {{"b", "a"}, 0, 2, {"!"}},
                 {{}, 0, 0, {"!"}}};
    for (auto c : cases) {
        const bool bad = c.out == StringList{"!"};
        EXPECT_EQ(errorOf([&] { SortStringRange(c.in, c.lo, c.hi); }), bad ? kErrSubscript : 0);
        EXPECT_TRUE(bad || c.in == c.out) << c.lo << ".." << c.hi;
    }
}

TEST(SortStringRangeTest, LargeListsOfAnyShapeSortLikeStdSort) {
    std::mt19937 rng(7);
    const size_t n = 100000;  // beyond the old 16-bit index limits
    StringList random(n), sorted(n), equal(n, "same"), descending(n), organ(n);
    for (size_t i = 0; i < n; ++i) {
        random[i] = "f" + std::to_string(rng() % 5000) + "\\" + std::to_string(rng() % 7);
        char buf[16];
        std::snprintf(buf, sizeof buf, "%08zu", i);
        sorted[i] = descending[n - 1 - i] = buf;
    }
    // Organ pipe: ascending then descending, a classic bad case for a middle pivot.
    for (size_t i = 0; i < n; ++i) organ[i] = sorted[i < n / 2 ? i * 2 : (n - 1 - i) * 2 + 1];
    for (StringList* list : {&random, &sorted, &equal, &descending, &organ}) {
        StringList expected = *list;
        std::sort(expected.begin(), expected.end(), BinaryLess);
        SortStringRange(*list, 0, int64_t(n) - 1);
        EXPECT_EQ(*list, expected);
    }
    StringList unique = random;
    unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
    RemoveDuplicateStrings(random);
    EXPECT_EQ(random, unique);
}

TEST(RemoveDuplicateStringsTest, NeighboursOnlyAndEmptiesDropped) {
    const struct {
        StringList in, out;
    } cases[] = {{{"B", "a", "a", "b"}, {"B", "a", "b"}},
                 {{"a", "b", ""}, {"a", "b"}},
                 {{"a", "", "a"}, {"a", "a"}},
                 {{"a", "b", "a"}, {"a", "b", "a"}},
                 {{"x", "x", "x", "y"}, {"x", "y"}},
                 {{"", "p", "", "", "q", ""}, {"p", "q"}},
                 {{"", ""}, {}},
                 {{}, {}},
                 {{"a", "b", "b"}, {"a", "b"}}};
    for (auto c : cases) {
        RemoveDuplicateStrings(c.in);
        EXPECT_EQ(c.in, c.out);
    }
}

TEST(GetFolderPathTest, CutsAfterTheLastBackslash) {
    const char* const cases[][2] = {{"C:\\Mail\\2009\\a.msg", "C:\\Mail\\2009\\"},
                                    {"a.msg", ""},
                                    {"C:\\Mail\\", "C:\\Mail\\"},
                                    {"\\", "\\"},
                                    {"C:/Mail/a.msg", ""},
                                    {"Mail\\\\a.msg", "Mail\\\\"}};
    for (const auto& [path, folder] : cases) EXPECT_EQ(GetFolderPath(path), folder) << path;
    EXPECT_EQ(errorOf([] { GetFolderPath(""); }), kErrSubscript);
}

TEST(GetRelativeFolderTest, WindowsFormAndPosixPaths) {
    const char* const cases[][2] = {
        {"C:\\Mail\\2009\\a.msg", "Mail\\2009"},
        {"D:\\Mail\\b.msg", "Mail"},
        {"C:\\A\\B\\C\\x.msg", "A\\B\\C"},
        // Spaces around the row and around the part after the colon are ignored.
        {"  C:  \\Mail\\a.msg  ", "Mail"},
        // Forward slashes are ordinary characters in a Windows-form path.
        {"C:\\x/y\\a.msg", "x/y"},
        {"/home/ann/Mail/2009/a.msg", "home\\ann\\Mail\\2009"},
        {"/x/a.msg", "x"},
        // A backslash in a name cannot split it into two folders.
        {"/data/a\\b/m.msg",
         "data\\a\xEF\xBC\xBC"
         "b"},
        // Bytes that are not UTF-8 become U+FFFD, one per byte.
        {"/data/caf\xE9/m.msg", "data\\caf\xEF\xBF\xBD"},
        {"/data/\xC3\xA9t\xC3\xA9/m.msg", "data\\\xC3\xA9t\xC3\xA9"},
        {"/data/ my mail /m.msg", "data\\ my mail "},
        {"/a//b/./c/../m.msg", "a\\b"},
    };
    for (const auto& [path, folder] : cases) EXPECT_EQ(GetRelativeFolder(path), folder) << path;
    // An empty row, a network path, a relative one, nothing after the colon;
    // then files in a root.
    for (const char* path : {"", "\\\\server\\share\\a.msg", "relative\\a.msg", "C:"})
        EXPECT_EQ(errorOf([=] { GetRelativeFolder(path); }), kErrSubscript) << path;
    for (const char* path : {"C:\\a.msg", "   C:\\a.msg", "/a.msg", "/x/../a.msg"})
        EXPECT_EQ(errorOf([=] { GetRelativeFolder(path); }), kErrInvalidCall) << path;
    EXPECT_TRUE(IsPosixPath("/a"));
    EXPECT_FALSE(IsPosixPath(" /a"));
    EXPECT_FALSE(IsPosixPath("C:\\a"));
    EXPECT_EQ(SourcePathForImport("/home/ann/ a.msg "), "/home/ann/ a.msg ");
    EXPECT_EQ(SourcePathForImport("  C:\\Mail\\a.msg "), "C:\\Mail\\a.msg");
}

TEST(FolderListTest, ParentsComeFirstAndEachFolderOnce) {
    const std::pair<std::vector<std::string>, StringList> cases[] = {
        {{"C:\\Mail\\2009\\a.msg", "C:\\Mail\\b.msg", "D:\\Mail\\2009\\c.msg"},
         {"Mail", "Mail\\2009"}},
        {{"C:\\A\\B\\C\\x.msg"}, {"A", "A\\B", "A\\B\\C"}},
        {{"C:\\Mail\\a.msg", "D:\\Mail\\b.msg"}, {"Mail"}},
        {{"/srv/b/x.msg", "/srv/a/y.msg", "/home/ann/z.msg"},
         {"home", "home\\ann", "srv", "srv\\a", "srv\\b"}},
        // Case-different folders stay two entries; the store merges them.
        {{"/x/Mail/a.msg", "/x/mail/b.msg"}, {"x", "x\\Mail", "x\\mail"}},
    };
    for (const auto& [paths, folders] : cases) {
        StringList list;
        for (const auto& p : paths) list.push_back(GetRelativeFolder(p));
        list.push_back("");  // the spare element after the rows
        ExpandAndSortFolders(list);
        EXPECT_EQ(list, folders);
    }
}

TEST(TimestampTest, PictureAndNames) {
    EXPECT_EQ(Timestamp({2026, 12, 6, 3, 44, 8}), "6.12.26 3.44.08");
    EXPECT_EQ(Timestamp({2005, 10, 31, 0, 0, 59}), "31.10.05 0.0.59");
    EXPECT_EQ(StoreFileName(Timestamp({2027, 1, 9, 14, 5, 3})),
              "OutlookMessages9.1.27 14.5.03.pst");
    EXPECT_EQ(StoreDisplayName("9.1.27 14.5.03"), "Quillmark : Created - 9.1.27 14.5.03");
    const LocalTime now = LocalNow();
    EXPECT_TRUE(now.month >= 1 && now.month <= 12) << now.month;
}

}  // namespace
}  // namespace qm::convert
