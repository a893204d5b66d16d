// quillmark-cli export [--json] [--quiet] FILE.pst DIR
//
// Every message of the store as a .msg file under DIR, one folder per store
// folder (convert::exportStore does the work). stdout lists each file as it
// is written, or with --json carries exactly one JSON document; failures go
// to stderr as they happen, then a summary line (--quiet drops the summary).
// Exit codes: 0 every message exported (an empty store too), 1 some failed
// (each is reported with its reason), 2 nothing exported: the file is not a
// readable Unicode PST, DIR cannot be a folder, or every message failed.
// SIGINT and SIGTERM finish the message in hand, report, and exit 130 / 143.
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "cli/stop_signal.h"
#include "convert/export_store.h"
#include "mapi/error.h"

namespace qm::cli {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

struct ExportArgs {
    std::string pst;
    std::string dir;
    bool json = false;
    bool quiet = false;
};

// Absolute and lexically normal, without a trailing separator.
fs::path absolute(const std::string& arg) {
    fs::path p = fs::path(arg).is_relative() ? fs::current_path() / arg : fs::path(arg);
    p = p.lexically_normal();
    return p.has_filename() || p == p.root_path() ? p : p.parent_path();
}

std::string nidText(uint32_t nid) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", nid);
    return buf;
}

std::string where(const convert::ExportFailure& f) {
    std::string w = f.folder.empty() ? "top of the store" : "folder \"" + f.folder + "\"";
    if (f.nid != 0) w += ", message " + nidText(f.nid);
    return w;
}

class Printer : public convert::ExportObserver {
  public:
    explicit Printer(bool json) : json_(json) {}

    void exported(const convert::ExportedMessage& m) override {
        if (json_) {
            files_.push_back({{"folder", m.folder}, {"nid", nidText(m.nid)}, {"file", m.file}});
        } else {
            std::cout << m.file.string() << std::endl;
        }
    }
    void failed(const convert::ExportFailure& f) override {
        std::cerr << "quillmark-cli export: " << where(f) << ": " << f.reason << "\n";
    }
    bool stopRequested() override { return stopSignal() != 0; }

    json files_ = json::array();

  private:
    bool json_;
};

int exitCode(const convert::ExportReport& r) {
    if (r.stopped) return 128 + stopSignal();
    if (r.failed.empty()) return 0;
    return r.exported > 0 ? 1 : 2;
}

int run(const ExportArgs& args) {
    const fs::path pst = absolute(args.pst);
    const fs::path dir = absolute(args.dir);
    Printer printer(args.json);
    installStopSignalHandlers();
    const convert::ExportReport r = convert::exportStore(pst, dir, printer);
    if (args.json) {
        json failed = json::array();
        for (const auto& f : r.failed) {
            failed.push_back({{"folder", f.folder},
                              {"nid", f.nid ? json(nidText(f.nid)) : json(nullptr)},
                              {"reason", f.reason}});
        }
        const json doc = {{"pst", pst},
                          {"dir", dir},
                          {"folders", r.folders},
                          {"messages", r.messages},
                          {"exported", r.exported},
                          {"files", printer.files_},
                          {"failed", failed},
                          {"stopped", r.stopped}};
        std::cout << doc.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
    }
    if (!args.quiet) {
        std::cerr << "Exported " << r.exported << " of " << r.messages << " messages from "
                  << r.folders << " folders into " << dir.string();
        if (!r.failed.empty()) std::cerr << "; " << r.failed.size() << " failed";
        if (r.stopped) std::cerr << "; stopped by a signal";
        std::cerr << "\n";
    }
    return exitCode(r);
}

}  // namespace

void addExportCommand(CLI::App& app, Action& action) {
    auto* cmd = app.add_subcommand("export", "Write every message of a .pst as a .msg file");
    auto args = std::make_shared<ExportArgs>();
    cmd->add_flag("--json", args->json, "print one JSON document on stdout");
    cmd->add_flag("--quiet", args->quiet, "no summary on stderr (failures still print)");
    cmd->add_option("FILE", args->pst, "the .pst to read")->required();
    cmd->add_option("DIR", args->dir, "the folder to write into (created if missing)")->required();
    cmd->callback([&action, args] { action = [args] { return run(*args); }; });
}

}  // namespace qm::cli
