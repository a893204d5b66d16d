// quillmark-cli's commands as a user runs them, exit codes included (signals,
// full disks, overwriting by convert: tests/robust).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

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

namespace {

namespace fs = std::filesystem;
using namespace qm;
using ::testing::HasSubstr;
using json = nlohmann::json;
using Args = std::vector<std::string>;
using qm::testing::Outcome;
using qm::testing::ScratchDir;

Outcome cli(Args args, const fs::path& cwd = fs::current_path(),
            qm::testing::ChildOptions options = {},
            const std::string& program = qm::testing::cliPath()) {
    args.insert(args.begin(), program);
    options.setup = [cwd, then = options.setup] {
        if (::chdir(cwd.c_str()) != 0) ::_exit(125);
        if (then) then();
    };
    return qm::testing::runToEnd(args, options);
}

std::vector<std::string> subjectsOf(const json& back) {
    std::vector<std::string> out;
    for (const auto& [path, folder] : back["folders"].items())
        for (const auto& s : folder["subjects"]) out.push_back(s.get<std::string>());
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<fs::path> msgFilesUnder(const fs::path& dir) {
    std::vector<fs::path> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file() && e.path().extension() == ".msg") out.push_back(e.path());
    return out;
}

class ConvertCliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        qm::testing::writeMessage(a, qm::testing::testMessage("a"));
        qm::testing::writeMessage(b, qm::testing::testMessage("b", 1));
        std::ofstream(src / "Mail/notes.txt") << "text";  // no message: never listed
    }
    Outcome convert(Args args, const fs::path& cwd) {
        args.insert(args.begin(), "convert");
        return cli(args, cwd, as_, program_);
    }
    // As nobody from here on when root, whom permission bits do not stop.
    void asNobody() {
        if (::geteuid() != 0) return;
        std::string why;
        program_ = qm::testing::cliAsNobody(work.path(), as_, why);
        if (program_.empty()) GTEST_SKIP() << why;
    }
    qm::testing::ChildOptions as_;
    std::string program_ = qm::testing::cliPath();
    ScratchDir src, work;
    const std::string a = (src / "Mail/a.msg").string();
    const std::string b = (src / "Mail/2009/b.msg").string();
};

// A broken file and a locked sub-folder: the rest convert, the broken one
// fails alone and the locked folder is named (exit 1), whatever the flags.
TEST_F(ConvertCliTest, ReportsFailuresAndSkippedFolders) {
    const std::string broken = (src / "Mail/broken.MSG").string();
    const std::string locked = (src / "Mail/locked").string();
    qm::testing::writeBroken(broken);
    qm::testing::writeMessage(locked + "/c.msg", qm::testing::testMessage("c"));
    fs::permissions(locked, fs::perms::none);
    asNobody();
    if (IsSkipped()) return;
    if (::geteuid() == 0) fs::permissions(src.path(), fs::perms::all, fs::perm_options::add);
    const Outcome r = convert({"--json", src.str()}, work.path());
    EXPECT_EQ(r.code, 1) << r.err;
    const json doc = r.report;
    EXPECT_EQ(fs::path(doc["pst"].get<std::string>()).parent_path(), work.path());
    EXPECT_EQ(doc["messages"], 3);
    EXPECT_EQ(doc["converted"], 2);
    ASSERT_EQ(doc["failed"].size(), 1u);
    EXPECT_EQ(doc["failed"][0]["path"], broken);
    EXPECT_EQ(doc["skipped_folders"], json::array({locked}));
    EXPECT_THAT(r.err, HasSubstr(locked + "/: list folder failed: Permission denied"));
    const std::string named = (work / "named.pst").string();
    const Outcome quiet = convert({"--quiet", "-o", named, src.str()}, work.path());
    EXPECT_EQ(quiet.code, 1);
    EXPECT_EQ(quiet.out, named + "\n");
    EXPECT_THAT(quiet.err, HasSubstr("skipped a folder that cannot be read: " + locked));
    EXPECT_EQ(convert({locked}, work.path()).code, 2);  // the given folder itself
}

// Each refused before anything is written: exit 2, the cause on stderr.
TEST_F(ConvertCliTest, UsageErrorsAndNothingToDoAreExitTwo) {
    ScratchDir empty;
    std::ofstream(work / "file") << "x";
    std::vector<std::pair<Args, std::string>> cases = {
        {{empty.str()}, "no .msg files found"},
        {{(work / "missing").string()}, "no such file or folder"},
        {{"--output-dir", "x", "-o", "y.pst", src.str()}, "--output-dir excludes -o"},
        {{}, "PATH is required"},
        // An unset variable in a script: not the current folder, which holds messages.
        {{""}, "empty path"},
        {{"--output-dir", "file/sub", src.str()}, "file/sub"},
    };
    for (const char* bad : {"0", "-1", "x", "1.5", "", "99999999999"})
        cases.push_back({{std::string("--codepage=") + bad, src.str()}, "--codepage"});
    for (const char* bad :
         {"0", "0M", "x", "1023K", "1048575", "1.5G", "", "-1M", "10T", "M", "99999999999G"})
        cases.push_back({{std::string("--split-size=") + bad, src.str()}, "--split-size"});
    for (const auto& [args, cause] : cases) {
        const Outcome r = convert(args, args == Args{""} ? src.path() : work.path());
        SCOPED_TRACE(args.empty() ? "" : args[0]);
        EXPECT_EQ(r.code, 2);
        EXPECT_THAT(r.err, HasSubstr(cause));
    }
    for (const auto& e : fs::recursive_directory_iterator(work.path()))
        EXPECT_NE(e.path().extension(), ".pst") << "a refused run still made " << e.path();
}

// Twelve messages of 150 KB in two folders, the second deeper (later parts
// make their own folders), one bigger than the size (a part of its own, a
// warning), a copy of "a" whose flags differ and two files sharing an Internet
// message id: the first of each converts, into numbered parts within the size.
TEST_F(ConvertCliTest, DedupeAndSplitSize) {
    Args subjects = {"a", "b", "huge", "x"};
    for (int i = 0; i < 12; ++i) {
        subjects.push_back("big " + std::to_string(i));
        qm::testing::writeMessage(
            src / (i % 2 ? "Mail/2009/deep" : "Mail") / ("m" + std::to_string(i) + ".msg"),
            qm::testing::makeMessage({.seed = uint32_t(100 + i),
                                      .subject = subjects.back(),
                                      .attachmentSizes = {150000}}));
    }
    const std::string huge = (src / "huge.msg").string();
    qm::testing::writeMessage(
        huge, qm::testing::makeMessage({.subject = "huge", .attachmentSizes = {1500000}}));
    const fs::path copy = src / "Other/copy.msg", first = src / "Other/id1.msg",
                   second = src / "Other/id2.msg";
    qm::testing::writeMessage(copy, qm::testing::testMessage("a", 0, 1));
    for (const auto& [path, subject] : {std::pair{first, "x"}, {second, "y"}}) {
        mapi::Message m = qm::testing::testMessage(subject);
        m.props.set(mapi::Property::utf8(mapi::tag::InternetMessageId, "<1@example>"));
        qm::testing::writeMessage(path, m);
    }
    std::sort(subjects.begin(), subjects.end());
    const Outcome j = convert({"--json", "--dedupe", "--split-size", "1024k", "-o",
                               (work / "again.pst").string(), src.str()},
                              work.path());
    ASSERT_EQ(j.code, 0) << j.err;
    const json doc = j.report;
    EXPECT_EQ(doc["messages"], 18);
    EXPECT_EQ(doc["converted"], 16);
    EXPECT_EQ(doc["duplicates"], json({{{"path", copy.string()}, {"same_as", a}},
                                       {{"path", second.string()}, {"same_as", first.string()}}}));
    ASSERT_EQ(doc["warnings"].size(), 1u) << doc.dump();
    EXPECT_EQ(doc["warnings"][0]["path"], huge);
    Args seen;
    for (size_t i = 0; i < doc["parts"].size(); ++i) {
        const auto& part = doc["parts"][i];
        const fs::path file = part["pst"].get<std::string>();
        const std::string suffix = i == 0 ? "" : " (" + std::to_string(i + 1) + ")";
        EXPECT_EQ(file, work / ("again" + suffix + ".pst"));
        EXPECT_EQ(part["bytes"].get<uint64_t>(), fs::file_size(file));
        const json back = qm::testing::readEverywhere(file);
        EXPECT_EQ(back["display_name"], doc["display_name"].get<std::string>() + suffix);
        const auto in = subjectsOf(back);
        EXPECT_EQ(int64_t(in.size()), part["messages"].get<int64_t>()) << file;
        EXPECT_TRUE(fs::file_size(file) <= 1u << 20 || in == Args{"huge"}) << file;
        seen.insert(seen.end(), in.begin(), in.end());
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, subjects);
    // A part's name already taken is never overwritten: its rows fail, part one stays whole.
    std::ofstream(work / "clash (2).pst") << "mine";
    const std::string clash = (work / "clash.pst").string();
    const Outcome c = convert({"--split-size", "1M", "-o", clash, a, huge, b}, work.path());
    EXPECT_EQ(c.code, 1) << c.err;
    EXPECT_EQ(c.out, clash + "\n");
    EXPECT_THAT(c.err, HasSubstr("1 of 3 message(s) converted, 2 failed"));
    EXPECT_THAT(c.err, HasSubstr("already exists"));
    EXPECT_EQ(fs::file_size(work / "clash (2).pst"), 4u);
    EXPECT_EQ(subjectsOf(qm::testing::readEverywhere(work / "clash.pst")), Args{"a"});
}

// Every file and folder under `dir` with its bytes; no temporary file may be left.
std::map<fs::path, std::string> contents(const fs::path& dir) {
    std::map<fs::path, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        EXPECT_FALSE(e.path().filename().string().starts_with(".")) << "left behind: " << e.path();
        out[e.path()] = e.is_regular_file() ? qm::testing::readText(e.path()) : "<folder>";
    }
    return out;
}

// Checks (with `where` set) the flags every message gets: read (top only) and
// has-attachment exactly with attachments; then drops them and what the store owns.
void eraseOwned(mapi::Message& m, const std::string& where = "", bool top = true) {
    if (!where.empty()) {
        const int32_t attach = m.attachments.empty() ? 0 : mapi::MSGFLAG_HASATTACH;
        const int32_t flags = m.props.int32(mapi::tag::MessageFlags).value_or(-1);
        EXPECT_EQ(top ? flags : flags & mapi::MSGFLAG_HASATTACH,
                  (top ? mapi::MSGFLAG_READ : 0) | attach)
            << where;
    }
    m.props.erase(mapi::tag::MessageFlags);
    pst::storetest::eraseIds(m.props, pst::storetest::kOwnedEverywhere);
    for (auto& r : m.recipients)
        pst::storetest::eraseIds(r.props, pst::storetest::kOwnedEverywhere);
    for (auto& a : m.attachments) {
        pst::storetest::eraseIds(a.props, pst::storetest::kOwnedEverywhere);
        if (a.embedded) eraseOwned(*a.embedded, where.empty() ? "" : where + " (embedded)", false);
    }
}

// Messages our generators make, then every readable message of the shared
// corpus, each through a store of its own and back, whole.
TEST(ExportRoundTrip, GeneratedAndCorpusMessages) {
    using Made = qm::testing::MessageSpec;
    const std::pair<std::string, Made> cases[] = {
        {"eight-bit cp1251", Made{.unicode = false, .allTypes = true}},
        {"every type, named",
         Made{.allTypes = true, .recipients = 4, .namedById = 5, .namedByName = 5}},
        {"attachments", Made{.attachmentSizes = {0, 10, 3u << 20}, .oleAttachment = true}},
        {"embedded three deep",
         Made{.recipients = 2, .embedDepth = 3, .htmlBody = true, .rtfBody = true}},
    };
    ScratchDir made;
    uint32_t seed = 7;
    for (auto [name, s] : cases) {
        s.subject = name;
        s.seed = seed++;
        qm::testing::writeMessage(made / (name + ".msg"), qm::testing::makeMessage(s));
    }
    std::vector<fs::path> files = msgFilesUnder(made.path());
    const auto corpus = qm::testing::sharedFiles("corpus", ".msg");
    for (const fs::path& file : corpus) {
        try {
            msg::readMsgFile(file);
            files.push_back(file);
        } catch (const Error&) {
            // the corpus's broken files: the MSG tests cover them
        }
    }
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        ScratchDir work;
        const Outcome c = cli({"convert", "--quiet", file.string()}, work.path());
        ASSERT_EQ(c.code, 0) << c.err;
        const std::string pst = c.out.substr(0, c.out.size() - 1);  // its path alone
        ASSERT_EQ(cli({"export", "--quiet", pst, (work / "o").string()}).code, 0);
        const auto out = msgFilesUnder(work / "o");
        ASSERT_EQ(out.size(), 1u);
        mapi::Message e = msg::readMsgFile(file);
        mapi::Message a = msg::readMsgFile(out[0]);
        const int cp = e.stringCodePage();
        EXPECT_EQ(pst::read::readableSubject(a.props, cp), pst::read::readableSubject(e.props, cp));
        eraseOwned(e);
        eraseOwned(a, out[0].string());
        mapi::decodeString8(a);
        pst::storetest::normalize(e, a);
        EXPECT_EQ(qm::testing::diffMessages(e, a), "");
        EXPECT_EQ(cli({"show", "--json", out[0].string()}).code, 0);
    }
    if (corpus.empty()) GTEST_SKIP() << "no corpus at $QM_SHARED_DIR/corpus; generated only";
    EXPECT_GT(files.size(), std::size(cases) + 40);
}

TEST(ExportNames, HostileTextBecomesASafeName) {
    std::string cjk;  // 120 characters of 3 bytes
    for (int i = 0; i < 120; ++i) cjk += "語";
    const std::pair<std::string, std::string> cases[] = {
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
        // Limits in characters and in bytes, cut at whole characters.
        {std::string(300, 'x'), std::string(100, 'x')},
        {std::string(99, 'a') + " b", std::string(99, 'a')},
        {cjk, cjk.substr(0, 85 * 3)},  // 255 bytes
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(convert::safeName(in, "(none)"), out) << in;
    EXPECT_EQ(convert::candidateName(std::string(100, 'a'), ".msg", 3),
              std::string(92, 'a') + " (3).msg");
}

// A store made from a tree whose names clash once made safe. Exit 0, 1 or 2
// as none, some or all messages fail (first data block damaged); exit 2,
// nothing made and what failed named for no store or no folder.
TEST(ExportInto, ClashesGetNumbersNothingIsOverwrittenAStopComesBetweenMessagesAndExitCodes) {
    ScratchDir work;
    const fs::path mail = work / "src/Mail", pst = work / "s.pst", out = work / "out";
    for (auto [file, subject] :
         {std::pair{"a.msg", "Same"}, {"b.msg", "same"}, {"c.msg", "con"}, {"d.msg", ""}})
        qm::testing::writeMessage(mail / file, qm::testing::testMessage(subject, 1));
    qm::testing::writeMessage(mail / "x?/e.msg", qm::testing::testMessage("e"));
    qm::testing::writeMessage(mail / "x*/f.msg", qm::testing::testMessage("f"));
    const Outcome c = cli({"convert", "--quiet", "-o", pst.string(), (work / "src").string()});
    ASSERT_EQ(c.code, 0) << c.err;
    // Where the store's folder "Mail" lands: its path from the file-system root.
    const fs::path exported = out / mail.relative_path();
    fs::create_directories(exported);
    std::ofstream(exported / "Same.msg") << "mine";
    std::ofstream(exported / "x_") << "a file where a folder would go";
    ASSERT_EQ(cli({"export", "--quiet", pst.string(), out.string()}).code, 0);
    // "Same" and "same" clash where case does not count (Windows, macOS).
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(exported))
        names.insert(convert::clashKey(e.path().filename().string()));
    EXPECT_EQ(names, (std::set<std::string>{"SAME.MSG", "SAME (2).MSG", "SAME (3).MSG", "_CON.MSG",
                                            "(NO SUBJECT).MSG", "X_", "X_ (2)", "X_ (3)"}));
    // The second run into the same folder adds beside the first, touching nothing.
    const auto before = contents(out);
    EXPECT_EQ(before.at(exported / "Same.msg"), "mine");
    ASSERT_EQ(cli({"export", "--quiet", pst.string(), out.string()}).code, 0);
    const auto after = contents(out);
    for (const auto& [path, bytes] : before) EXPECT_EQ(after.at(path), bytes) << path;
    EXPECT_EQ(msgFilesUnder(out).size(), 2 * 6u + 1);
    // Asked to stop, it stops once the message in hand is written.
    struct StopAfterOne : convert::ExportObserver {
        size_t done = 0;
        void exported(const convert::ExportedMessage&) override { ++done; }
        void failed(const convert::ExportFailure& f) override { ADD_FAILURE() << f.reason; }
        bool stopRequested() override { return done > 0; }
    } observer;
    const convert::ExportReport r = convert::exportStore(pst, work / "stopped", observer);
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.exported, 1u);
    EXPECT_EQ(msgFilesUnder(work / "stopped").size(), 1u);
    contents(work / "stopped");  // nothing left behind
    std::vector<uint64_t> offsets;
    const auto store = pst::read::PstFile::open(pst);
    for (const auto& f : store->folderTree())
        for (auto nid : store->messageNids(f.folder.nid))
            offsets.push_back(store->ndb().findBlock(store->ndb().node(nid).bidData)->ib);
    ASSERT_EQ(offsets.size(), 6u);
    for (size_t damaged : {0, 1, 6}) {
        SCOPED_TRACE(damaged);
        ScratchDir run;
        auto bytes = qm::testing::readFile(pst);
        for (size_t i = 0; i < damaged; ++i) bytes[offsets[i]] ^= 0x5A;
        qm::testing::writeFile(run / "s.pst", bytes);
        const Outcome x = cli({"export", "--json", (run / "s.pst").string(), (run / "o").string()});
        EXPECT_EQ(x.code, damaged == 0 ? 0 : damaged < 6 ? 1 : 2) << x.err;
        EXPECT_EQ(x.report["messages"], 6);
        EXPECT_EQ(x.report["exported"], 6 - damaged);
        EXPECT_EQ(x.report["files"].size(), 6 - damaged);
        EXPECT_EQ(x.report["failed"].size(), damaged);
    }
    std::ofstream(work / "text.pst") << "not a store at all";
    std::ofstream(work / "file") << "a file, not a folder";
    const Outcome text = cli({"export", (work / "text.pst").string(), (work / "o").string()});
    EXPECT_EQ(text.code, 2);
    EXPECT_THAT(text.err, HasSubstr((work / "text.pst").string()));
    EXPECT_FALSE(fs::exists(work / "o"));
    const Outcome file = cli({"export", pst.string(), (work / "file").string()});
    EXPECT_EQ(file.code, 2);
    EXPECT_THAT(file.err, HasSubstr((work / "file").string()));
    EXPECT_EQ(qm::testing::readText(work / "file"), "a file, not a folder");
    EXPECT_EQ(cli({"export", pst.string()}).code, 2);  // no DIR
}

// Outlook's files: listed and exported, a damaged one found faulty, the ANSI format refused.
TEST(CheckAndList, OutlooksFiles) {
    ScratchDir dir;
    EXPECT_EQ(cli({"check", (dir / "missing.pst").string()}).code, 2);
    EXPECT_EQ(cli({"check"}).code, 2);  // usage
    const fs::path samples = qm::testing::sharedDir("pst-samples");
    if (samples.empty()) GTEST_SKIP() << "no Outlook files at $QM_SHARED_DIR/pst-samples";
    auto b = qm::testing::readFile(samples / "Empty.pst");
    b[0x4400 + 3] ^= 0x01;  // an AMap bit: map, CRC and free count all disagree
    qm::testing::writeFile(dir / "bad.pst", b);
    const Outcome bad = cli({"check", (dir / "bad.pst").string()});
    EXPECT_EQ(bad.code, 1);
    EXPECT_THAT(bad.out, HasSubstr("AMap at 0x4400: page CRC mismatch\n"));
    const std::string ansi = (samples / "test_ansi.pst").string();
    EXPECT_EQ(cli({"check", ansi}).code, 2);
    EXPECT_EQ(cli({"list", ansi}).code, 2);
    const std::string sub = (samples / "submessage.pst").string();
    const std::string folders = "submessage\n  Deleted Items (0)\n  submessage (1)\n";
    EXPECT_EQ(cli({"list", sub}).out, folders);
    const Outcome r = cli({"list", "--messages", sub});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, folders + "    This is a message which has an embedded message attached\n");
    const Outcome x = cli({"export", "--json", sub, (dir / "o").string()});
    ASSERT_EQ(x.code, 0) << x.err;
    ASSERT_EQ(x.report["files"].size(), 1u);
    const mapi::Message m = msg::readMsgFile(x.report["files"][0]["file"].get<std::string>());
    EXPECT_TRUE(m.attachments.size() == 1 && m.attachments[0].embedded) << "the embedded message";
}

// show on a file our writer made: JSON and text; a file that is no message fails.
TEST(Show, JsonAndTextListEveryPartAndUnreadableFilesFail) {
    ScratchDir dir;
    const mapi::Message m = qm::testing::makeMessage({.allTypes = true,
                                                      .recipients = 2,
                                                      .attachmentSizes = {42},
                                                      .embedDepth = 1,
                                                      .namedById = 1,
                                                      .namedByName = 2});
    msg::writeMsgFile(m, dir / "show.msg");
    const Outcome shown = cli({"show", "--json", (dir / "show.msg").string()});
    ASSERT_EQ(shown.code, 0) << shown.err;
    const json& j = shown.report;
    EXPECT_EQ(j["properties"].size(), m.props.size());
    EXPECT_EQ(j["recipients"].size(), 2u);
    ASSERT_EQ(j["attachments"].size(), 2u);
    EXPECT_EQ(j["attachments"][1]["embedded"]["subject"], "Quillmark test message / level 1");
    EXPECT_EQ(cli({"show", (dir / "show.msg").string()}).code, 0);
    std::ofstream(dir / "bad.msg") << "not a compound file";
    EXPECT_EQ(cli({"show", (dir / "bad.msg").string()}).code, 2);
}

}  // namespace
