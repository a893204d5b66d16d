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
#include "mapi/error.h"
#include "mapi/tags.h"
#include "mapi/unicode_strings.h"
#include "msg/msg.h"
#include "pst/read/pst_file.h"
#include "pst/store/message_compare.h"
#include "run_fixture.h"
#include "support/message_gen.h"
#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace qm;
using qm::testing::ScratchDir;
using json = nlohmann::json;

struct Cli {
    int code = -1;
    std::string out;
    std::string err;
};

Cli cli(const std::string& args) {
    ScratchDir tmp;
    Cli r;
    const std::string exe = qm::testing::shellQuote(qm::testing::binDir() + "/quillmark-cli");
    r.code = qm::testing::runCommand(exe + " " + args + " 2>" + (tmp / "err").string(), &r.out);
    std::ifstream in(tmp / "err");
    r.err.assign(std::istreambuf_iterator<char>(in), {});
    return r;
}

std::string q(const fs::path& p) {
    return qm::testing::shellQuote(p.string());
}

fs::path sharedDir(const char* sub) {
    const char* env = std::getenv("QM_SHARED_DIR");
    return env && *env ? fs::path(env) / sub : fs::path();
}

std::vector<fs::path> msgFilesUnder(const fs::path& dir) {
    std::vector<fs::path> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file() && e.path().extension() == ".msg") out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Every file and folder under `dir` with its bytes; none may be a temporary
// file left behind.
std::map<fs::path, std::string> contents(const fs::path& dir) {
    std::map<fs::path, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        EXPECT_FALSE(e.path().filename().string().starts_with(".")) << "left behind: " << e.path();
        std::ifstream in(e.path(), std::ios::binary);
        out[e.path()] = e.is_regular_file() ? std::string(std::istreambuf_iterator<char>(in), {})
                                            : std::string("<folder>");
    }
    return out;
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

// The flags (checked on their own) and what the store owns everywhere, at
// every depth; what else the store owns or adds is left out of the comparison
// by pst/store/message_compare.h, shared with the store's own round trips.
void eraseOwned(mapi::Message& m) {
    m.props.erase(mapi::tag::MessageFlags);
    pst::storetest::eraseIds(m.props, pst::storetest::kOwnedEverywhere);
    for (auto& r : m.recipients)
        pst::storetest::eraseIds(r.props, pst::storetest::kOwnedEverywhere);
    for (auto& a : m.attachments) {
        pst::storetest::eraseIds(a.props, pst::storetest::kOwnedEverywhere);
        if (a.embedded) eraseOwned(*a.embedded);
    }
}

void expectSameMessage(const fs::path& original, const fs::path& exported) {
    SCOPED_TRACE(original.string() + " -> " + exported.string());
    mapi::Message e = msg::readMsgFile(original);
    mapi::Message a = msg::readMsgFile(exported);
    expectMendedFlags(a, true, exported.string());
    const int cp = e.stringCodePage();
    EXPECT_EQ(pst::read::readableSubject(a.props, cp), pst::read::readableSubject(e.props, cp));
    eraseOwned(e);
    eraseOwned(a);
    mapi::decodeString8(a);
    pst::storetest::normalize(e, a);
    EXPECT_EQ(qm::testing::diffMessages(e, a), "");
}

// Converts `sources` into a store and exports it into `out`.
void convertAndExport(const fs::path& sources, const fs::path& pst, const fs::path& out) {
    const Cli c = cli("convert --quiet -o " + q(pst) + " " + q(sources));
    ASSERT_EQ(c.code, 0) << c.err;
    const Cli x = cli("export --quiet " + q(pst) + " " + q(out));
    ASSERT_EQ(x.code, 0) << x.err;
}

TEST(ExportRoundTrip, MessagesOurGeneratorsMake) {
    const auto spec = [](auto set) {
        qm::testing::MessageSpec s;
        set(s);
        return s;
    };
    const std::pair<std::string, qm::testing::MessageSpec> cases[] = {
        {"plain", {}},
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
    ScratchDir work;
    uint32_t seed = 7;
    for (auto [name, s] : cases) {
        s.subject = name;
        s.seed = seed++;
        qm::testing::writeMessage(work / "src" / (name + ".msg"), qm::testing::makeMessage(s));
    }
    ASSERT_NO_FATAL_FAILURE(convertAndExport(work / "src", work / "gen.pst", work / "out"));
    const auto files = msgFilesUnder(work / "out");
    ASSERT_EQ(files.size(), std::size(cases));
    // The generator adds non-Latin text to each subject; the case name starts it.
    for (const auto& [name, s] : cases) {
        auto it = std::find_if(files.begin(), files.end(), [&](const fs::path& f) {
            return f.filename().string().starts_with(name);
        });
        ASSERT_NE(it, files.end()) << name;
        expectSameMessage(work / "src" / (name + ".msg"), *it);
    }
}

TEST(ExportRoundTrip, EveryReadableCorpusMessage) {
    const fs::path corpus = sharedDir("corpus");
    if (corpus.empty() || !fs::exists(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
    size_t readable = 0;
    for (const fs::path& file : msgFilesUnder(corpus)) {
        try {
            msg::readMsgFile(file);
        } catch (const Error&) {
            continue;  // the corpus's broken files: the MSG tests cover them
        }
        ++readable;
        SCOPED_TRACE(file.string());
        ScratchDir work;
        ASSERT_NO_FATAL_FAILURE(convertAndExport(file, work / "c.pst", work / "o"));
        const auto files = msgFilesUnder(work / "o");
        ASSERT_EQ(files.size(), 1u);
        expectSameMessage(file, files[0]);
        // `show --json` reads the export as well as the original.
        EXPECT_EQ(cli("show --json " + q(files[0])).code, 0);
    }
    EXPECT_GT(readable, 40u);
}

TEST(ExportOutlookSamples, SubjectsAndAttachmentsAsPypffReadsThem) {
    const fs::path samples = sharedDir("pst-samples");
    if (samples.empty() || !fs::exists(samples)) GTEST_SKIP() << "no samples at " << samples;
    for (const char* name : {"Empty.pst", "sample1.pst", "submessage.pst", "test_unicode.pst"}) {
        SCOPED_TRACE(name);
        ScratchDir work;
        const Cli x = cli("export --json " + q(samples / name) + " " + q(work / "o"));
        ASSERT_EQ(x.code, 0) << x.err;
        const json doc = json::parse(x.out);
        const json pypff = qm::testing::dumpPst("pypff", samples / name);
        ASSERT_TRUE(pypff.is_object());
        // Exported files by store folder, in store order, as the JSON lists them.
        std::map<std::string, std::vector<std::string>> ours;
        std::string args;
        for (const auto& f : doc["files"]) {
            ours[f["folder"]].push_back(f["file"]);
            args += " " + q(f["file"].get<std::string>());
        }
        size_t total = 0;
        for (const auto& [folder, theirs] : pypff["folders"].items()) {
            EXPECT_TRUE(fs::is_directory(work / "o" / fs::path(folder))) << folder;
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
        EXPECT_EQ(qm::testing::runCommand("/usr/bin/python3 -c 'import olefile, sys\n"
                                          "for f in sys.argv[1:]:\n"
                                          "    assert olefile.OleFileIO(f).exists("
                                          "\"__properties_version1.0\")' " +
                                          args),
                  0);
    }
}

TEST(ExportNames, HostileTextBecomesASafeName) {
    std::string cjk;  // 120 characters of 3 bytes
    for (int i = 0; i < 120; ++i) cjk += "語";
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
        {"日本語のテキスト", "日本語のテキスト"},
        // Limits in characters and in bytes, cut at whole characters.
        {std::string(300, 'x'), std::string(100, 'x')},
        {std::string(99, 'a') + " b", std::string(99, 'a')},
        {cjk, cjk.substr(0, 85 * 3)},  // 255 bytes
    };
    for (const auto& c : cases) EXPECT_EQ(convert::safeName(c.in, "(none)"), c.out) << c.in;
    EXPECT_EQ(convert::candidateName("Same", ".msg", 1), "Same.msg");
    EXPECT_EQ(convert::candidateName("Same", ".msg", 12), "Same (12).msg");
    EXPECT_EQ(convert::candidateName(std::string(100, 'a'), ".msg", 3),
              std::string(92, 'a') + " (3).msg");
    EXPECT_EQ(convert::candidateName(cjk.substr(0, 85 * 3), ".msg", 2).size(), 82u * 3 + 8);
}

// A store made from a tree whose names clash once made safe.
class ExportIntoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const fs::path mail = work / "src" / "Mail";
        for (auto [file, subject] : std::vector<std::pair<std::string, std::string>>{
                 {"a.msg", "Same"}, {"b.msg", "same"}, {"c.msg", "con"}, {"d.msg", ""}}) {
            qm::testing::writeMessage(mail / file, qm::testing::testMessage(subject, 1));
        }
        qm::testing::writeMessage(mail / "x?" / "e.msg", qm::testing::testMessage("e"));
        qm::testing::writeMessage(mail / "x*" / "f.msg", qm::testing::testMessage("f"));
        const Cli c = cli("convert --quiet -o " + q(pst) + " " + q(work / "src"));
        ASSERT_EQ(c.code, 0) << c.err;
    }
    ScratchDir work;
    fs::path pst = work / "s.pst";
    fs::path out = work / "out";
    // Where the store's folder "Mail" lands: its path from the file-system root.
    fs::path exported = out / (work / "src" / "Mail").relative_path();
};

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
    contents(out);  // nothing left behind
}

TEST_F(ExportIntoTest, ExitCodesAndTheJsonReport) {
    // Messages whose first data block is damaged: the CRC fails, reading fails.
    for (const auto& [damaged, code] : {std::pair<size_t, int>{0, 0}, {1, 1}, {6, 2}}) {
        SCOPED_TRACE(damaged);
        ScratchDir run;
        fs::copy_file(pst, run / "s.pst");
        std::vector<uint64_t> offsets;
        {
            auto file = pst::read::PstFile::open(run / "s.pst");
            for (const auto& f : file->folderTree()) {
                for (auto nid : file->messageNids(f.folder.nid)) {
                    const auto bid = file->ndb().node(nid).bidData;
                    if (offsets.size() < damaged) offsets.push_back(file->ndb().findBlock(bid)->ib);
                }
            }
        }
        std::fstream f(run / "s.pst", std::ios::in | std::ios::out | std::ios::binary);
        for (uint64_t ib : offsets) {
            f.seekg(std::streamoff(ib));
            const char c = char(f.get() ^ 0x5A);
            f.seekp(std::streamoff(ib));
            f.put(c);
        }
        f.close();
        const Cli x = cli("export --json " + q(run / "s.pst") + " " + q(run / "o"));
        EXPECT_EQ(x.code, code) << x.err;
        const json doc = json::parse(x.out, nullptr, false);
        ASSERT_TRUE(doc.is_object()) << x.out;
        EXPECT_EQ(doc["messages"], 6);
        EXPECT_EQ(doc["exported"], 6 - damaged);
        EXPECT_EQ(doc["files"].size(), 6 - damaged);
        ASSERT_EQ(doc["failed"].size(), damaged);
        for (const auto& failed : doc["failed"]) {
            EXPECT_NE(failed["reason"].get<std::string>().find("CRC"), std::string::npos) << failed;
            EXPECT_NE(x.err.find(failed["nid"].get<std::string>()), std::string::npos) << x.err;
        }
        EXPECT_EQ(doc["pst"], (run / "s.pst").string());
    }
}

TEST_F(ExportIntoTest, BadInputsExportNothing) {
    std::ofstream(work / "text.pst") << "not a store at all";
    std::ofstream(work / "file") << "a file, not a folder";
    const fs::path ansi = sharedDir("pst-samples") / "sample2.pst";
    const struct {
        fs::path pst;
        fs::path dir;
        fs::path named;  // what the error names
    } cases[] = {
        {work / "text.pst", work / "o1", work / "text.pst"},
        {work / "none.pst", work / "o2", work / "none.pst"},
        {pst, work / "file", work / "file"},  // the destination is a file
        {ansi, work / "o3", ansi},            // the old ANSI format
    };
    for (const auto& c : cases) {
        if (!fs::exists(c.pst) && c.pst == ansi) continue;
        SCOPED_TRACE(c.named);
        const Cli x = cli("export " + q(c.pst) + " " + q(c.dir));
        EXPECT_EQ(x.code, 2);
        EXPECT_NE(x.err.find(c.named.string()), std::string::npos) << x.err;
        EXPECT_TRUE(x.out.empty()) << x.out;
        EXPECT_FALSE(fs::is_directory(c.dir));
    }
    EXPECT_EQ(contents(work.path()).at(work / "file"), "a file, not a folder");
    EXPECT_EQ(cli("export " + q(pst)).code, 2);  // no DIR: usage
}

}  // namespace
