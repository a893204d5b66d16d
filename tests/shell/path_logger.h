// The walk the window's Add Folder command made before FolderWalk served it:
// kept here, for the tests only, as the reference that FolderWalk and
// SourceRows must give the same files in the same order as.
//
// pathLogger: walks a folder tree breadth first and logs what it finds into
// keyed lists (every folder visited, and every file's full path; on request
// also each file's bare name and the position of its folder).
//
// Calling order: PathLogInit; optionally fullFileNamesOnly(false); one
// LogPath; then Count and the list getters; then Terminate. Walking again with
// the same object needs PathLogInit first: a second walk into lists that were
// not dropped fails at its first append with the duplicate-key error.
//
// Keys: the start folder is "K0" in pathNames; every other folder is "K" + its
// position in pathNames (the first sub-folder is K2; no folder is K1). Files
// are "K" + their ordinal (K1, K2, ...) in every file list.
//
// Invariants after a completed walk: pathNames(1) is the start folder; every
// pathNames entry ends with the platform separator and a sub-folder's entry is
// its parent's entry + name + separator; in three-list mode
// pathNames(pathPointers(k)) + fileNames(k) == fullFileNames(k); in one-list
// mode fileNames and pathPointers stay empty; Count() == files logged + 1.
//
// The walk traps nothing: a folder that cannot be listed ends it with
// qm::IoError, keeping the entries logged so far. It follows links to folders
// but never enters one folder twice, so a link back into the tree ends.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "shell/folder_service.h"
#include "shell/keyed_list.h"

namespace qm::shell {

class pathLogger {
  public:
    using ServiceFactory = std::function<std::unique_ptr<FolderService>()>;

    // A new logger holds no service, counter 0, flag false and no lists.
    explicit pathLogger(ServiceFactory factory = MakeLocalFolderService);

    // Takes a new service, sets fullFileNamesOnly to true and drops the
    // logger's references to its lists (a caller's references keep theirs).
    // The file counter is left alone.
    void PathLogInit();

    // Walks the tree below `path`. A path that is not an existing folder
    // (missing, a file, "") changes nothing and raises nothing.
    // REQUIRES: PathLogInit since construction or the last Terminate;
    // otherwise raises error 91 before touching anything.
    void LogPath(const std::string& path);

    // One more than the number of files logged by the last walk of an existing
    // folder; 0 before any walk.
    int32_t Count() const { return counter_; }

    // Releases the service and the logger's references to its lists; the
    // counter and the flag stay.
    void Terminate();

    bool fullFileNamesOnly() const { return fullFileNamesOnly_; }
    void fullFileNamesOnly(bool on) { fullFileNamesOnly_ = on; }

    // The logger's own lists (not copies), each created empty when unset.
    TextListRef fileNames();
    TextListRef pathNames();
    NumberListRef pathPointers();
    TextListRef fullFileNames();

  private:
    ServiceFactory factory_;
    std::unique_ptr<FolderService> service_;
    int32_t counter_ = 0;
    TextListRef fileNames_;
    NumberListRef pathPointers_;
    TextListRef pathNames_;
    TextListRef fullFileNames_;
    bool fullFileNamesOnly_ = false;
};

}  // namespace qm::shell
