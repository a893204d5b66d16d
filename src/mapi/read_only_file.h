// A file opened read-only and read by offset (pread), every read checked
// against the size the file had when it was opened. The .msg and .pst
// readers both stand on it; neither trusts the file to keep its size.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace qm {

class ReadOnlyFile {
  public:
    // Throws qm::IoError when the path cannot be opened or sized, or is not a
    // regular file.
    explicit ReadOnlyFile(const std::filesystem::path& path);
    ~ReadOnlyFile();
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    uint64_t size() const { return size_; }
    const std::string& path() const { return path_; }
    bool contains(uint64_t offset, uint64_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }
    // Throws qm::IoError for a range past the size at opening, a failed read,
    // or a file that has shrunk since.
    void read(uint64_t offset, std::span<uint8_t> out) const;

  private:
    int fd_ = -1;
    uint64_t size_ = 0;
    std::string path_;
};

// The size of `path` when it names a regular file or a link to one, from a
// single stat (a run over 100,000 files pays for every look at each); nullopt
// for anything else, or when it cannot be looked at.
std::optional<uint64_t> regularFileSize(const std::string& path);

}  // namespace qm
