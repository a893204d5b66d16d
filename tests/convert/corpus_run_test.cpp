// The shared corpus of real-world .msg files through a whole run: every file
// our reader reads lands in its mirrored folder, every other one is reported
// with its cause, and the store reads clean everywhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "convert/conversion.h"
#include "convert/relative_folder.h"
#include "mapi/error.h"
#include "msg/msg.h"
#include "run_fixture.h"

namespace qm::convert {
namespace {

namespace fs = std::filesystem;

TEST(CorpusRunTest, ReadableMessagesConvertAndBrokenOnesAreReported) {
    const char* shared = std::getenv("QM_SHARED_DIR");
    const fs::path corpus = shared ? fs::path(shared) / "corpus" : fs::path();
    if (corpus.empty() || !fs::is_directory(corpus)) {
        GTEST_SKIP() << "QM_SHARED_DIR/corpus is not available; the corpus run is skipped";
    }
    qm::testing::ScratchDir dst;
    struct Files : SourceList {
        std::vector<std::string> rows;
        int64_t size() override { return int64_t(rows.size()); }
        std::string path(int64_t row) override { return rows[size_t(row)]; }
    } list;
    std::map<std::string, size_t> expected;  // store folder -> readable messages
    size_t readable = 0;
    std::vector<fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(corpus)) {
        std::string ext = e.path().extension().string();
        for (auto& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
        if (e.is_regular_file() && ext == ".msg") files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
        list.rows.push_back(f.string());
        try {
            msg::readMsgFile(f);
            ++readable;
            ++expected[GetRelativeFolder(f.string())];
        } catch (const qm::Error&) {
        }
    }
    ASSERT_FALSE(files.empty());

    ConversionOptions options;
    options.destination = WithTrailingSeparator(dst.str());
    Conversion conversion(options);
    Observer quiet;
    const RunReport report = conversion.run(list, quiet);
    ASSERT_EQ(report.outcome, RunOutcome::Completed) << report.trappedCause;
    EXPECT_EQ(report.converted, int64_t(readable));
    EXPECT_EQ(report.failed.size(), files.size() - readable);
    for (const auto& f : report.failed) EXPECT_FALSE(f.reason.empty()) << f.path;

    const auto back = qm::testing::readEverywhere(report.pstPath, false);
    ASSERT_TRUE(back.is_object());
    for (const auto& [folder, count] : expected) {
        ASSERT_TRUE(back["folders"].contains(folder)) << folder;
        EXPECT_EQ(back["folders"][folder]["subjects"].size(), count) << folder;
    }
}

}  // namespace
}  // namespace qm::convert
