// The byte encodings of external data blocks ([MS-PST] 5.1, 5.2).
// Permutative ("compressible") encoding substitutes each byte through one
// table and decodes through its inverse; we write it (or nothing). Cyclic
// ("high") encoding is keyed by the block id and is read, never written.
// Only the data bytes of external (non-internal) blocks are encoded; block
// CRCs cover the encoded bytes.
#pragma once

#include <cstdint>
#include <span>

#include "pst/ndb/format.h"

namespace qm::pst::ndb {

void permuteEncode(std::span<uint8_t> data);
void permuteDecode(std::span<uint8_t> data);
// The plain byte loop the two above must agree with (for tests).
void permuteEncodeByteAtATime(std::span<uint8_t> data);
// The cyclic routine is its own inverse; `key` is the low 32 bits of the BID.
void cyclicDecode(std::span<uint8_t> data, uint32_t key);

// Encodes or decodes `data` in place as `method` says; None leaves it alone.
// REQUIRES: method is None or Permute for encode.
void encodeBlockData(std::span<uint8_t> data, CryptMethod method, Bid bid);
// The same into `out` (data.size() bytes, not overlapping `data`): one pass
// instead of a copy and an encoding.
void encodeBlockDataInto(std::span<const uint8_t> data, uint8_t* out, CryptMethod method, Bid bid);
void decodeBlockData(std::span<uint8_t> data, CryptMethod method, Bid bid);

}  // namespace qm::pst::ndb
