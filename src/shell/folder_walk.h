// FolderWalk: the files below one folder in exactly the order pathLogger logs
// them (breadth first; in each folder its sub-folders are queued, then its
// files follow in the platform's listing order), handed out one at a time.
//
// pathLogger keeps every path it finds in keyed lists, which is what the
// window's Add Folder needs; a command-line run over a folder of 100,000
// messages only needs to go through them in order, more than once. This walk
// holds the queue of folders still to enter and the identities of those
// queued (a few per folder), never the files: a folder's files are read from
// its listing as they are asked for.
//
// The same rules as pathLogger over the local folder service: sub-folders
// and files come from the listing that service uses (DirectoryListing, read
// once per folder here), identities from the service itself; a file is a
// regular file or a link to one; links to folders are followed, but no folder
// is entered twice.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <unordered_set>

#include "shell/directory_listing.h"
#include "shell/folder_service.h"

namespace qm::shell {

class FolderWalk {
  public:
    // `folder` as pathLogger::LogPath takes it (with or without the final
    // separator). A path that is not an existing folder yields no file.
    explicit FolderWalk(const std::string& folder);
    ~FolderWalk();
    FolderWalk(const FolderWalk&) = delete;
    FolderWalk& operator=(const FolderWalk&) = delete;

    // Sets `path` to the next file's full path; false once every file was
    // handed out. Throws qm::IoError, as pathLogger does, when a folder
    // cannot be listed; the walk is over then and keeps returning false.
    bool Next(std::string& path);

  private:
    bool enterNextFolder();

    std::unique_ptr<FolderService> service_;
    std::deque<std::string> queued_;  // folders found and not yet entered
    std::unordered_set<std::string> visited_;
    std::string current_;  // the folder whose files are being listed
    std::unique_ptr<DirectoryListing> files_;
    std::string name_;  // the entry being looked at
    bool done_ = false;
};

}  // namespace qm::shell
