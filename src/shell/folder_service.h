// The file-system service the folder walker reads through: whether a path is a
// folder, and a folder's immediate sub-folders and files, each in name order
// (name_order.h). The walker adds no filter of its own; this service decides
// what counts as a file (regular files and links to them; never FIFOs,
// devices or sockets) and what counts as a sub-folder (folders and links to
// them).
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace qm::shell {

struct SubFolderEntry {
    std::string name;      // bare name, no path
    std::string identity;  // same text for two paths to the same folder; "" if unknown
};

class FolderService {
  public:
    virtual ~FolderService() = default;

    // True only for an existing folder (or a link to one); false, not an error,
    // for a missing path, a file or "".
    virtual bool FolderExists(const std::string& path) = 0;

    // What makes two paths the same folder (device and inode on POSIX), so a
    // walk can refuse to enter a folder twice through a link. "" if unknown.
    virtual std::string Identity(const std::string& folder) = 0;

    // REQUIRES: folder ends with the platform separator.
    // Raise qm::IoError when the folder cannot be opened or listed.
    virtual std::vector<SubFolderEntry> SubFolders(const std::string& folder) = 0;
    virtual std::vector<std::string> Files(const std::string& folder) = 0;
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
