// FolderWalk: the one folder walker of both front ends (the window's Add
// Folder and drops, the command line's rows). It hands out the files below
// one folder one at a time, breadth first: in each folder its sub-folders are
// queued, then its files follow in the platform's listing order.
//
// A command-line run over a folder of 100,000 messages goes through them in
// order, more than once, so the walk holds only the queue of folders still
// to enter and the identities of those queued (a few per folder), never the
// files: a folder's files are read from its listing as they are asked for.
//
// Sub-folders and files come from one listing per folder (DirectoryListing),
// identities from the local folder service; a file is a regular file or a
// link to one; links to folders are followed, but no folder is entered twice,
// so a link back into the tree ends.
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
    // `folder` with or without the final separator. A path that is not an
    // existing folder yields no file.
    explicit FolderWalk(const std::string& folder);
    ~FolderWalk();
    FolderWalk(const FolderWalk&) = delete;
    FolderWalk& operator=(const FolderWalk&) = delete;

    // Sets `path` to the next file's full path; false once every file was
    // handed out. Throws qm::IoError when a folder cannot be listed; the walk
    // is over then and keeps returning false.
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
