#include "pst/read/pst_file.h"

#include <algorithm>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/tags.h"

namespace qm::pst::read {

using namespace mapi;

namespace {

constexpr PropTag kIpmSubTreeEntryId = 0x35E00102;
constexpr PropTag kIpmWastebasketEntryId = 0x35E30102;
constexpr PropTag kFinderEntryId = 0x35E70102;
// An EntryID: rgbFlags (4), the store's record key (16), the NID (4).
constexpr size_t kEntryIdSize = 24;
// Embedded messages nest; a file that nests deeper than this is hostile.
constexpr int kMaxEmbeddingDepth = 32;

void dropTableColumns(PropertyBag& bag) {
    bag.erase(ndb::kPidTagLtpRowId);
    bag.erase(ndb::kPidTagLtpRowVer);
}

}  // namespace

std::unique_ptr<PstFile> PstFile::open(const std::filesystem::path& path) {
    return std::make_unique<PstFile>(NodeDatabase::open(path));
}

PstFile::PstFile(std::shared_ptr<const NodeDatabase> db) : db_(std::move(db)) {}

std::unique_ptr<PropertyContext> PstFile::propertyContext(Nid nid) const {
    const NbtEntry& n = db_->node(nid);
    return std::make_unique<PropertyContext>(db_, n.bidData, n.bidSub, "node " + hex(nid));
}

std::unique_ptr<TableContext> PstFile::table(Nid nid) const {
    const NbtEntry& n = db_->node(nid);
    return std::make_unique<TableContext>(db_, n.bidData, n.bidSub, "table " + hex(nid));
}

const NameMap& PstFile::nameMap() const {
    if (!names_) {
        if (db_->findNode(ndb::NID_NAME_TO_ID_MAP))
            names_ = NameMap::fromProperties(propertyContext(ndb::NID_NAME_TO_ID_MAP)->properties(),
                                             path());
        else
            names_ = NameMap();
    }
    return *names_;
}

PropertyBag PstFile::storeProperties() const {
    return propertyContext(ndb::NID_MESSAGE_STORE)->properties(&nameMap());
}

std::string PstFile::displayName() const {
    return storeProperties().string(0x3001).value_or("");
}

Nid PstFile::folderFromEntryId(PropTag tag, Nid fallback) const {
    PropertyBag store = storeProperties();
    const Property* p = store.find(tag);
    if (!p) return fallback;
    Bytes b = p->bytes();
    if (b.size() != kEntryIdSize)
        throw FormatError(path(), "store property " + tagName(tag), -1,
                          "EntryID of " + std::to_string(b.size()) + " bytes");
    return loadLE32(&b[20]);
}

Nid PstFile::ipmSubtree() const {
    return folderFromEntryId(kIpmSubTreeEntryId, ndb::NID_IPM_SUBTREE);
}
Nid PstFile::deletedItems() const {
    return folderFromEntryId(kIpmWastebasketEntryId, ndb::NID_DELETED_ITEMS);
}
Nid PstFile::searchRoot() const {
    return folderFromEntryId(kFinderEntryId, ndb::NID_SEARCH_ROOT);
}

Nid PstFile::parentOf(Nid nid) const {
    return db_->node(nid).nidParent;
}

std::vector<FolderEntry> PstFile::childFolders(Nid folder) const {
    std::vector<FolderEntry> out;
    Nid tableNid = ndb::withNidType(folder, ndb::NID_TYPE_HIERARCHY_TABLE);
    if (!db_->findNode(tableNid)) return out;  // search folders have none
    auto tc = table(tableNid);
    for (size_t r = 0; r < tc->rowCount(); ++r) {
        PropertyBag row = tc->rowProperties(r);
        FolderEntry f;
        f.nid = tc->rowId(r);
        f.name = row.string(0x3001).value_or("");
        f.contentCount = row.int32(tag::ContentCount).value_or(0);
        f.unreadCount = row.int32(tag::ContentUnreadCount).value_or(0);
        f.hasSubfolders = row.boolean(tag::Subfolders).value_or(false);
        f.containerClass = row.string(0x3613).value_or("");
        out.push_back(std::move(f));
    }
    return out;
}

std::vector<FolderNode> PstFile::folderTree(Nid top) const {
    constexpr int kMaxDepth = 256;
    std::vector<FolderNode> out;
    std::vector<Nid> path;
    auto walk = [&](Nid folder, int depth, auto& self) -> void {
        if (depth > kMaxDepth || std::find(path.begin(), path.end(), folder) != path.end())
            throw FormatError(this->path(), "folder " + hex(folder), -1,
                              "folder tree loops or nests too deep");
        path.push_back(folder);
        for (auto& f : childFolders(folder)) {
            Nid nid = f.nid;
            out.push_back({std::move(f), folder, depth});
            self(nid, depth + 1, self);
        }
        path.pop_back();
    };
    walk(top ? top : ipmSubtree(), 0, walk);
    return out;
}

PropertyBag PstFile::folderProperties(Nid folder) const {
    return propertyContext(folder)->properties(&nameMap());
}

std::vector<Nid> PstFile::messageNids(Nid folder) const {
    std::vector<Nid> out;
    Nid tableNid = ndb::withNidType(folder, ndb::NID_TYPE_CONTENTS_TABLE);
    if (!db_->findNode(tableNid)) return out;
    auto tc = table(tableNid);
    for (size_t r = 0; r < tc->rowCount(); ++r) out.push_back(tc->rowId(r));
    return out;
}

std::vector<Nid> PstFile::associatedMessageNids(Nid folder) const {
    std::vector<Nid> out;
    Nid tableNid = ndb::withNidType(folder, ndb::NID_TYPE_ASSOC_CONTENTS_TABLE);
    if (!db_->findNode(tableNid)) return out;
    auto tc = table(tableNid);
    for (size_t r = 0; r < tc->rowCount(); ++r) out.push_back(tc->rowId(r));
    return out;
}

Message PstFile::readMessage(Nid message) const {
    const NbtEntry& n = db_->node(message);
    return readMessageNode(n.bidData, n.bidSub, "message " + hex(message), 0);
}

Message PstFile::readMessageNode(Bid bidData, Bid bidSub, const std::string& where,
                                 int depth) const {
    if (depth > kMaxEmbeddingDepth)
        throw FormatError(path(), where, -1, "embedded messages nest too deep");
    const NameMap& names = nameMap();
    PropertyContext pc(db_, bidData, bidSub, where);
    Message msg;
    msg.props = pc.properties(&names);
    const LtpNode& node = pc.node();

    if (const SubnodeEntry* s = node.findSubnode(ndb::NID_RECIPIENT_TABLE)) {
        TableContext tc(db_, s->bidData, s->bidSub, where + " recipient table");
        for (size_t r = 0; r < tc.rowCount(); ++r) {
            Recipient rcpt;
            rcpt.props = tc.rowProperties(r, &names);
            dropTableColumns(rcpt.props);
            msg.recipients.push_back(std::move(rcpt));
        }
    }
    if (const SubnodeEntry* s = node.findSubnode(ndb::NID_ATTACHMENT_TABLE)) {
        TableContext tc(db_, s->bidData, s->bidSub, where + " attachment table");
        for (size_t r = 0; r < tc.rowCount(); ++r) {
            Nid attNid = tc.rowId(r);
            std::string attWhere = where + " attachment " + hex(attNid);
            const SubnodeEntry* a = node.findSubnode(attNid);
            if (!a) throw FormatError(path(), attWhere, -1, "listed but has no subnode");
            PropertyContext apc(db_, a->bidData, a->bidSub, attWhere);
            Attachment att;
            att.props = apc.properties(&names);
            for (const auto& e : apc.entries()) {
                if (e.type != PT_OBJECT) continue;
                auto ref = apc.objectRef(e);
                const SubnodeEntry* obj = apc.node().findSubnode(ref.nid);
                if (!obj)
                    throw FormatError(path(), attWhere, -1,
                                      "object subnode " + hex(ref.nid) + " is missing");
                PropTag objTag = makeTag(e.id, e.type);
                if (att.props.int32(tag::AttachMethod).value_or(0) == ATTACH_EMBEDDED_MSG &&
                    objTag == tag::AttachDataObject) {
                    att.embedded = std::make_unique<Message>(readMessageNode(
                        obj->bidData, obj->bidSub, attWhere + " embedded message", depth + 1));
                    att.props.erase(objTag);
                } else {
                    // An OLE storage: the object's bytes as stored.
                    Property p;
                    p.tag = objTag;
                    if (db_->streamSize(obj->bidData) > PropertyContext::kStreamThreshold)
                        p.stream = db_->streamSource(obj->bidData);
                    else
                        p.value = db_->readStream(obj->bidData);
                    att.props.set(std::move(p));
                }
            }
            msg.attachments.push_back(std::move(att));
        }
    }
    return msg;
}

std::string readableSubject(const PropertyBag& props, int codePage) {
    std::u16string s = mapi::fromUtf8(props.string(0x0037, codePage).value_or(""));
    // The length unit may be any value (a long prefix), not only ASCII.
    if (s.size() >= 2 && s[0] == u'\x01') s.erase(0, 2);
    return mapi::toUtf8(s);
}

}  // namespace qm::pst::read
