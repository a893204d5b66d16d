// Name order: case-insensitive by upper-cased code points, ties by the exact
// bytes, undecodable bytes after every code point.
#include "shell/name_order.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace qm::shell {
namespace {

TEST(NameOrder, OrdersPairsAsTheUpperCasedOrdinalThenTheExactName) {
    struct Case {
        const char* first;
        const char* second;
        const char* why;
    };
    const Case cases[] = {
        {"copy04", "copy14", "digits by code point"},
        {"apple", "Banana", "letter case ignored"},
        {"a", "_a", "upper-cased: 'A' (0x41) is before '_' (0x5F)"},
        {"B", "b", "equal ignoring case: the exact bytes decide"},
        {"abc", "ABCD", "a prefix first"},
        {"Zeta", "\xC3\xA4pfel", "U+00E4 upper-cases to U+00C4, after Z"},
        {"\xC3\xA9"
         "clair",
         "\xC3\x8B", "U+00E9 as U+00C9, before U+00CB"},
        {"\xC5\x82"
         "a",
         "\xC5\x81"
         "b",
         "Latin Extended-A: U+0142 as U+0141"},
        {"\xCE\xB1", "\xCE\x92", "Greek: alpha as U+0391, before U+0392"},
        {"\xD1\x8F",
         "\xD0\xAF"
         "a",
         "Cyrillic: U+044F as U+042F"},
        {"\xF0\x9F\x93\xA7", "\xFF", "an undecodable byte after every code point"},
        {"\xC3", "\xC3\xFF", "a cut sequence is its bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        EXPECT_TRUE(NameOrderLess(c.first, c.second));
        EXPECT_FALSE(NameOrderLess(c.second, c.first));
        EXPECT_FALSE(NameOrderLess(c.first, c.first));
        std::vector<std::string> names = {c.second, c.first};
        SortByName(names);
        EXPECT_EQ(names, (std::vector<std::string>{c.first, c.second}));
    }
}

}  // namespace
}  // namespace qm::shell
