#include "shell/browse_folder.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>

namespace qm::shell {

std::string BrowseFolder(QWidget* owner, const std::string& title) {
    try {
        // Only folders of the file system can be confirmed, as with the shell's
        // "return only file-system folders" dialog; a read-only dialog offers no
        // new-folder button, as that dialog does not.
        const QString chosen = QFileDialog::getExistingDirectory(
            owner, QString::fromUtf8(title.data(), static_cast<qsizetype>(title.size())), QString(),
            QFileDialog::ShowDirsOnly | QFileDialog::ReadOnly);
        if (chosen.isEmpty() || !QFileInfo(chosen).isDir()) return {};
        const QByteArray bytes = QFile::encodeName(QDir::toNativeSeparators(chosen));
        return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
    } catch (...) {
        // Callers take "" as "nothing chosen"; a failing dialog must not end
        // their command with an error.
        return {};
    }
}

}  // namespace qm::shell
