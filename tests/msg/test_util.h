// Helpers for the msg tests: scratch files, running tools, and the same
// one-line-per-property dump tests/tools/msg_dump.py prints.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "mapi/message.h"

namespace qm::testing {

// A fresh directory under the system temp dir, removed by the destructor.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path file(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

struct CommandResult {
    int exitCode = -1;
    std::string out;
};
// Runs `command` through the shell, capturing stdout (stderr goes to the log).
CommandResult run(const std::string& command);
std::string shellQuote(const std::string& s);

// $QM_SHARED_DIR/corpus, or empty when the shared folder is absent.
std::filesystem::path corpusDir();
std::filesystem::path sourceDir();
std::filesystem::path binDir();

// Our reader's view in msg_dump.py's format, sorted.
std::vector<std::string> dumpLines(const mapi::Message& m);
std::vector<std::string> splitLines(const std::string& text);

}  // namespace qm::testing
