// Whole conversion runs through a scripted host over trees of .msg files made
// by our writer; the .pst is read back by pypff and readpst.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/conversion_run.h"
#include "app/run_boxes.h"
#include "fake_host.h"
#include "mapi/tags.h"

#include "run_fixture.h"

namespace qm::app {
namespace {

using qm::testing::FakeHost;
using qm::testing::ScratchDir;
namespace fs = std::filesystem;

const convert::LocalTime kDecember{2026, 12, 6, 3, 44, 8};
const std::string kDisplay = "Quillmark : Created - 6.12.26 3.44.08";
const std::string kFile = "OutlookMessages6.12.26 3.44.08.pst";

// The store folder path of a source folder: its POSIX components joined by
// backslashes.
std::string storePath(const fs::path& folder) {
    std::string out;
    for (const auto& part : folder.relative_path()) {
        if (!out.empty()) out += "\\";
        out += part.string();
    }
    return out;
}

// The fake host; like the window, it can hand the run its rows for reading
// ahead.
struct ListingHost : FakeHost {
    bool listRows = false;
    std::vector<std::string> ListedRows() override {
        return listRows ? rows : std::vector<std::string>{};
    }
};

struct RunSetup {
    ListingHost host;
    ScratchDir src;
    ScratchDir dst;
    std::unique_ptr<ConversionRun> run;
    RunSetup() {
        host.destination = dst.str();
        RunOptions options;
        options.clock = qm::testing::fixedClock(kDecember);
        run = std::make_unique<ConversionRun>(host, options);
    }
    fs::path add(const std::string& rel, const std::string& subject, size_t attachments = 0,
                 int32_t flags = 0) {
        const fs::path p = src.path() / rel;
        qm::testing::writeMessage(p, qm::testing::testMessage(subject, attachments, flags));
        host.rows.push_back(p.string());
        return p;
    }
    fs::path pst() const { return dst.path() / kFile; }
};

TEST(ConversionRunTest, MirrorsFoldersAndImportsEveryMessage) {
    RunSetup r;
    r.add("A/B/C/x.msg", "deep");
    r.add("A/a.msg", "top");
    r.add("A/B/b.msg", "middle");
    const RunReport report = r.run->CmdExtractDBX_Click();
    ASSERT_EQ(report.outcome, RunOutcome::Completed) << report.trappedCause;
    EXPECT_EQ(report.converted, 3);
    EXPECT_TRUE(report.failed.empty());
    EXPECT_EQ(report.pstPath, (r.dst.path() / kFile).string());
    EXPECT_EQ(report.displayName, kDisplay);
    EXPECT_EQ(r.run->StoreDisplayName(), kDisplay);
    EXPECT_EQ(r.run->DestinationFolder(), r.dst.str() + "/");
    EXPECT_FALSE(r.run->HasOpenStore());

    // The folder list ends with A, A\B, A\B\C after the source root's own
    // components, each after its parent.
    const std::string base = storePath(r.src.path());
    const StringList& list = r.run->FolderList();
    ASSERT_GE(list.size(), 3u);
    EXPECT_EQ(list[list.size() - 3], base + "\\A");
    EXPECT_EQ(list[list.size() - 2], base + "\\A\\B");
    EXPECT_EQ(list[list.size() - 1], base + "\\A\\B\\C");
    EXPECT_EQ(report.folders, int64_t(list.size()));

    // One box at the end: information icon, the file, its folder and counts.
    ASSERT_EQ(r.host.boxes.size(), 1u);
    EXPECT_EQ(r.host.boxes[0].title, kProgramTitle);
    EXPECT_EQ(r.host.boxes[0].icon, BoxIcon::Information);
    EXPECT_NE(r.host.boxes[0].text.find("3 of 3"), std::string::npos);
    EXPECT_NE(r.host.boxes[0].text.find(report.pstPath), std::string::npos);

    const auto dump = qm::testing::readEverywhere(r.pst());
    ASSERT_TRUE(dump.is_object()) << "pypff could not read " << r.pst();
    EXPECT_EQ(dump["display_name"], kDisplay);
    const auto& folders = dump["folders"];
    EXPECT_EQ(folders[base + "\\A"]["subjects"], nlohmann::json({"top"}));
    EXPECT_EQ(folders[base + "\\A\\B"]["subjects"], nlohmann::json({"middle"}));
    EXPECT_EQ(folders[base + "\\A\\B\\C"]["subjects"], nlohmann::json({"deep"}));

    const auto rp = qm::testing::dumpPst("readpst", r.pst());
    ASSERT_TRUE(rp.is_object()) << "readpst could not read " << r.pst();
    EXPECT_EQ(rp["folders"][base + "\\A"], 1);
    EXPECT_EQ(rp["folders"][base + "\\A\\B"], 1);
    EXPECT_EQ(rp["folders"][base + "\\A\\B\\C"], 1);
}

TEST(ConversionRunTest, CaptionsProgressAndButtons) {
    RunSetup r;
    for (int i = 0; i < 5; ++i) r.add("M/m" + std::to_string(i) + ".msg", "s" + std::to_string(i));
    ASSERT_EQ(r.run->CmdExtractDBX_Click().outcome, RunOutcome::Completed);
    ASSERT_EQ(r.host.frameCaptions.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(r.host.frameCaptions[size_t(i)],
                  "Details : Converting - (" + std::to_string(i + 1) + " of 5) file(s)");
    }
    EXPECT_EQ(r.host.folderCaptions.back(),
              "Importing Messages... from (" + storePath(r.src.path() / "M") + ")");
    EXPECT_EQ(r.host.progress, (std::vector<float>{20, 40, 60, 80, 100}));
    // Both bars get the range; only the first moves.
    ASSERT_EQ(r.host.ranges.size(), 2u);
    EXPECT_EQ(r.host.ranges[0], (std::pair<int, std::pair<float, float>>{1, {0.0f, 100.0f}}));
    EXPECT_EQ(r.host.ranges[1], (std::pair<int, std::pair<float, float>>{2, {0.0f, 100.0f}}));
    EXPECT_EQ(r.host.browseTitles, (std::vector<std::string>{"Choose Folder to Save..."}));
    // Source commands off during the run and back on after; Convert off from
    // the start and still off after the rows were handled.
    EXPECT_EQ(r.host.sourceEnabled, (std::vector<bool>{false, true}));
    EXPECT_FALSE(r.host.convertEnabled.front());
    EXPECT_FALSE(r.host.convertEnabled.back());
    // Convert is switched off after the first row, before its caption.
    const auto& ev = r.host.events;
    auto firstFrame =
        std::find(ev.begin(), ev.end(), "frame Details : Converting - (1 of 5) file(s)");
    ASSERT_NE(firstFrame, ev.end());
    EXPECT_EQ(*(firstFrame - 1), "convert off");

    RunSetup three;
    for (int i = 0; i < 3; ++i) three.add("T/t" + std::to_string(i) + ".msg", "t");
    ASSERT_EQ(three.run->CmdExtractDBX_Click().outcome, RunOutcome::Completed);
    ASSERT_EQ(three.host.progress.size(), 3u);
    EXPECT_EQ(three.host.progress[0], static_cast<float>(100.0 / 3.0));
    EXPECT_EQ(three.host.progress[1], static_cast<float>(200.0 / 3.0));
    EXPECT_EQ(three.host.progress[2], 100.0f);
}

TEST(ConversionRunTest, CancelledDestinationChangesNothing) {
    RunSetup r;
    r.add("M/a.msg", "a");
    r.host.destination = "";
    const RunReport report = r.run->CmdExtractDBX_Click();
    EXPECT_EQ(report.outcome, RunOutcome::Cancelled);
    EXPECT_TRUE(r.host.boxes.empty());
    EXPECT_TRUE(r.host.convertEnabled.empty());
    EXPECT_TRUE(r.host.sourceEnabled.empty());
    EXPECT_EQ(r.host.yields, 0);
    EXPECT_TRUE(fs::is_empty(r.dst.path()));
}

// The trapped-mode box keeps its title and icon; its text is `start`, the
// plain cause, then what to do; the details hold the whole cause.
void expectTrappedBox(const FakeHost& host, const RunReport& report, const std::string& start,
                      const std::string& end) {
    ASSERT_EQ(host.boxes.size(), 1u);
    const auto& box = host.boxes[0];
    EXPECT_EQ(box.title, "Outlook Error");
    EXPECT_EQ(box.icon, BoxIcon::Information);
    EXPECT_EQ(box.text.rfind(start, 0), 0u) << box.text;
    ASSERT_GE(box.text.size(), start.size() + end.size()) << box.text;
    EXPECT_EQ(box.text.substr(box.text.size() - end.size()), end) << box.text;
    for (const char* wrong : {"installed", "http"}) {
        EXPECT_EQ(box.text.find(wrong), std::string::npos) << box.text;
    }
    EXPECT_EQ(box.detailedText, report.trappedCause);
}

TEST(ConversionRunTest, TheTrappedBoxNamesTheCauseAndWhatToDo) {
    struct Case {
        const char* destination;  // below the scratch folder
        const char* cause;
    };
    const Case cases[] = {
        {"missing", "no such file or directory"},
        {"file", "not a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.destination);
        RunSetup r;
        r.add("M/a.msg", "a");
        std::ofstream(r.dst.path() / "file") << "not a folder";
        r.host.destination = (r.dst.path() / c.destination).string();
        const RunReport report = r.run->CmdExtractDBX_Click();
        EXPECT_EQ(report.outcome, RunOutcome::Trapped);
        ASSERT_EQ(r.host.boxes.size(), 1u);
        EXPECT_EQ(r.host.boxes[0].text, "Could not create the .pst in " + r.host.destination +
                                            ": " + c.cause + ". Choose another folder.");
        expectTrappedBox(r.host, report, "Could not create", ". Choose another folder.");
    }
}

TEST(ConversionRunTest, BadRowsEndInTheErrorBoxWithTheStoreMade) {
    for (const std::string bad : {"", "/loose.msg", "C:\\root.msg", "\\\\server\\share\\a.msg"}) {
        SCOPED_TRACE(bad);
        RunSetup r;
        r.add("M/a.msg", "a");
        r.host.rows.push_back(bad);
        const RunReport report = r.run->CmdExtractDBX_Click();
        EXPECT_EQ(report.outcome, RunOutcome::Trapped);
        expectTrappedBox(
            r.host, report,
            "Could not sort the listed files into folders of " + r.pst().string() + ": ",
            ". Clear the list, add the files again and convert.");
        EXPECT_TRUE(report.storeCreated);
        EXPECT_TRUE(fs::exists(r.pst()));
        EXPECT_TRUE(r.run->HasOpenStore());  // nothing undone
        EXPECT_TRUE(r.host.frameCaptions.empty());
        // Convert and the source commands are usable again.
        EXPECT_TRUE(r.host.convertEnabled.back());
        EXPECT_TRUE(r.host.sourceEnabled.back());
        // The store left open is closed at program end (or the next run),
        // with everything committed: readable.
        r.run.reset();
        EXPECT_TRUE(qm::testing::readEverywhere(r.pst()).is_object());
    }
}

TEST(ConversionRunTest, AnExistingFileIsNeverOverwritten) {
    RunSetup r;
    r.add("M/a.msg", "a");
    ASSERT_EQ(r.run->CmdExtractDBX_Click().outcome, RunOutcome::Completed);
    const auto size = fs::file_size(r.pst());
    const auto time = fs::last_write_time(r.pst());
    r.host.boxes.clear();
    // Same clock, same second: the same file name.
    const RunReport again = r.run->CmdExtractDBX_Click();
    EXPECT_EQ(again.outcome, RunOutcome::Trapped);
    expectTrappedBox(r.host, again, "Could not create the .pst in " + r.dst.str() + ": \"",
                     "\" already exists; it is never overwritten. Choose another folder.");
    EXPECT_NE(again.trappedCause.find("already exists"), std::string::npos) << again.trappedCause;
    EXPECT_FALSE(again.storeCreated);
    EXPECT_EQ(fs::file_size(r.pst()), size);
    EXPECT_EQ(fs::last_write_time(r.pst()), time);
}

TEST(ConversionRunTest, BrokenMessagesAreCountedAndTheOthersImported) {
    RunSetup r;
    r.add("M/a.msg", "first");
    const fs::path bad = r.src.path() / "M" / "broken.msg";
    qm::testing::writeBroken(bad);
    r.host.rows.push_back(bad.string());
    r.host.rows.push_back((r.src.path() / "M" / "missing.msg").string());
    r.add("M/c.msg", "last");
    const RunReport report = r.run->CmdExtractDBX_Click();
    ASSERT_EQ(report.outcome, RunOutcome::Completed);
    EXPECT_EQ(report.messages, 4);
    EXPECT_EQ(report.converted, 2);
    ASSERT_EQ(report.failed.size(), 2u);
    EXPECT_EQ(report.failed[0].path, bad.string());
    EXPECT_FALSE(report.failed[0].reason.empty());
    // Captions and progress go on over the failed rows.
    EXPECT_EQ(r.host.progress, (std::vector<float>{25, 50, 75, 100}));
    ASSERT_EQ(r.host.boxes.size(), 1u);
    EXPECT_EQ(r.host.boxes[0].icon, BoxIcon::Warning);
    EXPECT_NE(r.host.boxes[0].text.find("2 of 4"), std::string::npos);
    EXPECT_NE(r.host.boxes[0].detailedText.find(bad.string()), std::string::npos);
    EXPECT_NE(r.host.boxes[0].detailedText.find("missing.msg"), std::string::npos);
    // Each failure is one line that names its file once.
    for (const auto& f : report.failed) {
        const std::string& details = r.host.boxes[0].detailedText;
        EXPECT_EQ(details.find(f.path), details.rfind(f.path)) << details;
    }

    // No empty item for the failed ones.
    const auto dump = qm::testing::readEverywhere(r.pst());
    ASSERT_TRUE(dump.is_object());
    EXPECT_EQ(dump["folders"][storePath(r.src.path() / "M")]["subjects"],
              nlohmann::json({"first", "last"}));
}

// Reading the files ahead changes nothing the run does: a broken file fails
// alone, and a row the user selects during a yield is the one converted.
TEST(ConversionRunTest, ReadingAheadChangesNothing) {
    for (const bool ahead : {false, true}) {
        SCOPED_TRACE(ahead ? "read ahead" : "each file when its row comes");
        RunSetup r;
        r.host.listRows = ahead;
        r.add("Q/a.msg", "a");
        r.add("Q/b.msg", "b");
        const fs::path bad = r.src.path() / "Q" / "broken.msg";
        qm::testing::writeBroken(bad);
        r.host.rows.push_back(bad.string());
        r.add("Q/d.msg", "d");
        // The user clicks the first row as the second is being started.
        bool clicked = false;
        r.host.onYield = [&] {
            if (clicked || r.host.frameCaptions.size() != 1) return;
            clicked = true;
            r.host.SetCurrentCell(0, 0);
        };
        const RunReport report = r.run->CmdExtractDBX_Click();
        ASSERT_EQ(report.outcome, RunOutcome::Completed);
        EXPECT_EQ(report.converted, 3);
        ASSERT_EQ(report.failed.size(), 1u);
        EXPECT_EQ(report.failed[0].path, bad.string());
        const auto dump = qm::testing::readEverywhere(r.pst());
        ASSERT_TRUE(dump.is_object());
        EXPECT_EQ(dump["folders"][storePath(r.src.path() / "Q")]["subjects"],
                  nlohmann::json({"a", "a", "d"}));
    }
}

TEST(ConversionRunTest, FlagsSayReadAndAttachmentsTruly) {
    RunSetup r;
    r.add("F/plain.msg", "plain", 0, mapi::MSGFLAG_UNSENT | mapi::MSGFLAG_HASATTACH);
    r.add("F/attached.msg", "attached", 2, mapi::MSGFLAG_UNSENT);
    r.add("F/none.msg", "none");
    ASSERT_EQ(r.run->CmdExtractDBX_Click().outcome, RunOutcome::Completed);
    const auto dump = qm::testing::readEverywhere(r.pst());
    ASSERT_TRUE(dump.is_object());
    const auto& f = dump["folders"][storePath(r.src.path() / "F")];
    EXPECT_EQ(f["subjects"], nlohmann::json({"plain", "attached", "none"}));
    EXPECT_EQ(f["flags"],
              nlohmann::json({mapi::MSGFLAG_READ, mapi::MSGFLAG_READ | mapi::MSGFLAG_HASATTACH,
                              mapi::MSGFLAG_READ}));
    EXPECT_EQ(f["attachments"], nlohmann::json({0, 2, 0}));
}

TEST(ConversionRunTest, FoldersDifferingInCaseShareOneStoreFolder) {
    RunSetup r;
    r.add("Mail/a.msg", "upper");
    r.add("mail/b.msg", "lower");
    const RunReport report = r.run->CmdExtractDBX_Click();
    ASSERT_EQ(report.outcome, RunOutcome::Completed);
    EXPECT_EQ(report.converted, 2);
    EXPECT_TRUE(report.failedFolders.empty());
    const auto dump = qm::testing::readEverywhere(r.pst());
    ASSERT_TRUE(dump.is_object());
    EXPECT_EQ(dump["folders"][storePath(r.src.path() / "Mail")]["subjects"],
              nlohmann::json({"upper", "lower"}));
    EXPECT_FALSE(dump["folders"].contains(storePath(r.src.path() / "mail")));
}

TEST(ConversionRunTest, FileNamesThatAreNotPlainFolderNames) {
    // A backslash inside a name, bytes that are not UTF-8, and spaces around
    // names: each file is opened by its exact bytes and lands in one folder.
    RunSetup r;
    r.add("a\\b/one.msg", "backslash");
    r.add("caf\xE9/two.msg", "latin-1 name");
    r.add(" spaced /three .msg ", "spaces");
    const RunReport report = r.run->CmdExtractDBX_Click();
    ASSERT_EQ(report.outcome, RunOutcome::Completed);
    EXPECT_EQ(report.converted, 3) << (report.failed.empty() ? "" : report.failed[0].reason);
    const std::string base = storePath(r.src.path());
    const auto dump = qm::testing::readEverywhere(r.pst());
    ASSERT_TRUE(dump.is_object());
    EXPECT_EQ(dump["folders"][base + "\\a\xEF\xBC\xBC"
                                     "b"]["subjects"],
              nlohmann::json({"backslash"}));
    EXPECT_EQ(dump["folders"][base + "\\caf\xEF\xBF\xBD"]["subjects"],
              nlohmann::json({"latin-1 name"}));
    EXPECT_EQ(dump["folders"][base + "\\ spaced "]["subjects"], nlohmann::json({"spaces"}));
}

TEST(ConversionRunTest, WindowsFormRowsMakeTheirFoldersAndFailToImport) {
    // Two roots share one folder; the files do not exist here, so each
    // message fails and is counted, but the folder tree is made.
    RunSetup r;
    r.host.rows = {"C:\\A\\B\\C\\x.msg", "D:\\A\\y.msg", "  C:\\A\\B\\z.msg  "};
    const RunReport report = r.run->CmdExtractDBX_Click();
    ASSERT_EQ(report.outcome, RunOutcome::Completed);
    EXPECT_EQ(r.run->FolderList(), (StringList{"A", "A\\B", "A\\B\\C"}));
    EXPECT_EQ(report.folders, 3);
    EXPECT_EQ(report.converted, 0);
    ASSERT_EQ(report.failed.size(), 3u);
    EXPECT_EQ(report.failed[2].path, "C:\\A\\B\\z.msg");  // trimmed, as Import gets it
    EXPECT_EQ(r.host.folderCaptions[1], "Importing Messages... from (A)");
    const auto dump = qm::testing::readEverywhere(r.pst());
    ASSERT_TRUE(dump.is_object());
    EXPECT_TRUE(dump["folders"].contains("A\\B\\C"));
}

TEST(ConversionRunTest, StopsAfterTheCurrentMessageAndCommits) {
    RunSetup r;
    for (int i = 0; i < 6; ++i) r.add("S/m" + std::to_string(i) + ".msg", "m" + std::to_string(i));
    // The user closes the window while the second message is being handled.
    r.host.onYield = [&] {
        if (r.host.frameCaptions.size() == 1) r.host.stop = true;
    };
    const RunReport report = r.run->CmdExtractDBX_Click();
    EXPECT_EQ(report.outcome, RunOutcome::Stopped);
    EXPECT_EQ(report.converted, 2);
    EXPECT_TRUE(r.host.boxes.empty());
    EXPECT_FALSE(r.run->HasOpenStore());
    const auto dump = qm::testing::readEverywhere(r.pst());
    ASSERT_TRUE(dump.is_object());
    EXPECT_EQ(dump["folders"][storePath(r.src.path() / "S")]["subjects"],
              nlohmann::json({"m0", "m1"}));
}

// Warnings are listed like failed files, after them, and never counted as
// failures.
TEST(ConversionRunTest, TheEndBoxListsWarningsLikeFailedFiles) {
    RunReport report;
    report.messages = 3;
    report.converted = 2;
    report.warnings = {{"/m/a.msg", "attachment 1 dropped"}, {"/m/b.msg", "recipient 2 dropped"}};
    report.warningCount = 2;
    MessageBoxSpec box = EndOfRunBox(report);
    EXPECT_EQ(box.icon, BoxIcon::Warning);
    EXPECT_NE(box.text.find("2 of 3"), std::string::npos) << box.text;
    EXPECT_NE(box.text.find("2 warning(s)"), std::string::npos) << box.text;
    EXPECT_EQ(box.text.find("could not be converted"), std::string::npos) << box.text;
    EXPECT_EQ(box.detailedText, "/m/a.msg: attachment 1 dropped\r\n/m/b.msg: recipient 2 dropped");
    report.failed = {{"/m/c.msg", "not a compound file"}};
    box = EndOfRunBox(report);
    EXPECT_EQ(box.detailedText,
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

TEST(ConversionRunTest, AFailingCaptionIsPassedOver) {
    RunSetup r;
    r.add("C/a.msg", "a");
    r.add("C/b.msg", "b");
    r.host.failCaptions = true;
    const RunReport report = r.run->CmdExtractDBX_Click();
    ASSERT_EQ(report.outcome, RunOutcome::Completed);
    EXPECT_EQ(report.converted, 2);
    EXPECT_TRUE(r.host.frameCaptions.empty());
    EXPECT_EQ(r.host.progress, (std::vector<float>{50, 100}));
    ASSERT_EQ(report.notes.size(), 2u);
    EXPECT_EQ(report.notes[0].reason, "the frame refused its caption");
}

TEST(ConversionRunTest, ASecondStartDuringARunDoesNothing) {
    RunSetup r;
    r.add("R/a.msg", "a");
    r.add("R/b.msg", "b");
    std::vector<RunOutcome> nested;
    r.host.onYield = [&] {
        if (nested.empty()) nested.push_back(r.run->CmdExtractDBX_Click().outcome);
    };
    EXPECT_EQ(r.run->CmdExtractDBX_Click().outcome, RunOutcome::Completed);
    EXPECT_EQ(nested, (std::vector<RunOutcome>{RunOutcome::Busy}));
    EXPECT_FALSE(r.run->Running());
}

}  // namespace
}  // namespace qm::app

namespace qm::app {
namespace {

TEST(ConversionRunTest, HundredThousandRowsRunPastTheOld16BitLimits) {
    // Windows-form rows: their folders are made, their files do not exist
    // here, so every row is handled quickly and counted as failed.
    RunSetup r;
    const int rows = 100000;
    for (int i = 0; i < rows; ++i) {
        r.host.rows.push_back("C:\\Mail\\d" + std::to_string(i % 100) + "\\m" + std::to_string(i) +
                              ".msg");
    }
    const RunReport report = r.run->CmdExtractDBX_Click();
    ASSERT_EQ(report.outcome, RunOutcome::Completed);
    EXPECT_EQ(r.run->FolderList().size(), 101u);
    EXPECT_EQ(report.folders, 101);
    EXPECT_EQ(report.messages, rows);
    EXPECT_EQ(report.failed.size(), size_t(rows));
    EXPECT_EQ(r.host.frameCaptions.back(), "Details : Converting - (100000 of 100000) file(s)");
    EXPECT_EQ(r.host.progress.back(), 100.0f);
    EXPECT_EQ(r.host.progress[32767], static_cast<float>(32768.0 / rows * 100.0));
}

}  // namespace
}  // namespace qm::app
