// Every block and page CRC of a multi-gigabyte file goes through here, on
// writing and again on checking: carry-less multiply folding where the CPU
// has it, slicing-by-8 (eight derived tables, eight bytes a step) for short
// ranges, tails and other CPUs.
#include "mapi/crc32.h"

#include <array>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace qm::mapi {
namespace {

using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables makeTables() {
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i) {
        for (size_t s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    }
    return t;
}

constexpr Tables kTables = makeTables();
static_assert(kTables[0][1] == 0x77073096 && kTables[0][255] == 0x2D02EF8D);

uint32_t crcSliced(const uint8_t* p, size_t n, uint32_t crc) {
    while (n >= 8) {
        uint32_t lo = crc ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                             uint32_t(p[3]) << 24);
        uint32_t hi =
            uint32_t(p[4]) | uint32_t(p[5]) << 8 | uint32_t(p[6]) << 16 | uint32_t(p[7]) << 24;
        crc = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
              kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
              kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n--) crc = kTables[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return crc;
}

#if defined(__x86_64__) && defined(__GNUC__)
// Carry-less multiplication folds the data 64 bytes a step in four
// independent lanes (x^(512+-32) mod P as multipliers), then the lanes into
// one and the rest 16 bytes a step (x^(128+-32) mod P); the last 16 bytes
// of the register and the tail go through the tables. The constants are the
// usual ones for the reflected polynomial 0xEDB88320. Folding keeps the
// register's CRC (seeded with 0) equal to the CRC of what it has consumed.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(
        _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i load(const uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

__attribute__((target("pclmul,sse4.1"))) uint32_t crcFolded(const uint8_t* p, size_t n,
                                                            uint32_t crc) {
    const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    __m128i x = _mm_xor_si128(load(p), _mm_cvtsi32_si128(int(crc)));
    p += 16;
    n -= 16;
    if (n >= 64) {
        __m128i x1 = x, x2 = load(p), x3 = load(p + 16), x4 = load(p + 32);
        p += 48;
        n -= 48;
        while (n >= 64) {
            x1 = fold(x1, k1k2, load(p));
            x2 = fold(x2, k1k2, load(p + 16));
            x3 = fold(x3, k1k2, load(p + 32));
            x4 = fold(x4, k1k2, load(p + 48));
            p += 64;
            n -= 64;
        }
        x = fold(fold(fold(x1, k3k4, x2), k3k4, x3), k3k4, x4);
    }
    while (n >= 16) {
        x = fold(x, k3k4, load(p));
        p += 16;
        n -= 16;
    }
    alignas(16) uint8_t last[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(last), x);
    return crcSliced(p, n, crcSliced(last, 16, 0));
}

bool cpuHasClmul() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}
#endif

}  // namespace

uint32_t crc32(std::span<const uint8_t> data, uint32_t crc) {
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool clmul = cpuHasClmul();
    if (clmul && data.size() >= 64) return crcFolded(data.data(), data.size(), crc);
#endif
    return crcSliced(data.data(), data.size(), crc);
}

uint32_t crc32ByTables(std::span<const uint8_t> data, uint32_t crc) {
    return crcSliced(data.data(), data.size(), crc);
}

}  // namespace qm::mapi
