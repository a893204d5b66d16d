// Messages written by the store and read back by our reader: every property
// equal except the ones the store computes (store_test.h), recipients,
// attachments of any size, embedded messages, named properties; the computed
// values (sizes, contents rows) checked against the file itself; and every
// readable .msg of the shared corpus (real files from other software:
// appointments, contacts, S/MIME, embedded messages, 8-bit and Unicode
// strings), one folder per corpus source, read back equal and read by
// libpff and libpst.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <set>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "mapi/tags.h"
#include "message_gen.h"
#include "msg/msg.h"
#include "pst/read/pst_file.h"
#include "pst/store/store.h"
#include "store_test.h"

using namespace qm;
using namespace qm::pst;
using namespace qm::pst::storetest;
namespace tag = mapi::tag;

namespace {

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
    expectClean(path);

    // Every reader reads the same store whole (embedded three deep, OLE, 300
    // recipients and attachments included).
    expectOtherReadersRead(path, {}, /*holdsMultipleGuid=*/true);
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
    expectClean(path);

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
        for (const auto& p : pc) {
            EXPECT_NE(p.type(), mapi::PT_STRING8) << std::hex << p.tag;
            EXPECT_NE(p.type(), mapi::PT_MV_STRING8) << std::hex << p.tag;
        }
        for (const auto& cell : row) {
            if (cell.tag == ndb::kPidTagLtpRowId || cell.tag == ndb::kPidTagLtpRowVer) continue;
            if (cell.tag == tag::MessageStatus && !pc.find(tag::MessageStatus)) {
                EXPECT_EQ(cell.value, Bytes(4, 0));  // Outlook's default, in the row only
                continue;
            }
            // Same type, same value: 8-bit sources are decoded for both.
            const mapi::Property* same = pc.find(cell.tag);
            ASSERT_NE(same, nullptr) << std::hex << cell.tag;
            EXPECT_EQ(cell.value, same->value) << std::hex << cell.tag;
        }
        const std::string cyrillic = r % 3 == 0 ? " Привет" : "";  // from cp1251 bytes
        EXPECT_EQ(read::readableSubject(pc),
                  (r == 5 ? "RE: Row 5" : "Row " + std::to_string(r)) + cyrillic);
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

namespace fs = std::filesystem;

namespace {

struct CorpusWritten {
    fs::path source;
    Nid folder = 0;
    Nid nid = 0;
};

}  // namespace

TEST(StoreCorpus, EveryReadableMessageOfTheCorpus) {
    const fs::path corpus = sharedDir() / "corpus";
    if (sharedDir().empty() || !fs::exists(corpus)) {
        GTEST_SKIP() << "no corpus at $QM_SHARED_DIR/corpus; skipped";
    }
    std::vector<fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(corpus)) {
        if (e.is_regular_file() && e.path().extension() == ".msg") files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());

    ScratchDir dir;
    const auto path = dir / "corpus.pst";
    auto store = Store::create(path, "Corpus");
    const Nid top = store->addFolder(store->ipmSubtree(), "Corpus");
    std::map<std::string, Nid> folders;
    std::map<Nid, size_t> perFolder;
    std::vector<CorpusWritten> written;
    size_t unreadable = 0;
    for (const auto& file : files) {
        mapi::Message m;
        try {
            m = msg::readMsgFile(file);
        } catch (const FormatError&) {
            ++unreadable;  // the corpus's broken files: the MSG tests cover them
            continue;
        }
        const std::string source = file.parent_path().filename().string();
        if (!folders.count(source)) folders[source] = store->addFolder(top, source);
        const Nid folder = folders[source];
        SCOPED_TRACE(file.string());
        Nid nid = 0;
        ASSERT_NO_THROW(nid = store->addMessage(folder, withTrueFlags(std::move(m))));
        written.push_back({file, folder, nid});
        ++perFolder[folder];
    }
    store->close();
    EXPECT_GT(written.size(), files.size() / 2) << unreadable << " unreadable";

    auto pst = read::PstFile::open(path);
    for (const auto& w : written) {
        SCOPED_TRACE(w.source.string());
        mapi::Message expected = withTrueFlags(msg::readMsgFile(w.source));
        mapi::Message actual = pst->readMessage(w.nid);
        normalize(expected, actual);
        EXPECT_EQ(qm::testing::diffMessages(expected, actual), "");
    }
    for (const auto& [folder, count] : perFolder) {
        EXPECT_EQ(pst->messageNids(folder).size(), count);
        EXPECT_EQ(pst->folderProperties(folder).int32(mapi::tag::ContentCount), int32_t(count));
    }
    expectClean(path);

    // The independent readers find every message. pffexport skips the item
    // kinds it cannot export (posts, say) and says so; every other message
    // must come out.
    ScratchDir out;
    if (const auto r = qm::testing::validators::pffexport(path, out.path()); r.ran()) {
        qm::testing::validators::expectClean(r);
        const std::string said = r.output + r.diagnostics;
        size_t skipped = 0;
        for (size_t at = said.find("Skipped item"); at != std::string::npos;
             at = said.find("Skipped item", at + 1)) {
            ++skipped;
        }
        const fs::path base = out / "export.export" / "Top of Outlook data file" / "Corpus";
        size_t exported = 0;
        for (const auto& [source, nid] : folders) {
            if (!fs::exists(base / source)) continue;
            for (const auto& e : fs::directory_iterator(base / source)) {
                const std::string n = e.path().filename().string();
                if (e.is_directory() && n.find("Folder") == std::string::npos) ++exported;
            }
        }
        EXPECT_EQ(exported + skipped, written.size()) << said.substr(0, 4000);
    }
    expectOtherReadersRead(path, "eajc");
}
