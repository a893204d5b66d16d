#include "shell/directory_listing.h"

#include <cerrno>

#include "mapi/error.h"

#ifdef _WIN32
#include <filesystem>
#include <system_error>
#else
#include <dirent.h>
#include <sys/stat.h>
#endif

namespace qm::shell {

#ifdef _WIN32

struct DirectoryListing::Impl {
    std::string folder;
    std::filesystem::directory_iterator it;
};

DirectoryListing::DirectoryListing(const std::string& folder) : impl_(std::make_unique<Impl>()) {
    impl_->folder = folder;
    std::error_code ec;
    impl_->it = std::filesystem::directory_iterator(std::filesystem::path(folder), ec);
    if (ec) throw qm::IoError(folder, "list folder", ec.value());
}

DirectoryListing::~DirectoryListing() = default;

bool DirectoryListing::Next(std::string& name, EntryKind& kind) {
    auto& it = impl_->it;
    if (it == std::filesystem::directory_iterator()) return false;
    std::error_code ec;
    kind = it->is_regular_file(ec) ? EntryKind::File
           : it->is_directory(ec)  ? EntryKind::Folder
                                   : EntryKind::Other;
    name = it->path().filename().string();
    it.increment(ec);
    if (ec) throw qm::IoError(impl_->folder, "list folder", ec.value());
    return true;
}

#else

struct DirectoryListing::Impl {
    std::string folder;  // with the final separator, for looking at links
    DIR* dir = nullptr;
    std::string scratch;
};

DirectoryListing::DirectoryListing(const std::string& folder) : impl_(std::make_unique<Impl>()) {
    impl_->folder = folder.empty() || folder.back() != '/' ? folder + '/' : folder;
    impl_->dir = ::opendir(folder.c_str());
    if (!impl_->dir) throw qm::IoError(folder, "list folder", errno);
}

DirectoryListing::~DirectoryListing() {
    if (impl_->dir) ::closedir(impl_->dir);
}

bool DirectoryListing::Next(std::string& name, EntryKind& kind) {
    for (;;) {
        errno = 0;
        const dirent* d = ::readdir(impl_->dir);
        if (!d) {
            if (errno != 0) throw qm::IoError(impl_->folder, "list folder", errno);
            return false;
        }
        const char* n = d->d_name;
        if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
        name.assign(n);
        kind = EntryKind::Other;
        if (d->d_type == DT_REG) {
            kind = EntryKind::File;
        } else if (d->d_type == DT_DIR) {
            kind = EntryKind::Folder;
        } else if (d->d_type == DT_LNK || d->d_type == DT_UNKNOWN) {
            // The listing does not say what a link leads to (and some file
            // systems tell nothing): look, following links.
            impl_->scratch = impl_->folder + name;
            struct stat st;
            if (::stat(impl_->scratch.c_str(), &st) == 0) {
                if (S_ISREG(st.st_mode)) kind = EntryKind::File;
                if (S_ISDIR(st.st_mode)) kind = EntryKind::Folder;
            }
        }
        return true;
    }
}

#endif

}  // namespace qm::shell
