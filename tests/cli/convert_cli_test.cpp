// quillmark-cli convert as a user runs it: exit codes, the printed path, the
// JSON report, the streams, --dedupe and --split-size. Signals in the middle
// of a run are tests/robust/interrupt_test.cpp's.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "mapi/tags.h"
#include "run_fixture.h"
#include "support/message_gen.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using qm::testing::ScratchDir;
using qm::testing::shellQuote;

std::string cli() {
    return qm::testing::binDir() + "/quillmark-cli";
}

struct Result {
    int code = -1;
    std::string out;
    std::string err;
    json doc() const {
        json d = json::parse(out, nullptr, false);
        EXPECT_TRUE(d.is_object()) << out << err;
        return d.is_object() ? d : json::object();
    }
};

// Runs `quillmark-cli convert ARGS...` in `cwd`, each argument quoted,
// capturing both streams; `as` goes before the program (a command that
// changes the user it runs as).
Result run(const std::vector<std::string>& args, const fs::path& cwd, const std::string& as = "") {
    ScratchDir tmp;
    const fs::path err = tmp.path() / "err";
    std::string command =
        "cd " + shellQuote(cwd.string()) + " && " + as + shellQuote(cli()) + " convert";
    for (const std::string& a : args) command += " " + shellQuote(a);
    Result r;
    r.code = qm::testing::runCommand(command + " 2>" + shellQuote(err.string()), &r.out);
    std::ifstream in(err);
    r.err.assign(std::istreambuf_iterator<char>(in), {});
    return r;
}

std::vector<std::string> subjectsOf(const json& back) {
    std::vector<std::string> out;
    for (const auto& [path, folder] : back["folders"].items()) {
        for (const auto& s : folder["subjects"]) out.push_back(s.get<std::string>());
    }
    std::sort(out.begin(), out.end());
    return out;
}

class ConvertCliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(cli())) GTEST_SKIP() << "quillmark-cli is not built at " << cli();
        qm::testing::writeMessage(a, qm::testing::testMessage("a"));
        qm::testing::writeMessage(b, qm::testing::testMessage("b", 1));
        // Not a message by the Add Folder test: never listed.
        std::ofstream(src.path() / "Mail" / "notes.txt") << "text";
    }
    ScratchDir src;
    ScratchDir work;
    const std::string a = (src.path() / "Mail" / "a.msg").string();
    const std::string b = (src.path() / "Mail" / "2009" / "b.msg").string();
};

TEST_F(ConvertCliTest, PrintsTheStorePathAndConvertsFoldersAndRelativePaths) {
    fs::create_directories(work.path() / "sub");
    // Relative, with "." and ".." components: made absolute and normal.
    const fs::path rel = fs::relative(src.path(), work.path() / "sub");
    const Result r =
        run({"--output-dir", "out", "./" + rel.string() + "/../" + src.path().filename().string()},
            work.path() / "sub");
    ASSERT_EQ(r.code, 0) << r.err;
    const fs::path pst = r.out.substr(0, r.out.size() - 1);
    EXPECT_EQ(r.out, pst.string() + "\n");  // nothing else on stdout
    EXPECT_EQ(pst.parent_path(), work.path() / "sub" / "out");
    EXPECT_TRUE(std::regex_match(
        pst.filename().string(),
        std::regex(R"(OutlookMessages\d{1,2}\.\d{1,2}\.\d\d \d{1,2}\.\d{1,2}\.\d\d\.pst)")))
        << pst;
    EXPECT_NE(r.err.find("2 of 2"), std::string::npos) << r.err;

    const auto back = qm::testing::readEverywhere(pst);
    std::string base;
    for (const auto& part : src.path().relative_path())
        base += (base.empty() ? "" : "\\") + part.string();
    EXPECT_EQ(back["folders"][base + "\\Mail"]["subjects"], json({"a"}));
    EXPECT_EQ(back["folders"][base + "\\Mail\\2009"]["subjects"], json({"b"}));
    EXPECT_EQ(back["folders"][base + "\\Mail\\2009"]["flags"], json({0x11}));
}

TEST_F(ConvertCliTest, JsonReportAndFailedMessages) {
    qm::testing::writeBroken(src.path() / "Mail" / "broken.MSG");
    const fs::path pst = work.path() / "named.pst";
    const Result r = run({"--json", "--quiet", "-o", pst.string(), src.str()}, work.path());
    EXPECT_EQ(r.code, 1) << r.err;
    const json doc = r.doc();
    EXPECT_EQ(doc["pst"], pst.string());
    EXPECT_EQ(doc["messages"], 3);
    EXPECT_EQ(doc["converted"], 2);
    ASSERT_EQ(doc["failed"].size(), 1u);
    EXPECT_EQ(doc["failed"][0]["path"], (src.path() / "Mail" / "broken.MSG").string());
    EXPECT_FALSE(doc["failed"][0]["reason"].get<std::string>().empty());
    EXPECT_GE(doc["folders"].get<int>(), 2);
    EXPECT_GT(doc["bytes_in"].get<uint64_t>(), 0u);
    EXPECT_EQ(doc["bytes_out"].get<uint64_t>(), fs::file_size(pst));
    EXPECT_TRUE(doc["seconds"].is_number());
    EXPECT_TRUE(std::string(doc["display_name"]).starts_with("Quillmark : Created - "));
    // Lists this run leaves empty (no locked folder, no --dedupe, no
    // --split-size) are there, empty.
    for (const char* list : {"warnings", "skipped_folders", "duplicates", "parts"})
        EXPECT_EQ(doc[list], json::array()) << list;
    // --quiet: no progress or summary, but the failure is an error and prints,
    // naming the file once.
    const std::string broken = (src.path() / "Mail" / "broken.MSG").string();
    EXPECT_NE(r.err.find("failed: " + broken + ": "), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(broken + ": " + broken), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("message(s) converted"), std::string::npos) << r.err;

    // The same file again is never overwritten: nothing converted, exit 2.
    const auto size = fs::file_size(pst);
    const Result again = run({"--json", "-o", pst.string(), src.str()}, work.path());
    EXPECT_EQ(again.code, 2);
    EXPECT_TRUE(again.doc()["pst"].is_null());
    EXPECT_NE(again.doc()["error"].get<std::string>().find("already exists"), std::string::npos);
    EXPECT_NE(again.err.find("no store file was written"), std::string::npos) << again.err;
    EXPECT_EQ(fs::file_size(pst), size);
}

TEST_F(ConvertCliTest, NameOrderAndAnUnreadableFolderSkippedWithExitOne) {
    // Made in reverse and mixed case: a listing in creation or hash order
    // would not come out sorted.
    const fs::path mail = src.path() / "Mail";
    std::vector<std::string> expected = {a};
    for (int i = 11; i >= 0; --i) {
        const std::string name =
            (i % 2 ? "Copy" : "copy") + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".msg";
        expected.insert(expected.begin() + 1, (mail / name).string());
        qm::testing::writeMessage(mail / name, qm::testing::testMessage(name));
    }
    expected.push_back(b);
    qm::testing::writeMessage(mail / "locked" / "c.msg", qm::testing::testMessage("c"));
    fs::permissions(mail / "locked", fs::perms::none);
    // Permission bits do not stop root: run as nobody then.
    std::string as;
    if (::geteuid() == 0) {
        if (qm::testing::runCommand("command -v setpriv >/dev/null") != 0)
            GTEST_SKIP() << "running as root and setpriv is missing: the locked folder is readable";
        as = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
        for (const fs::path& d : {src.path(), work.path()})
            fs::permissions(d, fs::perms::all, fs::perm_options::add);
    }
    const std::string locked = (mail / "locked").string();
    const Result r = run({"--json", "--output-dir", "out", mail.string()}, work.path(), as);
    EXPECT_EQ(r.code, 1) << r.err;
    const json doc = r.doc();
    EXPECT_EQ(doc["skipped_folders"], json::array({locked}));
    EXPECT_EQ(doc["messages"], 14);
    EXPECT_EQ(doc["converted"], 14);
    EXPECT_EQ(doc["failed"], json::array());
    EXPECT_TRUE(fs::exists(doc["pst"].get<std::string>()));
    EXPECT_NE(r.err.find(locked + "/: list folder failed: Permission denied"), std::string::npos)
        << r.err;
    // Progress names the rows in list order: each folder's files by name,
    // then its sub-folders'.
    std::vector<std::string> progress;
    std::istringstream lines(r.err);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("(")) progress.push_back(line.substr(line.find(") ") + 2));
    }
    EXPECT_EQ(progress, expected) << r.err;
    // Named even with --quiet: a folder left out is never silent.
    const Result quiet = run({"--quiet", "--output-dir", "out2", mail.string()}, work.path(), as);
    EXPECT_EQ(quiet.code, 1);
    EXPECT_NE(quiet.err.find("skipped a folder that cannot be read: " + locked), std::string::npos)
        << quiet.err;
    // The given folder itself unreadable still refuses the run.
    const Result given = run({locked}, work.path(), as);
    EXPECT_EQ(given.code, 2);
    EXPECT_NE(given.err.find("locked/: list folder failed: Permission denied"), std::string::npos)
        << given.err;
}

// Each refused before anything is written: exit 2, the cause on stderr.
TEST_F(ConvertCliTest, UsageErrorsAndNothingToDoAreExitTwo) {
    ScratchDir empty;
    std::ofstream(work.path() / "file") << "x";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{empty.str()}, "no .msg files found"},
        {{(work.path() / "missing").string()}, "no such file or folder"},
        {{"--output-dir", "x", "-o", "y.pst", src.str()}, "--output-dir excludes -o"},
        {{}, "PATH is required"},
        // An empty argument (an unset variable in a script) is not the
        // current folder, even where that folder holds messages.
        {{""}, "empty path"},
        {{"--output-dir", "file/sub", src.str()}, "file/sub"},
    };
    std::vector<std::pair<std::vector<std::string>, std::string>> all = cases;
    for (const char* bad : {"0", "-1", "x", "1.5", "", "99999999999"})
        all.push_back({{std::string("--codepage=") + bad, src.str()}, "--codepage"});
    for (const char* bad :
         {"0", "0M", "x", "1023K", "1048575", "1.5G", "", "-1M", "10T", "M", "99999999999G"})
        all.push_back({{std::string("--split-size=") + bad, src.str()}, "--split-size"});
    for (const auto& [args, cause] : all) {
        const Result r = run(args, args == std::vector<std::string>{""} ? src.path() : work.path());
        const std::string shown = args.empty() ? "" : args[0];
        EXPECT_EQ(r.code, 2) << shown;
        EXPECT_NE(r.err.find(cause), std::string::npos) << shown << ": " << r.err;
    }
    for (const auto& e : fs::recursive_directory_iterator(work.path()))
        EXPECT_NE(e.path().extension(), ".pst") << "a refused run still made " << e.path();
}

qm::mapi::Message withMessageId(qm::mapi::Message m, const std::string& id) {
    m.props.set(qm::mapi::Property::utf8(qm::mapi::tag::InternetMessageId, id));
    return m;
}

TEST_F(ConvertCliTest, DedupeConvertsTheFirstOfEachMessageOnly) {
    // The same content in a different file (its flags differ), and two
    // files sharing an Internet message id whatever else they hold.
    const fs::path copy = src.path() / "Other" / "copy.msg";
    qm::testing::writeMessage(copy, qm::testing::testMessage("a", 0, 1));
    const fs::path first = src.path() / "Other" / "id1.msg";
    const fs::path second = src.path() / "Other" / "id2.msg";
    qm::testing::writeMessage(first, withMessageId(qm::testing::testMessage("x"), "<1@example>"));
    qm::testing::writeMessage(second, withMessageId(qm::testing::testMessage("y"), "<1@example>"));
    const std::vector<std::string> paths = {(src.path() / "Mail").string(), copy.string(),
                                            first.string(), second.string()};
    std::vector<std::string> args = {"--json", "--dedupe", "-o", "once.pst"};
    args.insert(args.end(), paths.begin(), paths.end());
    const Result r = run(args, work.path());
    ASSERT_EQ(r.code, 0) << r.err;  // skipping a duplicate is no failure
    const json doc = r.doc();
    EXPECT_EQ(doc["messages"], 5);
    EXPECT_EQ(doc["converted"], 3);
    EXPECT_EQ(doc["failed"], json::array());
    EXPECT_EQ(doc["duplicates"], json({{{"path", copy.string()}, {"same_as", a}},
                                       {{"path", second.string()}, {"same_as", first.string()}}}));
    EXPECT_NE(r.err.find("2 duplicate(s) skipped"), std::string::npos) << r.err;
    EXPECT_EQ(subjectsOf(qm::testing::readEverywhere(doc["pst"].get<std::string>())),
              (std::vector<std::string>{"a", "b", "x"}));
    // Without --dedupe every file is converted.
    args = {"--json", "-o", "all.pst"};
    args.insert(args.end(), paths.begin(), paths.end());
    const Result all = run(args, work.path());
    ASSERT_EQ(all.code, 0) << all.err;
    EXPECT_EQ(all.doc()["converted"], 5);
    EXPECT_EQ(all.doc()["duplicates"], json::array());
}

TEST_F(ConvertCliTest, SplitSizeWritesPartsWithinTheSize) {
    constexpr uint64_t kSize = 1 << 20;
    // Twelve messages of about 150 KB over two folders, a second folder
    // deeper than the first, so later parts must make their own folders.
    std::vector<std::string> subjects = {"a", "b"};
    for (int i = 0; i < 12; ++i) {
        qm::testing::MessageSpec spec;
        spec.seed = uint32_t(100 + i);
        spec.subject = "big " + std::to_string(i);
        spec.attachmentSizes = {150000};
        qm::testing::writeMessage(
            src.path() / (i % 2 ? "Mail/2009/deep" : "Mail") / ("m" + std::to_string(i) + ".msg"),
            qm::testing::makeMessage(spec));
        subjects.push_back(spec.subject);
    }
    std::sort(subjects.begin(), subjects.end());
    const fs::path pst = work.path() / "out.pst";
    const Result r = run({"--split-size", "1M", "-o", pst.string(), src.str()}, work.path());
    ASSERT_EQ(r.code, 0) << r.err;
    const Result j = run({"--json", "--quiet", "--split-size", "1024k", "-o",
                          (work.path() / "again.pst").string(), src.str()},
                         work.path());
    ASSERT_EQ(j.code, 0) << j.err;
    const json doc = j.doc();
    EXPECT_EQ(doc["converted"], 14);
    ASSERT_GE(doc["parts"].size(), 3u) << doc.dump();

    // Every part's path on a line of its own, the last part's last.
    std::string expectedOut;
    for (size_t n = 1; n <= doc["parts"].size(); ++n) {
        expectedOut +=
            (n == 1 ? pst : work.path() / ("out (" + std::to_string(n) + ").pst")).string() + "\n";
    }
    EXPECT_EQ(r.out, expectedOut);

    int64_t messages = 0;
    uint64_t bytes = 0;
    std::vector<std::string> seen;
    for (size_t i = 0; i < doc["parts"].size(); ++i) {
        const auto& part = doc["parts"][i];
        const fs::path file = part["pst"].get<std::string>();
        const std::string suffix = i == 0 ? "" : " (" + std::to_string(i + 1) + ")";
        EXPECT_EQ(file, work.path() / ("again" + suffix + ".pst"));
        EXPECT_EQ(part["display_name"], doc["display_name"].get<std::string>() + suffix);
        EXPECT_EQ(part["bytes"].get<uint64_t>(), fs::file_size(file));
        EXPECT_LE(fs::file_size(file), kSize) << file;
        EXPECT_GT(part["messages"].get<int64_t>(), 0) << file;
        messages += part["messages"].get<int64_t>();
        bytes += part["bytes"].get<uint64_t>();
        const auto back = qm::testing::readEverywhere(file);
        EXPECT_EQ(back["display_name"], part["display_name"]);
        const auto in = subjectsOf(back);
        EXPECT_EQ(int64_t(in.size()), part["messages"].get<int64_t>()) << file;
        seen.insert(seen.end(), in.begin(), in.end());
    }
    EXPECT_EQ(messages, doc["converted"].get<int64_t>());
    EXPECT_EQ(bytes, doc["bytes_out"].get<uint64_t>());
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, subjects);
}

TEST_F(ConvertCliTest, SplitSizeGivesABigMessageItsOwnPartAndOverwritesNoPart) {
    qm::testing::MessageSpec spec;
    spec.subject = "huge";
    spec.attachmentSizes = {1500000};
    const std::string huge = (src.path() / "huge.msg").string();
    qm::testing::writeMessage(huge, qm::testing::makeMessage(spec));
    const Result r = run({"--json", "--split-size", "1M", a, huge, b}, work.path());
    ASSERT_EQ(r.code, 0) << r.err;
    const json doc = r.doc();
    ASSERT_EQ(doc["parts"].size(), 3u) << doc.dump();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(doc["parts"][i]["messages"], 1);
    EXPECT_GT(doc["parts"][1]["bytes"].get<uint64_t>(), 1u << 20);
    ASSERT_EQ(doc["warnings"].size(), 1u) << doc.dump();
    EXPECT_EQ(doc["warnings"][0]["path"], huge);
    EXPECT_EQ(subjectsOf(qm::testing::readEverywhere(doc["parts"][1]["pst"].get<std::string>())),
              std::vector<std::string>{"huge"});

    // A part's name already taken: never overwritten; the rows that needed
    // the part fail with that cause, the first part stays whole.
    const fs::path taken = work.path() / "clash (2).pst";
    std::ofstream(taken) << "mine";
    const Result clash = run(
        {"--json", "--split-size", "1M", "-o", (work.path() / "clash.pst").string(), a, huge, b},
        work.path());
    EXPECT_EQ(clash.code, 1) << clash.err;
    const json clashDoc = clash.doc();
    EXPECT_EQ(clashDoc["converted"], 1);
    ASSERT_EQ(clashDoc["failed"].size(), 2u);
    for (const auto& f : clashDoc["failed"])
        EXPECT_NE(f["reason"].get<std::string>().find("already exists"), std::string::npos) << f;
    EXPECT_EQ(fs::file_size(taken), 4u);
    EXPECT_EQ(subjectsOf(qm::testing::readEverywhere(work.path() / "clash.pst")),
              std::vector<std::string>{"a"});
}

}  // namespace
