#include "app/run_boxes.h"

namespace qm::app {

MessageBoxSpec TrappedErrorBox(const std::string& cause) {
    MessageBoxSpec box;
    box.text = std::string("Outlook Session Creation Error !") + "\r\n" +
               "Check if Outlook is installed and configured." + "\r\n" +
               "For more details visit this link : " + kOutlookSetupArticle;
    box.title = "Outlook Error";
    box.icon = BoxIcon::Information;
    box.detailedText = cause;
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
    if (!report.warnings.empty()) {
        box.text += "\r\n" + std::to_string(report.warnings.size()) +
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
    const bool trouble = !report.failed.empty() || !report.warnings.empty() ||
                         !report.closeError.empty() || report.lostUncommitted > 0;
    box.icon = trouble ? BoxIcon::Warning : BoxIcon::Information;
    for (const auto& f : report.failed) {
        if (!box.detailedText.empty()) box.detailedText += "\r\n";
        box.detailedText += f.path + ": " + f.reason;
    }
    if (!report.failed.empty()) {
        for (const auto& f : report.failedFolders) {
            box.detailedText += "\r\nFolder " + f.path + ": " + f.reason;
        }
    }
    for (const auto& w : report.warnings) {
        if (!box.detailedText.empty()) box.detailedText += "\r\n";
        box.detailedText += w.path + ": " + w.what;
    }
    return box;
}

}  // namespace qm::app
