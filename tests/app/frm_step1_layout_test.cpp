// The window against its design: every control's kind, container, caption,
// geometry, font, colours, stacking, tab order and state when the window
// opens. The expectations are written out here in twips, independently of
// the layout table the window is built from.
#include <QApplication>
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
#include "desktop_palette.h"
#include "fake_dialogs.h"

namespace qm::app {
namespace {

using test::FakeDialogs;

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
    FakeDialogs dialogs;
    frmStep1 window{dialogs};
};

TEST_F(Layout, EveryControlAsDesigned) {
    for (const Expected& e : kExpected) {
        SCOPED_TRACE(e.name);
        QWidget* w = window.control(e.name);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->objectName(), QString::fromLatin1(e.name));
        EXPECT_STREQ(w->metaObject()->className(), e.qtClass);
        QWidget* container = *e.container ? window.control(e.container) : &window;
        EXPECT_EQ(w->parentWidget(), container);
        EXPECT_EQ(w->geometry(), QRect(Px(e.left), Px(e.top), Px(e.width), Px(e.height)));
        if (e.caption) {
            EXPECT_EQ(CaptionOf(w).toStdString(), e.caption);
        }
        if (e.font != '-') {
            EXPECT_EQ(w->font().family(), QStringLiteral("Tahoma"));
            EXPECT_DOUBLE_EQ(w->font().pointSizeF(), e.font == 'T' ? 14.25 : 8.25);
            EXPECT_EQ(w->font().bold(), e.font == 'T');
        }
        const QPalette& pal = w->palette();
        if (e.text != kSys) {
            EXPECT_EQ(pal.color(QPalette::WindowText), Rgb(e.text));
        }
        if (e.text == kSys && qobject_cast<QLabel*>(w)) {
            EXPECT_EQ(pal.color(QPalette::WindowText), pal.color(QPalette::ButtonText));
        }
        if (auto* shape = qobject_cast<ShapeWidget*>(w)) {
            EXPECT_EQ(shape->fillColor(), Rgb(0xFFFFFF));
            EXPECT_EQ(shape->outlineColor(), Rgb(0xC0C0C0));
        } else if (e.background != kSys) {
            EXPECT_TRUE(w->autoFillBackground());
            EXPECT_EQ(pal.color(w->backgroundRole()), Rgb(e.background));
        }
        EXPECT_EQ(w->isEnabled(), e.enabled);
        EXPECT_FALSE(w->isHidden());
    }
}

TEST_F(Layout, TheCopyrightIsOneLineOfOurOwn) {
    auto* label = qobject_cast<QLabel*>(window.control("lblCopyright"));
    ASSERT_NE(label, nullptr);
    EXPECT_TRUE(label->text().startsWith(QStringLiteral("Copyright")));
    EXPECT_TRUE(label->text().contains(QStringLiteral("Quillmark")));
    EXPECT_FALSE(label->text().contains('\n'));
    EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width());
}

TEST_F(Layout, TheWindowItself) {
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Quillmark MSG to PST Converter"));
    EXPECT_EQ(window.minimumSize(), QSize(543, 450));
    EXPECT_EQ(window.maximumSize(), QSize(543, 450));
    EXPECT_EQ(window.size(), QSize(543, 450));
    EXPECT_TRUE(window.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(window.backgroundRole(), QPalette::Button);
    const QList<QSize> sizes = window.windowIcon().availableSizes();
    for (int s : {16, 24, 32, 48}) EXPECT_TRUE(sizes.contains(QSize(s, s))) << s;
    auto* image = qobject_cast<QLabel*>(window.control("Image1"));
    EXPECT_EQ(image->pixmap().size(), QSize(48, 48));
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((window.geometry().center() - screen.center()).manhattanLength(), 2);
}

TEST_F(Layout, BandsLieBehindAndStickOutPastTheEdges) {
    const QObjectList& order = window.children();  // back to front
    auto at = [&](const char* name) { return order.indexOf(window.control(name)); };
    EXPECT_EQ(std::min(at("Shape1"), at("Shape2")), 0);
    EXPECT_EQ(std::max(at("Shape1"), at("Shape2")), 1);
    for (const char* front : {"Image1", "lblTitle", "lblCopyright"}) {
        EXPECT_GT(at(front), at("Shape2")) << front;
    }
    EXPECT_GT(at("Picture3"), at("Shape1"));
    // The top band reaches both edges; the bottom band is cut off below.
    const QRect top = window.control("Shape2")->geometry();
    const QRect bottom = window.control("Shape1")->geometry();
    EXPECT_LT(top.left(), 0);
    EXPECT_GT(top.right(), window.width());
    EXPECT_GT(bottom.bottom(), window.height());
}

TEST_F(Layout, TheGridStartsAsOneEmptyYellowCell) {
    auto* table = qobject_cast<QTableWidget*>(window.control("grdFiles1"));
    FlexGrid& grid = window.grdFiles1();
    EXPECT_EQ(grid.Rows(), 1);
    EXPECT_EQ(grid.Cols(), 1);
    EXPECT_EQ(grid.FixedRows(), 0);
    EXPECT_EQ(grid.Text(), "");
    EXPECT_EQ(grid.ColWidth(0), 50000);
    EXPECT_EQ(table->columnWidth(0), 3333);
    EXPECT_EQ(table->item(0, 0)->background().color(), QColor(255, 255, 191));
    const QPalette& pal = table->palette();
    EXPECT_EQ(pal.color(QPalette::Base), QColor(255, 255, 255));
    EXPECT_EQ(pal.color(QPalette::Highlight), QColor(0, 0, 128));
    EXPECT_EQ(pal.color(QPalette::Inactive, QPalette::Highlight), QColor(0, 0, 128));
    QStyleOptionViewItem option;
    EXPECT_EQ(QColor::fromRgba(static_cast<QRgb>(
                  table->style()->styleHint(QStyle::SH_Table_GridLineColor, &option, table))),
              QColor(192, 192, 192));
    EXPECT_TRUE(table->horizontalHeader()->isHidden());
    EXPECT_TRUE(table->verticalHeader()->isHidden());
    EXPECT_EQ(table->editTriggers(), QAbstractItemView::NoEditTriggers);
}

int Lightness(const QColor& c) {
    return c.toHsl().lightness();
}

TEST(Colours, EveryTextReadsOnLightAndDarkDesktops) {
    for (bool dark : {false, true}) {
        SCOPED_TRACE(dark ? "dark" : "light");
        test::PaletteScope scope(test::DesktopPalette(dark));
        FakeDialogs dialogs;
        frmStep1 window(dialogs);
        dialogs.OpenReturns("/home/ann/Mail/a.msg");
        window.cmdAdd_Click();
        // Every label against what lies behind it: its own fill or its container's.
        for (const Expected& e : kExpected) {
            auto* label = qobject_cast<QLabel*>(window.control(e.name));
            if (!label || label->text().isEmpty()) continue;
            SCOPED_TRACE(e.name);
            const QWidget* behind = label->autoFillBackground() ? label : label->parentWidget();
            const QColor back = behind->palette().color(behind->backgroundRole());
            EXPECT_GE(
                std::abs(Lightness(label->palette().color(QPalette::WindowText)) - Lightness(back)),
                120);
        }
        // The grid's fixed colours come with fixed partners.
        auto* table = qobject_cast<QTableWidget*>(window.control("grdFiles1"));
        EXPECT_EQ(table->item(0, 0)->foreground().color(), QColor(0, 0, 0));
        EXPECT_EQ(table->item(0, 0)->background().color(), QColor(255, 255, 191));
        for (auto group : {QPalette::Active, QPalette::Inactive}) {
            EXPECT_EQ(table->palette().color(group, QPalette::Highlight), QColor(0, 0, 128));
            EXPECT_EQ(table->palette().color(group, QPalette::HighlightedText),
                      QColor(255, 255, 255));
        }
    }
}

TEST_F(Layout, ALongPathCanBeScrolledToAndReadInItsTooltip) {
    const std::string path = "/home/ann/" + std::string(60, 'x') + "/Projects/2009/Budget/" +
                             "Re: the quarterly numbers and the plan.msg";
    dialogs.OpenReturns(path);
    window.cmdAdd_Click();
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto* table = qobject_cast<QTableWidget*>(window.control("grdFiles1"));
    EXPECT_EQ(table->item(0, 0)->toolTip().toStdString(), path);
    QScrollBar* bar = table->horizontalScrollBar();
    ASSERT_TRUE(bar->isVisible());
    bar->setValue(bar->maximum());
    QCoreApplication::processEvents();
    const QRect cell = table->visualItemRect(table->item(0, 0));
    EXPECT_LE(cell.right(), table->viewport()->width()) << "the column's end is in view";
    EXPECT_LT(cell.left(), 0);
}

TEST_F(Layout, TheProgressPanelShowsItsPlaceholders) {
    EXPECT_EQ(window.FrameConversionCaption(), "Details");
    EXPECT_EQ(window.LblCurrentDBXCaption(), "Converting Messages...");
    for (ProgressBarControl* bar : {&window.ProgressBar1(), &window.ProgressBar2()}) {
        EXPECT_EQ(bar->Min(), 0.0f);
        EXPECT_EQ(bar->Max(), 100.0f);
        EXPECT_EQ(bar->Value(), 0.0f);
        EXPECT_EQ(bar->value(), bar->minimum()) << "drawn empty";
        EXPECT_FALSE(bar->isTextVisible());
    }
}

TEST_F(Layout, TahomaIsTheFontActuallyUsedWhereInstalled) {
    if (!QFileInfo::exists(QStringLiteral("/usr/share/wine/fonts/tahoma.ttf"))) {
        GTEST_SKIP() << "Tahoma (Debian fonts-wine) is not installed; the fallback is used";
    }
    for (const char* name : {"lblTitle", "cmdAdd", "grdFiles1", "Label1"}) {
        EXPECT_EQ(QFontInfo(window.control(name)->font()).family(), QStringLiteral("Tahoma"))
            << name;
    }
    EXPECT_TRUE(QFontInfo(window.control("lblTitle")->font()).bold());
}

// The keyboard's walk over the controls, from cmdAdd round to cmdAdd.
std::vector<std::string> FocusChain(frmStep1& window) {
    std::vector<std::string> names;
    QWidget* start = window.control("cmdAdd");
    QWidget* w = start;
    do {
        const std::string name = w->objectName().toStdString();
        if (window.control(name) == w) names.push_back(name);
        w = w->nextInFocusChain();
    } while (w != start && names.size() < 100);
    return names;
}

TEST_F(Layout, TabOrderFollowsTheTabIndexes) {
    std::vector<std::pair<int, std::string>> byTab;
    for (const Expected& e : kExpected) {
        SCOPED_TRACE(e.name);
        QWidget* w = window.control(e.name);
        EXPECT_EQ(w->property("TabIndex").isValid() ? w->property("TabIndex").toInt() : -1, e.tab);
        // The keyboard visits only what can take the focus.
        if (e.tab >= 0 && w->focusPolicy() & Qt::TabFocus) byTab.emplace_back(e.tab, e.name);
    }
    std::sort(byTab.begin(), byTab.end());
    std::vector<std::string> expected;
    for (auto& [tab, name] : byTab) expected.push_back(name);
    EXPECT_EQ(expected, (std::vector<std::string>{"cmdAdd", "cmdClear1", "CmdAddFolder",
                                                  "grdFiles1", "CmdExtractDBX", "cmdEnd"}));
    std::vector<std::string> chain = FocusChain(window);
    std::erase_if(chain, [&](const std::string& n) {
        return std::find(expected.begin(), expected.end(), n) == expected.end();
    });
    EXPECT_EQ(chain, expected);
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

TEST_F(ShownWindow, KeyboardFocusStartsOnAddAndSkipsWhatCannotTakeIt) {
    EXPECT_EQ(Focused(), "cmdAdd");
    // Convert is disabled, labels, frame, strip and bars take no focus.
    for (const char* next : {"cmdClear1", "CmdAddFolder", "grdFiles1", "cmdEnd", "cmdAdd"}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(Focused(), next);
    }
    dialogs.OpenReturns("/m/a.msg");
    window.cmdAdd_Click();  // Convert comes on with the first row
    window.control("grdFiles1")->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(Focused(), "CmdExtractDBX");
}

// A button's access key clicks it the way a mouse would, after the press
// has been shown for a moment; the tests wait for that click.
TEST_F(ShownWindow, AltMRunsConvertOnlyWhenEnabled) {
    int runs = 0;
    window.SetConvertHandler([&] { ++runs; });
    QTest::keyClick(&window, Qt::Key_M, Qt::AltModifier);
    QTest::qWait(300);
    EXPECT_EQ(runs, 0) << "Alt+M on the disabled button";
    dialogs.OpenReturns("/m/a.msg");
    window.cmdAdd_Click();
    QTest::keyClick(&window, Qt::Key_M, Qt::AltModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return runs == 1; }));
}

TEST_F(ShownWindow, AltXAsksToExit) {
    dialogs.answers.push_back(Answer::No);
    QTest::keyClick(&window, Qt::Key_X, Qt::AltModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !dialogs.boxes.empty(); }));
    EXPECT_EQ(dialogs.boxes[0].text, "Are you sure you want to exit now?");
    EXPECT_FALSE(window.Unloaded());
}

// Return and keypad Enter press the button that has the focus, as Space does.
TEST_F(ShownWindow, ReturnAndEnterPressTheFocusedButton) {
    struct Case {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        const char* button;
        const char* question;
    };
    const Case cases[] = {
        {Qt::Key_Return, Qt::NoModifier, "cmdEnd", "Are you sure you want to exit now?"},
        {Qt::Key_Enter, Qt::KeypadModifier, "cmdEnd", "Are you sure you want to exit now?"},
        {Qt::Key_Enter, Qt::KeypadModifier, "cmdClear1",
         "Do you want to clear all the files in the list\r\n Proceed?"},
    };
    dialogs.OpenReturns("/m/a.msg");
    window.cmdAdd_Click();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.button);
        dialogs.boxes.clear();
        dialogs.answers.push_back(Answer::No);
        window.control(c.button)->setFocus();
        QTest::keyClick(QApplication::focusWidget(), c.key, c.modifiers);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !dialogs.boxes.empty(); }));
        EXPECT_EQ(dialogs.boxes[0].text, c.question);
    }
    int runs = 0;
    window.SetConvertHandler([&] { ++runs; });
    window.control("CmdExtractDBX")->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return runs == 1; }));
    EXPECT_FALSE(window.Unloaded());
}

// The whole window, frame and all, sits in the middle of the screen.
TEST_F(ShownWindow, TheFrameIsCentredOnTheScreen) {
    const QRect screen = window.screen()->availableGeometry();
    const QPoint off = window.frameGeometry().center() - screen.center();
    EXPECT_LE(std::abs(off.x()), 1) << "frame " << window.frameGeometry().x();
    EXPECT_LE(std::abs(off.y()), 1) << "frame " << window.frameGeometry().y();
}

}  // namespace
}  // namespace qm::app
