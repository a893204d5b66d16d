// The Store behind Store::create(): the standard nodes of a new store, the
// folder records, the open folder tables and the name-to-id map, over one
// NodeDatabaseWriter.
//
// What changes between commits lives in memory until commit() writes it:
// folder PCs and hierarchy rows whose counts changed, the open tables'
// new rows, the name-to-id map when names were added. Messages themselves
// are written to the file as they are added; their NBT entries, rows and
// counts become durable together at the next commit.
#pragma once

#include <array>
#include <chrono>
#include <map>
#include <memory>
#include <set>

#include "pst/ndb/node_database_writer.h"
#include "pst/store/folder.h"
#include "pst/store/name_to_id_map.h"
#include "pst/store/store.h"
#include "pst/store/table_cache.h"

namespace qm::pst::store {

class StoreImpl final : public Store {
  public:
    StoreImpl(const std::filesystem::path& path, std::string_view displayName,
              const StoreOptions& options);
    ~StoreImpl() override;

    const std::filesystem::path& path() const override { return path_; }
    const std::string& displayName() const override { return displayName_; }
    Bytes entryId() const override;
    Nid ipmSubtree() const override { return ndb::NID_IPM_SUBTREE; }
    std::vector<FolderInfo> childFolders(Nid parent) const override;
    std::optional<FolderInfo> findChildFolder(Nid parent, std::string_view name) const override;
    Nid addFolder(Nid parent, std::string_view name, std::string_view containerClass) override;
    Nid addMessage(Nid folder, const mapi::Message& message) override;
    Nid addMessage(Nid folder, mapi::Message&& message) override;
    const std::vector<std::string>& lastMessageWarnings() const override {
        return lastMessageWarnings_;
    }
    void commit() override;
    uint64_t uncommittedMessages() const override { return messagesSinceCommit_; }
    void close() override;
    bool isOpen() const override { return ndb_ && ndb_->isOpen(); }
    uint64_t fileSize() const override;

    // The provider UID in every entry id (PidTagRecordKey of the store).
    const std::array<uint8_t, 16>& recordKey() const { return recordKey_; }

  private:
    void writeStandardNodes();
    Folder& addFolderRecord(Folder folder);
    Folder& folderAt(Nid nid, const char* what);
    const Folder& folderAt(Nid nid, const char* what) const;
    void requireOpen() const;
    void writeFolderPc(const Folder& folder);
    Bytes entryIdOf(Nid nid) const;
    uint32_t nextRowVersion() { return ++rowVersion_; }

    std::filesystem::path path_;
    std::string displayName_;
    StoreOptions options_;
    std::unique_ptr<ndb::NodeDatabaseWriter> ndb_;
    std::array<uint8_t, 16> recordKey_{};
    NameToIdMap names_;
    std::map<Nid, Folder> folders_;
    std::set<Nid> dirtyFolders_;  // PC or hierarchy row to write at the next commit
    std::unique_ptr<TableCache> tables_;
    uint32_t rowVersion_ = 0;
    std::chrono::steady_clock::time_point lastCommit_;
    uint64_t evictionsAtCommit_ = 0;
    uint64_t messagesSinceCommit_ = 0;
    std::vector<std::string> lastMessageWarnings_;
};

}  // namespace qm::pst::store
