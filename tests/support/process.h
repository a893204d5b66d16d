// What tests of every layer need from their surroundings: the checkout, the
// build and ../shared as ctest gives them, whole files, and child processes
// run under whatever a test imposes (limits, signals, another user).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace qm::testing {

namespace fs = std::filesystem;

// QM_SOURCE_DIR and QM_BIN_DIR from the environment, else the checkout and
// build folders the tests were built for.
std::string sourceDir();
std::string binDir();
inline std::string cliPath() {
    return binDir() + "/quillmark-cli";
}
// QM_SHARED_DIR/`sub` (the corpus, Outlook's files, the format notes) when it
// is there; an empty path when not, for the test to skip saying so.
fs::path sharedDir(const std::string& sub);
// The files below sharedDir(`sub`) ending in `ext`, sorted; none when absent.
std::vector<fs::path> sharedFiles(const std::string& sub, const std::string& ext);

std::vector<uint8_t> readFile(const fs::path& p);  // empty when unreadable
void writeFile(const fs::path& p, const std::vector<uint8_t>& b);
std::string readText(const fs::path& p);

struct ChildOptions {
    fs::path stdoutFile, stderrFile;  // "" is /dev/null
    // Runs in the child between fork and exec (limits, another user).
    std::function<void()> setup;
};
struct Child {
    pid_t pid = -1;
};
// Starts argv[0] (a path, not searched) with signal dispositions reset, so a
// limit behaves as it would from a shell.
Child spawn(const std::vector<std::string>& argv, const ChildOptions& options = {});
// The child's exit code, or 128 + signal when a signal ended it.
int waitFor(pid_t pid);

struct Outcome {
    int code = -1;
    std::string out, err;
    nlohmann::json report;  // stdout as JSON, when it is
};
// With `during`, stderr is a small pipe: once the child wrote its first line
// there (left out of `err`) it soon waits on the pipe, and `during` runs then.
Outcome runToEnd(const std::vector<std::string>& argv, ChildOptions options = {},
                 const std::function<void(pid_t)>& during = {});
// Single-quoted for /bin/sh.
std::string shellQuote(const std::string& s);

}  // namespace qm::testing
