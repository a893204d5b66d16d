// The add commands through the Dialogs seam: files from the Open dialog, the
// .msg files of a real folder tree, and files or folders dropped on the list.
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QMimeData>
#include <QTableWidget>
#include <QTimer>
#include <QUrl>
#include <filesystem>

#include <fcntl.h>
#include <sys/resource.h>
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
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAreArray;
using namespace std::string_literals;

std::string Added(size_t n) {
    return std::to_string(n) + " Files Added to List.";
}

class AddCommands : public ::testing::Test {
  protected:
    AddCommands() {
        window.SetEndProgram([] {});
    }

    void AddFolder(const std::string& folder) {
        dialogs.folders.push_back(folder);
        window.CmdAddFolder_Click();
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const auto& b : dialogs.boxes) out.push_back(b.text);
        return out;
    }
    std::vector<std::string> Rows() {
        std::vector<std::string> rows;
        for (int r = 0; r < window.grdFiles1().Rows(); ++r)
            rows.push_back(window.grdFiles1().TextMatrix(r, 0));
        if (rows == std::vector<std::string>{""}) rows.clear();
        return rows;
    }

    test::FakeDialogs dialogs;
    frmStep1 window{dialogs};
};

TEST_F(AddCommands, OpenDialogIsSetUpAfreshEachTimeAndItsFilesListed) {
    dialogs.OpenReturns("");  // cancelled: nothing changes
    window.cmdAdd_Click();
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_FALSE(window.CmdExtractDBXEnabled());
    dialogs.OpenReturns("/mail/a.msg");
    dialogs.OpenReturns("/mail\0b.msg\0c.msg"s);
    dialogs.OpenReturns("/\0r.msg\0s.msg\0"s);
    for (int i = 0; i < 3; ++i) window.cmdAdd_Click();
    EXPECT_THAT(Rows(),
                ElementsAre("/mail/a.msg", "/mail/b.msg", "/mail/c.msg", "/r.msg", "/s.msg"));
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
    EXPECT_TRUE(dialogs.boxes.empty());
    ASSERT_EQ(dialogs.openCalls.size(), 4u);
    for (const CommonDialog& d : dialogs.openCalls) {
        EXPECT_EQ(d.FileName, "") << "the name box starts empty every time";
        EXPECT_EQ(d.Filter, "Email Messages (*.msg)|*.msg");
        EXPECT_EQ(d.Flags, 0x80200);
        EXPECT_EQ(d.MaxFileSize, 1000);
    }
}

TEST_F(AddCommands, DialogFailuresShowABoxAndAddNothing) {
    for (const int error : {kErrFileNameBufferTooSmall, 32755}) {
        dialogs.opens.push_back(
            [&](const CommonDialog&) -> std::string { throw NumberedError(error, "Cancelled."); });
        window.cmdAdd_Click();
        EXPECT_EQ(dialogs.boxes.back().title, "Quillmark MSG to PST Converter");
        EXPECT_EQ(dialogs.boxes.back().buttons, Buttons::OK);
        EXPECT_EQ(dialogs.boxes.back().icon, Icon::Exclamation);
    }
    EXPECT_THAT(Texts(), ElementsAre("Please select only 29 files at a time", "32755:Cancelled."));
    EXPECT_TRUE(Rows().empty());
    EXPECT_FALSE(window.CmdExtractDBXEnabled());
}

// Names the .msg test must accept and refuse, made out of name order
// (copy14 before Copy04, as readdir may list them).
struct MailTree {
    TempTree t;
    MailTree() {
        for (const char* f :
             {"copy14.msg", "Copy04.msg", "b.Msg", "a.MSG", "c.msgx", "d.ms", "e.msg  ",
              "notes.txt", "sub/deep/h.doc", "sub/deep/g.msg", "sub/f.msg", "_/z.msg", "A/y.msg"})
            t.file(f);
    }
    // Breadth first, each folder's files then its sub-folders in name order.
    std::vector<std::string> Accepted() const {
        std::vector<std::string> out;
        for (const char* f : {"a.MSG", "b.Msg", "Copy04.msg", "copy14.msg", "e.msg  ", "A/y.msg",
                              "sub/f.msg", "_/z.msg", "sub/deep/g.msg"})
            out.push_back(t.path(f));
        return out;
    }
};

TEST_F(AddCommands, AddFolderListsEveryMsgFileInNameOrderAsTheCommandLineDoes) {
    MailTree tree;
    bool busyDuringYield = false;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        busyDuringYield = busyDuringYield || QGuiApplication::overrideCursor() != nullptr;
    });
    ticker.start(0);
    AddFolder(tree.t.root());
    ticker.stop();
    EXPECT_TRUE(busyDuringYield) << "the listing yields under the hourglass";
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_THAT(dialogs.folderTitles, ElementsAre("Choose Source Folder..."));
    EXPECT_EQ(Rows(), tree.Accepted());
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].text, Added(tree.Accepted().size()));
    EXPECT_EQ(dialogs.boxes[0].buttons, Buttons::OK);
    EXPECT_EQ(dialogs.boxes[0].icon, Icon::None);
    EXPECT_FALSE(dialogs.boxes[0].busyCursor) << "the pointer is back before the box";
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
    shell::SourceRows cli({{tree.t.root(), true}});
    ASSERT_EQ(cli.Count(), int64_t(tree.Accepted().size()));
    for (size_t i = 0; i < tree.Accepted().size(); ++i)
        EXPECT_EQ(*cli.Row(int64_t(i)), tree.Accepted()[i]);
    // The same folder again lists each file twice; each box counts its own.
    AddFolder(tree.t.root());
    std::vector<std::string> twice = tree.Accepted();
    for (const auto& f : tree.Accepted()) twice.push_back(f);
    EXPECT_EQ(Rows(), twice);
    EXPECT_EQ(dialogs.boxes.at(1).text, Added(tree.Accepted().size()));
}

TEST_F(AddCommands, AddFolderCountsWhatItAddedAndSetsConvertByIt) {
    AddFolder("");  // cancelled: no box
    AddFolder("/no/such/folder/here");
    EXPECT_FALSE(window.CmdExtractDBXEnabled());
    dialogs.OpenReturns("/mail/a.msg");
    window.cmdAdd_Click();
    TempTree t;
    t.file("readme.txt");
    AddFolder(t.root());
    EXPECT_FALSE(window.CmdExtractDBXEnabled()) << "no messages: off, whatever was listed";
    t.file("one.msg");
    AddFolder(t.root() + "/");  // no second separator
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
    EXPECT_THAT(Texts(), ElementsAre(Added(0), Added(0), Added(1)));
    EXPECT_THAT(Rows(), ElementsAre("/mail/a.msg", t.root() + "/one.msg"));
}

TEST_F(AddCommands, ClosingTheWindowDuringAddFolderStopsIt) {
    MailTree tree;
    QTimer::singleShot(0, &window, [&] { window.close(); });
    window.show();
    AddFolder(tree.t.root());
    EXPECT_TRUE(window.Unloaded());
    EXPECT_TRUE(dialogs.boxes.empty()) << "the program is ending: no count box";
    EXPECT_LT(Rows().size(), tree.Accepted().size());
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

// A Clear at the first yield or halfway: the rows before it go, the rest
// follow, and the count box agrees with the list.
TEST_F(AddCommands, AClearDuringAddFolderLeavesACountThatAgreesWithTheList) {
    MailTree tree;
    for (const size_t clearAt : {0u, 3u}) {
        SCOPED_TRACE(clearAt);
        dialogs.boxes.clear();
        dialogs.OpenReturns("/mail/early.msg");
        window.cmdAdd_Click();
        dialogs.answers.push_back(Answer::Yes);
        const size_t before = Rows().size();
        QTimer clearer;
        QObject::connect(&clearer, &QTimer::timeout, &window, [&] {
            if (Rows().size() < before + clearAt) return;
            clearer.stop();
            window.cmdClear1_Click();
        });
        clearer.start(0);
        AddFolder(tree.t.root());
        const std::vector<std::string> rows = Rows();
        EXPECT_THAT(Texts(), ElementsAre(::testing::_, Added(rows.size())));
        EXPECT_EQ(dialogs.boxes.at(0).buttons, Buttons::YesNo) << "the Clear question came first";
        if (clearAt == 0) {
            EXPECT_EQ(rows, tree.Accepted());
        } else {
            EXPECT_LT(rows.size(), tree.Accepted().size());
        }
        EXPECT_EQ(window.CmdExtractDBXEnabled(), !rows.empty());
    }
}

TEST_F(AddCommands, ASecondAddFolderDuringAYieldRunsToItsEndAndCountsItsOwn) {
    MailTree tree;
    TempTree other;
    other.file("inner.msg");
    dialogs.folders = {tree.t.root(), other.root()};
    QTimer::singleShot(0, &window, [&] { window.CmdAddFolder_Click(); });
    window.CmdAddFolder_Click();
    auto all = tree.Accepted();
    all.push_back(other.path("inner.msg"));
    EXPECT_THAT(Rows(), UnorderedElementsAreArray(all));
    EXPECT_THAT(Texts(), ElementsAre(Added(1), Added(tree.Accepted().size())));
}

// A folder chain whose full path outgrows PATH_MAX (24 * 201 > 4096), made
// through directory handles: listing its last folder fails even for root.
void MakeTooDeep(const std::string& parent) {
    const std::string name(200, 'd');
    int fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 24 && fd >= 0; ++i) {
        ::mkdirat(fd, name.c_str(), 0700);
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    if (fd >= 0) ::close(fd);
}

TEST_F(AddCommands, AFolderThatCannotBeReadIsSkippedAndNamedInTheBox) {
    TempTree t;
    for (const char* f : {"a.msg", "locked/b.msg", "z/c.msg"}) t.file(f);
    t.dir("deep");
    MakeTooDeep(t.path("deep"));
    std::filesystem::permissions(t.path("locked"), std::filesystem::perms::none);
    const bool root = ::geteuid() == 0;  // whom the locked folder does not stop
    AddFolder(t.root());
    // rm walks the chain through handles; std::filesystem cannot.
    EXPECT_EQ(std::system(("rm -rf '" + t.path("deep") + "'").c_str()), 0);
    std::vector<std::string> rows = {t.path("a.msg"), t.path("z/c.msg")};
    if (root) rows.insert(rows.begin() + 1, t.path("locked/b.msg"));
    EXPECT_EQ(Rows(), rows);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    const std::string& text = dialogs.boxes[0].text;
    EXPECT_EQ(text.rfind(Added(rows.size()) + "\n\n", 0), 0u) << text;
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
    EXPECT_EQ(dialogs.boxes[0].icon, Icon::Exclamation);
    EXPECT_FALSE(dialogs.boxes[0].busyCursor);
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
}

TEST_F(AddCommands, TheChosenFolderUnreadableEndsAddFolderWithABox) {
    // Permission bits do not stop root, but running out of file descriptors
    // does: either way the chosen folder cannot be listed.
    TempTree t;
    t.file("chosen/b.msg");
    std::string cause = "Permission denied";
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (::geteuid() == 0) {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "as root only a lack of file descriptors stops a listing, and the "
                        "sanitizers' runtime needs descriptors of its own";
#endif
        cause = "Too many open files";
        rlimit none = saved;
        none.rlim_cur = 0;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
    } else {
        std::filesystem::permissions(t.path("chosen"), std::filesystem::perms::none);
    }
    AddFolder(t.path("chosen"));
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_THAT(Texts(), ElementsAre("75:" + t.path("chosen") + "/: list folder failed: " + cause));
    EXPECT_EQ(dialogs.boxes.at(0).icon, Icon::Exclamation);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(Rows().empty());
    EXPECT_FALSE(window.CmdExtractDBXEnabled());
}

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

TEST_F(AddCommands, DropsListMessagesInDropOrderAndWalkFoldersLikeAddFolder) {
    TempTree t;
    for (const char* f : {"b.msg", "a.MSG", "c.txt"}) t.file(f);
    Drop(window, {t.path("b.msg"), t.path("c.txt"), t.path("a.MSG")});
    Drop(window, {t.path("c.txt")});
    EXPECT_TRUE(window.CmdExtractDBXEnabled()) << "a drop without messages leaves Convert alone";
    MailTree tree;
    Drop(window, {tree.t.root()});
    std::vector<std::string> rows = {t.path("b.msg"), t.path("a.MSG")};
    for (const auto& f : tree.Accepted()) rows.push_back(f);
    EXPECT_EQ(Rows(), rows);
    EXPECT_THAT(Texts(), ElementsAre(Added(2), Added(0), Added(tree.Accepted().size())));
    EXPECT_EQ(dialogs.boxes.at(2).icon, Icon::None);
}

}  // namespace
}  // namespace qm::app
