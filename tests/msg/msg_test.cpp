// Our MSG writer and reader over generated messages, real files and other
// readers; and broken files: each reads without what the damage hit (saying
// so in a warning), or fails with one qm::FormatError saying where; never a
// crash, a hang or a large allocation.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <sstream>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/read_only_file.h"
#include "mapi/tags.h"
#include "mapi/unicode_strings.h"
#include "msg/cfb_format.h"
#include "msg/compound_file_reader.h"
#include "msg/compound_file_writer.h"
#include "msg/msg.h"
#include "msg/msg_format.h"
#include "msg/nameid.h"
#include "msg/rtf_header.h"
#include "support/message_gen.h"
#include "support/process.h"
#include "support/scratch_dir.h"

using namespace qm;
using namespace qm::mapi;
using qm::testing::MessageSpec;
using Reader = qm::msg::CompoundFileReader;
namespace fs = std::filesystem;
namespace cfb = qm::msg::cfb;
namespace layout = qm::msg::layout;

namespace {

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) out += "  " + l + "\n";
    return out;
}
bool has(std::string_view text, std::string_view what) {
    return text.find(what) != text.npos;
}
bool mentions(const std::vector<std::string>& warnings, const char* what) {
    return has(joined(warnings), what ? what : "\n");
}

// "FILE|TEXT" of the FormatError `read` throws; "" when it throws nothing.
template <class F>
std::string failure(F read) {
    try {
        read();
    } catch (const FormatError& e) {
        return e.file() + "|" + e.what();
    }
    return "";
}

MessageSpec manyParts() {
    MessageSpec many{.recipients = 300};
    for (size_t i = 0; i < 300; ++i) many.attachmentSizes.push_back(i * 37 % 5000);
    return many;
}
const MessageSpec kSpecs[] = {
    {.allTypes = true, .namedById = 5, .namedByName = 4, .htmlBody = true, .rtfBody = true},
    {.unicode = false},  // 8-bit strings stay 8-bit, in code page 1251
    manyParts(),
    {.embedDepth = 3, .oleAttachment = true, .namedById = 1},
    {.allTypes = true,
     .recipients = 3,
     .attachmentSizes = {10, 5000},
     .embedDepth = 2,
     .namedById = 3,
     .namedByName = 3},
    // Either side of every compound-file boundary (mini sector, mini stream
    // cutoff, both sector sizes), and one that must stay in the file.
    {.attachmentSizes = {0, 1, 63, 64, 65, 511, 512, 513, 4095, 4096, 4097, 8192, 9u << 20}},
};

std::shared_ptr<Reader> openBytes(const Bytes& f) {
    return Reader::open(std::make_shared<MemorySource>(f), "test.cfb");
}

// The entry at `path` below `from`: each step a child whose name starts with
// it, ignoring case; the last one holds data (a storage, or a stream or mini
// stream that is not empty).
std::optional<uint32_t> locate(const Reader& r, std::span<const std::u16string> path,
                               uint32_t from = 0) {
    const msg::CfbEntry& e = r.entry(from);
    if (path.empty()) return e.size > 0 || e.isStorage() ? from : std::optional<uint32_t>();
    for (uint32_t id : r.children(from)) {
        const std::u16string_view name = r.entry(id).name();
        if (msg::compareCfbNames(name.substr(0, path[0].size()), path[0]) != 0) continue;
        if (auto found = locate(r, path.subspan(1), id)) return found;
    }
    return std::nullopt;
}

void store(Bytes& f, size_t at, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) f.at(at + size_t(i)) = uint8_t(value >> (8 * i));
}

// Aims one damage with the intact file's own directory; false when the file
// has nothing it could hit.
using Edit = std::function<bool(const Reader&, Bytes&)>;
// `value` (the entry's own id when absent) in `width` little-endian bytes at
// `field` of the entry at `path`.
Edit put(std::vector<std::u16string> path, size_t field, std::optional<uint64_t> value,
         int width = 4) {
    return [=](const Reader& r, Bytes& f) {
        const auto id = locate(r, path);
        if (id) store(f, size_t(r.entryOffset(*id)) + field, value.value_or(*id), width);
        return id.has_value();
    };
}
Edit header(size_t field, uint64_t value, int width = 4) {
    return [=](const Reader&, Bytes& f) {
        store(f, field, value, width);
        return true;
    };
}
// Points the FAT entry of the stream's first sector at `to` (itself when absent).
Edit chain(std::vector<std::u16string> path, std::optional<uint32_t> to) {
    return [=](const Reader& r, Bytes& f) {
        const uint32_t start = r.entry(*locate(r, path)).start;
        store(f, size_t(r.fatEntryOffset(start, false)), to.value_or(start), 4);
        return true;
    };
}

// The type of the top property stream's first entry.
Edit firstPropertyType(uint16_t type) {
    return [=](const Reader& r, Bytes& f) {
        // Our writer keeps the mini stream contiguous.
        const size_t mini = (size_t(r.entry(0).start) + 1) * r.sectorSize();
        const size_t props = r.entry(*r.find(0, std::u16string(layout::kPropertiesStream))).start;
        store(f, mini + props * cfb::kMiniSectorSize + layout::kTopHeaderSize, type, 2);
        return true;
    };
}

const std::u16string kProps(layout::kPropertiesStream), kNameId(layout::kNameIdStorage);
const std::u16string kData = layout::substgName(tag::AttachDataBinary);
const std::u16string kSubjectStream = layout::substgName(tag::Subject);
const std::u16string kAttach = u"__attach_version1.0_#0000000", kRecip = u"__recip_version1.0_#";
const std::u16string kNameMap = layout::substgName(layout::kEntryStreamTag);

// Damage reading cannot get past: it fails with a FormatError naming the
// file and saying this.
const std::pair<Edit, const char*> kFatal[] = {
    {header(0, 'X', 1), "bad signature"},
    {header(cfb::hdr::kSectorShift, 10, 2), "sector shift"},
    {header(cfb::hdr::kByteOrder, 0xFEFF, 2), "byte order"},
    {header(cfb::hdr::kCutoff, 0x2000), "cutoff"},
    {header(cfb::hdr::kFatSectors, 0), "no FAT sectors"},
    {header(cfb::hdr::kDifat, 0x00FFFFFF),
     "the file is damaged: header DIFAT at offset 76: FAT sector 0x00FFFFFF"},
    {header(cfb::hdr::kFirstDirSector, 0x12345678), "no directory sector can be read"},
    {put({kProps}, cfb::dir::kSize, 20, 8), "shorter than its 32-byte header"},
    {put({kProps}, cfb::dir::kNameLength, 3, 2), "has no __properties_version1.0"},
};

// Damage a message survives: it reads, less what the damage hit, with a
// warning containing `warning` (no warning at all when null) and its
// subject. `real` ones are aimed at the corpus files as well.
struct Damage {
    const char* name;
    Edit apply;
    const char* warning;
    size_t lostRecipients = 0, lostAttachments = 0;
    bool real = false;
    const char* subject = nullptr;  // when the damage hits it; else the intact one
};

const Damage kDamages[] = {
    {"FAT sector count beyond the file", header(cfb::hdr::kFatSectors, 0x7FFFFFFF), "FAT sectors"},
    {"value stream's FAT chain cycles", chain({kAttach + u"1", kData}, std::nullopt),
     "attachment 1 property 0x37010102 dropped: stream __substg1.0_37010102", 0, 1},
    {"value stream's FAT chain reaches a free sector",
     chain({kAttach + u"1", kData}, cfb::FREESECT), "free sector", 0, 1},
    {"value stream's sector outside the file", chain({kAttach + u"1", kData}, 0x00ABCDEF),
     "points outside the file", 0, 1},
    {"mini stream start out of range", put({kAttach + u"0", kData}, cfb::dir::kStart, 0x00FFFFF0),
     "attachment 0 property 0x37010102 dropped: stream __substg1.0_37010102: mini FAT chain "
     "points outside the file",
     0, 1},
    {"a recipient's property stream unreadable",
     put({kRecip, kProps}, cfb::dir::kStart, 0x00FFFFF0), "recipient", 1, 0, true},
    {"an attachment's data larger than the file",
     put({kAttach, kData}, cfb::dir::kSize, 0xFFFFFFF0), "exceeds the file size", 0, 1, true},
    {"the named-property map unreadable", put({kNameId, kNameMap}, cfb::dir::kStart, 0x00FFFFF0),
     "named-property map unreadable", 0, 0, true},
    {"the body's stream missing", put({u"__substg1.0_1000001"}, 0, 'X', 2),
     "value stream is missing", 0, 0, true},
    {"the top property stream's size beyond the file", put({kProps}, cfb::dir::kSize, 0xFFFFFF00),
     "message: property stream damaged", 0, 0, true},
    {"the mini stream's size beyond the file", put({}, cfb::dir::kSize, 0x7FFFFFF0), "mini stream",
     0, 0, true},
    {"top property stream larger than its chain", put({kProps}, cfb::dir::kSize, 4000, 8),
     "message: property stream damaged"},
    {"directory link to itself", put({kProps}, cfb::dir::kLeft, std::nullopt),
     "referenced more than once"},
    {"storage sharing the root's children",
     [](const Reader& r, Bytes& f) {
         const size_t root = size_t(r.entryOffset(0)),
                      map = size_t(r.entryOffset(*r.find(0, kNameId)));
         std::memcpy(&f[map + cfb::dir::kChild], &f[root + cfb::dir::kChild], 4);
         return true;
     },
     "5 named properties dropped"},
    {"recipient storage with a bad name length",
     put({kRecip + u"00000001"}, cfb::dir::kNameLength, 65, 2), "name length 65", 1},
    {"attachment storage without a hex number", put({kAttach + u"0"}, 56, 'Z', 2), "8-digit hex", 0,
     1},
    {"recipient storage numbered with a dash", put({kRecip + u"00000001"}, 54, '-', 2),
     "8-digit hex", 1},
    {"root typed as a plain storage", put({}, cfb::dir::kType, cfb::kTypeStorage, 1), "root entry"},
    {"property entry of an unknown type", firstPropertyType(0x4000),
     "dropped: unknown property type"},
    {"property entry typed as an object with no storage", firstPropertyType(mapi::PT_OBJECT),
     "dropped: no storage holds the object"},
    // A slot nothing links to may hold anything.
    {"garbage in an unused slot",
     [](const Reader& r, Bytes& f) {
         uint32_t id = 1;
         while (id < r.entryCount() && r.entry(id).type != cfb::kTypeUnused) ++id;
         if (id == r.entryCount()) return false;
         const size_t at = size_t(r.entryOffset(id));
         std::memset(&f[at], 0xA5, 128);
         f[at + cfb::dir::kType] = cfb::kTypeStream;
         return true;
     },
     nullptr, 0, 0, true},
    {"odd-length Unicode loses only its last byte", put({kSubjectStream}, cfb::dir::kSize, 5, 8),
     nullptr, 0, 0, false, "Qu"},
    // Value streams are found by parsed name; other writers' spelling may differ in case.
    {"value stream name in other case",
     [](const Reader& r, Bytes& f) {
         const std::u16string odd = u"__SUBSTG1.0_0037001f";
         const size_t at = size_t(r.entryOffset(*r.find(0, kSubjectStream)));
         for (size_t i = 0; i < odd.size(); ++i) store(f, at + 2 * i, odd[i], 2);
         return true;
     },
     nullptr},
    // Found by msg_fuzz: a name the format forbids inside a storage we copy.
    {"illegal name inside an OLE storage",
     put({kAttach + u"2", layout::substgName(tag::AttachDataObject), u"Contents"}, 12, ':', 2),
     "is illegal or repeats", 0, 1},
};

// Applies `d` to a copy of `good` and checks what survives; false when the
// file has nothing the damage could hit.
bool expectSurvives(const Bytes& good, const Message& intact, const Damage& d) {
    Bytes f = good;
    if (!d.apply(*openBytes(good), f)) return false;
    const Message m = msg::readMsg(f, "damaged.msg");
    EXPECT_EQ(mentions(m.warnings, d.warning), d.warning != nullptr)
        << (d.warning ? d.warning : "no warning") << "\n"
        << joined(m.warnings);
    EXPECT_EQ(m.recipients.size() + d.lostRecipients, intact.recipients.size());
    EXPECT_EQ(m.attachments.size() + d.lostAttachments, intact.attachments.size());
    EXPECT_EQ(m.props.string(0x0037).value_or(""),
              d.subject ? d.subject : intact.props.string(0x0037).value_or(""));
    return true;
}

#define REQUIRE_CORPUS(dir)                                \
    const fs::path dir = qm::testing::sharedDir("corpus"); \
    if (dir.empty()) GTEST_SKIP() << "QM_SHARED_DIR/corpus is absent: corpus checks skipped"

using Row = std::map<std::string, std::string>;
// index.csv: RFC 4180 quoting, one header line, no line breaks in fields.
std::vector<Row> readIndex(const fs::path& path) {
    std::ifstream in(path);
    std::vector<std::string> names;
    std::vector<Row> rows;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields(1);
        for (size_t i = 0, quotes = 0; i < line.size(); ++i) {
            if (line[i] == '"' && ++quotes % 2 == 1 && i > 0 && line[i - 1] == '"') {
                fields.back() += '"';
            } else if (line[i] == ',' && quotes % 2 == 0) {
                fields.emplace_back();
            } else if (line[i] != '"' && line[i] != '\r') {
                fields.back() += line[i];
            }
        }
        if (names.empty()) names = fields;
        if (fields.size() < names.size()) continue;
        Row& row = rows.emplace_back();
        for (size_t k = 0; k < names.size(); ++k) row[names[k]] = fields[k];
    }
    rows.erase(rows.begin());  // the header
    return rows;
}

// What our reader leaves in PidTagRtfCompressed is sound: the header's sizes
// match the value (and MELA's its RTF), LZFu expands to RAWSIZE under its CRC.
void expectSoundRtf(Bytes v) {
    EXPECT_EQ(msg::repairRtfHeader(v), "");
    if (loadLE32(&v[8]) != msg::kRtfCompressed) return;
    const std::span<const uint8_t> data(v.data() + 16, v.size() - 16);
    auto raw = msg::decompressLzfu(data, loadLE32(&v[4]));
    ASSERT_TRUE(raw && raw->size() == loadLE32(&v[4]));
    EXPECT_EQ(std::string(raw->begin(), raw->begin() + 5), "{\\rtf");
    EXPECT_EQ(msg::nameIdCrc(data), loadLE32(&v[12]));
}

// python3-olefile (tests/tools/msg_dump.py) sees the same property tags and
// value bytes as our reader.
void expectOlefileAgrees(const fs::path& file) {
    SCOPED_TRACE(file.string());
    const auto dump = qm::testing::runToEnd(
        {"/usr/bin/python3", qm::testing::sourceDir() + "/tests/tools/msg_dump.py", file.string()});
    ASSERT_EQ(dump.code, 0) << "msg_dump.py failed: " << dump.out << dump.err;
    std::istringstream lines(dump.out);
    std::vector<std::string> theirs;
    for (std::string l; std::getline(lines, l);) theirs.push_back(l);
    const Message m = msg::readMsgFile(file);
    std::vector<std::string> ours = qm::testing::dumpMessage(m, true);
    // A repaired PidTagRtfCompressed header differs from the file by design.
    if (mentions(m.warnings, "PidTagRtfCompressed")) {
        for (auto* dump : {&ours, &theirs})
            std::erase_if(*dump, [](const std::string& l) { return has(l, " 10090102 "); });
    }
    EXPECT_EQ(ours, theirs);
}

// Each storage's children form a red-black tree in (length, upper case)
// order: no red node under a red one, one black height on every path
// (returned). Read from the bytes: our reader does not need it, others may.
int blackHeight(const Reader& r, const Bytes& f, uint32_t id, const std::u16string_view* lo,
                const std::u16string_view* hi, bool parentRed) {
    if (id == cfb::NOSTREAM) return 1;
    const uint8_t* e = &f.at(size_t(r.entryOffset(id)));
    const std::u16string_view n = r.entry(id).name();
    EXPECT_TRUE(!lo || msg::compareCfbNames(*lo, n) < 0);
    EXPECT_TRUE(!hi || msg::compareCfbNames(*hi, n) > 0);
    const bool red = e[cfb::dir::kColor] == cfb::kRed;
    EXPECT_FALSE(parentRed && red) << "red node with a red parent";
    const int left = blackHeight(r, f, loadLE32(e + cfb::dir::kLeft), lo, &n, red);
    EXPECT_EQ(left, blackHeight(r, f, loadLE32(e + cfb::dir::kRight), &n, hi, red))
        << "black heights differ under " << toUtf8(n);
    return left + (red ? 0 : 1);
}
void expectRedBlackTrees(const Bytes& f) {
    const auto r = openBytes(f);
    for (uint32_t id = 0; id < r->entryCount(); ++id) {
        if (!r->entry(id).isStorage()) continue;
        const uint32_t top = loadLE32(&f[size_t(r->entryOffset(id)) + cfb::dir::kChild]);
        blackHeight(*r, f, top, nullptr, nullptr, true);  // a red top fails too
    }
}

// Also with independent readers: olefile sees what our reader sees, and
// msgconvert reads the small files (it fails on any stream inside a nested
// storage, whoever wrote the file).
TEST(MsgRoundTrip, GeneratedMessagesComeBackWholeAndOtherReadersAgree) {
    qm::testing::ScratchDir dir;
    for (const MessageSpec& spec : kSpecs) {
        Message m = qm::testing::makeMessage(spec);
        Property flagged = *m.props.find(tag::Importance);
        flagged.flags = 0x3;
        m.props.set(flagged);
        for (uint32_t ss : {512u, 4096u}) {
            // An OLE storage is rebuilt in the sector size of the file it lay in.
            if (spec.oleAttachment && ss == 4096) continue;
            SCOPED_TRACE("message " + std::to_string(&spec - kSpecs) + ", sector size " +
                         std::to_string(ss));
            const Bytes bytes = msg::writeMsg(m, {ss});
            EXPECT_EQ(loadLE16(&bytes[cfb::hdr::kMajor]), ss == 512 ? 3 : 4);
            expectRedBlackTrees(bytes);
            msg::writeMsgFile(m, dir / "m.msg", {ss});
            EXPECT_EQ(regularFileSize((dir / "m.msg").string()), bytes.size());
            Message back = msg::readMsgFile(dir / "m.msg");
            EXPECT_EQ(qm::testing::diffMessages(m, back), "");
            EXPECT_TRUE(msg::writeMsg(back, {ss}) == bytes);
            expectOlefileAgrees(dir / "m.msg");
            if (!spec.oleAttachment && spec.attachmentSizes.size() < 3 && spec.recipients < 4) {
                const std::string cd = "cd " + qm::testing::shellQuote(dir.str());
                const auto r = qm::testing::runToEnd(
                    {"/bin/sh", "-c", cd + " && msgconvert --outfile - m.msg"});
                if (r.code == 127) std::cout << "msgconvert is not installed\n";
                for (const char* want :
                     {"Subject: Quillmark test message", spec.recipients ? "To: Recipient 0" : "",
                      spec.attachmentSizes.size() > 1 ? "file1.bin" : ""})
                    EXPECT_TRUE(r.code == 127 || (r.code == 0 && has(r.out + r.err, want))) << want;
            }
            if (spec.attachmentSizes.size() != 13) continue;
            auto big = back.attachments[12].props.find(tag::AttachDataBinary)->stream;
            ASSERT_TRUE(big) << "a 9 MiB value must stay in the file";
            back = Message();  // the value outlives the message and reads in pieces
            Bytes piece(777), want(777);
            big->read(5'000'000, piece);
            PatternSource(9u << 20, spec.seed + 12).read(5'000'000, want);
            EXPECT_EQ(piece, want);
        }
    }
    // Only regular files have a size to read (a FIFO would block).
    EXPECT_EQ(regularFileSize(dir.str()), std::nullopt);
    EXPECT_THROW(msg::readMsgFile("/nonexistent/dir/x.msg"), IoError);
    EXPECT_THROW(msg::writeMsgFile(Message(), "/nonexistent/dir/x.msg"), IoError);
}

// What a compound file cannot hold is refused before anything is written.
TEST(CfbWriter, RefusesBadNamesSectorSizesAndStreamsTheVersionCannotHold) {
    msg::CompoundFileWriter w;
    for (std::u16string bad : {u"a/b", u"", u"0123456789012345678901234567890123"})
        EXPECT_THROW(w.addStream(0, bad, Bytes{}), std::invalid_argument);
    w.addStream(0, u"Same", Bytes{});
    EXPECT_THROW(w.addStream(0, u"SAME", Bytes{}), std::invalid_argument);
    EXPECT_THROW(msg::CompoundFileWriter(1024), std::invalid_argument);
    // Version 3 caps a stream at 2 GiB.
    msg::CompoundFileWriter big(512);
    big.addStream(0, u"huge", std::make_shared<PatternSource>(0x80000001ull, 1));
    EXPECT_THROW(big.toBytes(), std::length_error);
}

Bytes sampleFile(uint32_t ss = 512) {
    return msg::writeMsg(qm::testing::makeMessage({.recipients = 2,
                                                   .attachmentSizes = {100, 5000},
                                                   .embedDepth = 1,
                                                   .oleAttachment = true,
                                                   .namedById = 2,
                                                   .namedByName = 2}),
                         {ss});
}

TEST(MsgHardening, DamageLosesOnlyWhatItHits) {
    for (uint32_t ss : {512u, 4096u}) {
        const Bytes good = sampleFile(ss);
        const Message intact = msg::readMsg(good);
        for (const auto& [edit, expect] : kFatal) {
            SCOPED_TRACE(std::string(expect) + ", sector size " + std::to_string(ss));
            Bytes f = good;
            edit(*openBytes(good), f);
            const std::string why = failure([&] { msg::readMsg(f, "broken.msg"); });
            EXPECT_TRUE(why.starts_with("broken.msg|") && has(why, expect)) << why;
        }
        for (const Damage& d : kDamages) {
            SCOPED_TRACE(std::string(d.name) + ", sector size " + std::to_string(ss));
            EXPECT_TRUE(expectSurvives(good, intact, d)) << "aims at nothing";
        }
    }
}

TEST(MsgHardening, TruncationsHugeSizesAndSharedSectorsFailCleanly) {
    for (uint32_t ss : {512u, 4096u}) {
        const Bytes f = sampleFile(ss);
        for (size_t cut = 0; cut < f.size(); cut += (cut < 2048 ? 97 : 509)) {
            const auto why =
                failure([&] { msg::readMsg(Bytes(f.begin(), f.begin() + long(cut)), "cut.msg"); });
            EXPECT_TRUE(why.empty() || why.starts_with("cut.msg|")) << why;
            EXPECT_TRUE(cut >= 512 || has(why, "shorter than the 512-byte header")) << why;
        }
    }
    // Sizes past the file or the chain fail before anything is allocated.
    const Bytes f = sampleFile();
    const std::vector<std::u16string> path = {kAttach + u"1", kData};
    const uint32_t id = *locate(*openBytes(f), path);
    for (uint64_t size : {uint64_t(0xFFFFFFF0u), uint64_t(3u << 20)}) {
        Bytes bad = f;
        put(path, cfb::dir::kSize, size, 8)(*openBytes(f), bad);
        auto r = openBytes(bad);
        EXPECT_THROW(r->readStream(id), FormatError);
        EXPECT_THROW(r->streamSource(id), FormatError);
        std::string cut;
        EXPECT_LE(r->readStreamSalvaged(id, &cut).size(), f.size());
        EXPECT_FALSE(cut.empty());
    }
    // 40 directory entries all claiming the same 200 000 bytes.
    msg::CompoundFileWriter w;
    w.addStream(0, u"big", Bytes(200000, 7));
    for (int i = 0; i < 40; ++i) w.addStream(0, u"s" + fromUtf8(std::to_string(i)), Bytes(4096, 1));
    Bytes shared = w.toBytes();
    auto intact = openBytes(shared);
    const size_t big = size_t(intact->entryOffset(*intact->find(0, u"big")));
    for (uint32_t child : intact->children(0)) {
        const size_t at = size_t(intact->entryOffset(child)) + cfb::dir::kStart;
        std::memcpy(&shared[at], &shared[big + cfb::dir::kStart], 12);  // start, size
    }
    auto r = openBytes(shared);
    EXPECT_TRUE(has(failure([&] {
                        for (uint32_t child : r->children(0)) r->readStream(child);
                    }),
                    "times its size"));
}

TEST(MsgHardening, DifatCycleAndDeepEmbedding) {
    // Two DIFAT sectors are needed past 109 + 127 FAT sectors (~15.5 MB).
    msg::CompoundFileWriter w;
    w.addStream(0, u"big", std::make_shared<PatternSource>(16u << 20, 1));
    const Bytes f = w.toBytes();
    const uint32_t first = loadLE32(&f[cfb::hdr::kFirstDifat]);
    ASSERT_GE(loadLE32(&f[cfb::hdr::kDifatSectors]), 2u);
    // The FAT sectors the DIFAT no longer reaches are lost, and with them
    // the directory, which lies at the end of this file.
    for (auto [edit, needle] :
         {std::pair{header(size_t(first + 1) * 512 + 508, first), "DIFAT chain"},
          {header(cfb::hdr::kDifatSectors, 1), "room for only 236"}}) {
        Bytes bad = f;
        edit(*openBytes(f), bad);
        EXPECT_TRUE(has(failure([&] { openBytes(bad); }), needle)) << needle;
    }

    const Message m = msg::readMsg(
        msg::writeMsg(qm::testing::makeMessage({.embedDepth = layout::kMaxEmbedDepth + 2})));
    int depth = 0;
    for (const Message* e = &m; !e->attachments.empty() && e->attachments[0].embedded;
         e = e->attachments[0].embedded.get())
        ++depth;
    EXPECT_EQ(depth, layout::kMaxEmbedDepth);
    ASSERT_EQ(m.warnings.size(), 1u);
    EXPECT_TRUE(mentions(m.warnings, "nest deeper")) << m.warnings[0];
}

Bytes withHeader(const Bytes& data, uint32_t rawSize, uint32_t type, uint32_t crc) {
    Bytes v;
    for (uint32_t field : {uint32_t(data.size() + 12), rawSize, type, crc}) appendLE32(v, field);
    v.insert(v.end(), data.begin(), data.end());
    return v;
}

// PidTagRtfCompressed's header check: whole data under a wrong header is
// repaired, anything else kept as it is, both with a warning.
TEST(MsgHardening, RtfHeaderRepairedOnlyWhenTheDataIsWhole) {
    // Control bits 1, 0, 1: a reference to the initial dictionary's "{\rtf1"
    // (offset 0, length 6), the literal "}", the end marker (offset 214,
    // where the next byte would be written).
    const Bytes lzfu = {0x05, 0x00, 0x04, '}', 0x0D, 0x60};
    auto raw = msg::decompressLzfu(lzfu, 100);
    ASSERT_TRUE(raw);
    EXPECT_EQ(std::string(raw->begin(), raw->end()), "{\\rtf1}");
    EXPECT_FALSE(msg::decompressLzfu(lzfu, 3));  // past the output cap
    EXPECT_FALSE(msg::decompressLzfu(std::span(lzfu).first(lzfu.size() - 1), 100));

    const Bytes goodLzfu = withHeader(lzfu, 7, msg::kRtfCompressed, msg::nameIdCrc(lzfu));
    // Nested and escaped braces: only the last one closes the RTF.
    const std::string rtf = "{\\rtf1\\ansi{\\fonttbl\\f0 Arial;}\\pard Hello \\{world\\}\\par}";
    const Bytes goodMela =
        withHeader(Bytes(rtf.begin(), rtf.end()), uint32_t(rtf.size()), msg::kRtfUncompressed, 0);
    auto grow = [](Bytes v, size_t field, uint32_t by) {
        storeLE32(&v[field], loadLE32(&v[field]) + by);
        return v;
    };
    auto cut = [](Bytes v, size_t n) { return Bytes(v.begin(), v.end() - long(n)); };
    Bytes junk = goodLzfu;  // bytes past the end marker the header does not claim
    junk.insert(junk.end(), {1, 2, 3});
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
        EXPECT_EQ(mentions(back.warnings, c.warning), c.warning != nullptr)
            << joined(back.warnings);
        EXPECT_LE(back.warnings.size(), 1u);
    }
}

// Real files other software wrote ($QM_SHARED_DIR/corpus, read in place):
// every file reads, or (where index.csv calls it broken) fails with a clear
// reason, and what it holds agrees with index.csv and with olefile.
TEST(MsgCorpus, EveryFileReadsMatchesTheIndexRewritesTheSameAndSurvivesDamage) {
    REQUIRE_CORPUS(corpus);
    const auto rows = readIndex(corpus / "index.csv");
    ASSERT_GE(rows.size(), 40u);
    size_t read = 0, rtf = 0, damaged = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.at("file"));
        const bool isBroken = has(row.at("contents"), "BROKEN");
        Message m;
        try {
            m = msg::readMsgFile(corpus / row.at("file"));
        } catch (const FormatError& e) {
            EXPECT_TRUE(isBroken) << e.what();
            EXPECT_EQ(e.file(), (corpus / row.at("file")).string());
            EXPECT_FALSE(e.reason().empty());
            continue;
        }
        ++read;
        const Property* p = m.props.find(tag::RtfCompressed);
        if (p && !p->stream && p->value.size() >= msg::kRtfHeaderSize) {
            ++rtf;
            expectSoundRtf(p->value);
        }
        EXPECT_EQ(mentions(m.warnings, "PidTagRtfCompressed"),
                  row.at("file") == "hfig-MAPI/sample.msg");
        EXPECT_EQ(qm::testing::diffMessages(m, msg::readMsg(msg::writeMsg(m))), "");
        if (isBroken) continue;  // read despite its defects: nothing to compare
        expectOlefileAgrees(corpus / row.at("file"));
        EXPECT_EQ(m.props.string(0x001A, m.stringCodePage()).value_or(""), row.at("msg_class"));
        // index.csv shows 8-bit subjects decoded by the store's rule, cut to
        // 60 characters.
        Message decoded = m.clone();
        decodeString8(decoded);
        const std::u16string subject = fromUtf8(decoded.props.string(0x0037).value_or(""));
        EXPECT_EQ(toUtf8(subject.substr(0, 60)), row.at("subject"));
        EXPECT_EQ(std::to_string(m.recipients.size()), row.at("recips"));
        EXPECT_EQ(std::to_string(m.attachments.size()), row.at("attachs"));
        // Damage on damage says little: only files other software wrote whole
        // get damaged copies, which must lose only what the damage hits.
        if (!m.warnings.empty()) continue;
        const Bytes good = qm::testing::readFile(corpus / row.at("file"));
        for (const Damage& d : kDamages) {
            SCOPED_TRACE(d.name);
            if (d.real) damaged += expectSurvives(good, m, d);
        }
    }
    EXPECT_GE(read, 45u);
    EXPECT_GT(rtf, 10u);
    EXPECT_GT(damaged, read);
}

}  // namespace
