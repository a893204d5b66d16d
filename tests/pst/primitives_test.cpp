// The primitives every PST layer shares: the CRC and the permutation's fast
// paths against their plain definitions, and values worked out from the
// samples [MS-PST] prints.
#include <gtest/gtest.h>

#include <array>
#include <iostream>
#include <numeric>
#include <random>
#include <set>
#include <string_view>
#include <vector>

#include "pst/ndb/crc.h"
#include "pst/ndb/crypt.h"
#include "pst/ndb/format.h"
#include "pst/ndb/signature.h"

namespace qm::pst::ndb {
namespace {

std::span<const uint8_t> bytesOf(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Plain bitwise CRC, the definition the sliced version must agree with.
uint32_t referenceCrc(std::span<const uint8_t> d) {
    uint32_t crc = 0;
    for (uint8_t b : d) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

TEST(PstCrc, KnownVectorsAndPieces) {
    EXPECT_EQ(crc32(bytesOf("")), 0u);
    EXPECT_EQ(crc32(bytesOf("123456789")), 0x2DFD2D88u);
    const std::string_view all = "The quick brown fox jumps over the lazy dog";
    for (size_t cut = 0; cut <= all.size(); ++cut)
        EXPECT_EQ(crc32(bytesOf(all.substr(cut)), crc32(bytesOf(all.substr(0, cut)))),
                  crc32(bytesOf(all)));
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

// A permutation with [MS-PST] 5.1's first entries; the vector path (where
// the CPU has one) and the byte loop agree at every length and alignment;
// block encoding by method; the cyclic cipher is keyed and its own inverse.
TEST(PstCrypt, PermuteFastPathBlockEncodingAndCyclic) {
    std::array<uint8_t, 256> all;
    std::iota(all.begin(), all.end(), 0);
    auto enc = all;
    permuteEncode(enc);
    EXPECT_EQ(std::set<uint8_t>(enc.begin(), enc.end()).size(), 256u);
    EXPECT_EQ((std::array<uint8_t, 4>{enc[0], enc[1], enc[2], enc[3]}),
              (std::array<uint8_t, 4>{0x41, 0x36, 0x13, 0x62}));
    permuteDecode(enc);
    EXPECT_EQ(enc, all);
    if (!permuteIsVectorised()) std::cout << "[ NOTE     ] no vector path on this CPU\n";
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
    auto copy = data;
    encodeBlockData(copy, CryptMethod::None, 4);
    EXPECT_EQ(copy, data);
    encodeBlockData(copy, CryptMethod::Permute, 4);
    EXPECT_NE(copy, data);
    decodeBlockData(copy, CryptMethod::Permute, 4);
    EXPECT_EQ(copy, data);
    EXPECT_THROW(encodeBlockData(copy, CryptMethod::Cyclic, 4), std::invalid_argument);
    auto b = copy;
    cyclicDecode(copy, 0x12345678);
    cyclicDecode(b, 0x12345679);
    EXPECT_NE(copy, data);
    EXPECT_NE(copy, b);
    cyclicDecode(copy, 0x12345678);
    EXPECT_EQ(copy, data);
}

// Signatures, and helpers whose far ends (FPMaps, FMaps) only huge files reach.
TEST(PstFormat, SignaturesNidsAndGeometry) {
    EXPECT_EQ(computeSignature(0x8200, 0x206), 0x8006);
    EXPECT_EQ(computeSignature(0x900200, 0x246), 0x00D6);
    EXPECT_EQ(computeSignature(0x594D80, 0x1386), 0x5E5F);
    // Only the low 32 bits of (ib ^ bid) count.
    EXPECT_EQ(computeSignature(0x1'0000'8200ull, 0x206), 0x8006);
    EXPECT_EQ(makeNid(NID_TYPE_NORMAL_FOLDER, 9), NID_ROOT_FOLDER);
    EXPECT_EQ(nidIndex(0x200024), 0x10001u);
    EXPECT_EQ(withNidType(NID_IPM_SUBTREE, NID_TYPE_HIERARCHY_TABLE), 0x802Du);
    EXPECT_EQ(makeHid(1, 1), 0x10020u);
    EXPECT_EQ(hidIndex(0x10020), 1u);
    EXPECT_EQ(blockSizeOnDisk(49), 128u);
    EXPECT_EQ(regionOffset(41), 0x9F2400u);  // the sample header's file: 41 regions
    EXPECT_EQ(regionMapPages(128), 3u);      // AMap + PMap + FMap
    EXPECT_EQ(pmapOffset(8), regionOffset(8) + kPageSize);
    EXPECT_EQ(fmapOffset(129), 0u);
    EXPECT_EQ(fpmapOffset(8192), 0x7C004800u);
    EXPECT_TRUE(heapBlockHasBitmap(136));
    EXPECT_FALSE(heapBlockHasBitmap(9));
}

}  // namespace
}  // namespace qm::pst::ndb
