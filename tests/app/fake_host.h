// A scripted host for runs in tests: rows from a vector, every caption,
// progress value, button state, yield and box recorded in order.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/run_host.h"

namespace qm::testing {

class FakeHost : public app::Host {
  public:
    std::vector<std::string> rows;
    std::string destination;  // what BrowseFolder returns ("" = cancel)

    // Recorded.
    std::vector<std::string> browseTitles;
    std::vector<std::string> frameCaptions;
    std::vector<std::string> folderCaptions;
    std::vector<float> progress;  // ProgressBar1 values
    std::vector<std::pair<int, std::pair<float, float>>> ranges;
    std::vector<bool> convertEnabled;
    std::vector<bool> sourceEnabled;
    std::vector<app::MessageBoxSpec> boxes;
    std::vector<std::string> events;  // "yield", "cell 3", "frame ...", "convert 0", ...
    int yields = 0;

    // Called on every yield (a test may start a second run or ask to stop).
    std::function<void()> onYield;
    bool stop = false;
    // Makes every caption update fail, as a widget that refuses might.
    bool failCaptions = false;

    std::string BrowseFolder(const std::string& title) override {
        browseTitles.push_back(title);
        return destination;
    }
    int64_t Rows() override { return int64_t(rows.size()); }
    void SetCurrentCell(int64_t row, int col) override {
        row_ = row;
        col_ = col;
        events.push_back("cell " + std::to_string(row));
    }
    std::string Text() override {
        return row_ >= 0 && size_t(row_) < rows.size() && col_ == 0 ? rows[size_t(row_)] : "";
    }
    void SetProgressRange(app::ProgressBar bar, float min, float max) override {
        ranges.push_back({int(bar), {min, max}});
    }
    void SetProgressValue(app::ProgressBar bar, float value) override {
        if (bar == app::ProgressBar::Overall) progress.push_back(value);
    }
    void SetFrameCaption(const std::string& c) override {
        if (failCaptions) throw std::runtime_error("the frame refused its caption");
        frameCaptions.push_back(c);
        events.push_back("frame " + c);
    }
    void SetFolderCaption(const std::string& c) override { folderCaptions.push_back(c); }
    void SetConvertEnabled(bool on) override {
        convertEnabled.push_back(on);
        events.push_back(on ? "convert on" : "convert off");
    }
    void SetSourceCommandsEnabled(bool on) override { sourceEnabled.push_back(on); }
    void DoEvents() override {
        ++yields;
        events.push_back("yield");
        if (onYield) onYield();
    }
    bool StopRequested() override { return stop; }
    void MsgBox(const app::MessageBoxSpec& box) override {
        boxes.push_back(box);
        events.push_back("box " + box.title);
    }

  private:
    int64_t row_ = -1;
    int col_ = -1;
};

}  // namespace qm::testing
