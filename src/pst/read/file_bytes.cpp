#include "pst/read/file_bytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "mapi/error.h"
#include "pst/read/problems.h"

namespace qm::pst::read {

std::string hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

std::shared_ptr<FileBytes> FileBytes::open(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw IoError(path.string(), "open", errno);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        int e = errno;
        ::close(fd);
        throw IoError(path.string(), "stat", e);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        throw IoError(path.string(), "open (not a regular file)", EINVAL);
    }
    return std::shared_ptr<FileBytes>(new FileBytes(fd, uint64_t(st.st_size), path.string()));
}

FileBytes::~FileBytes() {
    ::close(fd_);
}

void FileBytes::read(uint64_t offset, std::span<uint8_t> out) const {
    if (!contains(offset, out.size())) throw IoError(path_, "read past the end", EIO);
    size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw IoError(path_, "read", errno);
        }
        if (n == 0) throw IoError(path_, "read (file shrank)", EIO);
        done += size_t(n);
    }
}

Bytes FileBytes::read(uint64_t offset, size_t length) const {
    Bytes b(length);
    read(offset, b);
    return b;
}

}  // namespace qm::pst::read
