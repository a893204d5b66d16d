#include "outlook/folder.h"

#include "outlook/automation_error.h"
#include "outlook/folder_name.h"
#include "outlook/mail_item.h"

namespace qm::outlook {

Folder::Folder(StoreRef store, pst::Nid nid, std::string name)
    : store_(std::move(store)), nid_(nid), name_(std::move(name)) {}

std::shared_ptr<Folders> Folder::GetFolders() const {
    return std::make_shared<Folders>(store_, nid_);
}

std::shared_ptr<Items> Folder::GetItems() const {
    return std::make_shared<Items>(store_, nid_);
}

Folders::Folders(StoreRef store, pst::Nid parent) : store_(std::move(store)), parent_(parent) {}

std::shared_ptr<Folders> Folders::ForProfile(const Profile& profile) {
    std::shared_ptr<Folders> top(new Folders());
    top->profileStores_ = profile.stores();
    return top;
}

size_t Folders::Count() const {
    return List().size();
}

std::vector<FolderRef> Folders::List() const {
    std::vector<FolderRef> out;
    if (!store_) {
        for (const auto& s : profileStores_) {
            if (s->isOpen()) {
                out.push_back(
                    std::make_shared<Folder>(s, s->store().ipmSubtree(), s->displayName()));
            }
        }
        return out;
    }
    for (const auto& f : store_->children(parent_)) {
        out.push_back(std::make_shared<Folder>(store_, f.nid, f.name));
    }
    return out;
}

FolderRef Folders::Item(const std::string& name) const {
    if (!store_) {
        for (const auto& s : profileStores_) {
            if (s->isOpen() && FolderNamesEqual(s->displayName(), name)) {
                return std::make_shared<Folder>(s, s->store().ipmSubtree(), s->displayName());
            }
        }
        throw AutomationError(kMapiNotFound,
                              "no store named \"" + name + "\" is attached to the profile");
    }
    if (const pst::FolderInfo* f = store_->findChild(parent_, name)) {
        return std::make_shared<Folder>(store_, f->nid, f->name);
    }
    throw AutomationError(kMapiNotFound, "no folder named \"" + name + "\" in the store \"" +
                                             store_->displayName() + "\"");
}

FolderRef Folders::Add(const std::string& name, int type) {
    if (!store_) {
        throw AutomationError(kMapiNoSupport,
                              "folders cannot be added at the top level of the profile");
    }
    if (type != kFolderTypeMail) {
        throw AutomationError(
            kMapiInvalidParameter,
            "folder type " + std::to_string(type) + " is not supported; only 6 (mail folder) is");
    }
    if (name.empty()) {
        throw AutomationError(kMapiInvalidParameter, "a folder name cannot be empty");
    }
    const pst::Nid nid = store_->addFolder(parent_, name);
    return std::make_shared<Folder>(store_, nid, name);
}

Items::Items(StoreRef store, pst::Nid folder) : store_(std::move(store)), folder_(folder) {}

std::shared_ptr<MailItem> Items::Add(int type) {
    if (type != kItemTypeMail) {
        throw AutomationError(kMapiInvalidParameter, "item type " + std::to_string(type) +
                                                         " is not supported; only 0 (mail) is");
    }
    store_->store();  // fails now, not at Save, when the store has been closed
    return std::make_shared<MailItem>(store_, folder_);
}

}  // namespace qm::outlook
