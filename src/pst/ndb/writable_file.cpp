#include "pst/ndb/writable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "mapi/error.h"

namespace qm::pst::ndb {

namespace {

namespace fs = std::filesystem;

fs::path folderOf(const fs::path& path) {
    return path.has_parent_path() ? path.parent_path() : fs::path(".");
}

std::string procFdPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// A name with no file is left by a crash after link(2) but before the
// folder reached the disk; syncing the folder makes the name durable.
void syncFolder(const fs::path& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;  // the name exists; only its durability is at stake
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

WritableFile WritableFile::createUnpublished(const fs::path& path, bool unnamed) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) throw IoError(path.string(), "create", EEXIST);
    if (errno != ENOENT) throw IoError(path.string(), "create", errno);
    const fs::path dir = folderOf(path);
    int fd = -1;
#ifdef O_TMPFILE
    fd = unnamed ? ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644) : -1;
    if (fd >= 0) {
        // Naming an unnamed file without privileges goes through /proc.
        if (::stat(procFdPath(fd).c_str(), &st) == 0) return WritableFile(path, fd, {});
        ::close(fd);
    } else if (unnamed && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        // No such folder, no permission, a read-only file system: a named
        // file would fail the same way.
        throw IoError(path.string(), "create", errno);
    }
#endif
    std::string name = ".";
    name.append(path.filename().string()).append(".XXXXXX");
    std::string hidden = (dir / name).string();
    fd = ::mkostemp(hidden.data(), O_CLOEXEC);
    if (fd < 0) throw IoError(path.string(), "create", errno);
    ::fchmod(fd, 0644);
    return WritableFile(path, fd, hidden);
}

void WritableFile::publish() {
    if (published_) return;
    if (fd_ < 0) throw Error(path_.string() + ": publish after close");
    sync();
    const int rc = hiddenName_.empty() ? ::linkat(AT_FDCWD, procFdPath(fd_).c_str(), AT_FDCWD,
                                                  path_.c_str(), AT_SYMLINK_FOLLOW)
                                       : ::link(hiddenName_.c_str(), path_.c_str());
    if (rc != 0) throw IoError(path_.string(), "create", errno);
    published_ = true;
    removeHiddenName();
    syncFolder(folderOf(path_));
}

void WritableFile::removeHiddenName() noexcept {
    if (hiddenName_.empty()) return;
    ::unlink(hiddenName_.c_str());
    hiddenName_.clear();
}

void WritableFile::checkStillNamed() {
    struct stat mine {};
    struct stat named {};
    if (::fstat(fd_, &mine) != 0) {
        failed_ = true;
        throw IoError(path_.string(), "stat", errno);
    }
    if (::stat(path_.c_str(), &named) != 0 || named.st_dev != mine.st_dev ||
        named.st_ino != mine.st_ino) {
        failed_ = true;
        throw Error(path_.string() +
                    ": the store file was deleted or replaced while it was being written");
    }
}

WritableFile::WritableFile(WritableFile&& o) noexcept
    : path_(std::move(o.path_)),
      fd_(o.fd_),
      hiddenName_(std::move(o.hiddenName_)),
      published_(o.published_),
      buffer_(std::move(o.buffer_)),
      bufferUsed_(o.bufferUsed_),
      bufferOffset_(o.bufferOffset_),
      failed_(o.failed_),
      unsentBegin_(o.unsentBegin_),
      unsentEnd_(o.unsentEnd_),
      unsentBytes_(o.unsentBytes_),
      cached_(std::move(o.cached_)),
      cachedBytes_(o.cachedBytes_),
      syncedAll_(o.syncedAll_) {
    o.fd_ = -1;
}

WritableFile::~WritableFile() {
    // Unflushed bytes are dropped on purpose: what was not synced was never
    // committed, and the file already reads as its last commit.
    if (fd_ >= 0) ::close(fd_);
    if (!published_) removeHiddenName();
}

void WritableFile::pwriteAll(uint64_t offset, const uint8_t* data, size_t size) const {
    while (size > 0) {
        ssize_t n = ::pwrite(fd_, data, size, off_t(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            failed_ = true;
            throw IoError(path_.string(), "write", errno);
        }
        data += n;
        size -= size_t(n);
        offset += uint64_t(n);
    }
}

void WritableFile::write(uint64_t offset, std::span<const uint8_t> data) {
    if (fd_ < 0) throw Error(path_.string() + ": write after close");
    if (data.size() >= kBufferCapacity) {
        flush();
        pwriteAll(offset, data.data(), data.size());
        startWriteback(offset, data.size());
        return;
    }
    if (!data.empty())
        std::memcpy(writeSpace(offset, data.size()).data(), data.data(), data.size());
}

std::span<uint8_t> WritableFile::writeSpace(uint64_t offset, size_t size) {
    if (fd_ < 0) throw Error(path_.string() + ": write after close");
    if (size > kBufferCapacity) throw std::logic_error("writeSpace: larger than the buffer");
    if (bufferUsed_ > 0 &&
        (offset != bufferOffset_ + bufferUsed_ || bufferUsed_ + size > kBufferCapacity))
        flush();
    if (!buffer_) buffer_.reset(new uint8_t[kBufferCapacity]);  // not zeroed: always written first
    if (bufferUsed_ == 0) bufferOffset_ = offset;
    const size_t at = bufferUsed_;
    bufferUsed_ += size;
    return {buffer_.get() + at, size};
}

void WritableFile::read(uint64_t offset, std::span<uint8_t> out) const {
    if (fd_ < 0) throw Error(path_.string() + ": read after close");
    uint64_t end = offset + out.size();
    if (bufferUsed_ > 0) {
        uint64_t bufEnd = bufferOffset_ + bufferUsed_;
        if (offset >= bufferOffset_ && end <= bufEnd) {
            std::memcpy(out.data(), buffer_.get() + (offset - bufferOffset_), out.size());
            return;
        }
        if (offset < bufEnd && end > bufferOffset_) const_cast<WritableFile*>(this)->flush();
    }
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw IoError(path_.string(), "read", errno);
        }
        if (n == 0) {
            // Past the physical end: space allocated but not yet written reads as zeros.
            std::memset(out.data() + done, 0, out.size() - done);
            return;
        }
        done += size_t(n);
    }
}

void WritableFile::flush() {
    if (bufferUsed_ == 0) return;
    pwriteAll(bufferOffset_, buffer_.get(), bufferUsed_);
    startWriteback(bufferOffset_, bufferUsed_);
    bufferUsed_ = 0;
}

// Left to itself, the kernel holds written pages until a commit's fdatasync,
// which then stalls the store for the whole disk write while the reader
// idles; asking for writeback of every few MiB as they are written lets the
// disk work while messages are read and encoded, and the sync finds little
// left to do. Only a request: durability still comes from sync().
void WritableFile::startWriteback(uint64_t offset, size_t size) {
    noteSent(offset, size);
    if (unsentEnd_ == 0) unsentBegin_ = offset;
    unsentBegin_ = std::min(unsentBegin_, offset);
    unsentEnd_ = std::max(unsentEnd_, offset + size);
    unsentBytes_ += size;
    if (unsentBytes_ < kWritebackMinimum) return;
#ifdef SYNC_FILE_RANGE_WRITE
    ::sync_file_range(fd_, off_t(unsentBegin_), off_t(unsentEnd_ - unsentBegin_),
                      SYNC_FILE_RANGE_WRITE);
#endif
    unsentBegin_ = unsentEnd_ = unsentBytes_ = 0;
}

// A store is written once and read back only in small part (the tables and
// pages of the last commits), yet the kernel keeps every page written until
// memory runs short; growing the page cache by gigabytes made each further
// write several times slower in system time (writing 6 GB on the bench
// machine: 9.7 s against 2.0 s) and evicts what the rest of the machine had
// cached. So at the first send after a sync, which made them clean, the
// pages of all but the newest kKeptCached bytes sent are dropped. Only
// large sends count: small ones are the tables and pages a store rewrites
// and reads again, and not worth a call each. Only whole pages go, so the
// edges that later sends still share stay cached.
void WritableFile::noteSent(uint64_t offset, size_t size) {
    if (syncedAll_) releaseSyncedPages();
    syncedAll_ = false;
    if (size < kReleasedSendMinimum) return;
    if (!cached_.empty() && cached_.back().first + cached_.back().second == offset)
        cached_.back().second += size;
    else
        cached_.emplace_back(offset, size);
    cachedBytes_ += size;
}

void WritableFile::releaseSyncedPages() {
    while (cachedBytes_ > kKeptCached && cached_.size() > 1) {
        const auto [begin, length] = cached_.front();
        cached_.pop_front();
        cachedBytes_ -= length;
        ::posix_fadvise(fd_, off_t(begin), off_t(length), POSIX_FADV_DONTNEED);
    }
}

void WritableFile::sync() {
    flush();
    if (::fdatasync(fd_) != 0) {
        failed_ = true;
        throw IoError(path_.string(), "sync", errno);
    }
    syncedAll_ = true;
    if (published_) checkStillNamed();
}

void WritableFile::extendTo(uint64_t size) {
    flush();
    if (physicalSize() < size && ::ftruncate(fd_, off_t(size)) != 0) {
        failed_ = true;
        throw IoError(path_.string(), "extend", errno);
    }
}

uint64_t WritableFile::physicalSize() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) throw IoError(path_.string(), "stat", errno);
    return uint64_t(st.st_size);
}

void WritableFile::close() {
    if (fd_ < 0) return;
    flush();
    int fd = fd_;
    fd_ = -1;
    if (!published_) removeHiddenName();
    if (::close(fd) != 0) throw IoError(path_.string(), "close", errno);
}

}  // namespace qm::pst::ndb
