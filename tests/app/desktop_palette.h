// A light and a dark desktop palette, as a theme hands them to Qt, and a
// scope that makes one the application's.
#pragma once

#include <QApplication>
#include <QPalette>
#include <QStyle>

namespace qm::app::test {

inline QPalette DesktopPalette(bool dark) {
    if (!dark) return QApplication::style()->standardPalette();
    QPalette p;
    const QColor face(53, 53, 53), text(230, 230, 230), base(30, 30, 30);
    p.setColor(QPalette::Window, face);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Button, face);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Highlight, QColor(42, 130, 218));
    p.setColor(QPalette::HighlightedText, Qt::black);
    return p;
}

class PaletteScope {
  public:
    explicit PaletteScope(const QPalette& p) : old_(QApplication::palette()) {
        QApplication::setPalette(p);
    }
    ~PaletteScope() { QApplication::setPalette(old_); }
    PaletteScope(const PaletteScope&) = delete;
    PaletteScope& operator=(const PaletteScope&) = delete;

  private:
    QPalette old_;
};

}  // namespace qm::app::test
