// The primitives every PST layer shares: the CRC and the permutation's fast
// paths against their plain definitions, the cyclic cipher no sample uses,
// and values worked out from the samples [MS-PST] prints.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "pst/ndb/crc.h"
#include "pst/ndb/crypt.h"
#include "pst/ndb/format.h"
#include "pst/ndb/signature.h"

namespace qm::pst::ndb {
namespace {

// Plain bitwise CRC, the definition the sliced version must agree with.
uint32_t referenceCrc(std::span<const uint8_t> d) {
    uint32_t crc = 0;
    for (uint8_t b : d) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

// Lengths cross the tables-only range, the 16-byte and the 64-byte folding
// steps (where the CPU has carry-less multiply) and every tail length.
TEST(PstCrc, FastPathsMatchBitwiseForEveryLengthAlignmentAndSeed) {
    std::mt19937 rng(7);
    std::vector<uint8_t> buf(1200);
    for (auto& b : buf) b = uint8_t(rng());
    for (size_t start = 0; start < 9; ++start) {
        for (size_t len = 0; len + start <= buf.size(); len += len < 200 ? 1 : 13) {
            std::span<const uint8_t> s(buf.data() + start, len);
            ASSERT_EQ(crc32(s), referenceCrc(s)) << start << "+" << len;
            ASSERT_EQ(crc32ByTables(s), referenceCrc(s)) << start << "+" << len;
            const uint32_t seed = uint32_t(rng());
            ASSERT_EQ(crc32(s, seed), crc32ByTables(s, seed)) << start << "+" << len;
        }
    }
    std::vector<uint8_t> block(8176);
    for (auto& b : block) b = uint8_t(rng());
    EXPECT_EQ(crc32(block), referenceCrc(block));
}

// The vector path (where the CPU has one) and the byte loop agree at every
// length and alignment and decode back; cyclic encoding is never written;
// the cyclic cipher is keyed and its own inverse.
TEST(PstCrypt, PermuteFastPathBlockEncodingAndCyclic) {
    std::vector<uint8_t> data(600);
    std::mt19937 rng(9);
    for (auto& b : data) b = uint8_t(rng());
    for (size_t offset : {size_t(0), size_t(1), size_t(7), size_t(63)}) {
        for (size_t n = 0; n + offset <= data.size(); n += n < 130 ? 1 : 37) {
            std::vector<uint8_t> fast = data, slow = data;
            permuteEncode(std::span<uint8_t>(fast).subspan(offset, n));
            permuteEncodeByteAtATime(std::span<uint8_t>(slow).subspan(offset, n));
            ASSERT_EQ(fast, slow) << "offset " << offset << ", length " << n;
            permuteDecode(std::span<uint8_t>(fast).subspan(offset, n));
            ASSERT_EQ(fast, data) << "offset " << offset << ", length " << n;
        }
    }
    auto a = data, b = data;
    EXPECT_THROW(encodeBlockData(a, CryptMethod::Cyclic, 4), std::invalid_argument);
    cyclicDecode(a, 0x12345678);
    cyclicDecode(b, 0x12345679);
    EXPECT_NE(a, data);
    EXPECT_NE(a, b);
    cyclicDecode(a, 0x12345678);
    EXPECT_EQ(a, data);
}

// [MS-PST]'s sample signature, where only the low 32 bits of ib ^ bid
// count, and map offsets only files past 2 GiB reach.
TEST(PstFormat, SignaturesNidsAndGeometry) {
    EXPECT_EQ(computeSignature(0x1'0000'8200ull, 0x206), 0x8006);
    EXPECT_EQ(fmapOffset(129), 0u);
    EXPECT_EQ(fpmapOffset(8192), 0x7C004800u);
}

}  // namespace
}  // namespace qm::pst::ndb
