// The nodes of a new store, node for node as Outlook writes them for a new
// data file (docs/pst-format.md lists each one, and where and why ours
// differ):
//
//   0x21   message store PC          0x61   name-to-id map PC
//   0x122  root folder (+0x12D/E/F)  0x1E1  search management queue (empty)
//   0x201  search activity list: [0x2223]
//   0x261  search domain object (empty)
//   0x60D/E/F, 0x610, 0x671, 0x692   table templates
//   0x62B  receive-folder table      0x64C  outgoing queue
//   0x6B6, 0x6D7, 0x6F8              Outlook's undocumented empty tables
//   0xC01, 0xE01                     Outlook's undocumented heaps, as Outlook writes them empty
//   0xE41, 0xEC1, 0xF21              empty nodes
//   0xEE1, 0xF01                     search indexing state of a store not yet indexed
//   0x2223 "SPAM Search Folder 2" with 0x2226 (update queue), 0x2227
//          (criteria), 0x2230 (contents)
//   0x8022 "Top of Outlook data file" (IPM subtree)   0x8042 "Search Root"
//   0x8062 "Deleted Items"                            0x8082 "IPM_COMMON_VIEWS"
//          each with its hierarchy, contents and associated contents tables
//
// Empty tables with the same columns share one data block (Outlook does the
// same; the block's reference count says how many nodes use it).
#include <algorithm>
#include <chrono>
#include <map>

#include "mapi/tags.h"
#include "pst/ltp/heap_builder.h"
#include "pst/ltp/property_context_builder.h"
#include "pst/ltp/table_context_builder.h"
#include "pst/store/outlook_tables.h"
#include "pst/store/random_id.h"
#include "pst/store/store_impl.h"

namespace qm::pst::store {
namespace {

using mapi::makeTag;
using mapi::Property;

constexpr Nid NID_IPM_COMMON_VIEWS = 0x8082;
constexpr Nid NID_SPAM_UPDATE_QUEUE = 0x2226;
constexpr Nid NID_SPAM_CRITERIA = 0x2227;
constexpr Nid NID_SPAM_CONTENTS = 0x2230;
// Undocumented internal nodes Outlook writes into a new store.
constexpr Nid NID_OUTLOOK_HEAP_C01 = 0xC01;
constexpr Nid NID_OUTLOOK_HEAP_E01 = 0xE01;
constexpr Nid NID_OUTLOOK_EMPTY_E41 = 0xE41;
constexpr Nid NID_OUTLOOK_EMPTY_EC1 = 0xEC1;
constexpr Nid NID_OUTLOOK_EMPTY_F21 = 0xF21;
// Windows Search indexing state, the shape of the older gatherer queue
// (0x281) and descriptor (0x2A1): the folders still to index, and the
// indexer's identity and time.
constexpr Nid NID_OUTLOOK_INDEX_QUEUE = 0xEE1;
constexpr Nid NID_OUTLOOK_INDEX_DESCRIPTOR = 0xF01;
// Heap client signatures of those two heaps (reserved values of bClientSig).
constexpr uint8_t kClientSig9C = 0x9C;
constexpr uint8_t kClientSigCC = 0xCC;

// PidTagValidFolderMask bits ([MS-PST] 2.4.3.1): IPM subtree, wastebasket,
// common views, finder.
constexpr int32_t kValidFolderMask = 0x01 | 0x08 | 0x40 | 0x80;
// PidTagLatestPstEnsure and the undocumented 0x66FC, as Outlook writes them.
constexpr int32_t kLatestPstEnsure = 0x000E0011;
constexpr int32_t kOutlookStoreValue66FC = 0x0018B2B3;

// FILETIME counts 100 ns ticks from 1601-01-01; Unix time from 1970-01-01.
constexpr uint64_t kFiletimeUnixEpoch = 116444736000000000ULL;

// 0xEE1 as a new store of Outlook's holds it: one 28-byte record per object
// to index (the store and the four standard folders), {nid, 14 zero bytes,
// 4, state, 6 zero bytes}; IPM_COMMON_VIEWS has state 2, the others 1.
Bytes indexQueue() {
    Bytes out;
    for (Nid nid : {ndb::NID_MESSAGE_STORE, ndb::NID_IPM_SUBTREE, ndb::NID_SEARCH_ROOT,
                    ndb::NID_DELETED_ITEMS, NID_IPM_COMMON_VIEWS}) {
        appendLE32(out, nid);
        out.resize(out.size() + 14, 0);
        appendLE16(out, 4);
        appendLE16(out, nid == NID_IPM_COMMON_VIEWS ? 0x0200 : 0x0100);
        out.resize(out.size() + 6, 0);
    }
    return out;
}

// 0xF01 as Outlook writes it for a new store, with new GUIDs and the
// current time where Outlook puts its own indexer's: the store then reads
// as one no indexer has seen, as a file moved to another machine does.
Bytes indexDescriptor() {
    Bytes out(104, 0);
    out[0x00] = 0x08;
    out[0x1D] = 0x01;
    out[0x1E] = 0x01;
    const Bytes first = randomGuidBytes(), second = randomGuidBytes();
    std::copy(first.begin(), first.end(), out.begin() + 0x28);
    std::copy(second.begin(), second.end(), out.begin() + 0x38);
    storeLE32(out.data() + 0x48, 0x6A);
    storeLE32(out.data() + 0x4C, 2);
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    storeLE64(out.data() + 0x50, kFiletimeUnixEpoch + uint64_t(since / 100));
    storeLE32(out.data() + 0x5C, 5);
    storeLE32(out.data() + 0x60, 5);
    return out;
}

}  // namespace

void StoreImpl::writeStandardNodes() {
    ndb::NodeDatabaseWriter& db = *ndb_;

    auto putPc = [&](Nid nid, Nid parent, const std::vector<Property>& props) {
        ltp::PropertyContextBuilder pc(db);
        for (const auto& p : props) pc.set(p);
        const ltp::BuiltNode built = pc.build();
        db.setNode({nid, built.bidData, db.writeSubnodeTree(built.subnodes), parent});
    };
    std::map<std::vector<mapi::PropTag>, ndb::Bid> emptyTables;
    auto putTable = [&](Nid nid, const std::vector<mapi::PropTag>& cols,
                        const std::vector<std::pair<uint32_t, std::vector<Property>>>& rows) {
        if (rows.empty()) {
            if (auto it = emptyTables.find(cols); it != emptyTables.end()) {
                db.setNode({nid, it->second, 0, 0});
                return;
            }
        }
        ltp::TableContextBuilder tc(db, cols);
        for (const auto& [id, cells] : rows) tc.addRow(id, cells);
        const ltp::BuiltNode built = tc.flush();
        db.setNode({nid, built.bidData, db.writeSubnodeTree(built.subnodes), 0});
        if (rows.empty() && built.subnodes.empty()) emptyTables.emplace(cols, built.bidData);
    };
    auto putHeap = [&](Nid nid, uint8_t clientSig, std::initializer_list<Bytes> items) {
        ltp::HeapBuilder heap(db, clientSig);
        ltp::Hid first = 0;
        for (const Bytes& item : items) {
            const ltp::Hid hid = heap.allocate(item);
            if (!first) first = hid;
        }
        heap.setUserRoot(first);
        db.setNode({nid, heap.flush(), 0, 0});
    };
    auto putEmpty = [&](Nid nid) { db.setNode({nid, 0, 0, 0}); };

    // Fixed NIDs of folders and their tables: never hand them out again.
    for (Nid folder : {ndb::NID_IPM_SUBTREE, ndb::NID_SEARCH_ROOT, ndb::NID_DELETED_ITEMS,
                       NID_IPM_COMMON_VIEWS}) {
        db.reserveNid(folder);
        for (uint8_t type : {ndb::NID_TYPE_HIERARCHY_TABLE, ndb::NID_TYPE_CONTENTS_TABLE,
                             ndb::NID_TYPE_ASSOC_CONTENTS_TABLE}) {
            db.reserveNid(ndb::withNidType(folder, type));
        }
    }
    for (Nid nid : {ndb::NID_SPAM_SEARCH_FOLDER, NID_SPAM_UPDATE_QUEUE, NID_SPAM_CRITERIA,
                    NID_SPAM_CONTENTS}) {
        db.reserveNid(nid);
    }

    // ---------------------------------------------------------- message store
    // Outlook's shape: 1, a GUID, 1. Laid out in a buffer of its final size:
    // appending the GUID to a 4-byte vector makes GCC 12 warn of an overflow
    // that cannot happen.
    const Bytes historyGuid = randomGuidBytes();
    Bytes versionHistory(4 + historyGuid.size() + 4);
    storeLE32(versionHistory.data(), 1);
    std::copy(historyGuid.begin(), historyGuid.end(), versionHistory.begin() + 4);
    storeLE32(versionHistory.data() + 4 + historyGuid.size(), 1);
    putPc(ndb::NID_MESSAGE_STORE, 0,
          {
              Property::binary(makeTag(0x0E34, mapi::PT_BINARY), versionHistory),
              Property::int32(makeTag(0x0E38, mapi::PT_LONG), 0),
              Property::binary(makeTag(0x0FF9, mapi::PT_BINARY),
                               Bytes(recordKey_.begin(), recordKey_.end())),
              Property::utf8(mapi::tag::DisplayName, displayName_),
              Property::int32(makeTag(0x35DF, mapi::PT_LONG), kValidFolderMask),
              Property::binary(makeTag(0x35E0, mapi::PT_BINARY), entryIdOf(ndb::NID_IPM_SUBTREE)),
              Property::binary(makeTag(0x35E3, mapi::PT_BINARY), entryIdOf(ndb::NID_DELETED_ITEMS)),
              Property::binary(makeTag(0x35E6, mapi::PT_BINARY), entryIdOf(NID_IPM_COMMON_VIEWS)),
              Property::binary(makeTag(0x35E7, mapi::PT_BINARY), entryIdOf(ndb::NID_SEARCH_ROOT)),
              Property::boolean(makeTag(0x6633, mapi::PT_BOOLEAN), true),
              Property::int32(makeTag(0x66FA, mapi::PT_LONG), kLatestPstEnsure),
              Property::int32(makeTag(0x66FC, mapi::PT_LONG), kOutlookStoreValue66FC),
              Property::int32(makeTag(0x67FF, mapi::PT_LONG), 0),  // no password
          });

    // ---------------------------------------------------- templates and tables
    putTable(ndb::NID_HIERARCHY_TABLE_TEMPLATE, columns::hierarchyTemplate(), {});
    putTable(ndb::NID_CONTENTS_TABLE_TEMPLATE, columns::contentsTemplate(), {});
    putTable(ndb::NID_ASSOC_CONTENTS_TABLE_TEMPLATE, columns::assocContentsTemplate(), {});
    putTable(ndb::NID_SEARCH_CONTENTS_TABLE_TEMPLATE, columns::searchContentsTemplate(), {});
    putTable(ndb::NID_ATTACHMENT_TABLE, columns::attachmentTemplate(), {});
    putTable(ndb::NID_RECIPIENT_TABLE, columns::recipientTemplate(), {});
    // Messages of any class go to the root folder, as in Outlook's new store.
    putTable(ndb::NID_RECEIVE_FOLDERS, columns::receiveFolderTable(),
             {{1,
               {Property::utf8(mapi::tag::MessageClass, ""),
                Property::int32(makeTag(0x6605, mapi::PT_LONG), int32_t(ndb::NID_ROOT_FOLDER)),
                Property::int32(ndb::kPidTagLtpRowVer, int32_t(nextRowVersion()))}}});
    putTable(ndb::NID_OUTGOING_QUEUE, columns::outgoingQueueTable(), {});
    putTable(ndb::NID_OUTLOOK_TABLE_6B6, columns::table6B6(), {});
    putTable(ndb::NID_OUTLOOK_TABLE_6D7, columns::table6D7(), {});
    putTable(ndb::NID_OUTLOOK_TABLE_6F8, columns::table6F8(), {});

    // ------------------------------------------------------- internal nodes
    putEmpty(ndb::NID_SEARCH_MANAGEMENT_QUEUE);
    {
        Bytes activity;  // the spam search folder is the one active search
        appendLE32(activity, ndb::NID_SPAM_SEARCH_FOLDER);
        db.setNode({ndb::NID_SEARCH_ACTIVITY_LIST, db.writeData(activity), 0, 0});
    }
    putEmpty(ndb::NID_SEARCH_DOMAIN_OBJECT);
    // 0xC01: a 4-byte root naming an empty BTH with 16-byte keys and 4-byte
    // data; 0xE01: a 56-byte root record and an empty BTH (4-byte keys and
    // data). Both as an empty store of Outlook's holds them.
    putHeap(NID_OUTLOOK_HEAP_C01, kClientSig9C,
            {Bytes{0x40, 0, 0, 0}, Bytes{ndb::bTypeBTH, 16, 4, 0, 0, 0, 0, 0}});
    putHeap(NID_OUTLOOK_HEAP_E01, kClientSigCC,
            {Bytes{0x40, 0, 0, 0, 0x01, 0, 0, 0, 0x04, 0, 0x20, 0, 0,    0,    0, 0, 0x03, 0, 0, 0,
                   0,    0, 0, 0, 0x10, 0, 0, 0, 0,    0, 0,    0, 0xB3, 0x48, 0, 0, 0,    0, 0, 0,
                   0,    0, 0, 0, 0,    0, 0, 0, 0,    0, 0,    0, 0xE2, 0x01, 0, 0},
             Bytes{ndb::bTypeBTH, 4, 4, 0, 0, 0, 0, 0}});
    putEmpty(NID_OUTLOOK_EMPTY_E41);
    putEmpty(NID_OUTLOOK_EMPTY_EC1);
    db.setNode({NID_OUTLOOK_INDEX_QUEUE, db.writeData(indexQueue()), 0, 0});
    db.setNode({NID_OUTLOOK_INDEX_DESCRIPTOR, db.writeData(indexDescriptor()), 0, 0});
    putEmpty(NID_OUTLOOK_EMPTY_F21);

    // ---------------------------------------------------------------- folders
    auto folder = [&](Nid nid, Nid parent, std::u16string name) {
        Folder f;
        f.nid = nid;
        f.parent = parent;
        f.name = std::move(name);
        return f;
    };
    Folder root = folder(ndb::NID_ROOT_FOLDER, ndb::NID_ROOT_FOLDER, u"");
    Folder spam =
        folder(ndb::NID_SPAM_SEARCH_FOLDER, ndb::NID_ROOT_FOLDER, u"SPAM Search Folder 2");
    Folder ipm = folder(ndb::NID_IPM_SUBTREE, ndb::NID_ROOT_FOLDER, u"Top of Outlook data file");
    Folder finder = folder(ndb::NID_SEARCH_ROOT, ndb::NID_ROOT_FOLDER, u"Search Root");
    Folder deleted = folder(ndb::NID_DELETED_ITEMS, ndb::NID_IPM_SUBTREE, u"Deleted Items");
    Folder views = folder(NID_IPM_COMMON_VIEWS, ndb::NID_ROOT_FOLDER, u"IPM_COMMON_VIEWS");
    const mapi::PropTag comment = makeTag(0x3004, mapi::PT_UNICODE);
    deleted.extraProps.push_back(Property::unicode(comment, u"Deleted Items folder"));
    views.extraProps.push_back(Property::unicode(comment, u""));
    // Rows in the root's hierarchy table, in Outlook's order.
    root.children = {ndb::NID_IPM_SUBTREE, ndb::NID_SEARCH_ROOT, ndb::NID_SPAM_SEARCH_FOLDER,
                     NID_IPM_COMMON_VIEWS};
    ipm.children = {ndb::NID_DELETED_ITEMS};
    for (Folder* f : {&ipm, &finder, &spam, &views, &deleted}) f->rowVersion = nextRowVersion();

    auto rows = [&](const Folder& parent) {
        std::vector<std::pair<uint32_t, std::vector<Property>>> out;
        for (Nid c : parent.children) {
            for (const Folder* f : {&spam, &ipm, &finder, &deleted, &views}) {
                if (f->nid == c) out.emplace_back(c, f->hierarchyCells());
            }
        }
        return out;
    };
    auto tablesOf = [&](const Folder& f, const std::vector<mapi::PropTag>& hierarchy,
                        const std::vector<mapi::PropTag>& contents,
                        const std::vector<mapi::PropTag>& assoc) {
        putTable(ndb::withNidType(f.nid, ndb::NID_TYPE_HIERARCHY_TABLE), hierarchy, rows(f));
        putTable(ndb::withNidType(f.nid, ndb::NID_TYPE_CONTENTS_TABLE), contents, {});
        putTable(ndb::withNidType(f.nid, ndb::NID_TYPE_ASSOC_CONTENTS_TABLE), assoc, {});
    };
    tablesOf(root, columns::hierarchyTemplate(), columns::contentsTemplate(),
             columns::rootAssocContents());
    tablesOf(ipm, columns::ipmSubtreeHierarchy(), columns::ipmSubtreeContents(),
             columns::assocContentsTemplate());
    tablesOf(finder, columns::searchRootHierarchy(), columns::contentsTemplate(),
             columns::assocContentsTemplate());
    tablesOf(deleted, columns::hierarchyTemplate(), columns::contentsTemplate(),
             columns::assocContentsTemplate());
    tablesOf(views, columns::hierarchyTemplate(), columns::contentsTemplate(),
             columns::commonViewsAssocContents());
    putTable(NID_SPAM_CONTENTS, columns::searchContentsTemplate(), {});
    putEmpty(NID_SPAM_UPDATE_QUEUE);
    putPc(NID_SPAM_CRITERIA, 0, {Property::int32(makeTag(0x660B, mapi::PT_LONG), 0)});

    for (Folder* f : {&root, &spam, &ipm, &finder, &deleted, &views}) {
        writeFolderPc(*f);
        addFolderRecord(std::move(*f));
    }
}

}  // namespace qm::pst::store
