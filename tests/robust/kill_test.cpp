// Crash consistency of a whole conversion: quillmark-cli converts 2,000
// generated messages and is killed (SIGKILL) at a random moment. Whatever
// the moment, the file left behind passes `quillmark-cli check`, opens in
// pffinfo, and every message in it equals its source. "Committed before
// the kill" is read from the file itself: in some runs the converter is
// stopped (SIGSTOP) at an earlier random moment and the store read as it
// then stands; every message seen there must survive the later kill.
//
// QM_KILL_RUNS sets the number of killed runs (10 by default; scripts/fuzz
// asks for more); QM_KILL_SEED replays the moments of an earlier run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>
#include <thread>

#include "robust_util.h"

namespace qm::robust {
namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kMessages = 2000;
constexpr size_t kFolders = 12;

int envInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

class KillHarness : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new ScratchDir("qm-kill");
        sources_ = new std::map<std::string, fs::path>(
            writeMessageTree(dir_->path() / "Mail", kMessages, kFolders));
    }
    static void TearDownTestSuite() {
        delete sources_;
        delete dir_;
    }
    void SetUp() override {
        if (!fs::exists(cliPath())) GTEST_SKIP() << "quillmark-cli is not built at " << cliPath();
    }

    static Child start(const fs::path& pst) {
        return spawn({cliPath(), "convert", "--quiet", "-o", pst.string(),
                      (dir_->path() / "Mail").string()});
    }

    static ScratchDir* dir_;
    static std::map<std::string, fs::path>* sources_;
};

ScratchDir* KillHarness::dir_ = nullptr;
std::map<std::string, fs::path>* KillHarness::sources_ = nullptr;

TEST_F(KillHarness, KilledRunsLeaveValidStoresWithEveryCommittedMessage) {
    // One whole run: it must convert everything, and its length spreads the
    // kill moments over a whole run.
    const fs::path whole = dir_->path() / "whole.pst";
    const auto begin = Clock::now();
    const Child c = start(whole);
    ASSERT_EQ(waitFor(c.pid), 0);
    const auto length = Clock::now() - begin;
    std::set<std::string> stored;
    ASSERT_EQ(verifyStore(whole, *sources_, &stored), "");
    ASSERT_EQ(stored.size(), kMessages);
    fs::remove(whole);

    const int runs = envInt("QM_KILL_RUNS", 10);
    const unsigned seed =
        unsigned(envInt("QM_KILL_SEED", int(std::random_device{}() & 0x7fffffff)));
    std::cout << "kill harness: " << runs << " runs, seed " << seed << " (QM_KILL_SEED), whole run "
              << std::chrono::duration_cast<std::chrono::milliseconds>(length).count() << " ms\n";
    std::mt19937 rng(seed);
    const auto span = std::chrono::duration_cast<std::chrono::microseconds>(length);
    std::uniform_int_distribution<int64_t> moment(0, span.count() * 11 / 10);

    for (int run = 0; run < runs; ++run) {
        const auto killAt = std::chrono::microseconds(moment(rng));
        const bool peek = rng() % 2 == 0;
        const auto peekAt =
            std::chrono::microseconds(peek ? int64_t(rng() % (killAt.count() + 1)) : 0);
        SCOPED_TRACE("run " + std::to_string(run) + ": kill at " +
                     std::to_string(killAt.count() / 1000) + " ms" +
                     (peek ? ", store read at " + std::to_string(peekAt.count() / 1000) + " ms"
                           : std::string()));
        const fs::path pst = dir_->path() / ("killed" + std::to_string(run) + ".pst");
        const auto t0 = Clock::now();
        const Child child = start(pst);

        std::set<std::string> committed;
        bool reaped = false;  // the run ended on its own before it was stopped
        if (peek) {
            std::this_thread::sleep_until(t0 + peekAt);
            int status = 0;
            if (::kill(child.pid, SIGSTOP) == 0 &&
                ::waitpid(child.pid, &status, WUNTRACED) == child.pid) {
                if (!WIFSTOPPED(status)) {
                    reaped = true;
                    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
                } else if (fs::exists(pst)) {
                    // The store as it stands is what a kill now would leave.
                    try {
                        for (const auto& [key, m] : readStore(pst)) committed.insert(key);
                    } catch (const std::exception& e) {
                        ADD_FAILURE() << "a stopped converter's store does not read: " << e.what();
                    }
                }
                if (!reaped) ::kill(child.pid, SIGCONT);
            }
        }
        if (!reaped) {
            std::this_thread::sleep_until(t0 + killAt);
            ::kill(child.pid, SIGKILL);
            const int code = waitFor(child.pid);
            EXPECT_TRUE(code == 0 || code == 128 + SIGKILL) << "exit " << code;
        }
        if (!fs::exists(pst)) {
            // Killed before the store was created: nothing to judge.
            EXPECT_TRUE(committed.empty());
            std::cout << "  run " << run << ": killed before the store existed\n";
            continue;
        }
        std::set<std::string> after;
        EXPECT_EQ(verifyStore(pst, *sources_, &after), "");
        for (const auto& key : committed) {
            EXPECT_TRUE(after.count(key)) << key << " was committed and is gone";
        }
        std::cout << "  run " << run << ": killed at " << killAt.count() / 1000 << " ms, "
                  << after.size() << " messages kept";
        if (peek) std::cout << " (" << committed.size() << " seen committed before)";
        std::cout << "\n";
        fs::remove(pst);
    }
}

}  // namespace
}  // namespace qm::robust
