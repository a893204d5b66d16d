// The in-process profile: the stores a session has attached, by display name.
// It stands where a mail profile would stand, shared by the session and the
// application object (the folder opener finds a new store by its display
// name). Nothing of it is persisted except the .pst files themselves.
//
// A store stays open until its session logs off or the profile closes it:
// a run that ended in a trapped error leaves its store open, and the next
// run (or the end of the program) closes it with everything committed.
// Single-threaded, like the window that drives it.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "pst/store/store.h"

namespace qm::outlook {

// One attached store and what the automation objects know about it.
class AttachedStore {
  public:
    AttachedStore(std::unique_ptr<pst::Store> store, std::string entryId);

    const std::string& displayName() const { return store_->displayName(); }
    const std::filesystem::path& path() const { return store_->path(); }
    // Upper-case hex of the store's EntryID bytes.
    const std::string& entryId() const { return entryId_; }
    bool isOpen() const { return store_->isOpen(); }

    // The store itself. Throws AutomationError when it has been closed.
    pst::Store& store();

    // Child folders of `parent`, kept in step with addFolder.
    const std::vector<pst::FolderInfo>& children(pst::Nid parent);
    // The child of this name (compared as folder names are), or null.
    const pst::FolderInfo* findChild(pst::Nid parent, const std::string& name);
    // Adds a folder; throws AutomationError (collision) when a child of that
    // name (compared as folder names are) exists.
    pst::Nid addFolder(pst::Nid parent, const std::string& name);

    // Commits and closes; a second call does nothing.
    void close();
    // Messages saved since the store's last successful commit (see
    // pst::Store::uncommittedMessages); valid after close, failed or not.
    uint64_t uncommittedMessages() const { return store_->uncommittedMessages(); }

  private:
    std::unique_ptr<pst::Store> store_;
    std::string entryId_;
    struct Children {
        std::vector<pst::FolderInfo> list;
        std::unordered_map<std::u16string, size_t> byKey;  // FolderNameKey -> index
    };
    Children& load(pst::Nid parent);
    std::unordered_map<pst::Nid, Children> children_;
};

using StoreRef = std::shared_ptr<AttachedStore>;

class Profile {
  public:
    // The process's one profile. Its destructor closes every store still open.
    static Profile& instance();
    ~Profile();

    // Creates a new store file (never over an existing path) and attaches it.
    StoreRef attach(const std::filesystem::path& path, const std::string& displayName);
    // First open store with this display name (folder-name comparison), or null.
    StoreRef findByDisplayName(const std::string& displayName) const;
    StoreRef findByEntryId(const std::string& entryId) const;
    std::vector<StoreRef> stores() const { return stores_; }

    // Commits, closes and detaches one store.
    void close(const StoreRef& store);
    // Commits, closes and detaches every store. Failures of one store do not
    // keep the others open; the first failure is rethrown at the end.
    void closeAll();

  private:
    Profile() = default;
    std::vector<StoreRef> stores_;
};

}  // namespace qm::outlook
