// The file-system service the folder walker reads through: whether a path is
// a folder, and what makes two paths one folder. Listing a folder is
// DirectoryListing's.
#pragma once

#include <memory>
#include <string>

namespace qm::shell {

class FolderService {
  public:
    virtual ~FolderService() = default;

    // True only for an existing folder (or a link to one); false, not an error,
    // for a missing path, a file or "".
    virtual bool FolderExists(const std::string& path) = 0;

    // What makes two paths the same folder (device and inode on POSIX), so a
    // walk can refuse to enter a folder twice through a link. "" if unknown.
    virtual std::string Identity(const std::string& folder) = 0;
};

// The service over the local file system (std::filesystem).
std::unique_ptr<FolderService> MakeLocalFolderService();

// The platform's path separator, as text.
inline constexpr char kPathSeparator =
#ifdef _WIN32
    '\\';
#else
    '/';
#endif

// The path with the platform separator appended unless it already ends with
// one ("" gives the separator alone).
std::string EnsureTrailingSeparator(const std::string& path);

}  // namespace qm::shell
