// FolderWalk: the one folder walker of both front ends (the window's Add
// Folder and drops, the command line's rows). It hands out the files below
// one folder one at a time, breadth first: in each folder its sub-folders are
// queued, then its files follow, both in name order (name_order.h) whatever
// order the file system lists them in, so one tree always gives one list.
//
// A command-line run over a folder of 100,000 messages goes through them in
// order, more than once, so the walk holds only the queue of folders still
// to enter, the identities of those queued, and the names of the one folder
// being walked (sorting needs its whole listing), never the whole tree.
//
// Sub-folders and files come from one listing per folder (DirectoryListing),
// identities from the local folder service; a file is a regular file or a
// link to one; links to folders are followed, but no folder is entered twice,
// so a link back into the tree ends.
//
// A folder below the start that cannot be listed (no permission, gone, an
// I/O error) is skipped whole and remembered; the walk goes on with the rest.
// The start folder itself failing to list is an error.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "shell/folder_service.h"

namespace qm::shell {

struct SkippedFolder {
    std::string path;    // as the walk reached it, with the final separator
    std::string reason;  // the listing's error text
};

class FolderWalk {
  public:
    // `folder` with or without the final separator. A path that is not an
    // existing folder yields no file.
    explicit FolderWalk(const std::string& folder);
    ~FolderWalk();
    FolderWalk(const FolderWalk&) = delete;
    FolderWalk& operator=(const FolderWalk&) = delete;

    // Sets `path` to the next file's full path; false once every file was
    // handed out. Throws qm::IoError when the start folder cannot be listed;
    // the walk is over then and keeps returning false.
    bool Next(std::string& path);

    // The folders below the start skipped so far, in the order met.
    const std::vector<SkippedFolder>& Skipped() const { return skipped_; }

  private:
    bool enterNextFolder();

    std::unique_ptr<FolderService> service_;
    std::deque<std::string> queued_;  // folders found and not yet entered
    std::unordered_set<std::string> visited_;
    std::string current_;  // the folder whose files are being handed out
    std::vector<std::string> files_;
    size_t nextFile_ = 0;
    bool started_ = false;  // the start folder was listed
    bool done_ = false;
    std::vector<SkippedFolder> skipped_;
};

}  // namespace qm::shell
