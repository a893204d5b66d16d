// A conversion: one new store filled from a list of source messages. Both
// front ends run it; neither is known here. The window shows what it
// observes in its grid, captions, bars and boxes; the command line in its
// progress lines, summary and JSON.
//
// The order of work: create the store ("OutlookMessages<ts>.pst" in the
// destination, display name "Quillmark : Created - <ts>"), build the folder
// list from every row's store folder, create those folders parents first,
// import every row in list order, commit and close.
//
// Two error modes. Up to the folder list any failure ends the run (outcome
// Trapped, the cause in the report); the store, if made, stays open in the
// Conversion until close() or its destruction, which commit it. From the
// folder tree on, a failing step is passed over: a folder that cannot be
// made is recorded, a message that fails is counted with its cause and the
// next row follows. What a reader dropped or repaired in a message, and
// what decoding its 8-bit strings met, are warnings, never failures.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "convert/run_report.h"
#include "convert/string_list.h"
#include "convert/timestamp.h"
#include "mapi/message.h"

namespace qm::pst {
class Store;
using Nid = uint32_t;
}  // namespace qm::pst

namespace qm::convert {

// A second pass over a source list's paths, in the same order, handed to
// the read-ahead thread (it calls next() there and nowhere else).
class SourceCursor {
  public:
    virtual ~SourceCursor() = default;
    // Sets `path` to the next row's path; false at the end. An exception
    // ends the read-ahead there (the run's own reads carry on).
    virtual bool next(std::string& path) = 0;
};

// The rows to convert. A row's path is as listed (a Windows-form path with
// the spaces around it; the engine trims those itself); its store folder is
// derived from it unless the list says otherwise.
class SourceList {
  public:
    virtual ~SourceList() = default;
    virtual int64_t size() = 0;
    // Throws what reading the row failed with: the run is trapped while it
    // builds the folder list, the row alone fails during the import.
    virtual std::string path(int64_t row) = 0;
    // The store folder of a row: backslash-joined names below the store's
    // top. Throws NumberedError for a path that gives none (RelativeFolder).
    virtual std::string storeFolder(const std::string& path);
    // A cursor for reading ahead, or null when the list offers none.
    virtual std::unique_ptr<SourceCursor> readAheadCursor() { return nullptr; }
};

// Turns one input file into a message. Called from the run's thread and,
// with read-ahead, from its worker: implementations keep no shared state.
class MessageReader {
  public:
    virtual ~MessageReader() = default;
    virtual mapi::Message read(const std::string& path) = 0;
};
// The .msg reader.
std::shared_ptr<MessageReader> MsgFileReader();

struct MessageOutcome {
    int64_t row = 0;          // from 0
    int64_t rows = 0;         // the list's size when the import began
    std::string path;         // "" when the row could not be read
    std::string storeFolder;  // "" when it could not be derived
    bool converted = false;
    bool duplicate = false;  // skipped: an earlier row held the same message
    std::string reason;      // why not, when not converted
};

// What a front end hears while the run goes. Every call comes from the
// thread that called Conversion::run.
class Observer {
  public:
    virtual ~Observer() = default;
    // A moment at which a front end may handle its own events (the window
    // runs its event loop there).
    virtual void yield() {}
    // True once the user or a signal asked to stop: the run finishes the
    // current message, commits and ends with outcome Stopped.
    virtual bool stopRequested() { return false; }
    // Row `row` is next to be imported; its path is read right after.
    virtual void messageStarting(int64_t row) { (void)row; }
    virtual void messageDone(const MessageOutcome& outcome) { (void)outcome; }
    virtual void warning(const Warning& warning) { (void)warning; }
};

struct ConversionOptions {
    // The folder that receives the store, ending with the platform separator.
    std::string destination;
    // Names the store file instead of "<destination>OutlookMessages<ts>.pst".
    std::string storeFile;
    Clock clock = LocalNow;
    // The code page of 8-bit strings whose message names none.
    int fallbackCodePage = 1252;
    // Read the next messages on a second thread while the store writes
    // (when the source list offers a cursor).
    bool readAhead = false;
    // Every input is read by this reader; null means MsgFileReader().
    std::shared_ptr<MessageReader> reader;
    // Skip a message whose MessageIdentity a converted row already had; the
    // first row in list order is the one converted.
    bool dedupe = false;
    // When not 0: before a message would take the store past this many
    // bytes, the store is closed and the next part begins ("X (2).pst",
    // display name "... (2)"), holding the folders its messages need. A
    // message bigger than this alone gets a part of its own (a warning).
    uint64_t splitSize = 0;
};

class Conversion {
  public:
    explicit Conversion(ConversionOptions options);
    // Commits and closes a store a trapped run left open; a failure then
    // leaves the file at its last commit.
    ~Conversion();
    Conversion(const Conversion&) = delete;
    Conversion& operator=(const Conversion&) = delete;

    // Runs once; a second call throws qm::Error.
    RunReport run(SourceList& sources, Observer& observer);

    // The store folders the run made or meant to make, each after its parent.
    const StringList& folderList() const { return folderList_; }
    // True while a store is open: during the run, and after a trapped one.
    bool storeOpen() const;
    // Commits and closes a store left open. Throws what the commit met.
    void close();

  private:
    void openStore(RunReport& report);
    void createStore(const std::string& path, const std::string& displayName);
    void nextPart(RunReport& report, Observer& observer);
    pst::Nid folderFor(const std::string& path, RunReport& report);
    bool fits(uint64_t extra) const;
    void buildFolderList(SourceList& sources, Observer& observer);
    void createFolderTree(Observer& observer, RunReport& report);
    bool importMessages(SourceList& sources, Observer& observer, RunReport& report);
    void closeStore(RunReport& report, Observer& observer);
    void findDuplicateOrigins(SourceList& sources, RunReport& report);

    ConversionOptions options_;
    bool ran_ = false;
    std::unique_ptr<pst::Store> store_;
    StringList folderList_;
    // The parts of a split run: the first one's names, which the later ones
    // derive theirs from, and what the open one holds.
    std::string firstPath_;
    std::string firstDisplayName_;
    int part_ = 1;
    int64_t partConverted_ = 0;
    uint64_t partRowBytes_ = 0;
    std::string partFirstPath_;  // the source of the part's first message
};

// The platform separator appended unless the folder already ends with one.
std::string WithTrailingSeparator(const std::string& folder);

// The flags word written whole: read, plus has-attachments exactly when the
// message has an attachment.
int32_t MessageFlagsFor(size_t attachmentCount);

}  // namespace qm::convert
