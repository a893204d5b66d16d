#include "convert/conversion_run.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <system_error>

#include "convert/destination_store.h"
#include "convert/failure_text.h"
#include "convert/folder_list.h"
#include "convert/folder_tree.h"
#include "convert/import_messages.h"
#include "convert/run_boxes.h"
#include "outlook/automation_error.h"
#include "outlook/profile.h"

namespace qm::convert {

std::string WithTrailingSeparator(const std::string& folder) {
    constexpr char sep = std::filesystem::path::preferred_separator;
    if (!folder.empty() && folder.back() == sep) return folder;
    return folder + sep;
}

ConversionRun::ConversionRun(Host& host, RunOptions options)
    : host_(host), options_(std::move(options)) {}

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
    const std::string chosen = host_.BrowseFolder(kDestinationTitle);
    destination_ = chosen;
    if (chosen.empty()) {
        report.outcome = RunOutcome::Cancelled;
        return report;
    }
    const auto started = std::chrono::steady_clock::now();
    destination_ = WithTrailingSeparator(chosen);
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

    // Trapped mode.
    DestinationStore store;
    try {
        // A store that an earlier run left open after its error box.
        outlook::Profile::instance().closeAll();
        session_ = std::make_shared<outlook::Session>();
        session_->Logon();
        store =
            CreateDestinationStore(destination_, *session_, options_.clock(), options_.storeFile);
        displayName_ = store.displayName;
        report.displayName = store.displayName;
        report.pstPath = store.path;
        report.storeCreated = true;
        BuildFolderList(host_, folderList_);
    } catch (const std::exception& e) {
        report.trappedCause = FailureText(e);
        host_.MsgBox(TrappedErrorBox(report.trappedCause));
        return finish(RunOutcome::Trapped);
    }

    // Skip mode from here on.
    CreateFolderTree(host_, folderList_, displayName_, store.entryId, *session_, report);
    bool complete = !host_.StopRequested();
    if (complete) complete = ImportMessages(host_, *session_, displayName_, report);

    host_.DoEvents();
    try {
        session_->Logoff();
    } catch (const std::exception& e) {
        report.closeError = FailureText(e);
    }
    // A commit that failed took the messages imported since the one before
    // with it; they must not be reported as converted.
    if (store.store) {
        const auto lost = std::min<int64_t>(int64_t(store.store->attached()->uncommittedMessages()),
                                            report.converted);
        report.lostUncommitted = lost;
        report.converted -= lost;
    }
    store.store.reset();
    session_.reset();
    std::error_code ec;
    report.bytesOut = std::filesystem::file_size(report.pstPath, ec);
    if (ec) report.bytesOut = 0;

    if (!complete) return finish(RunOutcome::Stopped);
    finish(RunOutcome::Completed);
    if (options_.showEndBox) host_.MsgBox(EndOfRunBox(report));
    return report;
}

}  // namespace qm::convert
