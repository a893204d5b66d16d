// The add commands through the Dialogs seam: files from the Open dialog, the
// .msg files of a real folder tree, and files or folders dropped on the list.
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QMimeData>
#include <QTableWidget>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <filesystem>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/frm_step1.h"
#include "fake_dialogs.h"
#include "shell/runtime_error.h"
#include "shell/source_rows.h"
#include "shell/temp_tree.h"

namespace qm::app {
namespace {

using shell::test::TempTree;
using test::FakeDialogs;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAreArray;
using namespace std::string_literals;

constexpr char kTitle[] = "Quillmark MSG to PST Converter";

class AddCommands : public ::testing::Test {
  protected:
    AddCommands() {
        window.SetEndProgram([] {});
    }

    std::vector<std::string> Rows() {
        std::vector<std::string> rows;
        for (int r = 0; r < window.grdFiles1().Rows(); ++r) {
            rows.push_back(window.grdFiles1().TextMatrix(r, 0));
        }
        if (rows == std::vector<std::string>{""}) rows.clear();
        return rows;
    }

    FakeDialogs dialogs;
    frmStep1 window{dialogs};
};

// --- Add MSG File(s) ------------------------------------------------------

TEST_F(AddCommands, OpenDialogIsSetUpAfreshEachTime) {
    dialogs.OpenReturns("");
    dialogs.opens.push_back([](const CommonDialog& d) {
        EXPECT_EQ(d.FileName, "") << "the name box starts empty every time";
        return std::string();
    });
    window.cmdAdd_Click();
    window.cmdAdd_Click();
    ASSERT_EQ(dialogs.openCalls.size(), 2u);
    for (const CommonDialog& d : dialogs.openCalls) {
        EXPECT_EQ(d.FileName, "");
        EXPECT_EQ(d.Filter, "Email Messages (*.msg)|*.msg");
        EXPECT_EQ(d.Flags, 0x80200);
        EXPECT_EQ(d.MaxFileSize, 1000);
    }
}

TEST_F(AddCommands, CancelChangesNothing) {
    dialogs.OpenReturns("");
    window.cmdAdd_Click();
    EXPECT_TRUE(Rows().empty());
    EXPECT_FALSE(window.CmdExtractDBXEnabled());
    EXPECT_TRUE(dialogs.boxes.empty());
}

TEST_F(AddCommands, OneFileSeveralFilesAndARoot) {
    dialogs.OpenReturns("/mail/a.msg");
    dialogs.OpenReturns("/mail\0b.msg\0c.msg"s);
    dialogs.OpenReturns("/\0r.msg\0s.msg\0"s);
    window.cmdAdd_Click();
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
    window.cmdAdd_Click();
    window.cmdAdd_Click();
    EXPECT_THAT(Rows(),
                ElementsAre("/mail/a.msg", "/mail/b.msg", "/mail/c.msg", "/r.msg", "/s.msg"));
    EXPECT_TRUE(dialogs.boxes.empty());
}

TEST_F(AddCommands, TooLongASelectionWarnsAndAddsNothing) {
    dialogs.opens.push_back([](const CommonDialog&) -> std::string {
        throw NumberedError(kErrFileNameBufferTooSmall, "buffer too small");
    });
    window.cmdAdd_Click();
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, "Please select only 29 files at a time");
    EXPECT_EQ(dialogs.boxes[0].title, kTitle);
    EXPECT_EQ(dialogs.boxes[0].buttons, Buttons::OK);
    EXPECT_EQ(dialogs.boxes[0].icon, Icon::Exclamation);
    EXPECT_TRUE(Rows().empty());
    EXPECT_FALSE(window.CmdExtractDBXEnabled());
}

TEST_F(AddCommands, OtherFailuresShowNumberColonDescription) {
    dialogs.opens.push_back([](const CommonDialog&) -> std::string {
        throw NumberedError(32755, "Cancel was selected.");
    });
    window.cmdAdd_Click();
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, "32755:Cancel was selected.");
    EXPECT_EQ(dialogs.boxes[0].icon, Icon::Exclamation);
}

// --- Add Folder having MSG File(s) ------------------------------------------

// A tree with names the .msg test must accept and refuse.
struct MailTree {
    TempTree t;
    MailTree() {
        for (const char* f : {"a.MSG", "b.Msg", "c.msgx", "d.ms", "e.msg  ", "notes.txt",
                              "sub/f.msg", "sub/deep/g.msg", "sub/deep/h.doc"}) {
            t.file(f);
        }
    }
    std::vector<std::string> Accepted() const {
        return {t.path("a.MSG"), t.path("b.Msg"), t.path("e.msg  "), t.path("sub/f.msg"),
                t.path("sub/deep/g.msg")};
    }
};

TEST_F(AddCommands, AddFolderListsEveryMsgFileOfTheTree) {
    MailTree tree;
    dialogs.folders.push_back(tree.t.root());
    window.CmdAddFolder_Click();
    EXPECT_THAT(dialogs.folderTitles, ElementsAre("Choose Source Folder..."));
    // Breadth first, each folder in name order: the top folder's files,
    // then sub's, then deep's.
    EXPECT_EQ(Rows(), tree.Accepted());
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, "5 Files Added to List.");
    EXPECT_EQ(dialogs.boxes[0].title, kTitle);
    EXPECT_EQ(dialogs.boxes[0].buttons, Buttons::OK);
    EXPECT_EQ(dialogs.boxes[0].icon, Icon::None);
    EXPECT_FALSE(dialogs.boxes[0].busyCursor) << "the pointer is back before the box";
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
}

TEST_F(AddCommands, AddFolderCancelledChangesNothing) {
    dialogs.folders.push_back("");
    window.CmdAddFolder_Click();
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_TRUE(Rows().empty());
    EXPECT_FALSE(window.CmdExtractDBXEnabled());
}

TEST_F(AddCommands, AFolderEndingInASeparatorGetsNoSecond) {
    TempTree t;
    t.file("one.msg");
    dialogs.folders.push_back(t.root() + "/");
    window.CmdAddFolder_Click();
    EXPECT_THAT(Rows(), ElementsAre(t.root() + "/one.msg"));
    EXPECT_EQ(dialogs.boxes.at(0).text, "1 Files Added to List.");
}

TEST_F(AddCommands, NoMessagesDisablesConvertEvenWithEarlierFiles) {
    dialogs.OpenReturns("/mail/a.msg");
    window.cmdAdd_Click();
    ASSERT_TRUE(window.CmdExtractDBXEnabled());
    TempTree t;
    t.file("readme.txt");
    t.file("x.msgx");
    dialogs.folders.push_back(t.root());
    window.CmdAddFolder_Click();
    EXPECT_EQ(dialogs.boxes.at(0).text, "0 Files Added to List.");
    EXPECT_FALSE(window.CmdExtractDBXEnabled());
    EXPECT_THAT(Rows(), ElementsAre("/mail/a.msg"));
}

TEST_F(AddCommands, AMissingFolderCountsZero) {
    dialogs.folders.push_back("/no/such/folder/here");
    window.CmdAddFolder_Click();
    EXPECT_EQ(dialogs.boxes.at(0).text, "0 Files Added to List.");
}

TEST_F(AddCommands, TheSameFolderTwiceListsEachFileTwice) {
    MailTree tree;
    dialogs.folders.push_back(tree.t.root());
    dialogs.folders.push_back(tree.t.root());
    window.CmdAddFolder_Click();
    window.CmdAddFolder_Click();
    auto twice = tree.Accepted();
    auto again = tree.Accepted();
    twice.insert(twice.end(), again.begin(), again.end());
    EXPECT_THAT(Rows(), UnorderedElementsAreArray(twice));
    EXPECT_EQ(dialogs.boxes.at(1).text, "5 Files Added to List.") << "each box counts its own";
}

TEST_F(AddCommands, AddFolderYieldsUnderTheHourglass) {
    MailTree tree;
    dialogs.folders.push_back(tree.t.root());
    int yields = 0;
    bool busyDuringYield = false;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        ++yields;
        busyDuringYield = busyDuringYield || QGuiApplication::overrideCursor() != nullptr;
    });
    ticker.start(0);
    window.CmdAddFolder_Click();
    ticker.stop();
    EXPECT_GT(yields, 0) << "the listing processed pending events";
    EXPECT_TRUE(busyDuringYield);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(AddCommands, ClosingTheWindowDuringAddFolderStopsIt) {
    MailTree tree;
    dialogs.folders.push_back(tree.t.root());
    QTimer::singleShot(0, &window, [&] { window.close(); });
    window.show();
    window.CmdAddFolder_Click();
    EXPECT_TRUE(window.Unloaded());
    EXPECT_TRUE(dialogs.boxes.empty()) << "the program is ending: no count box";
    EXPECT_LT(Rows().size(), tree.Accepted().size());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(AddCommands, AClearDuringAddFolderEmptiesTheListAndTheRestFollows) {
    dialogs.OpenReturns("/mail/early.msg");
    window.cmdAdd_Click();
    MailTree tree;
    dialogs.folders.push_back(tree.t.root());
    dialogs.answers.push_back(Answer::Yes);
    QTimer::singleShot(0, &window, [&] { window.cmdClear1_Click(); });  // at the first yield
    window.CmdAddFolder_Click();
    EXPECT_THAT(Rows(), UnorderedElementsAreArray(tree.Accepted()));
    ASSERT_EQ(dialogs.boxes.size(), 2u);
    EXPECT_EQ(dialogs.boxes[0].buttons, Buttons::YesNo) << "the Clear question came first";
    EXPECT_EQ(dialogs.boxes[1].text, "5 Files Added to List.");
}

TEST_F(AddCommands, AClearHalfwayThroughAddFolderLeavesACountThatAgreesWithTheList) {
    MailTree tree;
    dialogs.folders.push_back(tree.t.root());
    dialogs.answers.push_back(Answer::Yes);
    QTimer clearer;
    QObject::connect(&clearer, &QTimer::timeout, &window, [&] {
        if (Rows().size() < 2) return;
        clearer.stop();
        window.cmdClear1_Click();
    });
    clearer.start(0);
    window.CmdAddFolder_Click();
    ASSERT_EQ(dialogs.boxes.size(), 2u);
    EXPECT_EQ(dialogs.boxes[0].buttons, Buttons::YesNo) << "the Clear question came halfway";
    EXPECT_LT(Rows().size(), tree.Accepted().size());
    EXPECT_EQ(dialogs.boxes[1].text, std::to_string(Rows().size()) + " Files Added to List.");
    EXPECT_EQ(window.CmdExtractDBXEnabled(), !Rows().empty());
}

TEST_F(AddCommands, ASecondAddFolderDuringAYieldRunsToItsEndAndCountsItsOwn) {
    MailTree tree;
    TempTree other;
    other.file("inner.msg");
    dialogs.folders.push_back(tree.t.root());
    dialogs.folders.push_back(other.root());
    QTimer::singleShot(0, &window, [&] { window.CmdAddFolder_Click(); });
    window.CmdAddFolder_Click();
    auto all = tree.Accepted();
    all.push_back(other.path("inner.msg"));
    EXPECT_THAT(Rows(), UnorderedElementsAreArray(all));
    ASSERT_EQ(dialogs.boxes.size(), 2u);
    EXPECT_EQ(dialogs.boxes[0].text, "1 Files Added to List.");
    EXPECT_EQ(dialogs.boxes[1].text, "5 Files Added to List.");
}

// A folder chain whose full path outgrows PATH_MAX: it is made and removed
// through directory handles, and a walk into it fails when it lists the
// folder beyond the limit, even for root.
class TooDeep {
  public:
    explicit TooDeep(const std::string& parent) : parent_(parent) {
        int fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY);
        for (int i = 0; i < kLevels && fd >= 0; ++i) {
            ::mkdirat(fd, kName.c_str(), 0700);
            int next = ::openat(fd, kName.c_str(), O_RDONLY | O_DIRECTORY);
            ::close(fd);
            fd = next;
        }
        if (fd >= 0) ::close(fd);
    }
    ~TooDeep() {
        int fd = ::open(parent_.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd >= 0) {
            RemoveChain(fd, 0);
            ::close(fd);
        }
    }

  private:
    static void RemoveChain(int fd, int depth) {
        int next = ::openat(fd, kName.c_str(), O_RDONLY | O_DIRECTORY);
        if (next >= 0) {
            if (depth < kLevels) RemoveChain(next, depth + 1);
            ::close(next);
        }
        ::unlinkat(fd, kName.c_str(), AT_REMOVEDIR);
    }
    static constexpr int kLevels = 24;  // 24 * 201 characters > PATH_MAX (4096)
    inline static const std::string kName = std::string(200, 'd');
    std::string parent_;
};

TEST_F(AddCommands, AFolderThatCannotBeReadIsSkippedAndNamedInTheBox) {
    TempTree t;
    for (const char* f : {"a.msg", "locked/b.msg", "z/c.msg"}) t.file(f);
    TooDeep deep(t.root());
    std::filesystem::permissions(t.path("locked"), std::filesystem::perms::none);
    // Root lists the locked folder anyway; the chain past PATH_MAX stops
    // everyone.
    const bool root = ::geteuid() == 0;
    dialogs.folders.push_back(t.root());
    window.CmdAddFolder_Click();
    std::vector<std::string> rows = {t.path("a.msg"), t.path("z/c.msg")};
    if (root) rows.insert(rows.begin() + 1, t.path("locked/b.msg"));
    EXPECT_EQ(Rows(), rows);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    const std::string& text = dialogs.boxes[0].text;
    EXPECT_EQ(text.rfind(std::to_string(rows.size()) + " Files Added to List.\n\n", 0), 0u) << text;
    EXPECT_NE(text.find(root ? "This folder could not be read and was skipped:\n"
                             : "These 2 folders could not be read and were skipped:\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(": list folder failed: File name too long"), std::string::npos) << text;
    if (!root) {
        EXPECT_NE(text.find("\n" + t.path("locked") + "/: list folder failed: Permission denied"),
                  std::string::npos)
            << text;
    }
    EXPECT_EQ(dialogs.boxes[0].title, kTitle);
    EXPECT_EQ(dialogs.boxes[0].icon, Icon::Exclamation);
    EXPECT_FALSE(dialogs.boxes[0].busyCursor);
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
}

TEST_F(AddCommands, TheChosenFolderUnreadableEndsAddFolderWithABox) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root lists a folder whatever its permissions, and a folder past "
                        "PATH_MAX cannot be chosen: no chosen folder fails to list here";
    }
    TempTree t;
    t.file("locked/b.msg");
    std::filesystem::permissions(t.path("locked"), std::filesystem::perms::none);
    dialogs.folders.push_back(t.path("locked"));
    window.CmdAddFolder_Click();
    std::filesystem::permissions(t.path("locked"), std::filesystem::perms::owner_all);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text,
              "75:" + t.path("locked") + "/: list folder failed: Permission denied");
    EXPECT_EQ(dialogs.boxes[0].icon, Icon::Exclamation);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(Rows().empty());
    EXPECT_FALSE(window.CmdExtractDBXEnabled());
}

TEST_F(AddCommands, AddFolderListsInNameOrderAsTheCommandLineDoes) {
    TempTree t;
    // Made in reverse and mixed case, so a listing in creation or hash order
    // would not come out sorted.
    for (int i = 30; i >= 0; --i) {
        t.file((i % 2 ? "Copy" : "copy") + std::string(i < 10 ? "0" : "") + std::to_string(i) +
               ".msg");
    }
    for (const char* f : {"b/x.msg", "A/y.msg", "_/z.msg"}) t.file(f);
    dialogs.folders.push_back(t.root());
    window.CmdAddFolder_Click();
    std::vector<std::string> expected;
    for (int i = 0; i <= 30; ++i) {
        expected.push_back(t.path((i % 2 ? "Copy" : "copy") + std::string(i < 10 ? "0" : "") +
                                  std::to_string(i) + ".msg"));
    }
    for (const char* f : {"A/y.msg", "b/x.msg", "_/z.msg"}) expected.push_back(t.path(f));
    EXPECT_EQ(Rows(), expected);
    shell::SourceRows cli({{t.root(), true}});
    ASSERT_EQ(cli.Count(), int64_t(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(*cli.Row(int64_t(i)), expected[i]);
}

// --- Drag and drop --------------------------------------------------------

void Drop(frmStep1& window, const std::vector<std::string>& paths) {
    QMimeData mime;
    QList<QUrl> urls;
    for (const std::string& p : paths) urls << QUrl::fromLocalFile(QString::fromStdString(p));
    mime.setUrls(urls);
    QWidget* target = qobject_cast<QTableWidget*>(window.control("grdFiles1"))->viewport();
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &drop);
    EXPECT_TRUE(drop.isAccepted());
    QCoreApplication::processEvents();  // the drop is listed once it has returned
}

TEST_F(AddCommands, DroppingAFolderWalksItLikeAddFolder) {
    MailTree tree;
    Drop(window, {tree.t.root()});
    EXPECT_THAT(Rows(), UnorderedElementsAreArray(tree.Accepted()));
    EXPECT_EQ(dialogs.boxes.at(0).text, "5 Files Added to List.");
    EXPECT_EQ(dialogs.boxes.at(0).icon, Icon::None);
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
}

TEST_F(AddCommands, DroppingFilesListsOnlyTheMessagesInDropOrder) {
    TempTree t;
    t.file("b.msg");
    t.file("a.MSG");
    t.file("c.txt");
    Drop(window, {t.path("b.msg"), t.path("c.txt"), t.path("a.MSG")});
    EXPECT_THAT(Rows(), ElementsAre(t.path("b.msg"), t.path("a.MSG")));
    EXPECT_EQ(dialogs.boxes.at(0).text, "2 Files Added to List.");
}

TEST_F(AddCommands, ADropWithoutMessagesLeavesConvertAlone) {
    dialogs.OpenReturns("/mail/a.msg");
    window.cmdAdd_Click();
    TempTree t;
    t.file("c.txt");
    Drop(window, {t.path("c.txt")});
    EXPECT_EQ(dialogs.boxes.at(0).text, "0 Files Added to List.");
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
}

}  // namespace
}  // namespace qm::app
