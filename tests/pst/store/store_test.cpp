// The Store API: creating, folders and their counts as our reader sees
// them, commit and close, what the store makes of bare, 8-bit or
// inconsistent messages, a full name map, 100,000 messages in one folder.
// (A writer killed while it adds messages is the kill harness's, in
// tests/robust, over the whole program.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "mapi/unicode_strings.h"
#include "pst/pst_test.h"
#include "pst/read/pst_file.h"
#include "pst/store/store.h"

namespace qm::pst {
namespace {

using namespace qm::pst::testing;
namespace tag = mapi::tag;

mapi::Message simpleMessage(const std::string& subject, bool read = true) {
    mapi::Message m;
    m.props.set(mapi::Property::utf8(tag::MessageClass, "IPM.Note"));
    m.props.set(mapi::Property::utf8(tag::Subject, subject));
    m.props.set(mapi::Property::int32(tag::MessageFlags, read ? mapi::MSGFLAG_READ : 0));
    m.props.set(mapi::Property::utf8(tag::Body, "body of " + subject));
    return m;
}

read::FolderEntry row(const read::PstFile& pst, Nid parent, Nid folder) {
    for (const auto& r : pst.childFolders(parent))
        if (r.nid == folder) return r;
    ADD_FAILURE() << "no row for folder " << folder;
    return {};
}

// Only an unencoded file shows the subject's UTF-16 bytes as they are.
TEST(StoreCreate, NewStoreNamesItselfAndEncodesAsAsked) {
    ScratchDir dir;
    for (const Encoding encoding : {Encoding::Permute, Encoding::None}) {
        const auto path = dir / (encoding == Encoding::None ? "plain.pst" : "permute.pst");
        StoreOptions options;
        options.encoding = encoding;
        auto store = Store::create(path, "Archiv 2009 — Ünïcode", options);
        EXPECT_EQ(store->path(), path);
        EXPECT_EQ(store->displayName(), "Archiv 2009 — Ünïcode");
        const Bytes id = store->entryId();
        ASSERT_EQ(id.size(), 24u);
        EXPECT_EQ(loadLE32(id.data() + 20), 0x21u);
        ASSERT_EQ(store->childFolders(store->ipmSubtree()).size(), 1u);
        EXPECT_EQ(store->childFolders(store->ipmSubtree())[0].name, "Deleted Items");
        const Nid folder = store->addFolder(store->ipmSubtree(), "Inbox");
        const Nid nid = store->addMessage(folder, simpleMessage("clear text subject"));
        EXPECT_EQ(store->fileSize() % 512, 0u);
        store->close();
        EXPECT_FALSE(store->isOpen());
        expectClean(path);
        auto pst = read::PstFile::open(path);
        EXPECT_EQ(pst->displayName(), "Archiv 2009 — Ünïcode");
        EXPECT_EQ(pst->ipmSubtree(), 0x8022u);
        EXPECT_EQ(pst->deletedItems(), 0x8062u);
        EXPECT_EQ(pst->searchRoot(), 0x8042u);
        // The record key inside the store's entry id is the store's.
        EXPECT_EQ(pst->storeProperties().find(0x0FF90102)->value,
                  Bytes(id.begin() + 4, id.begin() + 20));
        EXPECT_EQ(pst->ndb().header().cryptMethod, uint8_t(encoding));
        EXPECT_EQ(read::readableSubject(pst->readMessage(nid).props), "clear text subject");
        const Bytes file = readFile(path), needle = mapi::utf16ToLE(u"clear text subject");
        EXPECT_EQ(std::search(file.begin(), file.end(), needle.begin(), needle.end()) != file.end(),
                  encoding == Encoding::None);
    }
}

TEST(StoreFolders, NestedFoldersWithCaseInsensitiveNamesAndTrueCounts) {
    ScratchDir dir;
    auto store = Store::create(dir / "folders.pst", "Folders");
    const Nid top = store->ipmSubtree();
    const Nid mail = store->addFolder(top, "Mail");
    const Nid y2009 = store->addFolder(mail, "2009");
    const Nid deep = store->addFolder(y2009, "Ärger");
    const Nid notes = store->addFolder(top, "Notes", "IPF.StickyNote");
    for (const auto& [parent, name] : std::vector<std::pair<Nid, const char*>>{
             {top, "MAIL"}, {y2009, "ärger"}, {top, "deleted items"}, {top, ""}, {0x12345682, "x"}})
        EXPECT_THROW(store->addFolder(parent, name), Error) << name;
    EXPECT_NE(store->addFolder(y2009, "Ärgerlich"), deep);
    EXPECT_NE(store->addFolder(mail, "Ärger"), deep);  // same name, other parent
    ASSERT_EQ(store->childFolders(mail).size(), 2u);
    EXPECT_EQ(store->childFolders(mail)[0].nid, y2009);
    for (int i = 0; i < 5; ++i)
        store->addMessage(mail, simpleMessage("m" + std::to_string(i), i < 2));
    store->addMessage(deep, simpleMessage("deep", false));
    EXPECT_THROW(store->addMessage(0x2223, simpleMessage("spam")), Error);
    EXPECT_THROW(store->addMessage(0x7777, simpleMessage("nowhere")), Error);
    store->close();

    auto pst = read::PstFile::open(dir / "folders.pst");
    EXPECT_EQ(pst->childFolders(top).size(), 3u);  // Deleted Items, Mail, Notes
    const auto m = row(*pst, top, mail);
    EXPECT_EQ(m.name, "Mail");
    EXPECT_EQ(m.contentCount, 5);
    EXPECT_EQ(m.unreadCount, 3);
    EXPECT_TRUE(m.hasSubfolders);
    EXPECT_EQ(m.containerClass, "IPF.Note");
    EXPECT_EQ(row(*pst, top, notes).containerClass, "IPF.StickyNote");
    EXPECT_FALSE(row(*pst, top, notes).hasSubfolders);
    // The folder PC says what its row says.
    const auto props = pst->folderProperties(mail);
    EXPECT_EQ(props.int32(tag::ContentCount), 5);
    EXPECT_EQ(props.int32(tag::ContentUnreadCount), 3);
    EXPECT_EQ(props.boolean(tag::Subfolders), true);
    EXPECT_EQ(props.string(0x3613), "IPF.Note");
    EXPECT_EQ(pst->parentOf(deep), y2009);
    EXPECT_EQ(row(*pst, y2009, deep).name, "Ärger");
    EXPECT_EQ(row(*pst, y2009, deep).unreadCount, 1);
    // Counts are per folder: the parent does not add its children's.
    EXPECT_EQ(row(*pst, mail, y2009).contentCount, 0);
    EXPECT_EQ(pst->parentOf(pst->messageNids(deep).at(0)), deep);
}

// More folders than the store keeps tables open for: every table is written
// back and opened again many times.
TEST(StoreFolders, MessagesSpreadOverManyFoldersLandInTheirOwn) {
    ScratchDir dir;
    auto store = Store::create(dir / "spread.pst", "Spread");
    std::vector<Nid> folders;
    for (int i = 0; i < 100; ++i)
        folders.push_back(store->addFolder(store->ipmSubtree(), "Folder " + std::to_string(i)));
    for (int i = 0; i < 2000; ++i)
        store->addMessage(folders[(i * 7) % 100], simpleMessage("s" + std::to_string(i), i % 2));
    store->close();
    expectClean(dir / "spread.pst");
    auto pst = read::PstFile::open(dir / "spread.pst");
    for (int f = 0; f < 100; ++f) {
        const auto nids = pst->messageNids(folders[f]);
        ASSERT_EQ(nids.size(), 20u) << f;
        EXPECT_EQ(row(*pst, pst->ipmSubtree(), folders[f]).contentCount, 20);
        // Messages i with (7 i) % 100 == f, in the order they were added.
        int i = 0;
        while ((i * 7) % 100 != f) ++i;
        for (size_t k = 0; k < nids.size(); ++k)
            EXPECT_EQ(read::readableSubject(pst->readMessage(nids[k]).props),
                      "s" + std::to_string(i + 100 * int(k)));
    }
}

TEST(StoreCommit, CommittedMessagesAreInTheFileWhileTheStoreIsOpen) {
    ScratchDir dir;
    StoreOptions options;
    options.commitInterval = std::chrono::milliseconds(0);  // every message commits
    auto store = Store::create(dir / "commit.pst", "Commit", options);
    const Nid folder = store->addFolder(store->ipmSubtree(), "Inbox");
    store->addMessage(folder, simpleMessage("first"));
    EXPECT_EQ(read::PstFile::open(dir / "commit.pst")->messageNids(folder).size(), 1u);
    options.commitInterval = std::chrono::hours(1);
    auto lazy = Store::create(dir / "lazy.pst", "Lazy", options);
    const Nid f2 = lazy->addFolder(lazy->ipmSubtree(), "Inbox");
    lazy->addMessage(f2, simpleMessage("pending"));
    // Not committed yet: the file does not know the folder.
    EXPECT_EQ(read::PstFile::open(dir / "lazy.pst")->childFolders(lazy->ipmSubtree()).size(), 1u);
    lazy->commit();
    EXPECT_EQ(read::PstFile::open(dir / "lazy.pst")->messageNids(f2).size(), 1u);
    store->close();
    EXPECT_THROW(store->close(), Error);
    EXPECT_THROW(store->addMessage(folder, simpleMessage("late")), Error);
    EXPECT_THROW(store->addFolder(store->ipmSubtree(), "late"), Error);
    EXPECT_THROW(store->commit(), Error);
    // The destructor closes an open store, committing what it holds.
    lazy->addMessage(f2, simpleMessage("second"));
    lazy.reset();
    EXPECT_EQ(read::PstFile::open(dir / "lazy.pst")->messageNids(f2).size(), 2u);
}

// 0x7FFF names fit (ids 0x8000-0xFFFE); the store starts with Outlook's 35.
// Three messages of 11,000 new names each: the third fails alone.
TEST(StoreNamedProperties, FullMapFailsOneMessageAndKeepsTheStore) {
    ScratchDir dir;
    auto store = Store::create(dir / "names.pst", "Names");
    const Nid folder = store->addFolder(store->ipmSubtree(), "Named");
    const auto set = *mapi::Guid::parse("{12345678-1234-1234-1234-123456789ABC}");
    auto manyNames = [&](uint32_t first) {
        mapi::Message m = simpleMessage("names from " + std::to_string(first));
        for (uint32_t i = 0; i < 11000; ++i) {
            auto p = mapi::Property::int32(mapi::makeTag(0x8000, mapi::PT_LONG), int32_t(i));
            p.named = std::make_shared<mapi::NamedKey>(mapi::NamedKey::byId(set, first + i));
            m.props.set(std::move(p));
        }
        return m;
    };
    const Nid a = store->addMessage(folder, manyNames(0));
    store->addMessage(folder, manyNames(11000));
    try {
        store->addMessage(folder, manyNames(22000));
        ADD_FAILURE() << "expected qm::Error for a full name-to-id map";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("full"), std::string::npos) << e.what();
    }
    // The store goes on: a message with names it knows, then one without.
    store->addMessage(folder, manyNames(5000));
    store->addMessage(folder, simpleMessage("plain"));
    store->close();
    expectClean(dir / "names.pst");
    auto pst = read::PstFile::open(dir / "names.pst");
    EXPECT_EQ(pst->nameMap().size(), 0x7FFFu);
    EXPECT_EQ(pst->folderProperties(folder).int32(tag::ContentCount), 4);
    const auto back = pst->readMessage(a).props;
    EXPECT_EQ(
        std::count_if(back.begin(), back.end(), [](const auto& p) { return p.named != nullptr; }),
        11000);
}

// Objects with no properties at all still make objects Outlook accepts; a
// caller that leaves 8-bit strings still gets a Unicode store; the
// has-attachment bit follows the attachment table at every level (other
// software writes embedded messages whose flags disagree), other bits kept.
TEST(StoreMessages, BareEightBitAndInconsistentMessagesAreMadeRight) {
    ScratchDir dir;
    StoreOptions options;
    options.fallbackCodePage = 1251;
    auto store = Store::create(dir / "messages.pst", "Messages", options);
    const Nid folder = store->addFolder(store->ipmSubtree(), "Messages");
    mapi::Message bare;
    bare.attachments.emplace_back();
    bare.attachments.emplace_back().embedded = std::make_unique<mapi::Message>();
    const Nid bareNid = store->addMessage(folder, bare);
    const Nid empty = store->addMessage(folder, mapi::Message{});

    const std::string privet = "\xCF\xF0\xE8\xE2\xE5\xF2";  // in cp1251
    mapi::Message eight;
    eight.props.set(mapi::Property::string8(mapi::makeTag(0x0037, mapi::PT_STRING8), privet));
    eight.recipients.emplace_back().props.set(
        mapi::Property::string8(mapi::makeTag(0x3001, mapi::PT_STRING8), "ok\x98"));
    auto& inner = eight.attachments.emplace_back().embedded = std::make_unique<mapi::Message>();
    inner->props.set(mapi::Property::string8(mapi::makeTag(0x0037, mapi::PT_STRING8), privet));
    inner->props.set(mapi::Property::int32(tag::MessageFlags, mapi::MSGFLAG_READ));
    inner->attachments.emplace_back();
    eight.props.set(
        mapi::Property::int32(tag::MessageFlags, mapi::MSGFLAG_UNSENT | mapi::MSGFLAG_HASATTACH));
    const Nid eightNid = store->addMessage(folder, eight);
    ASSERT_EQ(store->lastMessageWarnings().size(), 1u);
    EXPECT_NE(store->lastMessageWarnings()[0].find("recipient 0"), std::string::npos);
    mapi::Message stale;
    stale.props.set(
        mapi::Property::int32(tag::MessageFlags, mapi::MSGFLAG_READ | mapi::MSGFLAG_HASATTACH));
    const Nid staleNid = store->addMessage(folder, stale);
    EXPECT_TRUE(store->lastMessageWarnings().empty());
    store->close();
    expectClean(dir / "messages.pst");

    auto pst = read::PstFile::open(dir / "messages.pst");
    for (Nid n : {bareNid, empty}) {
        const mapi::Message m = pst->readMessage(n);
        EXPECT_EQ(m.props.string(0x001A), "IPM.Note");
        EXPECT_EQ(m.props.int32(tag::MessageFlags), n == bareNid ? mapi::MSGFLAG_HASATTACH : 0);
        EXPECT_TRUE(m.props.int32(tag::MessageSize));
        EXPECT_TRUE(m.props.find(mapi::makeTag(0x300B, mapi::PT_BINARY)));
        EXPECT_TRUE(m.props.find(tag::CreationTime));
        EXPECT_TRUE(m.props.find(tag::LastModificationTime));
    }
    const mapi::Message b = pst->readMessage(bareNid);
    ASSERT_EQ(b.attachments.size(), 2u);
    EXPECT_EQ(b.attachments[0].props.int32(tag::AttachMethod), mapi::ATTACH_NO_ATTACHMENT);
    EXPECT_EQ(b.attachments[0].props.int32(tag::RenderingPosition), -1);
    EXPECT_TRUE(b.attachments[0].props.int32(tag::AttachSize));
    EXPECT_EQ(b.attachments[1].props.int32(tag::AttachMethod), mapi::ATTACH_EMBEDDED_MSG);
    EXPECT_EQ(b.attachments[1].embedded->props.string(0x001A), "IPM.Note");

    const mapi::Message e = pst->readMessage(eightNid);
    EXPECT_FALSE(mapi::holdsString8(e));
    EXPECT_EQ(read::readableSubject(e.props), "Привет");
    EXPECT_EQ(e.recipients.at(0).props.string(0x3001), "ok\uFFFD");
    EXPECT_EQ(e.props.int32(tag::MessageFlags), mapi::MSGFLAG_UNSENT | mapi::MSGFLAG_HASATTACH);
    EXPECT_EQ(read::readableSubject(e.attachments.at(0).embedded->props), "Привет");
    EXPECT_EQ(e.attachments[0].embedded->props.int32(tag::MessageFlags),
              mapi::MSGFLAG_READ | mapi::MSGFLAG_HASATTACH);
    EXPECT_EQ(pst->readMessage(staleNid).props.int32(tag::MessageFlags), mapi::MSGFLAG_READ);
    const auto table = pst->table(ndb::withNidType(folder, ndb::NID_TYPE_CONTENTS_TABLE));
    EXPECT_EQ(table->rowProperties(2).find(tag::Subject)->value, e.props.find(tag::Subject)->value);
    EXPECT_EQ(pst->folderProperties(folder).int32(tag::ContentUnreadCount), 3);
}

// A folder's contents table is appended to, never held: ninety thousand
// more messages must not cost memory in proportion (a generous bound; a held
// table or held messages would take hundreds of MB here).
TEST(StoreSizes, HundredThousandMessagesInOneFolder) {
    ScratchDir dir;
    auto store = Store::create(dir / "many.pst", "Many");
    const Nid folder = store->addFolder(store->ipmSubtree(), "Everything");
    auto resident = [] {
        std::ifstream statm("/proc/self/statm");
        uint64_t pages = 0, resident = 0;
        statm >> pages >> resident;
        return resident * uint64_t(sysconf(_SC_PAGESIZE));
    };
    uint64_t residentAtTenThousand = 0;
    for (uint32_t i = 0; i < 100'000; ++i) {
        mapi::Message m = simpleMessage("Message number " + std::to_string(i), i % 3);
        m.recipients.emplace_back().props.set(
            mapi::Property::utf8(tag::DisplayName, "To " + std::to_string(i % 50)));
        store->addMessage(folder, m);
        if (i == 10'000) residentAtTenThousand = resident();
    }
    EXPECT_LT(resident(), residentAtTenThousand + (64u << 20));
    store->close();
    expectClean(dir / "many.pst");
    auto pst = read::PstFile::open(dir / "many.pst");
    EXPECT_EQ(pst->folderProperties(folder).int32(tag::ContentUnreadCount), 33334);
    const auto nids = pst->messageNids(folder);
    ASSERT_EQ(nids.size(), 100'000u);
    EXPECT_EQ(read::readableSubject(pst->readMessage(nids[50'000]).props), "Message number 50000");
}

}  // namespace
}  // namespace qm::pst
