// Generated messages through our MSG writer and back through our reader; and
// broken files: each reads without what the damage hit (saying so in the
// message's warnings), or fails with one qm::FormatError that says where when
// nothing identifies the message; quickly, without a large allocation, never
// a crash or a hang.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "msg/cfb_format.h"
#include "msg/compound_file_reader.h"
#include "msg/compound_file_writer.h"
#include "msg/msg.h"
#include "msg/msg_format.h"
#include "msg/nameid.h"
#include "msg/rtf_header.h"
#include "support/message_gen.h"
#include "support/scratch_dir.h"

using namespace qm;
using namespace qm::mapi;
using qm::testing::MessageSpec;
namespace cfb = qm::msg::cfb;
namespace layout = qm::msg::layout;

namespace {

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) out += "  " + l + "\n";
    return out;
}

TEST(MsgRoundTrip, GeneratedMessagesComeBackWhole) {
    MessageSpec many{.recipients = 300};
    for (size_t i = 0; i < 300; ++i) many.attachmentSizes.push_back(i * 37 % 5000);
    const MessageSpec specs[] = {
        {.allTypes = true, .namedById = 5, .namedByName = 4, .htmlBody = true, .rtfBody = true},
        {.unicode = false},  // 8-bit strings stay 8-bit, in code page 1251
        {.recipients = 0},
        many,
        {.embedDepth = 3, .oleAttachment = true, .namedById = 1},
        {.allTypes = true,
         .recipients = 3,
         .attachmentSizes = {10, 5000},
         .embedDepth = 2,
         .namedById = 3,
         .namedByName = 3},
        // Either side of the mini stream cutoff, and one that must stay in the file.
        {.attachmentSizes = {4095, 4096, 9u << 20}},
    };
    qm::testing::ScratchDir dir;
    for (size_t i = 0; i < std::size(specs); ++i) {
        const MessageSpec& spec = specs[i];
        Message m = qm::testing::makeMessage(spec);
        Property flagged = *m.props.find(tag::Importance);
        flagged.flags = 0x3;
        m.props.set(flagged);
        for (uint32_t ss : {512u, 4096u}) {
            // An OLE storage is rebuilt in the sector size of the file it lay in.
            if (spec.oleAttachment && ss == 4096) continue;
            SCOPED_TRACE("spec " + std::to_string(i) + ", sector size " + std::to_string(ss));
            const Bytes bytes = msg::writeMsg(m, {ss});
            EXPECT_EQ(loadLE16(&bytes[cfb::hdr::kMajor]), ss == 512 ? 3 : 4);
            msg::writeMsgFile(m, dir / "m.msg", {ss});
            Message back = msg::readMsgFile(dir / "m.msg");
            EXPECT_EQ(qm::testing::diffMessages(m, back), "");
            // Rewriting what we read gives the same bytes.
            EXPECT_TRUE(msg::writeMsg(back, {ss}) == bytes);
            if (spec.attachmentSizes.size() != 3) continue;
            // 9 MiB in 512-byte sectors needs more FAT sectors than the header lists.
            EXPECT_GE(loadLE32(&bytes[cfb::hdr::kDifatSectors]), ss == 512 ? 1u : 0u);
            EXPECT_FALSE(back.attachments[1].props.find(tag::AttachDataBinary)->stream);
            auto big = back.attachments[2].props.find(tag::AttachDataBinary)->stream;
            ASSERT_TRUE(big) << "a 9 MiB value must stay in the file";
            back = Message();  // the value outlives the message and reads in pieces
            Bytes piece(777), want(777);
            big->read(5'000'000, piece);
            PatternSource(9u << 20, spec.seed + 2).read(5'000'000, want);
            EXPECT_EQ(piece, want);
        }
    }
    EXPECT_THROW(msg::readMsgFile("/nonexistent/dir/x.msg"), IoError);
    EXPECT_THROW(msg::writeMsgFile(Message(), "/nonexistent/dir/x.msg"), IoError);
}

const char* const kSubject = "Quillmark test message";

Bytes sampleFile(uint32_t ss = 512) {
    return msg::writeMsg(qm::testing::makeMessage({.recipients = 2,
                                                   .attachmentSizes = {100, 5000},
                                                   .embedDepth = 1,
                                                   .oleAttachment = true,
                                                   .namedById = 2,
                                                   .namedByName = 2}),
                         {ss});
}

size_t sectorSize(const Bytes& f) {
    return size_t(1) << loadLE16(&f[cfb::hdr::kSectorShift]);
}
// Our writer keeps the directory and the FAT contiguous, and pads the
// directory's last sector with unused slots.
size_t dirStart(const Bytes& f) {
    return size_t(loadLE32(&f[cfb::hdr::kFirstDirSector]) + 1) * sectorSize(f);
}
size_t fatEntry(const Bytes& f, uint32_t sector) {
    return size_t(loadLE32(&f[cfb::hdr::kDifat]) + 1) * sectorSize(f) + 4 * size_t(sector);
}

// Offset of the nth directory entry named `name` (an empty name: unused).
size_t entryOffset(const Bytes& f, std::u16string_view name, size_t nth = 0) {
    for (size_t off = dirStart(f); off + 128 <= f.size(); off += 128) {
        std::u16string n;
        for (size_t c = 0; c + 1 < loadLE16(&f[off + cfb::dir::kNameLength]) / 2u; ++c)
            n.push_back(char16_t(loadLE16(&f[off + 2 * c])));
        if (n == name && nth-- == 0) return off;
    }
    ADD_FAILURE() << "no entry " << toUtf8(name);
    return 0;
}

using Edit = std::function<void(Bytes&)>;
// Writes `value` in `width` little-endian bytes at `field` of the header
// (name empty) or of the nth entry named `name`.
Edit put(std::u16string name, size_t field, uint64_t value, int width = 4, size_t nth = 0) {
    return [=](Bytes& f) {
        const size_t at = (name.empty() ? 0 : entryOffset(f, name, nth)) + field;
        for (int i = 0; i < width; ++i) f.at(at + size_t(i)) = uint8_t(value >> (8 * i));
    };
}
Edit header(size_t field, uint64_t value, int width = 4) {
    return put(u"", field, value, width);
}
// Points the FAT entry of the second attachment's data stream's first sector
// at `to` (itself when absent).
Edit chainOfBigData(std::optional<uint32_t> to) {
    return [=](Bytes& f) {
        const size_t e = entryOffset(f, layout::substgName(tag::AttachDataBinary), 1);
        const uint32_t start = loadLE32(&f[e + cfb::dir::kStart]);
        storeLE32(&f[fatEntry(f, start)], to.value_or(start));
    };
}

const std::u16string kData = layout::substgName(tag::AttachDataBinary);
const std::u16string kProps(layout::kPropertiesStream);
const std::u16string kSubjectStream = layout::substgName(tag::Subject);

// One damage to sampleFile() and what must survive it: the message reads,
// less what the damage hit, with a warning containing `expect` (no warning at
// all when null); or, when `fails`, reading fails with `expect`.
struct Damage {
    const char* name;
    Edit apply;
    const char* expect;
    bool fails = false;
    size_t lostRecipients = 0, lostAttachments = 0;
    const char* subject = kSubject;
};

const Damage kDamages[] = {
    {"shorter than the header", [](Bytes& f) { f.resize(100); }, "shorter than the 512-byte header",
     true},
    {"bad signature", header(0, 'X', 1), "bad signature", true},
    {"sector shift of no version", header(cfb::hdr::kSectorShift, 10, 2), "sector shift", true},
    {"byte order", header(cfb::hdr::kByteOrder, 0xFEFF, 2), "byte order", true},
    {"mini stream cutoff", header(cfb::hdr::kCutoff, 0x2000), "cutoff", true},
    {"no FAT sectors", header(cfb::hdr::kFatSectors, 0), "no FAT sectors", true},
    {"first FAT sector far outside the file", header(cfb::hdr::kDifat, 0x00FFFFFF),
     "the file is damaged: header DIFAT at offset 76: FAT sector 0x00FFFFFF", true},
    {"directory outside the file", header(cfb::hdr::kFirstDirSector, 0x12345678),
     "no directory sector can be read", true},
    {"FAT sector count beyond the file", header(cfb::hdr::kFatSectors, 0x7FFFFFFF), "FAT sectors"},
    {"value stream's FAT chain cycles", chainOfBigData(std::nullopt),
     "attachment 1 property 0x37010102 dropped: stream __substg1.0_37010102", false, 0, 1},
    {"value stream's FAT chain reaches a free sector", chainOfBigData(cfb::FREESECT), "free sector",
     false, 0, 1},
    {"value stream's sector outside the file", chainOfBigData(0x00ABCDEF),
     "points outside the file", false, 0, 1},
    {"value stream larger than the file", put(kData, cfb::dir::kSize, 0xFFFFFFF0u, 8, 1),
     "exceeds the file size", false, 0, 1},
    {"value stream larger than its chain", put(kData, cfb::dir::kSize, 3u << 20, 8, 1),
     "0x37010102 dropped", false, 0, 1},
    {"mini stream start out of range", put(kData, cfb::dir::kStart, 0x00FFFFF0),
     "attachment 0 property 0x37010102 dropped: stream __substg1.0_37010102: mini FAT chain "
     "points outside the file",
     false, 0, 1},
    {"value stream missing", put(kSubjectStream, 0, 'X', 2),
     "property 0x0037001F dropped: its value stream is missing", false, 0, 0, nullptr},
    {"directory link to itself",
     [](Bytes& f) {
         const size_t props = entryOffset(f, kProps);
         storeLE32(&f[props + cfb::dir::kLeft], uint32_t((props - dirStart(f)) / 128));
     },
     "referenced more than once"},
    {"storage sharing the root's children",
     [](Bytes& f) {
         std::memcpy(&f[entryOffset(f, layout::kNameIdStorage) + cfb::dir::kChild],
                     &f[dirStart(f) + cfb::dir::kChild], 4);
     },
     "5 named properties dropped"},
    {"recipient storage with a bad name length",
     put(u"__recip_version1.0_#00000001", cfb::dir::kNameLength, 65, 2), "name length 65", false,
     1},
    {"recipient storage without a hex number", put(u"__recip_version1.0_#00000001", 54, 'Z', 2),
     "8-digit hex", false, 1},
    {"attachment storage without a hex number", put(u"__attach_version1.0_#00000000", 56, 'Z', 2),
     "8-digit hex", false, 0, 1},
    {"root typed as a plain storage", put(u"Root Entry", cfb::dir::kType, cfb::kTypeStorage, 1),
     "root entry"},
    {"mini stream far larger than the file", put(u"Root Entry", cfb::dir::kSize, 0x7FFFFFFF, 8),
     "mini stream"},
    {"top property stream larger than its chain", put(kProps, cfb::dir::kSize, 4000, 8),
     "message: property stream damaged"},
    {"top property stream larger than the file", put(kProps, cfb::dir::kSize, 0xFFFFFF00u, 8),
     "message: property stream damaged"},
    {"named-property map unreadable",
     put(layout::substgName(layout::kEntryStreamTag), cfb::dir::kStart, 0x00FFFFF0),
     "named-property map unreadable"},
    {"property entry of an unknown type",
     [](Bytes& f) {
         // The top property stream is the first thing in the mini stream.
         const size_t mini =
             size_t(loadLE32(&f[dirStart(f) + cfb::dir::kStart]) + 1) * sectorSize(f);
         const size_t props = loadLE32(&f[entryOffset(f, kProps) + cfb::dir::kStart]);
         storeLE16(&f[mini + props * cfb::kMiniSectorSize + layout::kTopHeaderSize], 0x4000);
     },
     "dropped: unknown property type"},
    {"top property stream shorter than its header", put(kProps, cfb::dir::kSize, 20, 8),
     "shorter than its 32-byte header", true},
    {"no top property stream", put(kProps, cfb::dir::kNameLength, 3, 2),
     "has no __properties_version1.0", true},
    // A slot nothing links to may hold anything.
    {"garbage in an unused slot",
     [](Bytes& f) {
         const size_t slot = entryOffset(f, u"");
         std::memset(&f[slot], 0xA5, 128);
         f[slot + cfb::dir::kType] = cfb::kTypeStream;
     },
     nullptr},
    {"odd-length Unicode loses only its last byte", put(kSubjectStream, cfb::dir::kSize, 5, 8),
     nullptr, false, 0, 0, "Qu"},
    // Value streams are found by parsed name; other writers' spelling may differ in case.
    {"value stream name in other case",
     [](Bytes& f) {
         const size_t e = entryOffset(f, kSubjectStream);
         const std::u16string odd = u"__SUBSTG1.0_0037001f";
         for (size_t i = 0; i < odd.size(); ++i) storeLE16(&f[e + 2 * i], odd[i]);
     },
     nullptr},
    // Found by msg_fuzz: a name the format forbids inside a storage we copy.
    {"illegal name inside an OLE storage", put(u"Contents", 12, ':', 2), "is illegal or repeats",
     false, 0, 1},
};

// Expects a FormatError whose text contains `needle`.
void expectFormatError(const Bytes& f, const std::string& needle) {
    try {
        msg::readMsg(f, "broken.msg");
        ADD_FAILURE() << "read a broken file without complaint (wanted: " << needle << ")";
    } catch (const FormatError& e) {
        EXPECT_EQ(e.file(), "broken.msg");
        EXPECT_NE(std::string(e.what()).find(needle), std::string::npos) << e.what();
    }
}

TEST(MsgHardening, DamageLosesOnlyWhatItHits) {
    for (uint32_t ss : {512u, 4096u}) {
        const Bytes good = sampleFile(ss);
        const Message intact = msg::readMsg(good);
        for (const Damage& d : kDamages) {
            SCOPED_TRACE(std::string(d.name) + ", sector size " + std::to_string(ss));
            Bytes f = good;
            d.apply(f);
            if (d.fails) {
                expectFormatError(f, d.expect);
                continue;
            }
            Message m = msg::readMsg(f, "damaged.msg");
            const std::string all = joined(m.warnings);
            if (d.expect) {
                EXPECT_NE(all.find(d.expect), std::string::npos) << "wanted: " << d.expect << all;
            } else {
                EXPECT_EQ(all, "");
            }
            EXPECT_EQ(m.recipients.size(), intact.recipients.size() - d.lostRecipients) << all;
            EXPECT_EQ(m.attachments.size(), intact.attachments.size() - d.lostAttachments) << all;
            if (d.subject) {
                EXPECT_EQ(m.props.string(0x0037), d.subject) << all;
            }
        }
    }
}

TEST(MsgHardening, EveryTruncationFailsCleanlyOrReads) {
    for (uint32_t ss : {512u, 4096u}) {
        const Bytes f = sampleFile(ss);
        for (size_t cut = 0; cut < f.size(); cut += (cut < 2048 ? 97 : 509)) {
            try {
                msg::readMsg(Bytes(f.begin(), f.begin() + long(cut)), "cut.msg");
            } catch (const FormatError& e) {
                EXPECT_EQ(e.file(), "cut.msg");
            }
        }
    }
}

std::shared_ptr<msg::CompoundFileReader> openBytes(const Bytes& f) {
    return msg::CompoundFileReader::open(std::make_shared<MemorySource>(f), "test.cfb");
}

TEST(MsgHardening, HugeSizesFailBeforeAllocating) {
    const Bytes f = sampleFile();
    for (uint64_t size : {uint64_t(0xFFFFFFF0u), uint64_t(3u << 20)}) {
        Bytes bad = f;
        put(kData, cfb::dir::kSize, size, 8, 1)(bad);
        auto r = openBytes(bad);
        const uint32_t id = uint32_t((entryOffset(bad, kData, 1) - dirStart(bad)) / 128);
        EXPECT_THROW(r->readStream(id), FormatError);
        EXPECT_THROW(r->streamSource(id), FormatError);
        std::string cut;
        EXPECT_LE(r->readStreamSalvaged(id, &cut).size(), f.size());
        EXPECT_FALSE(cut.empty());
    }
}

TEST(MsgHardening, SharedSectorsCannotMultiplyTheFile) {
    // 40 directory entries all claiming the same 200 000 bytes.
    msg::CompoundFileWriter w;
    w.addStream(0, u"big", Bytes(200000, 7));
    for (int i = 0; i < 40; ++i) w.addStream(0, u"s" + fromUtf8(std::to_string(i)), Bytes(4096, 1));
    Bytes f = w.toBytes();
    const size_t big = entryOffset(f, u"big");
    for (int i = 0; i < 40; ++i) {
        const size_t at = entryOffset(f, u"s" + fromUtf8(std::to_string(i)));
        std::memcpy(&f[at + cfb::dir::kStart], &f[big + cfb::dir::kStart], 12);  // start, size
    }
    auto r = openBytes(f);
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
    const Bytes f = w.toBytes();
    const uint32_t first = loadLE32(&f[cfb::hdr::kFirstDifat]);
    ASSERT_GE(loadLE32(&f[cfb::hdr::kDifatSectors]), 2u);
    // The FAT sectors the DIFAT no longer reaches are lost, and with them
    // the directory, which lies at the end of this file.
    const Edit cycle = put(u"", size_t(first + 1) * 512 + 508, first);
    const Edit fewer = header(cfb::hdr::kDifatSectors, 1);
    for (auto [edit, needle] :
         {std::pair{cycle, "DIFAT chain"}, std::pair{fewer, "room for only 236"}}) {
        Bytes bad = f;
        edit(bad);
        try {
            openBytes(bad);
            ADD_FAILURE() << "read a directory the FAT does not reach";
        } catch (const FormatError& e) {
            EXPECT_NE(std::string(e.what()).find(needle), std::string::npos) << e.what();
        }
    }
}

TEST(MsgHardening, EmbeddingDeeperThanTheCapLosesTheDeepestLevels) {
    const Message m = msg::readMsg(
        msg::writeMsg(qm::testing::makeMessage({.embedDepth = layout::kMaxEmbedDepth + 2})));
    int depth = 0;
    for (const Message* e = &m; !e->attachments.empty() && e->attachments[0].embedded;
         e = e->attachments[0].embedded.get())
        ++depth;
    EXPECT_EQ(depth, layout::kMaxEmbedDepth);
    ASSERT_EQ(m.warnings.size(), 1u);
    EXPECT_NE(m.warnings[0].find("nest deeper"), std::string::npos) << m.warnings[0];
}

// LZFu of literals only, then the end marker: a reference to the
// dictionary's write position, past its 207 preset bytes.
Bytes lzfuLiterals(std::string_view rtf) {
    Bytes out;
    for (size_t i = 0;; i += 8) {
        const size_t control = out.size();
        out.push_back(0);
        for (size_t bit = 0; bit < 8; ++bit) {
            if (i + bit < rtf.size()) {
                out.push_back(uint8_t(rtf[i + bit]));
                continue;
            }
            out[control] |= uint8_t(1u << bit);
            const uint16_t ref = uint16_t(((207 + rtf.size()) % 4096) << 4);
            out.push_back(uint8_t(ref >> 8));
            out.push_back(uint8_t(ref));
            return out;
        }
    }
}

Bytes withHeader(const Bytes& data, uint32_t rawSize, uint32_t type, uint32_t crc) {
    Bytes v(16 + data.size());
    storeLE32(&v[0], uint32_t(data.size() + 12));
    storeLE32(&v[4], rawSize);
    storeLE32(&v[8], type);
    storeLE32(&v[12], crc);
    std::copy(data.begin(), data.end(), v.begin() + 16);
    return v;
}

// PidTagRtfCompressed's header check: whole data under a wrong header is
// repaired, anything else kept as it is, both with a warning.
TEST(MsgSalvage, RtfHeaderRepairedOnlyWhenTheDataIsWhole) {
    const std::string rtf = "{\\rtf1\\ansi{\\fonttbl\\f0 Arial;}\\pard Hello \\{world\\}\\par}";
    const uint32_t raw = uint32_t(rtf.size());
    const Bytes lzfu = lzfuLiterals(rtf);
    const Bytes goodLzfu = withHeader(lzfu, raw, msg::kRtfCompressed, msg::nameIdCrc(lzfu));
    const Bytes goodMela = withHeader(Bytes(rtf.begin(), rtf.end()), raw, msg::kRtfUncompressed, 0);
    auto grow = [](Bytes v, size_t field, uint32_t by) {
        storeLE32(&v[field], loadLE32(&v[field]) + by);
        return v;
    };
    auto cut = [](Bytes v, size_t n) {
        v.resize(v.size() - n);
        return v;
    };
    Bytes junk = goodLzfu;  // bytes past the end marker the header does not claim
    for (uint8_t b : {1, 2, 3}) junk.push_back(b);
    const struct {
        const char* name;
        Bytes value;
        const Bytes* repaired;  // what the value must become; null: kept as is
        const char* warning;
    } cases[] = {
        {"sound LZFu", goodLzfu, &goodLzfu, nullptr},
        {"sound MELA", goodMela, &goodMela, nullptr},
        {"MELA claiming 12 bytes more (hfig-MAPI/sample.msg)", grow(goodMela, 4, 12), &goodMela,
         "now matches"},
        {"MELA with both sizes too large", grow(grow(goodMela, 0, 12), 4, 12), &goodMela,
         "now matches"},
        {"MELA whose RTF is cut", cut(goodMela, 3), nullptr, "kept as is"},
        {"LZFu whose COMPSIZE is too large", grow(goodLzfu, 0, 12), &goodLzfu,
         "COMPSIZE now matches"},
        {"LZFu with bytes past its end marker", junk, &goodLzfu, "COMPSIZE now"},
        {"LZFu cut short", cut(goodLzfu, 3), nullptr, "does not check out"},
        {"LZFu with a wrong RAWSIZE too", grow(grow(goodLzfu, 0, 12), 4, 1), nullptr,
         "does not check out"},
        {"too short for a header", Bytes(10, 0), nullptr, "too short"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Message m;
        m.props.set(Property::utf8(tag::Subject, "rtf"));
        m.props.set(Property::binary(tag::RtfCompressed, c.value));
        const Message back = msg::readMsg(msg::writeMsg(m));
        EXPECT_EQ(back.props.find(tag::RtfCompressed)->value, c.repaired ? *c.repaired : c.value);
        ASSERT_EQ(back.warnings.size(), c.warning ? 1u : 0u) << joined(back.warnings);
        if (c.warning) {
            EXPECT_NE(back.warnings[0].find(c.warning), std::string::npos);
        }
    }
}

TEST(MsgSalvage, LzfuFollowsDictionaryReferences) {
    // Control bits 1, 0, 1: a reference to the initial dictionary's "{\rtf1"
    // (offset 0, length 6), the literal "}", the end marker (offset 214,
    // where the next byte would be written).
    const Bytes data = {0x05, 0x00, 0x04, '}', 0x0D, 0x60};
    auto raw = msg::decompressLzfu(data, 100);
    ASSERT_TRUE(raw);
    EXPECT_EQ(std::string(raw->begin(), raw->end()), "{\\rtf1}");
    EXPECT_FALSE(msg::decompressLzfu(data, 3));  // past the output cap
    EXPECT_FALSE(msg::decompressLzfu(std::span(data).first(data.size() - 1), 100));
}

}  // namespace
