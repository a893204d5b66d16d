// WindowHost: the conversion run's host, served by frmStep1. The run reads
// the source list through the grid adapter, shows its progress in the
// window's panel, asks through the window's Dialogs, and learns from the
// window when the user has closed it or confirmed Exit.
//
// The run yields before every message, thousands of times a second; painting
// the window at each yield took most of a run's time. So a yield handles the
// window's events (and paints) only when the last one that did is a frame,
// 33 ms, old: what the run set in between (the current cell, the captions,
// the bars) is all kept at once and shown together. The bar reaching its end
// makes the next yield a frame, so the finished list shows during the
// closing commit.
#pragma once

#include <chrono>

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
    std::vector<std::string> ListedRows() override;
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
    using Clock = std::chrono::steady_clock;
    ProgressBarControl& bar(ProgressBar which);
    // Hands what the run set to the controls that draw it later: the
    // current cell to the table, the values to the bars.
    void showSettings();
    // Brings the screen up to date with what the run set: showSettings, then
    // the window's events (painting among them).
    void frame();

    frmStep1& window_;
    Clock::time_point lastFrame_{};
};

}  // namespace qm::app
