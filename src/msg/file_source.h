// A .msg file as a byte source, so values that stay in the file (large
// attachments) can be read long after parsing; the file stays open while any
// shared_ptr to the source lives. A file of at most kWholeFileLimit bytes is
// instead read whole when opened and closed at once: one read instead of one
// per run of sectors, which is most of the system time of converting many
// small messages. A larger file serves small reads (directory, FAT, the many
// small streams) from a window of kWindow bytes read at once: a 2 MB message
// with many recipients took about 800 reads of a sector or two each.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "mapi/bytes.h"
#include "mapi/read_only_file.h"

namespace qm::msg {

class FileSource final : public ByteSource {
  public:
    // Throws qm::IoError when the file cannot be opened or sized.
    static std::shared_ptr<FileSource> open(const std::filesystem::path& path);
    // Small enough to hold while one message is parsed.
    static constexpr uint64_t kWholeFileLimit = uint64_t(1) << 20;
    static constexpr size_t kWindow = size_t(256) << 10;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    uint64_t size() const override { return size_; }
    // Throws qm::IoError when the file fails or has shrunk since it was opened.
    void read(uint64_t offset, std::span<uint8_t> out) const override;
    const std::string& path() const { return path_; }

  private:
    explicit FileSource(const std::filesystem::path& path) : file_(std::in_place, path) {}
    std::optional<ReadOnlyFile> file_;  // empty once the whole file is in `whole_`
    uint64_t size_ = 0;
    std::string path_;
    // Not zeroed first: the read fills it or throws, and zeroing costs as
    // much as reading a cached file.
    std::unique_ptr<uint8_t[]> whole_;
    size_t wholeSize_ = 0;
    // The window of a file not read whole. Reads come from the reading
    // thread while parsing and from the store's when a value left in the
    // file is written, so it is guarded.
    mutable std::mutex windowMu_;
    mutable std::unique_ptr<uint8_t[]> window_;
    mutable uint64_t windowAt_ = 0;
    mutable size_t windowSize_ = 0;
};

}  // namespace qm::msg
