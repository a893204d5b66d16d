// The dialogs: the Qt side of the Dialogs seam and the folder picker, each
// answered by a timer that acts on the open dialog the way a user would; and
// the Open dialog's result text, split into paths and built from a choice
// with the 1000-character rule.
#include "app/qt_dialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "app/open_result.h"
#include "shell/browse_folder.h"
#include "shell/runtime_error.h"
#include "support/scratch_dir.h"

namespace qm::app {
namespace {

using namespace std::string_literals;
using Paths = std::vector<std::string>;

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

// The number of a NumberedError `f` raises, 0 when it raises none.
int ErrorOf(const std::function<void()>& f) {
    try {
        f();
        return 0;
    } catch (const NumberedError& e) {
        return e.number();
    }
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
    EXPECT_EQ(dialogs.MsgBox("Exit?", "t", Buttons::YesNo, Icon::Question), Answer::No)
        << "Escape answers No";
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

TEST(QtDialogs, OpenGivesOneFileOrTheFolderAndNamesAndReportsAnOverLongSelection) {
    qm::testing::ScratchDir t;
    std::string names;  // 60 names of 20 characters do not fit in 1000
    for (int i = 0; i < 60; ++i) {
        const std::string name = "message number " + std::to_string(i) + ".msg";
        std::ofstream(t / name) << "x";
        names += "\"" + name + "\" ";
    }
    CommonDialog msg;
    msg.Filter = "Email Messages (*.msg)|*.msg";
    msg.Flags = kOfnExplorer | kOfnAllowMultiSelect;
    msg.MaxFileSize = 1000;
    QtDialogs dialogs;
    WhenUp<QFileDialog>(Pick(t.str(), "message number 1.msg"));
    EXPECT_EQ(dialogs.ShowOpen(msg), (t / "message number 1.msg").string());
    WhenUp<QFileDialog>(Pick(t.str(), "\"message number 1.msg\" \"message number 2.msg\""));
    EXPECT_EQ(dialogs.ShowOpen(msg), t.str() + "\0message number 1.msg\0message number 2.msg"s);
    WhenUp<QFileDialog>([](QFileDialog* d) { d->reject(); });
    EXPECT_EQ(dialogs.ShowOpen(msg), "") << "Cancel leaves FileName as it was set";
    WhenUp<QFileDialog>(Pick(t.str(), names));
    EXPECT_EQ(ErrorOf([&] { dialogs.ShowOpen(msg); }), kErrFileNameBufferTooSmall);
}

TEST(BrowseFolder, CancelGivesEmptyTextAFolderComesBackWithoutASeparatorTheRootWithIt) {
    qm::testing::ScratchDir t;
    QString title;
    WhenUp<QFileDialog>([&](QFileDialog* d) {
        title = d->windowTitle();
        d->reject();
    });
    EXPECT_EQ(shell::BrowseFolder(nullptr, "Choose Source Folder..."), "");
    EXPECT_EQ(title, QStringLiteral("Choose Source Folder..."));
    for (const std::string& path : {t.str(), "/"s}) {
        WhenUp<QFileDialog>([path](QFileDialog* d) {
            d->setDirectory(QString::fromStdString(path));
            d->selectFile(QString::fromStdString(path));
            QMetaObject::invokeMethod(d, "accept");  // as the dialog's own button does
        });
        EXPECT_EQ(shell::BrowseFolder(nullptr, "Choose Folder to Save..."), path);
    }
}

TEST(ParseOpenResult, WindowsAndPosixForms) {
    const struct {
        std::string text;
        char separator;
        Paths paths;
    } cases[] = {
        {"", '\\', {}},
        {"C:\\Mail\\a.msg", '\\', {"C:\\Mail\\a.msg"}},
        {"C:\\Mail\\a.msg\0"s, '\\', {"C:\\Mail\\a.msg"}},
        {"C:\\Mail\0a.msg\0b.msg"s, '\\', {"C:\\Mail\\a.msg", "C:\\Mail\\b.msg"}},
        {"C:\\Mail\0a.msg\0b.msg\0"s, '\\', {"C:\\Mail\\a.msg", "C:\\Mail\\b.msg"}},
        {"C:\\\0a.msg\0b.msg"s, '\\', {"C:\\a.msg", "C:\\b.msg"}},  // a root: no doubled "\"
        {"C:\\Mail\\\0b.msg\0a.msg\0"s, '\\', {"C:\\Mail\\b.msg", "C:\\Mail\\a.msg"}},  // its order
        {"C:\\Mail\0 spaced .msg\0x\0"s, '\\', {"C:\\Mail\\ spaced .msg", "C:\\Mail\\x"}},
        {"/home/ann/a.msg", '/', {"/home/ann/a.msg"}},
        {"/home/ann\0a.msg\0b.msg"s, '/', {"/home/ann/a.msg", "/home/ann/b.msg"}},
        {"/\0a.msg\0b.msg\0"s, '/', {"/a.msg", "/b.msg"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseOpenResult(c.text, c.separator), c.paths) << "text of " << c.text.size();
    }
}

TEST(BuildOpenResult, RoundTripsThroughTheParserInOneFolderAndWithinMaxFileSize) {
    for (const Paths& paths : {Paths{"/home/ann/a.msg"}, Paths{"/a.msg", "/b.msg"},
                               Paths{"/home/ann/a.msg", "/home/ann/b.msg", "/home/ann/c d.msg"}}) {
        EXPECT_EQ(ParseOpenResult(BuildOpenResult(paths, 1000, '/'), '/'), paths);
    }
    EXPECT_EQ(BuildOpenResult({"/home/ann/a.msg", "/home/ann/b.msg"}, 1000, '/'),
              "/home/ann\0a.msg\0b.msg"s);
    EXPECT_EQ(BuildOpenResult({"C:\\a.msg", "C:\\b.msg"}, 1000, '\\'), "C:\\\0a.msg\0b.msg"s);
    // One file: the path and its terminating NUL. Several: "/d", NUL, 9 names
    // of 18 characters each with its NUL (2 + 9 * 19 = 173), and a second NUL.
    const std::string p999 = "/" + std::string(998, 'a');
    Paths nine;
    for (int i = 0; i < 9; ++i) nine.push_back("/d/" + std::to_string(10000000000000 + i) + ".msg");
    const struct {
        Paths paths;
        int32_t room;
        int error;
    } cases[] = {
        {{p999}, 1000, 0},
        {{p999 + "b"}, 1000, kErrFileNameBufferTooSmall},
        {nine, 175, 0},
        {nine, 174, kErrFileNameBufferTooSmall},
        {{"/a/x.msg", "/b/y.msg"}, 1000, kErrInvalidCall},  // two folders
        {{"/a/x.msg", "/ab/y.msg"}, 1000, kErrInvalidCall},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ErrorOf([&] { (void)BuildOpenResult(c.paths, c.room, '/'); }), c.error)
            << c.paths[0].substr(0, 20) << " of " << c.paths.size() << " in " << c.room;
    }
    EXPECT_EQ(OpenResultRoom("abc", false), 4);
    EXPECT_EQ(OpenResultRoom("abc", true), 5);
}

TEST(QtNameFilter, PairsBecomeQtFilters) {
    EXPECT_EQ(QtNameFilter("Email Messages (*.msg)|*.msg"), "Email Messages (*.msg)");
    EXPECT_EQ(QtNameFilter("All|*.*|Text|*.txt;*.log"), "All (*.*);;Text (*.txt *.log)");
}

}  // namespace
}  // namespace qm::app
