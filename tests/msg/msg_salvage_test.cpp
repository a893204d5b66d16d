// Damage applied to copies of real files ($QM_SHARED_DIR/corpus, copied to a
// scratch folder at test time) loses only what it hits: the subject and the
// recipients it spares survive, with a warning naming the loss. And the
// PidTagRtfCompressed header check: whole data under a wrong header is
// repaired, anything else kept as it is, both with a warning.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "msg/cfb_format.h"
#include "msg/compound_file_reader.h"
#include "msg/msg.h"
#include "msg/msg_format.h"
#include "msg/nameid.h"
#include "msg/rtf_header.h"
#include "msg/test_util.h"
#include "support/message_gen.h"

using namespace qm;
using namespace qm::mapi;
namespace cfb = qm::msg::cfb;
namespace fs = std::filesystem;

namespace {

Bytes readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeAll(const fs::path& p, const Bytes& b) {
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

// The subject whatever its string type, as bytes.
Bytes subjectBytes(const Message& m) {
    if (const Property* p = m.props.findId(0x0037)) return p->value;
    return {};
}

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) out += "  " + l + "\n";
    return out;
}

// One damage aimed with the intact file's own directory: returns false when
// the file has nothing it could hit.
struct RealDamage {
    const char* name;
    std::function<bool(const msg::CompoundFileReader&, Bytes&)> apply;
    const char* warning;  // "" for none beyond the intact file's
    int lostRecipients = 0;
    int lostAttachments = 0;  // an attachment without its data is dropped
};

std::optional<uint32_t> childNamed(const msg::CompoundFileReader& r, uint32_t storage,
                                   std::u16string_view prefix) {
    for (uint32_t id : r.children(storage)) {
        const auto& n = r.entry(id).name;
        if (n.size() >= prefix.size() && std::u16string_view(n).substr(0, prefix.size()) == prefix)
            return id;
    }
    return std::nullopt;
}

void put32(Bytes& f, int64_t at, uint32_t v) {
    if (at >= 0 && size_t(at) + 4 <= f.size()) storeLE32(&f[size_t(at)], v);
}

std::vector<RealDamage> realDamages() {
    using R = const msg::CompoundFileReader&;
    auto breakStart = [](R r, Bytes& f, uint32_t id) {
        put32(f, r.entryOffset(id) + cfb::dir::kStart, 0x00FFFFF0);
    };
    return {
        {"a recipient's property stream unreadable",
         [=](R r, Bytes& f) {
             auto recip = childNamed(r, 0, msg::layout::kRecipPrefix);
             auto props = recip ? r.find(*recip, msg::layout::kPropertiesStream) : std::nullopt;
             if (!props) return false;
             breakStart(r, f, *props);
             return true;
         },
         "recipient", 1},
        {"an attachment's data larger than the file",
         [](R r, Bytes& f) {
             for (uint32_t id : r.children(0)) {
                 if (!childNamed(r, 0, msg::layout::kAttachPrefix)) break;
                 auto data = r.find(id, msg::layout::substgName(tag::AttachDataBinary));
                 if (!data || r.entry(*data).size == 0) continue;
                 put32(f, r.entryOffset(*data) + cfb::dir::kSize, 0xFFFFFFF0);
                 return true;
             }
             return false;
         },
         "0x37010102 dropped", 0, 1},
        {"the named-property map unreadable",
         [=](R r, Bytes& f) {
             auto map = r.find(0, msg::layout::kNameIdStorage);
             auto entries =
                 map ? r.find(*map, msg::layout::substgName(msg::layout::kEntryStreamTag))
                     : std::nullopt;
             if (!entries || r.entry(*entries).size == 0) return false;
             breakStart(r, f, *entries);
             return true;
         },
         "named-property map unreadable"},
        {"the body's stream missing",
         [](R r, Bytes& f) {
             for (uint32_t tag : {0x1000001Fu, 0x1000001Eu}) {
                 if (auto id = r.find(0, msg::layout::substgName(tag))) {
                     storeLE16(&f[size_t(r.entryOffset(*id))], u'X');
                     return true;
                 }
             }
             return false;
         },
         "value stream is missing"},
        {"the top-level property stream's size beyond the file",
         [](R r, Bytes& f) {
             auto props = r.find(0, msg::layout::kPropertiesStream);
             if (!props) return false;
             put32(f, r.entryOffset(*props) + cfb::dir::kSize, 0xFFFFFF00);
             return true;
         },
         "message: property stream damaged"},
        {"the mini stream's size beyond the file",
         [](R r, Bytes& f) {
             if (r.entry(0).size == 0) return false;
             put32(f, r.entryOffset(0) + cfb::dir::kSize, 0x7FFFFFF0);
             return true;
         },
         "mini stream"},
        {"garbage in a directory slot nothing points to",
         [](R r, Bytes& f) {
             for (uint32_t id = 1; id < r.entryCount(); ++id) {
                 if (r.entry(id).type != cfb::kTypeUnused) continue;
                 size_t at = size_t(r.entryOffset(id));
                 std::fill(f.begin() + long(at), f.begin() + long(at + 128), uint8_t(0xA5));
                 f[at + cfb::dir::kType] = cfb::kTypeStream;
                 return true;
             }
             return false;
         },
         ""},
    };
}

TEST(MsgSalvage, DamagedCopiesOfRealFilesKeepSubjectAndRecipients) {
    auto corpus = qm::testing::corpusDir();
    if (corpus.empty()) GTEST_SKIP() << "QM_SHARED_DIR/corpus is absent: salvage checks skipped";
    qm::testing::ScratchDir scratch;
    size_t files = 0, damaged = 0;
    for (auto& e : fs::recursive_directory_iterator(corpus)) {
        if (e.path().extension() != ".msg") continue;
        Message intact;
        std::shared_ptr<msg::CompoundFileReader> cfb;
        Bytes good = readAll(e.path());
        try {
            intact = msg::readMsg(good);
            cfb = msg::CompoundFileReader::open(std::make_shared<MemorySource>(good), "intact");
        } catch (const FormatError&) {
            continue;
        }
        // Damage on damage says little: the files other software wrote whole.
        if (!intact.warnings.empty()) continue;
        ++files;
        for (const RealDamage& d : realDamages()) {
            SCOPED_TRACE(e.path().string() + ": " + d.name);
            Bytes f = good;
            if (!d.apply(*cfb, f)) continue;
            if (d.lostRecipients && intact.recipients.empty()) continue;
            ++damaged;
            fs::path copy = scratch.file("damaged.msg");
            writeAll(copy, f);
            Message m;
            try {
                m = msg::readMsgFile(copy);
            } catch (const std::exception& err) {
                ADD_FAILURE() << "refused: " << err.what();
                continue;
            }
            EXPECT_EQ(subjectBytes(m), subjectBytes(intact));
            EXPECT_EQ(m.recipients.size(), intact.recipients.size() - size_t(d.lostRecipients));
            EXPECT_EQ(m.attachments.size(), intact.attachments.size() - size_t(d.lostAttachments));
            std::string all = joined(m.warnings);
            if (*d.warning) {
                EXPECT_NE(all.find(d.warning), std::string::npos) << all;
            } else {
                EXPECT_EQ(m.warnings, intact.warnings);
            }
        }
    }
    EXPECT_GT(damaged, files);
    std::cout << damaged << " damaged copies of " << files << " corpus files read\n";
}

// What our reader leaves in PidTagRtfCompressed is sound in every corpus
// file: LZFu expands to RAWSIZE, MELA's sizes match its RTF.
TEST(MsgSalvage, CorpusRtfHeadersMatchTheirData) {
    auto corpus = qm::testing::corpusDir();
    if (corpus.empty()) GTEST_SKIP() << "QM_SHARED_DIR/corpus is absent: RTF checks skipped";
    size_t checked = 0;
    for (auto& e : fs::recursive_directory_iterator(corpus)) {
        if (e.path().extension() != ".msg") continue;
        Message m;
        try {
            m = msg::readMsgFile(e.path());
        } catch (const FormatError&) {
            continue;
        }
        const Property* p = m.props.find(tag::RtfCompressed);
        if (!p || p->stream || p->value.size() < msg::kRtfHeaderSize) continue;
        SCOPED_TRACE(e.path().string());
        ++checked;
        Bytes v = p->value;
        EXPECT_EQ(loadLE32(&v[0]) + 4u, v.size());
        std::span<const uint8_t> data(v.data() + 16, v.size() - 16);
        if (loadLE32(&v[8]) == msg::kRtfCompressed) {
            auto raw = msg::decompressLzfu(data, loadLE32(&v[4]));
            ASSERT_TRUE(raw);
            EXPECT_EQ(raw->size(), loadLE32(&v[4]));
            EXPECT_EQ(std::string(raw->begin(), raw->begin() + 5), "{\\rtf");
            EXPECT_EQ(msg::nameIdCrc(data), loadLE32(&v[12]));
        } else {
            EXPECT_EQ(loadLE32(&v[4]), data.size());
        }
        EXPECT_EQ(msg::repairRtfHeader(v), "");
        bool warned = false;
        for (const auto& w : m.warnings) warned |= w.find("PidTagRtfCompressed") != w.npos;
        EXPECT_EQ(warned, e.path().filename() == "sample.msg" &&
                              e.path().parent_path().filename() == "hfig-MAPI");
    }
    EXPECT_GT(checked, 10u);
}

// LZFu made of literals only, ending with the end marker; `rtf` must not
// fill the 4096-byte dictionary around.
Bytes lzfuLiterals(std::string_view rtf, size_t prebuffer = 207) {
    Bytes out;
    size_t i = 0;
    for (;;) {
        size_t control = out.size();
        out.push_back(0);
        for (int bit = 0; bit < 8; ++bit) {
            if (i < rtf.size()) {
                out.push_back(uint8_t(rtf[i++]));
                continue;
            }
            out[control] |= uint8_t(1u << bit);
            uint16_t ref = uint16_t(((prebuffer + rtf.size()) % 4096) << 4);
            out.push_back(uint8_t(ref >> 8));
            out.push_back(uint8_t(ref));
            return out;
        }
    }
}

Bytes withHeader(const Bytes& data, uint32_t rawSize, uint32_t type, uint32_t crc) {
    Bytes v(16 + data.size());
    std::copy(data.begin(), data.end(), v.begin() + 16);
    storeLE32(&v[0], uint32_t(data.size() + 12));
    storeLE32(&v[4], rawSize);
    storeLE32(&v[8], type);
    storeLE32(&v[12], crc);
    return v;
}

TEST(MsgSalvage, RtfHeaderRepairedOnlyWhenTheDataIsWhole) {
    const std::string rtf = "{\\rtf1\\ansi{\\fonttbl\\f0 Arial;}\\pard Hello \\{world\\}\\par}";
    const Bytes text(rtf.begin(), rtf.end());
    const Bytes lzfu = lzfuLiterals(rtf);
    const Bytes goodLzfu =
        withHeader(lzfu, uint32_t(rtf.size()), msg::kRtfCompressed, msg::nameIdCrc(lzfu));
    const Bytes goodMela = withHeader(text, uint32_t(rtf.size()), msg::kRtfUncompressed, 0);
    auto grow = [](Bytes v, size_t field, uint32_t by) {
        storeLE32(&v[field], loadLE32(&v[field]) + by);
        return v;
    };
    auto cut = [](Bytes v, size_t n) {
        v.resize(v.size() - n);
        return v;
    };
    Bytes junk = goodLzfu;
    for (uint8_t b : {1, 2, 3}) junk.push_back(b);
    struct Case {
        const char* name;
        Bytes value;
        const Bytes* repaired;  // what the value must become; null: kept as is
        const char* warning;
    } cases[] = {
        {"sound LZFu", goodLzfu, &goodLzfu, ""},
        {"sound MELA", goodMela, &goodMela, ""},
        {"MELA claiming 12 bytes more (hfig-MAPI/sample.msg)", grow(goodMela, 4, 12), &goodMela,
         "now matches"},
        {"MELA with both sizes too large", grow(grow(goodMela, 0, 12), 4, 12), &goodMela,
         "now matches"},
        {"MELA whose RTF is cut", grow(cut(goodMela, 3), 0, 0), nullptr, "kept as is"},
        {"LZFu whose COMPSIZE is too large", grow(goodLzfu, 0, 12), &goodLzfu,
         "COMPSIZE now matches"},
        {"LZFu with bytes past its end marker", grow(junk, 0, 0), &goodLzfu, "COMPSIZE now"},
        {"LZFu cut short", cut(goodLzfu, 3), nullptr, "does not check out"},
        {"LZFu with a wrong RAWSIZE too", grow(grow(goodLzfu, 0, 12), 4, 1), nullptr,
         "does not check out"},
        {"too short for a header", Bytes(10, 0), nullptr, "too short"},
    };
    // Bytes past the marker: the header still claims the data without them.
    storeLE32(&cases[6].value[0], uint32_t(cases[6].value.size() - 4 - 3));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Through the whole reader: a message carrying the value.
        Message m;
        m.props.set(Property::utf8(tag::Subject, "rtf"));
        m.props.set(Property::binary(tag::RtfCompressed, c.value));
        Message back = msg::readMsg(msg::writeMsg(m));
        const Bytes& after = back.props.find(tag::RtfCompressed)->value;
        EXPECT_EQ(after, c.repaired ? *c.repaired : c.value);
        if (*c.warning) {
            ASSERT_EQ(back.warnings.size(), 1u) << joined(back.warnings);
            EXPECT_NE(back.warnings[0].find(c.warning), std::string::npos) << back.warnings[0];
        } else {
            EXPECT_TRUE(back.warnings.empty()) << joined(back.warnings);
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
