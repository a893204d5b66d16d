#include "convert/folder_tree.h"

#include <exception>

#include "convert/failure_text.h"
#include "outlook/application.h"
#include "outlook/automation_error.h"
#include "outlook/folder_name.h"

namespace qm::convert {
namespace {

// Skip mode: the step is passed over. A name that is already there (two
// source folders differing only in case) is the expected way two entries
// share one store folder, so it is not a failure worth reporting.
void noteSkipped(RunReport& report, const std::string& folder, const std::exception& e) {
    if (auto* a = dynamic_cast<const outlook::AutomationError*>(&e)) {
        if (a->number() == outlook::kMapiCollision) return;
    }
    report.failedFolders.push_back({folder, FailureText(e)});
}

}  // namespace

void CreateFolderTree(Host& host, const StringList& list, const std::string& displayName,
                      const std::string& entryId, outlook::Session& session, RunReport& report) {
    for (const std::string& entry : list) {
        if (host.StopRequested()) return;
        const size_t lastBackslash = entry.rfind('\\');
        if (lastBackslash != std::string::npos) {
            const std::string name = entry.substr(lastBackslash + 1);
            const std::string parentPath = entry.substr(0, lastBackslash);
            outlook::FolderRef parent;
            try {
                parent = outlook::OpenMAPIFolder("\\" + displayName + "\\" + parentPath);
            } catch (const std::exception& e) {
                noteSkipped(report, entry, e);
            }
            host.DoEvents();
            if (parent) {
                try {
                    parent->GetFolders()->Add(name, outlook::kFolderTypeMail);
                    ++report.folders;
                } catch (const std::exception& e) {
                    noteSkipped(report, entry, e);
                }
            }
            host.DoEvents();
        } else {
            try {
                std::string found;
                auto store = session.GetStores()->GetStoreFromID(entryId);
                auto top = store->IPMRootFolder()->GetFolders();
                for (const auto& f : top->List()) {
                    if (outlook::FolderNamesEqual(entry, f->Name())) found = f->Name();
                }
                if (found.empty()) {
                    top->Add(entry, outlook::kFolderTypeMail);
                    ++report.folders;
                }
            } catch (const std::exception& e) {
                noteSkipped(report, entry, e);
            }
            host.DoEvents();
        }
    }
}

}  // namespace qm::convert
