// A temporary folder for one test, removed with everything in it when the
// test ends, even what the test made unreadable.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace qm::testing {

// Removes `path` and everything below it, even what a test made unreadable;
// links are removed, never followed. Missing is fine.
inline void removeTree(const std::filesystem::path& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(path, ec))) return;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
    for (fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied,
                                             ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (!it->is_symlink())
            fs::permissions(*it, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path, ec);
}

class ScratchDir {
  public:
    explicit ScratchDir(const std::string& prefix = "qm-test") {
        std::string tmpl = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed: " + tmpl);
        path_ = tmpl;
    }
    ~ScratchDir() { removeTree(path_); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    // Makes a small file at `rel`, and the folders it lies in.
    void touch(const std::string& rel) const {
        std::filesystem::create_directories((path_ / rel).parent_path());
        std::ofstream(path_ / rel) << "x";
    }

  private:
    std::filesystem::path path_;
};

}  // namespace qm::testing
