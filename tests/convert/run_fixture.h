// What the engine, window, command-line and robustness tests share: .msg
// trees made by our own writer, quillmark-cli run mid-run, limited or as
// another user, and the verdict on a .pst, read back by our reader and the
// independent ones.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "convert/timestamp.h"
#include "mapi/error.h"
#include "mapi/message.h"
#include "support/process.h"
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

// The number of the NumberedError `f` throws; 0 when it throws none.
template <typename F>
int errorOf(F f) {
    try {
        f();
    } catch (const NumberedError& e) {
        return e.number();
    }
    return 0;
}

inline convert::Clock fixedClock(convert::LocalTime t) {
    return [t] { return t; };
}

// Tests of quillmark-cli as a process, each in a scratch folder of its own.
class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(cliPath())) GTEST_SKIP() << "quillmark-cli is not built at " << cliPath();
    }
    ScratchDir dir_;
};

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
// Every folder below the top of the visible hierarchy ("" is the top, "\"
// joins names) with its messages, read by our reader.
std::map<std::string, std::vector<mapi::Message>> storedMessages(const fs::path& pst);
// Our strict checker's findings, one per line; "" when the file is clean.
std::string checkFindings(const fs::path& pst);
// Our reader's view: {"display_name", "folders": {path: {"subjects", "flags",
// "attachments"}}}, paths as storedMessages gives them.
nlohmann::json readBack(const fs::path& pst);
// Our reader's view, after our checker and every independent reader
// (support/validators.h) read the store clean and pypff showed the same
// display name, folders, flags and attachment counts; a failure otherwise.
nlohmann::json readEverywhere(const fs::path& pst);
// The verdict on a .pst a run left behind: "" when `quillmark-cli check`
// finds it clean, pffinfo reads it and every message in it equals its source
// (keyed by the first word of the subject); else what is wrong, a line each.
// `stored` receives the keys held.
std::string verifyStore(const fs::path& pst, const std::map<std::string, fs::path>& sources,
                        std::set<std::string>* stored = nullptr);

}  // namespace qm::testing
