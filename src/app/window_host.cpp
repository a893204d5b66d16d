#include "app/window_host.h"

#include "app/progress_bar.h"
#include "shell/runtime_error.h"

namespace qm::app {
namespace {

constexpr std::chrono::milliseconds kFrameInterval{33};

}  // namespace

std::string WindowHost::BrowseFolder(const std::string& title) {
    return window_.dialogs().BrowseFolder(title);
}

int64_t WindowHost::Rows() {
    return window_.grdFiles1().Rows();
}

void WindowHost::SetCurrentCell(int64_t row, int col) {
    if (row < INT32_MIN || row > INT32_MAX) {
        throw NumberedError(kErrInvalidRow, "Invalid Row value: " + std::to_string(row));
    }
    window_.grdFiles1().MoveCurrentCell(static_cast<int32_t>(row), col);
}

std::string WindowHost::Text() {
    return window_.grdFiles1().Text();
}

std::vector<std::string> WindowHost::ListedRows() {
    const FlexGrid& grid = window_.grdFiles1();
    std::vector<std::string> rows(static_cast<size_t>(grid.Rows()));
    for (int32_t r = 0; r < grid.Rows(); ++r) rows[static_cast<size_t>(r)] = grid.TextMatrix(r, 0);
    return rows;
}

ProgressBarControl& WindowHost::bar(ProgressBar which) {
    return which == ProgressBar::Overall ? window_.ProgressBar1() : window_.ProgressBar2();
}

void WindowHost::SetProgressRange(ProgressBar which, float min, float max) {
    ProgressBarControl& b = bar(which);
    // Each bound is checked against the other as it is set, so the order
    // depends on where the range moves.
    if (min < b.Max()) {
        b.SetMin(min);
        b.SetMax(max);
    } else {
        b.SetMax(max);
        b.SetMin(min);
    }
}

void WindowHost::SetProgressValue(ProgressBar which, float value) {
    ProgressBarControl& b = bar(which);
    b.SetValueLater(value);
    // The full bar is shown before whatever comes next (the closing commit).
    if (value == b.Max()) lastFrame_ = {};
}

void WindowHost::SetFrameCaption(const std::string& caption) {
    window_.SetFrameConversionCaption(caption);
}

void WindowHost::SetFolderCaption(const std::string& caption) {
    window_.SetLblCurrentDBXCaption(caption);
}

void WindowHost::SetConvertEnabled(bool enabled) {
    window_.SetCmdExtractDBXEnabled(enabled);
}

void WindowHost::SetSourceCommandsEnabled(bool enabled) {
    window_.SetSourceCommandsEnabled(enabled);
}

void WindowHost::DoEvents() {
    if (Clock::now() - lastFrame_ < kFrameInterval) return;
    frame();
}

void WindowHost::showSettings() {
    window_.grdFiles1().ShowCurrentCell();
    window_.ProgressBar1().ShowValue();
    window_.ProgressBar2().ShowValue();
}

void WindowHost::frame() {
    showSettings();
    window_.DoEvents();
    lastFrame_ = Clock::now();
}

bool WindowHost::StopRequested() {
    return window_.Unloaded();
}

void WindowHost::MsgBox(const MessageBoxSpec& box) {
    // The box's own event loop paints the window as the run left it.
    showSettings();
    Icon icon = Icon::None;
    switch (box.icon) {
        case BoxIcon::None:
            icon = Icon::None;
            break;
        case BoxIcon::Information:
            icon = Icon::Information;
            break;
        case BoxIcon::Warning:
            icon = Icon::Exclamation;
            break;
        case BoxIcon::Critical:
            icon = Icon::Critical;
            break;
        case BoxIcon::Question:
            icon = Icon::Question;
            break;
    }
    window_.dialogs().MsgBox(box.text, box.title, Buttons::OK, icon, box.detailedText);
}

}  // namespace qm::app
