// Shared by the robustness tests: trees of .msg files made by our own
// writer, quillmark-cli started as a child process under whatever the test
// imposes (limits, signals, another user), and the verdict on a .pst left
// behind: clean by `quillmark-cli check`, readable by pffinfo, and every
// message in it equal to the .msg it came from.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "mapi/message.h"
#include "support/scratch_dir.h"

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

using qm::testing::ScratchDir;

// A whole file's bytes (empty when it cannot be read), and writing them back.
std::vector<uint8_t> readFile(const fs::path& p);
void writeFile(const fs::path& p, const std::vector<uint8_t>& b);

using qm::testing::removeTree;  // support/scratch_dir.h

// The subject that names source message `index` (unique in a tree).
std::string subjectOf(size_t index);

// Writes `count` varied messages (attachments of a few blocks, embedded
// messages, 8-bit strings, named properties) as .msg files spread over
// `folders` sub-folders of `root`; with `bulk`, each message also carries
// an attachment of up to twice that many bytes. Returns subject -> path.
std::map<std::string, fs::path> writeMessageTree(const fs::path& root, size_t count, size_t folders,
                                                 uint64_t bulk = 0);

// quillmark-cli from QM_BIN_DIR (or beside the test binary).
std::string cliPath();

struct ChildOptions {
    // Files for the child's streams; "" is /dev/null. Ignored when the
    // matching pipe is asked for.
    fs::path stdoutFile;
    fs::path stderrFile;
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
// Waits for the child; returns its exit code, or 128 + signal when a
// signal ended it.
int waitFor(pid_t pid);
// Runs to the end; returns the exit code and what it wrote to stdout.
int runToEnd(const std::vector<std::string>& argv, std::string* out = nullptr,
             std::string* err = nullptr, const ChildOptions& options = {});

// The stored messages of a .pst, keyed by subject, read by our reader.
// Throws on a file our reader cannot open.
std::map<std::string, mapi::Message> readStore(const fs::path& pst);
// How many messages the store holds, folder by folder (our reader).
size_t storedMessageCount(const fs::path& pst);

// The verdict on a .pst a run left behind: "" when `quillmark-cli check`
// finds it clean, pffinfo reads it, and every message in it equals its
// source; otherwise what is wrong. `stored` receives the subjects held.
std::string verifyStore(const fs::path& pst, const std::map<std::string, fs::path>& sources,
                        std::set<std::string>* stored = nullptr);

// "" when `source` (a .msg) converted equals `stored`, else the difference.
std::string diffConverted(const fs::path& source, const mapi::Message& stored);

// True when pffinfo is installed.
bool havePffinfo();

}  // namespace qm::robust
