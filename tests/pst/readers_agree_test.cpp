// Whole stores written by `quillmark-cli convert`, held to the bar: our
// checker finds nothing, and every independent reader (support/validators.h)
// reads the store whole, pst-extractor and pypff finding every message. One
// store comes from ../shared/corpus (every readable message), one from the
// message generators of tests/support.
#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "msg/msg.h"
#include "pst/pst_test.h"
#include "support/message_gen.h"
#include "support/validators.h"

namespace qm::pst::read {
namespace {

using namespace qm::pst::testing;
namespace validators = qm::testing::validators;

// Converts `source` with the CLI and holds the store it writes to the bar.
void convertAndHoldToTheBar(const fs::path& source) {
    ScratchDir out;
    const auto r = qm::testing::runToEnd({qm::testing::cliPath(), "convert", "--json", "--quiet",
                                          "--output-dir", out.str(), source.string()});
    const auto& report = r.report;
    ASSERT_TRUE(report.is_object()) << r.out;
    const fs::path pst = report.value("pst", "");
    const int converted = report.value("converted", -1);
    ASSERT_GT(converted, 0) << r.out;
    expectClean(pst);
    const auto results = validators::all(pst);
    validators::expectClean(results);
    for (const auto& v : results) {
        if (!v.ran() || (v.reader != "pst-extractor" && v.reader != "pypff")) continue;
        EXPECT_EQ(v.walk.is_object() ? v.walk.value("messages", -1) : -1, converted) << v.reader;
    }
}

TEST(ReadersAgree, CorpusStoreThroughTheCli) {
    const fs::path corpus = qm::testing::sharedDir("corpus");
    if (corpus.empty()) GTEST_SKIP() << "QM_SHARED_DIR/corpus is not available";
    convertAndHoldToTheBar(corpus);
}

TEST(ReadersAgree, GeneratedStoreThroughTheCli) {
    ScratchDir src;
    using Spec = qm::testing::MessageSpec;
    const std::vector<std::pair<const char*, std::function<void(Spec&)>>> rows = {
        {"plain", [](Spec&) {}},
        {"eight-bit", [](Spec& s) { s.unicode = false, s.recipients = 3; }},
        {"every type", [](Spec& s) { s.allTypes = true, s.namedById = 4, s.namedByName = 3; }},
        {"attachments",
         [](Spec& s) {
             s.recipients = 40, s.attachmentSizes = {0, 10, 9000, 70000};
         }},
        {"embedded", [](Spec& s) { s.embedDepth = 3, s.oleAttachment = true; }},
        {"bodies", [](Spec& s) { s.htmlBody = true, s.rtfBody = true; }},
        {"post", [](Spec& s) { s.messageClass = "IPM.Post", s.recipients = 0; }},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        Spec spec;
        spec.seed = uint32_t(i + 1);
        rows[i].second(spec);
        fs::create_directories(src / "Inbox" / rows[i].first);
        msg::writeMsgFile(qm::testing::makeMessage(spec),
                          src / "Inbox" / rows[i].first / "message.msg");
    }
    convertAndHoldToTheBar(src.path());
}

}  // namespace
}  // namespace qm::pst::read
