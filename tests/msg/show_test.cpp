// quillmark-cli show on files our writer made: text and JSON, exit codes.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "msg/msg.h"
#include "msg/test_util.h"
#include "support/message_gen.h"

using namespace qm;

namespace {

std::string cli() {
    return (qm::testing::binDir() / "quillmark-cli").string();
}

TEST(ShowCommand, JsonListsEveryPropertyRecipientAndAttachment) {
    qm::testing::ScratchDir dir;
    qm::testing::MessageSpec spec;
    spec.allTypes = true;
    spec.recipients = 2;
    spec.attachmentSizes = {42};
    spec.embedDepth = 1;
    spec.namedById = 1;
    spec.namedByName = 2;
    mapi::Message m = qm::testing::makeMessage(spec);
    auto path = dir.file("show.msg");
    msg::writeMsgFile(m, path);
    auto r = qm::testing::run(qm::testing::shellQuote(cli()) + " show --json " +
                              qm::testing::shellQuote(path.string()));
    ASSERT_EQ(r.exitCode, 0);
    auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["class"], "IPM.Note");
    EXPECT_EQ(j["subject"], "Quillmark test message");
    EXPECT_EQ(j["properties"].size(), m.props.size());
    EXPECT_EQ(j["recipients"].size(), 2u);
    ASSERT_EQ(j["attachments"].size(), 2u);
    EXPECT_EQ(j["attachments"][0]["name"], "file0.bin Grüße 日本語 Привет");
    EXPECT_EQ(j["attachments"][0]["size"], 42);
    EXPECT_EQ(j["attachments"][1]["method"], 5);
    EXPECT_EQ(j["attachments"][1]["embedded"]["subject"], "Quillmark test message / level 1");
    bool sawSubject = false, sawNamed = false;
    for (const auto& p : j["properties"]) {
        if (p["tag"] == "0x0037001F") {
            sawSubject = true;
            EXPECT_EQ(p["name"], "PidTagSubject");
            EXPECT_EQ(p["type"], "PtypString");
            EXPECT_EQ(p["value"], "Quillmark test message");
        }
        if (p.contains("named") && p["named"].contains("name") &&
            p["named"]["name"] == "Keywords") {
            sawNamed = true;
            EXPECT_EQ(p["named"]["set"], "{00020329-0000-0000-C000-000000000046}");
            EXPECT_EQ(p["value"][1], "Привет");
        }
    }
    EXPECT_TRUE(sawSubject);
    EXPECT_TRUE(sawNamed);
}

TEST(ShowCommand, TextOutputAndUnreadableFiles) {
    qm::testing::ScratchDir dir;
    auto path = dir.file("t.msg");
    msg::writeMsgFile(qm::testing::makeMessage({}), path);
    auto r = qm::testing::run(qm::testing::shellQuote(cli()) + " show " +
                              qm::testing::shellQuote(path.string()));
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("Subject: Quillmark test message"), std::string::npos);
    EXPECT_NE(r.out.find("0x0037001F  PidTagSubject"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Recipients (1)"), std::string::npos);

    auto bad = dir.file("bad.msg");
    FILE* f = std::fopen(bad.c_str(), "wb");
    std::fputs("not a compound file", f);
    std::fclose(f);
    r = qm::testing::run(qm::testing::shellQuote(cli()) + " show " +
                         qm::testing::shellQuote(bad.string()) + " 2>" +
                         qm::testing::shellQuote(dir.file("err").string()));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.out.empty());
    r = qm::testing::run("cat " + qm::testing::shellQuote(dir.file("err").string()));
    EXPECT_NE(r.out.find("bad.msg"), std::string::npos) << r.out;
}

}  // namespace
