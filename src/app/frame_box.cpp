#include "app/frame_box.h"

#include <QPainter>
#include <algorithm>

namespace qm::app {
namespace {

constexpr int kCaptionLeft = 8;     // pixels from the frame's left edge to its caption
constexpr int kCaptionPadding = 2;  // pixels of background either side of the caption

}  // namespace

FrameBox::FrameBox(const QString& title, QWidget* parent) : QWidget(parent), title_(title) {
    setFocusPolicy(Qt::NoFocus);
}

void FrameBox::setTitle(const QString& title) {
    title_ = title;
    update();
}

void FrameBox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QFontMetrics fm(font());
    // The line runs through the middle of the caption.
    const QRect box = rect().adjusted(0, fm.height() / 2, -1, -1);
    p.setPen(palette().color(QPalette::Mid));
    p.drawRect(box.adjusted(0, 0, -1, -1));
    p.setPen(palette().color(QPalette::Light));
    p.drawRect(box.adjusted(1, 1, 0, 0));
    if (title_.isEmpty()) return;
    const int width = fm.horizontalAdvance(title_) + 2 * kCaptionPadding;
    const QRect caption(kCaptionLeft, 0, std::min(width, this->width() - 2 * kCaptionLeft),
                        fm.height());
    p.fillRect(caption, palette().color(backgroundRole()));
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(caption, Qt::AlignCenter | Qt::TextSingleLine, title_);
}

}  // namespace qm::app
