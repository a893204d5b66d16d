// Folders of an attached store, as the automation surface shows them: a
// folder has a Name, its child Folders (enumerable, found by name, Add) and
// its Items (Add). Objects are references: they stay valid as long as the
// caller holds them, and fail with an automation error once the store is
// closed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "outlook/profile.h"

namespace qm::outlook {

class Folder;
class Folders;
class Items;
class MailItem;
using FolderRef = std::shared_ptr<Folder>;

// Olfolder type 6 (olFolderInbox): a folder for mail items.
inline constexpr int kFolderTypeMail = 6;
// Item type 0 (olMailItem).
inline constexpr int kItemTypeMail = 0;

class Folder {
  public:
    Folder(StoreRef store, pst::Nid nid, std::string name);

    const std::string& Name() const { return name_; }
    std::shared_ptr<Folders> GetFolders() const;
    std::shared_ptr<Items> GetItems() const;

    pst::Nid nid() const { return nid_; }
    const StoreRef& store() const { return store_; }

  private:
    StoreRef store_;
    pst::Nid nid_;
    std::string name_;
};

// A folder's child folders, or (when made by ForProfile) the profile's
// top-level folders: the top of each attached store, named by its display
// name.
class Folders {
  public:
    Folders(StoreRef store, pst::Nid parent);
    static std::shared_ptr<Folders> ForProfile(const Profile& profile);

    size_t Count() const;
    // The children in creation order (a snapshot).
    std::vector<FolderRef> List() const;
    // The child of this name (compared as folder names are). Throws
    // AutomationError (not found) when there is none.
    FolderRef Item(const std::string& name) const;
    // Creates a child mail folder. Throws AutomationError: invalid parameter
    // for a type other than 6, collision when a child of that name exists,
    // no support on the profile's top level.
    FolderRef Add(const std::string& name, int type);

  private:
    Folders() = default;
    StoreRef store_;  // null for the profile's top level
    pst::Nid parent_ = 0;
    std::vector<StoreRef> profileStores_;
};

class Items {
  public:
    Items(StoreRef store, pst::Nid folder);
    // A new, empty, unsaved mail item in this folder. Only type 0.
    std::shared_ptr<MailItem> Add(int type);

  private:
    StoreRef store_;
    pst::Nid folder_;
};

}  // namespace qm::outlook
