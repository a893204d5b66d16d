// Whole runs of the window's conversion through a scripted host; the .pst is
// read back by our reader, pypff and readpst.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>

#include "app/conversion_run.h"
#include "app/run_boxes.h"
#include "mapi/tags.h"
#include "run_fixture.h"

namespace qm::app {
namespace {

using nlohmann::json;
using qm::testing::ScratchDir;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

const convert::LocalTime kDecember{2026, 12, 6, 3, 44, 8};
const std::string kDisplay = "Quillmark : Created - 6.12.26 3.44.08";
const std::string kFile = "OutlookMessages6.12.26 3.44.08.pst";

// Rows from a vector; every caption, progress value, enable and box recorded.
struct FakeHost : Host {
    std::vector<std::string> rows;
    std::string destination;  // what BrowseFolder returns ("" = cancel)
    bool stop = false;
    bool failCaptions = false;  // the frame refuses every caption
    std::function<void()> onYield;

    std::vector<std::string> frameCaptions, folderCaptions;
    std::vector<std::string> events;  // "convert on|off" and "frame CAPTION", in order
    std::vector<float> progress;      // ProgressBar1's values
    std::vector<bool> convertEnabled, sourceEnabled;
    std::vector<MessageBoxSpec> boxes;

    std::string BrowseFolder(const std::string&) override { return destination; }
    int64_t Rows() override { return int64_t(rows.size()); }
    void SetCurrentCell(int64_t row, int) override { row_ = size_t(row); }
    std::string Text() override { return row_ < rows.size() ? rows[row_] : ""; }
    void SetProgressRange(ProgressBar, float, float) override {}
    void SetProgressValue(ProgressBar bar, float value) override {
        if (bar == ProgressBar::Overall) progress.push_back(value);
    }
    void SetFrameCaption(const std::string& c) override {
        if (failCaptions) throw std::runtime_error("the frame refused its caption");
        frameCaptions.push_back(c);
        events.push_back("frame " + c);
    }
    void SetFolderCaption(const std::string& c) override { folderCaptions.push_back(c); }
    void SetConvertEnabled(bool on) override {
        convertEnabled.push_back(on);
        events.push_back(on ? "convert on" : "convert off");
    }
    void SetSourceCommandsEnabled(bool on) override { sourceEnabled.push_back(on); }
    void DoEvents() override {
        if (onYield) onYield();
    }
    bool StopRequested() override { return stop; }
    void MsgBox(const MessageBoxSpec& box) override { boxes.push_back(box); }

  private:
    size_t row_ = 0;
};

struct RunSetup {
    FakeHost host;
    ScratchDir src, dst;
    std::unique_ptr<ConversionRun> run;
    RunSetup() {
        host.destination = dst.str();
        RunOptions options;
        options.clock = qm::testing::fixedClock(kDecember);
        run = std::make_unique<ConversionRun>(host, options);
    }
    void add(const std::string& rel, const std::string& subject, size_t attachments = 0,
             int32_t flags = 0) {
        qm::testing::writeMessage(src.path() / rel,
                                  qm::testing::testMessage(subject, attachments, flags));
        host.rows.push_back((src.path() / rel).string());
    }
    void addBroken(const std::string& rel) {
        qm::testing::writeBroken(src.path() / rel);
        host.rows.push_back((src.path() / rel).string());
    }
    fs::path pst() const { return dst.path() / kFile; }
    // A source folder's store folder: its components joined by backslashes.
    std::string folder(const std::string& rel = "") const {
        std::string out;
        for (const auto& part : (src.path() / rel).relative_path()) {
            if (!part.empty()) out += (out.empty() ? "" : "\\") + part.string();
        }
        return out;
    }
};

// Nested folders, flags to mend, folders differing only in case, names that
// are no plain folder names, and a broken and a missing file last.
TEST(ConversionRunTest, MirrorsFoldersAndImportsEveryMessage) {
    RunSetup r;
    r.add("A/B/C/x.msg", "deep");
    r.add("A/a.msg", "top");
    r.add("A/B/b.msg", "middle");
    r.add("F/plain.msg", "plain", 0, mapi::MSGFLAG_UNSENT | mapi::MSGFLAG_HASATTACH);
    r.add("F/attached.msg", "attached", 2, mapi::MSGFLAG_UNSENT);
    r.add("F/none.msg", "none");
    r.add("Mail/a.msg", "upper");
    r.add("mail/b.msg", "lower");
    r.add("a\\b/one.msg", "backslash");
    r.add("caf\xE9/two.msg", "latin-1 name");
    r.add(" spaced /three .msg ", "spaces");
    r.add("M/a.msg", "first");
    r.addBroken("M/broken.msg");
    r.host.rows.push_back((r.src.path() / "M" / "missing.msg").string());
    const size_t n = r.host.rows.size();
    const RunReport report = r.run->CmdExtractDBX_Click();
    ASSERT_EQ(report.outcome, RunOutcome::Completed) << report.trappedCause;
    EXPECT_EQ(std::tuple(report.messages, report.converted, report.failed.size()),
              std::tuple(int64_t(n), int64_t(n) - 2, 2u));
    EXPECT_EQ(r.run->StoreDisplayName(), kDisplay);
    EXPECT_EQ(r.run->DestinationFolder(), r.dst.str() + "/");
    EXPECT_THAT(r.run->FolderList(), ::testing::Contains(r.folder("A/B/C")));
    EXPECT_FALSE(r.run->HasOpenStore());

    // Captions and progress go on over the failed rows.
    ASSERT_EQ(r.host.frameCaptions.size(), n);
    EXPECT_EQ(r.host.frameCaptions[1], "Details : Converting - (2 of 14) file(s)");
    EXPECT_EQ(r.host.folderCaptions.back(), "Importing Messages... from (" + r.folder("M") + ")");
    ASSERT_EQ(r.host.progress.size(), n);
    EXPECT_EQ(r.host.progress[0], static_cast<float>(100.0 / double(n)));
    EXPECT_EQ(r.host.progress.back(), 100.0f);
    // Convert off from the start, again after the first row before its
    // caption, and after.
    EXPECT_EQ(r.host.sourceEnabled, (std::vector<bool>{false, true}));
    EXPECT_FALSE(r.host.convertEnabled.front() || r.host.convertEnabled.back());
    const auto& ev = r.host.events;
    const auto first = std::find(ev.begin(), ev.end(), "frame " + r.host.frameCaptions[0]);
    ASSERT_TRUE(first != ev.begin() && first != ev.end());
    EXPECT_EQ(first[-1], "convert off");

    // One box, each failure on a line naming its file once.
    ASSERT_EQ(r.host.boxes.size(), 1u);
    const MessageBoxSpec& box = r.host.boxes[0];
    for (const auto& f : report.failed) {
        EXPECT_NE(box.detailedText.find(f.path), std::string::npos) << box.detailedText;
        EXPECT_EQ(box.detailedText.find(f.path), box.detailedText.rfind(f.path));
    }

    // Read flags mended, no item for a failed file, case-folded folders
    // shared, odd names made into folder names.
    const json dump = qm::testing::readEverywhere(r.pst());
    EXPECT_EQ(dump["display_name"], kDisplay);
    const json& folders = dump["folders"];
    const std::pair<const char*, json> subjects[] = {
        {"A", {"top"}},
        {"A/B", {"middle"}},
        {"A/B/C", {"deep"}},
        {"F", {"plain", "attached", "none"}},
        {"Mail", {"upper", "lower"}},
        {"a\uFF3Cb", {"backslash"}},  // a fullwidth backslash
        {"caf\uFFFD", {"latin-1 name"}},
        {" spaced ", {"spaces"}},
        {"M", {"first"}},
    };
    for (const auto& [rel, expected] : subjects) {
        EXPECT_EQ(folders[r.folder(rel)]["subjects"], expected) << rel;
    }
    EXPECT_FALSE(folders.contains(r.folder("mail")));
    using mapi::MSGFLAG_READ, mapi::MSGFLAG_HASATTACH;
    EXPECT_EQ(folders[r.folder("F")]["flags"],
              json({MSGFLAG_READ, MSGFLAG_READ | MSGFLAG_HASATTACH, MSGFLAG_READ}));
    EXPECT_EQ(folders[r.folder("F")]["attachments"], json({0, 2, 0}));
}

// One box: what failed, the plain cause, what to do. A destination missing,
// a file, or holding the store's name makes no store; bad rows leave the
// store made, open and readable.
TEST(ConversionRunTest, TrappedErrorsNameTheCauseAndWhatToDo) {
    const char* badRows[] = {"", "/loose.msg", "C:\\root.msg", "\\\\server\\share\\a.msg"};
    for (size_t c = 0; c < 3 + std::size(badRows); ++c) {
        SCOPED_TRACE(c);
        RunSetup r;
        r.add("M/a.msg", "a");
        std::ofstream(r.dst.path() / "file") << "not a folder";
        std::string start, end = ". Choose another folder.";
        if (c < 2) {
            r.host.destination = (r.dst.path() / (c ? "file" : "missing")).string();
            start = "Could not create the .pst in " + r.host.destination + ": " +
                    (c ? "not a directory" : "no such file or directory");
        } else if (c == 2) {
            // Same clock, same second: the same file name, never overwritten.
            ASSERT_EQ(r.run->CmdExtractDBX_Click().outcome, RunOutcome::Completed);
            r.host.boxes.clear();
            start = "Could not create the .pst in " + r.dst.str() + ": \"";
            end = "\" already exists; it is never overwritten. Choose another folder.";
        } else {
            r.host.rows.push_back(badRows[c - 3]);
            start = "Could not sort the listed files into folders of " + r.pst().string() + ": ";
            end = ". Clear the list, add the files again and convert.";
        }
        const RunReport report = r.run->CmdExtractDBX_Click();
        EXPECT_EQ(report.outcome, RunOutcome::Trapped);
        ASSERT_EQ(r.host.boxes.size(), 1u);
        const std::string& text = r.host.boxes[0].text;
        EXPECT_EQ(r.host.boxes[0].detailedText, report.trappedCause);
        EXPECT_TRUE(text.starts_with(start) && text.ends_with(end)) << text;
        EXPECT_TRUE(r.host.convertEnabled.back() && r.host.sourceEnabled.back());
        EXPECT_EQ(std::pair(report.storeCreated, r.run->HasOpenStore()), std::pair(c > 2, c > 2));
        if (c > 2) {
            EXPECT_TRUE(r.host.frameCaptions.empty());
            // The store left open is closed, committed, at program end.
            r.run.reset();
            EXPECT_TRUE(qm::testing::readEverywhere(r.pst()).is_object());
        }
    }
}

// A stop during the second message ends the run after it, committed; a
// second start during a yield does nothing; a caption the window refuses is
// noted and passed over.
TEST(ConversionRunTest, StopsAfterTheCurrentMessageAndCommits) {
    RunSetup r;
    for (int i = 0; i < 6; ++i) r.add("S/m" + std::to_string(i) + ".msg", "m" + std::to_string(i));
    r.host.failCaptions = true;
    std::vector<RunOutcome> nested;
    r.host.onYield = [&] {
        if (nested.empty()) nested.push_back(r.run->CmdExtractDBX_Click().outcome);
        r.host.stop = r.host.stop || r.host.progress.size() == 1;
    };
    const RunReport report = r.run->CmdExtractDBX_Click();
    EXPECT_EQ(std::pair(report.outcome, report.converted),
              std::pair(RunOutcome::Stopped, int64_t{2}));
    EXPECT_EQ(nested, (std::vector<RunOutcome>{RunOutcome::Busy}));
    EXPECT_TRUE(r.host.boxes.empty());
    EXPECT_FALSE(r.run->HasOpenStore() || r.run->Running());
    EXPECT_TRUE(r.host.frameCaptions.empty());
    EXPECT_EQ(r.host.progress.size(), 2u);
    ASSERT_EQ(report.notes.size(), 2u);
    EXPECT_EQ(report.notes[0].reason, "the frame refused its caption");
    const json dump = qm::testing::readEverywhere(r.pst());
    EXPECT_EQ(dump["folders"][r.folder("S")]["subjects"], json({"m0", "m1"}));
}

// Warnings are listed after the failed files, never counted as failures.
TEST(ConversionRunTest, TheEndBoxListsFailuresThenWarnings) {
    RunReport report;
    report.messages = report.converted = 3;
    report.pstPath = "/out/a.pst";
    MessageBoxSpec box = EndOfRunBox(report);
    EXPECT_EQ(box.icon, BoxIcon::Information);
    EXPECT_THAT(box.text, AllOf(HasSubstr("3 of 3"), HasSubstr("/out/a.pst")));
    report.converted = 2;
    report.warnings = {{"/m/a.msg", "attachment 1 dropped"}, {"/m/b.msg", "recipient 2 dropped"}};
    report.warningCount = 2;
    box = EndOfRunBox(report);
    EXPECT_EQ(box.icon, BoxIcon::Warning);
    EXPECT_THAT(box.text, AllOf(HasSubstr("2 of 3"), HasSubstr("2 warning(s)"),
                                Not(HasSubstr("could not be converted"))));
    EXPECT_EQ(box.detailedText, "/m/a.msg: attachment 1 dropped\r\n/m/b.msg: recipient 2 dropped");
    report.failed = {{"/m/c.msg", "not a compound file"}};
    EXPECT_EQ(EndOfRunBox(report).detailedText,
              "/m/c.msg: not a compound file\r\n/m/a.msg: attachment 1 dropped\r\n"
              "/m/b.msg: recipient 2 dropped");
    report.warningCount = 7;  // the report keeps only the first of them
    box = EndOfRunBox(report);
    EXPECT_THAT(box.text, HasSubstr("7 warning(s)"));
    EXPECT_TRUE(box.detailedText.ends_with("dropped\r\n... and 5 more warning(s)."))
        << box.detailedText;
}

}  // namespace
}  // namespace qm::app
