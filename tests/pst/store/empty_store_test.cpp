// A new store of ours against the one Outlook writes for a new data file
// (Empty.pst in the shared golden files), node by node, property by
// property, column by column and row by row. Every difference allowed here
// is one docs/pst-format.md lists with its reason.
#include <gtest/gtest.h>

#include "pst/pst_test.h"
#include "pst/read/bth.h"
#include "pst/store/store.h"

namespace qm::pst {
namespace {

using namespace qm::pst::testing;
using read::hex;

const std::set<mapi::PropTag> kEntryIds = {0x35E00102, 0x35E30102, 0x35E60102, 0x35E70102};

enum class Kind { Empty, PropertyContext, Table, Other };

Kind kindOf(const read::NodeDatabase& db, const read::NbtEntry& n) {
    if (n.bidData == 0) return Kind::Empty;
    const Bytes data = db.readStream(n.bidData);
    if (data.size() < 4 || data[2] != 0xEC) return Kind::Other;
    return data[3] == 0xBC ? Kind::PropertyContext : data[3] == 0x7C ? Kind::Table : Kind::Other;
}

std::map<mapi::PropTag, mapi::Property> byTag(const mapi::PropertyBag& bag) {
    std::map<mapi::PropTag, mapi::Property> out;
    for (const auto& p : bag) out[p.tag] = p;
    return out;
}

// The records of a name-to-id string stream: {length, UTF-16LE name}, each
// starting on a 4-byte boundary.
std::vector<Bytes> stringRecords(const Bytes& s) {
    std::vector<Bytes> out;
    for (size_t at = 0; at + 4 <= s.size() && at + 4 + loadLE32(&s[at]) <= s.size();
         at = (at + 4 + loadLE32(&s[at]) + 3) / 4 * 4)
        out.emplace_back(s.begin() + at, s.begin() + at + 4 + loadLE32(&s[at]));
    return out;
}

// The heap's user root, then how many allocations each block holds.
std::vector<size_t> layout(const read::Heap& h) {
    std::vector<size_t> out = {h.userRoot()};
    for (size_t b = 0; b < h.blockCount(); ++b) {
        const auto& at = h.pageMap(b).offsets;
        size_t n = 0;
        for (size_t i = 1; i < at.size(); ++i) n += at[i] > at[i - 1];
        out.push_back(n);
    }
    return out;
}

class EmptyStore : public ::testing::Test {
  protected:
    void SetUp() override {
        QM_REQUIRE_GOLDEN(golden, "Empty.pst");
        // Named as Outlook's is, so the display names compare equal too.
        Store::create(dir_ / "ours.pst", "Empty")->close();
        outlook_ = read::PstFile::open(golden);
        ours_ = read::PstFile::open(dir_ / "ours.pst");
    }
    // Calls `each` for every node of Outlook's of the kind, with ours.
    template <typename F>
    void forEach(Kind kind, F each) {
        for (const auto& n : outlook_->ndb().nodes()) {
            if (kindOf(outlook_->ndb(), n) != kind) continue;
            SCOPED_TRACE("node " + hex(n.nid));
            each(n);
        }
    }
    ScratchDir dir_;
    std::unique_ptr<read::PstFile> outlook_, ours_;
};

TEST_F(EmptyStore, NodesHeaderAndFolderTreeAreOutlooks) {
    std::map<Nid, read::NbtEntry> ours;
    for (const auto& n : ours_->ndb().nodes()) ours[n.nid] = n;
    for (const auto& n : outlook_->ndb().nodes()) {
        const auto it = ours.find(n.nid);
        ASSERT_NE(it, ours.end()) << "node " << hex(n.nid) << " missing";
        EXPECT_EQ(it->second.nidParent, n.nidParent) << hex(n.nid);
        EXPECT_EQ(kindOf(ours_->ndb(), it->second), kindOf(outlook_->ndb(), n)) << hex(n.nid);
        EXPECT_EQ(it->second.bidSub != 0, n.bidSub != 0) << hex(n.nid);
        ours.erase(it);
    }
    EXPECT_TRUE(ours.empty()) << "extra node " << hex(ours.begin()->first);
    const auto& a = outlook_->ndb().header();
    const auto& b = ours_->ndb().header();
    for (int i = 0; i < 32; ++i) EXPECT_EQ(b.rgnid[i], a.rgnid[i]) << "rgnid[" << i << "]";
    EXPECT_EQ(b.cryptMethod, a.cryptMethod);
    EXPECT_EQ(b.version, 23);
    EXPECT_EQ(b.root.amapValid, 2);
    EXPECT_EQ(ours_->nameMap().size(), outlook_->nameMap().size());
}

TEST_F(EmptyStore, PropertyContextsAndTablesHoldOutlooksValues) {
    const auto storeProps = ours_->storeProperties();
    const Bytes key = storeProps.find(0x0FF90102) ? storeProps.find(0x0FF90102)->value : Bytes{};
    ASSERT_EQ(key.size(), 16u);
    forEach(Kind::PropertyContext, [&](const read::NbtEntry& n) {
        const auto expected = byTag(outlook_->propertyContext(n.nid)->properties());
        auto actual = byTag(ours_->propertyContext(n.nid)->properties());
        for (const auto& [t, p] : expected) {
            ASSERT_TRUE(actual.count(t)) << "missing " << hex(t);
            const mapi::Property ours = actual[t];
            Bytes got = ours.value, want = p.value;
            actual.erase(t);
            if (n.nid == 0x21 && (t == 0x0E340102 || t == 0x0FF90102)) {
                // New random values in every store.
                EXPECT_EQ(got.size(), want.size()) << hex(t);
                continue;
            }
            if (n.nid == 0x21 && kEntryIds.count(t) && got.size() == 24) {
                // Entry ids: the store's UID where Outlook has its own.
                EXPECT_EQ(Bytes(got.begin() + 4, got.begin() + 20), key) << hex(t);
                std::copy(want.begin() + 4, want.begin() + 20, got.begin() + 4);
            }
            if (n.nid == 0x61 && t == 0x00040102) {
                // Outlook leaves the padding after each name uninitialised;
                // ours is zero. Compare the records themselves.
                EXPECT_EQ(stringRecords(got), stringRecords(want));
                continue;
            }
            EXPECT_EQ(got, want) << hex(t);
            EXPECT_EQ(ours.items, p.items) << hex(t);
        }
        EXPECT_TRUE(actual.empty()) << "extra " << hex(actual.begin()->first);
    });
    // The version history keeps Outlook's shape: 1, a GUID, 1.
    const auto* vh = storeProps.find(0x0E340102);
    ASSERT_NE(vh, nullptr);
    EXPECT_EQ(loadLE32(vh->value.data()), 1u);
    EXPECT_EQ(loadLE32(vh->value.data() + 20), 1u);

    forEach(Kind::Table, [&](const read::NbtEntry& n) {
        const auto expected = outlook_->table(n.nid);
        const auto actual = ours_->table(n.nid);
        std::set<uint32_t> cols[2];
        for (const auto& c : expected->columns()) cols[0].insert(c.tag);
        for (const auto& c : actual->columns()) cols[1].insert(c.tag);
        EXPECT_EQ(cols[1], cols[0]);
        ASSERT_EQ(actual->rowCount(), expected->rowCount());
        for (size_t r = 0; r < expected->rowCount(); ++r) {
            EXPECT_EQ(actual->rowId(r), expected->rowId(r)) << "row " << r;
            auto a = byTag(expected->rowProperties(r));
            auto b = byTag(actual->rowProperties(r));
            a.erase(ndb::kPidTagLtpRowVer);  // our row versions count our own way
            b.erase(ndb::kPidTagLtpRowVer);
            ASSERT_EQ(b.size(), a.size()) << "row " << r;
            for (const auto& [t, p] : a) EXPECT_EQ(b[t].value, p.value) << "row " << r << hex(t);
        }
    });
}

// Heaps allocated in Outlook's order: the same structures at the same HIDs
// and the same allocations in each block, but for our empty values, which
// are zero-length allocations where Outlook writes HNID 0.
TEST_F(EmptyStore, HeapsAndOtherNodesAreLaidOutLikeOutlooks) {
    forEach(Kind::PropertyContext, [&](const read::NbtEntry& n) {
        const auto a = outlook_->propertyContext(n.nid);
        const auto b = ours_->propertyContext(n.nid);
        EXPECT_EQ(layout(b->node().heap()), layout(a->node().heap()));
        EXPECT_EQ(b->bth().rootHid(), a->bth().rootHid());
    });
    forEach(Kind::Table, [&](const read::NbtEntry& n) {
        const auto a = outlook_->table(n.nid);
        const auto b = ours_->table(n.nid);
        EXPECT_EQ(layout(b->node().heap()), layout(a->node().heap()));
        EXPECT_EQ(b->hidRowIndex(), a->hidRowIndex());
        EXPECT_EQ(read::Bth(b->node().heap(), b->hidRowIndex()).rootHid(),
                  read::Bth(a->node().heap(), a->hidRowIndex()).rootHid());
        EXPECT_EQ(b->hnidRows(), a->hnidRows());
    });
    // The search indexer's descriptor (0xF01): its two GUIDs (0x28-0x48)
    // and its time (0x50-0x58) are the indexer's own, new in ours.
    forEach(Kind::Other, [&](const read::NbtEntry& n) {
        const auto* mine = ours_->ndb().findNode(n.nid);
        ASSERT_NE(mine, nullptr);
        Bytes a = outlook_->ndb().readStream(n.bidData);
        Bytes b = ours_->ndb().readStream(mine->bidData);
        if (n.nid == 0xF01 && a.size() == b.size() && a.size() >= 0x58) {
            EXPECT_NE(Bytes(b.begin() + 0x28, b.begin() + 0x48),
                      Bytes(a.begin() + 0x28, a.begin() + 0x48));
            EXPECT_GT(loadLE64(&b[0x50]), loadLE64(&a[0x50]));
            for (auto [from, to] : {std::pair{0x28, 0x48}, std::pair{0x50, 0x58}}) {
                std::fill(a.begin() + from, a.begin() + to, 0);
                std::fill(b.begin() + from, b.begin() + to, 0);
            }
        }
        EXPECT_EQ(b, a);
    });
}

}  // namespace
}  // namespace qm::pst
