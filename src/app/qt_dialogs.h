// QtDialogs: the Dialogs seam shown with Qt's own message boxes, Open dialog
// and folder picker, modal to the owner window.
#pragma once

#include <QPointer>
#include <QWidget>

#include "app/dialogs.h"

namespace qm::app {

class QtDialogs : public Dialogs {
  public:
    // The window the dialogs are modal to (none until the window exists).
    void SetOwner(QWidget* owner) { owner_ = owner; }

    Answer MsgBox(const std::string& text, const std::string& title, Buttons buttons, Icon icon,
                  const std::string& details = {}) override;
    std::string ShowOpen(const CommonDialog& dialog) override;
    std::string BrowseFolder(const std::string& title) override;

  private:
    QPointer<QWidget> owner_;
};

// "\r\n" line breaks as Qt shows them.
QString ShownText(const std::string& text);

}  // namespace qm::app
