// The Convert Messages command (CmdExtractDBX_Click): asks the host for a
// destination, runs a convert::Conversion over the rows of grdFiles1, shows
// its progress in the captions and the first bar, and ends with one box
// saying what was written.
//
// Error modes. Trapped mode (up to the folder list): any failure ends the
// run with the three-line "Outlook Error" box, the cause in its detailed
// text; the store already made stays open in the kept Conversion and is
// closed (committed) when the next run starts or this command is destroyed.
// Skip mode (folder tree, import, closing): a failing step is passed over;
// failed messages are counted and reported at the end.
//
// While it runs, the host's source commands and Convert are disabled and a
// second call returns at once (RunOutcome::Busy). Afterwards the source
// commands are enabled again and Convert stays disabled once a row has been
// handled. When the host asks to stop (window closed, Exit, a signal), the run
// finishes the current message, commits, and returns without the end box.
#pragma once

#include <memory>
#include <string>

#include "app/run_host.h"
#include "convert/conversion.h"
#include "convert/run_report.h"
#include "convert/string_list.h"
#include "convert/timestamp.h"

namespace qm::app {

using convert::RunOutcome;
using convert::RunReport;
using convert::StringList;

struct RunOptions {
    convert::Clock clock = convert::LocalNow;
};

class ConversionRun {
  public:
    explicit ConversionRun(Host& host, RunOptions options = {});
    ~ConversionRun();

    RunReport CmdExtractDBX_Click();

    // Fields that outlive a run, as the window keeps them.
    const std::string& DestinationFolder() const { return destination_; }
    const std::string& StoreDisplayName() const { return displayName_; }
    const StringList& FolderList() const { return folderList_; }
    // A store is kept open after a trapped error and closed by a finished run.
    bool HasOpenStore() const { return conversion_ && conversion_->storeOpen(); }
    bool Running() const { return running_; }

  private:
    RunReport run();
    bool ListIsEmpty();

    Host& host_;
    RunOptions options_;
    std::string destination_;
    std::string displayName_;
    StringList folderList_;
    std::unique_ptr<convert::Conversion> conversion_;
    bool running_ = false;
};

}  // namespace qm::app
