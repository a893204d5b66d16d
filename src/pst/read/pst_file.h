// A Unicode PST file, read: the message store, its folder tree, the
// messages of each folder and everything in them, named properties
// resolved. This is what `quillmark-cli list` and every test that reads
// back a written store use.
//
//   auto pst = qm::pst::read::PstFile::open("out.pst");
//   for (const auto& f : pst->childFolders(pst->ipmSubtree()))
//       for (Nid m : pst->messageNids(f.nid)) mapi::Message msg = pst->readMessage(m);
//
// Errors: qm::IoError for the file system; qm::FormatError (file, structure,
// offset) for a file that is not a Unicode PST or is damaged where it is read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mapi/message.h"
#include "pst/read/name_map.h"
#include "pst/read/node_database.h"
#include "pst/read/property_context.h"
#include "pst/read/table_context.h"

namespace qm::pst::read {

// One row of a folder's hierarchy table.
struct FolderEntry {
    Nid nid = 0;
    std::string name;  // PidTagDisplayName, UTF-8
    int32_t contentCount = 0;
    int32_t unreadCount = 0;
    bool hasSubfolders = false;
    std::string containerClass;  // "" when absent
};

// A folder met walking the tree: its place and its hierarchy row.
struct FolderNode {
    FolderEntry folder;
    Nid parent = 0;
    int depth = 0;  // 0 for the children of the folder the walk starts at
};

class PstFile {
  public:
    // Opens the file and walks its B-trees; throws on the first defect met.
    static std::unique_ptr<PstFile> open(const std::filesystem::path& path);
    // Over a node database already opened (the checker opens it collecting).
    explicit PstFile(std::shared_ptr<const NodeDatabase> db);

    const NodeDatabase& ndb() const { return *db_; }
    const std::shared_ptr<const NodeDatabase>& ndbHandle() const { return db_; }
    const std::string& path() const { return db_->path(); }

    // The store (NID 0x21).
    mapi::PropertyBag storeProperties() const;
    std::string displayName() const;  // UTF-8
    // The folders the store names in PidTagIpmSubTreeEntryId etc.; the
    // standard NIDs when the property is absent.
    Nid ipmSubtree() const;
    Nid deletedItems() const;
    Nid searchRoot() const;
    static constexpr Nid rootFolder() { return ndb::NID_ROOT_FOLDER; }

    // The store-wide named-property map (read once, on first use).
    const NameMap& nameMap() const;

    // Folders: the rows of the folder's hierarchy table, in table order.
    std::vector<FolderEntry> childFolders(Nid folder) const;
    // Every folder below `top` (the IPM subtree when 0), depth first, each
    // folder before its children, in hierarchy-table order. Throws
    // qm::FormatError for a tree that loops or nests beyond 256 levels.
    std::vector<FolderNode> folderTree(Nid top = 0) const;
    // The folder PC's properties (named ones resolved).
    mapi::PropertyBag folderProperties(Nid folder) const;
    // The NBT's parent of a node (folders and messages record it).
    Nid parentOf(Nid nid) const;

    // Row ids of the folder's contents table (normal messages) and of its
    // associated contents table (FAI), in table order.
    std::vector<Nid> messageNids(Nid folder) const;
    std::vector<Nid> associatedMessageNids(Nid folder) const;

    // The whole message: every property of its PC, recipients (the rows of
    // its recipient table, without LtpRowId/LtpRowVer), attachments (their
    // PCs, in attachment-table order) with embedded messages read
    // recursively. Values of more than PropertyContext::kStreamThreshold
    // bytes come as Property::stream, read from the file on demand.
    mapi::Message readMessage(Nid message) const;

    // Tables by node: a folder's hierarchy/contents/FAI tables are the
    // folder's NID with type 0x0D/0x0E/0x0F (ndb::withNidType).
    // Keep the returned object while using what it returns by reference:
    // `for (auto& c : pst.table(n)->columns())` reads a destroyed table.
    std::unique_ptr<TableContext> table(Nid nid) const;
    std::unique_ptr<PropertyContext> propertyContext(Nid nid) const;

  private:
    mapi::Message readMessageNode(Bid bidData, Bid bidSub, const std::string& where,
                                  int depth) const;
    Nid folderFromEntryId(mapi::PropTag tag, Nid fallback) const;

    std::shared_ptr<const NodeDatabase> db_;
    mutable std::optional<NameMap> names_;
};

// The subject as a person reads it: a leading U+0001 and its length
// character (the prefix-length marker of [MS-PST] 2.5) removed. An 8-bit
// subject is decoded with `codePage` (the message's, see
// mapi::Message::stringCodePage).
std::string readableSubject(const mapi::PropertyBag& props, int codePage = 1252);

}  // namespace qm::pst::read
