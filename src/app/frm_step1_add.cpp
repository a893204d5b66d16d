// The add commands: files picked in the Open dialog, the .msg files of a
// folder tree, and files or folders dropped onto the list.
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QGuiApplication>
#include <QMimeData>
#include <QTableWidget>
#include <QTimer>
#include <QUrl>
#include <filesystem>

#include "app/frm_step1.h"
#include "app/layout.h"
#include "app/open_result.h"
#include "shell/folder_walk.h"
#include "shell/msg_name.h"
#include "shell/runtime_error.h"

namespace qm::app {
namespace {

constexpr char kMsgFilter[] = "Email Messages (*.msg)|*.msg";
constexpr int32_t kOpenFlags = kOfnExplorer | kOfnAllowMultiSelect;
constexpr int32_t kMaxFileSize = 1000;  // characters for the folder, every name and separator

// How many files the too-many-files warning suggests. The 1000 characters
// hold the folder and then each name with its separator; with a folder of
// about 100 characters and names of about 30 (a subject-like name and ".msg"),
// (1000 - 100) / (30 + 1) = 29 files fit. Shown as a 16-bit number.
constexpr int kTypicalFolderChars = 100;
constexpr int kTypicalNameChars = 30;
constexpr int16_t kFilesPerSelection =
    (kMaxFileSize - kTypicalFolderChars) / (kTypicalNameChars + 1);

constexpr char kSourceFolderTitle[] = "Choose Source Folder...";
constexpr char kFilesAdded[] = " Files Added to List.";

// The hourglass over a walk and its listing; restored on every way out.
class BusyCursor {
  public:
    BusyCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QGuiApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

// Every file of the tree, walked whole before any is listed: the chosen
// folder failing to list ends the command with nothing of this tree added;
// a folder below it that cannot be listed is skipped and noted in `skipped`.
std::vector<std::string> WalkFolder(const std::string& folder,
                                    std::vector<shell::SkippedFolder>& skipped) {
    std::vector<std::string> files;
    shell::FolderWalk walk(folder);
    for (std::string path; walk.Next(path);) files.push_back(path);
    skipped.insert(skipped.end(), walk.Skipped().begin(), walk.Skipped().end());
    return files;
}

// The count box's text; the folders that could not be read follow the count,
// one a line with the cause, the first kMaxSkippedShown of them.
std::string AddedText(int64_t added, const std::vector<shell::SkippedFolder>& skipped) {
    constexpr size_t kMaxSkippedShown = 10;
    std::string text = std::to_string(added) + kFilesAdded;
    if (skipped.empty()) return text;
    text += skipped.size() == 1 ? "\n\nThis folder could not be read and was skipped:"
                                : "\n\nThese " + std::to_string(skipped.size()) +
                                      " folders could not be read and were skipped:";
    for (size_t i = 0; i < skipped.size() && i < kMaxSkippedShown; ++i)
        text += "\n" + skipped[i].reason;
    if (skipped.size() > kMaxSkippedShown)
        text += "\n... and " + std::to_string(skipped.size() - kMaxSkippedShown) + " more.";
    return text;
}

std::string ErrorText(const std::exception& e) {
    const auto* r = dynamic_cast<const NumberedError*>(&e);
    return std::to_string(shell::ErrorNumberOf(e)) + ":" +
           (r ? r->description() : std::string(e.what()));
}

std::vector<std::string> LocalPaths(const QMimeData* mime) {
    std::vector<std::string> paths;
    if (!mime || !mime->hasUrls()) return paths;
    for (const QUrl& url : mime->urls()) {
        if (!url.isLocalFile()) continue;
        const QByteArray bytes = QFile::encodeName(url.toLocalFile());
        paths.emplace_back(bytes.constData(), static_cast<size_t>(bytes.size()));
    }
    return paths;
}

}  // namespace

void frmStep1::cmdAdd_Click() {
    try {
        cdlgFile_.FileName.clear();
        cdlgFile_.Filter = kMsgFilter;
        cdlgFile_.Flags = kOpenFlags;
        cdlgFile_.MaxFileSize = kMaxFileSize;
        cdlgFile_.FileName = dialogs_.ShowOpen(cdlgFile_);
        if (cdlgFile_.FileName.empty()) return;

        SetCmdExtractDBXEnabled(true);
        for (const std::string& path : ParseOpenResult(cdlgFile_.FileName)) AddFileToList(path);
    } catch (const std::exception& e) {
        const auto* r = dynamic_cast<const NumberedError*>(&e);
        const std::string text =
            r && r->number() == kErrFileNameBufferTooSmall
                ? "Please select only " + std::to_string(kFilesPerSelection) + " files at a time"
                : ErrorText(e);
        dialogs_.MsgBox(text, layout::kProgramTitle, Buttons::OK, Icon::Exclamation);
    }
}

void frmStep1::CmdAddFolder_Click() {
    std::string folder = dialogs_.BrowseFolder(kSourceFolderTitle);
    if (folder.empty()) return;
    if (folder.back() != shell::kPathSeparator) folder.push_back(shell::kPathSeparator);

    int64_t added = 0;
    bool loaded = true;
    std::vector<shell::SkippedFolder> skipped;
    try {
        BusyCursor busy;
        loaded = ListMessageFiles(WalkFolder(folder, skipped), added);
    } catch (const std::exception& e) {
        // The chosen folder that cannot be read ends the command; what was
        // listed stays listed and can be converted.
        if (added > 0) SetCmdExtractDBXEnabled(true);
        ShowFailure(e);
        return;
    }
    if (!loaded) return;
    // No files from this folder disables Convert even when earlier commands
    // listed some.
    SetCmdExtractDBXEnabled(added > 0);
    dialogs_.MsgBox(AddedText(added, skipped), layout::kProgramTitle, Buttons::OK,
                    skipped.empty() ? Icon::None : Icon::Exclamation);
}

void frmStep1::AddDroppedPaths(const std::vector<std::string>& paths) {
    int64_t added = 0;
    bool loaded = true;
    std::vector<shell::SkippedFolder> skipped;
    try {
        BusyCursor busy;
        std::vector<std::string> entries;
        for (const std::string& path : paths) {
            std::error_code ec;
            if (std::filesystem::is_directory(path, ec)) {
                const std::vector<std::string> files =
                    WalkFolder(shell::EnsureTrailingSeparator(path), skipped);
                entries.insert(entries.end(), files.begin(), files.end());
            } else if (std::filesystem::is_regular_file(path, ec)) {
                entries.push_back(path);
            }
        }
        loaded = ListMessageFiles(entries, added);
    } catch (const std::exception& e) {
        if (added > 0) SetCmdExtractDBXEnabled(true);
        ShowFailure(e);
        return;
    }
    if (!loaded) return;
    // Unlike Add Folder, a drop that brings no message leaves Convert as it
    // was: a stray file dropped on a full list must not lock it out.
    if (added > 0) SetCmdExtractDBXEnabled(true);
    dialogs_.MsgBox(AddedText(added, skipped), layout::kProgramTitle, Buttons::OK,
                    skipped.empty() ? Icon::None : Icon::Exclamation);
}

bool frmStep1::ListMessageFiles(const std::vector<std::string>& entries, int64_t& added) {
    // A Clear during a yield takes this command's rows with it, so the count
    // starts again: the count box then agrees with the list.
    int64_t clears = clears_;
    for (const std::string& entry : entries) {
        if (!DoEvents()) return false;
        if (!shell::IsMsgFileName(entry)) continue;
        if (!DoEvents()) return false;
        if (clears != clears_) {
            clears = clears_;
            added = 0;
        }
        AddFileToList(entry);  // as listed: its own case, spaces kept
        ++added;
    }
    if (clears != clears_) added = 0;
    return true;
}

void frmStep1::ShowFailure(const std::exception& e) {
    dialogs_.MsgBox(ErrorText(e), layout::kProgramTitle, Buttons::OK, Icon::Exclamation);
}

bool frmStep1::eventFilter(QObject* watched, QEvent* event) {
    if (watched != grdFiles1().widget()->viewport()) return QWidget::eventFilter(watched, event);
    switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto* drag = static_cast<QDropEvent*>(event);
            // The list takes no drops while a run has its commands off.
            if (!SourceCommandsEnabled() || LocalPaths(drag->mimeData()).empty()) return false;
            drag->acceptProposedAction();
            return true;
        }
        case QEvent::Drop: {
            auto* drop = static_cast<QDropEvent*>(event);
            std::vector<std::string> paths = LocalPaths(drop->mimeData());
            if (!SourceCommandsEnabled() || paths.empty()) return false;
            drop->acceptProposedAction();
            // Listed after the drop has returned, so the file manager that
            // started the drag is not held by our message box.
            QTimer::singleShot(0, this, [this, paths] {
                if (!unloaded_) AddDroppedPaths(paths);
            });
            return true;
        }
        default:
            return QWidget::eventFilter(watched, event);
    }
}

}  // namespace qm::app
