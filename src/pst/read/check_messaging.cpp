// Checker, messaging part: the store, the folder tree against its
// hierarchy tables and counts, contents rows against messages, message
// structure (recipients, attachments, embedded messages) and the
// name-to-id map.
#include <algorithm>

#include "mapi/error.h"
#include "mapi/tags.h"
#include "pst/ndb/crc.h"
#include "pst/read/check_internal.h"

namespace qm::pst::read::check {

using namespace ndb;
using mapi::PropertyBag;
using mapi::PropTag;

namespace {

constexpr int kMaxFolderDepth = 256;
constexpr int kMaxEmbeddingDepth = 32;
constexpr PropTag kRecordKey = 0x0FF90102;
constexpr PropTag kPstHiddenCount = 0x66350003;
constexpr PropTag kPstHiddenUnread = 0x66360003;

// Cells a contents or hierarchy row carries that its object does not: the
// table's own bookkeeping and replication state.
bool tableOnly(PropTag tag) {
    uint16_t id = mapi::propId(tag);
    return tag == kPidTagLtpRowId || tag == kPidTagLtpRowVer || id == 0x67F1 ||
           (id >= 0x0E30 && id <= 0x0E3D) || id == 0x0E17;
}

std::string rowInt(const mapi::Property* p) {
    return p->value.size() == 4 ? std::to_string(int32_t(loadLE32(p->value.data()))) : "?";
}

bool sameValue(const mapi::Property& a, const mapi::Property& b) {
    return a.items == b.items && a.bytes() == b.bytes();
}

// The object's property with the row cell's id when its type is another:
// readers that look a row up by tag then miss the object's value, or show
// two encodings of one text (a Unicode row, an 8-bit message).
const mapi::Property* otherType(const PropertyBag& object, PropTag cellTag) {
    const mapi::Property* p = object.findId(mapi::propId(cellTag));
    return p && p->tag != cellTag ? p : nullptr;
}

std::string typeClash(PropTag cellTag, const mapi::Property& object, const char* objectName) {
    return "property " + hex(mapi::propId(cellTag)) + " is " +
           mapi::typeName(mapi::propType(cellTag)) + " in the row, " +
           mapi::typeName(object.type()) + " in the " + objectName;
}

}  // namespace

void Checker::checkMessage(Nid nid, Bid bidData, Bid bidSub, const std::string& where, int depth) {
    if (depth > kMaxEmbeddingDepth) {
        finding(where, "embedded messages nest too deep");
        return;
    }
    try {
        PropertyContext pc(db_, bidData, bidSub, where);
        checkHeapLayout(*this, pc.node().heap());
        checkPropertyValues(*this, pc);
        const LtpNode& node = pc.node();
        PropertyBag props = pc.properties();
        std::vector<Nid> attachmentSubnodes;
        for (const auto& s : node.subnodes())
            if (nidType(s.nid) == NID_TYPE_ATTACHMENT) attachmentSubnodes.push_back(s.nid);
        // Outlook itself writes posts without one, so its absence is no defect.
        if (!node.findSubnode(NID_RECIPIENT_TABLE)) note(where + ": no recipient table");
        if (const SubnodeEntry* s = node.findSubnode(NID_RECIPIENT_TABLE)) {
            TableContext tc(db_, s->bidData, s->bidSub, where + " recipient table");
            checkHeapLayout(*this, tc.node().heap());
            checkTableLayout(*this, tc, where + " recipient table");
        }
        std::vector<Nid> rows;
        std::map<Nid, PropertyBag> attachmentRows;
        if (const SubnodeEntry* s = node.findSubnode(NID_ATTACHMENT_TABLE)) {
            TableContext tc(db_, s->bidData, s->bidSub, where + " attachment table");
            checkHeapLayout(*this, tc.node().heap());
            checkTableLayout(*this, tc, where + " attachment table");
            for (size_t r = 0; r < tc.rowCount(); ++r) {
                rows.push_back(tc.rowId(r));
                try {
                    attachmentRows[tc.rowId(r)] = tc.rowProperties(r);
                } catch (const FormatError&) {
                    // Reported by checkTableLayout.
                }
            }
        }
        std::sort(rows.begin(), rows.end());
        if (rows != attachmentSubnodes)
            finding(where, std::to_string(rows.size()) + " attachment rows for " +
                               std::to_string(attachmentSubnodes.size()) + " attachment subnodes");
        // [MS-PST] 2.4.5.1.1, by id (8-bit strings count); MessageStatus is
        // left out, Outlook keeps it in the contents row only.
        for (PropTag tag :
             {mapi::tag::MessageClass, mapi::tag::MessageFlags, mapi::tag::MessageSize,
              mapi::tag::CreationTime, mapi::tag::LastModificationTime, PropTag(0x300B0102)})
            if (!props.findId(mapi::propId(tag)))
                finding(where, "required property " + tagName(tag) + " missing");
        int32_t flags = props.int32(mapi::tag::MessageFlags).value_or(0);
        bool hasAttach = (flags & mapi::MSGFLAG_HASATTACH) != 0;
        if (hasAttach != !attachmentSubnodes.empty())
            finding(where, std::string("MessageFlags ") + (hasAttach ? "has" : "lacks") +
                               " MSGFLAG_HASATTACH but the message has " +
                               std::to_string(attachmentSubnodes.size()) + " attachments");
        for (Nid a : attachmentSubnodes) {
            const SubnodeEntry* s = node.findSubnode(a);
            std::string aw = where + " attachment " + hex(a);
            PropertyContext apc(db_, s->bidData, s->bidSub, aw);
            checkHeapLayout(*this, apc.node().heap());
            checkPropertyValues(*this, apc);
            PropertyBag ap = apc.properties();
            if (auto row = attachmentRows.find(a); row != attachmentRows.end())
                for (const auto& cell : row->second)
                    if (const mapi::Property* other = otherType(ap, cell.tag))
                        finding(aw, typeClash(cell.tag, *other, "attachment"));
            for (PropTag tag :
                 {mapi::tag::AttachSize, mapi::tag::AttachMethod, mapi::tag::RenderingPosition})
                if (!ap.findId(mapi::propId(tag)))
                    finding(aw, "required property " + tagName(tag) + " missing");
            for (const auto& e : apc.entries()) {
                if (mapi::makeTag(e.id, e.type) != mapi::tag::AttachDataObject) continue;
                if (ap.int32(mapi::tag::AttachMethod).value_or(0) != mapi::ATTACH_EMBEDDED_MSG)
                    continue;
                auto ref = apc.objectRef(e);
                const SubnodeEntry* m = apc.node().findSubnode(ref.nid);
                if (m)
                    checkMessage(ref.nid, m->bidData, m->bidSub, aw + " embedded message",
                                 depth + 1);
            }
        }
    } catch (const FormatError& e) {
        finding(e.structure(), e.reason());
    }
    (void)nid;
}

void Checker::checkStore() {
    try {
        PropertyBag store = pst_.storeProperties();
        if (!store.string(0x3001)) finding("store", "no PidTagDisplayName");
        const mapi::Property* rk = store.find(kRecordKey);
        Bytes uid = rk ? rk->bytes() : Bytes{};
        if (uid.size() != 16) finding("store", "PidTagRecordKey is not 16 bytes");
        for (PropTag tag : {PropTag(0x35E00102), PropTag(0x35E30102), PropTag(0x35E70102)}) {
            const mapi::Property* p = store.find(tag);
            std::string where = "store property " + tagName(tag);
            if (!p) {
                finding("store", "no " + tagName(tag));
                continue;
            }
            Bytes b = p->bytes();
            if (b.size() != 24) {
                finding(where, "EntryID of " + std::to_string(b.size()) + " bytes");
                continue;
            }
            if (loadLE32(b.data()) != 0) finding(where, "rgbFlags not 0");
            if (uid.size() == 16 && !std::equal(uid.begin(), uid.end(), b.begin() + 4))
                finding(where, "EntryID's store UID differs from PidTagRecordKey");
            Nid target = loadLE32(&b[20]);
            const NbtEntry* n = db_->findNode(target);
            if (!n || (nidType(target) != NID_TYPE_NORMAL_FOLDER &&
                       nidType(target) != NID_TYPE_SEARCH_FOLDER))
                finding(where, "names " + hex(target) + ", which is not a folder in the file");
        }
    } catch (const FormatError& e) {
        finding(e.structure(), e.reason());
    }
}

void Checker::checkFolder(Nid folder, int depth, std::set<Nid>& seen) {
    std::string where = "folder " + hex(folder);
    if (depth > kMaxFolderDepth) {
        finding(where, "folder tree nested too deep");
        return;
    }
    if (!seen.insert(folder).second) {
        finding(where, "reached twice in the folder tree");
        return;
    }
    PropertyBag props;
    try {
        props = pst_.folderProperties(folder);
    } catch (const FormatError& e) {
        finding(e.structure(), e.reason());
        return;
    }
    if (auto name = props.string(0x3001)) where += " '" + *name + "'";
    for (PropTag tag : {mapi::tag::DisplayName, mapi::tag::ContentCount,
                        mapi::tag::ContentUnreadCount, mapi::tag::Subfolders})
        if (!props.findId(mapi::propId(tag)))
            finding(where, "required property " + tagName(tag) + " missing");
    bool search = nidType(folder) == NID_TYPE_SEARCH_FOLDER;
    for (uint8_t t :
         {NID_TYPE_HIERARCHY_TABLE, NID_TYPE_CONTENTS_TABLE, NID_TYPE_ASSOC_CONTENTS_TABLE}) {
        if (!search && !db_->findNode(withNidType(folder, t)))
            finding(where, "table node " + hex(withNidType(folder, t)) + " is missing");
    }
    // A folder's tables carry at least their template's columns.
    for (auto [type, tmpl] :
         {std::pair{NID_TYPE_HIERARCHY_TABLE, NID_HIERARCHY_TABLE_TEMPLATE},
          std::pair{NID_TYPE_CONTENTS_TABLE, NID_CONTENTS_TABLE_TEMPLATE},
          std::pair{NID_TYPE_ASSOC_CONTENTS_TABLE, NID_ASSOC_CONTENTS_TABLE_TEMPLATE},
          std::pair{NID_TYPE_SEARCH_CONTENTS_TABLE, NID_SEARCH_CONTENTS_TABLE_TEMPLATE}}) {
        Nid tableNid = withNidType(folder, type);
        if (!db_->findNode(tableNid) || !db_->findNode(tmpl)) continue;
        try {
            auto table = pst_.table(tableNid);
            auto templateTable = pst_.table(tmpl);
            for (const auto& col : templateTable->columns())
                if (!table->findColumn(col.tag))
                    finding("table " + hex(tableNid),
                            "lacks the template's column " + tagName(col.tag));
        } catch (const FormatError&) {
            // Reported where the table itself is checked.
        }
    }

    // Children: hierarchy rows against the folders whose parent this is.
    std::vector<Nid> rowNids;
    Nid hier = withNidType(folder, NID_TYPE_HIERARCHY_TABLE);
    if (db_->findNode(hier)) {
        try {
            auto tc = pst_.table(hier);
            for (size_t r = 0; r < tc->rowCount(); ++r) {
                Nid child = tc->rowId(r);
                rowNids.push_back(child);
                std::string cw = where + " hierarchy row " + hex(child);
                const NbtEntry* n = db_->findNode(child);
                if (!n || (nidType(child) != NID_TYPE_NORMAL_FOLDER &&
                           nidType(child) != NID_TYPE_SEARCH_FOLDER)) {
                    finding(cw, "names no folder node");
                    continue;
                }
                if (n->nidParent != folder)
                    finding(cw, "the folder's node names parent " + hex(n->nidParent));
                PropertyBag row = tc->rowProperties(r);
                PropertyBag childProps = pst_.folderProperties(child);
                for (PropTag tag : {mapi::tag::DisplayName, mapi::tag::ContentCount,
                                    mapi::tag::ContentUnreadCount, mapi::tag::Subfolders,
                                    mapi::tag::ContainerClass, kPstHiddenCount, kPstHiddenUnread}) {
                    const mapi::Property* a = row.findId(mapi::propId(tag));
                    const mapi::Property* b = childProps.findId(mapi::propId(tag));
                    if (a && b && a->tag != b->tag) {
                        finding(cw, typeClash(a->tag, *b, "folder"));
                        continue;
                    }
                    if (a && b && !sameValue(*a, *b))
                        finding(cw, tagName(tag) + " differs between the row and the folder");
                    else if (bool(a) != bool(b) && tag != mapi::tag::ContainerClass &&
                             tag != kPstHiddenCount && tag != kPstHiddenUnread)
                        finding(cw,
                                tagName(tag) + (a ? " only in the row" : " only in the folder"));
                }
            }
        } catch (const FormatError& e) {
            finding(e.structure(), e.reason());
        }
    }
    std::vector<Nid> sortedRows = rowNids;
    std::sort(sortedRows.begin(), sortedRows.end());
    if (std::adjacent_find(sortedRows.begin(), sortedRows.end()) != sortedRows.end())
        finding(where, "a folder is listed twice in the hierarchy table");
    auto [childBegin, childEnd] = children_.equal_range(folder);
    for (auto it = childBegin; it != childEnd; ++it) {
        Nid n = it->second;
        bool isFolder =
            nidType(n) == NID_TYPE_NORMAL_FOLDER || nidType(n) == NID_TYPE_SEARCH_FOLDER;
        if (isFolder && n != folder && !std::binary_search(sortedRows.begin(), sortedRows.end(), n))
            finding(where, "child folder " + hex(n) + " missing from the hierarchy table");
    }
    if (auto sub = props.boolean(mapi::tag::Subfolders); sub && *sub != !rowNids.empty() && !search)
        finding(where, std::string("PidTagSubfolders is ") + (*sub ? "true" : "false") + " with " +
                           std::to_string(rowNids.size()) + " child folders");

    // Messages: contents rows against the message PCs.
    for (uint8_t tableType : {NID_TYPE_CONTENTS_TABLE, NID_TYPE_ASSOC_CONTENTS_TABLE}) {
        Nid tableNid = withNidType(folder, tableType);
        bool assoc = tableType == NID_TYPE_ASSOC_CONTENTS_TABLE;
        uint8_t msgType = assoc ? NID_TYPE_ASSOC_MESSAGE : NID_TYPE_NORMAL_MESSAGE;
        std::vector<Nid> listed;
        int32_t unread = 0;
        if (db_->findNode(tableNid)) {
            try {
                auto tc = pst_.table(tableNid);
                for (size_t r = 0; r < tc->rowCount(); ++r) {
                    Nid m = tc->rowId(r);
                    listed.push_back(m);
                    std::string mw = where + (assoc ? " FAI row " : " contents row ") + hex(m);
                    const NbtEntry* n = db_->findNode(m);
                    if (!n || nidType(m) != msgType) {
                        finding(mw, "names no message node");
                        continue;
                    }
                    if (n->nidParent != folder)
                        finding(mw, "the message's node names parent " + hex(n->nidParent));
                    PropertyBag row = tc->rowProperties(r);
                    PropertyBag msg = pst_.propertyContext(m)->properties();
                    if (!(msg.int32(mapi::tag::MessageFlags).value_or(0) & mapi::MSGFLAG_READ))
                        ++unread;
                    for (const auto& col : tc->columns()) {
                        if (tableOnly(col.tag)) continue;
                        const mapi::Property* a = row.find(col.tag);
                        const mapi::Property* b = msg.find(col.tag);
                        if (const mapi::Property* other = a ? otherType(msg, col.tag) : nullptr) {
                            finding(mw, typeClash(col.tag, *other, "message"));
                            continue;
                        }
                        // A row may also carry calculated cells the message does
                        // not store (Outlook's own: PidTagConversationId).
                        if (a && b && !sameValue(*a, *b)) {
                            if (col.tag == mapi::tag::MessageSize)
                                note(mw + ": PidTagMessageSize " + rowInt(a) + " in the row, " +
                                     rowInt(b) + " in the message");
                            else
                                finding(mw, tagName(col.tag) +
                                                " differs between the row and the message");
                        } else if (!a && b)
                            finding(mw, tagName(col.tag) + " is in the message but not in its row");
                    }
                }
            } catch (const FormatError& e) {
                finding(e.structure(), e.reason());
            }
        }
        std::sort(listed.begin(), listed.end());
        for (auto it = childBegin; it != childEnd; ++it)
            if (nidType(it->second) == msgType &&
                !std::binary_search(listed.begin(), listed.end(), it->second))
                finding(where, "message " + hex(it->second) + " missing from its contents table");
        if (!assoc) {
            auto count = props.int32(mapi::tag::ContentCount);
            if (count && *count != int32_t(listed.size()))
                finding(where, "PidTagContentCount " + std::to_string(*count) + " with " +
                                   std::to_string(listed.size()) + " messages");
            auto unreadProp = props.int32(mapi::tag::ContentUnreadCount);
            if (unreadProp && *unreadProp != unread && !search)
                finding(where, "PidTagContentUnreadCount " + std::to_string(*unreadProp) +
                                   " with " + std::to_string(unread) + " unread messages");
        }
    }
    for (Nid child : rowNids)
        if (db_->findNode(child)) checkFolder(child, depth + 1, seen);
}

void Checker::checkNameMap() {
    const std::string where = "name-to-id map";
    if (!db_->findNode(NID_NAME_TO_ID_MAP)) {
        finding(where, "node 0x61 is missing");
        return;
    }
    try {
        PropertyBag props = pst_.propertyContext(NID_NAME_TO_ID_MAP)->properties();
        if (props.int32(0x00010003) != int32_t(kNameidBucketCount))
            finding(where, "PidTagNameidBucketCount is not 251");
        const NameMap& names = pst_.nameMap();
        std::vector<Bytes> buckets(kNameidBucketCount);
        for (const auto& p : props) {
            uint16_t id = p.id();
            if (id >= 0x1000 && id < 0x1000 + 0x100 && p.type() == mapi::PT_BINARY) {
                if (id - 0x1000u >= kNameidBucketCount) {
                    finding(where, "bucket property " + tagName(p.tag) + " beyond bucket 250");
                    continue;
                }
                buckets[id - 0x1000] = p.bytes();
                if (buckets[id - 0x1000].size() % 8 != 0)
                    finding(where,
                            "bucket " + std::to_string(id - 0x1000) + " is not whole records");
            }
        }
        Bytes strings;
        if (const mapi::Property* s = props.find(0x00040102)) strings = s->bytes();
        size_t inBuckets = 0;
        for (const auto& b : buckets) inBuckets += b.size() / 8;
        if (inBuckets != names.records().size())
            finding(where, std::to_string(inBuckets) + " bucket records for " +
                               std::to_string(names.records().size()) + " names");
        const auto& guids = names.guids();
        for (size_t i = 0; i < guids.size(); ++i) {
            if (guids[i] == mapi::PS_MAPI || guids[i] == mapi::PS_PUBLIC_STRINGS)
                finding(where, "GUID stream holds " + guids[i].str() + ", which has a fixed index");
            for (size_t k = 0; k < i; ++k)
                if (guids[k] == guids[i])
                    finding(where, "GUID stream holds " + guids[i].str() + " twice");
        }
        std::set<std::pair<uint16_t, uint64_t>> numeric;
        for (size_t i = 0; i < names.records().size(); ++i) {
            const auto& r = names.records()[i];
            if (r.propIndex != i)
                finding(where, "record " + std::to_string(i) + " has wPropIdx " +
                                   std::to_string(r.propIndex));
            if (r.isString && r.propertyId % 4 != 0)
                finding(where, "record " + std::to_string(i) + " string not on a 4-byte boundary");
            if (!r.isString && !numeric.insert({r.guidIndex, r.propertyId}).second)
                finding(where, "record " + std::to_string(i) + " repeats a name");
        }
        for (const auto& r : names.records()) {
            uint32_t key = r.propertyId;
            if (r.isString) {
                uint32_t len = loadLE32(&strings[r.propertyId]);
                key = crc32(&strings[r.propertyId + 4], len);
            }
            uint32_t bucket = nameIdBucket(key, r.guidIndex, r.isString);
            const Bytes& b = buckets[bucket];
            bool found = false;
            for (size_t i = 0; i + 8 <= b.size(); i += 8)
                found |= loadLE32(&b[i]) == key &&
                         loadLE16(&b[i + 4]) == ((r.guidIndex << 1) | (r.isString ? 1 : 0)) &&
                         loadLE16(&b[i + 6]) == r.propIndex;
            if (!found)
                finding(where, "property " + hex(kFirstNamedPropId + r.propIndex) +
                                   " is not in hash bucket " + std::to_string(bucket));
        }
    } catch (const FormatError& e) {
        finding(e.structure(), e.reason());
    }
}

void Checker::checkMessaging() {
    if (!db_->findNode(NID_MESSAGE_STORE)) {
        finding("store", "node 0x21 is missing");
        return;
    }
    checkStore();
    // The tables every new folder and message takes its columns from: nodes
    // a store must hold ([MS-PST] 2.7.1), though a reader gets by without.
    for (Nid tmpl : {NID_HIERARCHY_TABLE_TEMPLATE, NID_CONTENTS_TABLE_TEMPLATE,
                     NID_ASSOC_CONTENTS_TABLE_TEMPLATE, NID_SEARCH_CONTENTS_TABLE_TEMPLATE,
                     NID_ATTACHMENT_TABLE, NID_RECIPIENT_TABLE})
        if (!db_->findNode(tmpl)) finding("store", "table template " + hex(tmpl) + " is missing");
    checkNameMap();
    if (!db_->findNode(NID_ROOT_FOLDER)) {
        finding("folders", "root folder 0x122 is missing");
        return;
    }
    for (const auto& n : db_->nodes()) {
        uint8_t t = nidType(n.nid);
        if (t == NID_TYPE_NORMAL_FOLDER || t == NID_TYPE_SEARCH_FOLDER ||
            t == NID_TYPE_NORMAL_MESSAGE || t == NID_TYPE_ASSOC_MESSAGE)
            children_.emplace(n.nidParent, n.nid);
    }
    std::set<Nid> seen;
    checkFolder(NID_ROOT_FOLDER, 0, seen);
    for (const auto& n : db_->nodes()) {
        bool isFolder =
            nidType(n.nid) == NID_TYPE_NORMAL_FOLDER || nidType(n.nid) == NID_TYPE_SEARCH_FOLDER;
        if (isFolder && !seen.count(n.nid))
            finding("folder " + hex(n.nid), "not reachable from the root folder");
    }
}

}  // namespace qm::pst::read::check
