#include "msg/file_source.h"

#include <algorithm>
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
        if (out.size() >= kWindow / 2 || !file_->contains(offset, out.size())) {
            file_->read(offset, out);  // large, or out of range: the file says so
            return;
        }
        std::lock_guard<std::mutex> lock(windowMu_);
        if (offset < windowAt_ || offset + out.size() > windowAt_ + windowSize_) {
            if (!window_) window_ = std::make_unique_for_overwrite<uint8_t[]>(kWindow);
            windowSize_ = 0;  // nothing valid if the read throws
            const uint64_t at = offset & ~uint64_t(4095);
            const size_t n = size_t(std::min<uint64_t>(kWindow, size_ - at));
            file_->read(at, std::span<uint8_t>(window_.get(), n));
            windowAt_ = at;
            windowSize_ = n;
        }
        if (!out.empty()) std::memcpy(out.data(), window_.get() + (offset - windowAt_), out.size());
        return;
    }
    if (offset > wholeSize_ || out.size() > wholeSize_ - offset) {
        throw IoError(path_, "read (beyond the end of the file)", EIO);
    }
    if (!out.empty()) std::memcpy(out.data(), whole_.get() + offset, out.size());
}

}  // namespace qm::msg
