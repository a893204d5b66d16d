// quillmark-cli as a user runs it. convert: exit codes, the printed path, the
// JSON report, the streams, name order, --dedupe and --split-size (signals,
// full disks, overwriting: tests/robust). export: round trips, Outlook's
// samples against pypff, safe names, clashes, damage and exit codes. check,
// list and show: their output and exit codes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "convert/export_names.h"
#include "convert/export_store.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "mapi/unicode_strings.h"
#include "msg/msg.h"
#include "pst/read/pst_file.h"
#include "pst/store/message_compare.h"
#include "pst/store/store.h"
#include "run_fixture.h"
#include "support/message_gen.h"
#include "support/validators.h"

namespace {

namespace fs = std::filesystem;
using namespace qm;
using ::testing::HasSubstr;
using ::testing::Not;
using json = nlohmann::json;
using Args = std::vector<std::string>;
using qm::testing::ScratchDir;

using qm::testing::Outcome;

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

// The subjects a walk of readEverywhere's shows, sorted.
std::vector<std::string> subjectsOf(const json& back) {
    std::vector<std::string> out;
    for (const auto& [path, folder] : back["folders"].items()) {
        for (const auto& s : folder["subjects"]) out.push_back(s.get<std::string>());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<fs::path> msgFilesUnder(const fs::path& dir) {
    std::vector<fs::path> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file() && e.path().extension() == ".msg") out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

class ConvertCliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        qm::testing::writeMessage(a, qm::testing::testMessage("a"));
        qm::testing::writeMessage(b, qm::testing::testMessage("b", 1));
        // Not a message by the Add Folder test: never listed.
        std::ofstream(src / "Mail/notes.txt") << "text";
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

// Files made in reverse name order and mixed case, a broken file and a
// locked sub-folder: the rest convert in name order (each folder's files,
// then its sub-folders'), the broken one fails and the locked folder is
// named (exit 1), whatever the output flags; a taken -o is refused.
TEST_F(ConvertCliTest, StreamsReportNameOrderAndSkippedFolders) {
    const fs::path mail = src / "Mail";
    for (const char* name : {"copy3.msg", "Copy2.msg", "copy1.msg", "Copy0.msg"})
        qm::testing::writeMessage(mail / name, qm::testing::testMessage(name));
    const std::string broken = (mail / "broken.MSG").string();
    qm::testing::writeBroken(broken);
    Args expected = {a, broken};
    for (const char* name : {"Copy0.msg", "copy1.msg", "Copy2.msg", "copy3.msg"})
        expected.push_back((mail / name).string());
    expected.push_back(b);
    qm::testing::writeMessage(mail / "locked/c.msg", qm::testing::testMessage("c"));
    fs::permissions(mail / "locked", fs::perms::none);
    fs::create_directories(work / "sub");
    asNobody();
    if (IsSkipped()) return;
    if (::geteuid() == 0) {
        for (const fs::path& d : {src.path(), work / "sub"})
            fs::permissions(d, fs::perms::all, fs::perm_options::add);
    }
    const std::string locked = (mail / "locked").string();
    // Relative, with "." and ".." components: made absolute and normal.
    const fs::path rel = fs::relative(src.path(), work / "sub");
    const Outcome r = convert({"--json", "--output-dir", "out",
                               "./" + rel.string() + "/../" + src.path().filename().string()},
                              work / "sub");
    EXPECT_EQ(r.code, 1) << r.err;
    const json doc = r.report;
    const fs::path pst = doc["pst"].get<std::string>();
    EXPECT_EQ(pst.parent_path(), work / "sub/out");
    EXPECT_TRUE(std::regex_match(
        pst.filename().string(),
        std::regex(R"(OutlookMessages\d{1,2}\.\d{1,2}\.\d\d \d{1,2}\.\d{1,2}\.\d\d\.pst)")))
        << pst;
    EXPECT_EQ(doc["messages"], 7);
    EXPECT_EQ(doc["converted"], 6);
    ASSERT_EQ(doc["failed"].size(), 1u);
    EXPECT_EQ(doc["failed"][0]["path"], broken);
    EXPECT_EQ(doc["skipped_folders"], json::array({locked}));
    EXPECT_GE(doc["folders"].get<int>(), 2);
    EXPECT_GT(doc["bytes_in"].get<uint64_t>(), 0u);
    EXPECT_EQ(doc["bytes_out"].get<uint64_t>(), fs::file_size(pst));
    EXPECT_TRUE(doc["seconds"].is_number());
    // Lists this run leaves empty (no --dedupe, no --split-size) are there.
    for (const char* list : {"warnings", "duplicates", "parts"})
        EXPECT_EQ(doc[list], json::array()) << list;
    EXPECT_THAT(r.err, HasSubstr("6 of 7"));
    EXPECT_THAT(r.err, HasSubstr(locked + "/: list folder failed: Permission denied"));
    std::vector<std::string> progress;
    std::istringstream lines(r.err);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("(")) progress.push_back(line.substr(line.find(") ") + 2));
    }
    EXPECT_EQ(progress, expected) << r.err;
    qm::testing::readEverywhere(pst);

    // --quiet: no progress or summary; the store's path alone on stdout; the
    // failure prints, naming the file once; a folder left out is never silent.
    const std::string named = (work / "named.pst").string();
    const Outcome quiet = convert({"--quiet", "-o", named, mail.string()}, work.path());
    EXPECT_EQ(quiet.code, 1);
    EXPECT_EQ(quiet.out, named + "\n");
    EXPECT_THAT(quiet.err, HasSubstr("failed: " + broken + ": "));
    EXPECT_THAT(quiet.err, Not(HasSubstr(broken + ": " + broken)));
    EXPECT_THAT(quiet.err, Not(HasSubstr("message(s) converted")));
    EXPECT_THAT(quiet.err, HasSubstr("skipped a folder that cannot be read: " + locked));
    // The same file again (never overwritten: tests/robust): no store in the report.
    const Outcome again = convert({"--json", "-o", named, mail.string()}, work.path());
    EXPECT_TRUE(again.report["pst"].is_null());
    EXPECT_THAT(again.report["error"].get<std::string>(), HasSubstr("already exists"));
    EXPECT_THAT(again.err, HasSubstr("no store file was written"));
    // The given folder itself unreadable refuses the run.
    const Outcome given = convert({locked}, work.path());
    EXPECT_EQ(given.code, 2);
    EXPECT_THAT(given.err, HasSubstr("locked/: list folder failed: Permission denied"));
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
        // An empty argument (an unset variable in a script) is not the
        // current folder, even where that folder holds messages.
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

// The same content in a different file (its flags differ), and two files
// sharing an Internet message id whatever else they hold: with --dedupe the
// first of each only, and skipping a duplicate is no failure.
TEST_F(ConvertCliTest, DedupeConvertsTheFirstOfEachMessageOnly) {
    const fs::path copy = src / "Other/copy.msg", first = src / "Other/id1.msg",
                   second = src / "Other/id2.msg";
    qm::testing::writeMessage(copy, qm::testing::testMessage("a", 0, 1));
    for (const auto& [path, subject] : {std::pair{first, "x"}, {second, "y"}}) {
        mapi::Message m = qm::testing::testMessage(subject);
        m.props.set(mapi::Property::utf8(mapi::tag::InternetMessageId, "<1@example>"));
        qm::testing::writeMessage(path, m);
    }
    const Args paths = {(src / "Mail").string(), copy.string(), first.string(), second.string()};
    Args args = {"--json", "--dedupe", "-o", "once.pst"};
    args.insert(args.end(), paths.begin(), paths.end());
    const Outcome r = convert(args, work.path());
    ASSERT_EQ(r.code, 0) << r.err;
    const json doc = r.report;
    EXPECT_EQ(doc["messages"], 5);
    EXPECT_EQ(doc["converted"], 3);
    EXPECT_EQ(doc["failed"], json::array());
    EXPECT_EQ(doc["duplicates"], json({{{"path", copy.string()}, {"same_as", a}},
                                       {{"path", second.string()}, {"same_as", first.string()}}}));
    EXPECT_THAT(r.err, HasSubstr("2 duplicate(s) skipped"));
    EXPECT_EQ(subjectsOf(qm::testing::readEverywhere(doc["pst"].get<std::string>())),
              (Args{"a", "b", "x"}));
    // Without --dedupe, and without -o: the store goes into the current folder.
    args = {"--json"};
    args.insert(args.end(), paths.begin(), paths.end());
    const Outcome all = convert(args, work.path());
    ASSERT_EQ(all.code, 0) << all.err;
    EXPECT_EQ(fs::path(all.report["pst"].get<std::string>()).parent_path(), work.path());
    EXPECT_EQ(all.report["converted"], 5);
    EXPECT_EQ(all.report["duplicates"], json::array());
}

// Twelve messages of about 150 KB over two folders, the second deeper than
// the first, so later parts must make their own folders, and one bigger
// than the size, which gets a part of its own with a warning: every other
// part within the size, its path on a line of its own, its name and display
// name numbered, and every message in exactly one part.
TEST_F(ConvertCliTest, SplitSizeWritesPartsWithinTheSize) {
    Args subjects = {"a", "b", "huge"};
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
    std::sort(subjects.begin(), subjects.end());
    const Outcome r =
        convert({"--split-size", "1M", "-o", (work / "out.pst").string(), src.str()}, work.path());
    ASSERT_EQ(r.code, 0) << r.err;
    const Outcome j = convert({"--json", "--quiet", "--split-size", "1024k", "-o",
                               (work / "again.pst").string(), src.str()},
                              work.path());
    ASSERT_EQ(j.code, 0) << j.err;
    const json doc = j.report;
    EXPECT_EQ(doc["converted"], 15);
    ASSERT_GE(doc["parts"].size(), 4u) << doc.dump();
    ASSERT_EQ(doc["warnings"].size(), 1u) << doc.dump();
    EXPECT_EQ(doc["warnings"][0]["path"], huge);
    std::string expectedOut;
    uint64_t bytes = 0;
    Args seen;
    for (size_t i = 0; i < doc["parts"].size(); ++i) {
        const auto& part = doc["parts"][i];
        const fs::path file = part["pst"].get<std::string>();
        const std::string suffix = i == 0 ? "" : " (" + std::to_string(i + 1) + ")";
        expectedOut += (work / ("out" + suffix + ".pst")).string() + "\n";
        EXPECT_EQ(file, work / ("again" + suffix + ".pst"));
        EXPECT_EQ(part["display_name"], doc["display_name"].get<std::string>() + suffix);
        EXPECT_EQ(part["bytes"].get<uint64_t>(), fs::file_size(file));
        EXPECT_GT(part["messages"].get<int64_t>(), 0) << file;
        bytes += part["bytes"].get<uint64_t>();
        const json back = qm::testing::readEverywhere(file);
        EXPECT_EQ(back["display_name"], part["display_name"]);
        const auto in = subjectsOf(back);
        EXPECT_EQ(int64_t(in.size()), part["messages"].get<int64_t>()) << file;
        if (fs::file_size(file) > 1u << 20) {
            EXPECT_EQ(in, Args{"huge"}) << file;
        }
        seen.insert(seen.end(), in.begin(), in.end());
    }
    EXPECT_EQ(r.out, expectedOut);
    EXPECT_EQ(bytes, doc["bytes_out"].get<uint64_t>());
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, subjects);
    // A part's name already taken is never overwritten: the rows that needed
    // that part fail with that cause, the first part stays whole.
    std::ofstream(work / "clash (2).pst") << "mine";
    const Outcome clash =
        convert({"--json", "--split-size", "1M", "-o", (work / "clash.pst").string(), a, huge, b},
                work.path());
    EXPECT_EQ(clash.code, 1) << clash.err;
    const json clashDoc = clash.report;
    EXPECT_EQ(clashDoc["converted"], 1);
    ASSERT_EQ(clashDoc["failed"].size(), 2u);
    for (const auto& f : clashDoc["failed"])
        EXPECT_THAT(f["reason"].get<std::string>(), HasSubstr("already exists"));
    EXPECT_EQ(fs::file_size(work / "clash (2).pst"), 4u);
    EXPECT_EQ(subjectsOf(qm::testing::readEverywhere(work / "clash.pst")), Args{"a"});
}

// Every file and folder under `dir` with its bytes; none may be a temporary
// file left behind.
std::map<fs::path, std::string> contents(const fs::path& dir) {
    std::map<fs::path, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        EXPECT_FALSE(e.path().filename().string().starts_with(".")) << "left behind: " << e.path();
        out[e.path()] = e.is_regular_file() ? qm::testing::readText(e.path()) : "<folder>";
    }
    return out;
}

// Checks (with `where` set) the flags the store gives every message: read,
// plus has-attachment exactly when there are attachments (embedded messages
// keep their other bits). Then drops the flags and what the store owns at
// every depth; pst/store/message_compare.h, shared with the store's own round
// trips, leaves the rest out of the comparison.
void eraseOwned(mapi::Message& m, const std::string& where = "", bool top = true) {
    if (!where.empty()) {
        const auto flags = m.props.int32(mapi::tag::MessageFlags);
        ASSERT_TRUE(flags.has_value()) << where;
        const int32_t attach = m.attachments.empty() ? 0 : mapi::MSGFLAG_HASATTACH;
        EXPECT_EQ(top ? *flags : *flags & mapi::MSGFLAG_HASATTACH,
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

void expectSameMessage(const fs::path& original, const fs::path& exported) {
    SCOPED_TRACE(original.string() + " -> " + exported.string());
    mapi::Message e = msg::readMsgFile(original);
    mapi::Message a = msg::readMsgFile(exported);
    const int cp = e.stringCodePage();
    EXPECT_EQ(pst::read::readableSubject(a.props, cp), pst::read::readableSubject(e.props, cp));
    eraseOwned(e);
    eraseOwned(a, exported.string());
    mapi::decodeString8(a);
    pst::storetest::normalize(e, a);
    EXPECT_EQ(qm::testing::diffMessages(e, a), "");
}

void convertAndExport(const fs::path& sources, const fs::path& pst, const fs::path& out) {
    const Outcome c = cli({"convert", "--quiet", "-o", pst.string(), sources.string()});
    ASSERT_EQ(c.code, 0) << c.err;
    const Outcome x = cli({"export", "--quiet", pst.string(), out.string()});
    ASSERT_EQ(x.code, 0) << x.err;
}

// Messages our generators make, then every readable message of the shared
// corpus, each through a store of its own and back.
TEST(ExportRoundTrip, GeneratedAndCorpusMessages) {
    using Made = qm::testing::MessageSpec;
    const std::pair<std::string, Made> cases[] = {
        {"plain", {}},
        {"eight-bit cp1251", Made{.unicode = false, .allTypes = true}},
        {"every type", Made{.allTypes = true, .recipients = 4}},
        {"attachments", Made{.attachmentSizes = {0, 10, 3u << 20}}},
        {"embedded three deep", Made{.recipients = 2, .embedDepth = 3}},
        {"OLE storage", Made{.oleAttachment = true}},
        {"named properties", Made{.namedById = 5, .namedByName = 5}},
        {"html and rtf", Made{.htmlBody = true, .rtfBody = true}},
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
    const bool withCorpus = !corpus.empty();
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
        ASSERT_NO_FATAL_FAILURE(convertAndExport(file, work / "c.pst", work / "o"));
        const auto out = msgFilesUnder(work / "o");
        ASSERT_EQ(out.size(), 1u);
        expectSameMessage(file, out[0]);
        // `show --json` reads the export as well as the original.
        EXPECT_EQ(cli({"show", "--json", out[0].string()}).code, 0);
    }
    if (!withCorpus) GTEST_SKIP() << "no corpus at $QM_SHARED_DIR/corpus; generated messages only";
    EXPECT_GT(files.size(), std::size(cases) + 40);
}

// Exported files by store folder, in store order as the JSON lists them,
// against pypff's subjects and attachment counts (olefile reads what our
// writer makes in tests/msg).
TEST(ExportOutlookSamples, SubjectsAndAttachmentsAsPypffReadsThem) {
    const fs::path samples = qm::testing::sharedDir("pst-samples");
    if (samples.empty() || !fs::exists(samples)) GTEST_SKIP() << "no samples at " << samples;
    for (const char* name : {"Empty.pst", "sample1.pst", "submessage.pst", "test_unicode.pst"}) {
        SCOPED_TRACE(name);
        ScratchDir work;
        const Outcome x =
            cli({"export", "--json", (samples / name).string(), (work / "o").string()});
        ASSERT_EQ(x.code, 0) << x.err;
        const json doc = x.report;
        const auto pypff = qm::testing::validators::pypff(samples / name);
        if (!pypff.ran()) GTEST_SKIP() << pypff.skipped;
        ASSERT_TRUE(pypff.walk.is_object()) << pypff.diagnostics;
        std::map<std::string, std::vector<std::string>> ours;
        for (const auto& f : doc["files"]) ours[f["folder"]].push_back(f["file"]);
        size_t total = 0;
        for (const auto& [folder, theirs] : pypff.walk["contents"].items()) {
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
    }
}

TEST(ExportNames, HostileTextBecomesASafeName) {
    std::string cjk;  // 120 characters of 3 bytes
    for (int i = 0; i < 120; ++i) cjk += "語";
    const std::pair<std::string, std::string> cases[] = {
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
    for (const auto& [in, out] : cases) EXPECT_EQ(convert::safeName(in, "(none)"), out) << in;
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
        const fs::path mail = work / "src/Mail";
        for (auto [file, subject] : std::vector<std::pair<std::string, std::string>>{
                 {"a.msg", "Same"}, {"b.msg", "same"}, {"c.msg", "con"}, {"d.msg", ""}}) {
            qm::testing::writeMessage(mail / file, qm::testing::testMessage(subject, 1));
        }
        qm::testing::writeMessage(mail / "x?/e.msg", qm::testing::testMessage("e"));
        qm::testing::writeMessage(mail / "x*/f.msg", qm::testing::testMessage("f"));
        const Outcome c = cli({"convert", "--quiet", "-o", pst.string(), (work / "src").string()});
        ASSERT_EQ(c.code, 0) << c.err;
    }
    Outcome exportTo(const fs::path& store, const fs::path& dir, const char* flag = "--quiet") {
        return cli({"export", flag, store.string(), dir.string()});
    }
    ScratchDir work;
    fs::path pst = work / "s.pst";
    fs::path out = work / "out";
    // Where the store's folder "Mail" lands: its path from the file-system root.
    fs::path exported = out / (work / "src/Mail").relative_path();
};

TEST_F(ExportIntoTest, ClashesGetNumbersNothingIsOverwrittenAndAStopComesBetweenMessages) {
    fs::create_directories(exported);
    std::ofstream(exported / "Same.msg") << "mine";
    std::ofstream(exported / "x_") << "a file where a folder would go";
    const Outcome first = exportTo(pst, out);
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
    const Outcome second = exportTo(pst, out);
    ASSERT_EQ(second.code, 0) << second.err;
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
    const auto files = msgFilesUnder(work / "stopped");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NO_THROW(msg::readMsgFile(files[0]));
    contents(work / "stopped");  // nothing left behind
}

// Messages whose first data block is damaged: the CRC fails, reading fails;
// none, some or all of them, exit 0, 1 or 2.
TEST_F(ExportIntoTest, ExitCodesAndTheJsonReport) {
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
        const Outcome x = exportTo(run / "s.pst", run / "o", "--json");
        EXPECT_EQ(x.code, code) << x.err;
        const json doc = x.report;
        EXPECT_EQ(doc["pst"], (run / "s.pst").string());
        EXPECT_EQ(doc["messages"], 6);
        EXPECT_EQ(doc["exported"], 6 - damaged);
        EXPECT_EQ(doc["files"].size(), 6 - damaged);
        ASSERT_EQ(doc["failed"].size(), damaged);
        for (const auto& failed : doc["failed"]) {
            EXPECT_THAT(failed["reason"].get<std::string>(), HasSubstr("CRC"));
            EXPECT_THAT(x.err, HasSubstr(failed["nid"].get<std::string>()));
        }
    }
}

// Not a store, no file, a destination that is a file, the old ANSI format:
// exit 2, the error names what failed, nothing is made; no DIR is usage.
TEST_F(ExportIntoTest, BadInputsExportNothing) {
    std::ofstream(work / "text.pst") << "not a store at all";
    std::ofstream(work / "file") << "a file, not a folder";
    const fs::path ansi = qm::testing::sharedDir("pst-samples") / "sample2.pst";
    const struct {
        fs::path pst, dir, named;
    } cases[] = {
        {work / "text.pst", work / "o1", work / "text.pst"},
        {work / "none.pst", work / "o2", work / "none.pst"},
        {pst, work / "file", work / "file"},
        {ansi, work / "o3", ansi},
    };
    for (const auto& c : cases) {
        if (!fs::exists(c.pst) && c.pst == ansi) continue;
        SCOPED_TRACE(c.named);
        const Outcome x = cli({"export", c.pst.string(), c.dir.string()});
        EXPECT_EQ(x.code, 2);
        EXPECT_THAT(x.err, HasSubstr(c.named.string()));
        EXPECT_EQ(x.out, "");
        EXPECT_FALSE(fs::is_directory(c.dir));
    }
    EXPECT_EQ(contents(work.path()).at(work / "file"), "a file, not a folder");
    EXPECT_EQ(cli({"export", pst.string()}).code, 2);
}

// Outlook's files and one of ours, nested, with non-ASCII names.
TEST(CheckAndList, OutlooksFilesAndOurs) {
    ScratchDir dir;
    const fs::path file = dir / "Nested store.pst";
    {
        auto store = pst::Store::create(file, "Nested ✓ store");
        const auto b = store->addFolder(store->addFolder(store->ipmSubtree(), "Mail"), "2009");
        store->addFolder(b, "Empty");
        mapi::Message m;
        m.props.set(mapi::Property::utf8(mapi::tag::Subject, "Hello ✓"));
        store->addMessage(b, m);
        store->addMessage(b, m);
    }
    const Outcome ours = cli({"list", "--messages", file.string()});
    EXPECT_EQ(ours.code, 0);
    EXPECT_EQ(ours.out,
              "Nested ✓ store\n  Deleted Items (0)\n  Mail (0)\n    2009 (2)\n      Hello ✓\n"
              "      Hello ✓\n      Empty (0)\n");
    const Outcome clean = cli({"check", file.string()});
    EXPECT_EQ(clean.code, 0);
    EXPECT_EQ(clean.out, "");
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
    // One finding per line, each "where: what".
    size_t lines = 0, start = 0;
    for (size_t nl; (nl = bad.out.find('\n', start)) != std::string::npos; start = nl + 1, ++lines)
        EXPECT_NE(bad.out.substr(start, nl - start).find(": "), std::string::npos);
    EXPECT_GE(lines, 2u);
    const std::string ansi = (samples / "test_ansi.pst").string();
    const Outcome old = cli({"check", ansi});
    EXPECT_EQ(old.code, 2);
    EXPECT_THAT(old.out + old.err, HasSubstr("ANSI"));
    EXPECT_EQ(cli({"list", ansi}).code, 2);
    const std::string sub = (samples / "submessage.pst").string();
    const std::string folders = "submessage\n  Deleted Items (0)\n  submessage (1)\n";
    EXPECT_EQ(cli({"list", sub}).out, folders);
    const Outcome r = cli({"list", "--messages", sub});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, folders + "    This is a message which has an embedded message attached\n");
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
    EXPECT_EQ(j["class"], "IPM.Note");
    EXPECT_EQ(j["subject"], "Quillmark test message");
    EXPECT_EQ(j["properties"].size(), m.props.size());
    EXPECT_EQ(j["recipients"].size(), 2u);
    ASSERT_EQ(j["attachments"].size(), 2u);
    EXPECT_EQ(j["attachments"][0]["name"], "file0.bin Grüße 日本語 Привет");
    EXPECT_EQ(j["attachments"][0]["size"], 42);
    EXPECT_EQ(j["attachments"][1]["method"], 5);
    EXPECT_EQ(j["attachments"][1]["embedded"]["subject"], "Quillmark test message / level 1");
    const auto subject = json::parse(R"({"tag": "0x0037001F", "name": "PidTagSubject",
        "type": "PtypString", "value": "Quillmark test message"})");
    int seen = 0;
    for (auto p : j["properties"]) {
        p.erase("size");
        seen += p == subject;
        if (p.contains("named") && p["named"].value("name", "") == "Keywords") {
            seen += 2;
            EXPECT_EQ(p["named"]["set"], "{00020329-0000-0000-C000-000000000046}");
            EXPECT_EQ(p["value"][1], "Привет");
        }
    }
    EXPECT_EQ(seen, 3) << "the subject and the Keywords named property, once each";

    const Outcome text = cli({"show", (dir / "show.msg").string()});
    ASSERT_EQ(text.code, 0) << text.err;
    for (const char* want :
         {"Subject: Quillmark test message", "0x0037001F  PidTagSubject", "Recipients (2)"})
        EXPECT_THAT(text.out, HasSubstr(want));
    std::ofstream(dir / "bad.msg") << "not a compound file";
    const Outcome bad = cli({"show", (dir / "bad.msg").string()});
    EXPECT_EQ(bad.code, 2);
    EXPECT_EQ(bad.out, "");
    EXPECT_THAT(bad.err, HasSubstr("bad.msg"));
}

}  // namespace
