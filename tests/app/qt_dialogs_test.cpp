// The Qt side of the Dialogs seam, answered by a timer that acts on the open
// dialog the way a user would.
#include "app/qt_dialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <functional>

#include <gtest/gtest.h>

#include "shell/runtime_error.h"
#include "shell/temp_tree.h"

namespace qm::app {
namespace {

using namespace std::string_literals;

template <class D>
void WhenUp(std::function<void(D*)> act) {
    QTimer::singleShot(0, [act] {
        auto* dialog = qobject_cast<D*>(QApplication::activeModalWidget());
        if (!dialog) {
            ADD_FAILURE() << "the dialog is not up";
            return;
        }
        act(dialog);
    });
}

TEST(QtDialogs, MessageBoxShowsLineBreaksAndAnswers) {
    QtDialogs dialogs;
    QString shown, title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    WhenUp<QMessageBox>([&](QMessageBox* box) {
        shown = box->text();
        title = box->windowTitle();
        icon = box->icon();
        box->button(QMessageBox::Yes)->click();
    });
    const Answer a =
        dialogs.MsgBox("Do you want to clear all the files in the list\r\n Proceed?",
                       "Quillmark MSG to PST Converter", Buttons::YesNo, Icon::Question);
    EXPECT_EQ(a, Answer::Yes);
    EXPECT_EQ(shown, QStringLiteral("Do you want to clear all the files in the list\n Proceed?"));
    EXPECT_EQ(title, QStringLiteral("Quillmark MSG to PST Converter"));
    EXPECT_EQ(icon, QMessageBox::Question);

    WhenUp<QMessageBox>([](QMessageBox* box) { box->reject(); });
    EXPECT_EQ(
        dialogs.MsgBox("Are you sure you want to exit now?", "t", Buttons::YesNo, Icon::Question),
        Answer::No)
        << "Escape answers No";
}

CommonDialog MsgDialog() {
    CommonDialog d;
    d.Filter = "Email Messages (*.msg)|*.msg";
    d.Flags = kOfnExplorer | kOfnAllowMultiSelect;
    d.MaxFileSize = 1000;
    return d;
}

// Types the names into the dialog's name box and presses Open.
std::function<void(QFileDialog*)> Pick(const std::string& folder, const std::string& names) {
    return [folder, names](QFileDialog* d) {
        d->setDirectory(QString::fromStdString(folder));
        d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
            ->setText(QString::fromStdString(names));
        QMetaObject::invokeMethod(d, "accept");
    };
}

TEST(QtDialogs, OpenGivesOneFileOrTheFolderAndNames) {
    shell::test::TempTree t;
    t.file("a.msg");
    t.file("b.msg");
    QtDialogs dialogs;
    WhenUp<QFileDialog>(Pick(t.root(), "a.msg"));
    EXPECT_EQ(dialogs.ShowOpen(MsgDialog()), t.path("a.msg"));
    WhenUp<QFileDialog>(Pick(t.root(), "\"a.msg\" \"b.msg\""));
    EXPECT_EQ(dialogs.ShowOpen(MsgDialog()), t.root() + "\0a.msg\0b.msg"s);
    WhenUp<QFileDialog>([](QFileDialog* d) { d->reject(); });
    EXPECT_EQ(dialogs.ShowOpen(MsgDialog()), "") << "Cancel leaves FileName as it was set";
}

TEST(QtDialogs, AnOverLongSelectionIsReportedNotCut) {
    shell::test::TempTree t;
    std::string names;
    for (int i = 0; i < 60; ++i) {
        const std::string name = "message number " + std::to_string(i) + ".msg";
        t.file(name);
        names += "\"" + name + "\" ";
    }
    QtDialogs dialogs;
    WhenUp<QFileDialog>(Pick(t.root(), names));
    try {
        dialogs.ShowOpen(MsgDialog());
        FAIL() << "60 names of 20 characters fitted in 1000";
    } catch (const NumberedError& e) {
        EXPECT_EQ(e.number(), kErrFileNameBufferTooSmall);
    }
}

}  // namespace
}  // namespace qm::app
