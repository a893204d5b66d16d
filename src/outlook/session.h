// The session of the automation surface and its stores. Logon needs no mail
// profile: it opens the process's in-process profile (profile.h), where
// AddPSTStore attaches a new store by its display name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "outlook/folder.h"
#include "outlook/profile.h"

namespace qm::outlook {

// Store format 1 (olStoreDefault) and 3 (olStoreUnicode) both give the
// Unicode format; 2 (olStoreANSI) is not written.
inline constexpr int kStoreFormatDefault = 1;
inline constexpr int kStoreFormatUnicode = 3;

class Store {
  public:
    explicit Store(StoreRef store) : store_(std::move(store)) {}
    // Upper-case hex of the store's entry identifier; GetStoreFromID takes it.
    std::string EntryID() const { return store_->entryId(); }
    // The top of the visible hierarchy ("Top of Outlook data file").
    FolderRef IPMRootFolder() const;
    const StoreRef& attached() const { return store_; }

  private:
    StoreRef store_;
};

class Session;

class Stores {
  public:
    explicit Stores(Session& session) : session_(session) {}
    // Creates the .pst at `path` (never over an existing file) and attaches it
    // under `displayName`, which is also the store's display name inside the
    // file. Throws AutomationError when the file exists or cannot be made.
    std::shared_ptr<Store> AddPSTStore(const std::string& path, int format,
                                       const std::string& displayName);
    // Throws AutomationError (not found) for an unknown or closed store.
    std::shared_ptr<Store> GetStoreFromID(const std::string& entryId);

  private:
    Session& session_;
};

class Session {
  public:
    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void Logon();
    // Commits and closes every store this session added. The first failure is
    // rethrown after all of them have been handled.
    void Logoff();
    bool loggedOn() const { return loggedOn_; }

    // Every member below throws AutomationError (not initialised) before Logon.
    std::shared_ptr<Stores> GetStores();
    // "\\<display name>\<folder>\<folder>": the first component names the
    // store by its display name, the others folders below the store's top.
    // Throws AutomationError (not found) when any of them is missing.
    FolderRef GetFolderFromPath(const std::string& path);

    // The stores this session added (for Logoff).
    std::vector<StoreRef>& added() { return added_; }
    Profile& profile();

  private:
    bool loggedOn_ = false;
    std::vector<StoreRef> added_;
};

}  // namespace qm::outlook
