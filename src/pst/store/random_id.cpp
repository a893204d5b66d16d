#include "pst/store/random_id.h"

#include <mutex>
#include <random>

namespace qm::pst::store {

std::array<uint8_t, 16> randomGuid() {
    // One engine seeded once from the system: std::random_device may be slow.
    static std::mutex mutex;
    static std::mt19937_64 engine{[] {
        std::random_device device;
        std::seed_seq seq{device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seq);
    }()};
    std::array<uint8_t, 16> g{};
    {
        std::lock_guard lock(mutex);
        const uint64_t a = engine();
        const uint64_t b = engine();
        for (int i = 0; i < 8; ++i) {
            g[i] = uint8_t(a >> (8 * i));
            g[8 + i] = uint8_t(b >> (8 * i));
        }
    }
    // Version 4 (random) in the little-endian Data3 field, RFC 4122 variant.
    g[7] = uint8_t((g[7] & 0x0F) | 0x40);
    g[8] = uint8_t((g[8] & 0x3F) | 0x80);
    return g;
}

Bytes randomGuidBytes() {
    const auto g = randomGuid();
    return Bytes(g.begin(), g.end());
}

}  // namespace qm::pst::store
