// Stores our writer makes, through our checker and back through our
// reader: empty, with nested folders, and with messages of every shape the
// test generators make (recipients, attachments small and multi-block,
// embedded messages, OLE storages, named properties).
#include <gtest/gtest.h>

#include "mapi/tags.h"
#include "pst/read/checker.h"
#include "pst/read/pst_file.h"
#include "pst/store/store.h"
#include "read_test_util.h"
#include "support/message_gen.h"

namespace qm::pst::read {
namespace {

using namespace readtest;

// The flags word as the conversion writes it: read, plus has-attachment
// exactly when there are attachments (the store keeps it as given).
void setFlags(mapi::Message& m) {
    int32_t flags = mapi::MSGFLAG_READ | (m.attachments.empty() ? 0 : mapi::MSGFLAG_HASATTACH);
    m.props.set(mapi::Property::int32(mapi::tag::MessageFlags, flags));
    for (auto& a : m.attachments)
        if (a.embedded) setFlags(*a.embedded);
}

std::string joined(const CheckReport& r) {
    std::string s;
    for (const auto& f : r.findings) s += f.line() + "\n";
    return s;
}

TEST(PstWriterCheck, EmptyStoreIsClean) {
    ScratchDir dir;
    auto store = pst::Store::create(dir / "empty.pst", "Empty store");
    store->close();
    CheckReport r = checkFile(dir / "empty.pst");
    EXPECT_TRUE(r.clean()) << joined(r);
    auto pst = PstFile::open(dir / "empty.pst");
    EXPECT_EQ(pst->displayName(), "Empty store");
    auto top = pst->childFolders(pst->ipmSubtree());
    ASSERT_FALSE(top.empty());
}

TEST(PstWriterCheck, FoldersAndMessagesAreCleanAndReadBack) {
    ScratchDir dir;
    fs::path file = dir / "full.pst";
    std::vector<std::pair<std::string, testing::MessageSpec>> specs;
    {
        auto store = pst::Store::create(file, "Full store");
        Nid inbox = store->addFolder(store->ipmSubtree(), "Inbox");
        Nid sub = store->addFolder(inbox, "2009");
        Nid other = store->addFolder(store->ipmSubtree(), "Other");
        (void)other;
        for (uint32_t i = 0; i < 12; ++i) {
            testing::MessageSpec spec;
            spec.seed = 100 + i;
            spec.subject = "Message " + std::to_string(i);
            spec.recipients = i % 4;
            spec.unicode = i % 3 != 0;
            spec.allTypes = i % 2 == 0;
            if (i % 3 == 1) spec.attachmentSizes = {10, 9000, 70000};
            if (i == 5) spec.embedDepth = 2;
            if (i == 7) spec.oleAttachment = true;
            spec.namedById = i % 5;
            spec.namedByName = i % 3;
            spec.htmlBody = i % 4 == 0;
            mapi::Message m = testing::makeMessage(spec);
            setFlags(m);
            store->addMessage(i % 2 ? inbox : sub, m);
        }
        store->close();
    }
    CheckReport r = checkFile(file);
    EXPECT_TRUE(r.clean()) << joined(r);
    auto pst = PstFile::open(file);
    EXPECT_EQ(readEverything(*pst), 12u);
    // Damaged copies of this richer file (subnode trees, data trees,
    // embedded messages, named properties) fail cleanly too.
    hammer(file, hammerRounds(150), 7);
}

// Bigger structures: a contents table whose rows need a subnode and several
// blocks, node and block B-trees of several levels, an attachment big enough
// for an XXBLOCK, several regions of allocation maps.
TEST(PstWriterCheck, MultiLevelStructuresAreClean) {
    ScratchDir dir;
    fs::path file = dir / "big.pst";
    mapi::Message withAttachment;
    {
        auto store = pst::Store::create(file, "Big store");
        Nid folder = store->addFolder(store->ipmSubtree(), "Many");
        for (uint32_t i = 0; i < 400; ++i) {
            testing::MessageSpec spec;
            spec.seed = i;
            spec.subject = "Bulk " + std::to_string(i);
            if (i == 3) spec.attachmentSizes = {9u << 20};
            mapi::Message m = testing::makeMessage(spec);
            setFlags(m);
            store->addMessage(folder, m);
            if (i == 3) withAttachment = std::move(m);
        }
        store->close();
    }
    CheckReport r = checkFile(file);
    EXPECT_TRUE(r.clean()) << joined(r);
    if (const char* keep = std::getenv("QM_READ_KEEP")) fs::copy_file(file, keep);
    auto pst = PstFile::open(file);
    EXPECT_EQ(readEverything(*pst), 400u);
    bool multiLevel = false;
    for (const auto& pg : pst->ndb().pages()) multiLevel |= pg.level > 0;
    EXPECT_TRUE(multiLevel);
    // The big attachment reads back byte for byte.
    for (const auto& f : pst->childFolders(pst->ipmSubtree())) {
        if (f.name != "Many") continue;
        auto nids = pst->messageNids(f.nid);
        ASSERT_EQ(nids.size(), 400u);
        bool found = false;
        for (Nid n : nids) {
            mapi::Message m = pst->readMessage(n);
            if (readableSubject(m.props) != "Bulk 3") continue;
            found = true;
            ASSERT_EQ(m.attachments.size(), 1u);
            const mapi::Property* data = m.attachments[0].props.find(mapi::tag::AttachDataBinary);
            ASSERT_NE(data, nullptr);
            EXPECT_EQ(data->byteSize(), uint64_t(9u << 20));
            EXPECT_TRUE(data->stream);  // stays in the file
            EXPECT_TRUE(
                data->bytes() ==
                withAttachment.attachments[0].props.find(mapi::tag::AttachDataBinary)->bytes());
        }
        EXPECT_TRUE(found);
    }
}

}  // namespace
}  // namespace qm::pst::read
