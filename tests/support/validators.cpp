#include "support/validators.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/scratch_dir.h"

namespace qm::testing::validators {

namespace fs = std::filesystem;

namespace {

// Long enough for the stores tests write on a busy machine; a reader that
// hangs (pst-extractor does, on tables laid out unlike Outlook's) is killed
// and its run fails.
constexpr int kTimeoutSeconds = 300;
constexpr int kPstExtractorTimeoutSeconds = 180;

fs::path sourceDir() {
    if (const char* dir = std::getenv("QM_SOURCE_DIR")) return dir;
    return QM_VALIDATORS_SOURCE_DIR;
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool executable(const fs::path& p) {
    return ::access(p.c_str(), X_OK) == 0;
}

// Runs argv under timeout(1), stdout and stderr into `r`.
void run(Result& r, const std::vector<std::string>& argv, int timeout = kTimeoutSeconds) {
    ScratchDir io("qm-validator");
    const fs::path out = io / "stdout", err = io / "stderr";
    std::vector<std::string> full = {"/usr/bin/timeout", "-k", "10", std::to_string(timeout)};
    full.insert(full.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (auto& a : full) args.push_back(a.data());
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (o < 0 || e < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0) ::_exit(126);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) {
        r.errors.push_back("could not start " + argv.front());
        return;
    }
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.output = slurp(out);
    r.diagnostics = slurp(err);
    if (r.exitCode == 124 || r.exitCode == 137)
        r.errors.push_back(r.reader + " did not finish in " + std::to_string(timeout) + " s");
    else if (r.exitCode == -1 || r.exitCode > 128)
        r.errors.push_back(r.reader + " died (status " + std::to_string(status) +
                           "): " + r.diagnostics.substr(0, 2000));
}

// A non-zero exit is an error of its own unless the reader already said why.
void requireExitZero(Result& r) {
    if (r.exitCode != 0 && r.errors.empty())
        r.errors.push_back(r.reader + " exit " + std::to_string(r.exitCode) + ": " +
                           r.diagnostics.substr(0, 2000));
}

// The walks print one JSON object on their last line of output.
void takeWalkErrors(Result& r) {
    const size_t start = r.output.rfind("\n{");
    const std::string line = r.output.substr(start == std::string::npos ? 0 : start + 1);
    const auto json = nlohmann::json::parse(line, nullptr, false);
    if (!json.is_object()) {
        requireExitZero(r);
        if (r.errors.empty()) r.errors.push_back(r.reader + " printed no result");
        return;
    }
    if (json.contains("open"))
        r.errors.push_back(r.reader + " cannot open the file: " + json["open"].get<std::string>());
    for (const char* key : {"errors", "searchFolderErrors"})
        for (const auto& e : json.value(key, nlohmann::json::array())) {
            std::string line = e.value("where", "") + ": " + e.value("what", "");
            (std::string(key) == "errors" ? r.errors : r.warnings).push_back(line);
        }
    requireExitZero(r);
}

Result start(const char* reader) {
    Result r;
    r.reader = reader;
    return r;
}

}  // namespace

Result pffinfo(const fs::path& pst) {
    Result r = start("pffinfo");
    if (!executable("/usr/bin/pffinfo")) {
        r.skipped = "pffinfo (Debian pff-tools) is not installed";
        return r;
    }
    run(r, {"/usr/bin/pffinfo", pst.string()});
    requireExitZero(r);
    return r;
}

Result pffexport(const fs::path& pst, const fs::path& outDir) {
    Result r = start("pffexport");
    if (!executable("/usr/bin/pffexport")) {
        r.skipped = "pffexport (Debian pff-tools) is not installed";
        return r;
    }
    ScratchDir scratch("qm-pffexport");
    const fs::path dir = outDir.empty() ? scratch.path() : outDir;
    run(r, {"/usr/bin/pffexport", "-m", "all", "-f", "all", "-t", (dir / "export").string(),
            pst.string()});
    requireExitZero(r);
    return r;
}

Result pypff(const fs::path& pst) {
    Result r = start("pypff");
    if (!executable("/usr/bin/python3") ||
        std::system("/usr/bin/python3 -c 'import pypff' >/dev/null 2>&1") != 0) {
        r.skipped = "python3-pypff is not installed for /usr/bin/python3";
        return r;
    }
    run(r,
        {"/usr/bin/python3", (sourceDir() / "tests/tools/pypff_walk.py").string(), pst.string()});
    takeWalkErrors(r);
    return r;
}

Result readpst(const fs::path& pst, const fs::path& outDir, const std::string& types) {
    Result r = start("readpst");
    if (!executable("/usr/bin/readpst")) {
        r.skipped = "readpst (Debian pst-utils) is not installed";
        return r;
    }
    ScratchDir scratch("qm-readpst");
    std::vector<std::string> argv = {"/usr/bin/readpst", "-j", "0", "-q", "-r", "-S", "-D"};
    if (!types.empty()) argv.insert(argv.end(), {"-t", types});
    argv.insert(argv.end(),
                {"-o", (outDir.empty() ? scratch.path() : outDir).string(), pst.string()});
    run(r, argv);
    requireExitZero(r);
    return r;
}

Result pstExtractor(const fs::path& pst, int maxRecipients) {
    Result r = start("pst-extractor");
    const fs::path tools = sourceDir() / "tests/tools";
    if (!fs::exists(tools / "node_modules/pst-extractor/package.json")) {
        r.skipped = "pst-extractor is not in tests/tools/node_modules (scripts/install-deps)";
        return r;
    }
    if (!executable("/usr/bin/node")) {
        r.skipped = "node is not installed";
        return r;
    }
    run(r,
        {"/usr/bin/node", (tools / "pst_extractor_walk.js").string(), pst.string(),
         "--max-recipients", std::to_string(maxRecipients)},
        kPstExtractorTimeoutSeconds);
    takeWalkErrors(r);
    return r;
}

Result pstwalk(const fs::path& pst, bool holdsMultipleGuid) {
    Result r = start("pstwalk");
    fs::path binary = sourceDir() / "build-tools/pstwalk/release/pstwalk";
    if (const char* env = std::getenv("QM_PSTWALK")) binary = env;
    if (!executable(binary)) {
        r.skipped = "pstwalk is not built at " + binary.string() +
                    " (scripts/install-deps builds it from ../shared/tools/pstwalk)";
        return r;
    }
    run(r, {binary.string(), pst.string()});
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("ERROR", 0) == 0) r.errors.push_back(line);
        if (line.rfind("WARN", 0) == 0) r.warnings.push_back(line);
    }
    if (holdsMultipleGuid && r.exitCode == -1 &&
        r.diagnostics.find("memory allocation of") != std::string::npos) {
        r.errors.clear();
        r.warnings.push_back("pstwalk aborted on a PtypMultipleGuid value (the library's limit)");
        return r;
    }
    requireExitZero(r);
    return r;
}

std::vector<Result> all(const fs::path& pst, const Options& options) {
    return {pffinfo(pst),
            pffexport(pst),
            pypff(pst),
            readpst(pst, {}, options.readpstTypes),
            pstExtractor(pst, options.maxRecipients),
            pstwalk(pst, options.holdsMultipleGuid)};
}

void expectClean(const Result& r) {
    if (!r.ran()) {
        std::cout << "[ SKIPPED  ] " << r.reader << ": " << r.skipped << "\n";
        return;
    }
    constexpr size_t kShown = 20;
    for (size_t i = 0; i < r.errors.size() && i < kShown; ++i)
        ADD_FAILURE() << r.reader << ": " << r.errors[i];
    if (r.errors.size() > kShown)
        ADD_FAILURE() << r.reader << ": " << r.errors.size() - kShown << " more errors";
}

void expectClean(const std::vector<Result>& results) {
    for (const auto& r : results) expectClean(r);
}

}  // namespace qm::testing::validators
