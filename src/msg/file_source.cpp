#include "msg/file_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "mapi/error.h"

namespace qm::msg {

std::shared_ptr<FileSource> FileSource::open(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw IoError(path.string(), "open", errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int err = errno;
        ::close(fd);
        throw IoError(path.string(), "stat", err);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        throw IoError(path.string(), "open (not a regular file)", EINVAL);
    }
    std::shared_ptr<FileSource> source(new FileSource(fd, uint64_t(st.st_size), path.string()));
    if (source->size_ <= kWholeFileLimit) {
        source->whole_.resize(size_t(source->size_));
        source->read(0, source->whole_);
        ::close(source->fd_);
        source->fd_ = -1;
    }
    return source;
}

FileSource::~FileSource() {
    if (fd_ >= 0) ::close(fd_);
}

void FileSource::read(uint64_t offset, std::span<uint8_t> out) const {
    if (fd_ < 0) {
        if (offset > whole_.size() || out.size() > whole_.size() - offset) {
            throw IoError(path_, "read (beyond the end of the file)", EIO);
        }
        if (!out.empty()) std::memcpy(out.data(), whole_.data() + offset, out.size());
        return;
    }
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw IoError(path_, "read", errno);
        }
        if (n == 0) throw IoError(path_, "read (file shrank while open)", EIO);
        done += size_t(n);
    }
}

void SpanSource::read(uint64_t offset, std::span<uint8_t> out) const {
    if (offset > data_.size() || out.size() > data_.size() - offset) {
        throw Error("SpanSource: read beyond the end");
    }
    if (!out.empty()) std::memcpy(out.data(), data_.data() + offset, out.size());
}

}  // namespace qm::msg
