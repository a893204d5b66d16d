// The source list: additions, Clear with its question, Exit and closing.
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>

#include <gtest/gtest.h>

#include "app/frm_step1.h"
#include "app/progress_bar.h"
#include "fake_dialogs.h"
#include "shell/runtime_error.h"

namespace qm::app {
namespace {

using test::FakeDialogs;
using test::ShownBox;

constexpr char kTitle[] = "Quillmark MSG to PST Converter";

class SourceList : public ::testing::Test {
  protected:
    SourceList() {
        window.SetEndProgram([this] { ++ends; });
    }

    // One file through the Add MSG File(s) command (which lists it with
    // AddFileToList).
    void Add(const std::string& path) {
        dialogs.OpenReturns(path);
        window.cmdAdd_Click();
    }
    std::vector<std::string> Rows() {
        std::vector<std::string> rows;
        for (int r = 0; r < window.grdFiles1().Rows(); ++r) {
            rows.push_back(window.grdFiles1().TextMatrix(r, 0));
        }
        return rows;
    }
    std::string Counter() {
        return qobject_cast<QLabel*>(window.control("lblCount1"))->text().toStdString();
    }

    FakeDialogs dialogs;
    frmStep1 window{dialogs};
    int ends = 0;
};

TEST_F(SourceList, FirstPathGoesIntoRowZero) {
    Add("/m/a.msg");
    EXPECT_EQ(Rows(), std::vector<std::string>{"/m/a.msg"});
    EXPECT_EQ(Counter(), "1 files");
    EXPECT_EQ(window.grdFiles1().ColWidth(0), 10000);
    EXPECT_EQ(window.grdFiles1().Row(), 0);
    EXPECT_EQ(window.grdFiles1().Col(), 0);
    EXPECT_EQ(window.grdFiles1().FixedRows(), 0);
    EXPECT_TRUE(dialogs.boxes.empty());
}

TEST_F(SourceList, SecondPathGoesIntoRowOneAndDuplicatesAreKept) {
    Add("/m/a.msg");
    Add("/m/b.msg");
    EXPECT_EQ(Rows(), (std::vector<std::string>{"/m/a.msg", "/m/b.msg"}));
    EXPECT_EQ(Counter(), "2 files");
    EXPECT_EQ(window.grdFiles1().Row(), 1);
    Add("/m/a.msg");
    EXPECT_EQ(Rows(), (std::vector<std::string>{"/m/a.msg", "/m/b.msg", "/m/a.msg"}));
    EXPECT_EQ(Counter(), "3 files");
}

TEST_F(SourceList, PathsKeepTheirExactBytes) {
    const std::string latin1Name = "/m/caf\xe9.msg";  // not UTF-8, as Linux allows
    Add(latin1Name);
    EXPECT_EQ(Rows(), std::vector<std::string>{latin1Name});
}

TEST_F(SourceList, ClearAsksAndYesEmptiesTheList) {
    Add("/m/a.msg");
    Add("/m/b.msg");
    window.SetCmdExtractDBXEnabled(true);
    dialogs.answers.push_back(Answer::Yes);
    window.cmdClear1_Click();
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    const ShownBox& box = dialogs.boxes[0];
    EXPECT_EQ(box.text, "Do you want to clear all the files in the list\r\n Proceed?");
    EXPECT_EQ(box.title, kTitle);
    EXPECT_EQ(box.buttons, Buttons::YesNo);
    EXPECT_EQ(box.icon, Icon::Question);
    EXPECT_EQ(Rows(), std::vector<std::string>{""});
    EXPECT_EQ(Counter(), "0 files");
    EXPECT_EQ(window.grdFiles1().ColWidth(0), 10000);
    EXPECT_FALSE(window.CmdExtractDBXEnabled()) << "an empty list has nothing to convert";
    Add("/m/c.msg");
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
    EXPECT_EQ(Rows(), std::vector<std::string>{"/m/c.msg"});
    EXPECT_EQ(Counter(), "1 files");
}

TEST_F(SourceList, ClearAnsweredNoKeepsEveryRowButMovesTheCurrentCell) {
    Add("/m/a.msg");
    Add("/m/b.msg");
    dialogs.answers.push_back(Answer::No);
    window.cmdClear1_Click();
    EXPECT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(Rows(), (std::vector<std::string>{"/m/a.msg", "/m/b.msg"}));
    EXPECT_EQ(Counter(), "2 files");
    EXPECT_EQ(window.grdFiles1().Row(), 0);
    EXPECT_EQ(window.grdFiles1().Col(), 0);
}

TEST_F(SourceList, ClearOnAnEmptyListShowsNothing) {
    window.cmdClear1_Click();
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_EQ(Rows(), std::vector<std::string>{""});
    EXPECT_EQ(window.grdFiles1().ColWidth(0), 50000) << "untouched until the first addition";
}

TEST_F(SourceList, ExitAnsweredNoKeepsRunning) {
    dialogs.answers.push_back(Answer::No);
    window.cmdEnd_Click();
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, "Are you sure you want to exit now?");
    EXPECT_EQ(dialogs.boxes[0].title, kTitle);
    EXPECT_EQ(dialogs.boxes[0].buttons, Buttons::YesNo);
    EXPECT_EQ(dialogs.boxes[0].icon, Icon::Question);
    EXPECT_FALSE(window.Unloaded());
    EXPECT_EQ(ends, 0);
}

TEST_F(SourceList, ExitAnsweredYesEndsTheProgram) {
    window.show();
    dialogs.answers.push_back(Answer::Yes);
    window.cmdEnd_Click();
    EXPECT_TRUE(window.Unloaded());
    EXPECT_EQ(ends, 1);
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(window.DoEvents()) << "a yielding command learns that it must stop";
}

TEST_F(SourceList, ClosingTheWindowEndsTheProgramWithoutAQuestion) {
    Add("/m/a.msg");
    window.show();
    window.close();
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_TRUE(window.Unloaded());
    EXPECT_EQ(ends, 1);
}

TEST_F(SourceList, ConversionSeamReadsTheListAndDrivesThePanel) {
    Add("/m/a.msg");
    Add("/m/b.msg");
    window.SetCmdExtractDBXEnabled(true);
    std::vector<std::string> seen;
    window.SetConvertHandler([&] {
        FlexGrid& grid = window.grdFiles1();
        for (int32_t r = 0; r < grid.Rows(); ++r) {
            grid.SetRow(r);
            grid.SetCol(0);
            seen.push_back(grid.Text());
            window.ProgressBar1().SetValue(static_cast<float>((r + 1) * 100.0 / grid.Rows()));
            window.SetFrameConversionCaption("Details : Converting - (" + std::to_string(r + 1) +
                                             " of " + std::to_string(grid.Rows()) + ") file(s)");
            window.SetLblCurrentDBXCaption("Importing Messages... from (m)");
            window.SetCmdExtractDBXEnabled(false);
            ASSERT_TRUE(window.DoEvents());
        }
    });
    qobject_cast<QPushButton*>(window.control("CmdExtractDBX"))->click();
    EXPECT_EQ(seen, (std::vector<std::string>{"/m/a.msg", "/m/b.msg"}));
    EXPECT_EQ(window.ProgressBar1().Value(), 100.0f);
    EXPECT_EQ(window.FrameConversionCaption(), "Details : Converting - (2 of 2) file(s)");
    EXPECT_EQ(window.LblCurrentDBXCaption(), "Importing Messages... from (m)");
    EXPECT_FALSE(window.CmdExtractDBXEnabled());
}

TEST(FlexGrid, CurrentCellOutsideTheGridIsAnError) {
    QTableWidget table;
    FlexGrid grid(&table);
    try {
        grid.SetRow(1);
        FAIL();
    } catch (const NumberedError& e) {
        EXPECT_EQ(e.number(), kErrInvalidRow);
    }
    EXPECT_THROW(grid.SetCol(-1), NumberedError);
    EXPECT_THROW(grid.SetRows(0), NumberedError);
    grid.SetRows(3);
    grid.SetRow(2);
    grid.SetText("x");
    grid.SetRows(2);
    EXPECT_EQ(grid.Row(), 1) << "shrinking moves the current cell into the grid";
    grid.Clear();
    EXPECT_EQ(grid.Rows(), 2) << "Clear keeps the shape";
    table.setCurrentCell(0, 0);  // as a click on the first row does
    EXPECT_EQ(grid.Row(), 0);
    EXPECT_EQ(grid.Text(), "");
}

TEST(ProgressBarControl, SinglePrecisionRangeAndValue) {
    ProgressBarControl bar;
    bar.SetValue(static_cast<float>(1.0 / 3.0 * 100.0));
    EXPECT_EQ(bar.Value(), 33.333333333f);
    EXPECT_EQ(bar.value(), 3333);
    EXPECT_THROW(bar.SetValue(100.5f), NumberedError);
    EXPECT_THROW(bar.SetMax(0.0f), NumberedError);
    EXPECT_THROW(bar.SetMin(100.0f), NumberedError);
    EXPECT_EQ(bar.Value(), 33.333333333f) << "a refused setting changes nothing";
    bar.SetMax(20.0f);
    EXPECT_EQ(bar.Value(), 20.0f);
}

}  // namespace
}  // namespace qm::app
