#include "shell/folder_walk.h"

#include "mapi/error.h"
#include "shell/directory_listing.h"
#include "shell/name_order.h"

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
    while (!queued_.empty()) {
        current_ = std::move(queued_.front());
        queued_.pop_front();
        files_.clear();
        nextFile_ = 0;
        std::vector<std::string> folders;
        try {
            DirectoryListing listing(current_);
            std::string name;
            EntryKind kind;
            while (listing.Next(name, kind)) {
                // The local folder service's file test: regular files and
                // links to them, never FIFOs, devices or sockets.
                if (kind == EntryKind::File) files_.push_back(name);
                if (kind == EntryKind::Folder) folders.push_back(name);
            }
        } catch (const qm::IoError& e) {
            if (!started_) throw;
            // Nothing of a folder is handed out before its listing ends, so a
            // folder that fails part way is skipped whole.
            files_.clear();
            skipped_.push_back({current_, e.what()});
            continue;
        }
        started_ = true;
        SortByName(files_);
        SortByName(folders);
        // Queued in name order after every folder already queued: breadth
        // first, and a folder met twice (through links) is queued once.
        for (const std::string& name : folders) {
            const std::string sub = current_ + name;
            const std::string id = service_->Identity(sub);
            if (id.empty() || visited_.insert(id).second) queued_.push_back(sub + kPathSeparator);
        }
        return true;
    }
    done_ = true;
    files_.clear();
    return false;
}

bool FolderWalk::Next(std::string& path) {
    try {
        while (!done_) {
            if (nextFile_ < files_.size()) {
                path.assign(current_).append(files_[nextFile_++]);
                return true;
            }
            if (!enterNextFolder()) return false;
        }
        return false;
    } catch (...) {
        // The start folder could not be listed: there is nothing to walk.
        done_ = true;
        files_.clear();
        queued_.clear();
        throw;
    }
}

}  // namespace qm::shell
