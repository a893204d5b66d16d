#include "app/shape.h"

#include <QPainter>

namespace qm::app {

ShapeWidget::ShapeWidget(QColor fill, QColor outline, QWidget* parent)
    : QWidget(parent), fill_(fill), outline_(outline) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

void ShapeWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), fill_);
    p.setPen(outline_);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

}  // namespace qm::app
