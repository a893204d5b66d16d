// The Store API: creating, committing and closing, folders and their
// counts as our reader sees them, what the store makes of bare, 8-bit or
// inconsistent messages, 100,000 messages in one folder. (A writer killed
// while it adds messages is the kill harness's, in tests/robust.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

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
TEST(StoreCreate, NamesItselfEncodesAsAskedAndCommitsWhileOpen) {
    ScratchDir dir;
    for (const Encoding encoding : {Encoding::Permute, Encoding::None}) {
        const auto path = dir / (encoding == Encoding::None ? "plain.pst" : "permute.pst");
        StoreOptions options;
        options.encoding = encoding;
        options.commitInterval = std::chrono::milliseconds(0);  // every message commits
        auto store = Store::create(path, "Archiv 2009 — Ünïcode", options);
        EXPECT_EQ(store->path(), path);
        EXPECT_EQ(store->displayName(), "Archiv 2009 — Ünïcode");
        const Bytes id = store->entryId();
        ASSERT_EQ(id.size(), 24u);
        EXPECT_EQ(loadLE32(id.data() + 20), 0x21u);
        const Nid folder = store->addFolder(store->ipmSubtree(), "Inbox");
        const Nid nid = store->addMessage(folder, simpleMessage("clear text subject"));
        EXPECT_EQ(read::PstFile::open(path)->messageNids(folder).size(), 1u);
        EXPECT_EQ(store->fileSize() % 512, 0u);
        store->close();
        EXPECT_FALSE(store->isOpen());
        EXPECT_THROW(store->close(), Error);
        EXPECT_THROW(store->addMessage(folder, simpleMessage("late")), Error);
        EXPECT_THROW(store->addFolder(store->ipmSubtree(), "late"), Error);
        EXPECT_THROW(store->commit(), Error);
        expectClean(path);
        auto pst = read::PstFile::open(path);
        EXPECT_EQ(pst->displayName(), "Archiv 2009 — Ünïcode");
        // The record key inside the store's entry id is the store's.
        EXPECT_EQ(pst->storeProperties().find(0x0FF90102)->value,
                  Bytes(id.begin() + 4, id.begin() + 20));
        EXPECT_EQ(pst->ndb().header().cryptMethod, uint8_t(encoding));
        EXPECT_EQ(read::readableSubject(pst->readMessage(nid).props), "clear text subject");
        const Bytes file = readFile(path), needle = mapi::utf16ToLE(u"clear text subject");
        EXPECT_EQ(std::search(file.begin(), file.end(), needle.begin(), needle.end()) != file.end(),
                  encoding == Encoding::None);
    }
    // Until a commit the file does not know the folder; the destructor
    // closes an open store, committing what it holds.
    StoreOptions options;
    options.commitInterval = std::chrono::hours(1);
    auto lazy = Store::create(dir / "lazy.pst", "Lazy", options);
    const Nid f = lazy->addFolder(lazy->ipmSubtree(), "Inbox");
    lazy->addMessage(f, simpleMessage("pending"));
    EXPECT_EQ(read::PstFile::open(dir / "lazy.pst")->childFolders(lazy->ipmSubtree()).size(), 1u);
    lazy->commit();
    EXPECT_EQ(read::PstFile::open(dir / "lazy.pst")->messageNids(f).size(), 1u);
    lazy->addMessage(f, simpleMessage("second"));
    lazy.reset();
    EXPECT_EQ(read::PstFile::open(dir / "lazy.pst")->messageNids(f).size(), 2u);
}

// Names compare without regard to case among siblings only; counts are per
// folder (a parent does not add its children's); the checker holds each
// folder's row to its PC.
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
    EXPECT_NE(store->addFolder(mail, "Ärger"), deep);
    EXPECT_EQ(store->childFolders(mail).at(0).nid, y2009);
    for (int i = 0; i < 5; ++i)
        store->addMessage(mail, simpleMessage("m" + std::to_string(i), i < 2));
    store->addMessage(deep, simpleMessage("deep", false));
    EXPECT_THROW(store->addMessage(0x2223, simpleMessage("spam")), Error);
    EXPECT_THROW(store->addMessage(0x7777, simpleMessage("nowhere")), Error);
    store->close();
    expectClean(dir / "folders.pst");
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
    EXPECT_EQ(row(*pst, y2009, deep).name, "Ärger");
    EXPECT_EQ(row(*pst, y2009, deep).unreadCount, 1);
    EXPECT_EQ(row(*pst, mail, y2009).contentCount, 0);
    EXPECT_EQ(pst->parentOf(pst->messageNids(deep).at(0)), deep);
}

// Objects with no properties at all still make objects Outlook accepts; an
// 8-bit string left by the caller is decoded, with a warning for what its
// code page cannot map; the has-attachment bit follows the attachment table
// at every level (other software writes embedded messages whose flags
// disagree), other bits kept. (Decoded 8-bit messages are StoreReaders'.)
TEST(StoreMessages, BareEightBitAndInconsistentMessagesAreMadeRight) {
    ScratchDir dir;
    StoreOptions options;
    options.fallbackCodePage = 1251;
    auto store = Store::create(dir / "messages.pst", "Messages", options);
    const Nid folder = store->addFolder(store->ipmSubtree(), "Messages");
    mapi::Message bare;
    bare.attachments.emplace_back();
    bare.attachments.emplace_back().embedded = std::make_unique<mapi::Message>();
    bare.recipients.emplace_back().props.set(
        mapi::Property::string8(mapi::makeTag(0x3001, mapi::PT_STRING8), "ok\x98"));
    const Nid bareNid = store->addMessage(folder, bare);
    ASSERT_EQ(store->lastMessageWarnings().size(), 1u);
    EXPECT_NE(store->lastMessageWarnings()[0].find("recipient 0"), std::string::npos);
    const Nid empty = store->addMessage(folder, mapi::Message{});
    EXPECT_TRUE(store->lastMessageWarnings().empty());
    mapi::Message wrong;
    auto& inner = wrong.attachments.emplace_back().embedded = std::make_unique<mapi::Message>();
    inner->props.set(mapi::Property::int32(tag::MessageFlags, mapi::MSGFLAG_READ));
    inner->attachments.emplace_back();
    wrong.props.set(
        mapi::Property::int32(tag::MessageFlags, mapi::MSGFLAG_UNSENT | mapi::MSGFLAG_HASATTACH));
    const Nid wrongNid = store->addMessage(folder, wrong);
    mapi::Message stale;
    stale.props.set(
        mapi::Property::int32(tag::MessageFlags, mapi::MSGFLAG_READ | mapi::MSGFLAG_HASATTACH));
    const Nid staleNid = store->addMessage(folder, stale);
    store->close();
    expectClean(dir / "messages.pst");
    auto pst = read::PstFile::open(dir / "messages.pst");
    for (Nid n : {bareNid, empty}) {
        const mapi::Message m = pst->readMessage(n);
        EXPECT_EQ(m.props.string(0x001A), "IPM.Note");
        EXPECT_EQ(m.props.int32(tag::MessageFlags), n == bareNid ? mapi::MSGFLAG_HASATTACH : 0);
        EXPECT_TRUE(m.props.find(mapi::makeTag(0x300B, mapi::PT_BINARY)));
        EXPECT_TRUE(m.props.find(tag::CreationTime));
        EXPECT_TRUE(m.props.find(tag::LastModificationTime));
    }
    const mapi::Message b = pst->readMessage(bareNid);
    EXPECT_EQ(b.recipients.at(0).props.string(0x3001), "ok\uFFFD");
    ASSERT_EQ(b.attachments.size(), 2u);
    EXPECT_EQ(b.attachments[0].props.int32(tag::AttachMethod), mapi::ATTACH_NO_ATTACHMENT);
    EXPECT_EQ(b.attachments[0].props.int32(tag::RenderingPosition), -1);
    EXPECT_EQ(b.attachments[1].props.int32(tag::AttachMethod), mapi::ATTACH_EMBEDDED_MSG);
    EXPECT_EQ(b.attachments[1].embedded->props.string(0x001A), "IPM.Note");
    const mapi::Message w = pst->readMessage(wrongNid);
    EXPECT_EQ(w.props.int32(tag::MessageFlags), mapi::MSGFLAG_UNSENT | mapi::MSGFLAG_HASATTACH);
    EXPECT_EQ(w.attachments.at(0).embedded->props.int32(tag::MessageFlags),
              mapi::MSGFLAG_READ | mapi::MSGFLAG_HASATTACH);
    EXPECT_EQ(pst->readMessage(staleNid).props.int32(tag::MessageFlags), mapi::MSGFLAG_READ);
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
