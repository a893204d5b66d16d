// The header of PidTagRtfCompressed ([MS-OXRTFCP] 2.1.3.1), checked against
// the data that follows it and repaired where that loses nothing.
//
//   u32 COMPSIZE  bytes after this field (the whole value less 4)
//   u32 RAWSIZE   bytes of RTF the data expands to
//   u32 COMPTYPE  "LZFu" (compressed) or "MELA" (the RTF itself)
//   u32 CRC       of the compressed bytes; 0 for MELA
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "mapi/bytes.h"

namespace qm::msg {

constexpr uint32_t kRtfCompressed = 0x75465A4C;    // "LZFu"
constexpr uint32_t kRtfUncompressed = 0x414C454D;  // "MELA"
constexpr size_t kRtfHeaderSize = 16;

// Expands LZFu data (the bytes after the header). Stops at the end marker;
// nullopt if there is none within `data` or the output would pass
// `maxOut`. `consumed` receives the bytes read up to the marker.
std::optional<Bytes> decompressLzfu(std::span<const uint8_t> data, size_t maxOut,
                                    size_t* consumed = nullptr);

// Checks `value` (a whole PidTagRtfCompressed) and, when only its header's
// sizes disagree with data that is whole, rewrites the header (and drops
// bytes past an LZFu end marker). Returns a sentence saying what was
// repaired or what is wrong and kept as is; empty when the value is sound.
std::string repairRtfHeader(Bytes& value);

}  // namespace qm::msg
