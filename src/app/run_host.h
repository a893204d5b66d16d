// What the window's Convert Messages command needs from the window: the
// source list grdFiles1, the captions, the progress bars, the buttons and the
// boxes. The command knows no widget: the Qt window implements this over its
// controls (WindowHost), tests with a scripted fake.
//
// All calls come from the thread that runs CmdExtractDBX_Click.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm::app {

enum class BoxIcon { None, Information, Warning, Critical, Question };

// A modal message box with one OK button. `text` uses "\r\n" between lines
// exactly as the run builds it; a Qt host shows "\n". `detailedText` (may be
// empty) goes into the box's expandable details.
struct MessageBoxSpec {
    std::string text;
    std::string title;
    BoxIcon icon = BoxIcon::None;
    std::string detailedText;
};

enum class ProgressBar { Overall = 1, CurrentFile = 2 };  // ProgressBar1, ProgressBar2

class Host {
  public:
    virtual ~Host() = default;

    // BrowseFolder(owner, title): the chosen folder's path, or "" when the
    // user cancelled (the run then ends quietly).
    virtual std::string BrowseFolder(const std::string& title) = 0;

    // The source list grdFiles1: its row count, the current cell (Row, Col)
    // and the current cell's text.
    virtual int64_t Rows() = 0;
    virtual void SetCurrentCell(int64_t row, int col) = 0;
    virtual std::string Text() = 0;

    // Every row's text in list order, read without moving the current cell.
    // The run reads the files ahead from it on a second thread; the rows it
    // converts are still the ones it reads cell by cell. Empty when the host
    // offers no such copy: each file is then read when its row comes.
    virtual std::vector<std::string> ListedRows() { return {}; }

    virtual void SetProgressRange(ProgressBar bar, float min, float max) = 0;
    virtual void SetProgressValue(ProgressBar bar, float value) = 0;
    virtual void SetFrameCaption(const std::string& caption) = 0;   // FrameConversion
    virtual void SetFolderCaption(const std::string& caption) = 0;  // LblCurrentDBX
    virtual void SetConvertEnabled(bool enabled) = 0;               // CmdExtractDBX
    // Add MSG files, Add Folder and Clear: off while a run is under way, so
    // the source list cannot change under it. Exit stays enabled.
    virtual void SetSourceCommandsEnabled(bool enabled) = 0;

    // Lets the window handle its events (QCoreApplication::processEvents;
    // progress redraw or nothing elsewhere). A host may do so only every so
    // often, showing what the run set since in one go: the window repaints
    // about 30 times a second, however many messages that is.
    virtual void DoEvents() = 0;
    // True once the user closed the window or pressed Exit (or a signal came):
    // the run stops after the current message and commits what it wrote.
    virtual bool StopRequested() = 0;

    virtual void MsgBox(const MessageBoxSpec& box) = 0;
};

}  // namespace qm::app
