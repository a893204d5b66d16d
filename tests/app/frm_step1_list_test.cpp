// The source list: additions, Clear with its question, Exit and closing, and
// the grid and bars underneath (WindowRun drives them through a real run).
#include <QLabel>
#include <QTableWidget>

#include <gtest/gtest.h>

#include "app/frm_step1.h"
#include "app/progress_bar.h"
#include "fake_dialogs.h"
#include "shell/runtime_error.h"

namespace qm::app {
namespace {

using namespace std::string_literals;
using Rows = std::vector<std::string>;

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
    Rows Listed() {
        Rows rows;
        for (int r = 0; r < window.grdFiles1().Rows(); ++r) {
            rows.push_back(window.grdFiles1().TextMatrix(r, 0));
        }
        return rows;
    }
    std::string Counter() {
        return qobject_cast<QLabel*>(window.control("lblCount1"))->text().toStdString();
    }
    // The one Yes/No question asked since the last call.
    void ExpectAsked(const std::string& text) {
        ASSERT_EQ(dialogs.boxes.size(), 1u);
        EXPECT_EQ(dialogs.boxes[0].text, text);
        EXPECT_EQ(dialogs.boxes[0].title, "Quillmark MSG to PST Converter");
        EXPECT_EQ(dialogs.boxes[0].buttons, Buttons::YesNo);
        EXPECT_EQ(dialogs.boxes[0].icon, Icon::Question);
        dialogs.boxes.clear();
    }

    test::FakeDialogs dialogs;
    frmStep1 window{dialogs};
    int ends = 0;
};

TEST_F(SourceList, EachPathGoesIntoTheNextRowDuplicatesAndExactBytesKept) {
    const std::string latin1 = "/m/caf\xe9.msg";  // not UTF-8, as Linux allows
    Rows expected;
    for (const std::string& path : {"/m/a.msg"s, "/m/b.msg"s, "/m/a.msg"s, latin1}) {
        Add(path);
        expected.push_back(path);
        EXPECT_EQ(Listed(), expected);
        EXPECT_EQ(Counter(), std::to_string(expected.size()) + " files");
        EXPECT_EQ(window.grdFiles1().Row(), int32_t(expected.size()) - 1);
    }
    EXPECT_EQ(window.grdFiles1().ColWidth(0), 10000);
    EXPECT_EQ(window.grdFiles1().Col(), 0);
    EXPECT_EQ(window.grdFiles1().FixedRows(), 0);
    EXPECT_TRUE(dialogs.boxes.empty());
}

TEST_F(SourceList, ClearAsksAndOnlyYesEmptiesTheList) {
    window.cmdClear1_Click();
    EXPECT_TRUE(dialogs.boxes.empty()) << "nothing to clear, nothing asked";
    EXPECT_EQ(window.grdFiles1().ColWidth(0), 50000) << "untouched until the first addition";
    Add("/m/a.msg");
    Add("/m/b.msg");
    const char* question = "Do you want to clear all the files in the list\r\n Proceed?";
    dialogs.answers = {Answer::No, Answer::Yes};
    window.cmdClear1_Click();
    ExpectAsked(question);
    EXPECT_EQ(Listed(), (Rows{"/m/a.msg", "/m/b.msg"}));
    EXPECT_EQ(Counter(), "2 files");
    EXPECT_EQ(window.grdFiles1().Row(), 0) << "No still moves the current cell";
    EXPECT_EQ(window.grdFiles1().Col(), 0);
    window.cmdClear1_Click();
    ExpectAsked(question);
    EXPECT_EQ(Listed(), Rows{""});
    EXPECT_EQ(Counter(), "0 files");
    EXPECT_EQ(window.grdFiles1().ColWidth(0), 10000);
    EXPECT_FALSE(window.CmdExtractDBXEnabled()) << "an empty list has nothing to convert";
    Add("/m/c.msg");
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
    EXPECT_EQ(Listed(), Rows{"/m/c.msg"});
    EXPECT_EQ(Counter(), "1 files");
}

TEST_F(SourceList, ExitAsksAndOnlyYesEndsTheProgram) {
    window.show();
    dialogs.answers = {Answer::No, Answer::Yes};
    window.cmdEnd_Click();
    ExpectAsked("Are you sure you want to exit now?");
    EXPECT_FALSE(window.Unloaded());
    EXPECT_EQ(ends, 0);
    window.cmdEnd_Click();
    ExpectAsked("Are you sure you want to exit now?");
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
