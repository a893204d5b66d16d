// The output path is created exclusively: an existing file, a link to one,
// to a folder or to nowhere at that path, or at the timestamped name in
// --output-dir, is never written through; and no name taken from a message
// (subject, attachment file names, display names) ever becomes a path: a
// run creates the one .pst and nothing else.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>

#include "mapi/tags.h"
#include "run_fixture.h"
#include "support/message_gen.h"

namespace qm::testing {
namespace {

// Every path under `root`, links not followed.
std::set<std::string> listing(const fs::path& root) {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) out.insert(e.path().string());
    return out;
}

class OutputSafety : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(cliPath())) GTEST_SKIP() << "quillmark-cli is not built at " << cliPath();
        writeMessageTree(dir_ / "src", 3, 1);
    }
    Outcome convert(const std::string& option, const fs::path& out) {
        return runToEnd(
            {cliPath(), "convert", "--quiet", option, out.string(), dir_.str() + "/src"});
    }
    ScratchDir dir_;
};

TEST_F(OutputSafety, AnExistingFileOrALinkIsNeverWrittenThrough) {
    std::ofstream(dir_ / "taken.pst") << "someone else's data";
    std::ofstream(dir_ / "target.txt") << "precious";
    fs::create_symlink(dir_ / "target.txt", dir_ / "link.pst");
    // A dangling link: following it would create its target.
    fs::create_symlink(dir_ / "nowhere.pst", dir_ / "dangling.pst");
    // A link to a folder is a path that exists, too.
    fs::create_directories(dir_ / "folder");
    fs::create_symlink(dir_ / "folder", dir_ / "dirlink.pst");
    // Links waiting at the timestamped names of the coming seconds.
    fs::create_directories(dir_ / "out");
    for (int s = 0; s < 30; ++s) {
        const std::time_t t = std::time(nullptr) + s;
        std::tm tm{};
        localtime_r(&t, &tm);
        const convert::LocalTime lt{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                                    tm.tm_hour,        tm.tm_min,     tm.tm_sec};
        fs::create_symlink(dir_ / ("victim" + std::to_string(s)),
                           dir_ / "out" / convert::StoreFileName(convert::Timestamp(lt)));
    }
    const auto before = listing(dir_.path());
    for (const char* name : {"taken.pst", "link.pst", "dangling.pst", "dirlink.pst", "out"}) {
        const Outcome o = convert(name == std::string("out") ? "--output-dir" : "-o", dir_ / name);
        EXPECT_EQ(o.code, 2) << name << ": " << o.err;
        EXPECT_NE(o.err.find("exists"), std::string::npos) << name << ": " << o.err;
    }
    EXPECT_EQ(listing(dir_.path()), before);
    for (const auto& [file, text] :
         {std::pair{"taken.pst", "someone else's data"}, std::pair{"target.txt", "precious"}}) {
        std::ifstream in(dir_ / file);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), text);
    }
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir_ / "link.pst")));
}

TEST_F(OutputSafety, NamesInsideMessagesNeverBecomePaths) {
    // Names that would escape the output folder or land anywhere else if a
    // program ever used them as paths.
    const fs::path escape = dir_ / "escaped";
    const std::string names[] = {"../escaped",  "../../escaped",     escape.string(),
                                 "..\\escaped", "sub/../../escaped", "/tmp/qm-robust-escaped"};
    fs::remove_all("/tmp/qm-robust-escaped");
    for (size_t n = 0; n < std::size(names); ++n) {
        MessageSpec spec;
        spec.seed = uint32_t(n + 7);
        spec.subject = names[n];
        spec.attachmentSizes = {50};
        spec.embedDepth = 1;
        mapi::Message m = makeMessage(spec);
        m.props.set(mapi::Property::utf8(mapi::tag::DisplayTo, names[n]));
        for (auto& a : m.attachments) {
            // Long and short file name, display name.
            for (uint16_t id : {0x3707, 0x3704, 0x3001})
                a.props.set(mapi::Property::utf8(mapi::makeTag(id, mapi::PT_UNICODE), names[n]));
        }
        writeMessage(dir_ / "src" / ("m" + std::to_string(n) + ".msg"), m);
    }
    fs::create_directories(dir_ / "out" / "sub");
    const auto before = listing(dir_.path());
    const Outcome o = convert("--output-dir", dir_ / "out");
    ASSERT_EQ(o.code, 0) << o.err;
    std::set<std::string> added;
    for (const auto& p : listing(dir_.path())) {
        if (!before.count(p)) added.insert(p);
    }
    ASSERT_EQ(added.size(), 1u) << "more than the store was created";
    EXPECT_EQ(fs::path(*added.begin()).parent_path(), dir_ / "out");
    EXPECT_EQ(fs::path(*added.begin()).extension(), ".pst");
    EXPECT_FALSE(fs::exists(escape));
    EXPECT_FALSE(fs::exists("/tmp/qm-robust-escaped"));
}

}  // namespace
}  // namespace qm::testing
