// The Store API: creating, committing and closing, folders and their counts
// as our reader sees them, what the store makes of bare, 8-bit or
// inconsistent messages. (Killed writers are the kill harness's.)
#include <gtest/gtest.h>

#include <algorithm>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/tags.h"
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
        EXPECT_EQ(store->displayName(), "Archiv 2009 — Ünïcode");
        EXPECT_EQ(store->entryId().size(), 24u);
        const Nid folder = store->addFolder(store->ipmSubtree(), "Inbox");
        const Nid nid = store->addMessage(folder, simpleMessage("clear text subject"));
        EXPECT_EQ(read::PstFile::open(path)->messageNids(folder).size(), 1u);
        EXPECT_EQ(store->fileSize() % 512, 0u);
        store->close();
        EXPECT_FALSE(store->isOpen());
        EXPECT_THROW(store->addMessage(folder, simpleMessage("late")), Error);
        expectClean(path);
        auto pst = read::PstFile::open(path);
        EXPECT_EQ(pst->displayName(), "Archiv 2009 — Ünïcode");
        EXPECT_EQ(pst->ndb().header().cryptMethod, uint8_t(encoding));
        EXPECT_EQ(read::readableSubject(pst->readMessage(nid).props), "clear text subject");
        const Bytes file = readFile(path), needle = mapi::utf16ToLE(u"clear text subject");
        EXPECT_EQ(std::search(file.begin(), file.end(), needle.begin(), needle.end()) != file.end(),
                  encoding == Encoding::None);
    }
    // Until a commit the file does not know the folder, unless 4,096
    // messages came since the last; the destructor commits what it holds.
    StoreOptions options;
    options.commitInterval = std::chrono::hours(1);
    auto lazy = Store::create(dir / "lazy.pst", "Lazy", options);
    const Nid f = lazy->addFolder(lazy->ipmSubtree(), "Inbox");
    lazy->addMessage(f, simpleMessage("pending"));
    EXPECT_EQ(read::PstFile::open(dir / "lazy.pst")->childFolders(lazy->ipmSubtree()).size(), 1u);
    lazy->commit();
    EXPECT_EQ(read::PstFile::open(dir / "lazy.pst")->messageNids(f).size(), 1u);
    for (int i = 0; i < 4096; ++i) lazy->addMessage(f, simpleMessage("m" + std::to_string(i)));
    EXPECT_EQ(read::PstFile::open(dir / "lazy.pst")->messageNids(f).size(), 4097u);
    lazy->addMessage(f, simpleMessage("last"));
    lazy.reset();
    EXPECT_EQ(read::PstFile::open(dir / "lazy.pst")->messageNids(f).size(), 4098u);
}

// Names compare without regard to case (in every script Outlook folds; × and
// ÷ are no pair) among siblings only; the checker holds each folder's counts
// and row to its messages. Bare objects still make objects Outlook accepts;
// an 8-bit string is decoded, with a warning for what its code page cannot
// map; the has-attachment bit follows the attachments at every level (other
// software writes embedded messages whose flags disagree), other bits kept.
TEST(StoreFolders, CaseInsensitiveNamesAndBareEightBitOrInconsistentMessagesMadeRight) {
    ScratchDir dir;
    StoreOptions options;
    options.fallbackCodePage = 1251;
    auto store = Store::create(dir / "folders.pst", "Folders", options);
    const Nid top = store->ipmSubtree();
    const Nid mail = store->addFolder(top, "Mail");
    const Nid y2009 = store->addFolder(mail, "2009");
    const std::string deepName = "Ärger ŁÓDŹ ΣΟΦΙΑ ЁЖ ＭＡＩＬ ×";
    const Nid deep = store->addFolder(y2009, deepName);
    const Nid notes = store->addFolder(top, "Notes", "IPF.StickyNote");
    for (const auto& [parent, name] : std::vector<std::pair<Nid, const char*>>{
             {top, "MAIL"}, {top, "deleted items"}, {top, ""}, {0x12345682, "x"}})
        EXPECT_THROW(store->addFolder(parent, name), Error) << name;
    EXPECT_THROW(store->addFolder(y2009, "ärger łódź σοφια ёж ｍａｉｌ ×"), Error);
    EXPECT_NE(store->addFolder(y2009, "Ärger ŁÓDŹ ΣΟΦΙΑ ЁЖ ＭＡＩＬ ÷"), deep);
    EXPECT_NE(store->addFolder(mail, "Ärger"), deep);
    EXPECT_EQ(store->childFolders(mail).at(0).nid, y2009);
    for (int i = 0; i < 5; ++i)
        store->addMessage(mail, simpleMessage("m" + std::to_string(i), i < 2));
    EXPECT_THROW(store->addMessage(0x2223, simpleMessage("spam")), Error);
    EXPECT_THROW(store->addMessage(0x7777, simpleMessage("nowhere")), Error);
    mapi::Message bare;
    bare.attachments.emplace_back();
    bare.attachments.emplace_back().embedded = std::make_unique<mapi::Message>();
    bare.recipients.emplace_back().props.set(
        mapi::Property::string8(mapi::makeTag(0x3001, mapi::PT_STRING8), "ok\x98"));
    const Nid bareNid = store->addMessage(deep, bare);
    ASSERT_EQ(store->lastMessageWarnings().size(), 1u);
    EXPECT_NE(store->lastMessageWarnings()[0].find("recipient 0"), std::string::npos);
    const Nid empty = store->addMessage(deep, mapi::Message{});
    EXPECT_TRUE(store->lastMessageWarnings().empty());
    mapi::Message wrong;
    auto& inner = wrong.attachments.emplace_back().embedded = std::make_unique<mapi::Message>();
    inner->props.set(mapi::Property::int32(tag::MessageFlags, mapi::MSGFLAG_READ));
    inner->attachments.emplace_back();
    wrong.props.set(
        mapi::Property::int32(tag::MessageFlags, mapi::MSGFLAG_UNSENT | mapi::MSGFLAG_HASATTACH));
    const Nid wrongNid = store->addMessage(deep, wrong);
    mapi::Message stale;
    stale.props.set(
        mapi::Property::int32(tag::MessageFlags, mapi::MSGFLAG_READ | mapi::MSGFLAG_HASATTACH));
    const Nid staleNid = store->addMessage(deep, stale);
    store->close();
    expectClean(dir / "folders.pst");
    auto pst = read::PstFile::open(dir / "folders.pst");
    EXPECT_EQ(pst->childFolders(top).size(), 3u);  // Deleted Items, Mail, Notes
    const auto m = row(*pst, top, mail);
    EXPECT_EQ(m.name, "Mail");
    EXPECT_EQ(m.contentCount, 5);
    EXPECT_EQ(m.containerClass, "IPF.Note");
    EXPECT_EQ(row(*pst, top, notes).containerClass, "IPF.StickyNote");
    EXPECT_EQ(row(*pst, y2009, deep).name, deepName);
    EXPECT_EQ(pst->messageNids(deep).size(), 4u);
    EXPECT_EQ(pst->parentOf(bareNid), deep);
    for (Nid n : {bareNid, empty}) {
        const mapi::Message b = pst->readMessage(n);
        EXPECT_EQ(b.props.string(0x001A), "IPM.Note");
        EXPECT_EQ(b.props.int32(tag::MessageFlags), n == bareNid ? mapi::MSGFLAG_HASATTACH : 0);
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

}  // namespace
}  // namespace qm::pst
