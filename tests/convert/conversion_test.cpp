// The engine without a front end: the pure parts under the folder list, the
// store's names, --dedupe's identity; whole runs through a recording
// observer, with readers standing in for damaged input; the read-ahead.
#include "convert/conversion.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "convert/folder_list.h"
#include "convert/message_identity.h"
#include "convert/read_ahead.h"
#include "convert/relative_folder.h"
#include "convert/string_list.h"
#include "convert/timestamp.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "msg/msg.h"
#include "run_fixture.h"

namespace qm::convert {
namespace {

namespace fs = std::filesystem;
namespace tag = mapi::tag;
using mapi::Property;
using qm::testing::errorOf;
using qm::testing::ScratchDir;

TEST(SortStringRangeTest, ByUtf16CodeUnitsCasesFromTheFolderList) {
    // U+FF3C after every supplementary character, as in UTF-16 though not in
    // UTF-8; é < ê differ in a continuation byte.
    std::string lower;  // each after the one before, "" first
    for (const char* s : {"A", "a", "x\\y", "x\\y\\z", "z", "\xC3\xA9", "\xC3\xAA",
                          "\xF0\x9F\x98\x80", "\xEF\xBC\xBC"}) {
        EXPECT_TRUE(BinaryLess(lower, s)) << s;
        EXPECT_FALSE(BinaryLess(s, lower)) << s;
        lower = s;
    }
    EXPECT_FALSE(BinaryLess("", ""));
    // The spare element after hi stays; an empty range still reads list(lo - 1).
    const struct {
        StringList in;
        int64_t lo, hi;
        StringList out;  // {"!"}: the range is outside the list
    } cases[] = {{{"b", "a", "B", "a"}, 0, 3, {"B", "a", "a", "b"}},
                 {{"b", "a", ""}, 0, 1, {"a", "b", ""}},
                 {{"a"}, 0, -1, {"!"}},
                 {{"b", "a"}, 0, 2, {"!"}},
                 {{}, 0, 0, {"!"}}};
    for (auto c : cases) {
        const bool bad = c.out == StringList{"!"};
        EXPECT_EQ(errorOf([&] { SortStringRange(c.in, c.lo, c.hi); }), bad ? kErrSubscript : 0);
        EXPECT_TRUE(bad || c.in == c.out) << c.lo << ".." << c.hi;
    }
    // Beyond the old 16-bit index limits, in an organ-pipe order (a classic
    // bad case for a middle pivot): as std::sort, and de-duplicated.
    const size_t n = 100000;
    StringList organ(n);
    for (size_t i = 0; i < n; ++i) organ[i] = std::to_string(i < n / 2 ? i : n - i) + "\\x";
    StringList expected = organ;
    std::sort(expected.begin(), expected.end(), BinaryLess);
    SortStringRange(organ, 0, int64_t(n) - 1);
    EXPECT_EQ(organ, expected);
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    RemoveDuplicateStrings(organ);
    EXPECT_EQ(organ, expected);
    // Duplicates are dropped only next to each other, empty strings always.
    const StringList dups[][2] = {
        {{"a", "", "a", "a", "b", "a"}, {"a", "a", "b", "a"}}, {{"", ""}, {}}, {{}, {}}};
    for (const auto& [in, out] : dups) {
        StringList list = in;
        RemoveDuplicateStrings(list);
        EXPECT_EQ(list, out);
    }
    // The folder list, with no one to yield to: parents first, each folder once.
    StringList folders = {"A\\B\\C", "A", "a\\b", "A\\B\\C", ""};
    ExpandAndSortFolders(folders);
    EXPECT_EQ(folders, (StringList{"A", "A\\B", "A\\B\\C", "a", "a\\b"}));
}

TEST(GetRelativeFolderTest, WindowsFormAndPosixPaths) {
    const char* const cases[][2] = {
        {"C:\\Mail\\2009\\a.msg", "Mail\\2009"},
        // Spaces around the row and around the part after the colon are ignored.
        {"  C:  \\Mail\\a.msg  ", "Mail"},
        {"/home/ann/Mail/2009/a.msg", "home\\ann\\Mail\\2009"},
        // A backslash in a name cannot split it into two folders.
        {"/data/a\\z/m.msg", "data\\a\xEF\xBC\xBCz"},
        // Bytes that are not UTF-8 become U+FFFD, one per byte.
        {"/data/caf\xE9/m.msg", "data\\caf\xEF\xBF\xBD"},
        {"/data/\xC3\xA9t\xC3\xA9/m.msg", "data\\\xC3\xA9t\xC3\xA9"},
        {"/data/ my mail /m.msg", "data\\ my mail "},
        {"/a//b/./c/../m.msg", "a\\b"},
    };
    for (const auto& [path, folder] : cases) EXPECT_EQ(GetRelativeFolder(path), folder) << path;
    // No drive and colon, or nothing after them; then files in a root.
    for (const char* path : {"", "\\\\server\\share\\a.msg", "relative\\a.msg", "C:"})
        EXPECT_EQ(errorOf([=] { GetRelativeFolder(path); }), kErrSubscript) << path;
    for (const char* path : {"C:\\a.msg", "   C:\\a.msg", "/a.msg", "/x/../a.msg"})
        EXPECT_EQ(errorOf([=] { GetRelativeFolder(path); }), kErrInvalidCall) << path;
    EXPECT_FALSE(IsPosixPath(" /a"));
    EXPECT_EQ(SourcePathForImport("/home/ann/ a.msg "), "/home/ann/ a.msg ");
    EXPECT_EQ(SourcePathForImport("  C:\\Mail\\a.msg "), "C:\\Mail\\a.msg");
    // The store's file name: day, month, hour and minute unpadded.
    EXPECT_EQ(StoreFileName(Timestamp({2027, 1, 9, 14, 5, 3})),
              "OutlookMessages9.1.27 14.5.03.pst");
    EXPECT_EQ(Timestamp({2005, 10, 31, 0, 0, 59}), "31.10.05 0.0.59");
}

using Change = std::function<void(mapi::Message&)>;

// Sets the properties on the message, on its first recipient (`on` 1) or on
// its first attachment (`on` 2).
Change set(std::vector<Property> props, int on = 0) {
    return [props, on](mapi::Message& m) {
        for (const Property& p : props)
            (on == 0 ? m.props : on == 1 ? m.recipients[0].props : m.attachments[0].props).set(p);
    };
}

// Attachment data over two of the pieces a stream is hashed in, in memory
// or streamed.
Property bigData(bool streamed) {
    const auto data = std::make_shared<PatternSource>(5u << 19, 7);
    Property p = Property::binary(tag::AttachDataBinary, Bytes(streamed ? 0 : data->size()));
    data->read(0, p.value);
    if (streamed) p.stream = data;
    return p;
}

TEST(MessageIdentity, WhatMakesTwoMessagesTheSame) {
    const Change id1 = set({Property::utf8(tag::InternetMessageId, "<1@x>")});
    const Change eightBit = [](mapi::Message& m) {
        m.props.erase(tag::Subject);
        m.props.set(Property::string8(mapi::makeTag(0x0037, mapi::PT_STRING8), "Lunch"));
    };
    const struct {
        bool same;
        const char* what;
        Change second, first = {};
    } cases[] = {
        {false, "the subject", set({Property::utf8(tag::Subject, "Dinner")})},
        {true, "the 8-bit form of the same subject", eightBit},
        {false, "a recipient's name", set({Property::utf8(tag::DisplayName, "Bo")}, 1)},
        {false, "attachment bytes", set({Property::binary(tag::AttachDataBinary, {1, 2, 4})}, 2)},
        {true, "attachment bytes in memory or streamed in pieces", set({bigData(true)}, 2),
         set({bigData(false)}, 2)},
        {false, "a field's bytes moved to the next field",
         set({Property::utf8(tag::SenderName, "AnnLunch"), Property::utf8(tag::Subject, "")})},
        {true, "same message id, other content",
         set({Property::utf8(tag::InternetMessageId, " <1@x>\r\n"),
              Property::utf8(tag::Subject, "Dinner")}),
         id1},
        {false, "other message ids, same content",
         set({Property::utf8(tag::InternetMessageId, "<2@x>")}), id1},
        {false, "only one has a message id", {}, id1},
    };
    for (const auto& c : cases) {
        mapi::Message m[2];
        for (mapi::Message& x : m) {
            x.props.set(Property::utf8(tag::MessageClass, "IPM.Note"));
            x.props.set(Property::utf8(tag::Subject, "Lunch"));
            x.props.set(Property::utf8(tag::SenderName, "Ann"));
            x.props.set(Property::time(tag::ClientSubmitTime, 133000000000000000ull));
            x.props.set(Property::utf8(tag::Body, "At noon?"));
            x.recipients.emplace_back().props.set(Property::utf8(tag::DisplayName, "Bob"));
            mapi::Attachment& a = x.attachments.emplace_back();
            a.props.set(Property::utf8(tag::AttachLongFilename, "menu.txt"));
            a.props.set(Property::binary(tag::AttachDataBinary, {1, 2, 3}));
        }
        if (c.first) c.first(m[0]);
        if (c.second) c.second(m[1]);
        EXPECT_EQ(MessageIdentity(m[0]) == MessageIdentity(m[1]), c.same) << c.what;
    }
}

ReadAhead::PathSource listOf(std::vector<std::string> paths) {
    return [paths = std::move(paths), i = size_t(0)](std::string& path) mutable {
        if (i == paths.size()) return false;
        path = paths[i++];
        return true;
    };
}

struct Rows : SourceList {
    explicit Rows(std::vector<std::string> rows) : rows(std::move(rows)) {}
    int64_t size() override { return int64_t(rows.size()); }
    std::string path(int64_t row) override {
        ++reads;
        return rows.at(size_t(row));
    }
    std::unique_ptr<SourceCursor> readAheadCursor() override {
        struct Cursor : SourceCursor {
            ReadAhead::PathSource source;
            bool next(std::string& p) override { return source(p); }
        };
        auto c = std::make_unique<Cursor>();
        c->source = listOf(rows);
        return c;
    }
    std::vector<std::string> rows;
    int reads = 0;
};

struct Recorder : Observer {
    void messageDone(const MessageOutcome& m) override { done.push_back(m); }
    void warning(const Warning& w) override { warnings.push_back(w); }
    std::vector<MessageOutcome> done;
    std::vector<Warning> warnings;
};

// Reads .msg files and adds the warnings a damaged file would have given
// (keyed by file name); a name listed with no warnings fails to read.
struct DamagedReader : MessageReader {
    std::map<std::string, std::vector<std::string>> damage;
    mapi::Message read(const std::string& path) override {
        mapi::Message m = msg::readMsgFile(path);
        const auto it = damage.find(fs::path(path).filename().string());
        if (it != damage.end()) {
            if (it->second.empty()) throw qm::Error(path + ": unreadable by design");
            m.warnings = it->second;
        }
        return m;
    }
};

ConversionOptions optionsIn(const ScratchDir& dst) {
    ConversionOptions o;
    o.destination = WithTrailingSeparator(dst.str());
    o.clock = qm::testing::fixedClock({2026, 12, 6, 3, 44, 8});
    return o;
}

TEST(ConversionTest, FolderListFromTheRowsAsFromTheirFoldersAll) {
    // Runs of one folder (as a folder walk lists them), folders coming back
    // later, and case-different twins.
    std::vector<std::string> paths(30, "/m/b/x.msg");
    paths.insert(paths.end(), 5, "/m/a/c/y.msg");
    paths.insert(paths.end(),
                 {"/m/b/z.msg", "/m/B/z.msg", "/m/b/w.msg", "/n/\xC3\xA9/v.msg", "/m/a/u.msg"});
    ScratchDir dst;
    Conversion c(optionsIn(dst));
    Rows rows(paths);
    Recorder seen;
    const RunReport report = c.run(rows, seen);
    ASSERT_EQ(report.outcome, RunOutcome::Completed) << report.trappedCause;
    EXPECT_EQ(c.folderList(),
              (StringList{"m", "m\\B", "m\\a", "m\\a\\c", "m\\b", "n", "n\\\xC3\xA9"}));
    EXPECT_EQ(report.folders, 6);  // m\B and m\b are one store folder
    EXPECT_TRUE(report.failedFolders.empty());
    // Every row read twice (folder list, import), and failed alone: no such file.
    EXPECT_EQ(rows.reads, int(2 * paths.size()));
    ASSERT_EQ(report.failed.size(), paths.size());
    EXPECT_NE(report.failed[0].reason.find("no such file"), std::string::npos);
    EXPECT_FALSE(c.storeOpen());
    EXPECT_EQ(seen.done.size(), paths.size());
    EXPECT_EQ(seen.done.back().storeFolder, "m\\a");
    EXPECT_THROW(c.run(rows, seen), qm::Error);  // a conversion runs once
}

// What a reader repaired is reported per message, in list order, and the
// message still converted; a read that fails is a failure, not a warning. The
// report counts every warning but keeps only the first kKeptWarnings.
TEST(ConversionTest, ReaderWarningsAreReportedNeverCountedAsFailures) {
    ScratchDir src;
    std::vector<std::string> paths;
    for (const char* name :
         {"clean.msg", "damaged.msg", "twice.msg", "unreadable.msg", "noisy.msg"}) {
        paths.push_back((src.path() / "M" / name).string());
        qm::testing::writeMessage(paths.back(), qm::testing::testMessage(name));
    }
    auto reader = std::make_shared<DamagedReader>();
    reader->damage["damaged.msg"] = {"attachment 2 dropped: its stream is cut short"};
    reader->damage["twice.msg"] = {"recipient 1 dropped", "property 0x0037 repaired"};
    reader->damage["unreadable.msg"] = {};
    for (size_t i = 0; i < kKeptWarnings; ++i)
        reader->damage["noisy.msg"].push_back("warning " + std::to_string(i));
    const int64_t total = 3 + int64_t(kKeptWarnings);
    for (bool ahead : {false, true}) {
        SCOPED_TRACE(ahead ? "read ahead" : "read in turn");
        ScratchDir out;
        ConversionOptions o = optionsIn(out);
        o.reader = reader;
        o.readAhead = ahead;
        Conversion c(o);
        Rows rows(paths);
        Recorder seen;
        Observer quiet;  // the report alone tells it all
        const RunReport report = c.run(rows, ahead ? quiet : seen);
        ASSERT_EQ(report.outcome, RunOutcome::Completed) << report.trappedCause;
        EXPECT_EQ(report.converted, 4);
        ASSERT_EQ(report.failed.size(), 1u);
        EXPECT_EQ(report.failed[0].path, paths[3]);
        EXPECT_EQ(report.warningCount, total);
        ASSERT_EQ(report.warnings.size(), kKeptWarnings);
        EXPECT_EQ(report.warnings.back().what, "warning " + std::to_string(kKeptWarnings - 4));
        EXPECT_EQ(report.warnings[0].path, paths[1]);
        EXPECT_EQ(report.warnings[0].what, "attachment 2 dropped: its stream is cut short");
        EXPECT_EQ(report.warnings[2].path, paths[2]);
        EXPECT_EQ(report.warnings[2].what, "property 0x0037 repaired");
        if (!ahead) {
            ASSERT_EQ(seen.warnings.size(), size_t(total));
            EXPECT_EQ(seen.warnings[1].what, "recipient 1 dropped");
            EXPECT_EQ(seen.warnings.back().path, paths[4]);
        }
        EXPECT_EQ(qm::testing::readBack(
                      report.pstPath)["folders"][GetRelativeFolder(paths[0])]["subjects"],
                  nlohmann::json({"clean.msg", "damaged.msg", "twice.msg", "noisy.msg"}));
    }
}

// The subject of the message `f` gives, "(none)", or the text of what it threw.
std::string outcomeOf(const std::function<std::optional<mapi::Message>()>& f) {
    try {
        const auto m = f();
        return m ? m->props.string(mapi::propId(mapi::tag::Subject)).value_or("") : "(none)";
    } catch (const qm::Error& e) {
        return e.what();
    }
}

// Reading ahead, the run gets exactly what its own read would give (message
// or error), in list order; a path not ahead, or a source that fails, stops it.
TEST(ReadAhead, GivesWhatTheRunsOwnReadWouldInListOrder) {
    ScratchDir dir;
    std::vector<std::string> f;
    // More than the queue holds: the worker waits for the run.
    for (size_t i = 0; i < ReadAhead::kMaxMessages + 14; ++i) {
        f.push_back((dir / ("m" + std::to_string(i) + ".msg")).string());
        qm::testing::writeMessage(f.back(), qm::testing::testMessage("s" + std::to_string(i)));
    }
    const auto read = [](const std::string& path) { return msg::readMsgFile(path); };
    ReadAhead ahead(listOf(f), read);
    for (size_t i = 0; i < f.size(); ++i)
        EXPECT_EQ(outcomeOf([&] { return ahead.take(f[i]); }), "s" + std::to_string(i));
    // Stopped while the worker waits for room: the destructor joins it.
    std::optional<ReadAhead> full(std::in_place, listOf(f), read);
    ASSERT_TRUE(full->take(f[0]));
    full.reset();
    // Messages each past the byte limit come one at a time; the one the run
    // holds counts until it asks for the next.
    ReadAhead heavy(listOf({f[0], f[1], f[2]}), [&](const std::string& path) {
        mapi::Message m = read(path);
        m.props.set(
            Property::binary(mapi::makeTag(0x6000, mapi::PT_BINARY), Bytes(ReadAhead::kMaxBytes)));
        return m;
    });
    for (size_t i : {0, 1, 2})
        EXPECT_EQ(outcomeOf([&] { return heavy.take(f[i]); }), "s" + std::to_string(i));
    // Skipped rows are dropped; what the read raised comes back as the run's
    // own read would raise it; a row listed twice (the Open dialog allows it)
    // is read twice; a path not ahead stops it and the caller reads.
    const std::string bad = (dir / "bad.msg").string(), fifo = (dir / "pipe.msg").string();
    std::ofstream(bad) << "not a compound file";
    ReadAhead skip(listOf({f[0], f[1], bad, f[3], f[0]}), read);
    EXPECT_EQ(outcomeOf([&] { return skip.take(f[0]); }), "s0");
    EXPECT_EQ(outcomeOf([&] { return skip.take(bad); }), outcomeOf([&] { return read(bad); }));
    for (size_t i : {3, 0})
        EXPECT_EQ(outcomeOf([&] { return skip.take(f[i]); }), "s" + std::to_string(i));
    EXPECT_EQ(outcomeOf([&] { return skip.take(f[4]); }), "(none)");
    EXPECT_EQ(outcomeOf([&] { return skip.take(f[0]); }), "(none)");
    // Opening the FIFO would block the worker for good, and this take with it.
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ReadAhead pipe(listOf({fifo, f[0]}), read);
    EXPECT_EQ(outcomeOf([&] { return pipe.take(f[0]); }), "s0");
    std::atomic<int> calls{0};
    ReadAhead failing(
        [&](std::string& path) {
            if (calls++ == 1) throw qm::IoError(dir.str(), "list folder", EACCES);
            path = f[0];
            return true;
        },
        read);
    EXPECT_EQ(outcomeOf([&] { return failing.take(f[0]); }), "s0");
    EXPECT_EQ(outcomeOf([&] { return failing.take(f[1]); }), "(none)");
    EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace qm::convert
