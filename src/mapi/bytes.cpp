#include "mapi/bytes.h"

#include "mapi/error.h"

namespace qm {

void ByteReader::need(size_t n) const {
    if (n > data_.size() - pos_) {
        throw FormatError("", structure_, base_ + int64_t(pos_),
                          "needs " + std::to_string(n) + " bytes, only " +
                              std::to_string(data_.size() - pos_) + " left");
    }
}

void ByteReader::seek(size_t pos) {
    if (pos > data_.size()) {
        throw FormatError("", structure_, base_ + int64_t(pos), "seek past the end");
    }
    pos_ = pos;
}

void ByteReader::skip(size_t n) {
    need(n);
    pos_ += n;
}

uint8_t ByteReader::u8() {
    need(1);
    return data_[pos_++];
}

uint16_t ByteReader::u16() {
    need(2);
    uint16_t v = loadLE16(data_.data() + pos_);
    pos_ += 2;
    return v;
}

uint32_t ByteReader::u32() {
    need(4);
    uint32_t v = loadLE32(data_.data() + pos_);
    pos_ += 4;
    return v;
}

uint64_t ByteReader::u64() {
    need(8);
    uint64_t v = loadLE64(data_.data() + pos_);
    pos_ += 8;
    return v;
}

std::span<const uint8_t> ByteReader::bytes(size_t n) {
    need(n);
    auto s = data_.subspan(pos_, n);
    pos_ += n;
    return s;
}

Bytes ByteSource::readAll() const {
    Bytes out(size());
    if (!out.empty()) read(0, out);
    return out;
}

void MemorySource::read(uint64_t offset, std::span<uint8_t> out) const {
    if (offset > data_.size() || out.size() > data_.size() - offset) {
        throw Error("MemorySource: read beyond the end");
    }
    std::memcpy(out.data(), data_.data() + offset, out.size());
}

void SpanSource::read(uint64_t offset, std::span<uint8_t> out) const {
    if (offset > data_.size() || out.size() > data_.size() - offset) {
        throw Error("SpanSource: read beyond the end");
    }
    std::memcpy(out.data(), data_.data() + offset, out.size());
}

uint8_t PatternSource::byteAt(uint64_t offset, uint32_t seed) {
    // A cheap mix so that neighbouring blocks differ (catches swapped blocks).
    uint64_t x = offset * 0x9E3779B97F4A7C15ull + seed;
    x ^= x >> 29;
    return uint8_t(x * 0xBF58476D1CE4E5B9ull >> 56);
}

void PatternSource::read(uint64_t offset, std::span<uint8_t> out) const {
    if (offset > size_ || out.size() > size_ - offset) {
        throw Error("PatternSource: read beyond the end");
    }
    for (size_t i = 0; i < out.size(); ++i) out[i] = byteAt(offset + i, seed_);
}

}  // namespace qm
