// A new Unicode PST message store: the folders and messages the conversion
// adds, over the node database (ndb/) and the lists and tables (ltp/).
//
// Durability: everything added before a commit() survives a crash of the
// process; addMessage() also commits on its own when the last commit is
// older than StoreOptions::commitInterval.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mapi/message.h"

namespace qm::pst {

using Nid = uint32_t;

enum class Encoding : uint8_t {
    None = 0,     // NDB_CRYPT_NONE
    Permute = 1,  // NDB_CRYPT_PERMUTE, Outlook's "compressible encryption"
};

struct StoreOptions {
    Encoding encoding = Encoding::Permute;
    std::chrono::milliseconds commitInterval{2000};
    // The code page for 8-bit strings of a message that names none (see
    // mapi::decodeString8): a Unicode store holds no 8-bit strings.
    int fallbackCodePage = 1252;
};

struct FolderInfo {
    Nid nid = 0;
    std::string name;  // UTF-8
};

class Store {
  public:
    // Creates the file exclusively: fails (qm::IoError) if anything exists at
    // `path`, including a dangling link. The store's PidTagDisplayName is
    // `displayName` (UTF-8).
    static std::unique_ptr<Store> create(const std::filesystem::path& path,
                                         std::string_view displayName,
                                         const StoreOptions& options = {});
    virtual ~Store() = default;

    virtual const std::filesystem::path& path() const = 0;
    virtual const std::string& displayName() const = 0;
    // The store's EntryID: rgbFlags(4) + record key(16) + NID of the store (4).
    virtual Bytes entryId() const = 0;

    // The top of the visible hierarchy (the IPM subtree).
    virtual Nid ipmSubtree() const = 0;
    virtual std::vector<FolderInfo> childFolders(Nid parent) const = 0;
    // The child of `parent` with this name, compared as addFolder compares
    // names (without regard to case); nullopt when there is none.
    virtual std::optional<FolderInfo> findChildFolder(Nid parent, std::string_view name) const = 0;
    // REQUIRES: no child of `parent` has this name (compared case-insensitively,
    // as Outlook does); otherwise throws qm::Error.
    virtual Nid addFolder(Nid parent, std::string_view name,
                          std::string_view containerClass = "IPF.Note") = 0;
    // Writes the message with every property, recipient and attachment. The
    // store computes the properties the format owns (sizes, entry ids, search
    // and record keys where needed, the subject's prefix); every other
    // property is kept as given, but for 8-bit strings: a message still
    // holding any is decoded first (mapi::decodeString8 with
    // StoreOptions::fallbackCodePage), so the file holds Unicode only.
    virtual Nid addMessage(Nid folder, const mapi::Message& message) = 0;
    // The same, taking the message's values instead of copying them: what
    // is left in `message` afterwards is unspecified.
    virtual Nid addMessage(Nid folder, mapi::Message&& message) = 0;
    // What decoding the last message addMessage() was given reported (bytes
    // invalid in its code page); empty when it held no 8-bit strings, as
    // when the caller decoded it beforehand.
    virtual const std::vector<std::string>& lastMessageWarnings() const = 0;

    virtual void commit() = 0;
    // Messages addMessage() returned for since the last successful commit:
    // after a commit or close failed, what the caller believed written but
    // the file does not hold.
    virtual uint64_t uncommittedMessages() const = 0;
    // Commits and closes the file. Further calls throw.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual uint64_t fileSize() const = 0;
};

// The folder at `path` below the IPM subtree: names joined by backslashes
// ("Mail\\2009"), each compared as findChildFolder compares; "" is the IPM
// subtree itself. nullopt when any of them is missing.
std::optional<Nid> findFolderByPath(const Store& store, std::string_view path);

}  // namespace qm::pst
