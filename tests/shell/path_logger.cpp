#include "shell/path_logger.h"

#include <unordered_set>

namespace qm::shell {
namespace {

// Every counter of the walk is a signed 32-bit number that must not wrap.
void Increment(int32_t& v) {
    if (v == INT32_MAX) throw NumberedError(kErrOverflow, "Overflow: more than 2147483647 entries");
    ++v;
}

std::string KeyOf(int32_t n) {
    // Appended rather than "K" + ...: GCC 12 warns of an overlapping copy
    // inside that operator+ when optimising.
    std::string key = std::to_string(n);
    key.insert(key.begin(), 'K');
    return key;
}

template <class L>
std::shared_ptr<L>& Ensure(std::shared_ptr<L>& list) {
    if (!list) list = std::make_shared<L>();
    return list;
}

}  // namespace

pathLogger::pathLogger(ServiceFactory factory) : factory_(std::move(factory)) {}

void pathLogger::PathLogInit() {
    service_ = factory_();
    fullFileNamesOnly_ = true;
    fileNames_.reset();
    pathPointers_.reset();
    pathNames_.reset();
    fullFileNames_.reset();
}

void pathLogger::Terminate() {
    service_.reset();
    fileNames_.reset();
    pathNames_.reset();
    pathPointers_.reset();
    fullFileNames_.reset();
}

TextListRef pathLogger::fileNames() {
    return Ensure(fileNames_);
}
TextListRef pathLogger::pathNames() {
    return Ensure(pathNames_);
}
NumberListRef pathLogger::pathPointers() {
    return Ensure(pathPointers_);
}
TextListRef pathLogger::fullFileNames() {
    return Ensure(fullFileNames_);
}

void pathLogger::LogPath(const std::string& path) {
    if (!service_) {
        throw NumberedError(kErrNoObject,
                            "Object variable not set: the folder walker has no file-system service "
                            "(PathLogInit was not called, or Terminate was)");
    }
    if (!service_->FolderExists(path)) return;

    int32_t i = 1;  // the folder being visited, a position in pathNames
    int32_t j = 1;  // folders found so far
    counter_ = 1;

    TextList& folders = *pathNames();
    folders.Add(EnsureTrailingSeparator(path), "K0");

    // Folders entered so far, by identity: a link back into the tree (or a
    // second link to one folder) is not queued again, so the walk ends and
    // every file is logged once.
    std::unordered_set<std::string> visited;
    if (auto id = service_->Identity(folders.Item(1)); !id.empty()) visited.insert(id);

    do {
        const std::string cur = folders.Item(i);
        for (const SubFolderEntry& sub : service_->SubFolders(cur)) {
            if (!sub.identity.empty() && !visited.insert(sub.identity).second) continue;
            Increment(j);
            folders.Add(cur + sub.name + kPathSeparator, KeyOf(j));
        }
        for (const std::string& name : service_->Files(cur)) {
            const std::string key = KeyOf(counter_);
            if (fullFileNamesOnly_) {
                fullFileNames()->Add(cur + name, key);
            } else {
                fileNames()->Add(name, key);
                fullFileNames()->Add(cur + name, key);
                pathPointers()->Add(i, key);
            }
            Increment(counter_);
        }
        Increment(i);
    } while (i <= j);
}

}  // namespace qm::shell
