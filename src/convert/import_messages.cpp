#include "convert/import_messages.h"

#include <exception>

#include "convert/failure_text.h"
#include "convert/relative_folder.h"
#include "mapi/read_only_file.h"
#include "mapi/tags.h"
#include "outlook/mail_item.h"

namespace qm::convert {

int32_t MessageFlagsFor(size_t attachmentCount) {
    return mapi::MSGFLAG_READ | (attachmentCount > 0 ? mapi::MSGFLAG_HASATTACH : 0);
}

namespace {

uint64_t sizeOf(const std::string& path) {
    return regularFileSize(path).value_or(0);
}

}  // namespace

bool ImportMessages(Host& host, outlook::Session& session, const std::string& displayName,
                    RunReport& report) {
    const int64_t rows = host.Rows();
    // Skip mode for the window's own updates too: a failing one keeps the
    // earlier text or value, and is noted.
    auto update = [&](const char* what, auto&& step) {
        try {
            step();
        } catch (const std::exception& e) {
            report.notes.push_back({what, FailureText(e)});
        }
    };
    for (int64_t i = 0; i < rows; ++i) {
        std::string text;
        std::string relativeFolder;
        bool cellRead = false;
        try {
            host.SetCurrentCell(i, 0);
            host.DoEvents();
            text = host.Text();
            cellRead = true;
        } catch (const std::exception& e) {
            report.failed.push_back({"row " + std::to_string(i + 1), FailureText(e)});
        }
        const std::string source = SourcePathForImport(text);
        if (cellRead) {
            try {
                relativeFolder = GetRelativeFolder(text);
                auto item = session.GetFolderFromPath("\\\\" + displayName + "\\" + relativeFolder)
                                ->GetItems()
                                ->Add(outlook::kItemTypeMail);
                report.bytesIn += sizeOf(source);
                item->Import(source, outlook::kImportTypeMsg);
                try {
                    outlook::MAPIUtils utils;
                    utils.HrSetOneProp(item->MAPIOBJECT(), mapi::tag::MessageFlags,
                                       MessageFlagsFor(item->AttachmentCount()), true);
                } catch (const std::exception& e) {
                    // The message is still worth keeping with the flags its file had.
                    report.notes.push_back({source, "message flags not set: " + FailureText(e)});
                }
                item->Save();
                ++report.converted;
            } catch (const std::exception& e) {
                report.failed.push_back({source, FailureText(e)});
            }
        }
        ++report.messages;
        update("Convert button", [&] { host.SetConvertEnabled(false); });
        int64_t rowsNow = rows;
        update("row count", [&] { rowsNow = host.Rows(); });
        update("counter caption", [&] {
            host.SetFrameCaption("Details : Converting - (" + std::to_string(i + 1) + " of " +
                                 std::to_string(rowsNow) + ") file(s)");
        });
        update("folder caption", [&] {
            host.SetFolderCaption("Importing Messages... from (" + relativeFolder + ")");
        });
        if (rowsNow > 0) {
            update("progress", [&] {
                host.SetProgressValue(ProgressBar::Overall,
                                      static_cast<float>(double(i + 1) / double(rowsNow) * 100.0));
            });
        }
        if (host.StopRequested() && i + 1 < rows) return false;
    }
    return true;
}

}  // namespace qm::convert
