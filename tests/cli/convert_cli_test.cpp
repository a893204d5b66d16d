// quillmark-cli convert as a user runs it: exit codes, the printed path, the
// JSON report, the streams, and a SIGTERM in the middle of a run.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "run_fixture.h"

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
    // Lists this run leaves empty are there, empty.
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
