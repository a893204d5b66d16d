// Shared set-up for conversion runs in tests: a temporary tree of .msg files
// made by our own writer, a fixed clock, and independent read-back of the
// .pst (pypff and readpst through pst_dump.py).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "convert/timestamp.h"
#include "mapi/message.h"
#include "support/scratch_dir.h"

namespace qm::testing {

// A small message with this subject; `attachments` by-value attachments;
// `flags` written as PidTagMessageFlags in the file (0: none written).
mapi::Message testMessage(const std::string& subject, size_t attachments = 0, int32_t flags = 0);
// Writes the message with our MSG writer, making parent folders.
void writeMessage(const std::filesystem::path& path, const mapi::Message& message);
// Garbage that is not a compound file.
void writeBroken(const std::filesystem::path& path);

inline convert::Clock fixedClock(convert::LocalTime t) {
    return [t] { return t; };
}

// QM_SOURCE_DIR and QM_BIN_DIR from the environment, else the checkout and
// build folders this fixture was built for.
std::string sourceDir();
std::string binDir();

// Runs tests/convert/pst_dump.py with /usr/bin/python3; "" kind output on
// failure makes the test fail.
nlohmann::json dumpPst(const std::string& kind, const std::filesystem::path& pst);

// The same shape as dumpPst("pypff", ...), read by our own reader.
nlohmann::json readBack(const std::filesystem::path& pst);
// Our strict checker's findings, one per line; "" when the file is clean.
std::string checkFindings(const std::filesystem::path& pst);
// Reads the store with our reader, pypff and readpst, and runs every
// independent reader (support/validators.h) over it; adds a test failure for
// any disagreement or finding, and returns our reader's view. readpst writes
// only some message classes; with `allNotes` false its counts may be lower.
nlohmann::json readEverywhere(const std::filesystem::path& pst, bool allNotes = true);

// Runs a command, returning its exit status and stdout.
int runCommand(const std::string& command, std::string* out = nullptr);
std::string shellQuote(const std::string& s);

}  // namespace qm::testing
