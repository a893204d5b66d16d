// Whole stores written by `quillmark-cli convert`, held to the bar: our
// checker finds nothing, and every independent reader (support/validators.h)
// reads the store whole, pst-extractor and pypff finding every message. One
// store comes from ../shared/corpus (every readable message), one from the
// message generators of tests/support.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "msg/msg.h"
#include "pst/read/checker.h"
#include "support/message_gen.h"
#include "support/scratch_dir.h"
#include "support/validators.h"

namespace qm::pst::read {
namespace {

namespace fs = std::filesystem;
namespace validators = qm::testing::validators;

fs::path cliPath() {
    const char* dir = std::getenv("QM_BIN_DIR");
    return dir ? fs::path(dir) / "quillmark-cli" : fs::path();
}

// The messages a walk's JSON output counts; -1 when it printed none.
int walkedMessages(const validators::Result& r) {
    const size_t start = r.output.rfind("\n{");
    const auto json = nlohmann::json::parse(
        r.output.substr(start == std::string::npos ? 0 : start + 1), nullptr, false);
    return json.is_object() ? json.value("messages", -1) : -1;
}

// Converts `source` with the CLI and holds the store it writes to the bar.
void convertAndHoldToTheBar(const fs::path& source) {
    const fs::path cli = cliPath();
    if (cli.empty() || !fs::exists(cli)) GTEST_SKIP() << "quillmark-cli not built at $QM_BIN_DIR";
    qm::testing::ScratchDir out;
    const std::string cmd = "'" + cli.string() + "' convert --json --quiet --output-dir '" +
                            out.path().string() + "' '" + source.string() + "' > '" +
                            (out / "report.json").string() + "'";
    const int status = std::system(cmd.c_str());
    ASSERT_NE(status, -1);
    std::ifstream in(out / "report.json");
    const auto report = nlohmann::json::parse(in, nullptr, false);
    ASSERT_TRUE(report.is_object()) << cmd;
    const fs::path pst = report.value("pst", "");
    ASSERT_TRUE(fs::exists(pst)) << report.dump();
    const int converted = report.value("converted", -1);
    ASSERT_GT(converted, 0) << report.dump();

    CheckReport check = checkFile(pst);
    constexpr size_t kShown = 40;
    for (size_t i = 0; i < check.findings.size() && i < kShown; ++i)
        ADD_FAILURE() << "check: " << check.findings[i].line();
    EXPECT_EQ(check.findings.size(), 0u);

    const auto results = validators::all(pst);
    validators::expectClean(results);
    for (const auto& r : results) {
        if (r.ran() && (r.reader == "pst-extractor" || r.reader == "pypff")) {
            EXPECT_EQ(walkedMessages(r), converted) << r.reader << " did not read every message";
        }
    }
}

TEST(ReadersAgree, CorpusStoreThroughTheCli) {
    const char* shared = std::getenv("QM_SHARED_DIR");
    const fs::path corpus = shared ? fs::path(shared) / "corpus" : fs::path();
    if (corpus.empty() || !fs::is_directory(corpus))
        GTEST_SKIP() << "QM_SHARED_DIR/corpus is not available";
    convertAndHoldToTheBar(corpus);
}

TEST(ReadersAgree, GeneratedStoreThroughTheCli) {
    qm::testing::ScratchDir src;
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
