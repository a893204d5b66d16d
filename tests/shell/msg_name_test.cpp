#include "shell/msg_name.h"

#include <gtest/gtest.h>

namespace qm::shell {
namespace {

TEST(IsMsgFileName, LowerCasedTrimmedLastFourCharacters) {
    struct Case {
        const char* name;
        bool accepted;
    } cases[] = {
        {"/m/a.msg", true},
        {"/m/a.MSG", true},
        {"/m/a.Msg", true},
        {"/m/a.msg   ", true},
        {"  /m/a.msg", true},
        {".msg", true},
        {"/m/a.msgx", false},
        {"/m/a.ms", false},
        {"/m/a.msg\t", false},
        {"/m/amsg", false},
        {"msg", false},
        {"", false},
        {"    ", false},
        {"/m/a.msg.txt", false},
        {"/m/\xc3\xa9.msg", true},
        {"/m/a.m\xc3\x9fg", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsMsgFileName(c.name), c.accepted) << '"' << c.name << '"';
    }
}

}  // namespace
}  // namespace qm::shell
