// WindowHost: the conversion run's host, served by frmStep1. The run reads
// the source list through the grid adapter, shows its progress in the
// window's panel, asks through the window's Dialogs, and learns from the
// window when the user has closed it or confirmed Exit.
#pragma once

#include "app/frm_step1.h"
#include "app/run_host.h"

namespace qm::app {

class WindowHost : public Host {
  public:
    // REQUIRES: window outlives the host.
    explicit WindowHost(frmStep1& window) : window_(window) {}

    std::string BrowseFolder(const std::string& title) override;
    int64_t Rows() override;
    void SetCurrentCell(int64_t row, int col) override;
    std::string Text() override;
    void SetProgressRange(ProgressBar bar, float min, float max) override;
    void SetProgressValue(ProgressBar bar, float value) override;
    void SetFrameCaption(const std::string& caption) override;
    void SetFolderCaption(const std::string& caption) override;
    void SetConvertEnabled(bool enabled) override;
    void SetSourceCommandsEnabled(bool enabled) override;
    void DoEvents() override;
    bool StopRequested() override;
    void MsgBox(const MessageBoxSpec& box) override;

  private:
    ProgressBarControl& bar(ProgressBar which);

    frmStep1& window_;
};

}  // namespace qm::app
