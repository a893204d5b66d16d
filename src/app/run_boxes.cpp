#include "app/run_boxes.h"

#include <cctype>

namespace qm::app {
namespace {

// The last part of an error text, which says what went wrong without the
// path and the operation before it ("/x/a.pst: create failed: Permission
// denied" gives "permission denied").
std::string PlainCause(const std::string& cause) {
    const size_t colon = cause.rfind(": ");
    std::string plain = colon == std::string::npos ? cause : cause.substr(colon + 2);
    while (!plain.empty() && (plain.back() == '.' || plain.back() == ' ')) plain.pop_back();
    if (plain.empty()) return cause;
    // "Permission denied" reads on inside a sentence; "EOF" or "X: ..." keep their case.
    if (plain.size() > 1 && std::isupper(static_cast<unsigned char>(plain[0])) &&
        std::islower(static_cast<unsigned char>(plain[1]))) {
        plain[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(plain[0])));
    }
    return plain;
}

// A folder as the user picked it: no separator after it, except the root's.
std::string ShownFolder(std::string folder) {
    if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

// "path: cause", with the path once even when the cause already starts with it.
std::string PathAndCause(const std::string& path, const std::string& cause) {
    if (cause.size() > path.size() && cause.compare(0, path.size(), path) == 0 &&
        cause.compare(path.size(), 2, ": ") == 0) {
        return cause;
    }
    return path + ": " + cause;
}

}  // namespace

MessageBoxSpec TrappedErrorBox(const convert::RunReport& report, TrappedAt at) {
    MessageBoxSpec box;
    const std::string cause = PlainCause(report.trappedCause);
    switch (at) {
        case TrappedAt::EarlierStore:
            box.text = "Could not finish the .pst the last run left open: " + cause +
                       ". Check that its folder can still be written, then convert again.";
            break;
        case TrappedAt::NewStore:
            if (report.storeCreated) {
                box.text = "Could not sort the listed files into folders of " + report.pstPath +
                           ": " + cause + ". Clear the list, add the files again and convert.";
            } else {
                box.text = "Could not create the .pst in " + ShownFolder(report.destination) +
                           ": " + cause + ". Choose another folder.";
            }
            break;
    }
    box.title = "Outlook Error";
    box.icon = BoxIcon::Information;
    box.detailedText = report.trappedCause;
    return box;
}

MessageBoxSpec EndOfRunBox(const convert::RunReport& report) {
    MessageBoxSpec box;
    box.title = kProgramTitle;
    box.text = std::to_string(report.converted) + " of " + std::to_string(report.messages) +
               " message(s) converted into \"" + report.displayName + "\".";
    if (!report.failed.empty()) {
        box.text += "\r\n" + std::to_string(report.failed.size()) +
                    " message(s) could not be converted (see details).";
    }
    if (report.warningCount > 0) {
        box.text += "\r\n" + std::to_string(report.warningCount) +
                    " warning(s) about damaged messages (see details).";
    }
    box.text += "\r\nFile: " + report.pstPath + "\r\nFolder: " + report.destination;
    if (!report.closeError.empty()) {
        box.text += "\r\nThe store could not be closed cleanly: " + report.closeError;
    }
    if (report.lostUncommitted > 0) {
        box.text += "\r\n" + std::to_string(report.lostUncommitted) +
                    " message(s) imported after the last successful save are not in the file.";
    }
    const bool trouble = !report.failed.empty() || report.warningCount > 0 ||
                         !report.closeError.empty() || report.lostUncommitted > 0;
    box.icon = trouble ? BoxIcon::Warning : BoxIcon::Information;
    for (const auto& f : report.failed) {
        if (!box.detailedText.empty()) box.detailedText += "\r\n";
        box.detailedText += PathAndCause(f.path, f.reason);
    }
    if (!report.failed.empty()) {
        for (const auto& f : report.failedFolders) {
            box.detailedText += "\r\nFolder " + f.path + ": " + f.reason;
        }
    }
    for (const auto& w : report.warnings) {
        if (!box.detailedText.empty()) box.detailedText += "\r\n";
        box.detailedText += PathAndCause(w.path, w.what);
    }
    if (report.warningCount > int64_t(report.warnings.size())) {
        box.detailedText += "\r\n... and " +
                            std::to_string(report.warningCount - int64_t(report.warnings.size())) +
                            " more warning(s).";
    }
    return box;
}

}  // namespace qm::app
