// frmStep1: the program's one window. It holds the controls laid out by
// layout.h and the handlers named after them; the source list lives in its
// grid. Everything it asks the user goes through the Dialogs seam.
//
// The conversion run is not part of the window: CmdExtractDBX_Click runs
// whatever SetConvertHandler installed (see "Conversion seam" below), and the
// run drives the window through the public members listed there. The program
// installs convert::ConversionRun with a WindowHost (window_host.h) over them.
#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/dialogs.h"
#include "app/flex_grid.h"

class QLabel;
class QPushButton;
class QTableWidget;
class QFrame;

namespace qm::app {

class ProgressBarControl;
class ShapeWidget;

class frmStep1 : public QWidget {
    Q_OBJECT
  public:
    // Creates the controls from the layout table, then runs Form_Load.
    // REQUIRES: a QApplication exists and InitCommonControls has run; dialogs
    // outlives the window.
    explicit frmStep1(Dialogs& dialogs, QWidget* parent = nullptr);
    ~frmStep1() override;

    // --- Conversion seam -------------------------------------------------
    // Installed by whoever wires the conversion run; runs on each click of
    // CmdExtractDBX (also Alt+M) and returns when the run has ended. Without
    // one the button does nothing.
    void SetConvertHandler(std::function<void()> handler) { convertHandler_ = std::move(handler); }

    // What a run reads and sets while it works:
    FlexGrid& grdFiles1() { return *grid_; }  // Rows, Row, Col, Text
    ProgressBarControl& ProgressBar1() { return *progress1_; }
    ProgressBarControl& ProgressBar2() { return *progress2_; }
    std::string FrameConversionCaption() const;
    void SetFrameConversionCaption(const std::string& caption);
    std::string LblCurrentDBXCaption() const;
    void SetLblCurrentDBXCaption(const std::string& caption);
    bool CmdExtractDBXEnabled() const;
    void SetCmdExtractDBXEnabled(bool enabled);
    // Add MSG File(s), Add Folder and Clear (and dropping onto the list): a run
    // turns them off while it reads the list. Exit stays as it is.
    void SetSourceCommandsEnabled(bool enabled);
    bool SourceCommandsEnabled() const;
    Dialogs& dialogs() { return dialogs_; }

    // Yields to the event loop: processes every pending event, then returns.
    // Returns false once the window has been unloaded (closed, or Exit
    // confirmed), during this yield or before it: the caller must then stop
    // at once; the program is ending.
    bool DoEvents();
    bool Unloaded() const { return unloaded_; }

    // Called once when the window is unloaded; by default it ends the event
    // loop (QCoreApplication::quit). A run that holds a store open can chain
    // its own clean-up here.
    void SetEndProgram(std::function<void()> endProgram) { endProgram_ = std::move(endProgram); }

    // --- Handlers (public so tests and the seam can drive them) ----------
    void cmdAdd_Click();
    void CmdAddFolder_Click();
    void cmdClear1_Click();
    void CmdExtractDBX_Click();
    void cmdEnd_Click();

    // Files and folders dropped onto the list: .msg files are listed, folders
    // walked as Add Folder walks them; ends with the same count box.
    void AddDroppedPaths(const std::vector<std::string>& paths);

    // Every control, by its layout name.
    QWidget* control(const std::string& name) const;

  protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void createControls();
    void Form_Load();
    void Form_Unload();
    void AddFileToList(const std::string& path);
    void ClearFileList();
    // Lists every entry that passes the .msg test, yielding before each entry
    // and before each addition. Returns false if the window was unloaded
    // during a yield; `added` counts what was listed either way.
    bool ListMessageFiles(const std::vector<std::string>& entries, int64_t& added);
    void ShowFailure(const std::exception& e);
    void UpdateConvertButton();
    // Puts the middle of the window's frame on the middle of its screen.
    void CentreFrame();

    Dialogs& dialogs_;
    CommonDialog cdlgFile_;
    std::map<std::string, QWidget*> controls_;
    std::unique_ptr<FlexGrid> grid_;
    ProgressBarControl* progress1_ = nullptr;
    ProgressBarControl* progress2_ = nullptr;
    std::function<void()> convertHandler_;
    std::function<void()> endProgram_;
    bool unloaded_ = false;
    bool frameCentred_ = false;
    bool convertWanted_ = false;  // what the commands last set; the list may overrule it
    // Counts the clears of the list, so an add that yielded knows its rows are gone.
    int64_t clears_ = 0;
};

}  // namespace qm::app
