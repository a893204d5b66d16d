// The output path is created exclusively: an existing file, a link to one,
// or a link to nowhere at that path is never written through; and no name
// taken from a message (subject, attachment file names, display names)
// ever becomes a path: a run creates the one .pst and nothing else.
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>

#include "convert/timestamp.h"
#include "mapi/tags.h"
#include "msg/msg.h"
#include "robust_util.h"
#include "support/message_gen.h"

namespace qm::robust {
namespace {

std::string contentOf(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

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
        sources_ = writeMessageTree(dir_ / "src", 3, 1);
    }
    int convertTo(const fs::path& pst, std::string* err) {
        return runToEnd(
            {cliPath(), "convert", "--quiet", "-o", pst.string(), (dir_ / "src").string()}, nullptr,
            err);
    }
    ScratchDir dir_;
    std::map<std::string, fs::path> sources_;
};

TEST_F(OutputSafety, AnExistingFileIsNeverOverwritten) {
    const fs::path pst = dir_ / "taken.pst";
    std::ofstream(pst) << "someone else's data";
    std::string err;
    EXPECT_EQ(convertTo(pst, &err), 2);
    EXPECT_NE(err.find("exists"), std::string::npos) << err;
    EXPECT_EQ(contentOf(pst), "someone else's data");
}

TEST_F(OutputSafety, ALinkAtTheOutputPathIsNeverFollowed) {
    const fs::path target = dir_ / "target.txt";
    std::ofstream(target) << "precious";
    fs::create_symlink(target, dir_ / "link.pst");
    std::string err;
    EXPECT_EQ(convertTo(dir_ / "link.pst", &err), 2) << err;
    EXPECT_EQ(contentOf(target), "precious");
    EXPECT_TRUE(fs::is_symlink(dir_ / "link.pst"));

    // A dangling link: following it would create its target.
    fs::create_symlink(dir_ / "nowhere.pst", dir_ / "dangling.pst");
    EXPECT_EQ(convertTo(dir_ / "dangling.pst", &err), 2) << err;
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "nowhere.pst")));

    // A link to a folder is a path that exists, too.
    fs::create_directories(dir_ / "folder");
    fs::create_symlink(dir_ / "folder", dir_ / "dirlink.pst");
    EXPECT_EQ(convertTo(dir_ / "dirlink.pst", &err), 2) << err;
    EXPECT_TRUE(fs::is_empty(dir_ / "folder"));
}

// The timestamped name in --output-dir is created exclusively too: links
// waiting at the names of the coming seconds are never followed.
TEST_F(OutputSafety, ALinkAtTheTimestampedNameIsNeverFollowed) {
    const fs::path out = dir_ / "out";
    fs::create_directories(out);
    std::time_t now = std::time(nullptr);
    for (int s = 0; s < 30; ++s) {
        const std::time_t t = now + s;
        std::tm tm{};
        localtime_r(&t, &tm);
        const convert::LocalTime lt{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                                    tm.tm_hour,        tm.tm_min,     tm.tm_sec};
        fs::create_symlink(dir_ / ("victim" + std::to_string(s)),
                           out / convert::StoreFileName(convert::Timestamp(lt)));
    }
    std::string err;
    const int code = runToEnd(
        {cliPath(), "convert", "--quiet", "--output-dir", out.string(), (dir_ / "src").string()},
        nullptr, &err);
    EXPECT_EQ(code, 2) << err;
    EXPECT_NE(err.find("exists"), std::string::npos) << err;
    for (int s = 0; s < 30; ++s) EXPECT_FALSE(fs::exists(dir_ / ("victim" + std::to_string(s))));
}

TEST_F(OutputSafety, NamesInsideMessagesNeverBecomePaths) {
    // Names that would escape the output folder or land anywhere else if a
    // program ever used them as paths.
    const fs::path escape = dir_ / "escaped";
    const std::string names[] = {"../escaped",  "../../escaped",     escape.string(),
                                 "..\\escaped", "sub/../../escaped", "/tmp/qm-robust-escaped"};
    fs::remove_all("/tmp/qm-robust-escaped");
    const fs::path src = dir_ / "names";
    size_t n = 0;
    for (const auto& name : names) {
        qm::testing::MessageSpec spec;
        spec.seed = uint32_t(n + 7);
        spec.subject = name;
        spec.attachmentSizes = {50};
        spec.embedDepth = 1;
        mapi::Message m = qm::testing::makeMessage(spec);
        m.props.set(mapi::Property::utf8(mapi::tag::DisplayTo, name));
        for (auto& a : m.attachments) {
            a.props.set(mapi::Property::utf8(mapi::makeTag(0x3707, mapi::PT_UNICODE), name));
            a.props.set(mapi::Property::utf8(mapi::makeTag(0x3704, mapi::PT_UNICODE), name));
            a.props.set(mapi::Property::utf8(mapi::makeTag(0x3001, mapi::PT_UNICODE), name));
        }
        fs::create_directories(src);
        msg::writeMsgFile(m, src / ("m" + std::to_string(n++) + ".msg"));
    }
    fs::create_directories(dir_ / "out" / "sub");
    const auto before = listing(dir_.path());
    std::string out;
    std::string err;
    const int code = runToEnd(
        {cliPath(), "convert", "--output-dir", (dir_ / "out").string(), src.string()}, &out, &err);
    ASSERT_EQ(code, 0) << err;
    auto after = listing(dir_.path());
    std::set<std::string> added;
    for (const auto& p : after) {
        if (!before.count(p)) added.insert(p);
    }
    ASSERT_EQ(added.size(), 1u) << "more than the store was created";
    EXPECT_EQ(fs::path(*added.begin()).parent_path(), dir_ / "out");
    EXPECT_EQ(fs::path(*added.begin()).extension(), ".pst");
    EXPECT_FALSE(fs::exists(escape));
    EXPECT_FALSE(fs::exists("/tmp/qm-robust-escaped"));
}

}  // namespace
}  // namespace qm::robust
