#include "app/conversion_run.h"

#include <chrono>
#include <exception>
#include <vector>

#include "app/run_boxes.h"

namespace qm::app {
namespace {

// grdFiles1 as the engine's source list, and the captions and the first bar
// as its observer. The import selects each row's cell, yields, then reads
// the text of the cell that is current: what the user's events left there.
class GridRun : public convert::SourceList, public convert::Observer {
  public:
    explicit GridRun(Host& host) : host_(host) {}

    int64_t size() override { return host_.Rows(); }
    std::string path(int64_t row) override {
        if (row != selected_) select(row);
        selected_ = -1;
        return host_.Text();
    }

    void yield() override { host_.DoEvents(); }
    bool stopRequested() override { return host_.StopRequested(); }
    void messageStarting(int64_t row) override {
        select(row);
        host_.DoEvents();
    }
    void messageDone(const convert::MessageOutcome& m) override {
        const int64_t i = m.row;
        update("Convert button", [&] { host_.SetConvertEnabled(false); });
        int64_t rowsNow = m.rows;
        update("row count", [&] { rowsNow = host_.Rows(); });
        update("counter caption", [&] {
            host_.SetFrameCaption("Details : Converting - (" + std::to_string(i + 1) + " of " +
                                  std::to_string(rowsNow) + ") file(s)");
        });
        update("folder caption", [&] {
            host_.SetFolderCaption("Importing Messages... from (" + m.storeFolder + ")");
        });
        if (rowsNow > 0) {
            update("progress", [&] {
                host_.SetProgressValue(ProgressBar::Overall,
                                       static_cast<float>(double(i + 1) / double(rowsNow) * 100.0));
            });
        }
    }

    // Window updates that failed: each kept its earlier text or value.
    std::vector<convert::FailedItem> notes;

  private:
    void select(int64_t row) {
        selected_ = -1;
        host_.SetCurrentCell(row, 0);
        selected_ = row;
    }
    template <class Step>
    void update(const char* what, Step&& step) {
        try {
            step();
        } catch (const std::exception& e) {
            notes.push_back({what, e.what()});
        }
    }

    Host& host_;
    int64_t selected_ = -1;
};

}  // namespace

bool ConversionRun::ListIsEmpty() {
    const int64_t rows = host_.Rows();
    if (rows > 1) return false;
    if (rows == 0) return true;
    host_.SetCurrentCell(0, 0);
    return host_.Text().empty();
}

ConversionRun::ConversionRun(Host& host, RunOptions options)
    : host_(host), options_(std::move(options)) {}

ConversionRun::~ConversionRun() = default;

RunReport ConversionRun::CmdExtractDBX_Click() {
    if (running_) {
        RunReport busy;
        busy.outcome = RunOutcome::Busy;
        return busy;
    }
    running_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{running_};
    return run();
}

RunReport ConversionRun::run() {
    RunReport report;
    // The empty list is one row with an empty cell: nothing to convert, so no
    // folder is asked for and no store is made.
    if (ListIsEmpty()) {
        report.outcome = RunOutcome::Cancelled;
        return report;
    }
    const std::string chosen = host_.BrowseFolder(kDestinationTitle);
    destination_ = chosen;
    if (chosen.empty()) {
        report.outcome = RunOutcome::Cancelled;
        return report;
    }
    const auto started = std::chrono::steady_clock::now();
    destination_ = convert::WithTrailingSeparator(chosen);
    report.destination = destination_;

    // Nothing may change the source list or start a second run meanwhile.
    host_.SetSourceCommandsEnabled(false);
    host_.SetConvertEnabled(false);
    auto finish = [&](RunOutcome outcome) {
        report.outcome = outcome;
        report.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        host_.SetSourceCommandsEnabled(true);
        host_.SetConvertEnabled(report.messages == 0);
        return report;
    };

    host_.DoEvents();
    host_.SetProgressRange(ProgressBar::Overall, 0.0f, 100.0f);
    host_.SetProgressRange(ProgressBar::CurrentFile, 0.0f, 100.0f);
    host_.DoEvents();
    if (host_.StopRequested()) return finish(RunOutcome::Stopped);

    // A store that an earlier run left open after its error box.
    try {
        if (conversion_) conversion_->close();
    } catch (const std::exception& e) {
        conversion_.reset();
        report.trappedCause = e.what();
        host_.MsgBox(TrappedErrorBox(report, TrappedAt::EarlierStore));
        return finish(RunOutcome::Trapped);
    }
    convert::ConversionOptions options;
    options.destination = destination_;
    options.clock = options_.clock;
    options.fallbackCodePage = 1252;
    conversion_ = std::make_unique<convert::Conversion>(options);
    GridRun grid(host_);
    const RunReport done = conversion_->run(grid, grid);
    const double seconds = report.seconds;
    report = done;
    report.seconds = seconds;
    report.destination = destination_;
    report.notes.insert(report.notes.end(), grid.notes.begin(), grid.notes.end());
    displayName_ = report.displayName;
    folderList_ = conversion_->folderList();

    if (report.outcome == RunOutcome::Trapped) {
        host_.MsgBox(TrappedErrorBox(report, TrappedAt::NewStore));
        return finish(RunOutcome::Trapped);
    }
    conversion_.reset();
    if (report.outcome == RunOutcome::Stopped) return finish(RunOutcome::Stopped);
    finish(RunOutcome::Completed);
    host_.MsgBox(EndOfRunBox(report));
    return report;
}

}  // namespace qm::app
