// frmStep1's construction from the layout table, and the members the
// conversion run drives.
#include "app/frm_step1.h"

#include <algorithm>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>

#include "app/app_icon.h"
#include "app/frame_box.h"
#include "app/layout.h"
#include "app/progress_bar.h"
#include "app/shape.h"

namespace qm::app {
namespace {

QColor Rgb(int rgb) {
    return QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

QString Utf8(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

std::string ToUtf8(const QString& s) {
    return s.toUtf8().toStdString();
}

// The grid draws its lines silver; the style's own choice would follow the
// palette instead.
class GridLineStyle : public QProxyStyle {
  public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_Table_GridLineColor) return static_cast<int>(Rgb(layout::kGridLines).rgb());
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

QFont FontFor(layout::Font font) {
    QFont f(QString::fromLatin1(layout::kFontFamily));
    if (font == layout::Font::Title) {
        f.setPointSizeF(layout::kTitlePointSize);
        f.setBold(true);
    } else {
        f.setPointSizeF(layout::kRegularPointSize);
        f.setBold(false);
    }
    return f;
}

// Colours of a control with text: the layout's own, or the system's button
// text on button face.
void Colour(QWidget* w, const layout::Control& c) {
    QPalette pal = w->palette();
    if (c.text != layout::kSystem) {
        pal.setColor(QPalette::WindowText, Rgb(c.text));
        pal.setColor(QPalette::ButtonText, Rgb(c.text));
    } else {
        pal.setColor(QPalette::WindowText, pal.color(QPalette::ButtonText));
    }
    pal.setColor(QPalette::Window,
                 c.background != layout::kSystem ? Rgb(c.background) : pal.color(QPalette::Button));
    w->setPalette(pal);
    // Children would otherwise take the window's background role (button face).
    w->setBackgroundRole(QPalette::Window);
}

}  // namespace

frmStep1::frmStep1(Dialogs& dialogs, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      dialogs_(dialogs),
      endProgram_([] { QCoreApplication::quit(); }) {
    setObjectName(QStringLiteral("frmStep1"));
    setWindowTitle(Utf8(layout::kProgramTitle));
    setWindowIcon(AppIcon());
    setFixedSize(layout::Px(layout::kClientWidth), layout::Px(layout::kClientHeight));
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);
    createControls();

    CentreFrame();
    control("cmdAdd")->setFocus();
    Form_Load();
}

frmStep1::~frmStep1() = default;

void frmStep1::createControls() {
    using layout::Kind;
    for (const layout::Control& c : layout::kControls) {
        QWidget* parent = c.container.empty() ? this : controls_.at(std::string(c.container));
        QWidget* w = nullptr;
        switch (c.kind) {
            case Kind::Shape:
                w = new ShapeWidget(Rgb(c.background), Rgb(c.outline), parent);
                break;
            case Kind::Image: {
                auto* image = new QLabel(parent);
                image->setPixmap(AppIcon().pixmap(layout::Px(c.width), layout::Px(c.height)));
                w = image;
                break;
            }
            case Kind::Label: {
                auto* label = new QLabel(Utf8(c.caption), parent);
                label->setTextFormat(Qt::PlainText);
                label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
                // A label on the button face lets its container show through,
                // so it matches whatever shade the style gives the frame.
                label->setAutoFillBackground(c.background != layout::kSystem);
                Colour(label, c);
                w = label;
                break;
            }
            case Kind::Button: {
                auto* button = new QPushButton(Utf8(c.caption), parent);
                // Return and keypad Enter press the focused button, as on every
                // desktop; outside a dialog Qt gives them to no button.
                button->setAutoDefault(true);
                w = button;
                break;
            }
            case Kind::Grid: {
                auto* table = new QTableWidget(parent);
                auto* style = new GridLineStyle();
                style->setParent(table);
                table->setStyle(style);
                QPalette pal = table->palette();
                for (auto group : {QPalette::Active, QPalette::Inactive}) {
                    pal.setColor(group, QPalette::Base, Rgb(layout::kGridOutside));
                    pal.setColor(group, QPalette::Highlight, Rgb(layout::kGridSelection));
                    pal.setColor(group, QPalette::HighlightedText, Rgb(layout::kGridSelectionText));
                }
                table->setPalette(pal);
                table->setFrameShape(QFrame::Box);
                table->setFrameShadow(QFrame::Plain);
                table->setLineWidth(1);
                // A flex grid's default row height at this font (240 twips).
                table->verticalHeader()->setDefaultSectionSize(layout::Px(240));
                table->verticalHeader()->setMinimumSectionSize(0);
                grid_ = std::make_unique<FlexGrid>(table);
                table->viewport()->setAcceptDrops(true);
                table->viewport()->installEventFilter(this);
                w = table;
                break;
            }
            case Kind::Frame: {
                auto* frame = new FrameBox(Utf8(c.caption), parent);
                Colour(frame, c);
                w = frame;
                break;
            }
            case Kind::Strip: {
                auto* strip = new QFrame(parent);
                strip->setFrameShape(QFrame::NoFrame);
                strip->setAutoFillBackground(true);
                Colour(strip, c);
                w = strip;
                break;
            }
            case Kind::ProgressBar: {
                auto* bar = new ProgressBarControl(parent);
                (c.name == "ProgressBar1" ? progress1_ : progress2_) = bar;
                w = bar;
                break;
            }
            case Kind::FileDialog:
                // No visible part: the Open dialog's settings live in cdlgFile_
                // and the dialog itself behind the Dialogs seam.
                continue;
        }
        w->setObjectName(Utf8(c.name));
        if (c.tabIndex != layout::kNoTab) w->setProperty("TabIndex", c.tabIndex);
        w->setGeometry(layout::Px(c.left), layout::Px(c.top), layout::Px(c.width),
                       layout::Px(c.height));
        if (c.font != layout::Font::None) w->setFont(FontFor(c.font));
        controls_.emplace(std::string(c.name), w);
    }
    // The bands lie behind everything.
    control("Shape1")->lower();
    control("Shape2")->lower();

    // Focus follows the tab indexes; labels, the frame, the strip and the bars
    // take no focus, so the keyboard passes over them (Qt leaves them out of
    // the chain; their indexes stay readable as the "TabIndex" property).
    std::vector<const layout::Control*> byTab;
    for (const layout::Control& c : layout::kControls) {
        if (c.tabIndex != layout::kNoTab) byTab.push_back(&c);
    }
    std::sort(byTab.begin(), byTab.end(),
              [](auto* a, auto* b) { return a->tabIndex < b->tabIndex; });
    for (size_t i = 0; i + 1 < byTab.size(); ++i) {
        setTabOrder(control(std::string(byTab[i]->name)), control(std::string(byTab[i + 1]->name)));
    }

    connect(static_cast<QPushButton*>(control("cmdAdd")), &QPushButton::clicked, this,
            &frmStep1::cmdAdd_Click);
    connect(static_cast<QPushButton*>(control("CmdAddFolder")), &QPushButton::clicked, this,
            &frmStep1::CmdAddFolder_Click);
    connect(static_cast<QPushButton*>(control("cmdClear1")), &QPushButton::clicked, this,
            &frmStep1::cmdClear1_Click);
    connect(static_cast<QPushButton*>(control("CmdExtractDBX")), &QPushButton::clicked, this,
            &frmStep1::CmdExtractDBX_Click);
    connect(static_cast<QPushButton*>(control("cmdEnd")), &QPushButton::clicked, this,
            &frmStep1::cmdEnd_Click);

    control("CmdExtractDBX")->setEnabled(false);
}

QWidget* frmStep1::control(const std::string& name) const {
    auto it = controls_.find(name);
    return it == controls_.end() ? nullptr : it->second;
}

std::string frmStep1::FrameConversionCaption() const {
    return ToUtf8(static_cast<FrameBox*>(control("FrameConversion"))->title());
}

void frmStep1::SetFrameConversionCaption(const std::string& caption) {
    static_cast<FrameBox*>(control("FrameConversion"))->setTitle(Utf8(caption));
}

std::string frmStep1::LblCurrentDBXCaption() const {
    return ToUtf8(static_cast<QLabel*>(control("LblCurrentDBX"))->text());
}

void frmStep1::SetLblCurrentDBXCaption(const std::string& caption) {
    // Plain text: a folder name must never be read as markup.
    auto* label = static_cast<QLabel*>(control("LblCurrentDBX"));
    label->setTextFormat(Qt::PlainText);
    label->setText(Utf8(caption));
}

bool frmStep1::CmdExtractDBXEnabled() const {
    return control("CmdExtractDBX")->isEnabled();
}

void frmStep1::SetCmdExtractDBXEnabled(bool enabled) {
    convertWanted_ = enabled;
    UpdateConvertButton();
}

void frmStep1::UpdateConvertButton() {
    // An empty list has nothing to convert: Convert stays off until a row
    // arrives, whatever the commands asked for.
    const bool empty = grid_->Rows() == 1 && grid_->TextMatrix(0, 0).empty();
    control("CmdExtractDBX")->setEnabled(convertWanted_ && !empty);
}

void frmStep1::SetSourceCommandsEnabled(bool enabled) {
    for (const char* name : {"cmdAdd", "CmdAddFolder", "cmdClear1"}) {
        control(name)->setEnabled(enabled);
    }
}

bool frmStep1::SourceCommandsEnabled() const {
    return control("cmdAdd")->isEnabled();
}

bool frmStep1::DoEvents() {
    if (unloaded_) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return !unloaded_;
}

void frmStep1::CmdExtractDBX_Click() {
    // Conversion seam: the run lives outside the window (see the header). It
    // reports its own failures; anything that still escapes it is shown here
    // rather than lost in the event loop.
    if (!convertHandler_) return;
    try {
        convertHandler_();
    } catch (const std::exception& e) {
        ShowFailure(e);
    }
}

void frmStep1::CentreFrame() {
    QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!s) return;
    QRect frame(QPoint(0, 0), frameGeometry().size());
    frame.moveCenter(s->availableGeometry().center());
    move(frame.topLeft());  // a window's position is its frame's
}

bool frmStep1::event(QEvent* event) {
    // The window system tells the frame's size only once the window is on
    // screen (at its show, or its first move by the window manager): the
    // window is centred again then, frame and all, once.
    if (!frameCentred_ && (event->type() == QEvent::Show || event->type() == QEvent::Move) &&
        isVisible() && frameGeometry().size() != size()) {
        frameCentred_ = true;
        CentreFrame();
    }
    return QWidget::event(event);
}

void frmStep1::closeEvent(QCloseEvent* event) {
    Form_Unload();
    event->accept();
}

}  // namespace qm::app
