#include "support/validators.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <sstream>

#include "support/process.h"
#include "support/scratch_dir.h"

namespace qm::testing::validators {

namespace fs = std::filesystem;

namespace {

// Why `program` cannot run ("" when it can); `package` provides it.
std::string missing(const fs::path& program, const std::string& package) {
    if (::access(program.c_str(), X_OK) == 0) return "";
    return program.filename().string() + " (" + package + ") is not installed";
}

// Runs argv under timeout(1) (pst-extractor hangs on some tables laid out
// unlike Outlook's), unless `why` says the reader cannot run. A walk prints
// one JSON object on its last line of output, listing the errors it met.
Result run(const char* reader, const std::string& why, const std::vector<std::string>& argv,
           bool walk = false, int timeout = 300) {
    Result r;
    r.reader = reader;
    r.skipped = why;
    if (!r.ran()) return r;
    std::vector<std::string> command = {"/usr/bin/timeout", "-k", "10", std::to_string(timeout)};
    command.insert(command.end(), argv.begin(), argv.end());
    Outcome o = runToEnd(command);
    r.output = std::move(o.out);
    r.diagnostics = std::move(o.err);
    const size_t last = r.output.rfind("\n{");
    if (walk)
        r.walk = nlohmann::json::parse(r.output.substr(last == std::string::npos ? 0 : last + 1),
                                       nullptr, false);
    const nlohmann::json& json = r.walk;
    if (json.is_object() && json.contains("open"))
        r.errors.push_back(r.reader + " cannot open the file: " + json["open"].dump());
    if (json.is_object())
        for (const auto& e : json.value("errors", nlohmann::json::array()))
            r.errors.push_back(e.value("where", "") + ": " + e.value("what", ""));
    if (o.code == 124 || o.code == 137)
        r.errors.push_back(r.reader + " did not finish in " + std::to_string(timeout) + " s");
    else if (o.code == -1 || o.code > 128)
        r.errors.push_back(r.reader + " died (status " + std::to_string(o.code) +
                           "): " + r.diagnostics.substr(0, 2000));
    else if (o.code != 0 && r.errors.empty())  // unless the reader said why
        r.errors.push_back(r.reader + " exit " + std::to_string(o.code) + ": " +
                           r.diagnostics.substr(0, 2000));
    else if (walk && !json.is_object())
        r.errors.push_back(r.reader + " printed no result");
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

// -j 0: readpst otherwise forks a job per folder that can outlive it.
Result readpst(const fs::path& pst, const fs::path& outDir, const std::string& types) {
    ScratchDir scratch("qm-readpst");
    std::vector<std::string> argv = {"/usr/bin/readpst", "-j", "0", "-q", "-r", "-S", "-D"};
    if (!types.empty()) argv.insert(argv.end(), {"-t", types});
    argv.insert(argv.end(),
                {"-o", (outDir.empty() ? scratch.path() : outDir).string(), pst.string()});
    return run("readpst", missing("/usr/bin/readpst", "Debian pst-utils"), argv);
}

std::vector<Result> all(const fs::path& pst, const Options& options) {
    const fs::path tools = fs::path(sourceDir()) / "tests/tools";
    std::string noNode = missing("/usr/bin/node", "Debian nodejs");
    if (!fs::exists(tools / "node_modules/pst-extractor/package.json"))
        noNode = "pst-extractor is not in tests/tools/node_modules (scripts/install-deps)";
    const bool pypff = runToEnd({"/usr/bin/python3", "-c", "import pypff"}).code == 0;
    fs::path pstwalk = fs::path(sourceDir()) / "build-tools/pstwalk/release/pstwalk";
    if (const char* env = std::getenv("QM_PSTWALK")) pstwalk = env;
    std::vector<Result> results = {
        pffinfo(pst), pffexport(pst),
        run("pypff", pypff ? "" : "python3-pypff is not installed for /usr/bin/python3",
            {"/usr/bin/python3", (tools / "pypff_walk.py").string(), pst.string()}, true),
        readpst(pst, {}, options.readpstTypes),
        // Its errors in search folders are not counted: it fails there on
        // Outlook's own files too.
        run("pst-extractor", noNode,
            {"/usr/bin/node", (tools / "pst_extractor_walk.js").string(), pst.string()}, true,
            180)};
    Result walk = run("pstwalk", missing(pstwalk, "scripts/install-deps builds it"),
                      {pstwalk.string(), pst.string()});
    std::istringstream lines(walk.output);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("ERROR")) walk.errors.push_back(line);
    // An abort asking for gigabytes (see Options::holdsMultipleGuid) dies by a signal.
    if (options.holdsMultipleGuid &&
        walk.diagnostics.find("memory allocation of") != std::string::npos)
        walk.errors.clear();
    results.push_back(walk);
    return results;
}

void expectClean(const Result& r) {
    if (!r.ran()) {
        std::cout << "[ SKIPPED  ] " << r.reader << ": " << r.skipped << "\n";
        return;
    }
    for (size_t i = 0; i < r.errors.size() && i < 20; ++i)
        ADD_FAILURE() << r.reader << ": " << r.errors[i];
    if (r.errors.size() > 20) ADD_FAILURE() << r.reader << ": " << r.errors.size() - 20 << " more";
}

void expectClean(const std::vector<Result>& results) {
    for (const auto& r : results) expectClean(r);
}

}  // namespace qm::testing::validators
