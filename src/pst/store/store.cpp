#include "pst/store/store.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <utility>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "mapi/unicode_strings.h"
#include "pst/ltp/property_context_builder.h"
#include "pst/store/message_writer.h"
#include "pst/store/property_rules.h"
#include "pst/store/random_id.h"
#include "pst/store/store_impl.h"

namespace qm::pst {

std::optional<Nid> findFolderByPath(const Store& store, std::string_view path) {
    Nid folder = store.ipmSubtree();
    while (!path.empty()) {
        const size_t bs = path.find('\\');
        const std::string_view name = path.substr(0, bs);
        const auto child = store.findChildFolder(folder, name);
        if (!child) return std::nullopt;
        folder = child->nid;
        path = bs == std::string_view::npos ? std::string_view() : path.substr(bs + 1);
    }
    return folder;
}

std::unique_ptr<Store> Store::create(const std::filesystem::path& path,
                                     std::string_view displayName, const StoreOptions& options) {
    return std::make_unique<store::StoreImpl>(path, displayName, options);
}

namespace store {
namespace {

// Folder tables kept open at once: enough for a run that alternates between
// a few folders, small enough that memory stays flat with many folders.
constexpr size_t kOpenTables = 64;
// A run that spreads its messages over more folders than that writes a
// table back for almost every message; the space those writes free is
// reusable only after a commit, so commit after this many write-backs to
// keep the file from growing with garbage.
constexpr uint64_t kEvictionsPerCommit = 256;
// Until a commit, the node database keeps a reference-count change per block
// written and the B-tree pages they touch; a fast run writes tens of
// thousands of messages in one commit interval, so memory would grow with the
// writer's speed. Commit after this many messages as well (a few MB of such
// state).
constexpr uint64_t kMessagesPerCommit = 4096;
// FILETIME counts 100 ns ticks from 1601-01-01; Unix time from 1970-01-01.
constexpr uint64_t kFiletimeUnixEpoch = 116444736000000000ULL;

uint64_t nowFiletime() {
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    return kFiletimeUnixEpoch + uint64_t(since / 100);
}

std::string hexNid(Nid nid) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", nid);
    return buf;
}

}  // namespace

StoreImpl::StoreImpl(const std::filesystem::path& path, std::string_view displayName,
                     const StoreOptions& options)
    : path_(path),
      displayName_(displayName),
      options_(options),
      recordKey_(randomGuid()),
      names_(NameToIdMap::outlookDefault()) {
    const auto crypt =
        options.encoding == Encoding::None ? ndb::CryptMethod::None : ndb::CryptMethod::Permute;
    // The file takes its name only once it is a whole store, so neither a
    // failure here nor a kill leaves a half-made file at `path`.
    ndb_ = ndb::NodeDatabaseWriter::create(path, crypt, false);
    try {
        tables_ = std::make_unique<TableCache>(*ndb_, kOpenTables);
        writeStandardNodes();
        commit();
        ndb_->publish();
    } catch (...) {
        tables_.reset();
        ndb_.reset();
        throw;
    }
}

StoreImpl::~StoreImpl() {
    if (!isOpen()) return;
    // A destructor cannot report a failure; the file then keeps its last
    // commit, which is a valid store.
    try {
        close();
    } catch (const std::exception&) {
    }
}

void StoreImpl::requireOpen() const {
    if (!isOpen()) throw Error("the store " + path_.string() + " is closed");
}

Folder& StoreImpl::folderAt(Nid nid, const char* what) {
    return const_cast<Folder&>(std::as_const(*this).folderAt(nid, what));
}

const Folder& StoreImpl::folderAt(Nid nid, const char* what) const {
    auto it = folders_.find(nid);
    if (it == folders_.end()) {
        throw Error(std::string(what) + ": no folder " + hexNid(nid) + " in " + path_.string());
    }
    return it->second;
}

Bytes StoreImpl::entryIdOf(Nid nid) const {
    // [MS-PST] 2.4.3.2: rgbFlags (4, zero), the store's UID, the NID.
    Bytes id(4 + recordKey_.size() + 4, 0);
    std::copy(recordKey_.begin(), recordKey_.end(), id.begin() + 4);
    storeLE32(id.data() + 4 + recordKey_.size(), nid);
    return id;
}

Bytes StoreImpl::entryId() const {
    return entryIdOf(ndb::NID_MESSAGE_STORE);
}

uint64_t StoreImpl::fileSize() const {
    return ndb_->fileSize();
}

std::vector<FolderInfo> StoreImpl::childFolders(Nid parent) const {
    const Folder& p = folderAt(parent, "childFolders");
    std::vector<FolderInfo> out;
    out.reserve(p.children.size());
    for (Nid c : p.children) out.push_back({c, folderAt(c, "childFolders").nameUtf8});
    return out;
}

std::optional<FolderInfo> StoreImpl::findChildFolder(Nid parent, std::string_view name) const {
    const Folder& p = folderAt(parent, "findChildFolder");
    const std::u16string folded = foldCase(mapi::fromUtf8(name));
    for (Nid c : p.children) {
        const Folder& f = folderAt(c, "findChildFolder");
        if (f.folded == folded) return FolderInfo{c, f.nameUtf8};
    }
    return std::nullopt;
}

Folder& StoreImpl::addFolderRecord(Folder folder) {
    folder.folded = foldCase(folder.name);
    folder.nameUtf8 = mapi::toUtf8(folder.name);
    const Nid nid = folder.nid;
    return folders_.insert_or_assign(nid, std::move(folder)).first->second;
}

void StoreImpl::writeFolderPc(const Folder& folder) {
    ltp::PropertyContextBuilder pc(*ndb_);
    for (const auto& p : folder.pcProperties()) pc.set(p);
    const ltp::BuiltNode built = pc.build();
    ndb_->setNode(
        {folder.nid, built.bidData, ndb_->writeSubnodeTree(built.subnodes), folder.parent});
}

Nid StoreImpl::addFolder(Nid parent, std::string_view name, std::string_view containerClass) {
    requireOpen();
    Folder& p = folderAt(parent, "addFolder");
    if (ndb::nidType(parent) != ndb::NID_TYPE_NORMAL_FOLDER) {
        throw Error("addFolder: " + hexNid(parent) + " is a search folder; folders go under " +
                    "normal folders");
    }
    Folder f;
    f.name = mapi::fromUtf8(name);
    if (f.name.empty()) throw Error("addFolder: a folder name cannot be empty");
    const std::u16string folded = foldCase(f.name);
    for (Nid c : p.children) {
        if (folders_.at(c).folded == folded) {
            throw Error("addFolder: \"" + std::string(name) + "\" already exists under \"" +
                        p.nameUtf8 + "\" (folder names compare without regard to case)");
        }
    }
    f.containerClass = mapi::fromUtf8(containerClass);
    f.writeHiddenCounts = true;
    f.parent = parent;
    f.nid = ndb_->allocateNid(ndb::NID_TYPE_NORMAL_FOLDER);
    // The folder's three tables share its index; keep the counters of their
    // types in step, as Outlook does.
    for (uint8_t type : {ndb::NID_TYPE_HIERARCHY_TABLE, ndb::NID_TYPE_CONTENTS_TABLE,
                         ndb::NID_TYPE_ASSOC_CONTENTS_TABLE}) {
        ndb_->reserveNid(ndb::withNidType(f.nid, type));
    }
    f.rowVersion = nextRowVersion();

    // New tables start as the templates' own data (shared blocks) and get
    // their own the first time a row is added.
    const std::pair<uint8_t, Nid> tables[] = {
        {ndb::NID_TYPE_HIERARCHY_TABLE, ndb::NID_HIERARCHY_TABLE_TEMPLATE},
        {ndb::NID_TYPE_CONTENTS_TABLE, ndb::NID_CONTENTS_TABLE_TEMPLATE},
        {ndb::NID_TYPE_ASSOC_CONTENTS_TABLE, ndb::NID_ASSOC_CONTENTS_TABLE_TEMPLATE}};
    for (const auto& [type, templateNid] : tables) {
        const auto tmpl = ndb_->findNode(templateNid);
        ndb_->setNode({ndb::withNidType(f.nid, type), tmpl->bidData, tmpl->bidSub, 0});
    }
    writeFolderPc(f);
    tables_->get(ndb::withNidType(parent, ndb::NID_TYPE_HIERARCHY_TABLE))
        .addRow(f.nid, f.hierarchyCells());

    const Nid nid = f.nid;
    const bool hadSubfolders = p.hasSubfolders();
    p.children.push_back(nid);
    if (!hadSubfolders) dirtyFolders_.insert(parent);  // PidTagSubfolders turns true
    addFolderRecord(std::move(f));
    return nid;
}

Nid StoreImpl::addMessage(Nid folder, const mapi::Message& message) {
    // A copy shares streamed values (attachment data) but not the rest.
    return addMessage(folder, message.clone());
}

Nid StoreImpl::addMessage(Nid folder, mapi::Message&& message) {
    requireOpen();
    Folder& f = folderAt(folder, "addMessage");
    if (ndb::nidType(folder) != ndb::NID_TYPE_NORMAL_FOLDER) {
        throw Error("addMessage: " + hexNid(folder) + " is a search folder");
    }
    lastMessageWarnings_.clear();
    if (mapi::holdsString8(message))
        lastMessageWarnings_ = mapi::decodeString8(message, options_.fallbackCodePage);

    const Nid nid = ndb_->allocateNid(ndb::NID_TYPE_NORMAL_MESSAGE);
    MessageWriter writer(*ndb_, names_, [this] { return nextRowVersion(); });
    MessageWriter::Result written = writer.write(nid, message, nowFiletime());

    ltp::TableContextBuilder& contents =
        tables_->get(ndb::withNidType(folder, ndb::NID_TYPE_CONTENTS_TABLE));
    std::vector<mapi::Property> cells = rowCells(written.props, [&contents](mapi::PropTag t) {
        return contents.layout().find(t) != nullptr;
    });
    // The contents row is where Outlook reads PidTagMessageStatus from.
    if (!findTag(cells, mapi::tag::MessageStatus)) {
        cells.push_back(mapi::Property::int32(mapi::tag::MessageStatus, 0));
    }
    cells.push_back(mapi::Property::int32(ndb::kPidTagLtpRowVer, int32_t(nextRowVersion())));
    contents.addRow(nid, cells);
    ndb_->setNode({nid, written.node.bidData, written.node.bidSub, folder});

    const auto* flags = findTag(written.props, mapi::tag::MessageFlags);
    const bool read = flags && flags->value.size() >= 4 &&
                      (loadLE32(flags->value.data()) & mapi::MSGFLAG_READ) != 0;
    ++f.contentCount;
    if (!read) ++f.unreadCount;
    dirtyFolders_.insert(folder);

    ++messagesSinceCommit_;
    if (std::chrono::steady_clock::now() - lastCommit_ >= options_.commitInterval ||
        tables_->evictions() - evictionsAtCommit_ >= kEvictionsPerCommit ||
        messagesSinceCommit_ >= kMessagesPerCommit) {
        try {
            commit();
        } catch (const std::exception&) {
            // This message is reported failed by the throw; the ones before
            // it since the last commit stay counted as uncommitted.
            --messagesSinceCommit_;
            throw;
        }
    }
    return nid;
}

void StoreImpl::commit() {
    requireOpen();
    for (Nid nid : dirtyFolders_) {
        Folder& f = folders_.at(nid);
        if (f.parent != f.nid) {  // the root has no row anywhere
            f.rowVersion = nextRowVersion();
            tables_->get(ndb::withNidType(f.parent, ndb::NID_TYPE_HIERARCHY_TABLE))
                .updateRow(f.nid, f.hierarchyCells());
        }
        writeFolderPc(f);
    }
    dirtyFolders_.clear();
    tables_->flushAll();
    if (names_.dirty()) {
        ltp::PropertyContextBuilder pc(*ndb_);
        for (const auto& p : names_.properties()) pc.set(p);
        const ltp::BuiltNode built = pc.build();
        ndb_->setNode(
            {ndb::NID_NAME_TO_ID_MAP, built.bidData, ndb_->writeSubnodeTree(built.subnodes), 0});
        names_.markClean();
    }
    ndb_->commit();
    lastCommit_ = std::chrono::steady_clock::now();
    evictionsAtCommit_ = tables_->evictions();
    messagesSinceCommit_ = 0;
}

void StoreImpl::close() {
    requireOpen();
    commit();
    tables_.reset();
    ndb_->close();
}

}  // namespace store
}  // namespace qm::pst
