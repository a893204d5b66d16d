// The primitives every PST layer shares, checked against values worked out
// from the samples [MS-PST] prints and against zlib's CRC.
#include <gtest/gtest.h>

#include <array>
#include <iostream>
#include <numeric>
#include <random>
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

TEST(PstCrc, KnownVectors) {
    EXPECT_EQ(crc32(bytesOf("")), 0u);
    EXPECT_EQ(crc32(bytesOf("123456789")), 0x2DFD2D88u);
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

TEST(PstCrc, ContinuesAcrossPieces) {
    std::string_view all = "The quick brown fox jumps over the lazy dog";
    uint32_t whole = crc32(bytesOf(all));
    for (size_t cut = 0; cut <= all.size(); ++cut) {
        uint32_t a = crc32(bytesOf(all.substr(0, cut)));
        EXPECT_EQ(crc32(bytesOf(all.substr(cut)), a), whole);
    }
}

// The sample header of [MS-PST] 3.2 starts 21 42 44 4E 0E A9 9A 37: its
// partial CRC is 0x379AA90E. Rebuilding all 516 bytes here would copy the
// sample; the golden-file test checks both header CRCs of real files instead.

TEST(PstCrypt, PermuteRoundTripsEveryByte) {
    std::array<uint8_t, 256> all;
    std::iota(all.begin(), all.end(), 0);
    auto enc = all;
    permuteEncode(enc);
    std::array<bool, 256> seen{};
    for (uint8_t b : enc) seen[b] = true;
    for (bool s : seen) EXPECT_TRUE(s);  // a permutation
    EXPECT_EQ(enc[0], 0x41);
    EXPECT_EQ(enc[1], 0x36);
    EXPECT_EQ(enc[2], 0x13);
    EXPECT_EQ(enc[3], 0x62);
    permuteDecode(enc);
    EXPECT_EQ(enc, all);
}

// The vector path (where the CPU has one) and the byte loop agree at every
// length and alignment, across the table's two halves and the tail.
TEST(PstCrypt, PermuteAgreesWithTheByteLoopAtEveryLengthAndOffset) {
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
}

TEST(PstCrypt, BlockEncodeDecodeByMethod) {
    std::vector<uint8_t> data = {'h', 'e', 'l', 'l', 'o', 0, 0xFF};
    auto copy = data;
    encodeBlockData(copy, CryptMethod::None, 4);
    EXPECT_EQ(copy, data);
    encodeBlockData(copy, CryptMethod::Permute, 4);
    EXPECT_NE(copy, data);
    decodeBlockData(copy, CryptMethod::Permute, 4);
    EXPECT_EQ(copy, data);
    EXPECT_THROW(encodeBlockData(copy, CryptMethod::Cyclic, 4), std::invalid_argument);
}

TEST(PstCrypt, CyclicIsItsOwnInverseAndKeyed) {
    std::vector<uint8_t> data(1000);
    std::mt19937 rng(3);
    for (auto& b : data) b = uint8_t(rng());
    auto a = data;
    cyclicDecode(a, 0x12345678);
    EXPECT_NE(a, data);
    auto b = data;
    cyclicDecode(b, 0x12345679);
    EXPECT_NE(a, b);
    cyclicDecode(a, 0x12345678);
    EXPECT_EQ(a, data);
}

TEST(PstSignature, SampleValues) {
    EXPECT_EQ(computeSignature(0x8200, 0x206), 0x8006);
    EXPECT_EQ(computeSignature(0x7000, 0x6B), 0x706B);
    EXPECT_EQ(computeSignature(0x900200, 0x246), 0x00D6);
    EXPECT_EQ(computeSignature(0x594D80, 0x1386), 0x5E5F);
    EXPECT_EQ(computeSignature(0x5A6600, 0x162), 0x6738);
    // Only the low 32 bits of (ib ^ bid) count.
    EXPECT_EQ(computeSignature(0x1'0000'8200ull, 0x206), 0x8006);
}

TEST(PstFormat, NidHelpers) {
    EXPECT_EQ(makeNid(NID_TYPE_NORMAL_FOLDER, 9), NID_ROOT_FOLDER);
    EXPECT_EQ(nidType(0x200024), NID_TYPE_NORMAL_MESSAGE);
    EXPECT_EQ(nidIndex(0x200024), 0x10001u);
    EXPECT_EQ(withNidType(NID_IPM_SUBTREE, NID_TYPE_HIERARCHY_TABLE), 0x802Du);
    EXPECT_EQ(makeNid(NID_TYPE_NORMAL_MESSAGE, kRgnidStartNormalMessage + 1), 0x200024u);
    EXPECT_TRUE(hnidIsHid(0x20));
    EXPECT_FALSE(hnidIsHid(0x8025));
    EXPECT_EQ(makeHid(1, 1), 0x10020u);
    EXPECT_EQ(hidIndex(0x10020), 1u);
    EXPECT_EQ(hidBlock(0x10020), 1u);
}

TEST(PstFormat, Geometry) {
    EXPECT_EQ(kMaxBlockData, 8176u);
    EXPECT_EQ(blockSizeOnDisk(0), 64u);
    EXPECT_EQ(blockSizeOnDisk(48), 64u);
    EXPECT_EQ(blockSizeOnDisk(49), 128u);
    EXPECT_EQ(blockSizeOnDisk(kMaxBlockData), 8192u);
    EXPECT_EQ(kNbtEntryMax, 15u);
    EXPECT_EQ(kBbtEntryMax, 20u);
    EXPECT_EQ(kHeaderCrcStart + kHeaderCrcPartialSize, 0x1DFu);
    EXPECT_EQ(hdr::root + root::fAMapValid, 0xF8u);
    EXPECT_EQ(hdr::root + root::brefBbt, 0xE8u);
    // The sample header's file: 41 whole regions.
    EXPECT_EQ(regionOffset(41), 0x9F2400u);
    EXPECT_EQ(regionMapPages(0), 2u);  // AMap + PMap
    EXPECT_EQ(regionMapPages(1), 1u);
    EXPECT_EQ(regionMapPages(128), 3u);  // AMap + PMap + FMap
    EXPECT_EQ(pmapOffset(8), regionOffset(8) + kPageSize);
    EXPECT_EQ(fmapOffset(129), 0u);
    EXPECT_EQ(fpmapOffset(8192), 0x7C004800u);
    EXPECT_TRUE(heapBlockHasBitmap(8));
    EXPECT_TRUE(heapBlockHasBitmap(136));
    EXPECT_FALSE(heapBlockHasBitmap(9));
}

}  // namespace
}  // namespace qm::pst::ndb
