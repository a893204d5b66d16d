// quillmark-cli check and list, run as a user runs them: output and exit
// codes as the command-line contract gives them.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "mapi/tags.h"
#include "pst/store/store.h"
#include "read_test_util.h"

namespace qm::pst::read {
namespace {

using namespace readtest;

struct CliRun {
    int code = -1;
    std::string out;
};

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// QM_BIN_DIR, or build/bin beside this test's build/tests.
fs::path binDir() {
    if (const char* bin = std::getenv("QM_BIN_DIR")) return bin;
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : self.parent_path().parent_path() / "bin";
}

// Runs quillmark-cli with `args`; stdout captured, stderr to `errFile`.
CliRun cli(const std::string& args, const fs::path& errFile) {
    CliRun r;
    std::string cmd =
        quote((binDir() / "quillmark-cli").string()) + " " + args + " 2>" + quote(errFile.string());
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
    int status = ::pclose(p);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(binDir() / "quillmark-cli"))
            GTEST_SKIP() << "quillmark-cli not built (QM_BIN_DIR)";
    }
    std::string err() const {
        Bytes b = readFile(dir_ / "err");
        return std::string(b.begin(), b.end());
    }
    CliRun run(const std::string& args) { return cli(args, dir_ / "err"); }
    ScratchDir dir_;
};

TEST_F(CliTest, CheckExitCodes) {
    fs::path empty = goldenFile("Empty.pst");
    if (empty.empty()) GTEST_SKIP() << "golden files not found (QM_SHARED_DIR/pst-samples)";
    CliRun clean = run("check " + quote(empty.string()));
    EXPECT_EQ(clean.code, 0);
    EXPECT_EQ(clean.out, "");

    Bytes b = readFile(empty);
    b[0x4400 + 3] ^= 0x01;  // an AMap bit: map, CRC and free count all disagree
    writeFile(dir_ / "bad.pst", b);
    CliRun bad = run("check " + quote((dir_ / "bad.pst").string()));
    EXPECT_EQ(bad.code, 1);
    EXPECT_NE(bad.out.find("AMap at 0x4400: page CRC mismatch\n"), std::string::npos) << bad.out;
    // One finding per line, each "where: what".
    size_t lines = 0, start = 0;
    for (size_t nl; (nl = bad.out.find('\n', start)) != std::string::npos; start = nl + 1, ++lines)
        EXPECT_NE(bad.out.substr(start, nl - start).find(": "), std::string::npos);
    EXPECT_GE(lines, 2u);

    fs::path ansi = goldenFile("test_ansi.pst");
    if (!ansi.empty()) {
        CliRun r = run("check " + quote(ansi.string()));
        EXPECT_EQ(r.code, 2);
        EXPECT_NE(err().find("ANSI"), std::string::npos) << err();
    }
    EXPECT_EQ(run("check " + quote((dir_ / "missing.pst").string())).code, 2);
    EXPECT_EQ(run("check").code, 2);  // usage
}

TEST_F(CliTest, ListGoldenFiles) {
    fs::path sub = goldenFile("submessage.pst");
    if (sub.empty()) GTEST_SKIP() << "golden files not found (QM_SHARED_DIR/pst-samples)";
    CliRun r = run("list " + quote(sub.string()));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "submessage\n  Deleted Items (0)\n  submessage (1)\n");
    r = run("list --messages " + quote(sub.string()));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out,
              "submessage\n  Deleted Items (0)\n  submessage (1)\n"
              "    This is a message which has an embedded message attached\n");
    fs::path ansi = goldenFile("test_ansi.pst");
    if (!ansi.empty()) {
        EXPECT_EQ(run("list " + quote(ansi.string())).code, 2);
    }
}

TEST_F(CliTest, ListAndCheckAWrittenStore) {
    fs::path file = dir_ / "Nested store.pst";
    {
        auto store = pst::Store::create(file, "Nested ✓ store");
        Nid a = store->addFolder(store->ipmSubtree(), "Mail");
        Nid b = store->addFolder(a, "2009");
        store->addFolder(b, "Empty");
        mapi::Message m;
        m.props.set(mapi::Property::utf8(mapi::tag::MessageClass, "IPM.Note"));
        m.props.set(mapi::Property::utf8(mapi::tag::Subject, "Hello ✓"));
        m.props.set(mapi::Property::int32(mapi::tag::MessageFlags, mapi::MSGFLAG_READ));
        store->addMessage(b, m);
        store->addMessage(b, m);
        store->close();
    }
    CliRun r = run("list --messages " + quote(file.string()));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out,
              "Nested ✓ store\n"
              "  Deleted Items (0)\n"
              "  Mail (0)\n"
              "    2009 (2)\n"
              "      Hello ✓\n"
              "      Hello ✓\n"
              "      Empty (0)\n")
        << r.out;
    CliRun c = run("check " + quote(file.string()));
    EXPECT_EQ(c.code, 0) << c.out;
}

}  // namespace
}  // namespace qm::pst::read
