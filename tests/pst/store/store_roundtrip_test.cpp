// Messages written by the store and read back by our reader: every property
// equal except the ones the store computes (listed below), recipients,
// attachments of any size, embedded messages, named properties; and the
// computed values (sizes, contents rows) checked against the file itself.
#include <gtest/gtest.h>

#include <set>

#include "mapi/codepage.h"
#include "mapi/tags.h"
#include "message_gen.h"
#include "pst/read/pst_file.h"
#include "pst/store/store.h"
#include "store_test_util.h"

using namespace qm;
using namespace qm::pst;
using storetest::ScratchDir;
namespace tag = mapi::tag;

namespace {

// Property ids the store owns ([MS-PST] 2.5 and docs/pst-format.md): never
// copied from the source, so left out of the comparison on both sides.
const std::set<uint16_t> kOwnedEverywhere = {0x0E09, 0x0FFB, 0x0FFA, 0x0FF6, 0x0FF4, 0x0FF7, 0x0FF8,
                                             0x340D, 0x340E, 0x3000, 0x67F1, 0x67F2, 0x67F3};
const std::set<uint16_t> kOwnedByMessages = {0x0FFF, 0x0FF9, 0x0FFE, 0x0E08,
                                             0x0E1B, 0x0E1D, 0x003D};
const std::set<uint16_t> kOwnedByAttachments = {0x0FFF, 0x0FF9, 0x0FFE, 0x0E20, 0x0E21};
// Added by the store only when the source lacks them.
const std::set<uint16_t> kDefaultsOfMessages = {0x300B, 0x3007, 0x3008, 0x001A, 0x0E07};
const std::set<uint16_t> kDefaultsOfAttachments = {0x3705, 0x370B};

void eraseIds(mapi::PropertyBag& bag, const std::set<uint16_t>& ids,
              const mapi::PropertyBag* unlessIn = nullptr) {
    std::vector<mapi::PropTag> gone;
    for (const auto& p : bag) {
        if (p.named || !ids.count(p.id())) continue;
        if (unlessIn && unlessIn->findId(p.id())) continue;
        gone.push_back(p.tag);
    }
    for (auto t : gone) bag.erase(t);
}

// Brings the source and the read-back message to what must be equal.
void normalize(mapi::Message& expected, mapi::Message& actual) {
    eraseIds(expected.props, kOwnedEverywhere);
    eraseIds(expected.props, kOwnedByMessages);
    eraseIds(actual.props, kOwnedByMessages);
    eraseIds(actual.props, kDefaultsOfMessages, &expected.props);
    for (auto& r : expected.recipients) eraseIds(r.props, kOwnedEverywhere);
    for (auto& r : actual.recipients) eraseIds(r.props, kOwnedEverywhere);
    for (size_t i = 0; i < expected.attachments.size() && i < actual.attachments.size(); ++i) {
        auto& e = expected.attachments[i];
        auto& a = actual.attachments[i];
        eraseIds(e.props, kOwnedEverywhere);
        eraseIds(e.props, kOwnedByAttachments);
        eraseIds(a.props, kOwnedByAttachments);
        eraseIds(a.props, kDefaultsOfAttachments, &e.props);
        if (a.embedded) a.props.erase(mapi::makeTag(0x3701, mapi::PT_OBJECT));
        if (e.embedded && a.embedded) normalize(*e.embedded, *a.embedded);
    }
}

// Bytes of a node's data streams and of all its subnodes, recursively: the
// figure PidTagMessageSize holds.
uint64_t nodeBytes(const read::NodeDatabase& db, ndb::Bid bidData, ndb::Bid bidSub) {
    uint64_t total = bidData ? db.streamSize(bidData) : 0;
    for (const auto& s : db.readSubnodes(bidSub)) total += nodeBytes(db, s.bidData, s.bidSub);
    return total;
}

// The flags the conversion gives every message: read, and has-attachment
// exactly when it has attachments (embedded messages too). The store writes
// them as given; the checker holds the file to that rule.
mapi::Message withTrueFlags(mapi::Message m) {
    const int32_t old = m.props.int32(tag::MessageFlags).value_or(mapi::MSGFLAG_READ);
    const int32_t flags =
        (old & ~mapi::MSGFLAG_HASATTACH) | (m.attachments.empty() ? 0 : mapi::MSGFLAG_HASATTACH);
    m.props.set(mapi::Property::int32(tag::MessageFlags, flags));
    for (auto& a : m.attachments) {
        if (a.embedded) *a.embedded = withTrueFlags(std::move(*a.embedded));
    }
    return m;
}

struct Written {
    Nid nid;
    mapi::Message source;
};

class StoreRoundTrip : public ::testing::Test {
  protected:
    ScratchDir dir_;
};

void expectRoundTrip(const read::PstFile& pst, const Written& w) {
    SCOPED_TRACE("message " + std::to_string(w.nid));
    mapi::Message expected = w.source.clone();
    mapi::Message actual = pst.readMessage(w.nid);
    normalize(expected, actual);
    EXPECT_EQ(qm::testing::diffMessages(expected, actual), "");
}

}  // namespace

TEST_F(StoreRoundTrip, VariedMessagesReadBackWhole) {
    const auto path = dir_ / "varied.pst";
    auto store = Store::create(path, "Round trip");
    const Nid inbox = store->addFolder(store->ipmSubtree(), "Inbox");
    const Nid nested = store->addFolder(store->addFolder(inbox, "Projects"), "Quillmark");

    std::vector<qm::testing::MessageSpec> specs;
    auto add = [&](auto tweak) {
        qm::testing::MessageSpec s;
        s.seed = uint32_t(specs.size() + 1);
        s.subject = "Message " + std::to_string(specs.size());
        tweak(s);
        specs.push_back(s);
    };
    add([](auto& s) { s.recipients = 0; });
    add([](auto& s) {
        s.recipients = 1;
        s.attachmentSizes = {1};
    });
    add([](auto& s) {
        s.recipients = 300;
        s.attachmentSizes = std::vector<uint64_t>(300, 100);
    });
    add([](auto& s) {
        s.embedDepth = 3;
        s.namedById = 3;
    });
    add([](auto& s) {
        s.namedById = 6;
        s.namedByName = 5;
        s.allTypes = true;
    });
    add([](auto& s) {
        s.unicode = false;
        s.recipients = 4;
        s.attachmentSizes = {10, 5000};
    });
    add([](auto& s) {
        s.oleAttachment = true;
        s.htmlBody = true;
        s.rtfBody = true;
    });
    add([](auto& s) { s.attachmentSizes = {9u << 20, 0, 8176, 8177}; });  // 9 MiB, edge sizes
    add([](auto& s) {
        s.embedDepth = 1;
        s.unicode = false;
        s.attachmentSizes = {4000};
    });

    std::vector<Written> written;
    for (size_t i = 0; i < specs.size(); ++i) {
        mapi::Message m = withTrueFlags(qm::testing::makeMessage(specs[i]));
        const Nid folder = (i % 2) ? inbox : nested;
        written.push_back({store->addMessage(folder, m), std::move(m)});
    }
    store->close();

    auto pst = read::PstFile::open(path);
    for (const auto& w : written) expectRoundTrip(*pst, w);
    EXPECT_EQ(pst->messageNids(inbox).size(), specs.size() / 2);
    EXPECT_EQ(pst->messageNids(nested).size(), specs.size() - specs.size() / 2);
    storetest::expectCheckerClean(path);
}

TEST_F(StoreRoundTrip, ComputedSizesMatchTheFile) {
    const auto path = dir_ / "sizes.pst";
    auto store = Store::create(path, "Sizes");
    const Nid folder = store->addFolder(store->ipmSubtree(), "Sizes");
    qm::testing::MessageSpec spec;
    spec.attachmentSizes = {20, 70000};
    spec.embedDepth = 2;
    spec.recipients = 5;
    const Nid nid = store->addMessage(folder, withTrueFlags(qm::testing::makeMessage(spec)));
    store->close();

    auto pst = read::PstFile::open(path);
    const auto& db = pst->ndb();
    const auto* node = db.findNode(nid);
    ASSERT_NE(node, nullptr);
    const auto pc = pst->propertyContext(nid)->properties();
    ASSERT_TRUE(pc.int32(tag::MessageSize));
    EXPECT_EQ(uint64_t(*pc.int32(tag::MessageSize)), nodeBytes(db, node->bidData, node->bidSub));
    storetest::expectCheckerClean(path);

    // Each attachment: AttachSize adds up its properties' values; an
    // embedded message counts its own MessageSize, which is the object's size.
    const mapi::Message msg = pst->readMessage(nid);
    ASSERT_EQ(msg.attachments.size(), 3u);
    for (const auto& a : msg.attachments) {
        uint64_t sum = 0;
        for (const auto& p : a.props) {
            if (p.type() == mapi::PT_OBJECT) continue;
            const size_t fixed = mapi::fixedSize(p.type());
            sum += (fixed && !mapi::isMultiValued(p.type())) ? fixed : p.byteSize();
        }
        if (a.embedded) {
            const auto inner = a.embedded->props.int32(tag::MessageSize);
            ASSERT_TRUE(inner);
            sum += uint64_t(*inner);
        }
        EXPECT_EQ(a.props.int32(tag::AttachSize), int32_t(sum));
    }
    // The embedded message's size is what its subnodes hold.
    const auto subs = db.readSubnodes(node->bidSub);
    for (const auto& s : subs) {
        if (ndb::nidType(s.nid) != ndb::NID_TYPE_ATTACHMENT) continue;
        for (const auto& inner : db.readSubnodes(s.bidSub)) {
            if (ndb::nidType(inner.nid) != ndb::NID_TYPE_NORMAL_MESSAGE) continue;
            read::PropertyContext epc(pst->ndbHandle(), inner.bidData, inner.bidSub, "embedded");
            EXPECT_EQ(uint64_t(*epc.properties().int32(tag::MessageSize)),
                      nodeBytes(db, inner.bidData, inner.bidSub));
        }
    }
}

TEST_F(StoreRoundTrip, ContentsRowsCarryTheMessagesValues) {
    const auto path = dir_ / "rows.pst";
    auto store = Store::create(path, "Rows");
    const Nid folder = store->addFolder(store->ipmSubtree(), "Rows");
    std::vector<Nid> nids;
    for (uint32_t i = 0; i < 40; ++i) {
        qm::testing::MessageSpec spec;
        spec.seed = i + 7;
        spec.unicode = (i % 3) != 0;
        spec.subject = "Row " + std::to_string(i);
        spec.attachmentSizes = std::vector<uint64_t>(i % 2, 30);
        mapi::Message m = withTrueFlags(qm::testing::makeMessage(spec));
        if (i % 4 == 0) m.props.set(mapi::Property::int32(tag::MessageFlags, 0));  // unread
        if (i == 5) {
            m.props.set(mapi::Property::utf8(tag::Subject, "RE: Row 5"));
            m.props.set(mapi::Property::utf8(mapi::makeTag(0x003D, mapi::PT_UNICODE), "RE: "));
        }
        nids.push_back(store->addMessage(folder, m));
    }
    store->close();

    auto pst = read::PstFile::open(path);
    const auto table = pst->table(ndb::withNidType(folder, ndb::NID_TYPE_CONTENTS_TABLE));
    ASSERT_EQ(table->rowCount(), nids.size());
    for (size_t r = 0; r < table->rowCount(); ++r) {
        const Nid nid = table->rowId(r);
        EXPECT_EQ(nid, nids[r]);
        SCOPED_TRACE("row of " + std::to_string(nid));
        const auto row = table->rowProperties(r, &pst->nameMap());
        const auto pc = pst->propertyContext(nid)->properties(&pst->nameMap());
        const auto codePage = pc.int32(tag::MessageCodepage).value_or(1252);
        for (const auto& cell : row) {
            if (cell.tag == ndb::kPidTagLtpRowId || cell.tag == ndb::kPidTagLtpRowVer) continue;
            if (cell.tag == tag::MessageStatus && !pc.find(tag::MessageStatus)) {
                EXPECT_EQ(cell.value, Bytes(4, 0));  // Outlook's default, in the row only
                continue;
            }
            const mapi::Property* same = pc.find(cell.tag);
            if (!same && cell.type() == mapi::PT_UNICODE) {
                // An 8-bit value fills the Unicode column, decoded.
                const auto* eight = pc.find(mapi::makeTag(cell.id(), mapi::PT_STRING8));
                ASSERT_NE(eight, nullptr) << std::hex << cell.tag;
                const std::string_view bytes(reinterpret_cast<const char*>(eight->value.data()),
                                             eight->value.size());
                EXPECT_EQ(mapi::utf16FromLE(cell.value), mapi::decodeCodePage(bytes, codePage));
                continue;
            }
            ASSERT_NE(same, nullptr) << std::hex << cell.tag;
            EXPECT_EQ(cell.value, same->value) << std::hex << cell.tag;
        }
        // Every template column the message has is in its row.
        for (const auto& p : pc) {
            if (table->findColumn(p.tag)) {
                EXPECT_TRUE(row.find(p.tag)) << std::hex << p.tag;
            }
        }
    }
    // The prefix marker: readers split prefix and subject exactly.
    const auto five = pst->propertyContext(nids[5])->properties();
    EXPECT_EQ(mapi::utf16FromLE(five.find(tag::Subject)->value), u"\x01\x05RE: Row 5");
    EXPECT_EQ(read::readableSubject(five), "RE: Row 5");

    const auto props = pst->folderProperties(folder);
    EXPECT_EQ(props.int32(tag::ContentCount), 40);
    EXPECT_EQ(props.int32(tag::ContentUnreadCount), 10);
}

TEST_F(StoreRoundTrip, NamedPropertiesShareOneMapAcrossMessages) {
    const auto path = dir_ / "named.pst";
    auto store = Store::create(path, "Named");
    const Nid folder = store->addFolder(store->ipmSubtree(), "Named");
    const auto custom = *mapi::Guid::parse("{AAAABBBB-CCCC-DDDD-EEEE-FFFF00001111}");
    std::vector<Nid> nids;
    for (int i = 0; i < 3; ++i) {
        mapi::Message m = qm::testing::makeMessage({});
        // The same name under different local ids in each source message.
        mapi::Property p = mapi::Property::utf8(
            mapi::makeTag(uint16_t(0x8000 + i * 17), mapi::PT_UNICODE), "v" + std::to_string(i));
        p.named = std::make_shared<mapi::NamedKey>(mapi::NamedKey::byName(custom, u"x-shared"));
        m.props.set(p);
        mapi::Property cats(mapi::Property::raw(mapi::makeTag(0x8005, mapi::PT_MV_UNICODE), {}));
        cats.items = {mapi::utf16ToLE(u"Blue category")};
        cats.named = std::make_shared<mapi::NamedKey>(
            mapi::NamedKey::byName(mapi::PS_PUBLIC_STRINGS, u"Keywords"));
        m.props.set(cats);
        nids.push_back(store->addMessage(folder, m));
    }
    store->close();

    auto pst = read::PstFile::open(path);
    std::set<uint16_t> idsSeen;
    for (Nid nid : nids) {
        const auto raw = pst->propertyContext(nid)->properties();  // ids as stored
        for (const auto& p : raw) {
            if (p.id() < 0x8000) continue;
            const auto key = pst->nameMap().find(p.id());
            ASSERT_NE(key, nullptr) << std::hex << p.tag;
            if (key->isString && key->name == u"x-shared") idsSeen.insert(p.id());
            // Categories take Outlook's id for Keywords in a new store.
            if (key->isString && key->name == u"Keywords") {
                EXPECT_EQ(p.id(), 0x8013);
            }
        }
    }
    EXPECT_EQ(idsSeen.size(), 1u);
    EXPECT_GE(*idsSeen.begin(), 0x8023);
}
