#include "outlook/profile.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <system_error>

#include "outlook/automation_error.h"
#include "outlook/folder_name.h"

namespace qm::outlook {
namespace {

std::string hex(const Bytes& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

}  // namespace

AttachedStore::AttachedStore(std::unique_ptr<pst::Store> store, std::string entryId)
    : store_(std::move(store)), entryId_(std::move(entryId)) {}

pst::Store& AttachedStore::store() {
    if (!store_->isOpen()) {
        throw AutomationError(kMapiNotInitialized, "the store \"" + store_->displayName() + "\" (" +
                                                       store_->path().string() +
                                                       ") has been closed");
    }
    return *store_;
}

AttachedStore::Children& AttachedStore::load(pst::Nid parent) {
    auto it = children_.find(parent);
    if (it == children_.end()) {
        Children c;
        c.list = store().childFolders(parent);
        for (size_t i = 0; i < c.list.size(); ++i) {
            c.byKey.emplace(FolderNameKey(c.list[i].name), i);  // the first of equal names wins
        }
        it = children_.emplace(parent, std::move(c)).first;
    }
    return it->second;
}

const std::vector<pst::FolderInfo>& AttachedStore::children(pst::Nid parent) {
    return load(parent).list;
}

const pst::FolderInfo* AttachedStore::findChild(pst::Nid parent, const std::string& name) {
    Children& c = load(parent);
    auto it = c.byKey.find(FolderNameKey(name));
    return it == c.byKey.end() ? nullptr : &c.list[it->second];
}

pst::Nid AttachedStore::addFolder(pst::Nid parent, const std::string& name) {
    if (const pst::FolderInfo* existing = findChild(parent, name)) {
        throw AutomationError(kMapiCollision, "a folder named \"" + existing->name +
                                                  "\" already exists where \"" + name +
                                                  "\" was to be added");
    }
    const pst::Nid nid = store().addFolder(parent, name);
    Children& c = load(parent);
    c.list.push_back({nid, name});
    c.byKey.emplace(FolderNameKey(name), c.list.size() - 1);
    return nid;
}

void AttachedStore::close() {
    if (store_->isOpen()) store_->close();
}

Profile& Profile::instance() {
    static Profile profile;
    return profile;
}

Profile::~Profile() {
    for (auto& s : stores_) {
        try {
            s->close();
        } catch (const std::exception& e) {
            // The program is ending; the file keeps its last commit.
            std::fprintf(stderr, "quillmark: closing %s failed: %s\n", s->path().c_str(), e.what());
        }
    }
}

StoreRef Profile::attach(const std::filesystem::path& path, const std::string& displayName) {
    std::error_code ec;
    if (std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found &&
        !ec) {
        throw AutomationError(kMapiCollision, "AddPSTStore: \"" + path.string() +
                                                  "\" already exists; it is never overwritten");
    }
    std::unique_ptr<pst::Store> store;
    try {
        store = pst::Store::create(path, displayName);
    } catch (const std::exception& e) {
        throw AutomationError(kMapiCallFailed, std::string("AddPSTStore: ") + e.what());
    }
    const std::string id = hex(store->entryId());
    auto ref = std::make_shared<AttachedStore>(std::move(store), id);
    stores_.push_back(ref);
    return ref;
}

StoreRef Profile::findByDisplayName(const std::string& displayName) const {
    for (const auto& s : stores_) {
        if (s->isOpen() && FolderNamesEqual(s->displayName(), displayName)) return s;
    }
    return nullptr;
}

StoreRef Profile::findByEntryId(const std::string& entryId) const {
    for (const auto& s : stores_) {
        if (s->isOpen() && s->entryId() == entryId) return s;
    }
    return nullptr;
}

void Profile::close(const StoreRef& store) {
    auto it = std::find(stores_.begin(), stores_.end(), store);
    if (it != stores_.end()) stores_.erase(it);
    store->close();
}

void Profile::closeAll() {
    std::exception_ptr first;
    auto all = std::move(stores_);
    stores_.clear();
    for (auto& s : all) {
        try {
            s->close();
        } catch (...) {
            if (!first) first = std::current_exception();
        }
    }
    if (first) std::rethrow_exception(first);
}

}  // namespace qm::outlook
