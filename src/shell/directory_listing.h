// One folder's entries, read one at a time in the platform's listing order
// (the order std::filesystem::directory_iterator gives), "." and ".." left
// out. It builds no path object per entry: a command-line run over a folder
// of 100,000 messages lists that folder several times.
#pragma once

#include <memory>
#include <string>

namespace qm::shell {

// File and Folder follow links: a link to a regular file is a File, a link
// to a folder a Folder; a dangling link, a FIFO, a device or a socket is
// Other.
enum class EntryKind { File, Folder, Other };

class DirectoryListing {
  public:
    // Throws qm::IoError when `folder` cannot be listed.
    explicit DirectoryListing(const std::string& folder);
    ~DirectoryListing();
    DirectoryListing(const DirectoryListing&) = delete;
    DirectoryListing& operator=(const DirectoryListing&) = delete;

    // The next entry's name and kind; false at the end. Throws qm::IoError
    // when reading the listing fails.
    bool Next(std::string& name, EntryKind& kind);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qm::shell
