// SHA-256 (FIPS 180-4), for the digests that tell duplicate messages apart.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace qm::convert {

using Digest = std::array<uint8_t, 32>;

class Sha256 {
  public:
    Sha256();
    void update(std::span<const uint8_t> data);
    // Ends the hash; the object is spent afterwards.
    Digest finish();

  private:
    void block(const uint8_t* p);

    std::array<uint32_t, 8> h_;
    std::array<uint8_t, 64> buffer_{};
    size_t buffered_ = 0;
    uint64_t length_ = 0;  // bytes hashed so far
};

}  // namespace qm::convert
