#include "app/qt_dialogs.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>

#include "app/open_result.h"
#include "shell/browse_folder.h"

namespace qm::app {

QString ShownText(const std::string& text) {
    QString s = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return s;
}

Answer QtDialogs::MsgBox(const std::string& text, const std::string& title, Buttons buttons,
                         Icon icon, const std::string& details) {
    QMessageBox box(owner_);
    box.setWindowTitle(ShownText(title));
    box.setTextFormat(Qt::PlainText);
    box.setText(ShownText(text));
    if (!details.empty()) box.setDetailedText(ShownText(details));
    switch (icon) {
        case Icon::None:
            box.setIcon(QMessageBox::NoIcon);
            break;
        case Icon::Question:
            box.setIcon(QMessageBox::Question);
            break;
        case Icon::Exclamation:
            box.setIcon(QMessageBox::Warning);
            break;
        case Icon::Information:
            box.setIcon(QMessageBox::Information);
            break;
        case Icon::Critical:
            box.setIcon(QMessageBox::Critical);
            break;
    }
    if (buttons == Buttons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    const int pressed = box.exec();
    if (buttons == Buttons::OK) return Answer::OK;
    // Escape or the close box on a Yes/No question means No.
    return pressed == QMessageBox::Yes ? Answer::Yes : Answer::No;
}

std::string QtDialogs::ShowOpen(const CommonDialog& dialog) {
    const QString filter = QString::fromStdString(QtNameFilter(dialog.Filter));
    QStringList chosen;
    if (dialog.Flags & kOfnAllowMultiSelect) {
        chosen = QFileDialog::getOpenFileNames(owner_, QString(), QString(), filter);
    } else {
        const QString one = QFileDialog::getOpenFileName(owner_, QString(), QString(), filter);
        if (!one.isEmpty()) chosen << one;
    }
    if (chosen.isEmpty()) return dialog.FileName;  // Cancel leaves the name as set

    std::vector<std::string> paths;
    for (const QString& path : chosen) {
        const QByteArray bytes = QFile::encodeName(QDir::toNativeSeparators(path));
        paths.emplace_back(bytes.constData(), static_cast<size_t>(bytes.size()));
    }
    return BuildOpenResult(paths, dialog.MaxFileSize);
}

std::string QtDialogs::BrowseFolder(const std::string& title) {
    return shell::BrowseFolder(owner_, title);
}

}  // namespace qm::app
