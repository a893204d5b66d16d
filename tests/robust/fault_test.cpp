// Conversions that run out of something or are stopped: SIGINT and SIGTERM,
// a file-size limit, a full or read-only disk, a destination folder removed
// mid-run, sources that cannot be read or that vanish or shrink while the
// run goes on. Each ends with a clear error and an exit code that says so
// (128 + signal, 2, or 1 with the failures counted); the store keeps every
// message it committed, intact, and a source that fails fails alone.
//
// And what a run writes: the output path is created exclusively (an
// existing file, a link to one, to a folder or to nowhere at that path, or
// at the timestamped name in --output-dir, is never written through), and no
// name taken from a message ever becomes a path: a run creates the one .pst
// and nothing else.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <sstream>

#include "mapi/tags.h"
#include "run_fixture.h"
#include "support/message_gen.h"

namespace qm::testing {
namespace {

Outcome convert(const fs::path& pst, const fs::path& src, const ChildOptions& options = {},
                const std::string& cli = cliPath()) {
    return runToEnd({cli, "convert", "--json", "-o", pst.string(), src.string()}, options);
}

// The store holds exactly the messages the report counts as converted, each
// equal to its source.
void expectConvertedKept(const Outcome& o, const fs::path& pst,
                         const std::map<std::string, fs::path>& sources) {
    ASSERT_TRUE(o.report.is_object()) << o.out << o.err;
    std::set<std::string> stored;
    EXPECT_EQ(verifyStore(pst, sources, &stored), "");
    EXPECT_EQ(stored.size(), size_t(o.report["converted"]));
}

using Faults = CliTest;

class Interrupt : public Faults, public ::testing::WithParamInterface<int> {};

TEST_P(Interrupt, FinishesTheMessageCommitsAndExitsWith128PlusSignal) {
    // Long folder names make long progress lines, so the converter soon
    // waits on the small stderr pipe: the signal lands mid-run.
    const fs::path src = dir_ / std::string(150, 's');
    const auto sources = writeMessageTree(src, 150, 3);
    const Outcome o =
        convertMidRun(dir_ / "out.pst", src, [&](pid_t pid) { ::kill(pid, GetParam()); });
    EXPECT_EQ(o.code, 128 + GetParam());
    expectConvertedKept(o, dir_ / "out.pst", sources);
    EXPECT_GE(size_t(o.report["converted"]), 1u);
    EXPECT_LT(size_t(o.report["converted"]), sources.size()) << "the signal came too late";
    EXPECT_TRUE(o.report["failed"].empty());
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupt, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

// Out of room: a file-size limit; a full disk, a small tmpfs of our own in a
// private user and mount namespace (the store is copied out before the
// namespace ends); and a read-only one, where nothing can be created, so
// nothing is converted.
TEST_F(Faults, OutOfRoomEndsWithAClearErrorAndKeepsTheCommittedStore) {
    const auto sources = writeMessageTree(dir_ / "src", 400, 4);
    constexpr rlim_t kLimit = 1200 * 1024;  // past the empty store, short of the whole run
    ChildOptions options;
    options.setup = [] {
        const struct rlimit lim = {kLimit, kLimit};
        ::setrlimit(RLIMIT_FSIZE, &lim);
    };
    Outcome o = convert(dir_ / "limited.pst", dir_ / "src", options);
    // Not killed by SIGXFSZ: the limit is an error the converter reports.
    ASSERT_TRUE(o.code == 1 || o.code == 2) << "exit " << o.code << "\n" << o.err;
    EXPECT_NE(o.err.find("File too large"), std::string::npos) << o.err;
    EXPECT_LE(fs::file_size(dir_ / "limited.pst"), kLimit);
    expectConvertedKept(o, dir_ / "limited.pst", sources);
    // Messages added after the last commit are lost with the failed write:
    // they are reported lost, not converted.
    EXPECT_EQ(size_t(o.report["converted"]) + o.report.value("lost", size_t(0)) +
                  o.report["failed"].size(),
              400u);
    EXPECT_GT(o.report["failed"].size(), 0u);

    if (::access("/usr/bin/unshare", X_OK) != 0 ||
        runToEnd({"/usr/bin/unshare", "-rm", "/bin/true"}).code != 0) {
        GTEST_SKIP() << "user and mount namespaces are not available here (unshare -rm)";
    }
    fs::create_directories(dir_ / "mnt");
    const std::string mnt = shellQuote((dir_ / "mnt").string());
    const std::string pst = shellQuote((dir_ / "mnt" / "out.pst").string());
    const std::string run = shellQuote(cliPath()) + " convert --json -o " + pst + " " +
                            shellQuote((dir_ / "src").string()) + "; rc=$?; ";
    auto inNamespace = [](const std::string& script) {
        return runToEnd({"/usr/bin/unshare", "-rm", "/bin/sh", "-c", script});
    };
    o = inNamespace("mount -t tmpfs -o size=1200k qm-full " + mnt + " || exit 99; " + run + "cp " +
                    pst + " " + shellQuote((dir_ / "kept.pst").string()) + "; exit $rc");
    ASSERT_TRUE(o.code == 1 || o.code == 2) << "exit " << o.code << "\n" << o.err;
    EXPECT_NE(o.err.find("No space left on device"), std::string::npos) << o.err;
    expectConvertedKept(o, dir_ / "kept.pst", sources);

    o = inNamespace("mount -t tmpfs -o size=1m qm-ro " + mnt + " && mount -o remount,ro " + mnt +
                    " || exit 99; " + run + "exit $rc");
    EXPECT_EQ(o.code, 2) << o.err;
    EXPECT_NE(o.err.find("Read-only file system"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("no store file was written"), std::string::npos) << o.err;
}

// Sources that cannot be read fail one by one; the others convert (as
// nobody when root, whom permissions do not stop).
TEST_F(Faults, UnreadableSourcesFailAloneAndTheRunGoesOn) {
    const auto sources = writeMessageTree(dir_ / "src", 40, 2);
    std::set<std::string> locked;
    size_t i = 0;
    for (const auto& [key, path] : sources) {
        if (i++ % 7 != 3) continue;
        fs::permissions(path, fs::perms::none);
        locked.insert(path.string());
    }
    ChildOptions options;
    std::string cli = cliPath();
    if (::geteuid() == 0) {
        std::string why;
        cli = cliAsNobody(dir_.path(), options, why);
        if (cli.empty()) GTEST_SKIP() << why;
        for (const auto& p : {dir_ / "src", dir_ / "src/folder0", dir_ / "src/folder1"})
            fs::permissions(p, fs::perms::all);
    }
    const Outcome o = convert(dir_ / "out.pst", dir_ / "src", options, cli);
    ASSERT_NE(o.code, 125) << "could not drop to nobody";
    EXPECT_EQ(o.code, 1) << o.err;
    expectConvertedKept(o, dir_ / "out.pst", sources);
    EXPECT_EQ(size_t(o.report["converted"]), sources.size() - locked.size());
    ASSERT_EQ(o.report["failed"].size(), locked.size());
    for (const auto& f : o.report["failed"]) {
        EXPECT_TRUE(locked.count(f["path"].get<std::string>())) << f["path"];
        EXPECT_NE(f["reason"].get<std::string>().find("ermission denied"), std::string::npos)
            << f["reason"];
    }
}

// Removed while the run goes on: the destination folder, where the run must
// not claim a store it can no longer deliver (the store notices at its next
// commit that its file has no name left); then sources removed or cut short,
// where those not yet read fail, each with its reason, and the rest convert.
TEST_F(Faults, RemovedMidRunDestinationIsReportedAndSourcesFailAlone) {
    const fs::path src = dir_ / std::string(150, 'v');
    const auto sources = writeMessageTree(src, 200, 2);
    const fs::path out = dir_ / "out";
    fs::create_directories(out);
    Outcome o = convertMidRun(out / "x.pst", src, [&](pid_t) { removeTree(out); });
    EXPECT_TRUE(o.code == 1 || o.code == 2) << "exit " << o.code << "\n" << o.err;
    EXPECT_NE(o.err.find("x.pst"), std::string::npos) << o.err;

    std::set<std::string> touched;
    std::map<std::string, fs::path> intact;
    o = convertMidRun(dir_ / "out.pst", src, [&](pid_t) {
        size_t i = 0;
        for (const auto& [key, path] : sources) {
            if (++i % 5 != 0) {
                intact.emplace(key, path);
            } else if (i % 10 == 0) {
                fs::remove(path);
            } else {
                fs::resize_file(path, fs::file_size(path) / 2);
            }
            if (i % 5 == 0) touched.insert(path.string());
        }
    });
    EXPECT_EQ(o.code, 1) << o.err;
    ASSERT_TRUE(o.report.is_object());
    const size_t converted = o.report["converted"];
    EXPECT_EQ(converted + o.report["failed"].size(), sources.size());
    EXPECT_GT(o.report["failed"].size(), 0u);
    for (const auto& f : o.report["failed"]) {
        EXPECT_TRUE(touched.count(f["path"].get<std::string>())) << f["path"];
        EXPECT_FALSE(f["reason"].get<std::string>().empty());
    }
    // Messages read before their file changed are stored whole, but have no
    // intact source to compare with; only those may be reported.
    std::set<std::string> stored;
    std::istringstream lines(verifyStore(dir_ / "out.pst", intact, &stored));
    EXPECT_EQ(stored.size(), converted);
    for (std::string l; std::getline(lines, l);)
        EXPECT_NE(l.find("has no source"), std::string::npos) << l;
}

// Every path under `root`, links not followed.
std::set<std::string> listing(const fs::path& root) {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) out.insert(e.path().string());
    return out;
}

class OutputSafety : public CliTest {
  protected:
    void SetUp() override {
        CliTest::SetUp();
        writeMessageTree(dir_ / "src", 3, 1);
    }
    Outcome convert(const std::string& option, const fs::path& out) {
        return runToEnd(
            {cliPath(), "convert", "--quiet", option, out.string(), dir_.str() + "/src"});
    }
};

TEST_F(OutputSafety, AnExistingFileOrALinkIsNeverWrittenThrough) {
    std::ofstream(dir_ / "taken.pst") << "someone else's data";
    std::ofstream(dir_ / "target.txt") << "precious";
    fs::create_symlink(dir_ / "target.txt", dir_ / "link.pst");
    // A dangling link: following it would create its target.
    fs::create_symlink(dir_ / "nowhere.pst", dir_ / "dangling.pst");
    // A link to a folder is a path that exists, too.
    fs::create_directories(dir_ / "folder");
    fs::create_symlink(dir_ / "folder", dir_ / "dirlink.pst");
    // Links waiting at the timestamped names of the coming seconds.
    fs::create_directories(dir_ / "out");
    for (int s = 0; s < 30; ++s) {
        const std::time_t t = std::time(nullptr) + s;
        std::tm tm{};
        localtime_r(&t, &tm);
        const convert::LocalTime lt{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                                    tm.tm_hour,        tm.tm_min,     tm.tm_sec};
        fs::create_symlink(dir_ / ("victim" + std::to_string(s)),
                           dir_ / "out" / convert::StoreFileName(convert::Timestamp(lt)));
    }
    const auto before = listing(dir_.path());
    for (const char* name : {"taken.pst", "link.pst", "dangling.pst", "dirlink.pst", "out"}) {
        const Outcome o = convert(name == std::string("out") ? "--output-dir" : "-o", dir_ / name);
        EXPECT_EQ(o.code, 2) << name << ": " << o.err;
        EXPECT_NE(o.err.find("exists"), std::string::npos) << name << ": " << o.err;
    }
    EXPECT_EQ(listing(dir_.path()), before);
    EXPECT_EQ(readText(dir_ / "taken.pst"), "someone else's data");
    EXPECT_EQ(readText(dir_ / "target.txt"), "precious");
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir_ / "link.pst")));
}

TEST_F(OutputSafety, NamesInsideMessagesNeverBecomePaths) {
    // Names that would escape the output folder or land anywhere else if a
    // program ever used them as paths.
    const fs::path escape = dir_ / "escaped";
    const std::string names[] = {"../escaped",  "../../escaped",     escape.string(),
                                 "..\\escaped", "sub/../../escaped", "/tmp/qm-robust-escaped"};
    fs::remove_all("/tmp/qm-robust-escaped");
    for (size_t n = 0; n < std::size(names); ++n) {
        mapi::Message m = makeMessage({.seed = uint32_t(n + 7),
                                       .subject = names[n],
                                       .attachmentSizes = {50},
                                       .embedDepth = 1});
        m.props.set(mapi::Property::utf8(mapi::tag::DisplayTo, names[n]));
        for (auto& a : m.attachments)
            for (auto tag :
                 {mapi::tag::AttachLongFilename, mapi::tag::AttachFilename, mapi::tag::DisplayName})
                a.props.set(mapi::Property::utf8(tag, names[n]));
        writeMessage(dir_ / "src" / ("m" + std::to_string(n) + ".msg"), m);
    }
    fs::create_directories(dir_ / "out" / "sub");
    const auto before = listing(dir_.path());
    const Outcome o = convert("--output-dir", dir_ / "out");
    ASSERT_EQ(o.code, 0) << o.err;
    auto added = listing(dir_.path());
    std::erase_if(added, [&](const std::string& p) { return before.count(p); });
    ASSERT_EQ(added.size(), 1u) << "more than the store was created";
    EXPECT_EQ(fs::path(*added.begin()).parent_path(), dir_ / "out");
    EXPECT_EQ(fs::path(*added.begin()).extension(), ".pst");
    EXPECT_FALSE(fs::exists(escape));
    EXPECT_FALSE(fs::exists("/tmp/qm-robust-escaped"));
}

}  // namespace
}  // namespace qm::testing
