// FrameBox: a frame in the classic style: an etched rectangle whose caption
// sits on its top edge, so controls placed 240 twips down lie below the line.
// (A group box of the Fusion style puts its title above the line instead,
// where it would cross the first row of the progress panel.)
#pragma once

#include <QString>
#include <QWidget>

namespace qm::app {

class FrameBox : public QWidget {
    Q_OBJECT
  public:
    explicit FrameBox(const QString& title, QWidget* parent = nullptr);

    QString title() const { return title_; }
    void setTitle(const QString& title);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QString title_;
};

}  // namespace qm::app
