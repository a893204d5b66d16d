// Whole conversion runs through a scripted host over trees of .msg files made
// by our writer; the .pst is read back by our reader, pypff and readpst.
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
namespace fs = std::filesystem;

const convert::LocalTime kDecember{2026, 12, 6, 3, 44, 8};
const std::string kDisplay = "Quillmark : Created - 6.12.26 3.44.08";
const std::string kFile = "OutlookMessages6.12.26 3.44.08.pst";

// The host of a run: rows from a vector; every caption, progress value,
// button state and box recorded.
struct FakeHost : Host {
    std::vector<std::string> rows;
    std::string destination;  // what BrowseFolder returns ("" = cancel)
    bool listRows = false;    // hand the run its rows for reading ahead
    bool stop = false;
    bool failCaptions = false;  // the frame refuses every caption
    std::function<void()> onYield;

    std::vector<std::string> browseTitles, frameCaptions, folderCaptions;
    std::vector<std::string> events;  // "convert on|off" and "frame CAPTION", in order
    std::vector<float> progress;      // ProgressBar1's values
    std::vector<std::pair<int, std::pair<float, float>>> ranges;
    std::vector<bool> convertEnabled, sourceEnabled;
    std::vector<MessageBoxSpec> boxes;

    std::string BrowseFolder(const std::string& title) override {
        browseTitles.push_back(title);
        return destination;
    }
    int64_t Rows() override { return int64_t(rows.size()); }
    void SetCurrentCell(int64_t row, int) override { row_ = size_t(row); }
    std::string Text() override { return row_ < rows.size() ? rows[row_] : ""; }
    std::vector<std::string> ListedRows() override { return listRows ? rows : Host::ListedRows(); }
    void SetProgressRange(ProgressBar bar, float min, float max) override {
        ranges.push_back({int(bar), {min, max}});
    }
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
    // The store folder of a source folder: its POSIX components joined by
    // backslashes.
    std::string folder(const std::string& rel = "") const {
        std::string out;
        for (const auto& part : (src.path() / rel).relative_path()) {
            if (!part.empty()) out += (out.empty() ? "" : "\\") + part.string();
        }
        return out;
    }
};

// One run over a tree that has it all: nested folders, flags to mend,
// folders differing only in case, names that are not plain folder names
// (a backslash, bytes that are not UTF-8, spaces around them), and a broken
// and a missing file last.
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
    EXPECT_EQ(report.messages, int64_t(n));
    EXPECT_EQ(report.converted, int64_t(n) - 2);
    ASSERT_EQ(report.failed.size(), 2u);
    EXPECT_TRUE(report.failedFolders.empty());
    EXPECT_EQ(report.pstPath, r.pst().string());
    EXPECT_EQ(report.displayName, kDisplay);
    EXPECT_EQ(r.run->StoreDisplayName(), kDisplay);
    EXPECT_EQ(r.run->DestinationFolder(), r.dst.str() + "/");
    EXPECT_FALSE(r.run->HasOpenStore());

    // Captions and progress go on over the failed rows; both bars get the
    // range, only the first moves.
    ASSERT_EQ(r.host.frameCaptions.size(), n);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(r.host.frameCaptions[i], "Details : Converting - (" + std::to_string(i + 1) +
                                               " of " + std::to_string(n) + ") file(s)");
    }
    EXPECT_EQ(r.host.folderCaptions.back(), "Importing Messages... from (" + r.folder("M") + ")");
    ASSERT_EQ(r.host.progress.size(), n);
    EXPECT_EQ(r.host.progress[0], static_cast<float>(100.0 / double(n)));
    EXPECT_EQ(r.host.progress.back(), 100.0f);
    using Range = std::pair<int, std::pair<float, float>>;
    EXPECT_EQ(r.host.ranges, (std::vector<Range>{{1, {0.0f, 100.0f}}, {2, {0.0f, 100.0f}}}));
    EXPECT_EQ(r.host.browseTitles, (std::vector<std::string>{"Choose Folder to Save..."}));
    // Source commands off during the run and back on after; Convert off from
    // the start, again after the first row before its caption, and after.
    EXPECT_EQ(r.host.sourceEnabled, (std::vector<bool>{false, true}));
    EXPECT_FALSE(r.host.convertEnabled.front());
    EXPECT_FALSE(r.host.convertEnabled.back());
    const auto& ev = r.host.events;
    const auto first = std::find(ev.begin(), ev.end(), "frame " + r.host.frameCaptions[0]);
    ASSERT_TRUE(first != ev.begin() && first != ev.end());
    EXPECT_EQ(first[-1], "convert off");

    // One box (its text: TheEndBox...), each failure on a line naming its
    // file once.
    ASSERT_EQ(r.host.boxes.size(), 1u);
    const MessageBoxSpec& box = r.host.boxes[0];
    EXPECT_EQ(box.title, kProgramTitle);
    EXPECT_EQ(box.icon, BoxIcon::Warning);
    for (const auto& f : report.failed) {
        EXPECT_NE(box.detailedText.find(f.path), std::string::npos) << box.detailedText;
        EXPECT_EQ(box.detailedText.find(f.path), box.detailedText.rfind(f.path));
    }

    // Read flags mended, no empty item for a failed file, case-folded folders
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

// Trapped errors end in one box with the old title and icon: what failed,
// the plain cause and what to do; the details hold the whole cause. A
// destination that is missing, a file, or holds the store's name already
// makes no store; bad rows leave the store made, open and readable.
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
        EXPECT_EQ(r.host.boxes[0].title, "Outlook Error");
        EXPECT_EQ(r.host.boxes[0].icon, BoxIcon::Information);
        EXPECT_EQ(r.host.boxes[0].detailedText, report.trappedCause);
        EXPECT_TRUE(text.starts_with(start) && text.ends_with(end)) << text;
        if (c < 2) {
            EXPECT_EQ(text, start + end);
        }
        for (const char* wrong : {"installed", "http"}) {
            EXPECT_EQ(text.find(wrong), std::string::npos) << text;
        }
        // Convert and the source commands are usable again.
        EXPECT_TRUE(r.host.convertEnabled.back());
        EXPECT_TRUE(r.host.sourceEnabled.back());
        EXPECT_EQ(report.storeCreated, c > 2);
        EXPECT_EQ(r.run->HasOpenStore(), c > 2);
        if (c > 2) {
            EXPECT_TRUE(r.host.frameCaptions.empty());
            // The store left open is closed at program end (or the next run)
            // with everything committed.
            r.run.reset();
            EXPECT_TRUE(qm::testing::readEverywhere(r.pst()).is_object());
        }
    }
}

// Reading the files ahead changes nothing the run does: a row the user
// selects during a yield is the one converted. A second start during a yield
// does nothing.
TEST(ConversionRunTest, ReadingAheadChangesNothing) {
    for (const bool ahead : {false, true}) {
        SCOPED_TRACE(ahead ? "read ahead" : "each file when its row comes");
        RunSetup r;
        r.host.listRows = ahead;
        r.add("Q/a.msg", "a");
        r.add("Q/b.msg", "b");
        r.add("Q/d.msg", "d");
        // The user clicks the first row as the second is being started.
        bool clicked = false;
        std::vector<RunOutcome> nested;
        r.host.onYield = [&] {
            if (nested.empty()) nested.push_back(r.run->CmdExtractDBX_Click().outcome);
            if (clicked || r.host.frameCaptions.size() != 1) return;
            clicked = true;
            r.host.SetCurrentCell(0, 0);
        };
        const RunReport report = r.run->CmdExtractDBX_Click();
        ASSERT_EQ(report.outcome, RunOutcome::Completed);
        EXPECT_EQ(nested, (std::vector<RunOutcome>{RunOutcome::Busy}));
        EXPECT_FALSE(r.run->Running());
        EXPECT_EQ(report.converted, 3);
        const json dump = qm::testing::readEverywhere(r.pst());
        EXPECT_EQ(dump["folders"][r.folder("Q")]["subjects"], json({"a", "a", "d"}));
    }
}

// Closing the window while the second message is handled stops the run
// after it and commits; a caption the window refuses is noted and passed
// over, the bar still moves.
TEST(ConversionRunTest, StopsAfterTheCurrentMessageAndCommits) {
    RunSetup r;
    for (int i = 0; i < 6; ++i) r.add("S/m" + std::to_string(i) + ".msg", "m" + std::to_string(i));
    r.host.failCaptions = true;
    r.host.onYield = [&] { r.host.stop = r.host.stop || r.host.progress.size() == 1; };
    const RunReport report = r.run->CmdExtractDBX_Click();
    EXPECT_EQ(report.outcome, RunOutcome::Stopped);
    EXPECT_EQ(report.converted, 2);
    EXPECT_TRUE(r.host.boxes.empty());
    EXPECT_FALSE(r.run->HasOpenStore());
    EXPECT_TRUE(r.host.frameCaptions.empty());
    EXPECT_EQ(r.host.progress.size(), 2u);
    ASSERT_EQ(report.notes.size(), 2u);
    EXPECT_EQ(report.notes[0].reason, "the frame refused its caption");
    const json dump = qm::testing::readEverywhere(r.pst());
    EXPECT_EQ(dump["folders"][r.folder("S")]["subjects"], json({"m0", "m1"}));
}

// The end box: information when all went well; warnings are listed like
// failed files, after them, and never counted as failures.
TEST(ConversionRunTest, TheEndBoxListsFailuresThenWarnings) {
    RunReport report;
    report.messages = 3;
    report.converted = 3;
    report.pstPath = "/out/a.pst";
    MessageBoxSpec box = EndOfRunBox(report);
    EXPECT_EQ(box.icon, BoxIcon::Information);
    EXPECT_NE(box.text.find("3 of 3"), std::string::npos) << box.text;
    EXPECT_NE(box.text.find("/out/a.pst"), std::string::npos) << box.text;
    report.converted = 2;
    report.warnings = {{"/m/a.msg", "attachment 1 dropped"}, {"/m/b.msg", "recipient 2 dropped"}};
    report.warningCount = 2;
    box = EndOfRunBox(report);
    EXPECT_EQ(box.icon, BoxIcon::Warning);
    EXPECT_NE(box.text.find("2 of 3"), std::string::npos) << box.text;
    EXPECT_NE(box.text.find("2 warning(s)"), std::string::npos) << box.text;
    EXPECT_EQ(box.text.find("could not be converted"), std::string::npos) << box.text;
    EXPECT_EQ(box.detailedText, "/m/a.msg: attachment 1 dropped\r\n/m/b.msg: recipient 2 dropped");
    report.failed = {{"/m/c.msg", "not a compound file"}};
    EXPECT_EQ(EndOfRunBox(report).detailedText,
              "/m/c.msg: not a compound file\r\n/m/a.msg: attachment 1 dropped\r\n"
              "/m/b.msg: recipient 2 dropped");
    // The report keeps only the first warnings of a long run; the box says
    // how many it does not list.
    report.warningCount = 7;
    box = EndOfRunBox(report);
    EXPECT_NE(box.text.find("7 warning(s)"), std::string::npos) << box.text;
    EXPECT_TRUE(box.detailedText.ends_with("dropped\r\n... and 5 more warning(s)."))
        << box.detailedText;
}

// Windows-form rows make their folders (two roots share one; a row is
// trimmed as Import gets it) and fail to import, since the files are not
// here: a hundred thousand of them run quickly, past the old 16-bit limits.
TEST(ConversionRunTest, HundredThousandRowsRunPastTheOld16BitLimits) {
    RunSetup r;
    const int rows = 100000;
    r.host.rows = {"C:\\A\\B\\C\\x.msg", "D:\\A\\y.msg", "  C:\\A\\B\\z.msg  "};
    for (int i = 3; i < rows; ++i) {
        r.host.rows.push_back("C:\\Mail\\d" + std::to_string(i % 100) + "\\m" + std::to_string(i) +
                              ".msg");
    }
    const RunReport report = r.run->CmdExtractDBX_Click();
    ASSERT_EQ(report.outcome, RunOutcome::Completed);
    ASSERT_EQ(r.run->FolderList().size(), 104u);
    EXPECT_EQ(report.messages, rows);
    EXPECT_EQ(report.converted, 0);
    ASSERT_EQ(report.failed.size(), size_t(rows));
    EXPECT_EQ(report.failed[2].path, "C:\\A\\B\\z.msg");
    EXPECT_EQ(r.host.frameCaptions.back(), "Details : Converting - (100000 of 100000) file(s)");
    EXPECT_EQ(r.host.progress[32767], static_cast<float>(32768.0 / rows * 100.0));
    EXPECT_TRUE(qm::testing::readEverywhere(r.pst())["folders"].contains("A\\B\\C"));
}

}  // namespace
}  // namespace qm::app
