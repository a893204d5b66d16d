// What the engine, window, command-line and robustness tests share: .msg
// trees made by our own writer, quillmark-cli run as a child process under
// whatever a test imposes (limits, signals, another user), and the verdict
// on a .pst, read back by our reader and the independent ones.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "convert/timestamp.h"
#include "mapi/message.h"
#include "support/scratch_dir.h"

namespace qm::testing {

namespace fs = std::filesystem;

// A small message with this subject; `attachments` by-value attachments;
// `flags` written as PidTagMessageFlags in the file (0: none written).
mapi::Message testMessage(const std::string& subject, size_t attachments = 0, int32_t flags = 0);
// Writes the message with our MSG writer, making parent folders.
void writeMessage(const fs::path& path, const mapi::Message& message);
// Garbage that is not a compound file.
void writeBroken(const fs::path& path);
// `count` varied messages (attachments of a few blocks, embedded messages,
// 8-bit strings, named properties) spread over `folders` sub-folders of
// `root`; with `bulk`, each also carries an attachment of up to twice that
// many bytes. Returns subject -> path.
std::map<std::string, fs::path> writeMessageTree(const fs::path& root, size_t count, size_t folders,
                                                 uint64_t bulk = 0);

inline convert::Clock fixedClock(convert::LocalTime t) {
    return [t] { return t; };
}

// QM_SOURCE_DIR and QM_BIN_DIR from the environment, else the checkout and
// build folders this fixture was built for.
std::string sourceDir();
std::string binDir();
inline std::string cliPath() {
    return binDir() + "/quillmark-cli";
}

std::vector<uint8_t> readFile(const fs::path& p);  // empty when unreadable
void writeFile(const fs::path& p, const std::vector<uint8_t>& b);

struct ChildOptions {
    fs::path stdoutFile, stderrFile;  // "" is /dev/null
    bool stderrPipe = false;          // Child::stderrFd reads the child's stderr
    // Runs in the child between fork and exec (limits, another user).
    std::function<void()> setup;
};
struct Child {
    pid_t pid = -1;
    int stderrFd = -1;
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
Outcome runToEnd(const std::vector<std::string>& argv, ChildOptions options = {});
// Permission bits do not stop root, so a test of what cannot be read runs
// quillmark-cli as nobody: from a copy in `dir`, which it opens to others
// (the checkout may lie under a folder only root can enter). Returns the
// copy's path and sets `options.setup` to drop to nobody (exit 125 when it
// cannot); returns "" with `why` set when nobody cannot reach `dir`.
std::string cliAsNobody(const fs::path& dir, ChildOptions& options, std::string& why);
// `quillmark-cli convert --json -o pst src`; once its first message is done
// it waits on a small stderr pipe, and `during` runs then, mid-run.
Outcome convertMidRun(const fs::path& pst, const fs::path& src,
                      const std::function<void(pid_t)>& during);
// A CPU limit, and a memory ceiling far above what the inputs warrant (an
// allocation sized from a field the file cannot back runs into it).
ChildOptions limited(int cpuSeconds);
// Runs a shell command; its exit status, and its stdout in `out`.
int runCommand(const std::string& command, std::string* out = nullptr);
std::string shellQuote(const std::string& s);

// Every folder below the top of the visible hierarchy ("" is the top, "\"
// joins names) with its messages, read by our reader.
std::map<std::string, std::vector<mapi::Message>> storedMessages(const fs::path& pst);
// Our strict checker's findings, one per line; "" when the file is clean.
std::string checkFindings(const fs::path& pst);
// pypff's view of a store through tests/convert/pst_dump.py; null on failure.
nlohmann::json dumpPst(const std::string& kind, const fs::path& pst);
// Our reader's view in dumpPst("pypff")'s shape.
nlohmann::json readBack(const fs::path& pst);
// Our reader's view, after our checker and every independent reader
// (support/validators.h) read the store clean and pypff showed the same
// subjects, flags and attachments; a test failure for anything else.
nlohmann::json readEverywhere(const fs::path& pst);
// The verdict on a .pst a run left behind: "" when `quillmark-cli check`
// finds it clean, pffinfo reads it and every message in it equals its source
// (keyed by the first word of the subject); else what is wrong, a line each.
// `stored` receives the keys held.
std::string verifyStore(const fs::path& pst, const std::map<std::string, fs::path>& sources,
                        std::set<std::string>* stored = nullptr);

}  // namespace qm::testing
