// quillmark-cli convert [--output-dir DIR | -o FILE.pst] [--json] [--quiet] [--codepage N]
//                      [--dedupe] [--split-size SIZE] PATH...
//
// The engine's conversion over a list built from the command line: .msg
// files as given, folders walked as Add Folder walks them. Progress and the
// closing summary go to stderr (--quiet silences them; errors still print);
// stdout carries the .pst's path as its last line (split by size: each
// part's path on a line of its own, the last part's last), or with --json
// exactly one JSON document. Exit codes: 0 all converted, 1 a store was
// written but some messages failed or a folder below a given one could not be
// read (it is skipped, named on stderr and in the JSON, and the rest
// converted), 2 nothing converted (usage, no .msg found, an unusable
// destination, or a failure before the import); duplicates skipped by
// --dedupe are no failures. SIGINT and SIGTERM finish the current message,
// commit, and exit 130 / 143.
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "cli/commands.h"
#include "cli/stop_signal.h"
#include "convert/conversion.h"
#include "convert/store_parts.h"
#include "mapi/error.h"
#include "shell/source_rows.h"

namespace qm::cli {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct ConvertArgs {
    std::string outputDir;
    std::string outputFile;
    bool json = false;
    bool quiet = false;
    bool dedupe = false;
    uint64_t splitSize = 0;
    int codePage = 1252;
    std::vector<std::string> paths;
};

class UsageError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Absolute and lexically normal: no ".", ".." or empty components, no
// trailing separator; links are not resolved.
fs::path normalise(const std::string& arg) {
    fs::path p(arg);
    if (p.is_relative()) p = fs::current_path() / p;
    p = p.lexically_normal();
    if (p.has_filename() || p == p.root_path()) return p;
    return p.parent_path();  // "dir/" -> "dir"
}

// The sources of the list: files as given, folders to be walked breadth first
// with the .msg test of Add Folder (shell::SourceRows walks them).
std::vector<shell::SourceRows::Source> collectSources(const std::vector<std::string>& args) {
    std::vector<shell::SourceRows::Source> sources;
    for (const auto& arg : args) {
        // Most often an unset variable in a script: converting the current
        // folder instead would surprise.
        if (arg.empty()) throw UsageError("an empty path was given (say \".\" for this folder)");
        const fs::path p = normalise(arg);
        std::error_code ec;
        const auto kind = fs::status(p, ec).type();
        if (kind == fs::file_type::not_found || kind == fs::file_type::none) {
            throw UsageError("no such file or folder: " + p.string());
        }
        sources.push_back({p.string(), kind == fs::file_type::directory});
    }
    return sources;
}

// Every warning of the run, for stderr and the JSON document, kept in an
// unnamed temporary file rather than in memory: real archives give several
// per message, and a million messages' worth would dominate the run's memory.
// Without a temporary file they stay in memory.
class WarningSpool {
  public:
    WarningSpool() : file_(std::tmpfile()) {}
    ~WarningSpool() {
        if (file_) std::fclose(file_);
    }
    WarningSpool(const WarningSpool&) = delete;
    WarningSpool& operator=(const WarningSpool&) = delete;

    size_t size() const { return added_; }

    void add(const convert::Warning& w) {
        ++added_;
        if (file_ && put(w.path) && put(w.what)) return;
        if (file_) {
            // A full disk: what was spooled is read back into memory first,
            // so the order stays.
            std::vector<convert::Warning> all;
            forEach([&](const convert::Warning& old) { all.push_back(old); });
            std::fclose(file_);
            file_ = nullptr;
            kept_ = std::move(all);
        }
        kept_.push_back(w);
    }

    // Returns how many it gave `f`: fewer than size() when the temporary
    // file failed in a way the writes could not see (a buffer flushed late
    // onto a full disk), which the caller must then say.
    template <class F>
    size_t forEach(F&& f) const {
        size_t n = 0;
        if (!file_) {
            for (const auto& w : kept_) {
                f(w);
                ++n;
            }
            return n;
        }
        std::fflush(file_);
        std::rewind(file_);
        convert::Warning w;
        while (n < added_ && get(w.path) && get(w.what)) {
            f(w);
            ++n;
        }
        std::fseek(file_, 0, SEEK_END);
        return n;
    }

  private:
    bool put(const std::string& text) {
        const uint32_t size = uint32_t(text.size());
        return std::fwrite(&size, sizeof size, 1, file_) == 1 &&
               std::fwrite(text.data(), 1, size, file_) == size;
    }
    bool get(std::string& text) const {
        uint32_t size = 0;
        if (std::fread(&size, sizeof size, 1, file_) != 1) return false;
        text.resize(size);
        return std::fread(text.data(), 1, size, file_) == size;
    }

    std::FILE* file_;
    std::vector<convert::Warning> kept_;
    size_t added_ = 0;
};

void sayLostWarnings(size_t listed, const WarningSpool& warnings) {
    if (listed < warnings.size()) {
        std::cerr << "quillmark-cli convert: " << warnings.size() - listed
                  << " warning(s) could not be listed: the temporary file that held them failed\n";
    }
}

// The command line's rows as the engine's source list: walked once, before
// the run (shell::SourceRows), so a file that goes away during the run fails
// as its own row and one that appears is not converted. Progress goes to
// stderr.
class CliRun : public convert::SourceList, public convert::Observer {
  public:
    CliRun(shell::SourceRows& rows, bool quiet)
        : rows_(rows), quiet_(quiet), terminal_(isatty(STDERR_FILENO) != 0) {}

    int64_t size() override { return rows_.Rows(); }
    std::string path(int64_t row) override {
        const std::string* text = rows_.Row(row);
        if (!text) throw qm::Error("no row " + std::to_string(row + 1) + " in the source list");
        return *text;
    }
    std::unique_ptr<convert::SourceCursor> readAheadCursor() override {
        struct Cursor : convert::SourceCursor {
            explicit Cursor(shell::SourceRows::Cursor c) : rows(std::move(c)) {}
            bool next(std::string& path) override { return rows.Next(path); }
            shell::SourceRows::Cursor rows;
        };
        return std::make_unique<Cursor>(rows_.NewCursor());
    }

    bool stopRequested() override { return stopSignal() != 0; }
    void messageDone(const convert::MessageOutcome& m) override {
        if (quiet_ || m.rows <= 0) return;
        const float value = static_cast<float>(double(m.row + 1) / double(m.rows) * 100.0);
        const std::string counter =
            "(" + std::to_string(m.row + 1) + " of " + std::to_string(rows_.Rows()) + ")";
        if (terminal_) {
            constexpr int kWidth = 30;
            const int filled = int(value / 100.0f * kWidth + 0.5f);
            std::cerr << "\r[" << std::string(size_t(filled), '#')
                      << std::string(size_t(kWidth - filled), ' ') << "] " << int(value) << "% "
                      << counter << std::flush;
            barShown_ = true;
        } else {
            std::cerr << counter << " " << m.path << "\n";
        }
    }

    void warning(const convert::Warning& w) override { warnings_.add(w); }
    const WarningSpool& warnings() const { return warnings_; }

    void endProgress() {
        if (barShown_) std::cerr << "\n";
        barShown_ = false;
    }

  private:
    shell::SourceRows& rows_;
    bool quiet_;
    bool terminal_;
    bool barShown_ = false;
    WarningSpool warnings_;
};

// A skipped folder as the JSON names it: a plain path, no final separator.
std::string folderPath(const shell::SkippedFolder& f) {
    std::string p = f.path;
    if (p.size() > 1 && p.back() == shell::kPathSeparator) p.pop_back();
    return p;
}

json reportJson(const convert::RunReport& r, size_t listed,
                const std::vector<shell::SkippedFolder>& skippedFolders) {
    json failed = json::array();
    for (const auto& f : r.failed) failed.push_back({{"path", f.path}, {"reason", f.reason}});
    json skipped = json::array();
    for (const auto& f : skippedFolders) skipped.push_back(folderPath(f));
    json parts = json::array();
    for (const auto& p : r.parts) {
        parts.push_back({{"pst", p.pst},
                         {"display_name", p.displayName},
                         {"messages", p.messages},
                         {"bytes", p.bytes}});
    }
    json duplicates = json::array();
    for (const auto& d : r.duplicates) {
        duplicates.push_back({{"path", d.path}, {"same_as", d.sameAs}});
    }
    json doc = {{"pst", r.storeCreated ? json(r.pstPath) : json(nullptr)},
                {"display_name", r.displayName},
                {"messages", listed},
                {"converted", r.converted},
                {"lost", r.lostUncommitted},
                {"failed", failed},
                {"skipped_folders", skipped},
                {"duplicates", duplicates},
                {"parts", parts},
                {"folders", r.folders},
                {"bytes_in", r.bytesIn},
                {"bytes_out", r.bytesOut},
                {"seconds", r.seconds}};
    if (r.outcome == convert::RunOutcome::Trapped) doc["error"] = r.trappedCause;
    return doc;
}

// One document; its "warnings" array, last in key order, is written from the
// spool item by item so that it never has to be held whole.
void printJson(const json& doc, const WarningSpool& warnings) {
    // File names need not be UTF-8; the document must be.
    const auto dump = [](const json& j) {
        return j.dump(-1, ' ', false, json::error_handler_t::replace);
    };
    std::string head = dump(doc);
    head.pop_back();  // the closing brace
    std::cout << head << ",\"warnings\":[";
    bool first = true;
    const size_t listed = warnings.forEach([&](const convert::Warning& w) {
        std::cout << (first ? "" : ",") << dump({{"path", w.path}, {"what", w.what}});
        first = false;
    });
    std::cout << "]}\n";
    sayLostWarnings(listed, warnings);
}

int runConvert(const ConvertArgs& args) {
    installStopSignalHandlers();
    std::unique_ptr<shell::SourceRows> rows;
    std::string destination;
    std::string storeFile;
    try {
        rows = std::make_unique<shell::SourceRows>(collectSources(args.paths));
        const int64_t count = rows->Count();
        // Named even with --quiet: a folder left out is an error the user
        // must see.
        for (const auto& f : rows->SkippedFolders())
            std::cerr << "quillmark-cli convert: skipped a folder that cannot be read: " << f.reason
                      << "\n";
        if (count == 0) throw UsageError("no .msg files found");
        fs::path dir;
        if (!args.outputFile.empty()) {
            const fs::path file = normalise(args.outputFile);
            storeFile = file.string();
            dir = file.parent_path();
        } else {
            dir = normalise(args.outputDir.empty() ? "." : args.outputDir);
        }
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec || !fs::is_directory(dir)) {
            throw UsageError("cannot use the output folder " + dir.string() +
                             (ec ? ": " + ec.message() : ""));
        }
        destination = dir.string();
    } catch (const UsageError& e) {
        std::cerr << "quillmark-cli convert: " << e.what() << "\n";
        return 2;
    } catch (const qm::Error& e) {
        std::cerr << "quillmark-cli convert: " << e.what() << "\n";
        return 2;
    }
    if (stopSignal() != 0) return 128 + stopSignal();

    const size_t listed = size_t(rows->Rows());
    CliRun cli(*rows, args.quiet);
    convert::ConversionOptions options;
    options.destination = convert::WithTrailingSeparator(destination);
    options.storeFile = storeFile;
    options.fallbackCodePage = args.codePage;
    // The next messages are read on a second thread while the store writes;
    // the run still takes them in list order.
    options.readAhead = true;
    options.dedupe = args.dedupe;
    options.splitSize = args.splitSize;
    convert::Conversion conversion(options);
    const convert::RunReport report = conversion.run(cli, cli);
    cli.endProgress();
    // A store that the run left open after a failure is committed and closed
    // before the process ends.
    std::string closeError;
    try {
        conversion.close();
    } catch (const std::exception& e) {
        closeError = e.what();
    }

    for (const auto& f : report.failed) {
        // Most reasons already begin with the file's path: name it once.
        const bool named = f.reason.size() > f.path.size() + 2 &&
                           f.reason.compare(0, f.path.size(), f.path) == 0 &&
                           f.reason.compare(f.path.size(), 2, ": ") == 0;
        std::cerr << "quillmark-cli convert: failed: " << (named ? "" : f.path + ": ") << f.reason
                  << "\n";
    }
    if (!args.quiet) {
        const size_t listed = cli.warnings().forEach([](const convert::Warning& w) {
            std::cerr << "quillmark-cli convert: warning: " << w.path << ": " << w.what << "\n";
        });
        // With --json the document's listing says it once.
        if (!args.json) sayLostWarnings(listed, cli.warnings());
    }
    if (!report.closeError.empty() || !closeError.empty()) {
        std::cerr << "quillmark-cli convert: closing the store failed: "
                  << (closeError.empty() ? report.closeError : closeError) << "\n";
    }
    if (report.outcome == convert::RunOutcome::Trapped) {
        std::cerr << "quillmark-cli convert: " << report.trappedCause << "\n";
        if (report.storeCreated) {
            std::cerr << "quillmark-cli convert: a store file was left at " << report.pstPath
                      << "\n";
        } else {
            std::cerr << "quillmark-cli convert: no store file was written\n";
        }
        if (args.json)
            printJson(reportJson(report, listed, rows->SkippedFolders()), cli.warnings());
        return 2;
    }
    if (!args.quiet && report.storeCreated) {
        std::cerr << report.converted << " of " << listed << " message(s) converted";
        if (!report.failed.empty()) std::cerr << ", " << report.failed.size() << " failed";
        if (!report.duplicates.empty()) {
            std::cerr << ", " << report.duplicates.size() << " duplicate(s) skipped";
        }
        if (report.lostUncommitted > 0) {
            std::cerr << ", " << report.lostUncommitted << " lost with a failed save";
        }
        if (report.warningCount > 0) std::cerr << ", " << report.warningCount << " warning(s)";
        if (!rows->SkippedFolders().empty()) {
            std::cerr << ", " << rows->SkippedFolders().size() << " folder(s) skipped";
        }
        std::cerr << " into \"" << report.displayName << "\"";
        if (report.parts.size() > 1)
            std::cerr << " and " << report.parts.size() - 1 << " more part(s)";
        std::cerr << " (" << report.folders << " folder(s), " << report.seconds << " s)\n";
        if (stopSignal() != 0)
            std::cerr << "stopped by a signal; the store holds what was converted\n";
    }
    if (args.json) {
        printJson(reportJson(report, listed, rows->SkippedFolders()), cli.warnings());
    } else if (!report.parts.empty()) {
        for (const auto& p : report.parts) std::cout << p.pst << "\n";
    } else if (report.storeCreated) {
        std::cout << report.pstPath << "\n";
    }
    if (stopSignal() != 0) return 128 + stopSignal();
    if (!report.closeError.empty() || !closeError.empty()) return 1;
    if (!rows->SkippedFolders().empty()) return 1;
    return report.failed.empty() && report.lostUncommitted == 0 ? 0 : 1;
}

}  // namespace

void addConvertCommand(CLI::App& app, Action& action) {
    auto args = std::make_shared<ConvertArgs>();
    auto* cmd = app.add_subcommand("convert", "convert .msg files and folders into a new .pst");
    auto* dirOpt = cmd->add_option("--output-dir", args->outputDir,
                                   "folder for the new .pst (default: the current folder; "
                                   "created if missing)");
    auto* fileOpt = cmd->add_option("-o", args->outputFile,
                                    "the .pst file to write instead of the timestamped "
                                    "name (never overwritten)");
    dirOpt->excludes(fileOpt);
    cmd->add_flag("--json", args->json, "print one JSON document on stdout");
    cmd->add_flag("--quiet", args->quiet, "no progress and no summary on stderr");
    cmd->add_flag("--dedupe", args->dedupe,
                  "skip a message an earlier file already held (same Internet message id, "
                  "else same content)");
    cmd->add_option("--codepage", args->codePage,
                    "code page of 8-bit text in messages that name none (default 1252)")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                const bool digits = !text.empty() && text.size() <= 9 &&
                                    text.find_first_not_of("0123456789") == std::string::npos;
                if (digits && std::stol(text) > 0) return {};
                return "a positive integer (a Windows code page such as 1252) is needed, not \"" +
                       text + "\"";
            },
            "N"));
    cmd->add_option("--split-size", args->splitSize,
                    "start a new .pst (\"NAME (2).pst\", ...) before one would grow past SIZE "
                    "(K, M or G: powers of 1024; at least 1M)")
        ->transform(CLI::Validator(
            [](std::string& text) -> std::string {
                const auto size = convert::ParseSplitSize(text);
                if (!size) {
                    return "a size of at least 1M (a whole number with K, M or G, such as 10G) is "
                           "needed, not \"" +
                           text + "\"";
                }
                text = std::to_string(*size);
                return {};
            },
            "SIZE"));
    cmd->add_option("PATH", args->paths, ".msg files and folders to convert")->required();
    cmd->callback([&action, args] { action = [args] { return runConvert(*args); }; });
}

}  // namespace qm::cli
