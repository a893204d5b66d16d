// Export: every message of a Unicode .pst written back out as a .msg file,
// one file-system folder per store folder below the IPM subtree (messages
// of the subtree itself land in the destination folder).
//
//   ExportReport r = exportStore("mail.pst", "out", &observer);
//   // r.exported of r.messages written; r.failed says which were not, and why
//
// Never overwrites: the destination and its folders are created where
// missing and reused where they exist; each .msg is written under a hidden
// name beside its final one and then renamed without replacing, so a name
// already taken (by anything) moves on to "Subject (2).msg", and a run
// killed mid-message leaves no half-written file under a real name. File
// and folder names come from subjects and folder names through safeName();
// nothing from the store reaches a path unsanitised.
//
// Each message keeps every property, recipient, attachment (by value,
// embedded at any depth, OLE storages) and named property the store holds.
// What the store derived is given back in the form a .msg carries it: the
// subject loses the store's prefix marker ([MS-PST] 2.5.3) and regains
// PidTagSubjectPrefix and PidTagNormalizedSubject; recipients and
// attachments regain their numbers (PidTagRowid, PidTagAttachNumber).
// Associated (hidden) contents are not exported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qm::convert {

struct ExportedMessage {
    std::string folder;  // store folder path below the IPM subtree, "\"-joined; "" for the top
    uint32_t nid = 0;    // the message's node id in the store
    std::filesystem::path file;
};

// A message that could not be read or written, or a folder whose listing
// could not be read (nid 0: its messages and sub-folders were not reached).
struct ExportFailure {
    std::string folder;
    uint32_t nid = 0;
    std::string reason;
};

// Told of each message as it is done, in store order (folders depth first,
// each folder's messages before its sub-folders).
class ExportObserver {
  public:
    virtual ~ExportObserver() = default;
    virtual void exported(const ExportedMessage& message) = 0;
    virtual void failed(const ExportFailure& failure) = 0;
    // Asked before each message and folder: true ends the export there (the
    // message in hand is finished first).
    virtual bool stopRequested() { return false; }
};

struct ExportReport {
    size_t folders = 0;   // store folders met below the IPM subtree
    size_t messages = 0;  // messages listed in the folders that could be read
    size_t exported = 0;
    std::vector<ExportFailure> failed;
    bool stopped = false;  // the observer asked to stop before the end
};

// Exports the store at `pst` into `destination`. Throws qm::Error (a
// FormatError or IoError where one applies) when nothing can be done: the
// file is not a readable Unicode PST, or the destination cannot be made a
// folder (it is a file, say).
// Everything after that is per message (or per folder) in the report.
ExportReport exportStore(const std::filesystem::path& pst, const std::filesystem::path& destination,
                         ExportObserver& observer);

}  // namespace qm::convert
