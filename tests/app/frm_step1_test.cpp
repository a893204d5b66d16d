// The window: every control's kind, container, caption, geometry, font,
// colours, tab index and state when it opens, written out here in twips,
// independently of the layout table the window is built from; its keyboard;
// pictures of it on a light and a dark desktop; and the source list.
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFontInfo>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyleOption>
#include <QTableWidget>
#include <QTest>
#include <cmath>

#include <gtest/gtest.h>

#include "app/frame_box.h"
#include "app/frm_step1.h"
#include "app/progress_bar.h"
#include "app/shape.h"
#include "fake_dialogs.h"
#include "shell/runtime_error.h"

namespace qm::app {
namespace {

using test::FakeDialogs;
using namespace std::string_literals;
using Rows = std::vector<std::string>;

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

class Layout : public ::testing::Test {
  protected:
    void Add(const std::string& path) {
        dialogs.OpenReturns(path);
        window.cmdAdd_Click();
    }
    QTableWidget* Table() { return qobject_cast<QTableWidget*>(window.control("grdFiles1")); }

    FakeDialogs dialogs;
    frmStep1 window{dialogs};
};

TEST_F(Layout, EveryControlAsDesigned) {
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
}

TEST_F(Layout, TheWindowItsBandsAndItsPanel) {
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Quillmark MSG to PST Converter"));
    EXPECT_EQ(window.minimumSize(), QSize(543, 450));
    EXPECT_EQ(window.maximumSize(), QSize(543, 450));
    EXPECT_EQ(window.size(), QSize(543, 450));
    EXPECT_TRUE(window.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(window.backgroundRole(), QPalette::Button);
    const QList<QSize> sizes = window.windowIcon().availableSizes();
    for (int s : {16, 24, 32, 48}) EXPECT_TRUE(sizes.contains(QSize(s, s))) << s;
    EXPECT_EQ(qobject_cast<QLabel*>(window.control("Image1"))->pixmap().size(), QSize(48, 48));
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((window.geometry().center() - screen.center()).manhattanLength(), 2);
    // The copyright is one line of our own.
    const auto* copyright = qobject_cast<QLabel*>(window.control("lblCopyright"));
    EXPECT_TRUE(copyright->text().startsWith(QStringLiteral("Copyright")));
    EXPECT_TRUE(copyright->text().contains(QStringLiteral("Quillmark")));
    EXPECT_FALSE(copyright->text().contains('\n'));
    EXPECT_LE(copyright->fontMetrics().horizontalAdvance(copyright->text()), copyright->width());
    // The white bands (sticking out past the edges, as the table says) lie
    // behind everything else.
    const QObjectList& order = window.children();  // back to front
    const int shape1 = order.indexOf(window.control("Shape1"));
    const int shape2 = order.indexOf(window.control("Shape2"));
    EXPECT_EQ(std::min(shape1, shape2), 0);
    EXPECT_EQ(std::max(shape1, shape2), 1);
    for (ProgressBarControl* bar : {&window.ProgressBar1(), &window.ProgressBar2()}) {
        EXPECT_EQ(bar->Min(), 0.0f);
        EXPECT_EQ(bar->Max(), 100.0f);
        EXPECT_EQ(bar->Value(), 0.0f);
        EXPECT_EQ(bar->value(), bar->minimum()) << "drawn empty";
        EXPECT_FALSE(bar->isTextVisible());
    }
}

TEST_F(Layout, TheGridStartsAsOneEmptyYellowCell) {
    FlexGrid& grid = window.grdFiles1();
    EXPECT_EQ(grid.Rows(), 1);
    EXPECT_EQ(grid.Cols(), 1);
    EXPECT_EQ(grid.FixedRows(), 0);
    EXPECT_EQ(grid.Text(), "");
    EXPECT_EQ(grid.ColWidth(0), 50000);
    QTableWidget* table = Table();
    EXPECT_EQ(table->columnWidth(0), 3333);
    EXPECT_EQ(table->item(0, 0)->background().color(), QColor(255, 255, 191));
    EXPECT_EQ(table->palette().color(QPalette::Base), QColor(255, 255, 255));
    QStyleOptionViewItem option;
    EXPECT_EQ(QColor::fromRgba(static_cast<QRgb>(
                  table->style()->styleHint(QStyle::SH_Table_GridLineColor, &option, table))),
              QColor(192, 192, 192));
    EXPECT_TRUE(table->horizontalHeader()->isHidden());
    EXPECT_TRUE(table->verticalHeader()->isHidden());
    EXPECT_EQ(table->editTriggers(), QAbstractItemView::NoEditTriggers);
}

// A light and a dark desktop palette, as a theme hands them to Qt.
QPalette DesktopPalette(bool dark) {
    if (!dark) return QApplication::style()->standardPalette();
    QPalette p;
    const QColor face(53, 53, 53), text(230, 230, 230), base(30, 30, 30);
    for (auto role : {QPalette::Window, QPalette::Button}) p.setColor(role, face);
    for (auto role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text}) {
        p.setColor(role, text);
    }
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::Highlight, QColor(42, 130, 218));
    p.setColor(QPalette::HighlightedText, Qt::black);
    return p;
}

// Every text reads against what lies behind it on a light and on a dark
// desktop, and the grid's fixed colours come with fixed partners. The
// pictures are for a person to look at: build/screenshots/frmStep1{,-dark}.png
// as the window opens, frmStep1-list{,-dark}.png with a few files listed, one
// selected, and the progress panel in use.
TEST(Screenshot, TextsReadOnLightAndDarkDesktops) {
    const QByteArray bin = qgetenv("QM_BIN_DIR");
    const QDir shots(QDir(bin.isEmpty() ? QM_TEST_BIN_DIR : QString::fromLocal8Bit(bin))
                         .absoluteFilePath(QStringLiteral("../screenshots")));
    ASSERT_TRUE(QDir().mkpath(shots.path()));
    const QPalette desktop = QApplication::palette();
    for (bool dark : {false, true}) {
        SCOPED_TRACE(dark ? "dark" : "light");
        QApplication::setPalette(DesktopPalette(dark));
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
            EXPECT_EQ(table->palette().color(group, QPalette::HighlightedText),
                      QColor(255, 255, 255));
        }
    }
    QApplication::setPalette(desktop);
}

class ShownWindow : public Layout {
  protected:
    void SetUp() override {
        window.SetEndProgram([] {});
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
TEST_F(ShownWindow, TheKeyboard) {
    const QPoint off =
        window.frameGeometry().center() - window.screen()->availableGeometry().center();
    EXPECT_LE(std::abs(off.x()), 1) << "frame " << window.frameGeometry().x();
    EXPECT_LE(std::abs(off.y()), 1) << "frame " << window.frameGeometry().y();
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
    const char* exit = "Are you sure you want to exit now?";
    const struct {
        const char* focus;  // nullptr: the key goes to the window
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        const char* question;  // nullptr: none, Convert runs
    } cases[] = {
        {nullptr, Qt::Key_M, Qt::AltModifier, nullptr},
        {nullptr, Qt::Key_X, Qt::AltModifier, exit},
        {"cmdEnd", Qt::Key_Return, Qt::NoModifier, exit},
        {"cmdEnd", Qt::Key_Enter, Qt::KeypadModifier, exit},
        {"cmdClear1", Qt::Key_Enter, Qt::KeypadModifier,
         "Do you want to clear all the files in the list\r\n Proceed?"},
        {"CmdExtractDBX", Qt::Key_Return, Qt::NoModifier, nullptr},
    };
    int expectedRuns = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.focus ? c.focus : "window") + " key " + std::to_string(c.key));
        dialogs.boxes.clear();
        if (c.question) dialogs.answers.push_back(Answer::No);
        if (c.focus) window.control(c.focus)->setFocus();
        QTest::keyClick(c.focus ? QApplication::focusWidget() : &window, c.key, c.modifiers);
        if (c.question) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return !dialogs.boxes.empty(); }));
            EXPECT_EQ(dialogs.boxes[0].text, c.question);
        } else {
            ++expectedRuns;
        }
        EXPECT_TRUE(QTest::qWaitFor([&] { return runs == expectedRuns; }));
    }
    EXPECT_FALSE(window.Unloaded());
}

TEST_F(ShownWindow, ALongPathCanBeScrolledToAndReadInItsTooltip) {
    const std::string path = "/home/ann/" + std::string(60, 'x') + "/Projects/2009/Budget/" +
                             "Re: the quarterly numbers and the plan.msg";
    Add(path);
    QTableWidget* table = Table();
    EXPECT_EQ(table->item(0, 0)->toolTip().toStdString(), path);
    QScrollBar* bar = table->horizontalScrollBar();
    ASSERT_TRUE(bar->isVisible());
    bar->setValue(bar->maximum());
    QCoreApplication::processEvents();
    const QRect cell = table->visualItemRect(table->item(0, 0));
    EXPECT_LE(cell.right(), table->viewport()->width()) << "the column's end is in view";
    EXPECT_LT(cell.left(), 0);
}

// The source list: additions, Clear with its question, Exit and closing.
// (WindowRun drives the list and the panel through a real run.)
class SourceList : public Layout {
  protected:
    SourceList() {
        window.SetEndProgram([this] { ++ends; });
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

// The grid and the bars underneath.
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
