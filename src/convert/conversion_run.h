// The Convert Messages command: asks the host for a destination, opens a
// session, creates the destination store and its folder tree, imports every
// listed message, logs off, and ends with one box saying what was written.
//
// Error modes. Trapped mode (from the session up to the folder list): any
// failure ends the run with the three-line "Outlook Error" box, the cause in
// its detailed text; the store already added stays open in the profile and
// is closed (committed) when the next run starts or the program ends. Skip
// mode (folder tree, import, log-off): a failing step is passed over; failed
// messages are counted and reported at the end.
//
// While it runs, the host's source commands and Convert are disabled and a
// second call returns at once (RunOutcome::Busy). Afterwards the source
// commands are enabled again and Convert stays disabled once a row has been
// handled. When the host asks to stop (window closed, Exit, a signal), the run
// finishes the current message, commits, and returns without the end box.
#pragma once

#include <memory>
#include <string>

#include "convert/host.h"
#include "convert/run_report.h"
#include "convert/string_list.h"
#include "convert/timestamp.h"
#include "outlook/session.h"

namespace qm::convert {

struct RunOptions {
    Clock clock = LocalNow;
    // Names the store file instead of "<destination>OutlookMessages<ts>.pst".
    std::string storeFile;
    // The end-of-run box; hosts that report otherwise (the command line) can
    // do without it.
    bool showEndBox = true;
};

class ConversionRun {
  public:
    explicit ConversionRun(Host& host, RunOptions options = {});

    RunReport CmdExtractDBX_Click();

    // Fields that outlive a run, as the window keeps them.
    const std::string& DestinationFolder() const { return destination_; }
    const std::string& StoreDisplayName() const { return displayName_; }
    const StringList& FolderList() const { return folderList_; }
    // The session is kept after a trapped error and emptied by a finished run.
    bool HasSession() const { return session_ != nullptr; }
    bool Running() const { return running_; }

  private:
    RunReport run();

    Host& host_;
    RunOptions options_;
    std::string destination_;
    std::string displayName_;
    StringList folderList_;
    std::shared_ptr<outlook::Session> session_;
    bool running_ = false;
};

// The platform separator appended unless the folder already ends with one.
std::string WithTrailingSeparator(const std::string& folder);

}  // namespace qm::convert
