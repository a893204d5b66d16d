// quillmark-cli convert as a user runs it: exit codes, the printed path, the
// JSON report, the streams, a SIGTERM in the middle of a run, --dedupe and
// --split-size.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "mapi/tags.h"
#include "run_fixture.h"
#include "support/message_gen.h"

namespace {

namespace fs = std::filesystem;
using qm::testing::ScratchDir;

std::string cli() {
    return qm::testing::binDir() + "/quillmark-cli";
}

struct Result {
    int code = -1;
    std::string out;
    std::string err;
};

// Runs the command line in `cwd`, capturing both streams; `as` goes before
// the program (a command that changes the user it runs as).
Result run(const std::string& args, const fs::path& cwd, const std::string& as = "") {
    ScratchDir tmp;
    const fs::path err = tmp.path() / "err";
    Result r;
    r.code = qm::testing::runCommand("cd " + qm::testing::shellQuote(cwd.string()) + " && " + as +
                                         qm::testing::shellQuote(cli()) + " convert " + args +
                                         " 2>" + qm::testing::shellQuote(err.string()),
                                     &r.out);
    std::ifstream in(err);
    r.err.assign(std::istreambuf_iterator<char>(in), {});
    return r;
}

std::string lastLine(const std::string& text) {
    std::string t = text;
    while (!t.empty() && t.back() == '\n') t.pop_back();
    const size_t nl = t.rfind('\n');
    return nl == std::string::npos ? t : t.substr(nl + 1);
}

class ConvertCliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(cli())) GTEST_SKIP() << "quillmark-cli is not built at " << cli();
        qm::testing::writeMessage(src.path() / "Mail" / "a.msg", qm::testing::testMessage("a"));
        qm::testing::writeMessage(src.path() / "Mail" / "2009" / "b.msg",
                                  qm::testing::testMessage("b", 1));
        // Not a message by the Add Folder test: never listed.
        std::ofstream(src.path() / "Mail" / "notes.txt") << "text";
    }
    ScratchDir src;
    ScratchDir work;
};

TEST_F(ConvertCliTest, PrintsTheStorePathAndConvertsFoldersAndRelativePaths) {
    fs::create_directories(work.path() / "sub");
    // Relative, with "." and ".." components: made absolute and normal.
    const fs::path rel = fs::relative(src.path(), work.path() / "sub");
    const Result r =
        run("--output-dir out ./" +
                qm::testing::shellQuote(rel.string() + "/../" + src.path().filename().string()),
            work.path() / "sub");
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string pst = lastLine(r.out);
    EXPECT_EQ(r.out, pst + "\n");  // nothing else on stdout
    EXPECT_TRUE(fs::path(pst).is_absolute());
    EXPECT_EQ(fs::path(pst).parent_path(), work.path() / "sub" / "out");
    EXPECT_TRUE(std::regex_match(
        fs::path(pst).filename().string(),
        std::regex(R"(OutlookMessages\d{1,2}\.\d{1,2}\.\d\d \d{1,2}\.\d{1,2}\.\d\d\.pst)")))
        << pst;
    EXPECT_NE(r.err.find("2 of 2"), std::string::npos) << r.err;

    const auto back = qm::testing::readEverywhere(pst);
    ASSERT_TRUE(back.is_object());
    std::string base;
    for (const auto& part : src.path().relative_path())
        base += (base.empty() ? "" : "\\") + part.string();
    EXPECT_EQ(back["folders"][base + "\\Mail"]["subjects"], nlohmann::json({"a"}));
    EXPECT_EQ(back["folders"][base + "\\Mail\\2009"]["subjects"], nlohmann::json({"b"}));
    EXPECT_EQ(back["folders"][base + "\\Mail\\2009"]["flags"], nlohmann::json({0x11}));
}

TEST_F(ConvertCliTest, JsonReportAndFailedMessages) {
    qm::testing::writeBroken(src.path() / "Mail" / "broken.MSG");
    const fs::path pst = work.path() / "named.pst";
    const Result r = run("--json --quiet -o " + qm::testing::shellQuote(pst.string()) + " " +
                             qm::testing::shellQuote(src.str()),
                         work.path());
    EXPECT_EQ(r.code, 1) << r.err;
    const auto doc = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_TRUE(doc.is_object()) << r.out;
    EXPECT_EQ(doc["pst"], pst.string());
    EXPECT_EQ(doc["messages"], 3);
    EXPECT_EQ(doc["converted"], 2);
    ASSERT_EQ(doc["failed"].size(), 1u);
    EXPECT_EQ(doc["failed"][0]["path"], (src.path() / "Mail" / "broken.MSG").string());
    EXPECT_FALSE(doc["failed"][0]["reason"].get<std::string>().empty());
    EXPECT_EQ(doc["folders"].get<int>() >= 2, true);
    EXPECT_GT(doc["bytes_in"].get<uint64_t>(), 0u);
    EXPECT_EQ(doc["bytes_out"].get<uint64_t>(), fs::file_size(pst));
    EXPECT_TRUE(doc["seconds"].is_number());
    EXPECT_TRUE(std::string(doc["display_name"]).starts_with("Quillmark : Created - "));
    // Lists this run leaves empty (no locked folder, no --dedupe, no --split-size) are there,
    // empty.
    for (const char* list : {"warnings", "skipped_folders", "duplicates", "parts"}) {
        EXPECT_EQ(doc[list], nlohmann::json::array()) << list;
    }
    // --quiet: no progress or summary, but the failure is an error and prints.
    EXPECT_NE(r.err.find("broken.MSG"), std::string::npos);
    EXPECT_EQ(r.err.find("message(s) converted"), std::string::npos) << r.err;

    // The same file again is never overwritten: nothing converted, exit 2.
    const auto size = fs::file_size(pst);
    const Result again = run("--json -o " + qm::testing::shellQuote(pst.string()) + " " +
                                 qm::testing::shellQuote(src.str()),
                             work.path());
    EXPECT_EQ(again.code, 2);
    const auto doc2 = nlohmann::json::parse(again.out, nullptr, false);
    ASSERT_TRUE(doc2.is_object()) << again.out;
    EXPECT_TRUE(doc2["pst"].is_null());
    EXPECT_NE(doc2["error"].get<std::string>().find("already exists"), std::string::npos);
    EXPECT_NE(again.err.find("no store file was written"), std::string::npos) << again.err;
    EXPECT_EQ(fs::file_size(pst), size);
}

TEST_F(ConvertCliTest, NameOrderAndAnUnreadableFolderSkippedWithExitOne) {
    // Made in reverse and mixed case: a listing in creation or hash order
    // would not come out sorted.
    const fs::path mail = src.path() / "Mail";
    std::vector<std::string> names;
    for (int i = 11; i >= 0; --i) {
        names.insert(names.begin(), (i % 2 ? "Copy" : "copy") + std::string(i < 10 ? "0" : "") +
                                        std::to_string(i) + ".msg");
        qm::testing::writeMessage(mail / names.front(), qm::testing::testMessage(names.front()));
    }
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
    const Result r =
        run("--json --output-dir out " + qm::testing::shellQuote(mail.string()), work.path(), as);
    EXPECT_EQ(r.code, 1) << r.err;
    const auto doc = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_TRUE(doc.is_object()) << r.out;
    EXPECT_EQ(doc["skipped_folders"], nlohmann::json::array({(mail / "locked").string()}));
    EXPECT_EQ(doc["messages"], 14);
    EXPECT_EQ(doc["converted"], 14);
    EXPECT_EQ(doc["failed"], nlohmann::json::array());
    EXPECT_TRUE(fs::exists(doc["pst"].get<std::string>()));
    EXPECT_NE(r.err.find((mail / "locked").string() + "/: list folder failed: Permission denied"),
              std::string::npos)
        << r.err;
    // Progress names the rows in list order: each folder's files by name,
    // then its sub-folders'.
    std::vector<std::string> expected = {(mail / "a.msg").string()};
    for (const std::string& n : names) expected.push_back((mail / n).string());
    expected.push_back((mail / "2009" / "b.msg").string());
    std::vector<std::string> progress;
    std::istringstream lines(r.err);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("(")) progress.push_back(line.substr(line.find(") ") + 2));
    }
    EXPECT_EQ(progress, expected) << r.err;
    // Named even with --quiet: a folder left out is never silent.
    const Result quiet =
        run("--quiet --output-dir out2 " + qm::testing::shellQuote(mail.string()), work.path(), as);
    EXPECT_EQ(quiet.code, 1);
    EXPECT_NE(quiet.err.find("skipped a folder that cannot be read: " + (mail / "locked").string()),
              std::string::npos)
        << quiet.err;
    // The given folder itself unreadable still refuses the run.
    const Result given = run(qm::testing::shellQuote((mail / "locked").string()), work.path(), as);
    EXPECT_EQ(given.code, 2);
    EXPECT_NE(given.err.find("locked/: list folder failed: Permission denied"), std::string::npos)
        << given.err;
}

TEST_F(ConvertCliTest, NothingToDoIsExitTwo) {
    ScratchDir empty;
    EXPECT_EQ(run(qm::testing::shellQuote(empty.str()), work.path()).code, 2);
    EXPECT_EQ(run(qm::testing::shellQuote((work.path() / "missing").string()), work.path()).code,
              2);
    EXPECT_EQ(
        run("--output-dir x -o y.pst " + qm::testing::shellQuote(src.str()), work.path()).code, 2);
    EXPECT_EQ(run("", work.path()).code, 2);
    // An empty argument (an unset variable in a script) is not the current
    // folder, even where that folder holds messages.
    const auto emptyArg = run("''", src.path());
    EXPECT_EQ(emptyArg.code, 2);
    EXPECT_NE(emptyArg.err.find("empty path"), std::string::npos) << emptyArg.err;
    // --codepage takes a positive integer and nothing else.
    for (const char* bad : {"0", "-1", "x", "1.5", "", "99999999999"}) {
        const auto r =
            run(std::string("--codepage=") + bad + " " + qm::testing::shellQuote(src.str()),
                work.path());
        EXPECT_EQ(r.code, 2) << bad;
        EXPECT_NE(r.err.find("--codepage"), std::string::npos) << bad << ": " << r.err;
    }
    for (const auto& e : fs::directory_iterator(work.path())) {
        EXPECT_NE(e.path().extension(), ".pst") << "a bad --codepage still made " << e.path();
    }
    // An output folder that cannot be made.
    std::ofstream(work.path() / "file") << "x";
    EXPECT_EQ(run("--output-dir file/sub " + qm::testing::shellQuote(src.str()), work.path()).code,
              2);
    EXPECT_TRUE(fs::is_empty(work.path()) || !fs::exists(work.path() / "x"));
}

TEST_F(ConvertCliTest, SigtermFinishesTheCurrentMessageAndCommits) {
    // Enough messages with long paths that progress lines fill a small pipe:
    // the run then waits on stderr until the signal has been sent.
    const fs::path deep = src.path() / std::string(120, 'd');
    const int total = 120;
    for (int i = 0; i < total; ++i) {
        qm::testing::writeMessage(deep / ("m" + std::to_string(i) + ".msg"),
                                  qm::testing::testMessage("m" + std::to_string(i)));
    }
    const fs::path out = work.path() / "out.json";
    int errPipe[2];
    ASSERT_EQ(pipe(errPipe), 0);
    fcntl(errPipe[0], F_SETPIPE_SZ, 4096);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(errPipe[1], 2);
        close(errPipe[0]);
        close(errPipe[1]);
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        const std::string dir = "--output-dir=" + work.str();
        execl(cli().c_str(), "quillmark-cli", "convert", "--json", dir.c_str(), deep.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(errPipe[1]);
    FILE* err = fdopen(errPipe[0], "r");
    char line[4096];
    ASSERT_NE(fgets(line, sizeof line, err), nullptr);  // the first message is done
    kill(pid, SIGTERM);
    while (fgets(line, sizeof line, err)) {
    }
    fclose(err);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 143);

    std::ifstream in(out);
    const auto doc = nlohmann::json::parse(in, nullptr, false);
    ASSERT_TRUE(doc.is_object());
    const int converted = doc["converted"];
    EXPECT_GE(converted, 1);
    EXPECT_LT(converted, total);
    EXPECT_EQ(doc["messages"], total);
    const auto back = qm::testing::readEverywhere(doc["pst"].get<std::string>());
    ASSERT_TRUE(back.is_object());
    size_t stored = 0;
    for (const auto& [path, folder] : back["folders"].items()) stored += folder["subjects"].size();
    EXPECT_EQ(stored, size_t(converted));
}

}  // namespace

qm::mapi::Message withMessageId(qm::mapi::Message m, const std::string& id) {
    m.props.set(qm::mapi::Property::utf8(qm::mapi::tag::InternetMessageId, id));
    return m;
}

std::vector<std::string> subjectsOf(const nlohmann::json& back) {
    std::vector<std::string> out;
    for (const auto& [path, folder] : back["folders"].items()) {
        for (const auto& s : folder["subjects"]) out.push_back(s.get<std::string>());
    }
    std::sort(out.begin(), out.end());
    return out;
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
    const std::string args = qm::testing::shellQuote((src.path() / "Mail").string()) + " " +
                             qm::testing::shellQuote(copy.string()) + " " +
                             qm::testing::shellQuote(first.string()) + " " +
                             qm::testing::shellQuote(second.string());

    const Result r = run("--json --dedupe -o once.pst " + args, work.path());
    ASSERT_EQ(r.code, 0) << r.err;  // skipping a duplicate is no failure
    const auto doc = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_TRUE(doc.is_object()) << r.out;
    EXPECT_EQ(doc["messages"], 5);
    EXPECT_EQ(doc["converted"], 3);
    EXPECT_EQ(doc["failed"], nlohmann::json::array());
    EXPECT_EQ(doc["duplicates"],
              nlohmann::json(
                  {{{"path", copy.string()}, {"same_as", (src.path() / "Mail" / "a.msg").string()}},
                   {{"path", second.string()}, {"same_as", first.string()}}}));
    EXPECT_NE(r.err.find("2 duplicate(s) skipped"), std::string::npos) << r.err;
    EXPECT_EQ(subjectsOf(qm::testing::readEverywhere(doc["pst"].get<std::string>())),
              (std::vector<std::string>{"a", "b", "x"}));

    // Without --dedupe every file is converted.
    const Result all = run("--json -o all.pst " + args, work.path());
    ASSERT_EQ(all.code, 0) << all.err;
    const auto allDoc = nlohmann::json::parse(all.out, nullptr, false);
    EXPECT_EQ(allDoc["converted"], 5);
    EXPECT_EQ(allDoc["duplicates"], nlohmann::json::array());
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
    const Result r = run("--split-size 1M -o " + qm::testing::shellQuote(pst.string()) + " " +
                             qm::testing::shellQuote(src.str()),
                         work.path());
    ASSERT_EQ(r.code, 0) << r.err;
    const Result j = run("--json --quiet --split-size 1024k -o " +
                             qm::testing::shellQuote((work.path() / "again.pst").string()) + " " +
                             qm::testing::shellQuote(src.str()),
                         work.path());
    ASSERT_EQ(j.code, 0) << j.err;
    const auto doc = nlohmann::json::parse(j.out, nullptr, false);
    ASSERT_TRUE(doc.is_object()) << j.out;
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
    const fs::path huge = src.path() / "huge.msg";
    qm::testing::writeMessage(huge, qm::testing::makeMessage(spec));
    const std::string a = (src.path() / "Mail" / "a.msg").string();
    const std::string b = (src.path() / "Mail" / "2009" / "b.msg").string();
    const Result r =
        run("--json --split-size 1M " + qm::testing::shellQuote(a) + " " +
                qm::testing::shellQuote(huge.string()) + " " + qm::testing::shellQuote(b),
            work.path());
    ASSERT_EQ(r.code, 0) << r.err;
    const auto doc = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_TRUE(doc.is_object()) << r.out;
    ASSERT_EQ(doc["parts"].size(), 3u) << doc.dump();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(doc["parts"][i]["messages"], 1);
    EXPECT_GT(doc["parts"][1]["bytes"].get<uint64_t>(), 1u << 20);
    ASSERT_EQ(doc["warnings"].size(), 1u) << doc.dump();
    EXPECT_EQ(doc["warnings"][0]["path"], huge.string());
    EXPECT_EQ(subjectsOf(qm::testing::readEverywhere(doc["parts"][1]["pst"].get<std::string>())),
              std::vector<std::string>{"huge"});

    // A part's name already taken: never overwritten; the rows that needed
    // the part fail with that cause, the first part stays whole.
    const fs::path taken = work.path() / "clash (2).pst";
    std::ofstream(taken) << "mine";
    const Result clash =
        run("--json --split-size 1M -o " +
                qm::testing::shellQuote((work.path() / "clash.pst").string()) + " " +
                qm::testing::shellQuote(a) + " " + qm::testing::shellQuote(huge.string()) + " " +
                qm::testing::shellQuote(b),
            work.path());
    EXPECT_EQ(clash.code, 1) << clash.err;
    const auto clashDoc = nlohmann::json::parse(clash.out, nullptr, false);
    ASSERT_TRUE(clashDoc.is_object()) << clash.out;
    EXPECT_EQ(clashDoc["converted"], 1);
    ASSERT_EQ(clashDoc["failed"].size(), 2u);
    for (const auto& f : clashDoc["failed"]) {
        EXPECT_NE(f["reason"].get<std::string>().find("already exists"), std::string::npos) << f;
    }
    EXPECT_EQ(fs::file_size(taken), 4u);
    EXPECT_EQ(subjectsOf(qm::testing::readEverywhere(work.path() / "clash.pst")),
              std::vector<std::string>{"a"});
}

TEST_F(ConvertCliTest, BadSplitSizesAreUsageErrors) {
    for (const char* bad :
         {"0", "0M", "x", "1023K", "1048575", "1.5G", "", "-1M", "10T", "M", "99999999999G"}) {
        const auto r =
            run(std::string("--split-size=") + bad + " " + qm::testing::shellQuote(src.str()),
                work.path());
        EXPECT_EQ(r.code, 2) << bad;
        EXPECT_NE(r.err.find("--split-size"), std::string::npos) << bad << ": " << r.err;
    }
    EXPECT_TRUE(fs::is_empty(work.path()));
}
