// The window offscreen, over scripted dialogs; the Qt dialogs answered by a
// timer acting on them as a user would.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>
#include <QtTest>
#include <QtWidgets>

#include <deque>
#include <filesystem>
#include <fstream>

#include "app/conversion_run.h"
#include "app/frame_box.h"
#include "app/frm_step1.h"
#include "app/layout.h"
#include "app/open_result.h"
#include "app/progress_bar.h"
#include "app/qt_dialogs.h"
#include "app/shape.h"
#include "app/window_host.h"
#include "run_fixture.h"
#include "shell/browse_folder.h"
#include "shell/runtime_error.h"

namespace qm::app {
namespace {

using qm::testing::errorOf;
using qm::testing::ScratchDir;
using namespace std::string_literals;
using Rows = std::vector<std::string>;
namespace fs = std::filesystem;

const std::string kTitle = "Quillmark MSG to PST Converter";
const std::string kClearQuestion = "Do you want to clear all the files in the list\r\n Proceed?";
const std::string kExitQuestion = "Are you sure you want to exit now?";

struct ShownBox {
    std::string text, title;
    Buttons buttons;
    Icon icon;
    std::string details;
    bool busyCursor;  // the hourglass was still up when the box appeared
    bool operator==(const ShownBox&) const = default;
};
ShownBox Box(const std::string& text, Icon icon = Icon::None, Buttons buttons = Buttons::OK) {
    return {text, kTitle, buttons, icon, "", false};
}

// The Dialogs seam, scripted and recording; an unscripted call fails the test.
class FakeDialogs : public Dialogs {
  public:
    std::deque<Answer> answers;
    std::deque<std::function<std::string(const CommonDialog&)>> opens;
    std::deque<std::string> folders;
    std::vector<ShownBox> boxes;

    Answer MsgBox(const std::string& text, const std::string& title, Buttons buttons, Icon icon,
                  const std::string& details) override {
        boxes.push_back(
            {text, title, buttons, icon, details, QGuiApplication::overrideCursor() != nullptr});
        return buttons == Buttons::OK ? Answer::OK : Next(answers, "question: " + text, Answer::No);
    }
    std::string ShowOpen(const CommonDialog& dialog) override {
        const auto keep = [](const CommonDialog& d) { return d.FileName; };
        return Next(opens, "Open dialog", {keep})(dialog);
    }
    std::string BrowseFolder(const std::string&) override {
        return Next(folders, "folder dialog", std::string());
    }
    void OpenReturns(std::string text) {
        opens.push_back([text](const CommonDialog&) { return text; });
    }
    Rows Texts() const {
        Rows out;
        for (const auto& b : boxes) out.push_back(b.text);
        return out;
    }

  private:
    template <class T>
    static T Next(std::deque<T>& script, const std::string& what, T otherwise) {
        if (script.empty()) {
            ADD_FAILURE() << "unexpected " << what;
            return otherwise;
        }
        T next = std::move(script.front());
        script.pop_front();
        return next;
    }
};

int Px(int twips) {
    return static_cast<int>(std::lround(twips / 15.0));
}
QColor Rgb(int rgb) {
    return QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}
QString CaptionOf(QWidget* w) {
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* b = qobject_cast<QPushButton*>(w)) return b->text();
    if (auto* f = qobject_cast<FrameBox*>(w)) return f->title();
    return {};
}
std::string Added(size_t n) {
    return std::to_string(n) + " Files Added to List.";
}
void Touch(const ScratchDir& root, std::initializer_list<const char*> files) {
    for (const char* f : files) root.touch(f);
}

class Window : public ::testing::Test {
  protected:
    Window() {
        window.SetEndProgram([this] { ++ends; });
    }
    void Add(const std::string& path) {
        dialogs.OpenReturns(path);
        window.cmdAdd_Click();
    }
    void AddFolder(const std::string& folder) {
        dialogs.folders.push_back(folder);
        window.CmdAddFolder_Click();
    }
    QTableWidget* Table() { return qobject_cast<QTableWidget*>(window.control("grdFiles1")); }
    Rows Listed() {  // none for the one empty row of an empty list
        Rows rows;
        for (int r = 0; r < window.grdFiles1().Rows(); ++r)
            rows.push_back(window.grdFiles1().TextMatrix(r, 0));
        return rows == Rows{""} ? Rows{} : rows;
    }
    std::string Counter() {
        return qobject_cast<QLabel*>(window.control("lblCount1"))->text().toStdString();
    }
    void ExpectAsked(const std::string& text) {
        EXPECT_EQ(dialogs.boxes, std::vector{Box(text, Icon::Question, Buttons::YesNo)});
        dialogs.boxes.clear();
    }

    FakeDialogs dialogs;
    frmStep1 window{dialogs};
    int ends = 0;
};
class AddCommands : public Window {};

// Each control where its layout entry puts it, at 15 twips to the pixel.
TEST_F(Window, EveryControlAsDesignedTheBandsThePanelAndTheGrid) {
    for (const layout::Control& c : layout::kControls) {
        const std::string name(c.name);
        SCOPED_TRACE(name);
        QWidget* w = window.control(name);
        if (c.kind == layout::Kind::FileDialog) {
            EXPECT_EQ(w, nullptr) << "the Open dialog has no widget of its own";
            continue;
        }
        ASSERT_NE(w, nullptr);
        const std::string container(c.container);
        EXPECT_EQ(w->parentWidget(), container.empty() ? &window : window.control(container));
        EXPECT_EQ(w->geometry(), QRect(Px(c.left), Px(c.top), Px(c.width), Px(c.height)));
        EXPECT_EQ(CaptionOf(w).toStdString(), c.caption);
        if (c.font != layout::Font::None) {
            const bool title = c.font == layout::Font::Title;
            EXPECT_EQ(std::tuple(w->font().family(), w->font().pointSizeF(), w->font().bold()),
                      std::tuple(QStringLiteral("Tahoma"), title ? 14.25 : 8.25, title));
        }
        if (auto* shape = qobject_cast<ShapeWidget*>(w)) {
            EXPECT_EQ(shape->fillColor(), Rgb(c.background));
            EXPECT_EQ(shape->outlineColor(), Rgb(c.outline));
        }
    }
    EXPECT_FALSE(window.grab().isNull()) << "every control paints";
    for (QSize s : {window.minimumSize(), window.maximumSize()}) EXPECT_EQ(s, QSize(543, 450));
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    FlexGrid& grid = window.grdFiles1();
    EXPECT_EQ(std::tuple(grid.Rows(), grid.Cols(), grid.FixedRows(), grid.Text(), grid.ColWidth(0)),
              std::tuple(1, 1, 0, std::string(), 50000));
    EXPECT_EQ(Table()->editTriggers(), QAbstractItemView::NoEditTriggers);
}

// Duplicates and exact bytes kept; Clear and Exit act only on Yes.
TEST_F(Window, SourceListAddingClearingExitAndClosing) {
    window.cmdClear1_Click();
    EXPECT_TRUE(dialogs.boxes.empty()) << "nothing to clear, nothing asked";
    const std::string latin1 = "/m/caf\xe9.msg";  // not UTF-8, as Linux allows
    Rows expected;
    for (const std::string& path : {"/m/a.msg"s, "/m/b.msg"s, "/m/a.msg"s, latin1}) {
        Add(path);
        expected.push_back(path);
        EXPECT_EQ(Listed(), expected);
        EXPECT_EQ(Counter(), std::to_string(expected.size()) + " files");
    }
    dialogs.answers = {Answer::No, Answer::Yes};
    window.cmdClear1_Click();
    ExpectAsked(kClearQuestion);
    EXPECT_EQ(Listed(), expected);
    EXPECT_EQ(std::pair(window.grdFiles1().Row(), window.grdFiles1().Col()), std::pair(0, 0))
        << "No still moves the current cell";
    window.cmdClear1_Click();
    ExpectAsked(kClearQuestion);
    EXPECT_EQ(std::pair(Listed(), Counter()), std::pair(Rows{}, "0 files"s));
    EXPECT_FALSE(window.CmdExtractDBXEnabled()) << "an empty list has nothing to convert";
    Add("/m/c.msg");
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
    window.show();
    dialogs.answers = {Answer::No, Answer::Yes};
    for (int ended : {0, 1}) {
        window.cmdEnd_Click();
        ExpectAsked(kExitQuestion);
        EXPECT_EQ(std::tuple(window.Unloaded(), ends, window.isVisible()),
                  std::tuple(ended == 1, ended, ended == 0));
    }
    EXPECT_FALSE(window.DoEvents()) << "a yielding command learns that it must stop";
}

// The keyboard on the shown window: focus starts on Add and Tab follows the
// tab indexes past what cannot take focus; an access key clicks its button
// only while it is enabled; Return and keypad Enter press the focused one.
TEST_F(Window, TheKeyboard) {
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    const auto focused = [] { return QApplication::focusWidget()->objectName().toStdString(); };
    EXPECT_EQ(focused(), "cmdAdd");
    for (const char* next : {"cmdClear1", "CmdAddFolder", "grdFiles1", "cmdEnd", "cmdAdd"}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(focused(), next);
    }
    int runs = 0;
    window.SetConvertHandler([&] { ++runs; });
    QTest::keyClick(&window, Qt::Key_M, Qt::AltModifier);
    QTest::qWait(300);  // an access key clicks after showing the press
    EXPECT_EQ(runs, 0) << "Alt+M on the disabled button";
    Add("/m/a.msg");
    QTest::keyClick(&window, Qt::Key_M, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return runs == 1; }));
    window.control("CmdExtractDBX")->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return runs == 2; }));
    const std::pair<const char*, Qt::Key> exits[] = {{"cmdEnd", Qt::Key_Enter}, {"", Qt::Key_X}};
    for (const auto& [focus, key] : exits) {
        dialogs.answers.push_back(Answer::No);
        if (*focus) window.control(focus)->setFocus();
        QTest::keyClick(*focus ? QApplication::focusWidget() : &window, key,
                        *focus ? Qt::KeypadModifier : Qt::AltModifier);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !dialogs.boxes.empty(); })) << focus;
        ExpectAsked(kExitQuestion);
    }
}

// A cancelled dialog or folder changes nothing; Convert follows what the
// last folder command added.
TEST_F(AddCommands, TheOpenDialogAndTheFolderCount) {
    dialogs.OpenReturns("");
    window.cmdAdd_Click();
    AddFolder("");
    AddFolder("/no/such/folder/here");
    for (const int error : {kErrFileNameBufferTooSmall, 32755}) {
        dialogs.opens.push_back(
            [&](const CommonDialog&) -> std::string { throw NumberedError(error, "Cancelled."); });
        window.cmdAdd_Click();
    }
    EXPECT_EQ(
        dialogs.boxes,
        (std::vector{Box(Added(0)), Box("Please select only 29 files at a time", Icon::Exclamation),
                     Box("32755:Cancelled.", Icon::Exclamation)}));
    EXPECT_FALSE(window.CmdExtractDBXEnabled());
    dialogs.boxes.clear();
    for (const std::string& text : {"/mail/a.msg"s, "/mail\0b.msg\0c.msg"s}) Add(text);
    EXPECT_EQ(Listed(), (Rows{"/mail/a.msg", "/mail/b.msg", "/mail/c.msg"}));
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
    ScratchDir t;
    Touch(t, {"readme.txt"});
    AddFolder(t.str());
    EXPECT_FALSE(window.CmdExtractDBXEnabled()) << "no messages: off, whatever was listed";
    Touch(t, {"one.msg"});
    AddFolder(t.str() + "/");
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
    EXPECT_EQ(dialogs.Texts(), (Rows{Added(0), Added(1)}));
    EXPECT_EQ(Listed().back(), t.str() + "/one.msg") << "no second separator";
}

// Names the .msg test must accept and refuse, made out of name order; the
// accepted ones breadth first, each folder's files then its sub-folders.
struct MailTree {
    ScratchDir t;
    MailTree() {
        Touch(t,
              {"copy14.msg", "Copy04.msg", "b.Msg", "a.MSG", "c.msgx", "d.ms", "e.msg  ",
               "notes.txt", "sub/deep/h.doc", "sub/deep/g.msg", "sub/f.msg", "_/z.msg", "A/y.msg"});
    }
    Rows Accepted() const {
        Rows out;
        for (const char* f : {"a.MSG", "b.Msg", "Copy04.msg", "copy14.msg", "e.msg  ", "A/y.msg",
                              "sub/f.msg", "_/z.msg", "sub/deep/g.msg"})
            out.push_back((t / f).string());
        return out;
    }
};

// Add Folder yields under the hourglass, gone before the box. A Clear
// halfway drops the rows before it; the count box agrees with the list.
TEST_F(AddCommands, ASecondAddFolderAClearOrClosingDuringAYield) {
    MailTree tree;
    ScratchDir other;
    Touch(other, {"inner.msg"});
    dialogs.folders = {tree.t.str(), other.str()};
    QTimer::singleShot(0, &window, [&] { window.CmdAddFolder_Click(); });
    window.CmdAddFolder_Click();
    Rows all = tree.Accepted();
    all.push_back((other / "inner.msg").string());
    EXPECT_THAT(Listed(), ::testing::UnorderedElementsAreArray(all));
    EXPECT_EQ(dialogs.Texts(), (Rows{Added(1), Added(tree.Accepted().size())}));
    FakeDialogs quiet;
    frmStep1 closing(quiet);
    closing.SetEndProgram([] {});
    quiet.folders.push_back(tree.t.str());
    QTimer::singleShot(0, &closing, [&] { closing.close(); });
    closing.show();
    closing.CmdAddFolder_Click();
    EXPECT_TRUE(closing.Unloaded());
    EXPECT_TRUE(quiet.boxes.empty()) << "the program is ending: no count box";
    EXPECT_LT(closing.grdFiles1().Rows(), int32_t(tree.Accepted().size()));
    dialogs.boxes.clear();
    dialogs.answers.push_back(Answer::Yes);
    const size_t before = Listed().size();
    bool busy = false;
    QTimer clearer;
    QObject::connect(&clearer, &QTimer::timeout, &window, [&] {
        busy = busy || QGuiApplication::overrideCursor() != nullptr;
        if (Listed().size() < before + 3) return;
        clearer.stop();
        window.cmdClear1_Click();
    });
    clearer.start(0);
    AddFolder(tree.t.str());
    EXPECT_TRUE(busy);
    EXPECT_FALSE(dialogs.boxes.back().busyCursor);
    const Rows rows = Listed();
    EXPECT_EQ(dialogs.Texts(), (Rows{kClearQuestion, Added(rows.size())}));
    EXPECT_TRUE(!rows.empty() && rows.size() < tree.Accepted().size()) << rows.size();
}

// Permission bits do not stop root, running out of file descriptors does; a
// folder deeper than PATH_MAX (24 * 201 > 4096) stops even root.
TEST_F(AddCommands, UnreadableFoldersEndAddFolderWithABoxOrAreSkippedAndNamed) {
    ScratchDir t;
    Touch(t, {"a.msg", "locked/b.msg", "z/c.msg", "deep/x"});
    fs::permissions(t / "locked", fs::perms::none);
    const bool root = ::geteuid() == 0;
    std::string cause = "Permission denied";
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (root) {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "as root only a lack of file descriptors stops a listing, and the "
                        "sanitizers' runtime needs descriptors of its own";
#endif
        cause = "Too many open files";
        rlimit none = saved;
        none.rlim_cur = 0;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
    }
    AddFolder((t / "locked").string());
    ::setrlimit(RLIMIT_NOFILE, &saved);
    const std::string chosen = "75:" + (t / "locked").string() + "/: list folder failed: " + cause;
    EXPECT_EQ(dialogs.boxes, std::vector{Box(chosen, Icon::Exclamation)});
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(Listed().empty());
    EXPECT_FALSE(window.CmdExtractDBXEnabled());
    dialogs.boxes.clear();
    int fd = ::open((t / "deep").c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 24 && fd >= 0; ++i) {
        ::mkdirat(fd, std::string(200, 'd').c_str(), 0700);
        const int next = ::openat(fd, std::string(200, 'd').c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    if (fd >= 0) ::close(fd);
    AddFolder(t.str());
    // rm walks the chain through handles; std::filesystem cannot.
    EXPECT_EQ(std::system(("rm -rf '" + (t / "deep").string() + "'").c_str()), 0);
    Rows rows = {(t / "a.msg").string(), (t / "z/c.msg").string()};
    if (root) rows.insert(rows.begin() + 1, (t / "locked/b.msg").string());
    EXPECT_EQ(Listed(), rows);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    const std::string& text = dialogs.boxes[0].text;
    EXPECT_TRUE(text.starts_with(Added(rows.size()) + "\n\n")) << text;
    EXPECT_THAT(text,
                ::testing::HasSubstr(root ? "This folder could not be read" : "These 2 folders"));
    EXPECT_THAT(text, ::testing::HasSubstr(": list folder failed: File name too long"));
    EXPECT_TRUE(root || text.find("\n" + (t / "locked").string() + "/: list") != text.npos);
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
}

TEST_F(AddCommands, DropsListMessagesInDropOrderAndWalkFoldersLikeAddFolder) {
    const auto drop = [&](const Rows& paths) {
        QMimeData mime;
        QList<QUrl> urls;
        for (const std::string& p : paths) urls << QUrl::fromLocalFile(QString::fromStdString(p));
        mime.setUrls(urls);
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(Table()->viewport(), &enter);
        EXPECT_TRUE(enter.isAccepted());
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(Table()->viewport(), &drop);
        EXPECT_TRUE(drop.isAccepted());
        QCoreApplication::processEvents();  // the drop is listed once it has returned
    };
    ScratchDir t;
    Touch(t, {"b.msg", "a.MSG", "c.txt"});
    drop({(t / "b.msg").string(), (t / "c.txt").string(), (t / "a.MSG").string()});
    drop({(t / "c.txt").string()});
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
    MailTree tree;
    drop({tree.t.str()});
    Rows rows = {(t / "b.msg").string(), (t / "a.MSG").string()};
    for (const auto& f : tree.Accepted()) rows.push_back(f);
    EXPECT_EQ(Listed(), rows);
    EXPECT_EQ(dialogs.boxes,
              (std::vector{Box(Added(2)), Box(Added(0)), Box(Added(tree.Accepted().size()))}));
}

TEST(FlexGrid, CurrentCellOrBarValueOutsideTheRangeIsAnError) {
    QTableWidget table;
    FlexGrid grid(&table);
    EXPECT_EQ(errorOf([&] { grid.SetRow(1); }), kErrInvalidRow);
    EXPECT_EQ(errorOf([&] { grid.SetCol(-1); }), kErrInvalidCol);
    EXPECT_EQ(errorOf([&] { grid.SetRows(0); }), kErrInvalidValue);
    grid.SetRows(3);
    grid.SetRow(2);
    grid.SetText("x");
    grid.SetRows(2);
    EXPECT_EQ(grid.Row(), 1) << "shrinking moves the current cell into the grid";
    grid.Clear();
    EXPECT_EQ(grid.Rows(), 2) << "Clear keeps the shape";
    table.setCurrentCell(0, 0);  // as a click on the first row does
    EXPECT_EQ(std::pair(grid.Row(), grid.Text()), std::pair(0, ""s));
    ProgressBarControl bar;  // single precision, as the old bars held it
    bar.SetValue(static_cast<float>(1.0 / 3.0 * 100.0));
    EXPECT_EQ(errorOf([&] { bar.SetValue(100.5f); }), kErrInvalidValue);
    EXPECT_EQ(errorOf([&] { bar.SetMax(0.0f); }), kErrInvalidValue);
    EXPECT_EQ(errorOf([&] { bar.SetMin(100.0f); }), kErrInvalidValue);
    EXPECT_EQ(bar.Value(), 33.333333333f) << "a refused setting changes nothing";
    bar.SetMax(20.0f);
    EXPECT_EQ(bar.Value(), 20.0f);
}

class WindowHostTest : public Window {
  protected:
    WindowHost host{window};
};

// Bars are drawn at the next yield, the full bar always before the closing
// commit.
TEST_F(WindowHostTest, ReadsTheListDrivesThePanelCommandsBoxesAndStop) {
    dialogs.OpenReturns("/m\0a.msg\0b.msg"s);
    window.cmdAdd_Click();
    ASSERT_EQ(host.Rows(), 2);
    host.SetCurrentCell(1, 0);
    EXPECT_EQ(host.Text(), "/m/b.msg");
    QCoreApplication::processEvents();
    EXPECT_EQ(window.grdFiles1().widget()->currentRow(), 1) << "shown at the next events";
    EXPECT_EQ(host.ListedRows(), (Rows{"/m/a.msg", "/m/b.msg"}));
    EXPECT_EQ(window.grdFiles1().Row(), 1) << "listing moves nothing";
    EXPECT_EQ(errorOf([&] { host.SetCurrentCell(2, 0); }), kErrInvalidRow);
    EXPECT_EQ(errorOf([&] { host.SetCurrentCell(int64_t{1} << 40, 0); }), kErrInvalidRow);
    host.SetProgressRange(ProgressBar::Overall, 0, 100);
    host.SetProgressRange(ProgressBar::CurrentFile, 200, 300);  // past the old maximum
    EXPECT_EQ(std::pair(window.ProgressBar2().Min(), window.ProgressBar2().Max()),
              std::pair(200.0f, 300.0f));
    host.SetProgressValue(ProgressBar::Overall, 50);
    host.SetProgressValue(ProgressBar::Overall, 66.666664f);
    EXPECT_EQ(window.ProgressBar1().value(), 0) << "drawn at the next yield";
    host.SetFrameCaption("Details : Converting - (2 of 3) file(s)");
    host.SetFolderCaption("Importing Messages... from (home\\ann)");
    EXPECT_EQ(window.FrameConversionCaption(), "Details : Converting - (2 of 3) file(s)");
    EXPECT_EQ(window.LblCurrentDBXCaption(), "Importing Messages... from (home\\ann)");
    host.DoEvents();
    EXPECT_EQ(window.ProgressBar1().value(), 6667);
    host.SetProgressValue(ProgressBar::Overall, 100);
    host.DoEvents();
    EXPECT_EQ(window.ProgressBar1().value(), window.ProgressBar1().maximum());
    host.SetSourceCommandsEnabled(false);
    for (const char* name : {"cmdAdd", "CmdAddFolder", "cmdClear1"})
        EXPECT_FALSE(window.control(name)->isEnabled()) << name;
    EXPECT_TRUE(window.control("cmdEnd")->isEnabled());
    dialogs.answers.push_back(Answer::Yes);
    window.cmdClear1_Click();
    host.SetConvertEnabled(true);
    EXPECT_FALSE(window.CmdExtractDBXEnabled()) << "the list is empty";
    dialogs.boxes.clear();
    host.MsgBox({"line one\r\nline two", kTitle, BoxIcon::Warning, "a.msg: broken"});
    EXPECT_EQ(dialogs.boxes, (std::vector<ShownBox>{{"line one\r\nline two", kTitle, Buttons::OK,
                                                     Icon::Exclamation, "a.msg: broken", false}}));
    EXPECT_FALSE(host.StopRequested());
    window.close();
    EXPECT_TRUE(host.StopRequested());
}

class WindowRun : public WindowHostTest {
  protected:
    WindowRun() {
        window.SetConvertHandler([this] { run.CmdExtractDBX_Click(); });
        qm::testing::writeMessage(src / "Mail/a.msg", qm::testing::testMessage("first"));
        qm::testing::writeMessage(src / "Mail/2009/b.msg", qm::testing::testMessage("second"));
        AddFolder(src.str());
        dialogs.boxes.clear();
    }
    void Convert() { qobject_cast<QPushButton*>(window.control("CmdExtractDBX"))->click(); }
    std::vector<fs::path> Stores() const {
        return {fs::directory_iterator(dst.path()), fs::directory_iterator()};
    }
    ScratchDir src, dst;
    ConversionRun run{host};
};

// An emptied list asks for no destination (the fake fails on an unscripted one).
TEST_F(WindowRun, ConvertWritesTheListedMessagesIntoANewStore) {
    dialogs.folders.push_back("");
    Convert();
    EXPECT_TRUE(Stores().empty() && dialogs.boxes.empty());
    dialogs.folders.push_back(dst.str());
    Convert();
    const auto stores = Stores();
    ASSERT_EQ(stores.size(), 1u);
    EXPECT_EQ(dialogs.boxes.size(), 1u);
    dialogs.answers.push_back(Answer::Yes);
    window.cmdClear1_Click();
    EXPECT_EQ(run.CmdExtractDBX_Click().outcome, RunOutcome::Cancelled);
    EXPECT_EQ(Stores().size(), 1u);
}

TEST_F(WindowRun, ClosingTheWindowStopsTheRunWithAValidStore) {
    dialogs.folders.push_back(dst.str());
    window.show();
    QTimer::singleShot(0, &window, [this] { window.close(); });
    Convert();
    EXPECT_TRUE(window.Unloaded());
    EXPECT_TRUE(dialogs.boxes.empty()) << "the program is ending: no end box";
    EXPECT_EQ(ends, 1) << "closing ends the program without a question";
    for (const auto& store : Stores()) EXPECT_EQ(qm::testing::checkFindings(store), "");
}

template <class D>
void WhenUp(std::function<void(D*)> act) {
    QTimer::singleShot(0, [act] {
        auto* dialog = qobject_cast<D*>(QApplication::activeModalWidget());
        if (dialog) return act(dialog);
        ADD_FAILURE() << "the dialog is not up";
    });
}

// Line breaks shown; Escape answers No; a folder comes back without a
// separator, the root with it; Cancel leaves FileName as it was set; 60
// names of 20 pass MaxFileSize.
TEST(QtDialogs, BoxesFolderAndOpenDialogsAnsweredAsAUserWould) {
    QtDialogs dialogs;
    QString shown;
    WhenUp<QMessageBox>([&](QMessageBox* box) {
        shown = box->text();
        box->button(QMessageBox::Yes)->click();
    });
    EXPECT_EQ(dialogs.MsgBox(kClearQuestion, kTitle, Buttons::YesNo, Icon::Question), Answer::Yes);
    EXPECT_EQ(shown, QStringLiteral("Do you want to clear all the files in the list\n Proceed?"));
    WhenUp<QMessageBox>([](QMessageBox* box) { box->reject(); });
    EXPECT_EQ(dialogs.MsgBox("Exit?", "t", Buttons::YesNo, Icon::Question), Answer::No);
    ScratchDir t;
    WhenUp<QFileDialog>([](QFileDialog* d) { d->reject(); });
    EXPECT_EQ(shell::BrowseFolder(nullptr, "Choose Source Folder..."), "");
    for (const std::string& path : {t.str(), "/"s}) {
        WhenUp<QFileDialog>([path](QFileDialog* d) {
            d->setDirectory(QString::fromStdString(path));
            d->selectFile(QString::fromStdString(path));
            QMetaObject::invokeMethod(d, "accept");  // as the dialog's own button does
        });
        EXPECT_EQ(shell::BrowseFolder(nullptr, "Choose Folder to Save..."), path);
    }
    std::string names;
    for (int i = 0; i < 60; ++i) {
        const std::string name = "message number " + std::to_string(i) + ".msg";
        std::ofstream(t / name) << "x";
        names += "\"" + name + "\" ";
    }
    const auto pick = [&](const std::string& typed) {
        WhenUp<QFileDialog>([folder = t.str(), typed](QFileDialog* d) {
            d->setDirectory(QString::fromStdString(folder));
            d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
                ->setText(QString::fromStdString(typed));
            QMetaObject::invokeMethod(d, "accept");
        });
    };
    CommonDialog msg;
    msg.Filter = "Email Messages (*.msg)|*.msg";
    msg.Flags = kOfnExplorer | kOfnAllowMultiSelect;
    msg.MaxFileSize = 1000;
    pick("message number 1.msg");
    EXPECT_EQ(dialogs.ShowOpen(msg), (t / "message number 1.msg").string());
    pick("\"message number 1.msg\" \"message number 2.msg\"");
    EXPECT_EQ(dialogs.ShowOpen(msg), t.str() + "\0message number 1.msg\0message number 2.msg"s);
    WhenUp<QFileDialog>([](QFileDialog* d) { d->reject(); });
    EXPECT_EQ(dialogs.ShowOpen(msg), "");
    pick(names);
    EXPECT_EQ(errorOf([&] { dialogs.ShowOpen(msg); }), kErrFileNameBufferTooSmall);
}

TEST(OpenResult, WindowsAndPosixFormsBuiltAndParsedAndQtFilters) {
    const struct {
        std::string text;
        char separator;
        Rows paths;
    } cases[] = {
        {"", '\\', {}},
        {"C:\\Mail\\a.msg", '\\', {"C:\\Mail\\a.msg"}},
        {"C:\\Mail\0a.msg\0 b .msg"s, '\\', {"C:\\Mail\\a.msg", "C:\\Mail\\ b .msg"}},
        {"C:\\\0b.msg\0a.msg\0"s, '\\', {"C:\\b.msg", "C:\\a.msg"}},
        {"/home/ann\0a.msg\0b.msg\0"s, '/', {"/home/ann/a.msg", "/home/ann/b.msg"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseOpenResult(c.text, c.separator), c.paths) << "text of " << c.text.size();
    }
    EXPECT_EQ(BuildOpenResult({"/home/ann/a.msg", "/home/ann/b.msg"}, 1000, '/'),
              "/home/ann\0a.msg\0b.msg"s);
    EXPECT_EQ(BuildOpenResult({"C:\\a.msg", "C:\\b.msg"}, 1000, '\\'), "C:\\\0a.msg\0b.msg"s);
    // One file: the path and its NUL. Several: "/d", NUL, 9 names of 18
    // characters each with its NUL (2 + 9 * 19 = 173), and a second NUL.
    const std::string p999 = "/" + std::string(998, 'a');
    Rows nine;
    for (int i = 0; i < 9; ++i) nine.push_back("/d/" + std::to_string(10000000000000 + i) + ".msg");
    const struct {
        Rows paths;
        int32_t room;
        int error;
    } limits[] = {
        {{p999}, 1000, 0},
        {{p999 + "b"}, 1000, kErrFileNameBufferTooSmall},
        {nine, 175, 0},
        {nine, 174, kErrFileNameBufferTooSmall},
        {{"/a/x.msg", "/b/y.msg"}, 1000, kErrInvalidCall},  // two folders
        {{"/x.msg", "/ab/y.msg"}, 1000, kErrInvalidCall},   // one in the root
    };
    for (const auto& c : limits) {
        EXPECT_EQ(errorOf([&] { (void)BuildOpenResult(c.paths, c.room, '/'); }), c.error)
            << c.paths[0].substr(0, 20) << " of " << c.paths.size() << " in " << c.room;
    }
    EXPECT_EQ(QtNameFilter("Email Messages (*.msg)|*.msg"), "Email Messages (*.msg)");
    EXPECT_EQ(QtNameFilter("All|*.*|Text|*.txt;*.log"), "All (*.*);;Text (*.txt *.log)");
}

}  // namespace
}  // namespace qm::app
