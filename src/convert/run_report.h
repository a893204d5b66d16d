// What one conversion run did, for the window's end-of-run box, the command
// line's summary and its JSON document.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qm::convert {

enum class RunOutcome {
    Busy,       // the window: a run was already under way; nothing done
    Cancelled,  // the window: no destination chosen; nothing done
    Trapped,    // failed before the import; `storeCreated` says if a file was left
    Stopped,    // asked to stop; the store holds what was imported so far
    Completed,  // every row handled (some may have failed)
};

struct FailedItem {
    std::string path;    // the source file (or the store folder path for folders)
    std::string reason;  // the cause in plain words
};

// Something a message lost or had repaired on its way in; it was still
// converted (or failed for another reason).
struct Warning {
    std::string path;  // the source file
    std::string what;
};

// A message skipped because an earlier row held the same one (--dedupe).
struct Duplicate {
    std::string path;    // the skipped source file
    std::string sameAs;  // the file converted in its place
    int64_t sameAsRow = 0;
};

// One store of a run split by size.
struct StorePart {
    std::string pst;
    std::string displayName;
    int64_t messages = 0;  // converted into it
    uint64_t bytes = 0;    // its size after closing
};

// Warnings can come to several per message over an archive of a million: the
// report counts every one and keeps the first kKeptWarnings; an observer is
// given each as it happens.
inline constexpr size_t kKeptWarnings = 1000;

struct RunReport {
    RunOutcome outcome = RunOutcome::Cancelled;
    std::string destination;  // ends with the platform separator
    std::string pstPath;      // set once the store file was made
    std::string displayName;
    bool storeCreated = false;
    std::string trappedCause;  // for Trapped

    int64_t messages = 0;  // rows handled by the import
    int64_t converted = 0;
    std::vector<FailedItem> failed;         // messages that were not written
    std::vector<FailedItem> failedFolders;  // store folders that could not be made
    std::vector<FailedItem> notes;          // trouble that lost nothing (a caption not shown)
    int64_t warningCount = 0;
    std::vector<Warning> warnings;      // the first kKeptWarnings of them
    std::vector<Duplicate> duplicates;  // not failures: nothing was lost
    // With a split size, every store the run wrote, the first one (pstPath)
    // included; empty otherwise.
    std::vector<StorePart> parts;
    int64_t folders = 0;    // store folders created
    uint64_t bytesIn = 0;   // sizes of the source files handled
    uint64_t bytesOut = 0;  // size of the .pst after closing (of all parts)
    double seconds = 0;
    std::string closeError;  // when the final commit failed
    // Messages imported after the last commit that succeeded, when a later
    // commit (or the final one) failed: the file does not hold them, so
    // they are already taken out of `converted`.
    int64_t lostUncommitted = 0;
};

}  // namespace qm::convert
