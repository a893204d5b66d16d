// The Store API: creating, folders and their counts as our reader sees
// them, commit and close, what the store makes of bare or 8-bit messages,
// a full name map, 100,000 messages in one folder, and a writer killed
// (SIGKILL) while it adds messages.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/unicode_strings.h"
#include "pst/read/pst_file.h"
#include "pst/store/store.h"
#include "store_test.h"

using namespace qm;
using namespace qm::pst;
using namespace qm::pst::storetest;
namespace tag = mapi::tag;

namespace {

mapi::Message simpleMessage(const std::string& subject, bool read) {
    mapi::Message m;
    m.props.set(mapi::Property::utf8(tag::MessageClass, "IPM.Note"));
    m.props.set(mapi::Property::utf8(tag::Subject, subject));
    m.props.set(mapi::Property::int32(tag::MessageFlags, read ? mapi::MSGFLAG_READ : 0));
    m.props.set(mapi::Property::utf8(tag::Body, "body of " + subject));
    return m;
}

const read::FolderEntry* entry(const std::vector<read::FolderEntry>& rows, Nid nid) {
    for (const auto& r : rows) {
        if (r.nid == nid) return &r;
    }
    return nullptr;
}

}  // namespace

TEST(StoreCreate, NewStoreNamesItselfAndItsFolders) {
    ScratchDir dir;
    const auto path = dir / "new.pst";
    auto store = Store::create(path, "Archiv 2009 — Ünïcode");
    EXPECT_TRUE(store->isOpen());
    EXPECT_EQ(store->path(), path);
    EXPECT_EQ(store->displayName(), "Archiv 2009 — Ünïcode");
    EXPECT_EQ(store->ipmSubtree(), 0x8022u);
    const Bytes id = store->entryId();
    ASSERT_EQ(id.size(), 24u);
    EXPECT_EQ(loadLE32(id.data()), 0u);
    EXPECT_EQ(loadLE32(id.data() + 20), 0x21u);
    const auto children = store->childFolders(store->ipmSubtree());
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children[0].name, "Deleted Items");
    EXPECT_EQ(store->fileSize() % 512, 0u);
    store->close();
    EXPECT_FALSE(store->isOpen());

    auto pst = read::PstFile::open(path);
    EXPECT_EQ(pst->displayName(), "Archiv 2009 — Ünïcode");
    EXPECT_EQ(pst->ipmSubtree(), 0x8022u);
    EXPECT_EQ(pst->deletedItems(), 0x8062u);
    EXPECT_EQ(pst->searchRoot(), 0x8042u);
    // The record key inside the store's entry id is the store's.
    const auto storeProps = pst->storeProperties();
    const auto* key = storeProps.find(mapi::makeTag(0x0FF9, mapi::PT_BINARY));
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->value, Bytes(id.begin() + 4, id.begin() + 20));
}

TEST(StoreFolders, NestedFoldersWithCaseInsensitiveNamesAndTrueCounts) {
    ScratchDir dir;
    const auto path = dir / "folders.pst";
    auto store = Store::create(path, "Folders");
    const Nid top = store->ipmSubtree();
    const Nid mail = store->addFolder(top, "Mail");
    const Nid y2009 = store->addFolder(mail, "2009");
    const Nid deep = store->addFolder(y2009, "Ärger");
    const Nid notes = store->addFolder(top, "Notes", "IPF.StickyNote");
    EXPECT_THROW(store->addFolder(top, "MAIL"), Error);
    EXPECT_THROW(store->addFolder(y2009, "ärger"), Error);
    EXPECT_THROW(store->addFolder(top, "deleted items"), Error);
    EXPECT_THROW(store->addFolder(top, ""), Error);
    EXPECT_THROW(store->addFolder(0x12345682, "x"), Error);
    EXPECT_NE(store->addFolder(y2009, "Ärgerlich"), deep);
    EXPECT_NE(store->addFolder(mail, "Ärger"), deep);  // same name, other parent

    const auto mailKids = store->childFolders(mail);
    ASSERT_EQ(mailKids.size(), 2u);
    EXPECT_EQ(mailKids[0].name, "2009");
    EXPECT_EQ(mailKids[0].nid, y2009);

    for (int i = 0; i < 5; ++i)
        store->addMessage(mail, simpleMessage("m" + std::to_string(i), i < 2));
    store->addMessage(deep, simpleMessage("deep", false));
    EXPECT_THROW(store->addMessage(0x2223, simpleMessage("spam", false)), Error);
    EXPECT_THROW(store->addMessage(0x7777, simpleMessage("nowhere", false)), Error);
    store->close();

    auto pst = read::PstFile::open(path);
    const auto topRows = pst->childFolders(top);
    ASSERT_EQ(topRows.size(), 3u);  // Deleted Items, Mail, Notes
    const auto* mailRow = entry(topRows, mail);
    ASSERT_NE(mailRow, nullptr);
    EXPECT_EQ(mailRow->name, "Mail");
    EXPECT_EQ(mailRow->contentCount, 5);
    EXPECT_EQ(mailRow->unreadCount, 3);
    EXPECT_TRUE(mailRow->hasSubfolders);
    EXPECT_EQ(mailRow->containerClass, "IPF.Note");
    const auto* notesRow = entry(topRows, notes);
    ASSERT_NE(notesRow, nullptr);
    EXPECT_EQ(notesRow->containerClass, "IPF.StickyNote");
    EXPECT_FALSE(notesRow->hasSubfolders);

    // The folder PC says what its row says.
    const auto mailProps = pst->folderProperties(mail);
    EXPECT_EQ(mailProps.int32(tag::ContentCount), 5);
    EXPECT_EQ(mailProps.int32(tag::ContentUnreadCount), 3);
    EXPECT_EQ(mailProps.boolean(tag::Subfolders), true);
    EXPECT_EQ(mailProps.string(0x3613), "IPF.Note");
    EXPECT_EQ(pst->parentOf(mail), top);
    EXPECT_EQ(pst->parentOf(deep), y2009);

    const auto deepRows = pst->childFolders(y2009);
    const auto* deepRow = entry(deepRows, deep);
    ASSERT_NE(deepRow, nullptr);
    EXPECT_EQ(deepRow->name, "Ärger");
    EXPECT_EQ(deepRow->contentCount, 1);
    EXPECT_EQ(deepRow->unreadCount, 1);
    // Counts are per folder: the parent does not add its children's.
    const auto mailRows = pst->childFolders(mail);  // kept alive: entry() points into it
    const auto* yRow = entry(mailRows, y2009);
    ASSERT_NE(yRow, nullptr);
    EXPECT_EQ(yRow->contentCount, 0);
    EXPECT_TRUE(yRow->hasSubfolders);

    EXPECT_EQ(pst->messageNids(mail).size(), 5u);
    EXPECT_EQ(pst->messageNids(deep).size(), 1u);
    EXPECT_EQ(pst->parentOf(pst->messageNids(deep)[0]), deep);
}

TEST(StoreCommit, CommittedMessagesAreInTheFileWhileTheStoreIsOpen) {
    ScratchDir dir;
    const auto path = dir / "commit.pst";
    StoreOptions options;
    options.commitInterval = std::chrono::milliseconds(0);  // every message commits
    auto store = Store::create(path, "Commit", options);
    const Nid folder = store->addFolder(store->ipmSubtree(), "Inbox");
    store->addMessage(folder, simpleMessage("first", true));
    {
        auto pst = read::PstFile::open(path);
        EXPECT_EQ(pst->messageNids(folder).size(), 1u);
    }
    StoreOptions lazy;
    lazy.commitInterval = std::chrono::hours(1);
    auto store2 = Store::create(dir / "lazy.pst", "Lazy", lazy);
    const Nid f2 = store2->addFolder(store2->ipmSubtree(), "Inbox");
    store2->addMessage(f2, simpleMessage("pending", true));
    {
        // Not committed yet: the file still holds the last committed state,
        // which does not know the folder.
        auto pst = read::PstFile::open(dir / "lazy.pst");
        EXPECT_EQ(pst->childFolders(store2->ipmSubtree()).size(), 1u);
    }
    store2->commit();
    {
        auto pst = read::PstFile::open(dir / "lazy.pst");
        EXPECT_EQ(pst->messageNids(f2).size(), 1u);
    }
    store->close();
    EXPECT_THROW(store->close(), Error);
    EXPECT_THROW(store->addMessage(folder, simpleMessage("late", true)), Error);
    EXPECT_THROW(store->addFolder(store->ipmSubtree(), "late"), Error);
    EXPECT_THROW(store->commit(), Error);
    // The destructor closes an open store, committing what it holds.
    store2->addMessage(f2, simpleMessage("second", true));
    store2.reset();
    auto pst = read::PstFile::open(dir / "lazy.pst");
    EXPECT_EQ(pst->messageNids(f2).size(), 2u);
}

TEST(StoreFolders, MessagesSpreadOverManyFoldersLandInTheirOwn) {
    // More folders than the store keeps tables open for: every table is
    // written back and opened again many times.
    ScratchDir dir;
    const auto path = dir / "spread.pst";
    auto store = Store::create(path, "Spread");
    std::vector<Nid> folders;
    for (int i = 0; i < 100; ++i) {
        folders.push_back(store->addFolder(store->ipmSubtree(), "Folder " + std::to_string(i)));
    }
    constexpr int kMessages = 2000;
    for (int i = 0; i < kMessages; ++i) {
        store->addMessage(folders[(i * 7) % 100], simpleMessage("s" + std::to_string(i), i % 2));
    }
    store->close();
    auto pst = read::PstFile::open(path);
    const auto rows = pst->childFolders(pst->ipmSubtree());
    for (int f = 0; f < 100; ++f) {
        SCOPED_TRACE("folder " + std::to_string(f));
        const auto nids = pst->messageNids(folders[f]);
        ASSERT_EQ(nids.size(), size_t(kMessages / 100));
        const auto* row = entry(rows, folders[f]);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->contentCount, kMessages / 100);
        EXPECT_EQ(pst->folderProperties(folders[f]).int32(tag::ContentCount), kMessages / 100);
        // Messages i with (7 i) % 100 == f, in the order they were added.
        int expectI = 0;
        while ((expectI * 7) % 100 != f) ++expectI;
        for (Nid nid : nids) {
            EXPECT_EQ(read::readableSubject(pst->readMessage(nid).props),
                      "s" + std::to_string(expectI));
            expectI += 100;
        }
    }
    expectClean(path);
}

TEST(StoreNamedProperties, FullMapFailsOneMessageAndKeepsTheStore) {
    // 0x7FFF names fit (ids 0x8000-0xFFFE); the store starts with Outlook's
    // 35. Three messages of 11,000 new names each: the third runs out.
    ScratchDir dir;
    const auto path = dir / "names.pst";
    auto store = Store::create(path, "Names");
    const Nid folder = store->addFolder(store->ipmSubtree(), "Named");
    const auto set = *mapi::Guid::parse("{12345678-1234-1234-1234-123456789ABC}");
    auto manyNames = [&](uint32_t first) {
        mapi::Message m = simpleMessage("names from " + std::to_string(first), true);
        for (uint32_t i = 0; i < 11000; ++i) {
            mapi::Property p =
                mapi::Property::int32(mapi::makeTag(0x8000, mapi::PT_LONG), int32_t(i));
            p.named = std::make_shared<mapi::NamedKey>(mapi::NamedKey::byId(set, first + i));
            m.props.set(std::move(p));
        }
        return m;
    };
    const Nid a = store->addMessage(folder, manyNames(0));
    store->addMessage(folder, manyNames(11000));
    try {
        store->addMessage(folder, manyNames(22000));
        FAIL() << "expected qm::Error for a full name-to-id map";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("full"), std::string::npos) << e.what();
    }
    // The store goes on: a message with names it knows, then one without.
    store->addMessage(folder, manyNames(5000));
    store->addMessage(folder, simpleMessage("plain", true));
    store->close();

    auto pst = read::PstFile::open(path);
    EXPECT_EQ(pst->nameMap().size(), 0x7FFFu);
    EXPECT_EQ(pst->messageNids(folder).size(), 4u);
    EXPECT_EQ(pst->folderProperties(folder).int32(tag::ContentCount), 4);
    const mapi::Message back = pst->readMessage(a);
    size_t named = 0;
    for (const auto& p : back.props) {
        if (p.named) ++named;
    }
    EXPECT_EQ(named, 11000u);
    expectClean(path);
}

TEST(StoreCreate, EncodingIsPermuteByDefaultAndNoneOnRequest) {
    ScratchDir dir;
    for (const Encoding encoding : {Encoding::Permute, Encoding::None}) {
        const auto path = dir / (encoding == Encoding::None ? "plain.pst" : "permute.pst");
        StoreOptions options;
        options.encoding = encoding;
        auto store = Store::create(path, "Encoding", options);
        const Nid folder = store->addFolder(store->ipmSubtree(), "Inbox");
        const Nid nid = store->addMessage(folder, simpleMessage("clear text subject", true));
        store->close();
        auto pst = read::PstFile::open(path);
        EXPECT_EQ(pst->ndb().header().cryptMethod, uint8_t(encoding));
        EXPECT_EQ(read::readableSubject(pst->readMessage(nid).props), "clear text subject");
        // Only an unencoded file shows the subject's UTF-16 bytes as they are.
        std::ifstream in(path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        const Bytes needle = mapi::utf16ToLE(u"clear text subject");
        const bool visible =
            bytes.find(std::string(needle.begin(), needle.end())) != std::string::npos;
        EXPECT_EQ(visible, encoding == Encoding::None);
        expectClean(path);
    }
}

TEST(StoreMessages, BareObjectsGetWhatTheFormatRequires) {
    // A message, an attachment and an embedded message with no properties
    // at all still make objects Outlook accepts.
    ScratchDir dir;
    const auto path = dir / "bare.pst";
    auto store = Store::create(path, "Bare");
    const Nid folder = store->addFolder(store->ipmSubtree(), "Bare");
    mapi::Message bare;
    bare.attachments.emplace_back();
    mapi::Attachment withEmbedded;
    withEmbedded.embedded = std::make_unique<mapi::Message>();
    bare.attachments.push_back(std::move(withEmbedded));
    const Nid nid = store->addMessage(folder, bare);
    const Nid empty = store->addMessage(folder, mapi::Message{});
    store->close();

    auto pst = read::PstFile::open(path);
    for (Nid n : {nid, empty}) {
        const mapi::Message m = pst->readMessage(n);
        EXPECT_EQ(m.props.string(0x001A), "IPM.Note");
        // The store keeps mfHasAttach true to the attachment table.
        EXPECT_EQ(m.props.int32(tag::MessageFlags), n == nid ? mapi::MSGFLAG_HASATTACH : 0);
        EXPECT_TRUE(m.props.int32(tag::MessageSize));
        EXPECT_TRUE(m.props.find(mapi::makeTag(0x300B, mapi::PT_BINARY)));
        EXPECT_TRUE(m.props.find(tag::CreationTime));
        EXPECT_TRUE(m.props.find(tag::LastModificationTime));
    }
    const mapi::Message m = pst->readMessage(nid);
    ASSERT_EQ(m.attachments.size(), 2u);
    EXPECT_EQ(m.attachments[0].props.int32(tag::AttachMethod), mapi::ATTACH_NO_ATTACHMENT);
    EXPECT_EQ(m.attachments[0].props.int32(tag::RenderingPosition), -1);
    EXPECT_TRUE(m.attachments[0].props.int32(tag::AttachSize));
    EXPECT_EQ(m.attachments[1].props.int32(tag::AttachMethod), mapi::ATTACH_EMBEDDED_MSG);
    ASSERT_TRUE(m.attachments[1].embedded);
    EXPECT_EQ(m.attachments[1].embedded->props.string(0x001A), "IPM.Note");
    // Both unread: the folder says so.
    EXPECT_EQ(pst->folderProperties(folder).int32(tag::ContentUnreadCount), 2);
}

TEST(StoreMessages, EightBitStringsAreDecodedWithTheStoresFallback) {
    // A caller that leaves 8-bit strings still gets a Unicode store.
    ScratchDir dir;
    const auto path = dir / "eight.pst";
    StoreOptions options;
    options.fallbackCodePage = 1251;
    auto store = Store::create(path, "Eight", options);
    const Nid folder = store->addFolder(store->ipmSubtree(), "Eight");
    const std::string privet = "\xCF\xF0\xE8\xE2\xE5\xF2";  // in cp1251
    mapi::Message m;
    m.props.set(mapi::Property::string8(mapi::makeTag(0x0037, mapi::PT_STRING8), privet));
    mapi::Recipient r;
    r.props.set(mapi::Property::string8(mapi::makeTag(0x3001, mapi::PT_STRING8), "ok\x98"));
    m.recipients.push_back(std::move(r));
    mapi::Attachment a;
    a.embedded = std::make_unique<mapi::Message>();
    a.embedded->props.set(mapi::Property::string8(mapi::makeTag(0x0037, mapi::PT_STRING8), privet));
    m.attachments.push_back(std::move(a));
    const Nid nid = store->addMessage(folder, m);
    ASSERT_EQ(store->lastMessageWarnings().size(), 1u);
    EXPECT_NE(store->lastMessageWarnings()[0].find("recipient 0"), std::string::npos);
    store->addMessage(folder, simpleMessage("Unicode already", true));
    EXPECT_TRUE(store->lastMessageWarnings().empty());
    store->close();

    auto pst = read::PstFile::open(path);
    const mapi::Message back = pst->readMessage(nid);
    EXPECT_FALSE(mapi::holdsString8(back));
    EXPECT_EQ(read::readableSubject(back.props), "Привет");
    EXPECT_EQ(back.recipients.at(0).props.string(0x3001), "ok\uFFFD");
    EXPECT_EQ(read::readableSubject(back.attachments.at(0).embedded->props), "Привет");
    const auto table = pst->table(ndb::withNidType(folder, ndb::NID_TYPE_CONTENTS_TABLE));
    const auto row = table->rowProperties(0);
    ASSERT_NE(row.find(tag::Subject), nullptr);
    EXPECT_EQ(row.find(tag::Subject)->value, back.props.find(tag::Subject)->value);
}

TEST(StoreMessages, HasAttachBitFollowsTheAttachmentTableAtEveryLevel) {
    // Other software writes embedded messages whose flags disagree with their
    // attachments; the store keeps the bit true and every other bit as given.
    ScratchDir dir;
    const auto path = dir / "flags.pst";
    auto store = Store::create(path, "Flags");
    const Nid folder = store->addFolder(store->ipmSubtree(), "Flags");
    mapi::Message inner;
    inner.props.set(mapi::Property::int32(tag::MessageFlags, mapi::MSGFLAG_READ));
    inner.attachments.emplace_back();
    mapi::Message outer;
    outer.props.set(
        mapi::Property::int32(tag::MessageFlags, mapi::MSGFLAG_UNSENT | mapi::MSGFLAG_HASATTACH));
    mapi::Attachment carrier;
    carrier.props.set(mapi::Property::int32(tag::AttachMethod, mapi::ATTACH_EMBEDDED_MSG));
    carrier.embedded = std::make_unique<mapi::Message>(std::move(inner));
    outer.attachments.push_back(std::move(carrier));
    mapi::Message stale;
    stale.props.set(
        mapi::Property::int32(tag::MessageFlags, mapi::MSGFLAG_READ | mapi::MSGFLAG_HASATTACH));
    const Nid withEmbedded = store->addMessage(folder, outer);
    const Nid noAttachments = store->addMessage(folder, stale);
    store->close();

    auto pst = read::PstFile::open(path);
    const mapi::Message o = pst->readMessage(withEmbedded);
    EXPECT_EQ(o.props.int32(tag::MessageFlags), mapi::MSGFLAG_UNSENT | mapi::MSGFLAG_HASATTACH);
    ASSERT_EQ(o.attachments.size(), 1u);
    ASSERT_TRUE(o.attachments[0].embedded);
    EXPECT_EQ(o.attachments[0].embedded->props.int32(tag::MessageFlags),
              mapi::MSGFLAG_READ | mapi::MSGFLAG_HASATTACH);
    EXPECT_EQ(pst->readMessage(noAttachments).props.int32(tag::MessageFlags), mapi::MSGFLAG_READ);
    expectClean(path);
}

// A folder's contents table is appended to, never held: ninety thousand
// more messages must not cost memory in proportion (a generous bound; a held
// table or held messages would take hundreds of MB here).
TEST(StoreSizes, HundredThousandMessagesInOneFolder) {
    ScratchDir dir;
    const auto path = dir / "many.pst";
    auto store = Store::create(path, "Many");
    const Nid folder = store->addFolder(store->ipmSubtree(), "Everything");
    constexpr uint32_t kCount = 100'000;
    auto resident = [] {
        std::ifstream statm("/proc/self/statm");
        uint64_t pages = 0, resident = 0;
        statm >> pages >> resident;
        return resident * uint64_t(sysconf(_SC_PAGESIZE));
    };
    uint64_t residentAtTenThousand = 0;
    for (uint32_t i = 0; i < kCount; ++i) {
        mapi::Message m = simpleMessage("Message number " + std::to_string(i), i % 3);
        mapi::Recipient r;
        r.props.set(mapi::Property::utf8(tag::DisplayName, "To " + std::to_string(i % 50)));
        m.recipients.push_back(std::move(r));
        store->addMessage(folder, m);
        if (i == 10'000) residentAtTenThousand = resident();
    }
    EXPECT_LT(resident(), residentAtTenThousand + (64u << 20));
    store->close();
    auto pst = read::PstFile::open(path);
    EXPECT_EQ(pst->folderProperties(folder).int32(tag::ContentUnreadCount),
              int32_t((kCount + 2) / 3));
    const auto nids = pst->messageNids(folder);
    ASSERT_EQ(nids.size(), kCount);
    EXPECT_EQ(read::readableSubject(pst->readMessage(nids[kCount / 2]).props),
              "Message number " + std::to_string(kCount / 2));
    expectClean(path);
}

// A writer killed while it adds messages, one commit each, leaves a file our
// reader opens, our checker accepts, and that holds every message whose
// commit had returned (the child says so through a pipe) and at most one
// more. Some messages carry attachments of a few blocks, so kills also land
// in data trees.
TEST(StoreCrash, KilledWriterLeavesEveryCommittedMessage) {
    for (uint32_t round = 0; round < 4; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ScratchDir dir;
        const auto path = dir / "crash.pst";
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(fds[0]);
            try {
                auto store = Store::create(path, "Crash");
                const Nid folder = store->addFolder(store->ipmSubtree(), "Inbox");
                store->commit();
                for (uint32_t i = 1;; ++i) {
                    mapi::Message m = simpleMessage("Crash " + std::to_string(i), true);
                    if (i % 5 == 0) {
                        mapi::Attachment a;
                        a.props.set(
                            mapi::Property::int32(tag::AttachMethod, mapi::ATTACH_BY_VALUE));
                        a.props.set(mapi::Property::binary(tag::AttachDataBinary,
                                                           PatternSource(30000 + i, i).readAll()));
                        m.attachments.push_back(std::move(a));
                    }
                    store->addMessage(folder, m);
                    store->commit();
                    if (::write(fds[1], &i, sizeof i) != sizeof i) break;
                }
            } catch (const std::exception&) {
            }
            ::_exit(1);
        }
        ::close(fds[1]);
        const uint32_t target = 15 + round * 23;
        uint32_t committed = 0, n = 0;
        while (committed < target && ::read(fds[0], &n, sizeof n) == sizeof n) committed = n;
        std::this_thread::sleep_for(std::chrono::microseconds(300 * round));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        while (::read(fds[0], &n, sizeof n) == sizeof n) committed = n;
        ::close(fds[0]);
        ASSERT_GE(committed, target) << "the writer stopped early";
        auto pst = read::PstFile::open(path);
        const Nid inbox = pst->childFolders(pst->ipmSubtree()).back().nid;
        const auto nids = pst->messageNids(inbox);
        EXPECT_GE(nids.size(), committed);
        EXPECT_LE(nids.size(), size_t(committed) + 1);
        EXPECT_EQ(pst->folderProperties(inbox).int32(tag::ContentCount), int32_t(nids.size()));
        for (size_t i = 0; i < nids.size(); i += 7)
            EXPECT_EQ(read::readableSubject(pst->readMessage(nids[i]).props),
                      "Crash " + std::to_string(i + 1));
        expectClean(path);
    }
}
