#include "msg/file_source.h"

#include <cerrno>
#include <cstring>

#include "mapi/error.h"

namespace qm::msg {

std::shared_ptr<FileSource> FileSource::open(const std::filesystem::path& path) {
    std::shared_ptr<FileSource> source(new FileSource(path));
    source->size_ = source->file_->size();
    source->path_ = source->file_->path();
    if (source->size_ <= kWholeFileLimit) {
        source->wholeSize_ = size_t(source->size_);
        source->whole_ = std::make_unique_for_overwrite<uint8_t[]>(source->wholeSize_);
        source->file_->read(0, std::span<uint8_t>(source->whole_.get(), source->wholeSize_));
        source->file_.reset();
    }
    return source;
}

void FileSource::read(uint64_t offset, std::span<uint8_t> out) const {
    if (file_) {
        file_->read(offset, out);
        return;
    }
    if (offset > wholeSize_ || out.size() > wholeSize_ - offset) {
        throw IoError(path_, "read (beyond the end of the file)", EIO);
    }
    if (!out.empty()) std::memcpy(out.data(), whole_.get() + offset, out.size());
}

}  // namespace qm::msg
