// The two name rules of the walkers: which names are messages, and the name
// order (upper-cased code points, ties by the exact bytes, undecodable bytes
// after every code point).
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "shell/msg_name.h"
#include "shell/name_order.h"

namespace qm::shell {
namespace {

TEST(IsMsgFileName, LowerCasedTrimmedLastFourCharacters) {
    for (const char* name : {"/m/a.msg", "/m/a.MSG", "/m/a.Msg", "/m/a.msg   ", "  /m/a.msg",
                             ".msg", "/m/\xc3\xa9.msg"})
        EXPECT_TRUE(IsMsgFileName(name)) << '"' << name << '"';
    for (const char* name : {"/m/a.msgx", "/m/a.ms", "/m/a.msg\t", "/m/amsg", "msg", "", "    ",
                             "/m/a.msg.txt", "/m/a.m\xc3\x9fg"})
        EXPECT_FALSE(IsMsgFileName(name)) << '"' << name << '"';
}

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
        {"\xC3\xA9z", "\xC3\x8B", "U+00E9 as U+00C9, before U+00CB"},
        {"\xC5\x82"
         "a",
         "\xC5\x81"
         "b",
         "Latin Extended-A: U+0142 as U+0141"},
        {"\xCE\xB1", "\xCE\x92", "Greek: alpha as U+0391, before U+0392"},
        {"\xD1\x8F", "\xD0\xAF\x61", "Cyrillic: U+044F as U+042F"},
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
