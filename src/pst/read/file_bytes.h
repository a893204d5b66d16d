// A PST file opened read-only, read in pieces (see qm::ReadOnlyFile).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include "mapi/bytes.h"
#include "mapi/read_only_file.h"

namespace qm::pst::read {

class FileBytes {
  public:
    // Throws qm::IoError when the path cannot be opened or is not a regular file.
    static std::shared_ptr<FileBytes> open(const std::filesystem::path& path);
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;

    uint64_t size() const { return file_.size(); }
    const std::string& path() const { return file_.path(); }
    bool contains(uint64_t offset, uint64_t length) const { return file_.contains(offset, length); }
    // REQUIRES: contains(offset, out.size()). Throws qm::IoError on failure.
    void read(uint64_t offset, std::span<uint8_t> out) const { file_.read(offset, out); }
    Bytes read(uint64_t offset, size_t length) const;

  private:
    explicit FileBytes(const std::filesystem::path& path) : file_(path) {}
    ReadOnlyFile file_;
};

}  // namespace qm::pst::read
