// Independent readers: python3-olefile must see the same property tags and
// value bytes as our reader (tests/tools/msg_dump.py), and msgconvert must
// read the files our writer makes.
#include <gtest/gtest.h>

#include "mapi/error.h"
#include "msg/msg.h"
#include "msg/test_util.h"
#include "support/message_gen.h"

using namespace qm;
using namespace qm::mapi;

namespace {

std::vector<std::string> olefileDump(const std::filesystem::path& file) {
    auto script = qm::testing::sourceDir() / "tests" / "tools" / "msg_dump.py";
    auto r = qm::testing::run("/usr/bin/python3 " + qm::testing::shellQuote(script.string()) + " " +
                              qm::testing::shellQuote(file.string()));
    EXPECT_EQ(r.exitCode, 0) << "msg_dump.py failed on " << file;
    return qm::testing::splitLines(r.out);
}

void expectSameDump(const std::filesystem::path& file) {
    SCOPED_TRACE(file.string());
    auto theirs = olefileDump(file);
    Message m = msg::readMsgFile(file);
    auto ours = qm::testing::dumpLines(m);
    // A repaired PidTagRtfCompressed header differs from the file by design.
    for (const auto& w : m.warnings) {
        if (w.find("PidTagRtfCompressed") == std::string::npos) continue;
        for (auto* lines : {&ours, &theirs})
            std::erase_if(*lines,
                          [](const std::string& l) { return l.find(" 10090102 ") != l.npos; });
    }
    EXPECT_EQ(ours.size(), theirs.size());
    std::vector<std::string> onlyOurs, onlyTheirs;
    std::set_difference(ours.begin(), ours.end(), theirs.begin(), theirs.end(),
                        std::back_inserter(onlyOurs));
    std::set_difference(theirs.begin(), theirs.end(), ours.begin(), ours.end(),
                        std::back_inserter(onlyTheirs));
    for (size_t i = 0; i < onlyOurs.size() && i < 10; ++i)
        ADD_FAILURE() << "only ours:   " << onlyOurs[i];
    for (size_t i = 0; i < onlyTheirs.size() && i < 10; ++i)
        ADD_FAILURE() << "only olefile: " << onlyTheirs[i];
}

TEST(MsgCrossCheck, OlefileAgreesOnCorpusFiles) {
    auto corpus = qm::testing::corpusDir();
    if (corpus.empty())
        GTEST_SKIP() << "QM_SHARED_DIR/corpus is absent: corpus cross-check skipped";
    for (const char* name :
         {"poi/quick.msg", "poi/cyrillic_message.msg", "poi/keywords.msg",
          "poi/attachment_msg_pdf.msg", "hiraoka-msgreader/msgInMsgInMsg.msg",
          "hiraoka-msgreader/contactUnicode.msg", "sicos-MSGReader/EmailWithAttachments.msg",
          "MsgViewer/issue127__test.msg", "poi/message_1979.msg", "hfig-MAPI/sample.msg"}) {
        expectSameDump(corpus / name);
    }
}

TEST(MsgCrossCheck, OlefileAgreesOnGeneratedFiles) {
    qm::testing::ScratchDir dir;
    qm::testing::MessageSpec spec;
    spec.allTypes = true;
    spec.recipients = 4;
    spec.attachmentSizes = {0, 4095, 4096, 2u << 20};
    spec.embedDepth = 2;
    spec.oleAttachment = true;
    spec.namedById = 3;
    spec.namedByName = 3;
    spec.htmlBody = spec.rtfBody = true;
    for (bool unicode : {true, false}) {
        for (uint32_t ss : {512u, 4096u}) {
            spec.unicode = unicode;
            auto path = dir.file("gen" + std::to_string(unicode) + std::to_string(ss) + ".msg");
            msg::writeMsgFile(qm::testing::makeMessage(spec), path, {ss});
            expectSameDump(path);
        }
    }
}

TEST(MsgCrossCheck, MsgconvertReadsOurFiles) {
    if (qm::testing::run("command -v msgconvert >/dev/null").exitCode != 0)
        GTEST_SKIP() << "msgconvert (libemail-outlook-message-perl) is not installed";
    qm::testing::ScratchDir dir;
    qm::testing::MessageSpec spec;
    spec.recipients = 3;
    spec.attachmentSizes = {10, 5000};
    spec.embedDepth = 1;
    spec.htmlBody = true;
    spec.namedByName = 2;
    // No OLE attachment: msgconvert re-saves OLE storages and fails on any
    // stream inside a nested storage (it clears the times of direct children
    // only), whoever wrote the file.
    for (bool unicode : {true, false}) {
        for (uint32_t ss : {512u, 4096u}) {
            spec.unicode = unicode;
            auto path = dir.file("mc" + std::to_string(unicode) + std::to_string(ss) + ".msg");
            msg::writeMsgFile(qm::testing::makeMessage(spec), path, {ss});
            auto r = qm::testing::run("cd " + qm::testing::shellQuote(dir.path().string()) +
                                      " && msgconvert --outfile - " +
                                      qm::testing::shellQuote(path.string()) + " 2>&1");
            SCOPED_TRACE(path.string());
            ASSERT_EQ(r.exitCode, 0) << r.out;
            EXPECT_NE(r.out.find("Subject: Quillmark test message"), std::string::npos)
                << r.out.substr(0, 2000);
            EXPECT_NE(r.out.find("To: Recipient 0"), std::string::npos);
            EXPECT_NE(r.out.find("file1.bin"), std::string::npos);
        }
    }
}

}  // namespace
