#include "shell/source_rows.h"

#include <algorithm>

#include "shell/msg_name.h"

namespace qm::shell {

struct SourceRows::Kept {
    // A walk hands out a folder's files together, so consecutive rows share
    // their folder: a block is the run of rows from `firstRow` in `folder`
    // (with its final separator; "" for a path without one).
    struct Block {
        int64_t firstRow;
        std::string folder;
    };
    std::vector<Block> blocks;
    std::string names;           // every row's name, back to back
    std::vector<uint64_t> ends;  // where each row's name ends in `names`
    std::vector<SkippedFolder> skipped;

    int64_t rows() const { return int64_t(ends.size()); }

    void add(const std::string& path) {
        const size_t cut = path.rfind(kPathSeparator) + 1;  // 0 when there is none
        if (blocks.empty() || blocks.back().folder.size() != cut ||
            path.compare(0, cut, blocks.back().folder) != 0) {
            blocks.push_back({rows(), path.substr(0, cut)});
        }
        names.append(path, cut);
        ends.push_back(names.size());
    }

    void pathOf(int64_t row, std::string& out) const {
        const auto block =
            std::prev(std::upper_bound(blocks.begin(), blocks.end(), row,
                                       [](int64_t r, const Block& b) { return r < b.firstRow; }));
        const uint64_t begin = row == 0 ? 0 : ends[size_t(row - 1)];
        out.assign(block->folder).append(names, begin, ends[size_t(row)] - begin);
    }
};

bool SourceRows::Cursor::Next(std::string& row) {
    if (next_ >= kept_->rows()) return false;
    kept_->pathOf(next_++, row);
    return true;
}

SourceRows::SourceRows(std::vector<Source> sources)
    : sources_(std::move(sources)), kept_(std::make_shared<const Kept>()) {}

SourceRows::~SourceRows() = default;

int64_t SourceRows::Count() {
    auto kept = std::make_shared<Kept>();
    std::string row;
    for (const Source& s : sources_) {
        if (!s.folder) {
            kept->add(s.path);
            continue;
        }
        FolderWalk walk(s.path);
        while (walk.Next(row)) {
            if (IsMsgFileName(row)) kept->add(row);
        }
        kept->skipped.insert(kept->skipped.end(), walk.Skipped().begin(), walk.Skipped().end());
    }
    kept_ = std::move(kept);
    return Rows();
}

int64_t SourceRows::Rows() const {
    return kept_->rows();
}

const std::vector<SkippedFolder>& SourceRows::SkippedFolders() const {
    return kept_->skipped;
}

const std::string* SourceRows::Row(int64_t row) {
    if (row < 0 || row >= kept_->rows()) return nullptr;
    kept_->pathOf(row, text_);
    return &text_;
}

}  // namespace qm::shell
