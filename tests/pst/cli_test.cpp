// quillmark-cli check and list, run as a user runs them: output and exit
// codes as the command-line contract gives them.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>

#include "mapi/tags.h"
#include "pst/pst_test.h"
#include "pst/store/store.h"

namespace qm::pst {
namespace {

using namespace qm::pst::testing;

struct CliRun {
    int code = -1;
    std::string out, err;
};

std::string quote(const fs::path& p) {
    std::string q = "'";
    for (char c : p.string()) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* bin = std::getenv("QM_BIN_DIR");
        cli_ = bin ? fs::path(bin) / "quillmark-cli" : fs::path();
        if (cli_.empty() || !fs::exists(cli_))
            GTEST_SKIP() << "quillmark-cli not built (QM_BIN_DIR)";
    }
    // Runs quillmark-cli with `args`, stdout and stderr captured.
    CliRun run(const std::string& args) {
        CliRun r;
        FILE* p = ::popen((quote(cli_) + " " + args + " 2>" + quote(dir_ / "err")).c_str(), "r");
        if (!p) return r;
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
        const int status = ::pclose(p);
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        const Bytes err = readFile(dir_ / "err");
        r.err.assign(err.begin(), err.end());
        return r;
    }
    fs::path cli_;
    ScratchDir dir_;
};

TEST_F(CliTest, CheckAndListOutlooksFiles) {
    QM_REQUIRE_GOLDEN(empty, "Empty.pst");
    const CliRun clean = run("check " + quote(empty));
    EXPECT_EQ(clean.code, 0);
    EXPECT_EQ(clean.out, "");
    Bytes b = readFile(empty);
    b[0x4400 + 3] ^= 0x01;  // an AMap bit: map, CRC and free count all disagree
    writeFile(dir_ / "bad.pst", b);
    const CliRun bad = run("check " + quote(dir_ / "bad.pst"));
    EXPECT_EQ(bad.code, 1);
    EXPECT_NE(bad.out.find("AMap at 0x4400: page CRC mismatch\n"), std::string::npos) << bad.out;
    // One finding per line, each "where: what".
    size_t lines = 0, start = 0;
    for (size_t nl; (nl = bad.out.find('\n', start)) != std::string::npos; start = nl + 1, ++lines)
        EXPECT_NE(bad.out.substr(start, nl - start).find(": "), std::string::npos);
    EXPECT_GE(lines, 2u);
    EXPECT_EQ(run("check " + quote(dir_ / "missing.pst")).code, 2);
    EXPECT_EQ(run("check").code, 2);  // usage
    if (const auto ansi = golden("test_ansi.pst"); !ansi.empty()) {
        const CliRun r = run("check " + quote(ansi));
        EXPECT_EQ(r.code, 2);
        EXPECT_NE(r.err.find("ANSI"), std::string::npos) << r.err;
        EXPECT_EQ(run("list " + quote(ansi)).code, 2);
    }
    QM_REQUIRE_GOLDEN(sub, "submessage.pst");
    CliRun r = run("list " + quote(sub));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "submessage\n  Deleted Items (0)\n  submessage (1)\n");
    r = run("list --messages " + quote(sub));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out,
              "submessage\n  Deleted Items (0)\n  submessage (1)\n"
              "    This is a message which has an embedded message attached\n");
}

TEST_F(CliTest, ListAndCheckAWrittenStore) {
    const fs::path file = dir_ / "Nested store.pst";
    {
        auto store = Store::create(file, "Nested ✓ store");
        const Nid b = store->addFolder(store->addFolder(store->ipmSubtree(), "Mail"), "2009");
        store->addFolder(b, "Empty");
        mapi::Message m;
        m.props.set(mapi::Property::utf8(mapi::tag::MessageClass, "IPM.Note"));
        m.props.set(mapi::Property::utf8(mapi::tag::Subject, "Hello ✓"));
        m.props.set(mapi::Property::int32(mapi::tag::MessageFlags, mapi::MSGFLAG_READ));
        store->addMessage(b, m);
        store->addMessage(b, m);
        store->close();
    }
    const CliRun r = run("list --messages " + quote(file));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out,
              "Nested ✓ store\n  Deleted Items (0)\n  Mail (0)\n    2009 (2)\n      Hello ✓\n"
              "      Hello ✓\n      Empty (0)\n");
    const CliRun c = run("check " + quote(file));
    EXPECT_EQ(c.code, 0) << c.out;
}

}  // namespace
}  // namespace qm::pst
