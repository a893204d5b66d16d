// SIGINT and SIGTERM in the middle of a conversion: the converter finishes
// the message at hand, commits, and exits 130 / 143; the store holds exactly
// the messages its report counts as converted, each equal to its source.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "robust_util.h"

namespace qm::robust {
namespace {

class Interrupt : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        if (!fs::exists(cliPath())) GTEST_SKIP() << "quillmark-cli is not built at " << cliPath();
    }
};

TEST_P(Interrupt, FinishesTheMessageCommitsAndExitsWith128PlusSignal) {
    const int sig = GetParam();
    ScratchDir dir;
    // Long folder names make long progress lines, so the converter soon
    // waits on a small stderr pipe: the signal lands mid-run.
    const fs::path src = dir / std::string(150, 's');
    constexpr size_t kCount = 150;
    const auto sources = writeMessageTree(src, kCount, 3);
    const fs::path pst = dir / "out.pst";
    const fs::path report = dir / "report.json";
    ChildOptions options;
    options.stdoutFile = report;
    options.stderrPipe = true;
    const Child child =
        spawn({cliPath(), "convert", "--json", "-o", pst.string(), src.string()}, options);
    ::fcntl(child.stderrFd, F_SETPIPE_SZ, 4096);
    FILE* err = ::fdopen(child.stderrFd, "r");
    char line[8192];
    ASSERT_NE(std::fgets(line, sizeof line, err), nullptr);  // one message is done
    ::kill(child.pid, sig);
    while (std::fgets(line, sizeof line, err)) {
    }
    std::fclose(err);
    EXPECT_EQ(waitFor(child.pid), 128 + sig);

    std::ifstream in(report);
    const auto doc = nlohmann::json::parse(in, nullptr, false);
    ASSERT_TRUE(doc.is_object());
    const size_t converted = doc["converted"];
    EXPECT_GE(converted, 1u);
    EXPECT_LT(converted, kCount) << "the signal came too late to test anything";
    EXPECT_TRUE(doc["failed"].empty());
    std::set<std::string> stored;
    EXPECT_EQ(verifyStore(pst, sources, &stored), "");
    EXPECT_EQ(stored.size(), converted);
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupt, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) {
                             return std::string(info.param == SIGINT ? "SIGINT" : "SIGTERM");
                         });

}  // namespace
}  // namespace qm::robust
