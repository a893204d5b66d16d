// CompoundFileWriter -> CompoundFileReader round trips, the directory tree the
// writer builds, and python3-olefile reading the writer's files.
#include <gtest/gtest.h>

#include <functional>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "msg/cfb_format.h"
#include "msg/compound_file_reader.h"
#include "msg/compound_file_writer.h"
#include "msg/nameid.h"
#include "msg/test_util.h"

using namespace qm;
using namespace qm::msg;

namespace {

Bytes pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    PatternSource(n, seed).read(0, b);
    return b;
}

std::shared_ptr<CompoundFileReader> openBytes(const Bytes& file) {
    return CompoundFileReader::open(std::make_shared<MemorySource>(file), "test.cfb");
}

// Sizes either side of every boundary: mini sector, mini cutoff, both sector sizes.
const std::vector<size_t> kSizes = {0,   1,    63,   64,   65,   511,   512,
                                    513, 4095, 4096, 4097, 8192, 100000};

class CfbRoundTrip : public ::testing::TestWithParam<uint32_t> {};

TEST_P(CfbRoundTrip, StreamsAndStoragesComeBackExactly) {
    uint32_t ss = GetParam();
    CompoundFileWriter w(ss);
    mapi::Guid clsid = *mapi::Guid::parse("{11223344-5566-7788-99AA-BBCCDDEEFF00}");
    w.setClsid(CompoundFileWriter::kRoot, clsid);
    uint32_t sub = w.addStorage(CompoundFileWriter::kRoot, u"Sub storage");
    uint32_t deeper = w.addStorage(sub, u"deeper");
    w.setClsid(deeper, clsid);
    for (size_t i = 0; i < kSizes.size(); ++i) {
        w.addStream(CompoundFileWriter::kRoot, u"s" + mapi::fromUtf8(std::to_string(i)),
                    pattern(kSizes[i], uint32_t(i)));
        w.addStream(deeper, u"d" + mapi::fromUtf8(std::to_string(i)), pattern(kSizes[i], 99));
    }
    Bytes file = w.toBytes();
    ASSERT_EQ(file.size() % ss, 0u);
    EXPECT_EQ(loadLE16(&file[cfb::hdr::kMajor]), ss == 512 ? 3 : 4);

    auto r = openBytes(file);
    EXPECT_EQ(r->sectorSize(), ss);
    EXPECT_EQ(r->entry(CompoundFileReader::kRoot).clsid, clsid);
    for (size_t i = 0; i < kSizes.size(); ++i) {
        auto id = r->find(CompoundFileReader::kRoot, u"S" + mapi::fromUtf8(std::to_string(i)));
        ASSERT_TRUE(id) << "stream s" << i;
        EXPECT_EQ(r->readStream(*id), pattern(kSizes[i], uint32_t(i))) << "size " << kSizes[i];
        EXPECT_EQ(r->streamSource(*id)->readAll(), pattern(kSizes[i], uint32_t(i)));
    }
    auto s = r->find(CompoundFileReader::kRoot, u"sub STORAGE");
    ASSERT_TRUE(s);
    auto d = r->find(*s, u"deeper");
    ASSERT_TRUE(d);
    EXPECT_EQ(r->entry(*d).clsid, clsid);
    EXPECT_EQ(r->children(*d).size(), kSizes.size());
    auto last = r->find(*d, u"d" + mapi::fromUtf8(std::to_string(kSizes.size() - 1)));
    ASSERT_TRUE(last);
    EXPECT_EQ(r->readStream(*last), pattern(kSizes.back(), 99));
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, CfbRoundTrip, ::testing::Values(512u, 4096u));

// Reads the directory of a file our writer made (contiguous directory chain).
struct RawEntry {
    std::u16string name;
    uint8_t type, color;
    uint32_t left, right, child;
};
std::vector<RawEntry> rawDirectory(const Bytes& file) {
    uint32_t ss = 1u << loadLE16(&file[cfb::hdr::kSectorShift]);
    uint32_t first = loadLE32(&file[cfb::hdr::kFirstDirSector]);
    std::vector<RawEntry> out;
    for (size_t off = size_t(first + 1) * ss; off + 128 <= file.size(); off += 128) {
        const uint8_t* e = &file[off];
        if (e[cfb::dir::kType] == 0) break;
        RawEntry r;
        // A name is at most 64 bytes; past the directory's first sector the
        // bytes may be anything.
        uint16_t len = std::min<uint16_t>(loadLE16(e + cfb::dir::kNameLength), 64);
        for (int c = 0; c + 1 < len / 2; ++c) r.name.push_back(char16_t(loadLE16(e + 2 * c)));
        r.type = e[cfb::dir::kType];
        r.color = e[cfb::dir::kColor];
        r.left = loadLE32(e + cfb::dir::kLeft);
        r.right = loadLE32(e + cfb::dir::kRight);
        r.child = loadLE32(e + cfb::dir::kChild);
        out.push_back(r);
    }
    return out;
}

// Checks one storage's tree: search order by (length, upper case), a black
// root, no red node with a red child, equal black height on every path.
void checkRedBlack(const std::vector<RawEntry>& dir, uint32_t root, size_t expectedCount) {
    size_t count = 0;
    std::function<int(uint32_t, const RawEntry*, const RawEntry*, bool)> walk =
        [&](uint32_t id, const RawEntry* lo, const RawEntry* hi, bool parentRed) -> int {
        if (id == cfb::NOSTREAM) return 1;
        const RawEntry& e = dir.at(id);
        ++count;
        if (lo) {
            EXPECT_LT(compareCfbNames(lo->name, e.name), 0);
        }
        if (hi) {
            EXPECT_GT(compareCfbNames(hi->name, e.name), 0);
        }
        bool red = e.color == cfb::kRed;
        EXPECT_FALSE(parentRed && red) << "red node with a red parent";
        int l = walk(e.left, lo, &e, red);
        int r = walk(e.right, &e, hi, red);
        EXPECT_EQ(l, r) << "black heights differ under " << mapi::toUtf8(e.name);
        return l + (red ? 0 : 1);
    };
    if (root != cfb::NOSTREAM) {
        EXPECT_EQ(dir[root].color, cfb::kBlack);
    }
    walk(root, nullptr, nullptr, false);
    EXPECT_EQ(count, expectedCount);
}

TEST(CfbWriter, ChildrenFormValidRedBlackTrees) {
    for (size_t n : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 15u, 16u, 17u, 40u, 300u}) {
        CompoundFileWriter w;
        for (size_t i = 0; i < n; ++i) {
            // Mixed lengths and cases exercise the length-first, case-blind order.
            std::string name = (i % 3 ? "Name" : "n") + std::to_string(i * 7919 % 1000);
            w.addStream(CompoundFileWriter::kRoot, mapi::fromUtf8(name), Bytes{uint8_t(i)});
        }
        Bytes file = w.toBytes();
        auto dir = rawDirectory(file);
        SCOPED_TRACE(n);
        checkRedBlack(dir, dir[0].child, n);
        EXPECT_EQ(openBytes(file)->children(CompoundFileReader::kRoot).size(), n);
    }
}

TEST(CfbWriter, RejectsIllegalNamesAndDuplicates) {
    CompoundFileWriter w;
    EXPECT_THROW(w.addStream(0, u"a/b", Bytes{}), std::invalid_argument);
    EXPECT_THROW(w.addStream(0, u"", Bytes{}), std::invalid_argument);
    EXPECT_THROW(w.addStream(0, std::u16string(32, u'x'), Bytes{}), std::invalid_argument);
    w.addStream(0, u"Same", Bytes{});
    EXPECT_THROW(w.addStream(0, u"SAME", Bytes{}), std::invalid_argument);
    EXPECT_THROW(CompoundFileWriter(1024), std::invalid_argument);
    // Version 3 caps a stream at 2 GiB; the check comes before any byte is made.
    CompoundFileWriter big(512);
    big.addStream(0, u"huge", std::make_shared<PatternSource>(0x80000001ull, 1));
    EXPECT_THROW(big.toBytes(), std::length_error);
}

TEST(CfbWriter, LargeFileUsesDifatSectorsAndStreamsLazily) {
    // More than 109 FAT sectors (109 * 128 * 512 bytes) needs DIFAT sectors.
    constexpr uint64_t kBig = 8u << 20;
    qm::testing::ScratchDir dir;
    CompoundFileWriter w(512);
    w.addStream(0, u"big", std::make_shared<PatternSource>(kBig, 5));
    w.addStream(0, u"small", pattern(100, 6));
    auto path = dir.file("big.cfb");
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_TRUE(f);
        w.write([&](std::span<const uint8_t> p) { std::fwrite(p.data(), 1, p.size(), f); });
        std::fclose(f);
    }
    Bytes head(512);
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_EQ(std::fread(head.data(), 1, 512, f), 512u);
    std::fclose(f);
    EXPECT_GE(loadLE32(&head[cfb::hdr::kDifatSectors]), 1u);
    EXPECT_GT(loadLE32(&head[cfb::hdr::kFatSectors]), cfb::kHeaderDifatEntries);

    auto src = std::make_shared<MemorySource>([&] {
        Bytes all(std::filesystem::file_size(path));
        FILE* g = std::fopen(path.c_str(), "rb");
        EXPECT_EQ(std::fread(all.data(), 1, all.size(), g), all.size());
        std::fclose(g);
        return all;
    }());
    auto r = CompoundFileReader::open(src, path.string());
    auto big = r->streamSource(*r->find(0, u"big"));
    ASSERT_EQ(big->size(), kBig);
    // Pieces straddling sector boundaries.
    for (uint64_t off : {uint64_t(0), uint64_t(511), uint64_t(kBig / 2 + 3), kBig - 1000}) {
        Bytes piece(1000), want(1000);
        big->read(off, piece);
        PatternSource(kBig, 5).read(off, want);
        EXPECT_EQ(piece, want) << "offset " << off;
    }
    EXPECT_EQ(r->readStream(*r->find(0, u"small")), pattern(100, 6));
}

TEST(CfbWriter, OlefileReadsWhatWeWrite) {
    qm::testing::ScratchDir dir;
    for (uint32_t ss : {512u, 4096u}) {
        CompoundFileWriter w(ss);
        uint32_t st = w.addStorage(0, u"storage");
        for (size_t i = 0; i < kSizes.size(); ++i)
            w.addStream(i % 2 ? st : 0, u"s" + mapi::fromUtf8(std::to_string(i)),
                        pattern(kSizes[i], uint32_t(i)));
        auto path = dir.file("f" + std::to_string(ss) + ".cfb");
        Bytes file = w.toBytes();
        FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(file.data(), 1, file.size(), f);
        std::fclose(f);
        std::string script =
            "import olefile,sys,zlib\n"
            "o=olefile.OleFileIO(sys.argv[1])\n"
            "for p in sorted(o.listdir()):\n"
            "  d=o.openstream(p).read()\n"
            "  print('/'.join(p), len(d), zlib.crc32(d,0xFFFFFFFF)^0xFFFFFFFF)\n";
        auto res = qm::testing::run("/usr/bin/python3 -c " + qm::testing::shellQuote(script) + " " +
                                    qm::testing::shellQuote(path.string()));
        ASSERT_EQ(res.exitCode, 0) << res.out;
        std::vector<std::string> want;
        for (size_t i = 0; i < kSizes.size(); ++i) {
            Bytes b = pattern(kSizes[i], uint32_t(i));
            want.push_back(std::string(i % 2 ? "storage/" : "") + "s" + std::to_string(i) + " " +
                           std::to_string(b.size()) + " " + std::to_string(nameIdCrc(b)));
        }
        std::sort(want.begin(), want.end());
        auto got = qm::testing::splitLines(res.out);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, want) << "sector size " << ss;
    }
}

}  // namespace
