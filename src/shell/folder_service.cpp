#include "shell/folder_service.h"

#include <filesystem>
#include <system_error>

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
