// The source list: the grid holds one full path per row, in the order added;
// the empty list is one row whose only cell is empty. Also the Clear and Exit
// commands and the window's unloading.
#include <QCoreApplication>
#include <QLabel>

#include "app/frm_step1.h"
#include "app/layout.h"
#include "shell/runtime_error.h"

namespace qm::app {
namespace {

// Column 0 is very wide until the first path arrives, then narrower for good.
constexpr int32_t kEmptyListColWidth = 50000;  // twips
constexpr int32_t kListColWidth = 10000;       // twips

constexpr char kClearQuestion[] = "Do you want to clear all the files in the list\r\n Proceed?";
constexpr char kExitQuestion[] = "Are you sure you want to exit now?";

}  // namespace

void frmStep1::Form_Load() {
    grid_->SetColWidth(0, kEmptyListColWidth);
}

void frmStep1::AddFileToList(const std::string& path) {
    FlexGrid& grid = *grid_;
    bool useRowZero = false;
    if (grid.Rows() == 1) {
        grid.SetRow(0);
        grid.SetCol(0);
        if (grid.Text().empty()) {
            grid.SetRows(1);
            grid.SetCols(1);
            grid.SetFixedRows(0);
            grid.SetColWidth(0, kListColWidth);
            useRowZero = true;
        }
    }
    if (!useRowZero) {
        if (grid.Rows() == INT32_MAX) {
            throw NumberedError(kErrOverflow, "Overflow: the list is full");
        }
        grid.SetRows(grid.Rows() + 1);
    }
    grid.SetRow(grid.Rows() - 1);
    grid.SetCol(0);
    grid.SetText(path);
    UpdateConvertButton();
    static_cast<QLabel*>(control("lblCount1"))
        ->setText(QString::number(grid.Rows()) + QStringLiteral(" files"));
}

void frmStep1::ClearFileList() {
    grid_->SetRows(1);
    grid_->Clear();
    ++clears_;
    static_cast<QLabel*>(control("lblCount1"))->setText(QStringLiteral("0 files"));
    UpdateConvertButton();
}

void frmStep1::cmdClear1_Click() {
    grid_->SetRow(0);
    grid_->SetCol(0);
    if (grid_->Text().empty()) return;
    if (dialogs_.MsgBox(kClearQuestion, layout::kProgramTitle, Buttons::YesNo, Icon::Question) ==
        Answer::Yes) {
        ClearFileList();
    }
}

void frmStep1::cmdEnd_Click() {
    if (dialogs_.MsgBox(kExitQuestion, layout::kProgramTitle, Buttons::YesNo, Icon::Question) ==
        Answer::Yes) {
        close();  // ends the program exactly as the close box does
    }
}

void frmStep1::Form_Unload() {
    // The program ends at once, without a question, whatever is going on: a
    // command that is yielding sees DoEvents() return false and stops.
    if (unloaded_) return;
    unloaded_ = true;
    if (endProgram_) endProgram_();
}

}  // namespace qm::app
