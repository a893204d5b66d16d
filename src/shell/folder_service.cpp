#include "shell/folder_service.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "mapi/error.h"
#include "shell/directory_listing.h"
#include "shell/name_order.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace qm::shell {
namespace {

class LocalFolderService : public FolderService {
  public:
    bool FolderExists(const std::string& path) override {
        if (path.empty()) return false;
        std::error_code ec;
        return fs::is_directory(fs::path(path), ec);
    }

    std::string Identity(const std::string& folder) override {
#ifdef _WIN32
        std::error_code ec;
        auto canonical = fs::canonical(fs::path(folder), ec);
        return ec ? std::string() : canonical.string();
#else
        struct stat st {};
        if (::stat(folder.c_str(), &st) != 0) return {};
        return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
#endif
    }

    std::vector<SubFolderEntry> SubFolders(const std::string& folder) override {
        std::vector<std::string> names;
        DirectoryListing listing(folder);
        std::string name;
        EntryKind kind;
        // A link to a folder is a sub-folder.
        while (listing.Next(name, kind))
            if (kind == EntryKind::Folder) names.push_back(name);
        SortByName(names);
        std::vector<SubFolderEntry> out;
        out.reserve(names.size());
        for (std::string& n : names) {
            std::string id = Identity(folder + n);
            out.push_back({std::move(n), std::move(id)});
        }
        return out;
    }

    std::vector<std::string> Files(const std::string& folder) override {
        std::vector<std::string> out;
        DirectoryListing listing(folder);
        std::string name;
        EntryKind kind;
        // Regular files and links to them only: opening a FIFO or a device
        // later would block or read something that is not a file.
        while (listing.Next(name, kind))
            if (kind == EntryKind::File) out.push_back(name);
        SortByName(out);
        return out;
    }
};

}  // namespace

std::unique_ptr<FolderService> MakeLocalFolderService() {
    return std::make_unique<LocalFolderService>();
}

std::string EnsureTrailingSeparator(const std::string& path) {
    if (!path.empty() && path.back() == kPathSeparator) return path;
    return path + kPathSeparator;
}

}  // namespace qm::shell
