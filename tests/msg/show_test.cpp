// quillmark-cli show on files our writer made: text and JSON, exit codes.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

#include "msg/msg.h"
#include "support/message_gen.h"
#include "support/scratch_dir.h"

namespace {

// Runs `quillmark-cli show ARGS`; its exit status, standard output and error.
struct Shown {
    int status;
    std::string out, err;
};
Shown show(const qm::testing::ScratchDir& dir, const std::string& args) {
    const char* bin = std::getenv("QM_BIN_DIR");  // set by ctest
    const std::string cli = (std::filesystem::path(bin ? bin : ".") / "quillmark-cli").string();
    const int rc = std::system(
        (cli + " show " + args + " >" + (dir / "out").string() + " 2>" + (dir / "err").string())
            .c_str());
    auto slurp = [&](const char* name) {
        std::ifstream in(dir / name);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp("out"), slurp("err")};
}

TEST(ShowCommand, JsonListsEveryPropertyRecipientAndAttachment) {
    qm::testing::ScratchDir dir;
    const qm::mapi::Message m = qm::testing::makeMessage({.allTypes = true,
                                                          .recipients = 2,
                                                          .attachmentSizes = {42},
                                                          .embedDepth = 1,
                                                          .namedById = 1,
                                                          .namedByName = 2});
    qm::msg::writeMsgFile(m, dir / "show.msg");
    const Shown r = show(dir, "--json " + (dir / "show.msg").string());
    ASSERT_EQ(r.status, 0) << r.err;
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
    const auto subject = nlohmann::json::parse(R"({"tag": "0x0037001F", "name": "PidTagSubject",
        "type": "PtypString", "value": "Quillmark test message"})");
    bool sawSubject = false, sawNamed = false;
    for (auto p : j["properties"]) {
        p.erase("size");
        sawSubject |= p == subject;
        if (p.contains("named") && p["named"].value("name", "") == "Keywords") {
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
    qm::msg::writeMsgFile(qm::testing::makeMessage({}), dir / "t.msg");
    Shown r = show(dir, (dir / "t.msg").string());
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* want :
         {"Subject: Quillmark test message", "0x0037001F  PidTagSubject", "Recipients (1)"})
        EXPECT_NE(r.out.find(want), std::string::npos) << want << "\n" << r.out;

    std::ofstream(dir / "bad.msg") << "not a compound file";
    r = show(dir, (dir / "bad.msg").string());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("bad.msg"), std::string::npos) << r.err;
}

}  // namespace
