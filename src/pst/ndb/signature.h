// The 16-bit signature of pages and blocks ([MS-PST] 5.5): the low 32 bits
// of (offset ^ id), folded. Map pages (AMap, PMap, FMap, FPMap) carry 0.
#pragma once

#include <cstdint>

#include "pst/ndb/format.h"

namespace qm::pst::ndb {

constexpr uint16_t computeSignature(Ib ib, Bid bid) {
    uint32_t x = uint32_t(ib ^ bid);
    return uint16_t((x >> 16) ^ (x & 0xFFFF));
}

// Values worked out from the sample pages and blocks [MS-PST] 3 prints.
static_assert(computeSignature(0x8200, 0x206) == 0x8006);
static_assert(computeSignature(0x7000, 0x6B) == 0x706B);
static_assert(computeSignature(0x900200, 0x246) == 0x00D6);
static_assert(computeSignature(0x594D80, 0x1386) == 0x5E5F);
static_assert(computeSignature(0x5A6600, 0x162) == 0x6738);

}  // namespace qm::pst::ndb
