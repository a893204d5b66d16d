// Little-endian encoding helpers and byte sources. Every read from untrusted
// bytes goes through a bounds check; nothing here trusts a length it is given.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace qm {

using Bytes = std::vector<uint8_t>;

inline uint16_t loadLE16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
inline uint32_t loadLE32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t loadLE64(const uint8_t* p) {
    return uint64_t(loadLE32(p)) | (uint64_t(loadLE32(p + 4)) << 32);
}
inline void storeLE16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void storeLE32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void storeLE64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

inline void appendLE16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
inline void appendLE32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
inline void appendLE64(Bytes& b, uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

// Bounds-checked cursor over a byte span. A read past the end throws
// FormatError naming `structure` and the absolute offset (`base` + position).
class ByteReader {
  public:
    ByteReader(std::span<const uint8_t> data, std::string structure, int64_t base = 0)
        : data_(data), structure_(std::move(structure)), base_(base) {}

    size_t position() const { return pos_; }
    size_t remaining() const { return data_.size() - pos_; }
    void seek(size_t pos);
    void skip(size_t n);

    uint8_t u8();
    uint16_t u16();
    uint32_t u32();
    uint64_t u64();
    std::span<const uint8_t> bytes(size_t n);

  private:
    void need(size_t n) const;
    std::span<const uint8_t> data_;
    std::string structure_;
    int64_t base_;
    size_t pos_ = 0;
};

// A value too large to hold in memory comfortably (a big attachment) is
// handed around as a source that is read in pieces.
// REQUIRES: read() is called with offset + out.size() <= size().
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    virtual uint64_t size() const = 0;
    virtual void read(uint64_t offset, std::span<uint8_t> out) const = 0;
    // All the bytes in place, for a source that holds them in memory, so a
    // writer can take them from there instead of reading them into a buffer
    // of its own; nullptr otherwise.
    virtual const uint8_t* contiguous() const { return nullptr; }

    // Convenience for small sources and tests.
    Bytes readAll() const;
};

class MemorySource final : public ByteSource {
  public:
    explicit MemorySource(Bytes data) : data_(std::move(data)) {}
    uint64_t size() const override { return data_.size(); }
    void read(uint64_t offset, std::span<uint8_t> out) const override;
    const uint8_t* contiguous() const override { return data_.data(); }

  private:
    Bytes data_;
};

// Borrowed bytes seen as a source, so one streaming path serves values held
// in memory too. REQUIRES: the bytes outlive the source.
class SpanSource final : public ByteSource {
  public:
    explicit SpanSource(std::span<const uint8_t> data) : data_(data) {}
    uint64_t size() const override { return data_.size(); }
    void read(uint64_t offset, std::span<uint8_t> out) const override;
    const uint8_t* contiguous() const override { return data_.data(); }

  private:
    std::span<const uint8_t> data_;
};

// Bytes produced on demand by a generator (fixtures and benchmarks use it
// to write huge attachments without holding them).
class PatternSource final : public ByteSource {
  public:
    PatternSource(uint64_t size, uint32_t seed) : size_(size), seed_(seed) {}
    uint64_t size() const override { return size_; }
    void read(uint64_t offset, std::span<uint8_t> out) const override;
    static uint8_t byteAt(uint64_t offset, uint32_t seed);

  private:
    uint64_t size_;
    uint32_t seed_;
};

}  // namespace qm
