// Broken files: each must read without what the damage hit (and say so in
// the message's warnings), or fail with one qm::FormatError that says where
// when nothing identifies the message; quickly, without a large allocation,
// never a crash or a hang.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <tuple>

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
    storeLE32(&bad[cfb::hdr::kFatSectors], 0);
    expectFormatError(bad, "no FAT sectors");
    bad = f;
    storeLE32(&bad[cfb::hdr::kDifat], 0x00FFFFFF);  // first FAT sector far outside the file
    expectFormatError(bad, "the file is damaged: header DIFAT at offset 76: FAT sector 0x00FFFFFF");
    bad = f;
    storeLE32(&bad[cfb::hdr::kFirstDirSector], 0x12345678);
    expectFormatError(bad, "no directory sector can be read");
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

// Offset of the FAT entry for `sector` (our writer's FAT starts at the first
// header DIFAT slot and is contiguous).
size_t fatEntry(const Bytes& f, uint32_t sector) {
    return size_t(loadLE32(&f[cfb::hdr::kDifat]) + 1) * sectorSize(f) + 4 * size_t(sector);
}

size_t rootEntry(const Bytes& f) {
    return size_t(loadLE32(&f[cfb::hdr::kFirstDirSector]) + 1) * sectorSize(f);
}

// The first directory slot nothing uses (our writer pads the last sector).
size_t unusedSlot(const Bytes& f) {
    for (size_t off = rootEntry(f); off + 128 <= f.size(); off += 128)
        if (f[off + cfb::dir::kType] == cfb::kTypeUnused) return off;
    return 0;
}

// Offset of the first byte of a mini stream, which our writer keeps
// contiguous.
size_t miniStreamData(const Bytes& f, size_t entry) {
    size_t mini = size_t(loadLE32(&f[rootEntry(f) + cfb::dir::kStart]) + 1) * sectorSize(f);
    return mini + size_t(loadLE32(&f[entry + cfb::dir::kStart])) * cfb::kMiniSectorSize;
}

const std::u16string kAttachData = msg::layout::substgName(tag::AttachDataBinary);

void setStart(Bytes& f, size_t entry, uint32_t start) {
    storeLE32(&f[entry + cfb::dir::kStart], start);
}
void setSize(Bytes& f, size_t entry, uint64_t size) {
    storeLE64(&f[entry + cfb::dir::kSize], size);
}

// One kind of damage to sampleFile() and what must survive it: the message
// reads (subject, counts), with a warning containing `warning`; or, where
// `failure` is set, reading fails with it.
struct Damage {
    const char* name;
    std::function<void(Bytes&)> apply;
    const char* warning;
    size_t recipients = 2;
    size_t attachments = 3;
    const char* failure = nullptr;
};

std::vector<Damage> damages() {
    auto bigData = [](const Bytes& f) { return entryOffset(f, kAttachData, 1); };
    return {
        {"value stream's FAT chain cycles",
         [&](Bytes& f) {
             uint32_t start = loadLE32(&f[bigData(f) + cfb::dir::kStart]);
             storeLE32(&f[fatEntry(f, start)], start);
         },
         "attachment 1 property 0x37010102 dropped: stream __substg1.0_37010102", 2, 2},
        {"value stream's FAT chain reaches a free sector",
         [&](Bytes& f) {
             storeLE32(&f[fatEntry(f, loadLE32(&f[bigData(f) + cfb::dir::kStart]))], cfb::FREESECT);
         },
         "free sector", 2, 2},
        {"value stream's sector outside the file",
         [&](Bytes& f) {
             storeLE32(&f[fatEntry(f, loadLE32(&f[bigData(f) + cfb::dir::kStart]))], 0x00ABCDEF);
         },
         "points outside the file", 2, 2},
        {"value stream larger than the file",
         [&](Bytes& f) { setSize(f, bigData(f), 0xFFFFFFF0u); }, "exceeds the file size", 2, 2},
        {"value stream larger than its chain", [&](Bytes& f) { setSize(f, bigData(f), 3u << 20); },
         "0x37010102 dropped", 2, 2},
        {"mini stream start out of range",
         [](Bytes& f) { setStart(f, entryOffset(f, kAttachData, 0), 0x00FFFFF0); },
         "attachment 0 property 0x37010102 dropped: stream __substg1.0_37010102: mini FAT chain "
         "points outside the file",
         2, 2},
        {"value stream missing",
         [](Bytes& f) {
             storeLE16(&f[entryOffset(f, msg::layout::substgName(tag::Subject))], u'X');
         },
         "property 0x0037001F dropped: its value stream is missing"},
        {"directory link to itself",
         [](Bytes& f) {
             size_t props = entryOffset(f, msg::layout::kPropertiesStream);
             storeLE32(&f[props + cfb::dir::kLeft], uint32_t(entryIndex(f, props)));
         },
         "referenced more than once"},
        {"storage sharing the root's children",
         [](Bytes& f) {
             std::memcpy(&f[entryOffset(f, msg::layout::kNameIdStorage) + cfb::dir::kChild],
                         &f[rootEntry(f) + cfb::dir::kChild], 4);
         },
         "5 named properties dropped"},
        {"recipient storage with a bad name length",
         [](Bytes& f) {
             storeLE16(&f[entryOffset(f, u"__recip_version1.0_#00000001") + cfb::dir::kNameLength],
                       65);
         },
         "name length 65", 1},
        {"recipient storage without a hex number",
         [](Bytes& f) {
             storeLE16(&f[entryOffset(f, u"__recip_version1.0_#00000001") + 54], u'Z');
         },
         "8-digit hex", 1},
        {"attachment storage without a hex number",
         [](Bytes& f) {
             storeLE16(&f[entryOffset(f, u"__attach_version1.0_#00000000") + 56], u'Z');
         },
         "8-digit hex", 2, 2},
        {"root typed as a plain storage",
         [](Bytes& f) { f[rootEntry(f) + cfb::dir::kType] = cfb::kTypeStorage; }, "root entry"},
        {"mini stream far larger than the file",
         [](Bytes& f) { setSize(f, rootEntry(f), 0x7FFFFFFFu); }, "mini stream"},
        {"top property stream larger than its chain",
         [](Bytes& f) { setSize(f, entryOffset(f, msg::layout::kPropertiesStream), 4000); },
         "message: property stream damaged"},
        {"top property stream larger than the file",
         [](Bytes& f) { setSize(f, entryOffset(f, msg::layout::kPropertiesStream), 0xFFFFFF00u); },
         "message: property stream damaged"},
        {"named-property map unreadable",
         [](Bytes& f) {
             setStart(f, entryOffset(f, msg::layout::substgName(msg::layout::kEntryStreamTag)),
                      0x00FFFFF0);
         },
         "named-property map unreadable"},
        {"property entry of an unknown type",
         [](Bytes& f) {
             size_t at = miniStreamData(f, entryOffset(f, msg::layout::kPropertiesStream)) +
                         msg::layout::kTopHeaderSize;
             storeLE16(&f[at], 0x4000);
         },
         "dropped: unknown property type"},
        {"FAT sector count beyond the file",
         [](Bytes& f) { storeLE32(&f[cfb::hdr::kFatSectors], 0x7FFFFFFF); }, "FAT sectors"},
        {"top property stream shorter than its header",
         [](Bytes& f) { setSize(f, entryOffset(f, msg::layout::kPropertiesStream), 20); }, "", 0, 0,
         "shorter than its 32-byte header"},
        {"no top property stream",
         [](Bytes& f) {
             storeLE16(&f[entryOffset(f, msg::layout::kPropertiesStream) + cfb::dir::kNameLength],
                       3);
         },
         "", 0, 0, "has no __properties_version1.0"},
    };
}

TEST(MsgHardening, DamageLosesOnlyWhatItHits) {
    for (uint32_t ss : {512u, 4096u}) {
        const Bytes good = sampleFile(ss);
        for (const Damage& d : damages()) {
            SCOPED_TRACE(std::string(d.name) + ", sector size " + std::to_string(ss));
            Bytes f = good;
            d.apply(f);
            if (d.failure) {
                expectFormatError(f, d.failure);
                continue;
            }
            Message m;
            try {
                m = msg::readMsg(f, "damaged.msg");
            } catch (const std::exception& e) {
                ADD_FAILURE() << "refused: " << e.what();
                continue;
            }
            std::string all;
            for (const auto& w : m.warnings) all += "  " + w + "\n";
            EXPECT_NE(all.find(d.warning), std::string::npos) << "wanted: " << d.warning << "\n"
                                                              << all;
            EXPECT_EQ(m.recipients.size(), d.recipients) << all;
            EXPECT_EQ(m.attachments.size(), d.attachments) << all;
            if (std::string(d.name) != "value stream missing") {
                EXPECT_EQ(m.props.string(0x0037), "Quillmark test message") << all;
            }
        }
    }
}

TEST(MsgHardening, UnreachableGarbageIsIgnored) {
    // A slot nothing links to may hold anything; the file reads without a word.
    Bytes f = sampleFile();
    size_t slot = unusedSlot(f);
    ASSERT_NE(slot, 0u);
    std::memset(&f[slot], 0xA5, 128);
    f[slot + cfb::dir::kType] = cfb::kTypeStream;
    Message m = msg::readMsg(f);
    EXPECT_TRUE(m.warnings.empty()) << m.warnings.front();
    EXPECT_EQ(m.recipients.size(), 2u);
}

TEST(MsgHardening, HugeSizesFailBeforeAllocating) {
    Bytes f = sampleFile();
    size_t e = entryOffset(f, kAttachData, 1);
    for (uint64_t size : {uint64_t(0xFFFFFFF0u), uint64_t(3u << 20)}) {
        Bytes bad = f;
        setSize(bad, e, size);
        auto cfb = msg::CompoundFileReader::open(std::make_shared<MemorySource>(bad), "huge.msg");
        uint32_t id = uint32_t(entryIndex(bad, e));
        EXPECT_THROW(cfb->readStream(id), FormatError);
        EXPECT_THROW(cfb->streamSource(id), FormatError);
        std::string cut;
        EXPECT_LE(cfb->readStreamSalvaged(id, &cut).size(), f.size());
        EXPECT_FALSE(cut.empty());
    }
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
    // The FAT sectors the DIFAT no longer reaches are lost, and with them
    // the directory, which lies at the end of this file.
    for (auto [at, value, needle] :
         {std::tuple{size_t(first + 1) * 512 + 508, first, "DIFAT chain"},
          std::tuple{size_t(cfb::hdr::kDifatSectors), 1u, "room for only 236"}}) {
        Bytes bad = f;
        storeLE32(&bad[at], value);
        try {
            msg::CompoundFileReader::open(std::make_shared<MemorySource>(bad), "difat.cfb");
            ADD_FAILURE() << "read a directory the FAT does not reach";
        } catch (const FormatError& e) {
            EXPECT_NE(std::string(e.what()).find(needle), std::string::npos) << e.what();
        }
    }
}

TEST(MsgHardening, EmbeddingDeeperThanTheCapLosesTheDeepestLevels) {
    qm::testing::MessageSpec spec;
    spec.embedDepth = msg::layout::kMaxEmbedDepth + 2;
    Message m = msg::readMsg(msg::writeMsg(qm::testing::makeMessage(spec)));
    int depth = 0;
    for (const Message* e = &m; !e->attachments.empty() && e->attachments[0].embedded;
         e = e->attachments[0].embedded.get())
        ++depth;
    EXPECT_EQ(depth, msg::layout::kMaxEmbedDepth);
    ASSERT_EQ(m.warnings.size(), 1u);
    EXPECT_NE(m.warnings[0].find("nest deeper"), std::string::npos) << m.warnings[0];
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

// Value streams are found by parsed name; other writers' spelling may differ in case.
TEST(MsgHardening, ValueStreamNamesMatchInAnyCase) {
    Message m;
    m.props.set(Property::utf8(tag::Subject, "abc"));
    Bytes f = msg::writeMsg(m);
    const size_t e = entryOffset(f, msg::layout::substgName(tag::Subject));
    const std::u16string odd = u"__SUBSTG1.0_0037001f";
    for (size_t i = 0; i < odd.size(); ++i) storeLE16(&f[e + 2 * i], odd[i]);
    EXPECT_EQ(msg::readMsg(f).props.string(0x0037), "abc");
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
    Message m = msg::readMsg(f);
    ASSERT_EQ(m.warnings.size(), 1u);
    EXPECT_NE(m.warnings[0].find("is illegal or repeats"), std::string::npos) << m.warnings[0];
}

}  // namespace
