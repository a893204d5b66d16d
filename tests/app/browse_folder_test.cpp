// The folder picker, answered by a timer that acts on the open dialog the way
// a user would.
#include "shell/browse_folder.h"

#include <QApplication>
#include <QFileDialog>
#include <QTimer>
#include <functional>

#include <gtest/gtest.h>

#include "shell/temp_tree.h"

namespace qm::shell {
namespace {

// Runs BrowseFolder while `answer` handles the dialog once it is up.
std::string Browse(const std::string& title, std::function<void(QFileDialog*)> answer,
                   QString* seenTitle = nullptr) {
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            ADD_FAILURE() << "no folder dialog is up";
            return;
        }
        if (seenTitle) *seenTitle = dialog->windowTitle();
        answer(dialog);
    });
    return BrowseFolder(nullptr, title);
}

TEST(BrowseFolder, CancelGivesEmptyText) {
    QString title;
    EXPECT_EQ(Browse(
                  "Choose Source Folder...", [](QFileDialog* d) { d->reject(); }, &title),
              "");
    EXPECT_EQ(title, QStringLiteral("Choose Source Folder..."));
}

TEST(BrowseFolder, AFolderComesBackWithoutASeparatorAndTheRootWithItsOwn) {
    test::TempTree t;
    t.dir("Mail");
    const std::string mail = t.path("Mail");
    auto choose = [](const std::string& path) {
        return [path](QFileDialog* d) {
            d->setDirectory(QString::fromStdString(path));
            d->selectFile(QString::fromStdString(path));
            QMetaObject::invokeMethod(d, "accept");  // as the dialog's own button does
        };
    };
    EXPECT_EQ(Browse("Choose Folder to Save...", choose(mail)), mail);
    EXPECT_EQ(Browse("Choose Folder to Save...", choose("/")), "/");
}

}  // namespace
}  // namespace qm::shell
