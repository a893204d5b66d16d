// A new store of ours against the one Outlook writes for a new data file
// (Empty.pst in the shared golden files), node by node, property by
// property, column by column and row by row. Every difference allowed here
// is one docs/pst-format.md lists with its reason.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "mapi/tags.h"
#include "pst/read/bth.h"
#include "pst/read/pst_file.h"
#include "pst/store/store.h"
#include "store_test.h"

using namespace qm;
using namespace qm::pst;
using namespace qm::pst::storetest;

namespace {

// 0xF01, the search indexer's descriptor: its two GUIDs and its time are
// the indexer's own, new in ours (docs/pst-format.md).
constexpr Nid kIndexDescriptor = 0xF01;
constexpr size_t kIndexerGuids = 0x28, kIndexerGuidsEnd = 0x48;
constexpr size_t kIndexerTime = 0x50, kIndexerTimeEnd = 0x58;

// Store properties that are new random values in every store; the entry
// ids differ only in the UID (bytes 4-19).
const std::set<mapi::PropTag> kRandomStoreProps = {0x0E340102, 0x0FF90102};
const std::set<mapi::PropTag> kEntryIdProps = {0x35E00102, 0x35E30102, 0x35E60102, 0x35E70102};

enum class Kind { Empty, PropertyContext, Table, Other };

Kind kindOf(const read::NodeDatabase& db, const read::NbtEntry& n) {
    if (n.bidData == 0) return Kind::Empty;
    const Bytes data = db.readStream(n.bidData);
    if (data.size() >= 4 && data[2] == 0xEC) {
        if (data[3] == 0xBC) return Kind::PropertyContext;
        if (data[3] == 0x7C) return Kind::Table;
    }
    return Kind::Other;
}

std::map<mapi::PropTag, mapi::Property> byTag(const mapi::PropertyBag& bag) {
    std::map<mapi::PropTag, mapi::Property> out;
    for (const auto& p : bag) out[p.tag] = p;
    return out;
}

// The records of a name-to-id string stream: {length, UTF-16LE name}, each
// starting on a 4-byte boundary.
std::vector<Bytes> stringRecords(const Bytes& stream) {
    std::vector<Bytes> out;
    size_t at = 0;
    while (at + 4 <= stream.size()) {
        const uint32_t len = loadLE32(stream.data() + at);
        if (at + 4 + len > stream.size()) break;
        out.emplace_back(stream.begin() + at, stream.begin() + at + 4 + len);
        at = (at + 4 + len + 3) / 4 * 4;
    }
    return out;
}

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", v);
    return buf;
}

}  // namespace

class EmptyStore : public ::testing::Test {
  protected:
    void SetUp() override {
        golden_ = golden("Empty.pst");
        if (golden_.empty()) {
            GTEST_SKIP() << "Empty.pst not found under $QM_SHARED_DIR/pst-samples; "
                            "the comparison with Outlook's new store is skipped";
        }
        // The golden store is called "Empty": give ours the same name so the
        // display name compares equal too.
        auto store = Store::create(dir_ / "ours.pst", "Empty");
        store->close();
        outlook_ = read::PstFile::open(golden_);
        ours_ = read::PstFile::open(dir_ / "ours.pst");
    }

    ScratchDir dir_;
    std::filesystem::path golden_;
    std::unique_ptr<read::PstFile> outlook_, ours_;
};

TEST_F(EmptyStore, NodesHeaderAndFolderTreeAreOutlooks) {
    std::map<Nid, read::NbtEntry> ours;
    for (const auto& n : ours_->ndb().nodes()) ours[n.nid] = n;
    std::set<Nid> seen;
    for (const auto& n : outlook_->ndb().nodes()) {
        seen.insert(n.nid);
        auto it = ours.find(n.nid);
        ASSERT_NE(it, ours.end()) << "node " << hex(n.nid) << " missing";
        EXPECT_EQ(it->second.nidParent, n.nidParent) << hex(n.nid);
        EXPECT_EQ(kindOf(ours_->ndb(), it->second), kindOf(outlook_->ndb(), n)) << hex(n.nid);
        EXPECT_EQ(it->second.bidSub != 0, n.bidSub != 0) << hex(n.nid);
    }
    for (const auto& [nid, n] : ours) EXPECT_TRUE(seen.count(nid)) << "extra node " << hex(nid);
    const auto& a = outlook_->ndb().header();
    const auto& b = ours_->ndb().header();
    for (int i = 0; i < 32; ++i) EXPECT_EQ(b.rgnid[i], a.rgnid[i]) << "rgnid[" << i << "]";
    EXPECT_EQ(b.cryptMethod, a.cryptMethod);
    EXPECT_EQ(b.version, 23);
    EXPECT_EQ(b.root.amapValid, 2);

    auto names = [](const read::PstFile& pst, Nid folder) {
        std::vector<std::string> out;
        for (const auto& f : pst.childFolders(folder)) out.push_back(f.name);
        return out;
    };
    EXPECT_EQ(names(*ours_, 0x122), names(*outlook_, 0x122));
    EXPECT_EQ(names(*ours_, 0x8022), names(*outlook_, 0x8022));
    EXPECT_EQ(ours_->displayName(), "Empty");
    EXPECT_EQ(ours_->nameMap().size(), outlook_->nameMap().size());
}

TEST_F(EmptyStore, PropertyContextsHoldOutlooksProperties) {
    const mapi::PropertyBag storeProps = ours_->storeProperties();
    const auto* keyProp = storeProps.find(mapi::makeTag(0x0FF9, mapi::PT_BINARY));
    const Bytes key = keyProp ? keyProp->value : Bytes{};
    ASSERT_EQ(key.size(), 16u);
    for (const auto& n : outlook_->ndb().nodes()) {
        if (kindOf(outlook_->ndb(), n) != Kind::PropertyContext) {
            continue;
        }
        SCOPED_TRACE("node " + hex(n.nid));
        const auto expected = byTag(outlook_->propertyContext(n.nid)->properties());
        const auto actual = byTag(ours_->propertyContext(n.nid)->properties());
        std::set<mapi::PropTag> tagsA, tagsB;
        for (const auto& [t, p] : expected) tagsA.insert(t);
        for (const auto& [t, p] : actual) tagsB.insert(t);
        EXPECT_EQ(tagsB, tagsA);
        for (const auto& [t, p] : expected) {
            auto it = actual.find(t);
            if (it == actual.end()) continue;
            const Bytes& got = it->second.value;
            if (n.nid == 0x21 && kRandomStoreProps.count(t)) {
                EXPECT_EQ(got.size(), p.value.size()) << hex(t);
                continue;
            }
            if (n.nid == 0x21 && kEntryIdProps.count(t)) {
                ASSERT_EQ(got.size(), 24u) << hex(t);
                EXPECT_EQ(Bytes(got.begin(), got.begin() + 4), Bytes(4, 0)) << hex(t);
                EXPECT_EQ(Bytes(got.begin() + 4, got.begin() + 20), key) << hex(t);
                EXPECT_EQ(Bytes(got.begin() + 20, got.end()),
                          Bytes(p.value.begin() + 20, p.value.end()))
                    << hex(t);
                continue;
            }
            if (n.nid == 0x61 && t == 0x00040102) {
                // Outlook leaves the padding after each name uninitialised;
                // ours is zero. Compare the records themselves.
                EXPECT_EQ(stringRecords(got), stringRecords(p.value));
                continue;
            }
            EXPECT_EQ(got, p.value) << hex(t);
            EXPECT_EQ(it->second.items, p.items) << hex(t);
        }
    }
    // The version history keeps Outlook's shape: 1, a GUID, 1.
    const auto* vh = storeProps.find(0x0E340102);
    ASSERT_NE(vh, nullptr);
    EXPECT_EQ(loadLE32(vh->value.data()), 1u);
    EXPECT_EQ(loadLE32(vh->value.data() + 20), 1u);
}

TEST_F(EmptyStore, TablesHaveOutlooksColumnsAndRows) {
    for (const auto& n : outlook_->ndb().nodes()) {
        if (kindOf(outlook_->ndb(), n) != Kind::Table) continue;
        SCOPED_TRACE("table " + hex(n.nid));
        const auto expected = outlook_->table(n.nid);
        const auto actual = ours_->table(n.nid);
        std::set<uint32_t> colsA, colsB;
        for (const auto& c : expected->columns()) colsA.insert(c.tag);
        for (const auto& c : actual->columns()) colsB.insert(c.tag);
        EXPECT_EQ(colsB, colsA);
        ASSERT_EQ(actual->rowCount(), expected->rowCount());
        for (size_t r = 0; r < expected->rowCount(); ++r) {
            EXPECT_EQ(actual->rowId(r), expected->rowId(r)) << "row " << r;
            auto a = byTag(expected->rowProperties(r));
            auto b = byTag(actual->rowProperties(r));
            a.erase(ndb::kPidTagLtpRowVer);  // our row versions count our own way
            b.erase(ndb::kPidTagLtpRowVer);
            ASSERT_EQ(b.size(), a.size()) << "row " << r;
            for (const auto& [t, p] : a) {
                ASSERT_TRUE(b.count(t)) << "row " << r << " lacks " << hex(t);
                EXPECT_EQ(b[t].value, p.value) << "row " << r << " " << hex(t);
            }
        }
    }
}

// Heaps allocated in Outlook's order: the same structures at the same HIDs
// and the same allocations in each block, but for our empty values, which
// are zero-length allocations where Outlook writes HNID 0.
TEST_F(EmptyStore, HeapsAreLaidOutLikeOutlooks) {
    auto allocations = [](const read::Heap& h) {
        std::vector<size_t> out;
        for (size_t b = 0; b < h.blockCount(); ++b) {
            const auto& at = h.pageMap(b).offsets;
            size_t n = 0;
            for (size_t i = 1; i < at.size(); ++i) n += at[i] > at[i - 1];
            out.push_back(n);
        }
        return out;
    };
    for (const auto& n : outlook_->ndb().nodes()) {
        const Kind kind = kindOf(outlook_->ndb(), n);
        if ((kind != Kind::PropertyContext && kind != Kind::Table)) continue;
        SCOPED_TRACE("node " + hex(n.nid));
        if (kind == Kind::PropertyContext) {
            const auto a = outlook_->propertyContext(n.nid);
            const auto b = ours_->propertyContext(n.nid);
            EXPECT_EQ(b->node().heap().userRoot(), a->node().heap().userRoot());
            EXPECT_EQ(b->bth().rootHid(), a->bth().rootHid());
            EXPECT_EQ(allocations(b->node().heap()), allocations(a->node().heap()));
        } else {
            const auto a = outlook_->table(n.nid);
            const auto b = ours_->table(n.nid);
            EXPECT_EQ(b->node().heap().userRoot(), a->node().heap().userRoot());
            EXPECT_EQ(b->hidRowIndex(), a->hidRowIndex());
            EXPECT_EQ(read::Bth(b->node().heap(), b->hidRowIndex()).rootHid(),
                      read::Bth(a->node().heap(), a->hidRowIndex()).rootHid());
            EXPECT_EQ(b->hnidRows(), a->hnidRows());
            EXPECT_EQ(allocations(b->node().heap()), allocations(a->node().heap()));
        }
    }
}

TEST_F(EmptyStore, OtherNodesAreOutlooksBytes) {
    for (const auto& n : outlook_->ndb().nodes()) {
        if (kindOf(outlook_->ndb(), n) != Kind::Other) continue;
        SCOPED_TRACE("node " + hex(n.nid));
        const auto* mine = ours_->ndb().findNode(n.nid);
        ASSERT_NE(mine, nullptr);
        Bytes a = outlook_->ndb().readStream(n.bidData);
        Bytes b = ours_->ndb().readStream(mine->bidData);
        if (n.nid == kIndexDescriptor && a.size() == b.size() && a.size() >= kIndexerTimeEnd) {
            EXPECT_NE(Bytes(b.begin() + kIndexerGuids, b.begin() + kIndexerGuidsEnd),
                      Bytes(a.begin() + kIndexerGuids, a.begin() + kIndexerGuidsEnd));
            EXPECT_GT(loadLE64(b.data() + kIndexerTime), loadLE64(a.data() + kIndexerTime));
            for (auto [from, to] : {std::pair{kIndexerGuids, kIndexerGuidsEnd},
                                    std::pair{kIndexerTime, kIndexerTimeEnd}}) {
                std::fill(a.begin() + long(from), a.begin() + long(to), 0);
                std::fill(b.begin() + long(from), b.begin() + long(to), 0);
            }
        }
        EXPECT_EQ(b, a);
    }
}
