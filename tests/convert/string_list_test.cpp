// The folder list's sort and de-duplication, case by case and against
// std::sort on large lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "convert/string_list.h"
#include "mapi/error.h"

namespace qm::convert {
namespace {

TEST(BinaryLessTest, OrdersByUtf16CodeUnits) {
    EXPECT_TRUE(BinaryLess("A", "a"));
    EXPECT_TRUE(BinaryLess("", "a"));
    EXPECT_FALSE(BinaryLess("", ""));
    EXPECT_TRUE(BinaryLess("x", "x\\y"));
    EXPECT_TRUE(BinaryLess("x\\y", "x\\y\\z"));
    EXPECT_FALSE(BinaryLess("b", "a"));
    // U+FF3C (fullwidth backslash) after every supplementary character, as in
    // UTF-16, though UTF-8 byte order says otherwise.
    EXPECT_TRUE(BinaryLess("\xF0\x9F\x98\x80", "\xEF\xBC\xBC"));
    EXPECT_FALSE(BinaryLess("\xEF\xBC\xBC", "\xF0\x9F\x98\x80"));
    EXPECT_TRUE(BinaryLess("\xC3\xA9", "\xC3\xAA"));  // é < ê, differing in a continuation byte
    EXPECT_TRUE(BinaryLess("z", "\xC3\xA9"));
}

TEST(SortStringRangeTest, CasesFromTheFolderList) {
    StringList list{"b", "a", "B", "a"};
    SortStringRange(list, 0, 3);
    EXPECT_EQ(list, (StringList{"B", "a", "a", "b"}));
    RemoveDuplicateStrings(list);
    EXPECT_EQ(list, (StringList{"B", "a", "b"}));

    StringList paths{"x\\y", "x", "w"};
    SortStringRange(paths, 0, 2);
    EXPECT_EQ(paths, (StringList{"w", "x", "x\\y"}));

    // The element after hi is not moved by the sort; de-duplication drops it.
    StringList spare{"b", "a", ""};
    SortStringRange(spare, 0, 1);
    EXPECT_EQ(spare, (StringList{"a", "b", ""}));
    RemoveDuplicateStrings(spare);
    EXPECT_EQ(spare, (StringList{"a", "b"}));

    StringList one{"q", "c", "a"};
    SortStringRange(one, 1, 1);
    EXPECT_EQ(one, (StringList{"q", "c", "a"}));

    StringList partial{"d", "c", "b", "a"};
    SortStringRange(partial, 1, 2);
    EXPECT_EQ(partial, (StringList{"d", "b", "c", "a"}));
}

TEST(SortStringRangeTest, BoundsOutsideTheListFailWithSubscriptOutOfRange) {
    StringList list{"a"};
    try {
        SortStringRange(list, 0, -1);  // an empty range still reads list(-1)
        FAIL() << "no error";
    } catch (const NumberedError& e) {
        EXPECT_EQ(e.number(), kErrSubscript);
    }
    StringList two{"b", "a"};
    EXPECT_THROW(SortStringRange(two, 0, 2), NumberedError);
    StringList empty;
    EXPECT_THROW(SortStringRange(empty, 0, 0), NumberedError);
}

TEST(SortStringRangeTest, LargeListsOfAnyShapeSortLikeStdSort) {
    std::mt19937 rng(7);
    const size_t n = 100000;
    StringList random(n);
    for (auto& s : random)
        s = "f" + std::to_string(rng() % 5000) + "\\" + std::to_string(rng() % 7);
    StringList sorted(n), equal(n, "same"), descending(n);
    for (size_t i = 0; i < n; ++i) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%08zu", i);
        sorted[i] = buf;
        descending[n - 1 - i] = buf;
    }
    // Organ pipe: ascending then descending, a classic bad case for a middle pivot.
    StringList organ(n);
    for (size_t i = 0; i < n; ++i) organ[i] = sorted[i < n / 2 ? i * 2 : (n - 1 - i) * 2 + 1];

    for (StringList* list : {&random, &sorted, &equal, &descending, &organ}) {
        StringList expected = *list;
        std::sort(expected.begin(), expected.end(), BinaryLess);
        SortStringRange(*list, 0, int64_t(n) - 1);
        EXPECT_EQ(*list, expected);
    }
    // Beyond the old 16-bit index limits.
    StringList copy = random;
    std::sort(copy.begin(), copy.end(), BinaryLess);
    copy.erase(std::unique(copy.begin(), copy.end()), copy.end());
    RemoveDuplicateStrings(random);
    EXPECT_EQ(random, copy);
}

TEST(RemoveDuplicateStringsTest, NeighboursOnly) {
    StringList gap{"a", "", "a"};
    RemoveDuplicateStrings(gap);
    EXPECT_EQ(gap, (StringList{"a", "a"}));

    StringList apart{"a", "b", "a"};
    RemoveDuplicateStrings(apart);
    EXPECT_EQ(apart, (StringList{"a", "b", "a"}));

    StringList run{"x", "x", "x", "y"};
    RemoveDuplicateStrings(run);
    EXPECT_EQ(run, (StringList{"x", "y"}));

    StringList empties{"", "p", "", "", "q", ""};
    RemoveDuplicateStrings(empties);
    EXPECT_EQ(empties, (StringList{"p", "q"}));

    StringList nothing{"", ""};
    RemoveDuplicateStrings(nothing);
    EXPECT_TRUE(nothing.empty());

    StringList none;
    RemoveDuplicateStrings(none);
    EXPECT_TRUE(none.empty());

    StringList tail{"a", "b", "b"};
    RemoveDuplicateStrings(tail);
    EXPECT_EQ(tail, (StringList{"a", "b"}));
}

}  // namespace
}  // namespace qm::convert
