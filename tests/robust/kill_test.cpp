// Crash consistency of a whole conversion: quillmark-cli converts 2,000
// generated messages (about 100 MB in 100 folders, long enough for several
// commits) and is killed (SIGKILL) at a random moment after its first message.
// Whatever the moment, the file left behind passes `quillmark-cli check`,
// opens in pffinfo, and every message in it equals its source. "Committed
// before the kill" is read from the file itself: in half the runs the
// converter is first stopped (SIGSTOP) at an earlier random moment and the
// store read as it then stands; every message seen there must survive the
// later kill.
//
// QM_KILL_RUNS sets the number of killed runs (10 by default; scripts/fuzz
// asks for more); QM_KILL_SEED replays the moments of an earlier run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
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
// Files are passed one by one, each in the next of this many folders: more
// than the store keeps open, so it also commits after every few hundred
// table write-backs and a run holds several commits besides the timed ones.
constexpr size_t kFolders = 100;
// Each message carries an attachment of about this size on top of what the
// generator gives it, so the run lasts several commit intervals.
constexpr uint64_t kBulk = 50000;

int envInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

// A converter whose progress lines (one per message) are drained by a
// thread; firstDone() is when its first message was finished.
class Converter {
  public:
    Converter(const fs::path& pst, const std::vector<std::string>& files) {
        ChildOptions options;
        options.stderrPipe = true;
        std::vector<std::string> argv = {cliPath(), "convert", "-o", pst.string()};
        argv.insert(argv.end(), files.begin(), files.end());
        child_ = spawn(argv, options);
        drain_ = std::thread([this] {
            char buf[4096];
            for (;;) {
                const ssize_t n = ::read(child_.stderrFd, buf, sizeof buf);
                if (n <= 0) break;
                if (!first_.load()) {
                    firstAt_ = Clock::now();
                    first_.store(true);
                }
            }
        });
    }
    ~Converter() {
        if (!reaped_) {
            ::kill(child_.pid, SIGKILL);
            waitFor(child_.pid);
        }
        drain_.join();
        ::close(child_.stderrFd);
    }
    pid_t pid() const { return child_.pid; }
    // Waits for the first progress line; false if the run ended without one.
    bool waitFirst() {
        while (!first_.load()) {
            int status = 0;
            if (::waitpid(child_.pid, &status, WNOHANG) == child_.pid) {
                reaped_ = true;
                return first_.load();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    Clock::time_point firstAt() const { return firstAt_; }
    int wait() {
        reaped_ = true;
        return waitFor(child_.pid);
    }
    void markReaped() { reaped_ = true; }

  private:
    Child child_;
    std::thread drain_;
    std::atomic<bool> first_{false};
    Clock::time_point firstAt_;
    bool reaped_ = false;
};

class KillHarness : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new ScratchDir("qm-kill");
        sources_ = new std::map<std::string, fs::path>(
            writeMessageTree(dir_->path() / "Mail", kMessages, kFolders, kBulk));
    }
    static void TearDownTestSuite() {
        delete sources_;
        delete dir_;
    }
    void SetUp() override {
        if (!fs::exists(cliPath())) GTEST_SKIP() << "quillmark-cli is not built at " << cliPath();
    }
    // The sources in index order, so consecutive files are in different
    // folders.
    static std::vector<std::string> src() {
        std::vector<std::string> files;
        for (const auto& [key, path] : *sources_) files.push_back(path.string());
        return files;
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
    Clock::duration length;
    {
        Converter c(whole, src());
        ASSERT_TRUE(c.waitFirst());
        ASSERT_EQ(c.wait(), 0);
        length = Clock::now() - c.firstAt();
    }
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
    std::uniform_int_distribution<int64_t> moment(0, span.count());

    size_t kept = 0;
    size_t partial = 0;
    for (int run = 0; run < runs; ++run) {
        const auto killAt = std::chrono::microseconds(moment(rng));
        const bool peek = rng() % 2 == 0;
        const auto peekAt =
            std::chrono::microseconds(peek ? int64_t(rng() % uint64_t(killAt.count() + 1)) : 0);
        SCOPED_TRACE("run " + std::to_string(run) + ": kill at " +
                     std::to_string(killAt.count() / 1000) + " ms" +
                     (peek ? ", store read at " + std::to_string(peekAt.count() / 1000) + " ms"
                           : std::string()));
        const fs::path pst = dir_->path() / ("killed" + std::to_string(run) + ".pst");
        std::set<std::string> committed;
        {
            Converter c(pst, src());
            if (!c.waitFirst()) {
                ADD_FAILURE() << "the converter ended before its first message";
                continue;
            }
            bool ended = false;  // the run finished before it could be stopped
            if (peek) {
                std::this_thread::sleep_until(c.firstAt() + peekAt);
                int status = 0;
                if (::kill(c.pid(), SIGSTOP) == 0 &&
                    ::waitpid(c.pid(), &status, WUNTRACED) == c.pid()) {
                    if (!WIFSTOPPED(status)) {
                        ended = true;
                        c.markReaped();
                        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
                    } else {
                        // The store as it stands is what a kill now would leave.
                        try {
                            for (const auto& [key, m] : readStore(pst)) committed.insert(key);
                        } catch (const std::exception& e) {
                            ADD_FAILURE()
                                << "a stopped converter's store does not read: " << e.what();
                        }
                        ::kill(c.pid(), SIGCONT);
                    }
                }
            }
            if (!ended) {
                std::this_thread::sleep_until(c.firstAt() + killAt);
                ::kill(c.pid(), SIGKILL);
                const int code = c.wait();
                EXPECT_TRUE(code == 0 || code == 128 + SIGKILL) << "exit " << code;
            }
        }
        std::set<std::string> after;
        EXPECT_EQ(verifyStore(pst, *sources_, &after), "");
        for (const auto& key : committed) {
            EXPECT_TRUE(after.count(key)) << key << " was committed and is gone";
        }
        kept += after.size();
        if (!after.empty() && after.size() < kMessages) ++partial;
        std::cout << "  run " << run << ": killed at " << killAt.count() / 1000 << " ms, "
                  << after.size() << " messages kept";
        if (peek) std::cout << " (" << committed.size() << " seen committed before)";
        std::cout << "\n";
        fs::remove(pst);
    }
    std::cout << "kill harness: " << partial << " of " << runs
              << " runs ended between commits with part of the messages\n";
    RecordProperty("partial_runs", int(partial));
    RecordProperty("messages_kept", int(kept));
}

// A kill while the store file is being created (before its first commit)
// must leave either nothing at the output path or a store that checks: the
// file only takes its name once it is a whole store. Kills are spread over
// the first few milliseconds of the run, where creation happens.
TEST_F(KillHarness, KillDuringCreationLeavesNoUnreadableFile) {
    int named = 0;
    for (int run = 0; run < 20; ++run) {
        const fs::path pst = dir_->path() / ("early" + std::to_string(run) + ".pst");
        std::vector<std::string> argv = {cliPath(), "convert", "--quiet", "-o", pst.string()};
        for (const auto& f : src()) argv.push_back(f);
        const Child c = spawn(argv);
        ::usleep(useconds_t(run * 1000));
        ::kill(c.pid, SIGKILL);
        waitFor(c.pid);
        if (!fs::exists(pst)) continue;
        ++named;
        std::string out;
        std::string err;
        EXPECT_EQ(runToEnd({cliPath(), "check", pst.string()}, &out, &err), 0)
            << "run " << run << ": " << out << err;
        fs::remove(pst);
    }
    RecordProperty("runs_with_a_named_file", named);
}

}  // namespace
}  // namespace qm::robust
