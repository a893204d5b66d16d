// The PST file as the writer sees it: created exclusively, written through
// one contiguous buffer that is sent with pwrite when a write does not
// follow the previous one (or the buffer is full), read back with pread.
// sync() is the only durability point: buffer out, then fdatasync.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "mapi/bytes.h"

namespace qm::pst::ndb {

class PstFile {
  public:
    // O_CREAT|O_EXCL|O_NOFOLLOW: throws qm::IoError when anything (a file,
    // a directory, a link, dangling or not) is at `path`.
    static PstFile createExclusive(const std::filesystem::path& path);
    PstFile(PstFile&& o) noexcept;
    PstFile& operator=(PstFile&&) = delete;
    ~PstFile();

    const std::filesystem::path& path() const { return path_; }
    bool isOpen() const { return fd_ >= 0; }
    // A write or sync failed: what is buffered or in the page cache may not
    // match what the caller believes written, so nothing more may be
    // committed (the file on disk still reads as its last commit).
    bool failed() const { return failed_; }

    // Buffered: the bytes reach the file at the next flush or sync.
    void write(uint64_t offset, std::span<const uint8_t> data);
    // Sees buffered writes.
    void read(uint64_t offset, std::span<uint8_t> out) const;
    void flush();
    // flush(), then fdatasync: everything written so far is on disk.
    void sync();
    // Makes the file at least `size` bytes long (zeros), without a sync.
    void extendTo(uint64_t size);
    uint64_t physicalSize() const;
    void close();

  private:
    PstFile(std::filesystem::path path, int fd) : path_(std::move(path)), fd_(fd) {}
    void pwriteAll(uint64_t offset, const uint8_t* data, size_t size) const;

    // One run of consecutive bytes not yet written: [bufferOffset_, + size).
    static constexpr size_t kBufferCapacity = size_t(4) << 20;

    std::filesystem::path path_;
    int fd_ = -1;
    mutable Bytes buffer_;
    mutable uint64_t bufferOffset_ = 0;
    mutable bool failed_ = false;
};

}  // namespace qm::pst::ndb
