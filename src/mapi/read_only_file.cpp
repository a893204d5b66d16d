#include "mapi/read_only_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "mapi/error.h"

namespace qm {

ReadOnlyFile::ReadOnlyFile(const std::filesystem::path& path) : path_(path.string()) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw IoError(path_, "open", errno);
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        const int err = errno;
        ::close(fd_);
        throw IoError(path_, "stat", err);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd_);
        throw IoError(path_, "open (not a regular file)", EINVAL);
    }
    size_ = uint64_t(st.st_size);
}

ReadOnlyFile::~ReadOnlyFile() {
    ::close(fd_);
}

void ReadOnlyFile::read(uint64_t offset, std::span<uint8_t> out) const {
    if (!contains(offset, out.size()))
        throw IoError(path_, "read (beyond the end of the file)", EIO);
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw IoError(path_, "read", errno);
        }
        if (n == 0) throw IoError(path_, "read (file shrank while open)", EIO);
        done += size_t(n);
    }
}

std::optional<uint64_t> regularFileSize(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return uint64_t(st.st_size);
}

}  // namespace qm
