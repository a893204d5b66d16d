// Crash consistency of a whole conversion: quillmark-cli converts 2,000
// generated messages (about 100 MB in 100 folders, long enough for several
// commits) and is killed (SIGKILL) at a random moment after its first message.
// Whatever the moment, the file left behind passes `quillmark-cli check`,
// opens in pffinfo, and every message in it equals its source. "Committed
// before the kill" is read from the file itself: in half the runs the
// converter is first stopped (SIGSTOP) at an earlier random moment and the
// store read as it then stands; every message seen there must survive.
//
// QM_KILL_RUNS sets the number of killed runs (10 by default; scripts/fuzz
// asks for more); QM_KILL_SEED replays the moments of an earlier run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <random>
#include <thread>

#include "pst/read/pst_file.h"
#include "run_fixture.h"

namespace qm::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
constexpr size_t kMessages = 2000;

int envInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

// A converter of every source; `first` is when its first message was done
// (its first progress line on stderr); `reaped` when it ended before.
struct Converter {
    Converter(const fs::path& pst, const std::vector<std::string>& files) {
        ChildOptions options;
        options.stderrFile = pst.string() + ".err";
        std::vector<std::string> argv = {cliPath(), "convert", "-o", pst.string()};
        argv.insert(argv.end(), files.begin(), files.end());
        pid = spawn(argv, options).pid;
        int status = 0;
        while (!reaped && (!fs::exists(options.stderrFile) || fs::is_empty(options.stderrFile))) {
            reaped = ::waitpid(pid, &status, WNOHANG) == pid;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        first = Clock::now();
    }
    ~Converter() {
        if (reaped) return;
        ::kill(pid, SIGKILL);
        wait();
    }
    int wait() {
        reaped = true;
        return waitFor(pid);
    }
    pid_t pid;
    bool reaped = false;
    Clock::time_point first;
};

class KillHarness : public CliTest {
  protected:
    static void SetUpTestSuite() {
        mail_ = new ScratchDir("qm-kill");
        // Each message in the next of 100 folders: more than the store keeps
        // open, so it also commits after every few hundred table write-backs;
        // 50 kB more each, so the run lasts several commit intervals.
        sources_ = new auto(writeMessageTree(mail_->path() / "Mail", kMessages, 100, 50000));
        for (const auto& [key, path] : *sources_) files_.push_back(path.string());
    }
    static void TearDownTestSuite() {
        delete sources_;
        delete mail_;
    }
    static inline ScratchDir* mail_ = nullptr;
    static inline std::map<std::string, fs::path>* sources_ = nullptr;
    static inline std::vector<std::string> files_;
};

TEST_F(KillHarness, KilledRunsLeaveValidStoresWithEveryCommittedMessage) {
    // One whole run: it must convert everything, and its length spreads the
    // kill moments over a whole run.
    const fs::path whole = dir_ / "whole.pst";
    Converter wholeRun(whole, files_);
    ASSERT_EQ(wholeRun.wait(), 0);
    const Clock::duration length = Clock::now() - wholeRun.first;
    std::set<std::string> stored;
    ASSERT_EQ(verifyStore(whole, *sources_, &stored), "");
    ASSERT_EQ(stored.size(), kMessages);
    fs::remove(whole);

    const int runs = envInt("QM_KILL_RUNS", 10);
    const auto seed = unsigned(envInt("QM_KILL_SEED", int(std::random_device{}() & 0x7fffffff)));
    std::cout << "kill harness: " << runs << " runs, seed " << seed << " (QM_KILL_SEED), whole run "
              << std::chrono::duration_cast<std::chrono::milliseconds>(length).count() << " ms\n";
    std::mt19937 rng(seed);
    const int64_t lengthUs = std::chrono::duration_cast<microseconds>(length).count();
    size_t partial = 0;
    for (int run = 0; run < runs; ++run) {
        const auto killAt = microseconds(std::uniform_int_distribution<int64_t>(0, lengthUs)(rng));
        const bool peek = rng() % 2 == 0;
        const auto peekAt = microseconds(peek ? int64_t(rng() % uint64_t(killAt.count() + 1)) : 0);
        const std::string what = "run " + std::to_string(run) + ": killed at " +
                                 std::to_string(killAt.count() / 1000) + " ms" +
                                 (peek ? ", read at " + std::to_string(peekAt.count() / 1000) : "");
        SCOPED_TRACE(what);
        const fs::path pst = dir_ / ("killed" + std::to_string(run) + ".pst");
        std::set<std::string> committed;
        {
            Converter c(pst, files_);
            ASSERT_FALSE(c.reaped) << "the converter ended before its first message";
            int status = 0;
            std::this_thread::sleep_until(c.first + peekAt);
            if (peek && ::kill(c.pid, SIGSTOP) == 0 &&
                ::waitpid(c.pid, &status, WUNTRACED) == c.pid) {
                if (WIFSTOPPED(status)) {
                    // The store as it stands is what a kill now would leave.
                    try {
                        for (const auto& [folder, messages] : storedMessages(pst))
                            for (const auto& m : messages) {
                                const std::string s = pst::read::readableSubject(m.props);
                                committed.insert(s.substr(0, s.find(' ')));
                            }
                    } catch (const std::exception& e) {
                        ADD_FAILURE() << "a stopped converter's store does not read: " << e.what();
                    }
                    ::kill(c.pid, SIGCONT);
                } else {  // the run finished before it could be stopped
                    c.reaped = true;
                    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
                }
            }
            if (!c.reaped) {
                std::this_thread::sleep_until(c.first + killAt);
                ::kill(c.pid, SIGKILL);
                const int code = c.wait();
                EXPECT_TRUE(code == 0 || code == 128 + SIGKILL) << "exit " << code;
            }
        }
        std::set<std::string> after;
        EXPECT_EQ(verifyStore(pst, *sources_, &after), "");
        for (const auto& key : committed) EXPECT_TRUE(after.count(key)) << key << " is gone";
        partial += !after.empty() && after.size() < kMessages;
        std::cout << "  " << what << ", " << after.size() << " messages kept, " << committed.size()
                  << " seen committed before\n";
        fs::remove(pst);
    }
    std::cout << "kill harness: " << partial << " of " << runs
              << " runs ended between commits with part of the messages\n";
}

// A kill while the store file is being created (before its first commit)
// leaves either nothing at the output path or a store that checks: the file
// only takes its name once it is a whole store. Kills are spread over the
// first few milliseconds of the run, where creation happens.
TEST_F(KillHarness, KillDuringCreationLeavesNoUnreadableFile) {
    for (int run = 0; run < 20; ++run) {
        const fs::path pst = dir_ / ("early" + std::to_string(run) + ".pst");
        std::vector<std::string> argv = {cliPath(), "convert", "--quiet", "-o", pst.string()};
        argv.insert(argv.end(), files_.begin(), files_.end());
        const Child c = spawn(argv);
        ::usleep(useconds_t(run * 1000));
        ::kill(c.pid, SIGKILL);
        waitFor(c.pid);
        if (!fs::exists(pst)) continue;
        const Outcome check = runToEnd({cliPath(), "check", pst.string()});
        EXPECT_EQ(check.code, 0) << "run " << run << ": " << check.out << check.err;
    }
}

}  // namespace
}  // namespace qm::testing
