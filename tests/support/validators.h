// The independent PST readers every test runs over the stores we write, in
// one place: libpff (pffinfo, pffexport, pypff), libpst (readpst),
// pst-extractor (npm) and pstwalk (Microsoft's outlook-pst library). Each
// function runs one reader over a file and says what it met; a reader that
// is not installed comes back skipped, with the reason. scripts/install-deps
// installs them all.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace qm::testing::validators {

struct Result {
    std::string reader;                 // "pffinfo", "pst-extractor", ...
    std::string skipped;                // why it did not run; empty when it ran
    int exitCode = -1;                  // -1 when killed (timeout) or not run
    std::vector<std::string> errors;    // each says where
    std::vector<std::string> warnings;  // what the reader fails on in Outlook's own files too
    std::string output;                 // its standard output (JSON for the walks)
    std::string diagnostics;            // its standard error
    bool ran() const { return skipped.empty(); }
    bool clean() const { return ran() && errors.empty(); }
};

// Output folders: when empty, a scratch folder removed afterwards.
Result pffinfo(const std::filesystem::path& pst);
Result pffexport(const std::filesystem::path& pst, const std::filesystem::path& outDir = {});
// tests/tools/pypff_walk.py: every folder, message, record entry and
// attachment's bytes; JSON with counts and texts.
Result pypff(const std::filesystem::path& pst);
// readpst -j 0 (it otherwise forks a job per folder that can outlive it);
// `types` goes to -t when given.
Result readpst(const std::filesystem::path& pst, const std::filesystem::path& outDir = {},
               const std::string& types = {});
// tests/tools/pst_extractor_walk.js: every folder, message, recipient (at
// most `maxRecipients` a message: the library reads them in quadratic time),
// attachment and embedded message. Its errors inside search folders are
// warnings: it fails there on Outlook's own files too.
Result pstExtractor(const std::filesystem::path& pst, int maxRecipients = 50);
// The library reads PtypMultipleGuid with a count prefix the format does not
// have, and on some values asks for gigabytes and aborts: for a store known
// to hold such values (`holdsMultipleGuid`) that abort is a warning.
Result pstwalk(const std::filesystem::path& pst, bool holdsMultipleGuid = false);

struct Options {
    std::string readpstTypes;
    int maxRecipients = 50;
    bool holdsMultipleGuid = false;  // see pstwalk()
};
std::vector<Result> all(const std::filesystem::path& pst, const Options& options = {});

// Adds a GoogleTest failure for every error of a reader that ran (and for a
// reader that could not start), and prints one line for each that was skipped.
void expectClean(const Result& result);
void expectClean(const std::vector<Result>& results);
inline void expectAllRead(const std::filesystem::path& pst, const Options& options = {}) {
    expectClean(all(pst, options));
}

}  // namespace qm::testing::validators
