#include "shell/keyed_list.h"

#include <gtest/gtest.h>

namespace qm::shell {
namespace {

TEST(KeyedList, PositionsCountFromOneInAppendOrder) {
    TextList list;
    list.Add("a", "K1");
    list.Add("b", "K7");
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Item(1), "a");
    EXPECT_EQ(list.Item(2), "b");
    EXPECT_EQ(list.Key(2), "K7");
    EXPECT_EQ(list.Item("K7"), "b");
    EXPECT_TRUE(list.Exists("K1"));
    EXPECT_FALSE(list.Exists("k1")) << "keys compare exactly";
}

TEST(KeyedList, DuplicateKeyIsRefusedAndLeavesTheListAlone) {
    NumberList list;
    list.Add(5, "K0");
    try {
        list.Add(6, "K0");
        FAIL() << "a duplicate key was accepted";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.number(), kErrDuplicateKey);
        EXPECT_NE(e.description().find("K0"), std::string::npos) << e.what();
    }
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Item(1), 5);
}

TEST(KeyedList, OutOfRangeReadsAreSubscriptErrors) {
    TextList list;
    list.Add("a", "K1");
    for (int32_t bad : {0, 2, -1}) {
        try {
            (void)list.Item(bad);
            FAIL() << "position " << bad << " was read";
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.number(), kErrSubscript);
        }
    }
    EXPECT_THROW((void)list.Item("K2"), RuntimeError);
}

TEST(KeyedList, IteratesInPositionOrder) {
    TextList list;
    for (int i = 0; i < 5; ++i) list.Add(std::to_string(i), "K" + std::to_string(i));
    std::string seen;
    for (const auto& v : list) seen += v;
    EXPECT_EQ(seen, "01234");
}

}  // namespace
}  // namespace qm::shell
