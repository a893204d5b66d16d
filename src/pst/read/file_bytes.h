// A PST file opened read-only, read in pieces with pread. Every read is
// checked against the size the file had when it was opened.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include "mapi/bytes.h"

namespace qm::pst::read {

class FileBytes {
  public:
    // Throws qm::IoError when the path cannot be opened or is not a regular file.
    static std::shared_ptr<FileBytes> open(const std::filesystem::path& path);
    ~FileBytes();
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;

    uint64_t size() const { return size_; }
    const std::string& path() const { return path_; }
    bool contains(uint64_t offset, uint64_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }
    // REQUIRES: contains(offset, out.size()). Throws qm::IoError on failure.
    void read(uint64_t offset, std::span<uint8_t> out) const;
    Bytes read(uint64_t offset, size_t length) const;

  private:
    FileBytes(int fd, uint64_t size, std::string path)
        : fd_(fd), size_(size), path_(std::move(path)) {}
    int fd_;
    uint64_t size_;
    std::string path_;
};

}  // namespace qm::pst::read
