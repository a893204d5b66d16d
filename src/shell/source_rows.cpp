#include "shell/source_rows.h"

#include "shell/msg_name.h"

namespace qm::shell {

SourceRows::Cursor::Cursor(std::shared_ptr<const std::vector<Source>> sources)
    : sources_(std::move(sources)) {}

bool SourceRows::Cursor::Next(std::string& row) {
    try {
        while (!done_) {
            if (walk_) {
                if (walk_->Next(row)) {
                    if (IsMsgFileName(row)) return true;
                    continue;
                }
                endWalk();
            }
            if (next_ == sources_->size()) {
                done_ = true;
                break;
            }
            const Source& s = (*sources_)[next_++];
            if (!s.folder) {
                row = s.path;
                return true;
            }
            walk_ = std::make_unique<FolderWalk>(s.path);
        }
        return false;
    } catch (...) {
        // A folder that cannot be listed ends the walk, as it ends Add Folder's.
        done_ = true;
        endWalk();
        throw;
    }
}

void SourceRows::Cursor::endWalk() {
    if (!walk_) return;
    const auto& s = walk_->Skipped();
    skipped_.insert(skipped_.end(), s.begin(), s.end());
    walk_.reset();
}

SourceRows::SourceRows(std::vector<Source> sources)
    : sources_(std::make_shared<const std::vector<Source>>(std::move(sources))) {}

int64_t SourceRows::Count() {
    Cursor c(sources_);
    std::string row;
    int64_t n = 0;
    while (c.Next(row)) ++n;
    rows_ = n;
    skipped_ = c.Skipped();
    return n;
}

const std::string* SourceRows::Row(int64_t row) {
    if (row < 0) return nullptr;
    if (!cursor_ || row < at_) {
        cursor_ = std::make_unique<Cursor>(sources_);
        at_ = -1;
        ended_ = false;
        text_.clear();
    }
    std::string next;
    while (at_ < row) {
        if (ended_) return nullptr;
        bool more = false;
        try {
            more = cursor_->Next(next);
        } catch (...) {
            // The rows after a folder that cannot be listed are missing from
            // this walk; the rows before it can still be asked for again.
            ended_ = true;
            throw;
        }
        if (!more) {
            ended_ = true;
            return nullptr;
        }
        text_.swap(next);
        ++at_;
    }
    return &text_;
}

}  // namespace qm::shell
