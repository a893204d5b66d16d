// quillmark-cli export: .msg -> .pst -> .msg round trips (messages our
// generators make, and every readable message of the shared corpus), the
// Outlook-made samples against pypff and olefile, safe names, clashes and
// never overwriting, bad inputs and exit codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "convert/export_names.h"
#include "convert/export_store.h"
#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "msg/msg.h"
#include "pst/read/pst_file.h"
#include "run_fixture.h"
#include "support/message_gen.h"
#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace qm;
using TempDir = qm::testing::ScratchDir;
using json = nlohmann::json;

struct Cli {
    int code = -1;
    std::string out;
    std::string err;
};

Cli cli(const std::string& args) {
    TempDir tmp;
    Cli r;
    r.code =
        qm::testing::runCommand(qm::testing::shellQuote(qm::testing::binDir() + "/quillmark-cli") +
                                    " " + args + " 2>" + (tmp.path() / "err").string(),
                                &r.out);
    std::ifstream in(tmp.path() / "err");
    r.err.assign(std::istreambuf_iterator<char>(in), {});
    return r;
}

std::string q(const fs::path& p) {
    return qm::testing::shellQuote(p.string());
}

fs::path sharedDir() {
    const char* env = std::getenv("QM_SHARED_DIR");
    return env && *env ? fs::path(env) : fs::path();
}

std::vector<fs::path> msgFilesUnder(const fs::path& dir) {
    std::vector<fs::path> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file() && e.path().extension() == ".msg") out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

// What the store owns, and so what may differ after a round trip, with the
// reason for each. Everything else must come back byte for byte.
enum Kind { kMessage = 1, kAttachment = 2, kRecipient = 4, kAll = 7 };
struct Owned {
    uint16_t id;
    int kinds;
    const char* why;
};
constexpr Owned kStoreOwned[] = {
    {0x0E07, kMessage, "PidTagMessageFlags: mended (read, has-attachment); checked on its own"},
    {0x0E08, kMessage, "PidTagMessageSize: the size of the store's own node"},
    {0x0E1B, kMessage, "PidTagHasAttachments: derived from the attachment table"},
    {0x003D, kMessage, "PidTagSubjectPrefix: kept as the subject's marker, rebuilt on export"},
    {0x0E1D, kMessage, "PidTagNormalizedSubject: derived from the subject"},
    {0x0E12, kMessage, "PidTagMessageRecipients: the table object itself"},
    {0x0E13, kMessage, "PidTagMessageAttachments: the table object itself"},
    {0x0FFF, kMessage | kAttachment, "PidTagEntryId: names the object in its store"},
    {0x0FF9, kMessage | kAttachment, "PidTagRecordKey: the store's own key"},
    {0x0FFE, kMessage | kAttachment, "PidTagObjectType: computed on reading"},
    {0x0E20, kAttachment, "PidTagAttachSize: the store adds up its values"},
    {0x0E21, kAttachment, "PidTagAttachNumber: the attachment's row in the store"},
    {0x0E09, kAll, "PidTagParentEntryId: the store's folder"},
    {0x0FFB, kAll, "PidTagStoreEntryId"},
    {0x0FFA, kAll, "PidTagStoreRecordKey"},
    {0x0FF6, kAll, "PidTagInstanceKey: a table row's key"},
    {0x0FF4, kAll, "PidTagAccess"},
    {0x0FF7, kAll, "PidTagAccessLevel"},
    {0x0FF8, kAll, "PidTagMappingSignature"},
    {0x340D, kAll, "PidTagStoreSupportMask: the export sets STORE_UNICODE_OK"},
    {0x340E, kAll, "PidTagStoreState"},
    {0x3000, kAll, "PidTagRowid: a table column"},
};
// Filled in by the store only where the source has none.
constexpr Owned kStoreDefaults[] = {
    {0x300B, kMessage, "PidTagSearchKey: a new one"},
    {0x3007, kMessage, "PidTagCreationTime: the time of the conversion"},
    {0x3008, kMessage, "PidTagLastModificationTime: the time of the conversion"},
    {0x001A, kMessage, "PidTagMessageClass: IPM.Note"},
    {0x3705, kAttachment, "PidTagAttachMethod: from what the attachment holds"},
    {0x370B, kAttachment, "PidTagRenderingPosition: not rendered"},
};

bool hasCodePage(const mapi::PropertyBag& b) {
    return b.findId(0x3FFD) || b.findId(0x3FDE) || b.findId(0x3FF1);
}

// 8-bit strings as the Unicode text they stand for, so a PT_STRING8 value of
// the original equals the PT_UNICODE value the store may have made of it;
// property attribute flags (a .pst keeps none) reset; store-owned ids gone.
void normalizeBag(mapi::PropertyBag& bag, int kind, int codePage,
                  const mapi::PropertyBag* defaultsUnlessIn) {
    mapi::PropertyBag out;
    for (mapi::Property p : bag) {
        const uint16_t t = p.type();
        if (t == mapi::PT_NULL || t == mapi::PT_UNSPECIFIED) continue;
        if (!p.named) {
            auto owned = [&](const auto& list) {
                return std::any_of(std::begin(list), std::end(list), [&](const Owned& o) {
                    return o.id == p.id() && (o.kinds & kind);
                });
            };
            if (owned(kStoreOwned)) continue;
            if (defaultsUnlessIn && owned(kStoreDefaults) && !defaultsUnlessIn->findId(p.id()))
                continue;
        }
        auto decode = [&](const Bytes& b) {
            std::string_view s(reinterpret_cast<const char*>(b.data()), b.size());
            return mapi::utf16ToLE(mapi::decodeCodePage(s, codePage));
        };
        if (mapi::baseType(t) == mapi::PT_STRING8) {
            p.tag = mapi::makeTag(p.id(), uint16_t(t - mapi::PT_STRING8 + mapi::PT_UNICODE));
            if (p.stream) p.value = p.bytes(), p.stream.reset();
            p.value = mapi::isMultiValued(t) ? Bytes() : decode(p.value);
            for (auto& item : p.items) item = decode(item);
        }
        p.flags = mapi::Property{}.flags;
        out.set(std::move(p));
    }
    bag = std::move(out);
}

// Brings a message to what must survive the round trip. `expected` is the
// original when normalizing the export (store defaults count only where the
// original lacks them); an embedded message without code-page properties
// decodes in its parent's code page.
void normalize(mapi::Message& m, const mapi::Message* expected, int parentCodePage = 1252) {
    const int cp = hasCodePage(m.props) ? m.stringCodePage() : parentCodePage;
    normalizeBag(m.props, kMessage, cp, expected ? &expected->props : nullptr);
    for (auto& r : m.recipients) normalizeBag(r.props, kRecipient, cp, nullptr);
    for (size_t i = 0; i < m.attachments.size(); ++i) {
        auto& a = m.attachments[i];
        const mapi::Attachment* e =
            expected && i < expected->attachments.size() ? &expected->attachments[i] : nullptr;
        normalizeBag(a.props, kAttachment, cp, e ? &e->props : nullptr);
        if (a.embedded) normalize(*a.embedded, e ? e->embedded.get() : nullptr, cp);
    }
}

// The flags the store gives every message: read, plus has-attachment exactly
// when there are attachments (embedded messages keep their other bits).
void expectMendedFlags(const mapi::Message& exported, bool top, const std::string& where) {
    const auto flags = exported.props.int32(mapi::tag::MessageFlags);
    ASSERT_TRUE(flags.has_value()) << where;
    const int32_t attach = exported.attachments.empty() ? 0 : mapi::MSGFLAG_HASATTACH;
    if (top) {
        EXPECT_EQ(*flags, mapi::MSGFLAG_READ | attach) << where;
    }
    EXPECT_EQ(*flags & mapi::MSGFLAG_HASATTACH, attach) << where;
    for (const auto& a : exported.attachments) {
        if (a.embedded) expectMendedFlags(*a.embedded, false, where + " (embedded)");
    }
}

void expectSameMessage(const fs::path& original, const fs::path& exported) {
    SCOPED_TRACE(original.string() + " -> " + exported.string());
    mapi::Message e = msg::readMsgFile(original);
    mapi::Message a = msg::readMsgFile(exported);
    expectMendedFlags(a, true, exported.string());
    const int cp = e.stringCodePage();
    EXPECT_EQ(pst::read::readableSubject(a.props, cp), pst::read::readableSubject(e.props, cp));
    normalize(a, &e);
    normalize(e, nullptr);
    EXPECT_EQ(qm::testing::diffMessages(e, a), "");
}

TEST(ExportRoundTrip, MessagesOurGeneratorsMake) {
    using qm::testing::MessageSpec;
    auto spec = [](auto&& set) {
        MessageSpec s;
        set(s);
        return s;
    };
    const std::vector<std::pair<std::string, MessageSpec>> cases = {
        {"plain", MessageSpec{}},
        {"eight-bit cp1251", spec([](auto& s) { s.unicode = false, s.allTypes = true; })},
        {"every type", spec([](auto& s) { s.allTypes = true, s.recipients = 4; })},
        {"attachments", spec([](auto& s) {
             s.attachmentSizes = {0, 10, 3u << 20};
         })},
        {"embedded three deep", spec([](auto& s) { s.embedDepth = 3, s.recipients = 2; })},
        {"OLE storage", spec([](auto& s) { s.oleAttachment = true; })},
        {"named properties", spec([](auto& s) { s.namedById = 5, s.namedByName = 5; })},
        {"html and rtf", spec([](auto& s) { s.htmlBody = true, s.rtfBody = true; })},
    };
    TempDir work;
    std::map<std::string, fs::path> sources;
    for (auto [name, s] : cases) {
        s.subject = name;
        s.seed = uint32_t(sources.size() + 7);
        sources[name] = work.path() / "src" / (name + ".msg");
        qm::testing::writeMessage(sources[name], qm::testing::makeMessage(s));
    }
    const fs::path pst = work.path() / "gen.pst";
    const Cli c = cli("convert --quiet -o " + q(pst) + " " + q(work.path() / "src"));
    ASSERT_EQ(c.code, 0) << c.err;
    const Cli x = cli("export --quiet " + q(pst) + " " + q(work.path() / "out"));
    ASSERT_EQ(x.code, 0) << x.err;
    const auto files = msgFilesUnder(work.path() / "out");
    ASSERT_EQ(files.size(), cases.size()) << x.out;
    // The generator adds non-Latin text to each subject; the case name starts it.
    for (const auto& f : files) {
        auto it = std::find_if(sources.begin(), sources.end(), [&](const auto& s) {
            return f.filename().string().starts_with(s.first);
        });
        ASSERT_NE(it, sources.end()) << f;
        expectSameMessage(it->second, f);
    }
}

TEST(ExportRoundTrip, EveryReadableCorpusMessage) {
    const fs::path corpus = sharedDir() / "corpus";
    if (sharedDir().empty() || !fs::exists(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
    size_t readable = 0;
    for (const fs::path& file : msgFilesUnder(corpus)) {
        try {
            msg::readMsgFile(file);
        } catch (const Error&) {
            continue;  // the corpus's broken files: the MSG tests cover them
        }
        ++readable;
        SCOPED_TRACE(file.string());
        TempDir work;
        const Cli c = cli("convert --quiet -o " + q(work.path() / "c.pst") + " " + q(file));
        ASSERT_EQ(c.code, 0) << c.err;
        const Cli x =
            cli("export --quiet " + q(work.path() / "c.pst") + " " + q(work.path() / "o"));
        ASSERT_EQ(x.code, 0) << x.err;
        const auto files = msgFilesUnder(work.path() / "o");
        ASSERT_EQ(files.size(), 1u);
        expectSameMessage(file, files[0]);
        // What `show --json` prints of both: the export reads as well as the original.
        const Cli show = cli("show --json " + q(files[0]));
        EXPECT_EQ(show.code, 0) << show.err;
    }
    EXPECT_GT(readable, 40u);
}

// Exported files, grouped by store folder in store order, as the JSON lists them.
std::map<std::string, std::vector<fs::path>> filesByFolder(const json& doc) {
    std::map<std::string, std::vector<fs::path>> out;
    for (const auto& f : doc["files"]) out[f["folder"]].push_back(f["file"].get<std::string>());
    return out;
}

TEST(ExportOutlookSamples, SubjectsAndAttachmentsAsPypffReadsThem) {
    const fs::path samples = sharedDir() / "pst-samples";
    if (sharedDir().empty() || !fs::exists(samples)) GTEST_SKIP() << "no samples at " << samples;
    for (const char* name : {"Empty.pst", "sample1.pst", "submessage.pst", "test_unicode.pst"}) {
        SCOPED_TRACE(name);
        TempDir work;
        const Cli x = cli("export --json " + q(samples / name) + " " + q(work.path() / "o"));
        ASSERT_EQ(x.code, 0) << x.err;
        const json doc = json::parse(x.out);
        const json pypff = qm::testing::dumpPst("pypff", samples / name);
        ASSERT_TRUE(pypff.is_object());
        auto ours = filesByFolder(doc);
        size_t total = 0;
        for (const auto& [folder, theirs] : pypff["folders"].items()) {
            EXPECT_TRUE(fs::is_directory(work.path() / "o" / fs::path(folder))) << folder;
            const auto& files = ours[folder];
            ASSERT_EQ(files.size(), theirs["subjects"].size()) << folder;
            total += files.size();
            for (size_t i = 0; i < files.size(); ++i) {
                const mapi::Message m = msg::readMsgFile(files[i]);
                EXPECT_EQ(pst::read::readableSubject(m.props, m.stringCodePage()),
                          theirs["subjects"][i]);
                EXPECT_EQ(m.attachments.size(), theirs["attachments"][i]);
            }
        }
        EXPECT_EQ(doc["exported"], total);
        if (total == 0) continue;
        std::string args;
        for (const auto& [folder, files] : ours) {
            for (const auto& f : files) args += " " + q(f);
        }
        EXPECT_EQ(qm::testing::runCommand(
                      "/usr/bin/python3 -c 'import olefile, sys\n"
                      "for f in sys.argv[1:]:\n"
                      "    assert olefile.OleFileIO(f).exists(\"__properties_version1.0\")' " +
                      args),
                  0);
    }
}

TEST(ExportNames, HostileTextBecomesASafeName) {
    const std::string e150(300, 'x');
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"Meeting notes", "Meeting notes"},
        {"Re: a/b\\c *? \"q\" <x> |y|", "Re_ a_b_c __ _q_ _x_ _y_"},
        {"line\r\n\tbreak\x7F end\xC2\x85", "line break end"},
        {"  ..dots and spaces.. ", "dots and spaces"},
        {".", "(none)"},
        {"..", "(none)"},
        {"", "(none)"},
        {"\x01\x02", "(none)"},
        {"CON", "_CON"},
        {"nul.txt", "_nul.txt"},
        {"com7", "_com7"},
        {"COM0", "COM0"},
        {"Console", "Console"},
        {e150, std::string(100, 'x')},
        {"日本語のテキスト", "日本語のテキスト"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(convert::safeName(c.in, "(none)"), c.out) << c.in;
    }
    // Limits in characters and in bytes, cut at whole characters.
    std::string cjk;
    for (int i = 0; i < 120; ++i) cjk += "語";
    const std::string cut = convert::safeName(cjk, "x");
    EXPECT_EQ(cut.size(), 85u * 3);  // 255 bytes of 3-byte characters
    EXPECT_EQ(convert::safeName(std::string(99, 'a') + " b", "x"), std::string(99, 'a'));
    EXPECT_EQ(convert::candidateName("Same", ".msg", 1), "Same.msg");
    EXPECT_EQ(convert::candidateName("Same", ".msg", 12), "Same (12).msg");
    EXPECT_EQ(convert::candidateName(std::string(100, 'a'), ".msg", 3),
              std::string(92, 'a') + " (3).msg");
    EXPECT_EQ(convert::candidateName(cut, ".msg", 2).size(), 82u * 3 + 8);
}

// A store made from a tree whose names clash once made safe.
class ExportIntoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const fs::path mail = work.path() / "src" / "Mail";
        for (auto [file, subject] : std::vector<std::pair<std::string, std::string>>{
                 {"a.msg", "Same"}, {"b.msg", "same"}, {"c.msg", "con"}, {"d.msg", ""}}) {
            qm::testing::writeMessage(mail / file, qm::testing::testMessage(subject, 1));
        }
        qm::testing::writeMessage(mail / "x?" / "e.msg", qm::testing::testMessage("e"));
        qm::testing::writeMessage(mail / "x*" / "f.msg", qm::testing::testMessage("f"));
        const Cli c = cli("convert --quiet -o " + q(pst) + " " + q(work.path() / "src"));
        ASSERT_EQ(c.code, 0) << c.err;
        // Where the store's folder "Mail" lands: its path from the file-system root.
        exported = out / (work.path() / "src" / "Mail").relative_path();
    }
    TempDir work;
    fs::path pst = work.path() / "s.pst";
    fs::path out = work.path() / "out";
    fs::path exported;
};

std::map<fs::path, std::string> contents(const fs::path& dir) {
    std::map<fs::path, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        std::ifstream in(e.path(), std::ios::binary);
        out[e.path()] = e.is_regular_file() ? std::string(std::istreambuf_iterator<char>(in), {})
                                            : std::string("<folder>");
    }
    return out;
}

TEST_F(ExportIntoTest, ClashesGetNumbersAndNothingIsOverwritten) {
    fs::create_directories(exported);
    std::ofstream(exported / "Same.msg") << "mine";
    std::ofstream(exported / "x_") << "a file where a folder would go";
    const Cli first = cli("export --quiet " + q(pst) + " " + q(out));
    ASSERT_EQ(first.code, 0) << first.err;
    // "Same" and "same" clash where case does not count (Windows, macOS).
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(exported))
        names.insert(convert::clashKey(e.path().filename().string()));
    EXPECT_EQ(names, (std::set<std::string>{"SAME.MSG", "SAME (2).MSG", "SAME (3).MSG", "_CON.MSG",
                                            "(NO SUBJECT).MSG", "X_", "X_ (2)", "X_ (3)"}));
    EXPECT_EQ(msgFilesUnder(exported / "x_ (2)").size(), 1u);
    EXPECT_EQ(msgFilesUnder(exported / "x_ (3)").size(), 1u);
    // The second run into the same folder adds beside the first, touching nothing.
    const auto before = contents(out);
    EXPECT_EQ(before.at(exported / "Same.msg"), "mine");
    const Cli second = cli("export --quiet " + q(pst) + " " + q(out));
    ASSERT_EQ(second.code, 0) << second.err;
    const auto after = contents(out);
    for (const auto& [path, bytes] : before) EXPECT_EQ(after.at(path), bytes) << path;
    EXPECT_EQ(msgFilesUnder(out).size(), 2 * 6u + 1);
    for (const auto& [path, bytes] : after) {
        EXPECT_FALSE(path.filename().string().starts_with(".")) << "left behind: " << path;
    }
}

TEST_F(ExportIntoTest, StopsWhenAskedOnceTheMessageInHandIsWritten) {
    struct StopAfterOne : convert::ExportObserver {
        size_t done = 0;
        void exported(const convert::ExportedMessage&) override { ++done; }
        void failed(const convert::ExportFailure& f) override { ADD_FAILURE() << f.reason; }
        bool stopRequested() override { return done > 0; }
    } observer;
    const convert::ExportReport r = convert::exportStore(pst, out, observer);
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.exported, 1u);
    const auto files = msgFilesUnder(out);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NO_THROW(msg::readMsgFile(files[0]));
    for (const auto& [path, bytes] : contents(out)) {
        EXPECT_FALSE(path.filename().string().starts_with(".")) << "left behind: " << path;
    }
}

// Damages the first data block of a store folder's messages: their CRC no
// longer holds, so reading them fails.
void damageMessages(const fs::path& pstPath, size_t count) {
    std::vector<uint64_t> offsets;
    {
        auto pst = pst::read::PstFile::open(pstPath);
        for (const auto& f : pst->folderTree()) {
            for (auto nid : pst->messageNids(f.folder.nid)) {
                if (offsets.size() < count)
                    offsets.push_back(pst->ndb().findBlock(pst->ndb().node(nid).bidData)->ib);
            }
        }
    }
    std::fstream f(pstPath, std::ios::in | std::ios::out | std::ios::binary);
    for (uint64_t ib : offsets) {
        f.seekg(std::streamoff(ib));
        const char c = char(f.get() ^ 0x5A);
        f.seekp(std::streamoff(ib));
        f.put(c);
    }
}

TEST_F(ExportIntoTest, ExitCodesAndTheJsonReport) {
    const struct {
        size_t damaged;
        int code;
    } cases[] = {{0, 0}, {1, 1}, {6, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.damaged);
        TempDir run;
        fs::copy_file(pst, run.path() / "s.pst");
        damageMessages(run.path() / "s.pst", c.damaged);
        const Cli x = cli("export --json " + q(run.path() / "s.pst") + " " + q(run.path() / "o"));
        EXPECT_EQ(x.code, c.code) << x.err;
        const json doc = json::parse(x.out, nullptr, false);
        ASSERT_TRUE(doc.is_object()) << x.out;
        EXPECT_EQ(doc["messages"], 6);
        EXPECT_EQ(doc["exported"], 6 - c.damaged);
        EXPECT_EQ(doc["files"].size(), 6 - c.damaged);
        ASSERT_EQ(doc["failed"].size(), c.damaged);
        for (const auto& f : doc["failed"]) {
            EXPECT_NE(f["reason"].get<std::string>().find("CRC"), std::string::npos) << f;
            EXPECT_NE(x.err.find(f["nid"].get<std::string>()), std::string::npos) << x.err;
        }
        EXPECT_EQ(doc["pst"], (run.path() / "s.pst").string());
    }
}

TEST_F(ExportIntoTest, BadInputsExportNothing) {
    std::ofstream(work.path() / "text.pst") << "not a store at all";
    std::ofstream(work.path() / "file") << "a file, not a folder";
    const fs::path ansi = sharedDir() / "pst-samples" / "sample2.pst";
    const struct {
        std::string what;
        fs::path pst;
        fs::path dir;
    } cases[] = {
        {"not a pst", work.path() / "text.pst", work.path() / "o1"},
        {"missing file", work.path() / "none.pst", work.path() / "o2"},
        {"destination is a file", pst, work.path() / "file"},
        {"the old ANSI format", ansi, work.path() / "o3"},
    };
    for (const auto& c : cases) {
        if (!fs::exists(c.pst) && c.what == "the old ANSI format") continue;
        SCOPED_TRACE(c.what);
        const Cli x = cli("export " + q(c.pst) + " " + q(c.dir));
        EXPECT_EQ(x.code, 2);
        EXPECT_NE(x.err.find(c.what == "destination is a file" ? c.dir.string() : c.pst.string()),
                  std::string::npos)
            << x.err;
        EXPECT_TRUE(x.out.empty()) << x.out;
        EXPECT_FALSE(fs::is_directory(c.dir));
    }
    EXPECT_EQ(contents(work.path()).at(work.path() / "file"), "a file, not a folder");
    EXPECT_EQ(cli("export " + q(pst)).code, 2);  // no DIR: usage
}

}  // namespace
