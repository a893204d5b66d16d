// ShapeWidget: a filled rectangle with a one-pixel outline, drawn behind the
// controls that sit on it (the window's white top and bottom bands).
#pragma once

#include <QColor>
#include <QWidget>

namespace qm::app {

class ShapeWidget : public QWidget {
    Q_OBJECT
  public:
    ShapeWidget(QColor fill, QColor outline, QWidget* parent = nullptr);

    QColor fillColor() const { return fill_; }
    QColor outlineColor() const { return outline_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QColor fill_;
    QColor outline_;
};

}  // namespace qm::app
