// The window offscreen: every control's kind, container, caption, geometry,
// font, colours, tab index and state when it opens, written out here in
// twips, independently of the layout table the window is built from; its
// keyboard; pictures of it on a light and a dark desktop; the source list and
// the add commands (the Open dialog, a real folder tree, drops) through the
// Dialogs seam, scripted here; the run's host over the window and whole runs
// from its Convert button; the Qt dialogs, answered by a timer acting on the
// open dialog as a user would, and the Open dialog's result text.
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
#include "app/open_result.h"
#include "app/progress_bar.h"
#include "app/qt_dialogs.h"
#include "app/shape.h"
#include "app/window_host.h"
#include "run_fixture.h"
#include "shell/browse_folder.h"
#include "shell/runtime_error.h"
#include "shell/source_rows.h"

namespace qm::app {
namespace {

using qm::testing::errorOf;
using qm::testing::ScratchDir;
using ::testing::Each;
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
void PrintTo(const ShownBox& b, std::ostream* os) {
    *os << "{" << b.text << " | " << b.title << " | buttons " << int(b.buttons) << " | icon "
        << int(b.icon) << " | " << b.details << (b.busyCursor ? " | busy}" : "}");
}
ShownBox Box(const std::string& text, Icon icon = Icon::None, Buttons buttons = Buttons::OK) {
    return {text, kTitle, buttons, icon, "", false};
}

// The Dialogs seam with scripted answers, recording every call. An
// unscripted question or dialog is a test failure (answered No or Cancel).
class FakeDialogs : public Dialogs {
  public:
    std::deque<Answer> answers;
    std::deque<std::function<std::string(const CommonDialog&)>> opens;
    std::deque<std::string> folders;
    std::vector<ShownBox> boxes;
    std::vector<CommonDialog> openCalls;
    Rows folderTitles;

    Answer MsgBox(const std::string& text, const std::string& title, Buttons buttons, Icon icon,
                  const std::string& details) override {
        boxes.push_back(
            {text, title, buttons, icon, details, QGuiApplication::overrideCursor() != nullptr});
        return buttons == Buttons::OK ? Answer::OK : Next(answers, "question: " + text, Answer::No);
    }
    std::string ShowOpen(const CommonDialog& dialog) override {
        openCalls.push_back(dialog);
        const auto keep = [](const CommonDialog& d) { return d.FileName; };
        return Next(opens, "Open dialog", {keep})(dialog);
    }
    std::string BrowseFolder(const std::string& title) override {
        folderTitles.push_back(title);
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

constexpr int kSys = -1;  // the system's colour
struct Expected {
    const char* name;
    const char* qtClass;
    const char* container;  // "" = the window
    const char* caption;
    int left, top, width, height;  // twips
    char font;                     // 'R' Tahoma 8.25, 'T' Tahoma 14.25 bold, '-' none
    int text, background;          // 0xRRGGBB or kSys
    int tab;                       // tab index, -1 none
    bool enabled;
};

// clang-format off
const Expected kExpected[] = {
    {"Shape2", "qm::app::ShapeWidget", "", "", -120, 0, 8415, 855, '-', kSys, 0xFFFFFF, -1, true},
    {"Image1", "QLabel", "", "", 120, 50, 720, 720, '-', kSys, kSys, -1, true},
    {"lblTitle", "QLabel", "", "Quillmark MSG to PST Converter", 960, 120, 6255, 375, 'T', 0x000000, 0xFFFFFF, 8, true},
    {"lblCopyright", "QLabel", "", nullptr, 960, 480, 6135, 255, 'R', 0x000000, 0xFFFFFF, 9, true},
    {"cmdAdd", "QPushButton", "", "Add MSG File(s)...", 240, 960, 1815, 375, 'R', kSys, kSys, 0, true},
    {"CmdAddFolder", "QPushButton", "", "Add Folder having MSG File(s)...", 2400, 960, 2775, 375, 'R', kSys, kSys, 2, true},
    {"cmdClear1", "QPushButton", "", "Clear File(s)...", 6240, 960, 1695, 375, 'R', kSys, kSys, 1, true},
    {"lblCount1", "QLabel", "", "0 files", 270, 1560, 4335, 255, 'R', kSys, kSys, 4, true},
    {"grdFiles1", "QTableWidget", "", "", 240, 1800, 7695, 1575, 'R', kSys, kSys, 3, true},
    {"FrameConversion", "qm::app::FrameBox", "", "Details", 240, 3480, 7695, 1815, 'R', kSys, kSys, 10, true},
    {"LblCurrentDBX", "QLabel", "FrameConversion", "Converting Messages...", 120, 240, 7455, 255, 'R', kSys, kSys, 13, true},
    {"LblProgessCurrent", "QLabel", "FrameConversion", "Message 0 (of 0)", 1800, 600, 5775, 255, 'R', kSys, kSys, 12, true},
    {"Label2", "QLabel", "FrameConversion", "Current File Progress : ", 120, 960, 1695, 255, 'R', kSys, kSys, 16, true},
    {"ProgressBar2", "qm::app::ProgressBarControl", "FrameConversion", "", 1800, 960, 5775, 255, '-', kSys, kSys, 15, true},
    {"Label1", "QLabel", "FrameConversion", "Overall Progress        : ", 120, 1320, 1695, 255, 'R', kSys, kSys, 14, true},
    {"ProgressBar1", "qm::app::ProgressBarControl", "FrameConversion", "", 1800, 1320, 5775, 255, '-', kSys, kSys, 11, true},
    {"CmdExtractDBX", "QPushButton", "", "Convert &Messages", 2880, 5520, 2415, 435, 'R', kSys, kSys, 5, false},
    {"Shape1", "qm::app::ShapeWidget", "", "", 0, 6120, 8415, 855, '-', kSys, 0xFFFFFF, -1, true},
    {"Picture3", "QFrame", "", "", 240, 6240, 7695, 495, '-', kSys, 0xFFFFFF, 6, true},
    {"cmdEnd", "QPushButton", "Picture3", "E&xit", 6360, 0, 1335, 375, 'R', kSys, kSys, 7, true},
};
// clang-format on
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

// A window over scripted dialogs, and what it shows.
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
    // The list's rows; none for the one empty row of an empty list.
    Rows Listed() {
        Rows rows;
        for (int r = 0; r < window.grdFiles1().Rows(); ++r)
            rows.push_back(window.grdFiles1().TextMatrix(r, 0));
        return rows == Rows{""} ? Rows{} : rows;
    }
    std::string Counter() {
        return qobject_cast<QLabel*>(window.control("lblCount1"))->text().toStdString();
    }
    // The one Yes/No question asked since the last call.
    void ExpectAsked(const std::string& text) {
        EXPECT_EQ(dialogs.boxes, std::vector{Box(text, Icon::Question, Buttons::YesNo)});
        dialogs.boxes.clear();
    }

    FakeDialogs dialogs;
    frmStep1 window{dialogs};
    int ends = 0;
};
class Layout : public Window {};
class SourceList : public Window {};
class AddCommands : public Window {};

TEST_F(Layout, EveryControlAsDesignedTheBandsThePanelAndTheGrid) {
    // Where Tahoma is installed (Debian fonts-wine) it is the font actually used.
    const bool tahoma = QFileInfo::exists(QStringLiteral("/usr/share/wine/fonts/tahoma.ttf"));
    for (const Expected& e : kExpected) {
        SCOPED_TRACE(e.name);
        QWidget* w = window.control(e.name);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->objectName(), QString::fromLatin1(e.name));
        EXPECT_STREQ(w->metaObject()->className(), e.qtClass);
        EXPECT_EQ(w->parentWidget(), *e.container ? window.control(e.container) : &window);
        EXPECT_EQ(w->geometry(), QRect(Px(e.left), Px(e.top), Px(e.width), Px(e.height)));
        if (e.caption) {
            EXPECT_EQ(CaptionOf(w).toStdString(), e.caption);
        }
        if (e.font != '-') {
            EXPECT_EQ(w->font().family(), QStringLiteral("Tahoma"));
            EXPECT_DOUBLE_EQ(w->font().pointSizeF(), e.font == 'T' ? 14.25 : 8.25);
            EXPECT_EQ(w->font().bold(), e.font == 'T');
            if (tahoma) {
                EXPECT_EQ(QFontInfo(w->font()).family(), QStringLiteral("Tahoma"));
                EXPECT_EQ(QFontInfo(w->font()).bold(), e.font == 'T');
            }
        }
        const QPalette& pal = w->palette();
        if (e.text != kSys) {
            EXPECT_EQ(pal.color(QPalette::WindowText), Rgb(e.text));
        } else if (qobject_cast<QLabel*>(w)) {
            EXPECT_EQ(pal.color(QPalette::WindowText), pal.color(QPalette::ButtonText));
        }
        if (auto* shape = qobject_cast<ShapeWidget*>(w)) {
            EXPECT_EQ(shape->fillColor(), Rgb(0xFFFFFF));
            EXPECT_EQ(shape->outlineColor(), Rgb(0xC0C0C0));
        } else if (e.background != kSys) {
            EXPECT_TRUE(w->autoFillBackground());
            EXPECT_EQ(pal.color(w->backgroundRole()), Rgb(e.background));
        }
        const QVariant tab = w->property("TabIndex");
        EXPECT_EQ(tab.isValid() ? tab.toInt() : -1, e.tab);
        EXPECT_EQ(w->isEnabled(), e.enabled);
        EXPECT_FALSE(w->isHidden());
    }
    EXPECT_EQ(window.control("Label3"), nullptr) << "a name that is no control";
    // A fixed, centred window with its icon; a one-line copyright of our
    // own; the white bands (sticking out past the edges) behind everything;
    // both bars empty over 0..100; the grid one empty yellow cell.
    EXPECT_EQ(window.windowTitle().toStdString(), kTitle);
    for (QSize s : {window.minimumSize(), window.maximumSize(), window.size()})
        EXPECT_EQ(s, QSize(543, 450));
    EXPECT_TRUE(window.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(window.backgroundRole(), QPalette::Button);
    for (int s : {16, 24, 32, 48})
        EXPECT_TRUE(window.windowIcon().availableSizes().contains(QSize(s, s))) << s;
    EXPECT_EQ(qobject_cast<QLabel*>(window.control("Image1"))->pixmap().size(), QSize(48, 48));
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((window.geometry().center() - screen.center()).manhattanLength(), 2);
    const auto* copyright = qobject_cast<QLabel*>(window.control("lblCopyright"));
    EXPECT_TRUE(copyright->text().startsWith("Copyright") &&
                copyright->text().contains("Quillmark"));
    EXPECT_FALSE(copyright->text().contains('\n'));
    EXPECT_LE(copyright->fontMetrics().horizontalAdvance(copyright->text()), copyright->width());
    const QObjectList& order = window.children();  // back to front
    EXPECT_EQ(std::set({order.indexOf(window.control("Shape1")),
                        order.indexOf(window.control("Shape2"))}),
              std::set<qsizetype>({0, 1}));
    for (ProgressBarControl* bar : {&window.ProgressBar1(), &window.ProgressBar2()}) {
        EXPECT_EQ(std::tuple(bar->Min(), bar->Max(), bar->Value()), std::tuple(0.0f, 100.0f, 0.0f));
        EXPECT_EQ(bar->value(), bar->minimum()) << "drawn empty";
        EXPECT_FALSE(bar->isTextVisible());
    }
    FlexGrid& grid = window.grdFiles1();
    EXPECT_EQ(std::tuple(grid.Rows(), grid.Cols(), grid.FixedRows(), grid.Text(), grid.ColWidth(0)),
              std::tuple(1, 1, 0, std::string(), 50000));
    QTableWidget* table = Table();
    EXPECT_EQ(table->columnWidth(0), 3333);
    EXPECT_EQ(table->item(0, 0)->background().color(), QColor(255, 255, 191));
    EXPECT_EQ(table->palette().color(QPalette::Base), QColor(255, 255, 255));
    QStyleOptionViewItem option;
    EXPECT_EQ(QColor::fromRgba(static_cast<QRgb>(
                  table->style()->styleHint(QStyle::SH_Table_GridLineColor, &option, table))),
              QColor(192, 192, 192));
    EXPECT_TRUE(table->horizontalHeader()->isHidden() && table->verticalHeader()->isHidden());
    EXPECT_EQ(table->editTriggers(), QAbstractItemView::NoEditTriggers);
}

// Every text reads against what lies behind it on a light and on a dark
// desktop (palettes as a theme hands them to Qt), and the grid's fixed
// colours come with fixed partners. The pictures are for a person to look
// at: build/screenshots/frmStep1{,-dark}.png as the window opens,
// frmStep1-list{,-dark}.png with a few files listed, one selected, and the
// progress panel in use.
TEST(Screenshot, TextsReadOnLightAndDarkDesktops) {
    const QDir shots(QString::fromStdString(qm::testing::binDir() + "/../screenshots"));
    ASSERT_TRUE(QDir().mkpath(shots.path()));
    const QPalette desktop = QApplication::palette();
    for (bool dark : {false, true}) {
        SCOPED_TRACE(dark ? "dark" : "light");
        QPalette p = QApplication::style()->standardPalette();
        if (dark) {
            for (auto role : {QPalette::Window, QPalette::Button}) p.setColor(role, {53, 53, 53});
            for (auto role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text})
                p.setColor(role, {230, 230, 230});
            p.setColor(QPalette::Base, {30, 30, 30});
            p.setColor(QPalette::Highlight, {42, 130, 218});
            p.setColor(QPalette::HighlightedText, Qt::black);
        }
        QApplication::setPalette(p);
        FakeDialogs dialogs;
        frmStep1 window(dialogs);
        window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
        auto save = [&](const QString& name) {
            const QPixmap shot = window.grab();
            EXPECT_EQ(shot.size() / shot.devicePixelRatio(), QSize(543, 450));
            const QString path = shots.filePath(name + (dark ? "-dark.png" : ".png"));
            EXPECT_TRUE(shot.save(path, "PNG")) << path.toStdString();
        };
        save(QStringLiteral("frmStep1"));
        dialogs.OpenReturns("/home/ann/Mail\0Budget 2009.msg\0Re: lunch.msg\0Trip.msg"s);
        window.cmdAdd_Click();
        window.grdFiles1().SetRow(1);
        window.SetFrameConversionCaption("Details : Converting - (2 of 3) file(s)");
        window.SetLblCurrentDBXCaption("Importing Messages... from (home\\ann\\Mail)");
        window.ProgressBar1().SetValue(66.666664f);
        QCoreApplication::processEvents();
        save(QStringLiteral("frmStep1-list"));
        for (const Expected& e : kExpected) {
            auto* label = qobject_cast<QLabel*>(window.control(e.name));
            if (!label || label->text().isEmpty()) continue;
            const QWidget* behind = label->autoFillBackground() ? label : label->parentWidget();
            const int back = behind->palette().color(behind->backgroundRole()).toHsl().lightness();
            const int text = label->palette().color(QPalette::WindowText).toHsl().lightness();
            EXPECT_GE(std::abs(text - back), 120) << e.name;
        }
        auto* table = qobject_cast<QTableWidget*>(window.control("grdFiles1"));
        EXPECT_EQ(table->item(0, 0)->foreground().color(), QColor(0, 0, 0));
        EXPECT_EQ(table->item(0, 0)->background().color(), QColor(255, 255, 191));
        for (auto group : {QPalette::Active, QPalette::Inactive}) {
            EXPECT_EQ(table->palette().color(group, QPalette::Highlight), QColor(0, 0, 128));
            EXPECT_EQ(table->palette().color(group, QPalette::HighlightedText), QColor(Qt::white));
        }
    }
    QApplication::setPalette(desktop);
}

class ShownWindow : public Window {
  protected:
    void SetUp() override {
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    }
    std::string Focused() const {
        QWidget* f = QApplication::focusWidget();
        return f ? f->objectName().toStdString() : std::string("<none>");
    }
};

// Centred, frame and all; the focus starts on Add and Tab skips what cannot
// take it. A button's access key clicks it the way a mouse would, after the
// press has been shown for a moment (the test waits for that click); Return
// and keypad Enter press the button that has the focus, as Space does.
TEST_F(ShownWindow, TheKeyboardAndALongPath) {
    const QPoint off =
        window.frameGeometry().center() - window.screen()->availableGeometry().center();
    EXPECT_LE(std::max(std::abs(off.x()), std::abs(off.y())), 1)
        << "frame at " << off.x() << "," << off.y();
    EXPECT_EQ(Focused(), "cmdAdd");
    // Convert is disabled, labels, frame, strip and bars take no focus.
    for (const char* next : {"cmdClear1", "CmdAddFolder", "grdFiles1", "cmdEnd", "cmdAdd"}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(Focused(), next);
    }
    int runs = 0;
    window.SetConvertHandler([&] { ++runs; });
    QTest::keyClick(&window, Qt::Key_M, Qt::AltModifier);
    QTest::qWait(300);
    EXPECT_EQ(runs, 0) << "Alt+M on the disabled button";
    Add("/m/a.msg");  // Convert comes on with the first row
    window.control("grdFiles1")->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(Focused(), "CmdExtractDBX");
    const struct {
        const char* focus;  // nullptr: the key goes to the window
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        std::string question;  // "": none, Convert runs
    } cases[] = {
        {nullptr, Qt::Key_M, Qt::AltModifier, ""},
        {nullptr, Qt::Key_X, Qt::AltModifier, kExitQuestion},
        {"cmdEnd", Qt::Key_Return, Qt::NoModifier, kExitQuestion},
        {"cmdEnd", Qt::Key_Enter, Qt::KeypadModifier, kExitQuestion},
        {"cmdClear1", Qt::Key_Enter, Qt::KeypadModifier, kClearQuestion},
        {"CmdExtractDBX", Qt::Key_Return, Qt::NoModifier, ""},
    };
    int expectedRuns = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.focus ? c.focus : "window") + " key " + std::to_string(c.key));
        dialogs.boxes.clear();
        if (!c.question.empty()) dialogs.answers.push_back(Answer::No);
        if (c.focus) window.control(c.focus)->setFocus();
        QTest::keyClick(c.focus ? QApplication::focusWidget() : &window, c.key, c.modifiers);
        if (c.question.empty()) {
            ++expectedRuns;
        } else {
            ASSERT_TRUE(QTest::qWaitFor([&] { return !dialogs.boxes.empty(); }));
            EXPECT_EQ(dialogs.boxes[0].text, c.question);
        }
        EXPECT_TRUE(QTest::qWaitFor([&] { return runs == expectedRuns; }));
    }
    EXPECT_FALSE(window.Unloaded());
    // A long path can be scrolled to and read in its tooltip.
    const std::string path = "/home/ann/" + std::string(60, 'x') + "/Projects/2009/Budget/" +
                             "Re: the quarterly numbers and the plan.msg";
    Add(path);
    EXPECT_EQ(Table()->item(1, 0)->toolTip().toStdString(), path);
    QScrollBar* bar = Table()->horizontalScrollBar();
    ASSERT_TRUE(bar->isVisible());
    bar->setValue(bar->maximum());
    QCoreApplication::processEvents();
    const QRect cell = Table()->visualItemRect(Table()->item(1, 0));
    EXPECT_LE(cell.right(), Table()->viewport()->width()) << "the column's end is in view";
    EXPECT_LT(cell.left(), 0);
}

// Each path goes into the next row, duplicates and exact bytes kept; Clear
// asks (when there is something to clear) and only Yes empties the list.
TEST_F(SourceList, AddingClearingExitAndClosing) {
    window.cmdClear1_Click();
    EXPECT_TRUE(dialogs.boxes.empty()) << "nothing to clear, nothing asked";
    EXPECT_EQ(window.grdFiles1().ColWidth(0), 50000) << "untouched until the first addition";
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
    EXPECT_EQ(window.grdFiles1().FixedRows(), 0);
    EXPECT_TRUE(dialogs.boxes.empty());
    dialogs.answers = {Answer::No, Answer::Yes};
    window.cmdClear1_Click();
    ExpectAsked(kClearQuestion);
    EXPECT_EQ(Listed(), expected);
    EXPECT_EQ(window.grdFiles1().Row(), 0) << "No still moves the current cell";
    EXPECT_EQ(window.grdFiles1().Col(), 0);
    window.cmdClear1_Click();
    ExpectAsked(kClearQuestion);
    EXPECT_EQ(Listed(), Rows{});
    EXPECT_EQ(Counter(), "0 files");
    EXPECT_EQ(window.grdFiles1().ColWidth(0), 10000);
    EXPECT_FALSE(window.CmdExtractDBXEnabled()) << "an empty list has nothing to convert";
    Add("/m/c.msg");
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
    EXPECT_EQ(Listed(), Rows{"/m/c.msg"});
    EXPECT_EQ(Counter(), "1 files");
    // Exit asks and only Yes ends the program; closing the window ends it
    // without a question.
    window.show();
    dialogs.answers = {Answer::No, Answer::Yes};
    window.cmdEnd_Click();
    ExpectAsked(kExitQuestion);
    EXPECT_FALSE(window.Unloaded());
    EXPECT_EQ(ends, 0);
    window.cmdEnd_Click();
    ExpectAsked(kExitQuestion);
    EXPECT_TRUE(window.Unloaded());
    EXPECT_EQ(ends, 1);
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(window.DoEvents()) << "a yielding command learns that it must stop";
    FakeDialogs quiet;
    frmStep1 other(quiet);
    other.SetEndProgram([this] { ++ends; });
    quiet.OpenReturns("/m/a.msg");
    other.cmdAdd_Click();
    other.show();
    other.close();
    EXPECT_TRUE(quiet.boxes.empty());
    EXPECT_TRUE(other.Unloaded());
    EXPECT_EQ(ends, 2);
}

// The Open dialog is set up afresh each time; its files are listed, its
// failures shown in a box; a cancelled dialog or folder changes nothing, and
// Convert follows what the last folder command added.
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
    for (const std::string& text : {"/mail/a.msg"s, "/mail\0b.msg\0c.msg"s, "/\0r.msg\0s.msg\0"s})
        Add(text);
    EXPECT_EQ(Listed(), (Rows{"/mail/a.msg", "/mail/b.msg", "/mail/c.msg", "/r.msg", "/s.msg"}));
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
    ASSERT_EQ(dialogs.openCalls.size(), 6u);
    for (const CommonDialog& d : dialogs.openCalls) {
        EXPECT_EQ(d.FileName, "") << "the name box starts empty every time";
        EXPECT_EQ(d.Filter, "Email Messages (*.msg)|*.msg");
        EXPECT_EQ(d.Flags, 0x80200);
        EXPECT_EQ(d.MaxFileSize, 1000);
    }
    ScratchDir t;
    Touch(t, {"readme.txt"});
    AddFolder(t.str());
    EXPECT_FALSE(window.CmdExtractDBXEnabled()) << "no messages: off, whatever was listed";
    Touch(t, {"one.msg"});
    AddFolder(t.str() + "/");  // no second separator
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
    EXPECT_EQ(dialogs.Texts(), (Rows{Added(0), Added(1)}));
    EXPECT_EQ(Listed().back(), t.str() + "/one.msg");
}

// Names the .msg test must accept and refuse, made out of name order
// (copy14 before Copy04, as readdir may list them).
struct MailTree {
    ScratchDir t;
    MailTree() {
        Touch(t,
              {"copy14.msg", "Copy04.msg", "b.Msg", "a.MSG", "c.msgx", "d.ms", "e.msg  ",
               "notes.txt", "sub/deep/h.doc", "sub/deep/g.msg", "sub/f.msg", "_/z.msg", "A/y.msg"});
    }
    // Breadth first, each folder's files then its sub-folders in name order.
    Rows Accepted() const {
        Rows out;
        for (const char* f : {"a.MSG", "b.Msg", "Copy04.msg", "copy14.msg", "e.msg  ", "A/y.msg",
                              "sub/f.msg", "_/z.msg", "sub/deep/g.msg"})
            out.push_back((t / f).string());
        return out;
    }
};

// Add Folder yields under the hourglass (gone before the box). A second Add
// Folder during a yield runs to its end and counts its own; closing the
// window stops it without a box. A Clear at the first yield or halfway: the
// rows before it go, the rest follow, and the count box agrees with the
// list, in name order as the command line lists it.
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
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    for (const size_t clearAt : {0u, 3u}) {
        SCOPED_TRACE(clearAt);
        dialogs.boxes.clear();
        Add("/mail/early.msg");
        dialogs.answers.push_back(Answer::Yes);
        const size_t before = Listed().size();
        bool busy = false;
        QTimer clearer;
        QObject::connect(&clearer, &QTimer::timeout, &window, [&] {
            busy = busy || QGuiApplication::overrideCursor() != nullptr;
            if (Listed().size() < before + clearAt) return;
            clearer.stop();
            window.cmdClear1_Click();
        });
        clearer.start(0);
        AddFolder(tree.t.str());
        EXPECT_TRUE(busy);
        EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
        EXPECT_FALSE(dialogs.boxes.back().busyCursor);
        const Rows rows = Listed();
        EXPECT_EQ(dialogs.Texts(), (Rows{kClearQuestion, Added(rows.size())}));
        if (clearAt == 0) {
            EXPECT_EQ(rows, tree.Accepted());
        } else {
            EXPECT_LT(rows.size(), tree.Accepted().size());
        }
        EXPECT_EQ(window.CmdExtractDBXEnabled(), !rows.empty());
    }
    EXPECT_THAT(dialogs.folderTitles, Each("Choose Source Folder..."));
    const Rows accepted = tree.Accepted();
    shell::SourceRows cli({{tree.t.str(), true}});
    ASSERT_EQ(cli.Count(), int64_t(accepted.size()));
    for (size_t i = 0; i < accepted.size(); ++i) EXPECT_EQ(*cli.Row(int64_t(i)), accepted[i]);
}

// Permission bits do not stop root, but running out of file descriptors
// does: either way a chosen folder that cannot be listed ends Add Folder
// with a box. Sub-folders that cannot be read are skipped and named in the
// box: a locked one (when not root, whom it does not stop) and one deeper
// than PATH_MAX allows even root (24 * 201 > 4096), made through directory
// handles.
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
    EXPECT_THAT(
        text, ::testing::HasSubstr(root ? "This folder could not be read and was skipped:\n"
                                        : "These 2 folders could not be read and were skipped:\n"));
    EXPECT_THAT(text, ::testing::HasSubstr(": list folder failed: File name too long"));
    if (!root) {
        EXPECT_THAT(text, ::testing::HasSubstr("\n" + (t / "locked").string() +
                                               "/: list folder failed: Permission denied"));
    }
    EXPECT_EQ(dialogs.boxes[0].icon, Icon::Exclamation);
    EXPECT_FALSE(dialogs.boxes[0].busyCursor);
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
}

// Dropped messages are listed in drop order, dropped folders walked as Add
// Folder walks them; a drop without messages leaves Convert alone.
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

// The grid and the bars underneath: a current cell outside the grid and a
// bar's value outside its range are numbered errors that change nothing.
TEST(FlexGrid, CurrentCellOrBarValueOutsideTheRangeIsAnError) {
    QTableWidget table;
    FlexGrid grid(&table);
    EXPECT_EQ(errorOf([&] { grid.SetRow(1); }), kErrInvalidRow);
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
    // The bars hold single-precision values.
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

class WindowHostTest : public Window {
  protected:
    WindowHost host{window};
};

// The list cell by cell.
TEST_F(WindowHostTest, ReadsTheListDrivesThePanelCommandsBoxesAndStop) {
    dialogs.OpenReturns("/m\0a.msg\0b.msg"s);
    window.cmdAdd_Click();
    ASSERT_EQ(host.Rows(), 2);
    host.SetCurrentCell(1, 0);
    EXPECT_EQ(host.Text(), "/m/b.msg");
    EXPECT_EQ(window.grdFiles1().Row(), 1);
    QCoreApplication::processEvents();
    EXPECT_EQ(window.grdFiles1().widget()->currentRow(), 1) << "shown at the next events";
    EXPECT_EQ(host.ListedRows(), (Rows{"/m/a.msg", "/m/b.msg"}));
    EXPECT_EQ(window.grdFiles1().Row(), 1) << "listing moves nothing";
    EXPECT_THROW(host.SetCurrentCell(2, 0), NumberedError);
    EXPECT_THROW(host.SetCurrentCell(int64_t{1} << 40, 0), NumberedError);
    // The bars and captions; yields handle events about 30 times a second,
    // and the full bar is always shown at the next one, before the closing
    // commit.
    host.SetProgressRange(ProgressBar::Overall, 0, 100);
    host.SetProgressRange(ProgressBar::CurrentFile, 200, 300);  // past the old maximum
    EXPECT_EQ(window.ProgressBar2().Min(), 200.0f);
    EXPECT_EQ(window.ProgressBar2().Max(), 300.0f);
    // Two values before a draw: drawn once, the last.
    host.SetProgressValue(ProgressBar::Overall, 50);
    host.SetProgressValue(ProgressBar::Overall, 66.666664f);
    EXPECT_EQ(window.ProgressBar1().Value(), 66.666664f);
    EXPECT_EQ(window.ProgressBar1().value(), 0) << "drawn at the next yield";
    EXPECT_EQ(window.ProgressBar2().Value(), 200.0f);
    host.SetFrameCaption("Details : Converting - (2 of 3) file(s)");
    host.SetFolderCaption("Importing Messages... from (home\\ann)");
    EXPECT_EQ(window.FrameConversionCaption(), "Details : Converting - (2 of 3) file(s)");
    EXPECT_EQ(window.LblCurrentDBXCaption(), "Importing Messages... from (home\\ann)");
    host.DoEvents();
    EXPECT_EQ(window.ProgressBar1().value(), 6667);
    bool handled = false;
    QTimer::singleShot(0, &window, [&] { handled = true; });
    host.SetProgressValue(ProgressBar::Overall, 100);
    host.DoEvents();
    EXPECT_TRUE(handled);
    EXPECT_EQ(window.ProgressBar1().value(), window.ProgressBar1().maximum());
    // Source commands go off but Exit stays; Convert comes on only over a
    // list; boxes go through the dialogs; closing the window asks the run
    // to stop.
    host.SetSourceCommandsEnabled(false);
    for (const char* name : {"cmdAdd", "CmdAddFolder", "cmdClear1"}) {
        EXPECT_FALSE(window.control(name)->isEnabled()) << name;
    }
    EXPECT_TRUE(window.control("cmdEnd")->isEnabled());
    host.SetSourceCommandsEnabled(true);
    EXPECT_TRUE(window.control("cmdAdd")->isEnabled());
    dialogs.answers.push_back(Answer::Yes);
    window.cmdClear1_Click();
    host.SetConvertEnabled(true);
    EXPECT_FALSE(window.CmdExtractDBXEnabled()) << "the list is empty";
    dialogs.boxes.clear();
    dialogs.OpenReturns("/m/a.msg");
    window.cmdAdd_Click();
    host.SetConvertEnabled(false);
    host.SetConvertEnabled(true);
    EXPECT_TRUE(window.CmdExtractDBXEnabled());
    host.MsgBox({"line one\r\nline two", kTitle, BoxIcon::Warning, "a.msg: broken"});
    EXPECT_EQ(dialogs.boxes, (std::vector<ShownBox>{{"line one\r\nline two", kTitle, Buttons::OK,
                                                     Icon::Exclamation, "a.msg: broken", false}}));
    EXPECT_FALSE(host.StopRequested());
    window.close();
    EXPECT_TRUE(host.StopRequested());
}

// A window wired as the program wires it, over a tree of .msg files.
class WindowRun : public WindowHostTest {
  protected:
    WindowRun() {
        window.SetConvertHandler([this] { run.CmdExtractDBX_Click(); });
        qm::testing::writeMessage(src / "Mail/a.msg", qm::testing::testMessage("first"));
        qm::testing::writeMessage(src / "Mail/2009/b.msg", qm::testing::testMessage("second"));
        dialogs.folders.push_back(src.str());
        window.CmdAddFolder_Click();
        dialogs.boxes.clear();
    }
    void Convert() { qobject_cast<QPushButton*>(window.control("CmdExtractDBX"))->click(); }
    std::vector<fs::path> Stores() const {
        return {fs::directory_iterator(dst.path()), fs::directory_iterator()};
    }
    ScratchDir src, dst;
    ConversionRun run{host};
};

// A cancelled destination changes nothing; then Convert writes the listed
// messages into a new store; an emptied list cannot be converted, and a run
// on it asks for no destination (the fake fails on an unscripted one).
TEST_F(WindowRun, ConvertWritesTheListedMessagesIntoANewStore) {
    dialogs.folders.push_back("");
    Convert();
    EXPECT_TRUE(Stores().empty());
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_TRUE(window.SourceCommandsEnabled());
    ASSERT_EQ(window.grdFiles1().Rows(), 2);
    ASSERT_TRUE(window.CmdExtractDBXEnabled());
    dialogs.folders.push_back(dst.str());
    Convert();
    const auto stores = Stores();
    ASSERT_EQ(stores.size(), 1u);
    EXPECT_EQ(stores[0].extension(), ".pst");
    // The window shows where the run ended: the last row selected.
    EXPECT_EQ(window.grdFiles1().widget()->currentRow(), 1);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_EQ(dialogs.boxes[0].title, kTitle);

    dialogs.answers.push_back(Answer::Yes);
    window.cmdClear1_Click();
    dialogs.boxes.clear();
    EXPECT_EQ(run.CmdExtractDBX_Click().outcome, RunOutcome::Cancelled);
    EXPECT_EQ(Stores().size(), 1u);
    EXPECT_TRUE(dialogs.boxes.empty());
}

TEST_F(WindowRun, ClosingTheWindowStopsTheRunWithAValidStore) {
    dialogs.folders.push_back(dst.str());
    window.show();
    QTimer::singleShot(0, &window, [this] { window.close(); });
    Convert();
    EXPECT_TRUE(window.Unloaded());
    EXPECT_TRUE(dialogs.boxes.empty()) << "the program is ending: no end box";
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

TEST(QtDialogs, MessageBoxShowsLineBreaksAndAnswersFolderDialogGivesTheFolder) {
    QtDialogs dialogs;
    QString shown, title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    WhenUp<QMessageBox>([&](QMessageBox* box) {
        shown = box->text();
        title = box->windowTitle();
        icon = box->icon();
        box->button(QMessageBox::Yes)->click();
    });
    EXPECT_EQ(dialogs.MsgBox(kClearQuestion, kTitle, Buttons::YesNo, Icon::Question), Answer::Yes);
    EXPECT_EQ(shown, QStringLiteral("Do you want to clear all the files in the list\n Proceed?"));
    EXPECT_EQ(title.toStdString(), kTitle);
    EXPECT_EQ(icon, QMessageBox::Question);
    WhenUp<QMessageBox>([](QMessageBox* box) { box->reject(); });
    EXPECT_EQ(dialogs.MsgBox("Exit?", "t", Buttons::YesNo, Icon::Question), Answer::No)
        << "Escape answers No";
    // The folder dialog: Cancel gives "", a folder comes back without a
    // separator, the root with it.
    ScratchDir t;
    WhenUp<QFileDialog>([&](QFileDialog* d) {
        title = d->windowTitle();
        d->reject();
    });
    EXPECT_EQ(shell::BrowseFolder(nullptr, "Choose Source Folder..."), "");
    EXPECT_EQ(title, QStringLiteral("Choose Source Folder..."));
    for (const std::string& path : {t.str(), "/"s}) {
        WhenUp<QFileDialog>([path](QFileDialog* d) {
            d->setDirectory(QString::fromStdString(path));
            d->selectFile(QString::fromStdString(path));
            QMetaObject::invokeMethod(d, "accept");  // as the dialog's own button does
        });
        EXPECT_EQ(shell::BrowseFolder(nullptr, "Choose Folder to Save..."), path);
    }
}

// One file, or the folder and the names; Cancel leaves FileName as it was
// set; a selection past 1000 characters (60 names of 20) is an error.
TEST(QtDialogs, OpenGivesOneFileOrTheFolderAndNamesAndReportsAnOverLongSelection) {
    ScratchDir t;
    std::string names;
    for (int i = 0; i < 60; ++i) {
        const std::string name = "message number " + std::to_string(i) + ".msg";
        std::ofstream(t / name) << "x";
        names += "\"" + name + "\" ";
    }
    // Types the names into the dialog's name box and presses Open.
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
    QtDialogs dialogs;
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
        {"C:\\Mail\\a.msg\0"s, '\\', {"C:\\Mail\\a.msg"}},
        {"C:\\Mail\0a.msg\0b.msg"s, '\\', {"C:\\Mail\\a.msg", "C:\\Mail\\b.msg"}},
        {"C:\\Mail\0a.msg\0b.msg\0"s, '\\', {"C:\\Mail\\a.msg", "C:\\Mail\\b.msg"}},
        {"C:\\\0a.msg\0b.msg"s, '\\', {"C:\\a.msg", "C:\\b.msg"}},  // a root: no doubled "\"
        {"C:\\Mail\\\0b.msg\0a.msg\0"s, '\\', {"C:\\Mail\\b.msg", "C:\\Mail\\a.msg"}},  // its order
        {"C:\\Mail\0 spaced .msg\0x\0"s, '\\', {"C:\\Mail\\ spaced .msg", "C:\\Mail\\x"}},
        {"/home/ann/a.msg", '/', {"/home/ann/a.msg"}},
        {"/home/ann\0a.msg\0b.msg"s, '/', {"/home/ann/a.msg", "/home/ann/b.msg"}},
        {"/\0a.msg\0b.msg\0"s, '/', {"/a.msg", "/b.msg"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseOpenResult(c.text, c.separator), c.paths) << "text of " << c.text.size();
    }
    // Built back: round trips through the parser, in one folder, within
    // MaxFileSize.
    for (const Rows& paths : {Rows{"/home/ann/a.msg"}, Rows{"/a.msg", "/b.msg"},
                              Rows{"/home/ann/a.msg", "/home/ann/b.msg", "/home/ann/c d.msg"}}) {
        EXPECT_EQ(ParseOpenResult(BuildOpenResult(paths, 1000, '/'), '/'), paths);
    }
    EXPECT_EQ(BuildOpenResult({"/home/ann/a.msg", "/home/ann/b.msg"}, 1000, '/'),
              "/home/ann\0a.msg\0b.msg"s);
    EXPECT_EQ(BuildOpenResult({"C:\\a.msg", "C:\\b.msg"}, 1000, '\\'), "C:\\\0a.msg\0b.msg"s);
    // One file: the path and its terminating NUL. Several: "/d", NUL, 9 names
    // of 18 characters each with its NUL (2 + 9 * 19 = 173), and a second NUL.
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
        {{"/a/x.msg", "/ab/y.msg"}, 1000, kErrInvalidCall},
    };
    for (const auto& c : limits) {
        EXPECT_EQ(errorOf([&] { (void)BuildOpenResult(c.paths, c.room, '/'); }), c.error)
            << c.paths[0].substr(0, 20) << " of " << c.paths.size() << " in " << c.room;
    }
    EXPECT_EQ(OpenResultRoom("abc", false), 4);
    EXPECT_EQ(OpenResultRoom("abc", true), 5);
    // The dialog's filter pairs become Qt's.
    EXPECT_EQ(QtNameFilter("Email Messages (*.msg)|*.msg"), "Email Messages (*.msg)");
    EXPECT_EQ(QtNameFilter("All|*.*|Text|*.txt;*.log"), "All (*.*);;Text (*.txt *.log)");
}

}  // namespace
}  // namespace qm::app
