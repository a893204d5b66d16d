// The Open dialog's result text: splitting it into paths, and building it from
// the dialog's choice with the 1000-character rule.
#include "app/open_result.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/dialogs.h"
#include "shell/runtime_error.h"

namespace qm::app {
namespace {

using ::testing::ElementsAre;
using namespace std::string_literals;

TEST(ParseOpenResult, WindowsForms) {
    struct Case {
        std::string text;
        std::vector<std::string> paths;
    } cases[] = {
        {"", {}},
        {"C:\\Mail\\a.msg", {"C:\\Mail\\a.msg"}},
        {"C:\\Mail\\a.msg\0"s, {"C:\\Mail\\a.msg"}},
        {"C:\\Mail\0a.msg\0b.msg"s, {"C:\\Mail\\a.msg", "C:\\Mail\\b.msg"}},
        {"C:\\Mail\0a.msg\0b.msg\0"s, {"C:\\Mail\\a.msg", "C:\\Mail\\b.msg"}},
        {"C:\\\0a.msg\0b.msg"s, {"C:\\a.msg", "C:\\b.msg"}},  // a root: no doubled backslash
        {"C:\\Mail\\\0b.msg\0a.msg\0"s, {"C:\\Mail\\b.msg", "C:\\Mail\\a.msg"}},  // dialog's order
        {"C:\\Mail\0 spaced .msg\0x\0"s, {"C:\\Mail\\ spaced .msg", "C:\\Mail\\x"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseOpenResult(c.text, '\\'), c.paths) << "text of " << c.text.size();
    }
}

TEST(ParseOpenResult, PosixForms) {
    EXPECT_THAT(ParseOpenResult("/home/ann/a.msg", '/'), ElementsAre("/home/ann/a.msg"));
    EXPECT_THAT(ParseOpenResult("/home/ann\0a.msg\0b.msg"s, '/'),
                ElementsAre("/home/ann/a.msg", "/home/ann/b.msg"));
    EXPECT_THAT(ParseOpenResult("/\0a.msg\0b.msg\0"s, '/'), ElementsAre("/a.msg", "/b.msg"));
}

TEST(BuildOpenResult, RoundTripsThroughTheParser) {
    const std::vector<std::vector<std::string>> choices = {
        {"/home/ann/a.msg"},
        {"/home/ann/a.msg", "/home/ann/b.msg", "/home/ann/c d.msg"},
        {"/a.msg", "/b.msg"},
    };
    for (const auto& paths : choices) {
        const std::string text = BuildOpenResult(paths, 1000, '/');
        EXPECT_EQ(ParseOpenResult(text, '/'), paths);
    }
    EXPECT_EQ(BuildOpenResult({"/home/ann/a.msg", "/home/ann/b.msg"}, 1000, '/'),
              "/home/ann\0a.msg\0b.msg"s);
    EXPECT_EQ(BuildOpenResult({"C:\\a.msg", "C:\\b.msg"}, 1000, '\\'), "C:\\\0a.msg\0b.msg"s);
}

int ErrorOf(const std::vector<std::string>& paths, int32_t room) {
    try {
        (void)BuildOpenResult(paths, room, '/');
        return 0;
    } catch (const NumberedError& e) {
        return e.number();
    }
}

TEST(BuildOpenResult, TheWholeSelectionMustFitInMaxFileSize) {
    // One file: the path and its terminating NUL.
    const std::string p999 = "/" + std::string(998, 'a');
    EXPECT_EQ(ErrorOf({p999}, 1000), 0);
    EXPECT_EQ(ErrorOf({p999 + "b"}, 1000), kErrFileNameBufferTooSmall);
    // Several: folder, NUL, names with NULs, and the closing double NUL.
    // "/d" + 9 names "NNNNNNNNNNNNNN.msg" of 18 + NULs: 2 + 9 * 19 = 173, + 2.
    std::vector<std::string> paths;
    for (int i = 0; i < 9; ++i)
        paths.push_back("/d/" + std::to_string(10000000000000 + i) + ".msg");
    EXPECT_EQ(ErrorOf(paths, 175), 0);
    EXPECT_EQ(ErrorOf(paths, 174), kErrFileNameBufferTooSmall);
    EXPECT_EQ(OpenResultRoom("abc", false), 4);
    EXPECT_EQ(OpenResultRoom("abc", true), 5);
}

TEST(BuildOpenResult, FilesFromTwoFoldersAreRefused) {
    EXPECT_EQ(ErrorOf({"/a/x.msg", "/b/y.msg"}, 1000), kErrInvalidCall);
    EXPECT_EQ(ErrorOf({"/a/x.msg", "/ab/y.msg"}, 1000), kErrInvalidCall);
}

TEST(QtNameFilter, PairsBecomeQtFilters) {
    EXPECT_EQ(QtNameFilter("Email Messages (*.msg)|*.msg"), "Email Messages (*.msg)");
    EXPECT_EQ(QtNameFilter("All|*.*|Text|*.txt;*.log"), "All (*.*);;Text (*.txt *.log)");
}

}  // namespace
}  // namespace qm::app
