// quillmark-cli check and list, run as a user runs them: output and exit
// codes as the command-line contract gives them.
#include <gtest/gtest.h>

#include "mapi/tags.h"
#include "pst/pst_test.h"
#include "pst/store/store.h"

namespace qm::pst {
namespace {

using namespace qm::pst::testing;

// Outlook's files and one of ours, nested, with non-ASCII names.
TEST(CliTest, CheckAndListOutlooksFilesAndOurs) {
    const char* bin = std::getenv("QM_BIN_DIR");
    if (!bin || !fs::exists(fs::path(bin) / "quillmark-cli"))
        GTEST_SKIP() << "quillmark-cli not built (QM_BIN_DIR)";
    const std::string cli = quote(fs::path(bin) / "quillmark-cli") + " ";
    ScratchDir dir;
    const fs::path file = dir / "Nested store.pst";
    {
        auto store = Store::create(file, "Nested ✓ store");
        const Nid b = store->addFolder(store->addFolder(store->ipmSubtree(), "Mail"), "2009");
        store->addFolder(b, "Empty");
        mapi::Message m;
        m.props.set(mapi::Property::utf8(mapi::tag::Subject, "Hello ✓"));
        store->addMessage(b, m);
        store->addMessage(b, m);
    }
    const auto ours = run(cli + "list --messages " + quote(file));
    EXPECT_EQ(ours.code, 0);
    EXPECT_EQ(ours.out,
              "Nested ✓ store\n  Deleted Items (0)\n  Mail (0)\n    2009 (2)\n      Hello ✓\n"
              "      Hello ✓\n      Empty (0)\n");
    EXPECT_EQ(run(cli + "check " + quote(file)).code, 0);
    EXPECT_EQ(run(cli + "check " + quote(dir / "missing.pst")).code, 2);
    EXPECT_EQ(run(cli + "check").code, 2);  // usage
    QM_REQUIRE_GOLDEN(empty, "Empty.pst");
    const auto clean = run(cli + "check " + quote(empty));
    EXPECT_EQ(clean.code, 0);
    EXPECT_EQ(clean.out, "");
    Bytes b = readFile(empty);
    b[0x4400 + 3] ^= 0x01;  // an AMap bit: map, CRC and free count all disagree
    writeFile(dir / "bad.pst", b);
    const auto bad = run(cli + "check " + quote(dir / "bad.pst"));
    EXPECT_EQ(bad.code, 1);
    EXPECT_NE(bad.out.find("AMap at 0x4400: page CRC mismatch\n"), std::string::npos) << bad.out;
    // One finding per line, each "where: what".
    size_t lines = 0, start = 0;
    for (size_t nl; (nl = bad.out.find('\n', start)) != std::string::npos; start = nl + 1, ++lines)
        EXPECT_NE(bad.out.substr(start, nl - start).find(": "), std::string::npos);
    EXPECT_GE(lines, 2u);
    if (const auto ansi = golden("test_ansi.pst"); !ansi.empty()) {
        const auto r = run(cli + "check " + quote(ansi));
        EXPECT_EQ(r.code, 2);
        EXPECT_NE(r.out.find("ANSI"), std::string::npos) << r.out;
        EXPECT_EQ(run(cli + "list " + quote(ansi)).code, 2);
    }
    QM_REQUIRE_GOLDEN(sub, "submessage.pst");
    const std::string folders = "submessage\n  Deleted Items (0)\n  submessage (1)\n";
    EXPECT_EQ(run(cli + "list " + quote(sub)).out, folders);
    const auto r = run(cli + "list --messages " + quote(sub));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, folders + "    This is a message which has an embedded message attached\n");
}

}  // namespace
}  // namespace qm::pst
