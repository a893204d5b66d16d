#include "outlook/session.h"

#include <exception>

#include "outlook/automation_error.h"

namespace qm::outlook {

// The name Outlook gives the top of a personal store's visible hierarchy.
constexpr const char* kIpmRootName = "Top of Outlook data file";

FolderRef Store::IPMRootFolder() const {
    return std::make_shared<Folder>(store_, store_->store().ipmSubtree(), kIpmRootName);
}

std::shared_ptr<Store> Stores::AddPSTStore(const std::string& path, int format,
                                           const std::string& displayName) {
    if (format != kStoreFormatDefault && format != kStoreFormatUnicode) {
        throw AutomationError(kMapiInvalidParameter,
                              "AddPSTStore: store format " + std::to_string(format) +
                                  " is not supported; 1 and 3 (Unicode) are");
    }
    StoreRef ref = session_.profile().attach(std::filesystem::path(path), displayName);
    session_.added().push_back(ref);
    return std::make_shared<Store>(ref);
}

std::shared_ptr<Store> Stores::GetStoreFromID(const std::string& entryId) {
    StoreRef ref = session_.profile().findByEntryId(entryId);
    if (!ref) {
        throw AutomationError(kMapiNotFound, "GetStoreFromID: no open store has the entry id " +
                                                 entryId.substr(0, 64));
    }
    return std::make_shared<Store>(ref);
}

void Session::Logon() {
    loggedOn_ = true;
}

Profile& Session::profile() {
    if (!loggedOn_) {
        throw AutomationError(kMapiNotInitialized, "the session is not logged on");
    }
    return Profile::instance();
}

void Session::Logoff() {
    if (!loggedOn_) return;
    std::exception_ptr first;
    for (auto& s : added_) {
        try {
            Profile::instance().close(s);
        } catch (...) {
            if (!first) first = std::current_exception();
        }
    }
    added_.clear();
    loggedOn_ = false;
    if (first) std::rethrow_exception(first);
}

std::shared_ptr<Stores> Session::GetStores() {
    profile();
    return std::make_shared<Stores>(*this);
}

FolderRef Session::GetFolderFromPath(const std::string& path) {
    Profile& p = profile();
    size_t pos = 0;
    while (pos < path.size() && path[pos] == '\\') ++pos;
    std::vector<std::string> parts;
    while (pos <= path.size()) {
        size_t next = path.find('\\', pos);
        if (next == std::string::npos) next = path.size();
        parts.push_back(path.substr(pos, next - pos));
        pos = next + 1;
    }
    if (!parts.empty() && parts.back().empty()) parts.pop_back();  // one trailing backslash
    if (parts.empty() || parts[0].empty()) {
        throw AutomationError(kMapiInvalidParameter,
                              "GetFolderFromPath: \"" + path + "\" names no store");
    }
    FolderRef folder = Folders::ForProfile(p)->Item(parts[0]);
    for (size_t i = 1; i < parts.size(); ++i) folder = folder->GetFolders()->Item(parts[i]);
    return folder;
}

}  // namespace qm::outlook
