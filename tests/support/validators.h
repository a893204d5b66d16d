// The independent PST readers, run over the stores tests write, in one place:
// libpff (pffinfo, pffexport, pypff), libpst (readpst), pst-extractor (npm)
// and pstwalk (Microsoft's outlook-pst library); scripts/install-deps
// installs them. A reader that is not installed comes back skipped, saying why.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace qm::testing::validators {

struct Result {
    std::string reader;               // "pffinfo", "pst-extractor", ...
    std::string skipped;              // why it did not run; empty when it ran
    std::vector<std::string> errors;  // each says where
    std::string output;               // its standard output
    nlohmann::json walk;              // a walk's last line: what it read (pypff, pst-extractor)
    std::string diagnostics;          // its standard error
    bool ran() const { return skipped.empty(); }
};

// Output folders: when empty, a scratch folder removed afterwards.
Result pffinfo(const std::filesystem::path& pst);
Result pffexport(const std::filesystem::path& pst, const std::filesystem::path& outDir = {});
// `types` goes to -t when given.
Result readpst(const std::filesystem::path& pst, const std::filesystem::path& outDir = {},
               const std::string& types = {});

struct Options {
    std::string readpstTypes;
    // pstwalk's library reads PtypMultipleGuid with a count prefix the format
    // does not have and on some values aborts asking for gigabytes: in a store
    // known to hold such values, that abort is no error.
    bool holdsMultipleGuid = false;
};
// The three above, pypff (tests/tools/pypff_walk.py: its `walk` also holds
// the display name, each visible folder's contents and each message's raw
// texts), pst-extractor (tests/tools/pst_extractor_walk.js) and pstwalk.
std::vector<Result> all(const std::filesystem::path& pst, const Options& options = {});

// A GoogleTest failure for each error of a reader that ran (or could not
// start), and one line for each that was skipped.
void expectClean(const Result& result);
void expectClean(const std::vector<Result>& results);

}  // namespace qm::testing::validators
