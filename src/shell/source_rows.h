// SourceRows: the command line's source list, walked again whenever it is
// read instead of kept. Its rows are what the window's list would hold after
// adding the same paths: a file as given, a folder as its .msg files in the
// order FolderWalk gives them (IsMsgFileName decides what is a message).
// A folder below a walked one that cannot be listed is skipped, as FolderWalk
// skips it; Count() keeps the list of those it met.
//
// A conversion reads the list front to back, once to build the folder list
// and once to import, so a walk that serves rows in increasing order and
// starts again when an earlier row is asked for costs a few listings of the
// folders and no memory per message.
//
// The folders are read again on every walk, so a tree that changes during a
// run can give a walk other rows than the count: a file that went away is
// not listed and the rows after it move up, leaving rows past the walk's end
// (Row gives nullptr for them); a file that appeared is listed and pushes the
// last counted rows out, and those are never asked for, so they are not
// converted. Rows are never invented: every row served is a path a walk found.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "shell/folder_walk.h"

namespace qm::shell {

class SourceRows {
  public:
    struct Source {
        std::string path;     // absolute and normal
        bool folder = false;  // walked; otherwise a row of its own
    };

    // One walk in list order, for a reader of its own (the command line's
    // read-ahead thread); it does not touch the list it came from.
    class Cursor {
      public:
        explicit Cursor(std::shared_ptr<const std::vector<Source>> sources);
        // The next row; false at the end. Throws qm::IoError when a given
        // folder cannot be listed; the walk is then over.
        bool Next(std::string& row);
        // The folders below given ones skipped so far by this cursor.
        const std::vector<SkippedFolder>& Skipped() const { return skipped_; }

      private:
        std::shared_ptr<const std::vector<Source>> sources_;
        size_t next_ = 0;  // the source after the one being walked
        std::unique_ptr<FolderWalk> walk_;
        bool done_ = false;
        std::vector<SkippedFolder> skipped_;
        void endWalk();
    };

    explicit SourceRows(std::vector<Source> sources);

    // Walks the whole list once and keeps the number of rows and the
    // folders skipped. Throws qm::IoError when a given folder cannot be listed.
    int64_t Count();
    // What the last Count() found; 0 and none before.
    int64_t Rows() const { return rows_; }
    const std::vector<SkippedFolder>& SkippedFolders() const { return skipped_; }

    // The text of row `row` (from 0) as the current walk finds it, or
    // nullptr when this walk has no such row. The pointer stays valid until
    // the next call. Throws qm::IoError when a folder cannot be listed on
    // the way; the rows after it are then missing from this walk.
    const std::string* Row(int64_t row);

    Cursor NewCursor() const { return Cursor(sources_); }

  private:
    std::shared_ptr<const std::vector<Source>> sources_;
    int64_t rows_ = 0;
    std::vector<SkippedFolder> skipped_;
    std::unique_ptr<Cursor> cursor_;
    int64_t at_ = -1;     // the row `text_` holds; -1 before the first
    bool ended_ = false;  // the cursor has nothing more
    std::string text_;
};

}  // namespace qm::shell
