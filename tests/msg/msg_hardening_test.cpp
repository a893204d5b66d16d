// Broken files: each must fail with one qm::FormatError that says where,
// quickly and without a large allocation, or read; never crash or hang.
#include <gtest/gtest.h>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "msg/cfb_format.h"
#include "msg/compound_file_reader.h"
#include "msg/compound_file_writer.h"
#include "msg/msg.h"
#include "msg/msg_format.h"
#include "support/message_gen.h"

using namespace qm;
using namespace qm::mapi;
namespace cfb = qm::msg::cfb;

namespace {

Bytes sampleFile(uint32_t ss = 512) {
    qm::testing::MessageSpec spec;
    spec.recipients = 2;
    spec.attachmentSizes = {100, 5000};
    spec.embedDepth = 1;
    spec.namedByName = 2;
    spec.namedById = 2;
    return msg::writeMsg(qm::testing::makeMessage(spec), {ss});
}

uint32_t sectorSize(const Bytes& f) {
    return 1u << loadLE16(&f[cfb::hdr::kSectorShift]);
}

// Offset of the directory entry named `name` (our writer keeps the directory
// contiguous, so no chain walk is needed here).
size_t entryOffset(const Bytes& f, std::u16string_view name, size_t nth = 0) {
    uint32_t ss = sectorSize(f);
    size_t off = size_t(loadLE32(&f[cfb::hdr::kFirstDirSector]) + 1) * ss;
    for (; off + 128 <= f.size(); off += 128) {
        uint16_t len = loadLE16(&f[off + cfb::dir::kNameLength]);
        if (len < 2) continue;
        std::u16string n;
        for (size_t c = 0; c + 1 < len / 2u; ++c) n.push_back(char16_t(loadLE16(&f[off + 2 * c])));
        if (n == name && nth-- == 0) return off;
    }
    ADD_FAILURE() << "no entry " << toUtf8(name);
    return 0;
}

size_t entryIndex(const Bytes& f, size_t offset) {
    uint32_t ss = sectorSize(f);
    return (offset - size_t(loadLE32(&f[cfb::hdr::kFirstDirSector]) + 1) * ss) / 128;
}

// Expects a FormatError whose text contains `needle`; returns its message.
std::string expectFormatError(const Bytes& f, const std::string& needle) {
    try {
        msg::readMsg(f, "broken.msg");
    } catch (const FormatError& e) {
        EXPECT_EQ(e.file(), "broken.msg");
        EXPECT_NE(std::string(e.what()).find(needle), std::string::npos) << e.what();
        return e.what();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "not a FormatError: " << e.what();
        return "";
    }
    ADD_FAILURE() << "read a broken file without complaint (wanted: " << needle << ")";
    return "";
}

TEST(MsgHardening, HeaderDefects) {
    Bytes f = sampleFile();
    expectFormatError(Bytes(f.begin(), f.begin() + 100), "shorter than the 512-byte header");
    Bytes bad = f;
    bad[0] = 'X';
    expectFormatError(bad, "bad signature");
    bad = f;
    storeLE16(&bad[cfb::hdr::kSectorShift], 12);  // version 3 with 4096-byte sectors
    expectFormatError(bad, "sector shift");
    bad = f;
    storeLE16(&bad[cfb::hdr::kByteOrder], 0xFEFF);
    expectFormatError(bad, "byte order");
    bad = f;
    storeLE32(&bad[cfb::hdr::kCutoff], 0x2000);
    expectFormatError(bad, "cutoff");
    bad = f;
    storeLE32(&bad[cfb::hdr::kFatSectors], 0x7FFFFFFF);
    expectFormatError(bad, "FAT sectors");
    bad = f;
    storeLE32(&bad[cfb::hdr::kDifat], 0x00FFFFFF);  // first FAT sector far outside the file
    expectFormatError(bad, "outside the file");
    bad = f;
    storeLE32(&bad[cfb::hdr::kFirstDirSector], 0x12345678);
    expectFormatError(bad, "outside the file");
}

TEST(MsgHardening, EveryTruncationFailsCleanlyOrReads) {
    for (uint32_t ss : {512u, 4096u}) {
        Bytes f = sampleFile(ss);
        for (size_t cut = 0; cut < f.size(); cut += (cut < 2048 ? 97 : 509)) {
            Bytes t(f.begin(), f.begin() + cut);
            try {
                msg::readMsg(t, "cut.msg");
            } catch (const FormatError& e) {
                EXPECT_EQ(e.file(), "cut.msg");
            } catch (const std::exception& e) {
                ADD_FAILURE() << "cut at " << cut << ": " << e.what();
            }
        }
    }
}

TEST(MsgHardening, ChainCyclesAndBadSectorNumbers) {
    Bytes f = sampleFile();
    uint32_t ss = sectorSize(f);
    // The 5000-byte attachment uses regular sectors: point its first FAT entry
    // back at itself.
    size_t e = entryOffset(f, msg::layout::substgName(tag::AttachDataBinary), 1);
    uint32_t start = loadLE32(&f[e + cfb::dir::kStart]);
    ASSERT_EQ(loadLE64(&f[e + cfb::dir::kSize]), 5000u);
    size_t fatAt = size_t(loadLE32(&f[cfb::hdr::kDifat]) + 1) * ss;
    Bytes bad = f;
    storeLE32(&bad[fatAt + 4 * start], start);
    expectFormatError(bad, "cycles");
    bad = f;
    storeLE32(&bad[fatAt + 4 * start], cfb::FREESECT);
    expectFormatError(bad, "free sector");
    bad = f;
    storeLE32(&bad[fatAt + 4 * start], 0x00ABCDEF);
    expectFormatError(bad, "outside the file");
    // Directory chain looping on itself.
    bad = f;
    uint32_t dirStart = loadLE32(&f[cfb::hdr::kFirstDirSector]);
    storeLE32(&bad[fatAt + 4 * dirStart], dirStart);
    expectFormatError(bad, "cycles");
    // A stream start that is not a mini sector of the mini stream.
    bad = f;
    size_t small = entryOffset(f, msg::layout::substgName(tag::AttachDataBinary), 0);
    storeLE32(&bad[small + cfb::dir::kStart], 0x00FFFFF0);
    expectFormatError(bad, "mini FAT chain");
}

TEST(MsgHardening, DirectoryCyclesAndOutOfRangeIds) {
    Bytes f = sampleFile();
    size_t props = entryOffset(f, msg::layout::kPropertiesStream);
    Bytes bad = f;
    storeLE32(&bad[props + cfb::dir::kLeft], uint32_t(entryIndex(f, props)));  // itself
    expectFormatError(bad, "more than once");
    bad = f;
    storeLE32(&bad[props + cfb::dir::kRight], 0x00F00000);
    expectFormatError(bad, "beyond the");
    // A storage whose children include the root's tree again.
    size_t nameid = entryOffset(f, msg::layout::kNameIdStorage);
    bad = f;
    storeLE32(
        &bad[nameid + cfb::dir::kChild],
        loadLE32(&f[size_t(loadLE32(&f[cfb::hdr::kFirstDirSector]) + 1) * 512 + cfb::dir::kChild]));
    expectFormatError(bad, "more than once");
    bad = f;
    storeLE16(&bad[props + cfb::dir::kNameLength], 65);
    expectFormatError(bad, "name length");
    bad = f;
    size_t root = size_t(loadLE32(&f[cfb::hdr::kFirstDirSector]) + 1) * 512;
    bad[root + cfb::dir::kType] = cfb::kTypeStorage;
    expectFormatError(bad, "root");
}

TEST(MsgHardening, HugeSizesFailBeforeAllocating) {
    Bytes f = sampleFile();
    size_t e = entryOffset(f, msg::layout::substgName(tag::AttachDataBinary), 1);
    Bytes bad = f;
    storeLE64(&bad[e + cfb::dir::kSize], 0xFFFFFFF0u);
    expectFormatError(bad, "exceeds the file size");
    bad = f;
    storeLE64(&bad[e + cfb::dir::kSize],
              3u << 20);  // within the file's 4 GiB limit, not its length
    expectFormatError(bad, "");
    // Root (mini stream) size far beyond the file.
    bad = f;
    size_t root = size_t(loadLE32(&f[cfb::hdr::kFirstDirSector]) + 1) * 512;
    storeLE64(&bad[root + cfb::dir::kSize], 0x7FFFFFFFu);
    expectFormatError(bad, "mini stream");
}

TEST(MsgHardening, SharedSectorsCannotMultiplyTheFile) {
    // 40 directory entries all claiming the same 200 000 bytes.
    msg::CompoundFileWriter w;
    Bytes big(200000, 7);
    w.addStream(0, u"big", big);
    for (int i = 0; i < 40; ++i) w.addStream(0, u"s" + fromUtf8(std::to_string(i)), Bytes(4096, 1));
    Bytes f = w.toBytes();
    size_t bigAt = entryOffset(f, u"big");
    for (int i = 0; i < 40; ++i) {
        size_t at = entryOffset(f, u"s" + fromUtf8(std::to_string(i)));
        std::memcpy(&f[at + cfb::dir::kStart], &f[bigAt + cfb::dir::kStart], 4);
        std::memcpy(&f[at + cfb::dir::kSize], &f[bigAt + cfb::dir::kSize], 8);
    }
    auto r = msg::CompoundFileReader::open(std::make_shared<MemorySource>(f), "bomb.cfb");
    try {
        for (uint32_t id : r->children(0)) r->readStream(id);
        FAIL() << "41 x 200 000 bytes from a " << f.size() << "-byte file";
    } catch (const FormatError& e) {
        EXPECT_NE(std::string(e.what()).find("times its size"), std::string::npos) << e.what();
    }
}

TEST(MsgHardening, DifatCycle) {
    // Two DIFAT sectors are needed past 109 + 127 FAT sectors (~15.5 MB).
    msg::CompoundFileWriter w;
    w.addStream(0, u"big", std::make_shared<PatternSource>(16u << 20, 1));
    Bytes f = w.toBytes();
    uint32_t first = loadLE32(&f[cfb::hdr::kFirstDifat]);
    ASSERT_GE(loadLE32(&f[cfb::hdr::kDifatSectors]), 2u);
    Bytes bad = f;
    storeLE32(&bad[size_t(first + 1) * 512 + 508], first);
    try {
        msg::CompoundFileReader::open(std::make_shared<MemorySource>(bad), "difat.cfb");
        FAIL() << "DIFAT cycle accepted";
    } catch (const FormatError& e) {
        EXPECT_NE(std::string(e.what()).find("DIFAT"), std::string::npos) << e.what();
    }
    bad = f;
    storeLE32(&bad[cfb::hdr::kDifatSectors], 1);
    EXPECT_THROW(msg::CompoundFileReader::open(std::make_shared<MemorySource>(bad), "d.cfb"),
                 FormatError);
}

TEST(MsgHardening, EmbeddingDeeperThanTheCapFails) {
    qm::testing::MessageSpec spec;
    spec.embedDepth = msg::layout::kMaxEmbedDepth + 2;
    Bytes f = msg::writeMsg(qm::testing::makeMessage(spec));
    expectFormatError(f, "nest deeper");
}

TEST(MsgHardening, PropertyStreamDefects) {
    Bytes f = sampleFile();
    // Top-level property stream shorter than its 32-byte header.
    size_t props = entryOffset(f, msg::layout::kPropertiesStream);
    Bytes bad = f;
    storeLE64(&bad[props + cfb::dir::kSize], 20);
    expectFormatError(bad, "header");
    // A recipient storage with a non-hex number.
    size_t recip = entryOffset(f, u"__recip_version1.0_#00000001");
    bad = f;
    storeLE16(&bad[recip + 2 * 27], u'Z');
    expectFormatError(bad, "8-digit hex");
}

TEST(MsgHardening, NamedPropertyMapOutOfBoundsStaysUnresolved) {
    qm::testing::MessageSpec spec;
    spec.namedByName = 2;
    Message m = qm::testing::makeMessage(spec);
    Bytes f = msg::writeMsg(m);
    // Point every string record of the entry stream far past the string stream.
    size_t entries = entryOffset(f, msg::layout::substgName(msg::layout::kEntryStreamTag));
    uint32_t start = loadLE32(&f[entries + cfb::dir::kStart]);
    uint32_t size = uint32_t(loadLE64(&f[entries + cfb::dir::kSize]));
    size_t root = size_t(loadLE32(&f[cfb::hdr::kFirstDirSector]) + 1) * 512;
    size_t mini =
        size_t(loadLE32(&f[root + cfb::dir::kStart]) + 1) * 512;  // contiguous mini stream
    for (size_t k = 0; k < size / 8; ++k) storeLE32(&f[mini + start * 64 + k * 8], 0x00600000);
    Message back = msg::readMsg(f);
    size_t unresolved = 0;
    for (const Property& p : back.props) {
        if (p.id() >= 0x8000) {
            EXPECT_FALSE(p.named);
            ++unresolved;
        }
    }
    EXPECT_EQ(unresolved, 2u);
}

TEST(MsgHardening, OddLengthUnicodeLosesOnlyTheLastByte) {
    Message m;
    m.props.set(Property::utf8(tag::Subject, "abc"));
    Bytes f = msg::writeMsg(m);
    size_t e = entryOffset(f, msg::layout::substgName(tag::Subject));
    storeLE64(&f[e + cfb::dir::kSize], 5);
    Message back = msg::readMsg(f);
    EXPECT_EQ(back.props.string(0x0037), "ab");
}

}  // namespace

namespace {

TEST(MsgHardening, IllegalNamesInsideAnOleStorage) {
    // Found by msg_fuzz: a name the format forbids inside a storage we copy.
    qm::testing::MessageSpec spec;
    spec.oleAttachment = true;
    Bytes f = msg::writeMsg(qm::testing::makeMessage(spec));
    size_t at = entryOffset(f, u"Contents");
    storeLE16(&f[at + 2 * 6], u':');
    expectFormatError(f, "is illegal or repeats");
}

}  // namespace
