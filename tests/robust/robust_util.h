// Shared by the robustness tests: trees of .msg files made by our own
// writer, quillmark-cli started as a child process under whatever the test
// imposes (limits, signals, another user), mutations of a file's bytes, and
// the verdict on a .pst left behind: clean by `quillmark-cli check`,
// readable by pffinfo, and every message in it equal to the .msg it came
// from.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "mapi/message.h"
#include "run_fixture.h"

// Under AddressSanitizer the hostile-input runs skip their memory ceilings:
// the sanitizer's own shadow memory would trip them.
#if defined(__SANITIZE_ADDRESS__)
#define QM_ROBUST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QM_ROBUST_ASAN 1
#endif
#endif

namespace qm::robust {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using qm::testing::ScratchDir;
using qm::testing::shellQuote;

// A whole file's bytes (empty when it cannot be read), and writing them back.
Bytes readFile(const fs::path& p);
void writeFile(const fs::path& p, const Bytes& b);

// Writes `count` varied messages (attachments of a few blocks, embedded
// messages, 8-bit strings, named properties) as .msg files spread over
// `folders` sub-folders of `root`; with `bulk`, each message also carries
// an attachment of up to twice that many bytes. Returns subject -> path.
std::map<std::string, fs::path> writeMessageTree(const fs::path& root, size_t count, size_t folders,
                                                 uint64_t bulk = 0);

// quillmark-cli from QM_BIN_DIR (or the build this test was built in).
inline std::string cliPath() {
    return qm::testing::binDir() + "/quillmark-cli";
}

struct ChildOptions {
    fs::path stdoutFile;      // "" is /dev/null
    fs::path stderrFile;      // "" is /dev/null, unless stderrPipe
    bool stderrPipe = false;  // Child::stderrFd reads the child's stderr
    // Runs in the child between fork and exec (limits, another user).
    std::function<void()> setup;
};

struct Child {
    pid_t pid = -1;
    int stderrFd = -1;
};

// Starts `argv[0]` with `argv` (a path, not searched). Signal dispositions
// are reset, so a limit behaves as it would from a shell.
Child spawn(const std::vector<std::string>& argv, const ChildOptions& options = {});
// Waits for the child; its exit code, or 128 + signal when a signal ended it.
int waitFor(pid_t pid);

struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
    nlohmann::json report;  // stdout as JSON, when it is
};
// Runs to the end.
Outcome runToEnd(const std::vector<std::string>& argv, const ChildOptions& options = {});
// `quillmark-cli convert --json -o pst src`; once its first message is done
// it waits on a small stderr pipe, and `during` runs then, mid-run.
Outcome convertMidRun(const fs::path& pst, const fs::path& src,
                      const std::function<void(pid_t)>& during);
// A CPU limit, and a memory ceiling far above what the inputs warrant (an
// allocation sized from a field the file cannot back runs into it).
ChildOptions limited(int cpuSeconds);

// Mutated copies of a file, each as (name, bytes): cut at each of `cuts`
// (when shorter) and `flips` copies with `bits` random bits flipped.
using Mutants = std::vector<std::pair<std::string, Bytes>>;
Mutants cutsAndFlips(const Bytes& b, std::mt19937& rng, const std::vector<size_t>& cuts, int flips,
                     int bits);
// A PST header's two CRCs made right again after an edit.
void fixHeaderCrcs(Bytes& b);

// The stored messages of a .pst, keyed by subject, read by our reader.
// Throws on a file our reader cannot open.
std::map<std::string, mapi::Message> readStore(const fs::path& pst);

// The verdict on a .pst a run left behind: "" when `quillmark-cli check`
// finds it clean, pffinfo reads it, and every message in it equals its
// source; otherwise what is wrong, a line each. `stored` receives the
// subjects held.
std::string verifyStore(const fs::path& pst, const std::map<std::string, fs::path>& sources,
                        std::set<std::string>* stored = nullptr);

}  // namespace qm::robust
