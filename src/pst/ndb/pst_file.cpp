#include "pst/ndb/pst_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "mapi/error.h"

namespace qm::pst::ndb {

PstFile PstFile::createExclusive(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) throw IoError(path.string(), "create", errno);
    return PstFile(path, fd);
}

PstFile::PstFile(PstFile&& o) noexcept
    : path_(std::move(o.path_)),
      fd_(o.fd_),
      buffer_(std::move(o.buffer_)),
      bufferOffset_(o.bufferOffset_),
      failed_(o.failed_) {
    o.fd_ = -1;
}

PstFile::~PstFile() {
    // Unflushed bytes are dropped on purpose: what was not synced was never
    // committed, and the file already reads as its last commit.
    if (fd_ >= 0) ::close(fd_);
}

void PstFile::pwriteAll(uint64_t offset, const uint8_t* data, size_t size) const {
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

void PstFile::write(uint64_t offset, std::span<const uint8_t> data) {
    if (fd_ < 0) throw Error(path_.string() + ": write after close");
    if (!buffer_.empty() && (offset != bufferOffset_ + buffer_.size() ||
                             buffer_.size() + data.size() > kBufferCapacity))
        flush();
    if (buffer_.empty()) {
        if (data.size() >= kBufferCapacity) {
            pwriteAll(offset, data.data(), data.size());
            return;
        }
        bufferOffset_ = offset;
        buffer_.reserve(kBufferCapacity);
    }
    buffer_.insert(buffer_.end(), data.begin(), data.end());
}

void PstFile::read(uint64_t offset, std::span<uint8_t> out) const {
    if (fd_ < 0) throw Error(path_.string() + ": read after close");
    uint64_t end = offset + out.size();
    if (!buffer_.empty()) {
        uint64_t bufEnd = bufferOffset_ + buffer_.size();
        if (offset >= bufferOffset_ && end <= bufEnd) {
            std::memcpy(out.data(), buffer_.data() + (offset - bufferOffset_), out.size());
            return;
        }
        if (offset < bufEnd && end > bufferOffset_) const_cast<PstFile*>(this)->flush();
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

void PstFile::flush() {
    if (buffer_.empty()) return;
    pwriteAll(bufferOffset_, buffer_.data(), buffer_.size());
    buffer_.clear();
}

void PstFile::sync() {
    flush();
    if (::fdatasync(fd_) != 0) {
        failed_ = true;
        throw IoError(path_.string(), "sync", errno);
    }
}

void PstFile::extendTo(uint64_t size) {
    flush();
    if (physicalSize() < size && ::ftruncate(fd_, off_t(size)) != 0) {
        failed_ = true;
        throw IoError(path_.string(), "extend", errno);
    }
}

uint64_t PstFile::physicalSize() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) throw IoError(path_.string(), "stat", errno);
    return uint64_t(st.st_size);
}

void PstFile::close() {
    if (fd_ < 0) return;
    flush();
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw IoError(path_.string(), "close", errno);
}

}  // namespace qm::pst::ndb
