#include "shell/folder_walk.h"

namespace qm::shell {

FolderWalk::FolderWalk(const std::string& folder) : service_(MakeLocalFolderService()) {
    if (!service_->FolderExists(folder)) {
        done_ = true;
        return;
    }
    const std::string start = EnsureTrailingSeparator(folder);
    if (auto id = service_->Identity(start); !id.empty()) visited_.insert(std::move(id));
    queued_.push_back(start);
}

FolderWalk::~FolderWalk() = default;

bool FolderWalk::enterNextFolder() {
    if (queued_.empty()) {
        done_ = true;
        return false;
    }
    current_ = std::move(queued_.front());
    queued_.pop_front();
    files_ = std::make_unique<DirectoryListing>(current_);
    return true;
}

bool FolderWalk::Next(std::string& path) {
    try {
        while (!done_) {
            if (!files_ && !enterNextFolder()) return false;
            EntryKind kind;
            while (files_->Next(name_, kind)) {
                // One listing gives both. Sub-folders (links to folders
                // included) are queued as they come: nothing is entered
                // before this listing ends, so the order is breadth first and
                // a folder met twice is queued once.
                if (kind == EntryKind::Folder) {
                    const std::string sub = current_ + name_;
                    const std::string id = service_->Identity(sub);
                    if (id.empty() || visited_.insert(id).second)
                        queued_.push_back(sub + kPathSeparator);
                    continue;
                }
                // The local folder service's file test: regular files and
                // links to them, never FIFOs, devices or sockets.
                if (kind == EntryKind::File) {
                    path.assign(current_).append(name_);
                    return true;
                }
            }
            files_.reset();
        }
        return false;
    } catch (...) {
        // The walk cannot go on past a folder it could not list.
        done_ = true;
        files_.reset();
        queued_.clear();
        throw;
    }
}

}  // namespace qm::shell
