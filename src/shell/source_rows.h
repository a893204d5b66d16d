// SourceRows: the command line's source list. Its rows are what the window's
// list would hold after adding the same paths: a file as given, a folder as
// its .msg files in the order FolderWalk gives them (IsMsgFileName decides
// what is a message). A folder below a walked one that cannot be listed is
// skipped, as FolderWalk skips it, and named in SkippedFolders().
//
// Count() walks the sources once and keeps what it found; every later read
// (the folder list, the import, the read-ahead, the duplicates' origins) is
// served from that, so a row keeps its path for the whole run: a file that
// goes away fails alone, as its own row, and a file that appears is not
// converted, as in the window, whose list is made once too.
//
// 100,000 messages in one folder are 100,000 rows, so the rows are kept
// packed: each folder's path once, then per row its name and where it ends,
// and nothing else keeps a copy. Past `spillRows` rows the names and ends go
// to unnamed scratch files in the temporary folder and are read back a few
// thousand rows at a time, so the run's memory does not grow with them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "shell/folder_walk.h"

namespace qm::shell {

class SourceRows {
    struct Kept;
    struct Window;

  public:
    struct Source {
        std::string path;     // absolute and normal
        bool folder = false;  // walked; otherwise a row of its own
    };

    // The kept rows in order, for a reader of its own (the command line's
    // read-ahead thread): the rows never change once counted, so it needs no
    // lock, and it does not touch the list's own reads.
    class Cursor {
      public:
        bool Next(std::string& row);

        Cursor(Cursor&&) noexcept;
        Cursor& operator=(Cursor&&) noexcept;
        ~Cursor();

      private:
        friend class SourceRows;
        explicit Cursor(std::shared_ptr<const Kept> kept);
        std::shared_ptr<const Kept> kept_;
        std::unique_ptr<Window> window_;
        int64_t next_ = 0;
    };

    static constexpr int64_t kSpillRows = 16384;
    explicit SourceRows(std::vector<Source> sources, int64_t spillRows = kSpillRows);
    ~SourceRows();

    // Walks the whole list once and keeps its rows and the folders skipped.
    // Throws qm::IoError when a given folder cannot be listed.
    int64_t Count();
    // What the last Count() found; 0 and none before.
    int64_t Rows() const;
    const std::vector<SkippedFolder>& SkippedFolders() const;

    // The path of row `row` (from 0), or nullptr past the rows. The pointer
    // stays valid until the next call.
    const std::string* Row(int64_t row);

    Cursor NewCursor() const { return Cursor(kept_); }

  private:
    std::vector<Source> sources_;
    int64_t spillRows_;
    std::shared_ptr<const Kept> kept_;
    std::unique_ptr<Window> window_;  // Row()'s
    std::string text_;
};

}  // namespace qm::shell
