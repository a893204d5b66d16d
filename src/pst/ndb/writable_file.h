// The PST file as the writer sees it: created without a name and given its
// name once it holds a store, written through one contiguous buffer that is
// sent with pwrite when a write does not follow the previous one (or the
// buffer is full), read back with pread. sync() is the only durability
// point: buffer out, then fdatasync.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include "mapi/bytes.h"

namespace qm::pst::ndb {

class WritableFile {
  public:
    // A new file in `path`'s folder that does not have `path` yet: unnamed
    // (O_TMPFILE) where the file system allows it, else under a hidden name
    // beside it that close or destruction remove unless published. A
    // process killed before publish() thus never leaves a half-made file at
    // `path`. Throws qm::IoError when anything (a file, a directory, a
    // link, dangling or not) is at `path` already. `unnamed` false skips
    // O_TMPFILE (the hidden-name way is otherwise hard to reach in tests).
    static WritableFile createUnpublished(const std::filesystem::path& path, bool unnamed = true);
    // Syncs, then gives the file its name with link(2), which never
    // replaces nor follows anything there: a file that appeared at `path`
    // meanwhile makes this throw (EEXIST) and the new file stays unnamed.
    void publish();
    bool published() const { return published_; }
    WritableFile(WritableFile&& o) noexcept;
    WritableFile& operator=(WritableFile&&) = delete;
    ~WritableFile();

    const std::filesystem::path& path() const { return path_; }
    bool isOpen() const { return fd_ >= 0; }
    // A write or sync failed: what is buffered or in the page cache may not
    // match what the caller believes written, so nothing more may be
    // committed (the file on disk still reads as its last commit).
    bool failed() const { return failed_; }

    // Buffered: the bytes reach the file at the next flush or sync.
    void write(uint64_t offset, std::span<const uint8_t> data);
    // Room for `size` bytes at `offset` in the buffer, for the caller to
    // fill before any other call on this file: a write without the copy.
    std::span<uint8_t> writeSpace(uint64_t offset, size_t size);
    // Sees buffered writes.
    void read(uint64_t offset, std::span<uint8_t> out) const;
    void flush();
    // flush(), then fdatasync: everything written so far is on disk. Once
    // published, it also checks that `path` still names this file: a store
    // whose file was deleted or replaced under it cannot deliver what it
    // commits, so that fails the sync (ENOENT) like a failed write.
    void sync();
    // Makes the file at least `size` bytes long (zeros), without a sync.
    void extendTo(uint64_t size);
    uint64_t physicalSize() const;
    void close();

  private:
    WritableFile(std::filesystem::path path, int fd, std::filesystem::path hiddenName)
        : path_(std::move(path)), fd_(fd), hiddenName_(std::move(hiddenName)) {}
    void pwriteAll(uint64_t offset, const uint8_t* data, size_t size) const;
    void startWriteback(uint64_t offset, size_t size);
    void noteSent(uint64_t offset, size_t size);
    void releaseSyncedPages();
    void checkStillNamed();
    void removeHiddenName() noexcept;

    // One run of consecutive bytes not yet written: [bufferOffset_, + bufferUsed_).
    static constexpr size_t kBufferCapacity = size_t(4) << 20;
    // Writeback is asked for once this much was written since the last ask.
    static constexpr size_t kWritebackMinimum = size_t(4) << 20;
    // How much of what was last sent stays in the page cache.
    static constexpr size_t kKeptCached = size_t(64) << 20;
    static constexpr size_t kReleasedSendMinimum = size_t(64) << 10;

    std::filesystem::path path_;
    int fd_ = -1;
    // Empty when the file was made unnamed (O_TMPFILE).
    std::filesystem::path hiddenName_;
    bool published_ = false;
    std::unique_ptr<uint8_t[]> buffer_;  // kBufferCapacity bytes once written to
    size_t bufferUsed_ = 0;
    mutable uint64_t bufferOffset_ = 0;
    mutable bool failed_ = false;
    // What was written since writeback was last asked for: the span of
    // offsets it lies in, and how many bytes.
    uint64_t unsentBegin_ = 0, unsentEnd_ = 0, unsentBytes_ = 0;
    // Runs of bytes sent, oldest first, adjacent sends merged, whose pages
    // are still cached; cachedBytes_ is their total.
    std::deque<std::pair<uint64_t, uint64_t>> cached_;
    uint64_t cachedBytes_ = 0;
    bool syncedAll_ = false;  // every run in cached_ is on disk
};

}  // namespace qm::pst::ndb
