#include "shell/folder_walk.h"

#include <system_error>

#include "mapi/error.h"
#include "shell/path_logger.h"

namespace fs = std::filesystem;

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
    // Sub-folders first, as pathLogger queues them before logging the files.
    for (const SubFolderEntry& sub : service_->SubFolders(current_)) {
        if (!sub.identity.empty() && !visited_.insert(sub.identity).second) continue;
        queued_.push_back(current_ + sub.name + kPathSeparator);
    }
    std::error_code ec;
    fs::directory_iterator it(fs::path(current_), ec);
    if (ec) throw qm::IoError(current_, "list folder", ec.value());
    files_ = std::move(it);
    return true;
}

bool FolderWalk::Next(std::string& path) {
    try {
        while (!done_) {
            if (!files_ && !enterNextFolder()) return false;
            fs::directory_iterator& it = *files_;
            while (it != fs::directory_iterator()) {
                std::error_code ec;
                // The local folder service's file test: regular files and
                // links to them, never FIFOs, devices or sockets.
                const bool isFile = it->is_regular_file(ec);
                std::string name = isFile ? it->path().filename().string() : std::string();
                it.increment(ec);
                if (ec) throw qm::IoError(current_, "list folder", ec.value());
                if (isFile) {
                    path = current_ + name;
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
