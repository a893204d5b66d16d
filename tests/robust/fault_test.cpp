// Conversions that run out of something: a file-size limit, a full disk, a
// destination folder removed mid-run, sources that cannot be read or that
// vanish or shrink while the run goes on. Each ends with a clear error and
// an exit code that says so (2, or 1 with the failures counted); the store
// keeps every message it committed, intact, and a source that fails fails
// alone.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "robust_util.h"

namespace qm::robust {
namespace {

struct Outcome {
    int code = -1;
    nlohmann::json report;
    std::string err;
};

Outcome convert(const fs::path& pst, const fs::path& src, const ChildOptions& options = {},
                const std::string& cli = cliPath()) {
    Outcome o;
    std::string out;
    o.code = runToEnd({cli, "convert", "--json", "-o", pst.string(), src.string()}, &out, &o.err,
                      options);
    o.report = nlohmann::json::parse(out, nullptr, false);
    return o;
}

std::string shellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class Faults : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(cliPath())) GTEST_SKIP() << "quillmark-cli is not built at " << cliPath();
    }
    ScratchDir dir_;
};

TEST_F(Faults, FileSizeLimitEndsWithAClearErrorAndKeepsTheCommittedStore) {
    const auto sources = writeMessageTree(dir_ / "src", 400, 4);
    const fs::path pst = dir_ / "limited.pst";
    constexpr rlim_t kLimit = 1200 * 1024;  // past the empty store, short of the whole run
    ChildOptions options;
    options.setup = [] {
        const struct rlimit lim = {kLimit, kLimit};
        ::setrlimit(RLIMIT_FSIZE, &lim);
    };
    const Outcome o = convert(pst, dir_ / "src", options);
    // Not killed by SIGXFSZ: the limit is an error the converter reports.
    ASSERT_TRUE(o.code == 1 || o.code == 2) << "exit " << o.code << "\n" << o.err;
    EXPECT_NE(o.err.find("File too large"), std::string::npos) << o.err;
    ASSERT_TRUE(fs::exists(pst));
    EXPECT_LE(fs::file_size(pst), kLimit);
    std::set<std::string> stored;
    EXPECT_EQ(verifyStore(pst, sources, &stored), "");
    ASSERT_TRUE(o.report.is_object()) << o.err;
    const size_t converted = o.report["converted"];
    // Messages added after the last commit are lost with the failed write:
    // they are reported lost, not converted, so "converted" is exactly what
    // the file holds.
    const size_t lost = o.report.value("lost", size_t(0));
    EXPECT_EQ(stored.size(), converted);
    EXPECT_EQ(converted + lost + o.report["failed"].size(), 400u);
    EXPECT_GT(o.report["failed"].size(), 0u);
    RecordProperty("converted", int(converted));
    RecordProperty("stored", int(stored.size()));
}

// A full disk: a small tmpfs of our own, mounted in a private user and
// mount namespace; the store is copied out before the namespace ends.
TEST_F(Faults, FullDiskEndsWithAClearErrorAndKeepsTheCommittedStore) {
    if (::access("/usr/bin/unshare", X_OK) != 0 ||
        runToEnd({"/usr/bin/unshare", "-rm", "/bin/true"}) != 0) {
        GTEST_SKIP() << "user and mount namespaces are not available here (unshare -rm)";
    }
    const auto sources = writeMessageTree(dir_ / "src", 400, 4);
    fs::create_directories(dir_ / "mnt");
    const fs::path kept = dir_ / "kept.pst";
    const std::string script = "mount -t tmpfs -o size=1200k qm-full " +
                               shellQuote((dir_ / "mnt").string()) + " || exit 99; " +
                               shellQuote(cliPath()) + " convert --json -o " +
                               shellQuote((dir_ / "mnt" / "full.pst").string()) + " " +
                               shellQuote((dir_ / "src").string()) + "; rc=$?; cp " +
                               shellQuote((dir_ / "mnt" / "full.pst").string()) + " " +
                               shellQuote(kept.string()) + "; exit $rc";
    std::string out;
    std::string err;
    const int code = runToEnd({"/usr/bin/unshare", "-rm", "/bin/sh", "-c", script}, &out, &err);
    ASSERT_NE(code, 99) << err;
    ASSERT_TRUE(code == 1 || code == 2) << "exit " << code << "\n" << err;
    EXPECT_NE(err.find("No space left on device"), std::string::npos) << err;
    ASSERT_TRUE(fs::exists(kept));
    std::set<std::string> stored;
    EXPECT_EQ(verifyStore(kept, sources, &stored), "");
    const auto report = nlohmann::json::parse(out, nullptr, false);
    ASSERT_TRUE(report.is_object()) << out;
    EXPECT_EQ(stored.size(), size_t(report["converted"]));
}

// A destination on a read-only file system: nothing can be created there,
// so nothing is converted (exit 2) and the error says why.
TEST_F(Faults, ReadOnlyDestinationIsExitTwoWithTheReason) {
    if (::access("/usr/bin/unshare", X_OK) != 0 ||
        runToEnd({"/usr/bin/unshare", "-rm", "/bin/true"}) != 0) {
        GTEST_SKIP() << "user and mount namespaces are not available here (unshare -rm)";
    }
    writeMessageTree(dir_ / "src", 5, 1);
    fs::create_directories(dir_ / "mnt");
    const std::string mnt = shellQuote((dir_ / "mnt").string());
    const std::string script =
        "mount -t tmpfs -o size=1m qm-ro " + mnt + " && mount -o remount,ro " + mnt +
        " || exit 99; " + shellQuote(cliPath()) + " convert --json -o " +
        shellQuote((dir_ / "mnt" / "ro.pst").string()) + " " + shellQuote((dir_ / "src").string());
    std::string out;
    std::string err;
    const int code = runToEnd({"/usr/bin/unshare", "-rm", "/bin/sh", "-c", script}, &out, &err);
    ASSERT_NE(code, 99) << err;
    EXPECT_EQ(code, 2) << err;
    EXPECT_NE(err.find("Read-only file system"), std::string::npos) << err;
    EXPECT_NE(err.find("no store file was written"), std::string::npos) << err;
}

// Sources that cannot be read fail one by one; the others convert. As
// root, permissions do not stop a read, so the converter then runs as
// nobody.
TEST_F(Faults, UnreadableSourcesFailAloneAndTheRunGoesOn) {
    const auto sources = writeMessageTree(dir_ / "src", 40, 2);
    std::set<std::string> locked;
    size_t i = 0;
    for (const auto& [key, path] : sources) {
        if (i++ % 7 == 3) {
            fs::permissions(path, fs::perms::none);
            locked.insert(path.string());
        }
    }
    ChildOptions options;
    std::string cli = cliPath();
    if (::geteuid() == 0) {
        for (const auto& p :
             {dir_.path(), dir_ / "src", dir_ / "src" / "folder0", dir_ / "src" / "folder1"}) {
            fs::permissions(p, fs::perms::all);
        }
        // The checkout may lie under a folder only root can enter; nobody
        // runs a copy from the scratch folder instead.
        cli = (dir_ / "quillmark-cli").string();
        fs::copy_file(cliPath(), cli);
        fs::permissions(cli, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
        for (fs::path up = dir_.path().parent_path(); up != up.root_path(); up = up.parent_path()) {
            if ((fs::status(up).permissions() & fs::perms::others_exec) == fs::perms::none) {
                GTEST_SKIP() << "nobody cannot enter " << up << ", above the scratch folder";
            }
        }
        options.setup = [] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
                ::_exit(125);
            }
        };
    }
    const Outcome o = convert(dir_ / "out.pst", dir_ / "src", options, cli);
    ASSERT_NE(o.code, 125) << "could not drop to nobody";
    EXPECT_EQ(o.code, 1) << o.err;
    ASSERT_TRUE(o.report.is_object()) << o.err;
    EXPECT_EQ(size_t(o.report["converted"]), sources.size() - locked.size());
    ASSERT_EQ(o.report["failed"].size(), locked.size());
    for (const auto& f : o.report["failed"]) {
        EXPECT_TRUE(locked.count(f["path"].get<std::string>())) << f["path"];
        EXPECT_NE(f["reason"].get<std::string>().find("ermission denied"), std::string::npos)
            << f["reason"];
    }
    std::set<std::string> stored;
    EXPECT_EQ(verifyStore(dir_ / "out.pst", sources, &stored), "");
    EXPECT_EQ(stored.size(), sources.size() - locked.size());
}

// Sources removed or cut short while the run is going: those not yet read
// fail, each with its reason; the run goes on and the rest convert.
TEST_F(Faults, SourcesVanishingOrShrinkingMidRunFailAlone) {
    const fs::path src = dir_ / std::string(150, 'v');
    const auto sources = writeMessageTree(src, 200, 2);
    const fs::path pst = dir_ / "out.pst";
    ChildOptions options;
    options.stdoutFile = dir_ / "report.json";
    options.stderrPipe = true;
    const Child child =
        spawn({cliPath(), "convert", "--json", "-o", pst.string(), src.string()}, options);
    ::fcntl(child.stderrFd, F_SETPIPE_SZ, 4096);
    FILE* err = ::fdopen(child.stderrFd, "r");
    char line[8192];
    ASSERT_NE(std::fgets(line, sizeof line, err), nullptr);
    // The converter waits on the full pipe: change the sources now.
    std::set<std::string> touched;
    size_t i = 0;
    for (const auto& [key, path] : sources) {
        if (++i % 5 != 0) continue;
        if (i % 10 == 0) {
            fs::remove(path);
        } else {
            fs::resize_file(path, fs::file_size(path) / 2);
        }
        touched.insert(path.string());
    }
    std::string rest;
    while (std::fgets(line, sizeof line, err)) rest += line;
    std::fclose(err);
    EXPECT_EQ(waitFor(child.pid), 1) << rest;

    std::ifstream in(dir_ / "report.json");
    const auto report = nlohmann::json::parse(in, nullptr, false);
    ASSERT_TRUE(report.is_object());
    const size_t converted = report["converted"];
    EXPECT_EQ(converted + report["failed"].size(), sources.size());
    EXPECT_GT(report["failed"].size(), 0u);
    for (const auto& f : report["failed"]) {
        EXPECT_TRUE(touched.count(f["path"].get<std::string>())) << f["path"];
        EXPECT_FALSE(f["reason"].get<std::string>().empty());
    }
    // Messages read before their file changed are stored whole; the check
    // compares them with what the file now holds only when it is intact.
    std::map<std::string, fs::path> intact;
    for (const auto& [key, path] : sources) {
        if (!touched.count(path.string())) intact.emplace(key, path);
    }
    std::set<std::string> stored;
    const std::string verdict = verifyStore(pst, intact, &stored);
    EXPECT_EQ(stored.size(), converted);
    // A touched file converted before it changed has no intact source to
    // compare with; only those may be reported.
    std::istringstream lines(verdict);
    for (std::string l; std::getline(lines, l);) {
        EXPECT_NE(l.find("has no source"), std::string::npos) << l;
    }
}

// The destination folder removed while the run writes into it: the run must
// not claim a store it can no longer deliver. The store notices at its next
// commit that its file has no name left.
TEST_F(Faults, DestinationRemovedMidRunIsReported) {
    const fs::path src = dir_ / std::string(150, 'd');
    writeMessageTree(src, 200, 2);
    const fs::path out = dir_ / "out";
    fs::create_directories(out);
    ChildOptions options;
    options.stdoutFile = dir_ / "report.json";
    options.stderrPipe = true;
    const Child child = spawn(
        {cliPath(), "convert", "--json", "-o", (out / "x.pst").string(), src.string()}, options);
    ::fcntl(child.stderrFd, F_SETPIPE_SZ, 4096);
    FILE* err = ::fdopen(child.stderrFd, "r");
    char line[8192];
    ASSERT_NE(std::fgets(line, sizeof line, err), nullptr);
    removeTree(out);
    std::string rest;
    while (std::fgets(line, sizeof line, err)) rest += line;
    std::fclose(err);
    const int code = waitFor(child.pid);
    EXPECT_TRUE(code == 1 || code == 2) << "exit " << code << "\n" << rest;
    EXPECT_NE(rest.find("x.pst"), std::string::npos) << rest;
}

}  // namespace
}  // namespace qm::robust
