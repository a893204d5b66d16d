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

// Why `program` cannot run ("" when it can); `package` provides it.
std::string missing(const fs::path& program, const std::string& package) {
    if (::access(program.c_str(), X_OK) == 0) return "";
    return program.filename().string() + " (" + package + ") is not installed";
}

// A non-zero exit is an error of its own unless the reader already said why.
void requireExitZero(Result& r) {
    if (r.ran() && r.exitCode != 0 && r.errors.empty())
        r.errors.push_back(r.reader + " exit " + std::to_string(r.exitCode) + ": " +
                           r.diagnostics.substr(0, 2000));
}

// Runs argv under timeout(1), stdout and stderr into the result, unless
// `why` says the reader cannot run; `exitZero`: a non-zero exit is an error.
Result run(const char* reader, const std::string& why, std::vector<std::string> argv,
           bool exitZero = true, int timeout = kTimeoutSeconds) {
    Result r;
    r.reader = reader;
    r.skipped = why;
    if (!r.ran()) return r;
    ScratchDir io("qm-validator");
    const fs::path out = io / "stdout", err = io / "stderr";
    argv.insert(argv.begin(), {"/usr/bin/timeout", "-k", "10", std::to_string(timeout)});
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
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
        r.errors.push_back("could not start " + argv[4]);
        return r;
    }
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.output = slurp(out);
    r.diagnostics = slurp(err);
    if (r.exitCode == 124 || r.exitCode == 137)
        r.errors.push_back(r.reader + " did not finish in " + std::to_string(timeout) + " s");
    else if (r.exitCode == -1 || r.exitCode > 128)
        r.errors.push_back(r.reader + " died (status " + std::to_string(status) +
                           "): " + r.diagnostics.substr(0, 2000));
    if (exitZero) requireExitZero(r);
    return r;
}

// The walks print one JSON object on their last line of output.
Result takeWalkErrors(Result r) {
    if (!r.ran()) return r;
    const size_t start = r.output.rfind("\n{");
    const auto json = nlohmann::json::parse(
        r.output.substr(start == std::string::npos ? 0 : start + 1), nullptr, false);
    if (!json.is_object()) {
        requireExitZero(r);
        if (r.errors.empty()) r.errors.push_back(r.reader + " printed no result");
        return r;
    }
    if (json.contains("open"))
        r.errors.push_back(r.reader + " cannot open the file: " + json["open"].get<std::string>());
    for (const char* key : {"errors", "searchFolderErrors"})
        for (const auto& e : json.value(key, nlohmann::json::array()))
            (std::string(key) == "errors" ? r.errors : r.warnings)
                .push_back(e.value("where", "") + ": " + e.value("what", ""));
    requireExitZero(r);
    return r;
}

}  // namespace

Result pffinfo(const fs::path& pst) {
    return run("pffinfo", missing("/usr/bin/pffinfo", "Debian pff-tools"),
               {"/usr/bin/pffinfo", pst.string()});
}

Result pffexport(const fs::path& pst, const fs::path& outDir) {
    ScratchDir scratch("qm-pffexport");
    const fs::path dir = outDir.empty() ? scratch.path() : outDir;
    return run("pffexport", missing("/usr/bin/pffexport", "Debian pff-tools"),
               {"/usr/bin/pffexport", "-m", "all", "-f", "all", "-t", (dir / "export").string(),
                pst.string()});
}

Result pypff(const fs::path& pst) {
    const bool installed = std::system("/usr/bin/python3 -c 'import pypff' >/dev/null 2>&1") == 0;
    return takeWalkErrors(run(
        "pypff", installed ? "" : "python3-pypff is not installed for /usr/bin/python3",
        {"/usr/bin/python3", (sourceDir() / "tests/tools/pypff_walk.py").string(), pst.string()},
        false));
}

Result readpst(const fs::path& pst, const fs::path& outDir, const std::string& types) {
    ScratchDir scratch("qm-readpst");
    std::vector<std::string> argv = {"/usr/bin/readpst", "-j", "0", "-q", "-r", "-S", "-D"};
    if (!types.empty()) argv.insert(argv.end(), {"-t", types});
    argv.insert(argv.end(),
                {"-o", (outDir.empty() ? scratch.path() : outDir).string(), pst.string()});
    return run("readpst", missing("/usr/bin/readpst", "Debian pst-utils"), argv);
}

Result pstExtractor(const fs::path& pst, int maxRecipients) {
    const fs::path tools = sourceDir() / "tests/tools";
    std::string why = missing("/usr/bin/node", "Debian nodejs");
    if (!fs::exists(tools / "node_modules/pst-extractor/package.json"))
        why = "pst-extractor is not in tests/tools/node_modules (scripts/install-deps)";
    return takeWalkErrors(run("pst-extractor", why,
                              {"/usr/bin/node", (tools / "pst_extractor_walk.js").string(),
                               pst.string(), "--max-recipients", std::to_string(maxRecipients)},
                              false, kPstExtractorTimeoutSeconds));
}

Result pstwalk(const fs::path& pst, bool holdsMultipleGuid) {
    fs::path binary = sourceDir() / "build-tools/pstwalk/release/pstwalk";
    if (const char* env = std::getenv("QM_PSTWALK")) binary = env;
    Result r = run("pstwalk",
                   missing(binary, "scripts/install-deps builds it from ../shared/tools/pstwalk"),
                   {binary.string(), pst.string()}, false);
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
