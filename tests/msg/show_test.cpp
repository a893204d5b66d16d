// quillmark-cli show on a file our writer made: JSON and text, exit codes.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

#include "msg/msg.h"
#include "support/message_gen.h"
#include "support/scratch_dir.h"

namespace {

TEST(ShowCommand, JsonAndTextListEveryPartAndUnreadableFilesFail) {
    qm::testing::ScratchDir dir;
    // `quillmark-cli show ARGS`: its exit status, its output in `out`, its errors in `err`.
    std::string out, err;
    auto show = [&](const std::string& args) {
        const char* bin = std::getenv("QM_BIN_DIR");  // set by ctest
        const int rc = std::system((std::string(bin ? bin : ".") + "/quillmark-cli show " + args +
                                    " >" + dir.str() + "/out 2>" + dir.str() + "/err")
                                       .c_str());
        std::ifstream o(dir / "out"), e(dir / "err");
        out.assign(std::istreambuf_iterator<char>(o), {});
        err.assign(std::istreambuf_iterator<char>(e), {});
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    };
    const qm::mapi::Message m = qm::testing::makeMessage({.allTypes = true,
                                                          .recipients = 2,
                                                          .attachmentSizes = {42},
                                                          .embedDepth = 1,
                                                          .namedById = 1,
                                                          .namedByName = 2});
    qm::msg::writeMsgFile(m, dir / "show.msg");
    ASSERT_EQ(show("--json " + (dir / "show.msg").string()), 0) << err;
    const auto j = nlohmann::json::parse(out);
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
    int seen = 0;
    for (auto p : j["properties"]) {
        p.erase("size");
        seen += p == subject;
        if (p.contains("named") && p["named"].value("name", "") == "Keywords") {
            seen += 2;
            EXPECT_EQ(p["named"]["set"], "{00020329-0000-0000-C000-000000000046}");
            EXPECT_EQ(p["value"][1], "Привет");
        }
    }
    EXPECT_EQ(seen, 3) << "the subject and the Keywords named property, once each";

    ASSERT_EQ(show((dir / "show.msg").string()), 0) << err;
    for (const char* want :
         {"Subject: Quillmark test message", "0x0037001F  PidTagSubject", "Recipients (2)"})
        EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;
    std::ofstream(dir / "bad.msg") << "not a compound file";
    EXPECT_EQ(show((dir / "bad.msg").string()), 2);
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("bad.msg"), std::string::npos);
}

}  // namespace
