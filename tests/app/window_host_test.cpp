// The conversion run's host over the window, and whole runs started from the
// window's Convert button over .msg files made by our own writer.
#include "app/window_host.h"

#include <QPushButton>
#include <QTimer>
#include <filesystem>

#include <gtest/gtest.h>

#include "app/conversion_run.h"
#include "app/progress_bar.h"
#include "fake_dialogs.h"
#include "mapi/message.h"
#include "mapi/tags.h"
#include "msg/msg.h"
#include "pst/read/checker.h"
#include "shell/runtime_error.h"
#include "shell/temp_tree.h"

namespace qm::app {
namespace {

using test::FakeDialogs;

// A .msg file by our own writer, with this subject.
void WriteMessage(const std::string& path, const std::string& subject) {
    mapi::Message m;
    m.props.set(mapi::Property::utf8(mapi::tag::MessageClass, "IPM.Note"));
    m.props.set(mapi::Property::utf8(mapi::tag::Subject, subject));
    m.props.set(mapi::Property::utf8(mapi::tag::Body, "Body of " + subject));
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    msg::writeMsgFile(m, path);
}

// Our strict checker's findings, one per line; "" for a clean store.
std::string Findings(const std::filesystem::path& pst) {
    std::string out;
    for (const auto& f : pst::read::checkFile(pst).findings) out += f.line() + "\n";
    return out;
}

class WindowHostTest : public ::testing::Test {
  protected:
    WindowHostTest() {
        window.SetEndProgram([] {});
    }
    FakeDialogs dialogs;
    frmStep1 window{dialogs};
    WindowHost host{window};
};

TEST_F(WindowHostTest, ReadsTheListCellByCell) {
    using namespace std::string_literals;
    dialogs.OpenReturns("/m\0a.msg\0b.msg"s);
    window.cmdAdd_Click();
    ASSERT_EQ(host.Rows(), 2);
    host.SetCurrentCell(1, 0);
    EXPECT_EQ(host.Text(), "/m/b.msg");
    EXPECT_EQ(window.grdFiles1().Row(), 1);
    EXPECT_THROW(host.SetCurrentCell(2, 0), NumberedError);
    EXPECT_THROW(host.SetCurrentCell(int64_t{1} << 40, 0), NumberedError);
}

TEST_F(WindowHostTest, DrivesTheProgressPanel) {
    host.SetProgressRange(ProgressBar::Overall, 0, 100);
    host.SetProgressRange(ProgressBar::CurrentFile, 200, 300);  // past the old maximum
    EXPECT_EQ(window.ProgressBar2().Min(), 200.0f);
    EXPECT_EQ(window.ProgressBar2().Max(), 300.0f);
    host.SetProgressValue(ProgressBar::Overall, 66.666664f);
    EXPECT_EQ(window.ProgressBar1().Value(), 66.666664f);
    EXPECT_EQ(window.ProgressBar2().Value(), 200.0f);
    host.SetFrameCaption("Details : Converting - (2 of 3) file(s)");
    host.SetFolderCaption("Importing Messages... from (home\\ann)");
    EXPECT_EQ(window.FrameConversionCaption(), "Details : Converting - (2 of 3) file(s)");
    EXPECT_EQ(window.LblCurrentDBXCaption(), "Importing Messages... from (home\\ann)");
}

TEST_F(WindowHostTest, SourceCommandsGoOffButExitStays) {
    host.SetSourceCommandsEnabled(false);
    for (const char* name : {"cmdAdd", "CmdAddFolder", "cmdClear1"}) {
        EXPECT_FALSE(window.control(name)->isEnabled()) << name;
    }
    EXPECT_TRUE(window.control("cmdEnd")->isEnabled());
    host.SetSourceCommandsEnabled(true);
    EXPECT_TRUE(window.control("cmdAdd")->isEnabled());
    host.SetConvertEnabled(true);
    EXPECT_FALSE(window.CmdExtractDBXEnabled()) << "the list is empty";
    dialogs.OpenReturns("/m/a.msg");
    window.cmdAdd_Click();
    host.SetConvertEnabled(false);
    host.SetConvertEnabled(true);
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
}

TEST_F(WindowHostTest, StopIsRequestedOnceTheWindowIsClosed) {
    EXPECT_FALSE(host.StopRequested());
    window.close();
    EXPECT_TRUE(host.StopRequested());
}

TEST_F(WindowHostTest, BoxesGoThroughTheDialogs) {
    host.MsgBox({"line one\r\nline two", "Quillmark MSG to PST Converter", BoxIcon::Warning,
                 "a.msg: broken"});
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, "line one\r\nline two");
    EXPECT_EQ(dialogs.boxes[0].icon, Icon::Exclamation);
    EXPECT_EQ(dialogs.boxes[0].buttons, Buttons::OK);
    EXPECT_EQ(dialogs.boxes[0].details, "a.msg: broken");
}

// A window wired as the program wires it, over a tree of .msg files.
class WindowRun : public ::testing::Test {
  protected:
    WindowRun() {
        window.SetEndProgram([] {});
        window.SetConvertHandler([this] { run.CmdExtractDBX_Click(); });
        WriteMessage(src.path("Mail/a.msg"), "first");
        WriteMessage(src.path("Mail/2009/b.msg"), "second");
        dialogs.folders.push_back(src.root());
        window.CmdAddFolder_Click();
        dialogs.boxes.clear();
    }
    void Convert() { qobject_cast<QPushButton*>(window.control("CmdExtractDBX"))->click(); }
    std::vector<std::filesystem::path> Stores() const {
        std::vector<std::filesystem::path> out;
        for (const auto& e : std::filesystem::directory_iterator(dst.root()))
            out.push_back(e.path());
        return out;
    }

    shell::test::TempTree src;
    shell::test::TempTree dst;
    FakeDialogs dialogs;
    frmStep1 window{dialogs};
    WindowHost host{window};
    ConversionRun run{host};
};

TEST_F(WindowRun, ConvertWritesTheListedMessagesIntoANewStore) {
    ASSERT_EQ(window.grdFiles1().Rows(), 2);
    ASSERT_TRUE(window.CmdExtractDBXEnabled());
    dialogs.folders.push_back(dst.root());
    Convert();
    EXPECT_EQ(dialogs.folderTitles.back(), "Choose Folder to Save...");
    const auto stores = Stores();
    ASSERT_EQ(stores.size(), 1u);
    EXPECT_EQ(stores[0].extension(), ".pst");
    EXPECT_EQ(Findings(stores[0]), "");
    EXPECT_EQ(window.FrameConversionCaption(), "Details : Converting - (2 of 2) file(s)");
    EXPECT_EQ(window.ProgressBar1().Value(), 100.0f);
    EXPECT_FALSE(window.CmdExtractDBXEnabled());
    EXPECT_TRUE(window.SourceCommandsEnabled());
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].title, "Quillmark MSG to PST Converter");
    EXPECT_NE(dialogs.boxes[0].text.find(stores[0].string()), std::string::npos)
        << dialogs.boxes[0].text;
}

TEST_F(WindowRun, CancellingTheDestinationChangesNothing) {
    dialogs.folders.push_back("");
    Convert();
    EXPECT_TRUE(Stores().empty());
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
}

TEST_F(WindowRun, AnEmptyListCannotBeConvertedAndARunOnItMakesNothing) {
    dialogs.answers.push_back(Answer::Yes);
    window.cmdClear1_Click();
    EXPECT_FALSE(window.CmdExtractDBXEnabled());
    window.SetCmdExtractDBXEnabled(true);
    EXPECT_FALSE(window.CmdExtractDBXEnabled()) << "no command turns it on for an empty list";
    dialogs.boxes.clear();
    // No destination is asked for (the fake fails on an unscripted one).
    EXPECT_EQ(run.CmdExtractDBX_Click().outcome, RunOutcome::Cancelled);
    EXPECT_TRUE(Stores().empty());
    EXPECT_TRUE(dialogs.boxes.empty());
}

TEST_F(WindowRun, ClosingTheWindowStopsTheRunWithAValidStore) {
    dialogs.folders.push_back(dst.root());
    window.show();
    QTimer::singleShot(0, &window, [this] { window.close(); });
    Convert();
    EXPECT_TRUE(window.Unloaded());
    EXPECT_TRUE(dialogs.boxes.empty()) << "the program is ending: no end box";
    for (const auto& store : Stores()) EXPECT_EQ(Findings(store), "");
}

}  // namespace
}  // namespace qm::app
