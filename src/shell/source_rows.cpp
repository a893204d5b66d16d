#include "shell/source_rows.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>

#ifdef __unix__
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#endif

#include "mapi/error.h"

#include "shell/msg_name.h"

namespace qm::shell {

namespace fs = std::filesystem;

namespace {

// An unnamed scratch file in the temporary folder; -1 when none can be made
// (the rows then stay in memory, as they would on a system without one).
int openScratch() {
#ifdef __unix__
    std::error_code ec;
    const fs::path dir = fs::temp_directory_path(ec);
    if (ec) return -1;
#ifdef O_TMPFILE
    int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
#endif
    std::string name = (dir / "quillmark-rows.XXXXXX").string();
    fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) ::unlink(name.c_str());
    return fd;
#else
    return -1;
#endif
}

void writeAll(int fd, const void* data, size_t size) {
#ifdef __unix__
    auto p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw IoError("the source list's scratch file", "write", n < 0 ? errno : EIO);
        p += n;
        size -= size_t(n);
    }
#else
    (void)fd, (void)data, (void)size;
#endif
}

void readAll(int fd, uint64_t offset, void* data, size_t size) {
#ifdef __unix__
    auto p = static_cast<uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::pread(fd, p, size, off_t(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw IoError("the source list's scratch file", "read", n < 0 ? errno : EIO);
        p += n;
        size -= size_t(n);
        offset += uint64_t(n);
    }
#else
    (void)fd, (void)offset, (void)data, (void)size;
#endif
}

}  // namespace

// A window of consecutive rows read back from the scratch files: the list
// and the read-ahead's cursor each have their own, and both mostly read in
// order, so one read serves a few thousand rows.
struct SourceRows::Window {
    int64_t first = 0;
    std::vector<uint64_t> ends;  // of rows first, first + 1, ...
    uint64_t namesAt = 0;        // where `names` starts in the names file
    std::string names;
};

struct SourceRows::Kept {
    // A walk hands out a folder's files together, so consecutive rows share
    // their folder: a block is the run of rows from `firstRow` in `folder`
    // (with its final separator; "" for a path without one).
    struct Block {
        int64_t firstRow;
        std::string folder;
    };
    std::vector<Block> blocks;
    std::vector<SkippedFolder> skipped;
    // Every row's name, back to back, and where each ends. Past `spillAt`
    // rows both go to unnamed scratch files (what is still here is their
    // unwritten tail until finish()): 100,000 rows would otherwise be a few
    // megabytes held for the whole run, the one part of its memory that
    // grows with the number of messages.
    std::string names;
    std::vector<uint64_t> ends;
    int64_t spillAt;
    int64_t count = 0;
    uint64_t nameBytes = 0;
    int namesFd = -1, endsFd = -1;

    static constexpr size_t kWindowRows = 4096;
    static constexpr size_t kWriteChunk = size_t(64) << 10;

    explicit Kept(int64_t spillRows) : spillAt(spillRows) {}
    Kept(const Kept&) = delete;
    Kept& operator=(const Kept&) = delete;
    ~Kept() {
#ifdef __unix__
        if (namesFd >= 0) ::close(namesFd);
        if (endsFd >= 0) ::close(endsFd);
#endif
    }

    int64_t rows() const {
        return count;
    }
    bool spilled() const {
        return namesFd >= 0;
    }

    void add(const std::string& path) {
        const size_t cut = path.rfind(kPathSeparator) + 1;  // 0 when there is none
        if (blocks.empty() || blocks.back().folder.size() != cut ||
            path.compare(0, cut, blocks.back().folder) != 0) {
            blocks.push_back({rows(), path.substr(0, cut)});
        }
        names.append(path, cut);
        nameBytes += path.size() - cut;
        ends.push_back(nameBytes);
        ++count;
        if (!spilled() && count == spillAt) spill();
        if (spilled() && names.size() + ends.size() * sizeof(uint64_t) >= kWriteChunk) writeOut();
    }

    void spill() {
        namesFd = openScratch();
        endsFd = namesFd >= 0 ? openScratch() : -1;
#ifdef __unix__
        if (endsFd < 0 && namesFd >= 0) ::close(namesFd);
#endif
        if (endsFd < 0) namesFd = -1;
    }

    void writeOut() {
        writeAll(namesFd, names.data(), names.size());
        writeAll(endsFd, ends.data(), ends.size() * sizeof(uint64_t));
        names.clear();
        ends.clear();
    }

    // After the last add().
    void finish() {
        if (spilled()) {
            writeOut();
            names.shrink_to_fit();
            ends.shrink_to_fit();
        }
        blocks.shrink_to_fit();
    }

    void load(Window& w, int64_t row) const {
        w.first = row - row % int64_t(kWindowRows);
        const size_t n = size_t(std::min<int64_t>(int64_t(kWindowRows), count - w.first));
        w.ends.resize(n);
        readAll(endsFd, uint64_t(w.first) * sizeof(uint64_t), w.ends.data(), n * sizeof(uint64_t));
        w.namesAt = 0;
        if (w.first > 0)
            readAll(endsFd, uint64_t(w.first - 1) * sizeof(uint64_t), &w.namesAt, sizeof w.namesAt);
        w.names.resize(size_t(w.ends.back() - w.namesAt));
        readAll(namesFd, w.namesAt, w.names.data(), w.names.size());
    }

    void pathOf(int64_t row, std::string& out, Window& w) const {
        const auto block =
            std::prev(std::upper_bound(blocks.begin(), blocks.end(), row,
                                       [](int64_t r, const Block& b) { return r < b.firstRow; }));
        out.assign(block->folder);
        if (!spilled()) {
            const uint64_t begin = row == 0 ? 0 : ends[size_t(row - 1)];
            out.append(names, begin, ends[size_t(row)] - begin);
            return;
        }
        if (w.ends.empty() || row < w.first || row >= w.first + int64_t(w.ends.size()))
            load(w, row);
        const size_t i = size_t(row - w.first);
        const uint64_t begin = i == 0 ? w.namesAt : w.ends[i - 1];
        out.append(w.names, begin - w.namesAt, w.ends[i] - begin);
    }
};

bool SourceRows::Cursor::Next(std::string& row) {
    if (next_ >= kept_->rows()) return false;
    kept_->pathOf(next_++, row, *window_);
    return true;
}

SourceRows::Cursor::Cursor(std::shared_ptr<const Kept> kept)
    : kept_(std::move(kept)), window_(std::make_unique<Window>()) {}
SourceRows::Cursor::Cursor(Cursor&&) noexcept = default;
SourceRows::Cursor& SourceRows::Cursor::operator=(Cursor&&) noexcept = default;
SourceRows::Cursor::~Cursor() = default;

SourceRows::SourceRows(std::vector<Source> sources, int64_t spillRows)
    : sources_(std::move(sources)),
      spillRows_(spillRows),
      kept_(std::make_shared<const Kept>(spillRows)),
      window_(std::make_unique<Window>()) {}

SourceRows::~SourceRows() = default;

int64_t SourceRows::Count() {
    auto kept = std::make_shared<Kept>(spillRows_);
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
    kept->finish();
    kept_ = std::move(kept);
    *window_ = Window{};
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
    kept_->pathOf(row, text_, *window_);
    return &text_;
}

}  // namespace qm::shell
