#include "shell/folder_service.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "mapi/error.h"

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
        std::vector<SubFolderEntry> out;
        forEachEntry(folder, [&](const fs::directory_entry& e) {
            std::error_code ec;
            // is_directory follows links, so a link to a folder is a sub-folder.
            if (e.is_directory(ec)) {
                std::string name = e.path().filename().string();
                out.push_back({name, Identity(folder + name)});
            }
        });
        return out;
    }

    std::vector<std::string> Files(const std::string& folder) override {
        std::vector<std::string> out;
        forEachEntry(folder, [&](const fs::directory_entry& e) {
            std::error_code ec;
            // Regular files and links to them only: opening a FIFO or a device
            // later would block or read something that is not a file.
            if (e.is_regular_file(ec)) out.push_back(e.path().filename().string());
        });
        return out;
    }

  private:
    template <class F>
    void forEachEntry(const std::string& folder, F&& visit) {
        std::error_code ec;
        fs::directory_iterator it(fs::path(folder), ec);
        if (ec) throw qm::IoError(folder, "list folder", ec.value());
        for (; it != fs::directory_iterator(); it.increment(ec)) {
            if (ec) break;
            visit(*it);
        }
        if (ec) throw qm::IoError(folder, "list folder", ec.value());
    }
};

}  // namespace

std::unique_ptr<FolderService> MakeLocalFolderService() {
    return std::make_unique<LocalFolderService>();
}

}  // namespace qm::shell
