// The CRC-32 of the PST format ([MS-PST] 5.3): the reflected polynomial
// 0xEDB88320 (zlib's table) but seeded with 0 and never inverted at the end,
// so crc(d) == zlib_crc32(d, 0xFFFFFFFF) ^ 0xFFFFFFFF. Used for the header,
// every page and block trailer, and the name hashes of the name-to-id map;
// the .msg named-property stream hashes its names with it too ([MS-OXMSG]
// 2.2.3.1.2). One implementation serves both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qm::mapi {

// CRC of `data`, continuing from `crc` (0 for a fresh computation), so a
// range may be fed in pieces: crc(a+b) == crc(b, crc(a)).
uint32_t crc32(std::span<const uint8_t> data, uint32_t crc = 0);
// The same through the tables alone (what the folded path must agree with).
uint32_t crc32ByTables(std::span<const uint8_t> data, uint32_t crc = 0);
inline uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0) {
    return crc32(std::span<const uint8_t>(data, size), crc);
}

}  // namespace qm::mapi
