// Heap-on-node and BTH: many pages, changes that rewrite only what changed,
// and index levels, read back by the builders and by the reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "ltp_test_util.h"
#include "pst/ltp/bth_builder.h"
#include "pst/ltp/heap_builder.h"
#include "pst/read/bth.h"
#include "pst/read/heap.h"
#include "pst/read/ltp_node.h"

namespace qm::pst::ltp {
namespace {

using testing::pattern;
using testing::Scratch;

TEST(LtpHeap, ManyPagesRoundTrip) {
    Scratch s;
    HeapBuilder heap(*s.w, ndb::bTypePC);
    std::mt19937 rng(3);
    std::map<Hid, Bytes> model;
    for (int i = 0; i < 4000; ++i) {
        Bytes b = pattern(rng() % 700, uint32_t(i));
        model[heap.allocate(b)] = b;
    }
    model[heap.allocate(pattern(ndb::kMaxHeapAllocation, 1))] = pattern(ndb::kMaxHeapAllocation, 1);
    EXPECT_THROW(heap.allocate(Bytes(ndb::kMaxHeapAllocation + 1)), std::logic_error);
    heap.setUserRoot(model.begin()->first);
    EXPECT_GT(heap.pageCount(), 136u) << "past the second bitmap page";
    Bid root = heap.flush();
    s.w->setNode({0x21, root, 0, 0});
    auto db = s.commitAndRead();
    read::LtpNode node(db, root, 0, "heap");
    EXPECT_EQ(node.heap().clientSig(), ndb::bTypePC);
    EXPECT_EQ(node.heap().userRoot(), model.begin()->first);
    for (const auto& [hid, b] : model) {
        auto item = node.heap().item(hid);
        ASSERT_EQ(Bytes(item.begin(), item.end()), b) << hid;
    }
    auto reopened = HeapBuilder::open(*s.w, root);
    EXPECT_EQ(reopened->pageCount(), heap.pageCount());
    for (const auto& [hid, b] : model) ASSERT_EQ(reopened->read(hid), b);
}

// Fill levels told in the headers of blocks 0 and 8 + 128k, each as the
// block's free space gives it.
void expectTrueFillLevels(const read::Heap& heap) {
    auto level = [](uint32_t freeBytes) {
        static constexpr uint32_t kAtLeast[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768,
                                                512,  256,  128,  64,   32,   16,   8};
        for (uint8_t i = 0; i < 15; ++i)
            if (freeBytes >= kAtLeast[i]) return i;
        return uint8_t(0xF);
    };
    auto check = [&](const uint8_t* levels, size_t first, size_t count) {
        for (size_t k = 0; k < count && first + k < heap.blockCount(); ++k) {
            const uint8_t stored = (levels[k / 2] >> (4 * (k % 2))) & 0x0F;
            EXPECT_EQ(stored, level(uint32_t(ndb::kMaxBlockData - heap.block(first + k).size())))
                << "block " << first + k;
        }
    };
    check(heap.headerFillLevel(), 0, 8);
    for (size_t b = 8; b < heap.blockCount(); b += 128) check(heap.block(b).data() + 2, b, 128);
}

TEST(LtpHeap, FillLevelsStayTrueWhenEarlierBitmapPagesWereLeftOnDisk) {
    // A growing heap flushed again and again, as a folder's contents table
    // is at every commit: a flush keeps only the last fill-level page in
    // memory, so a change below an earlier one reads that page back.
    Scratch s;
    HeapBuilder heap(*s.w, ndb::bTypeTC);
    std::map<Hid, Bytes> model;
    auto flushAndCheck = [&] {
        const Bid root = heap.flush();
        s.w->setNode({0x21, root, 0, 0});
        auto db = s.commitAndRead();
        read::LtpNode node(db, root, 0, "heap");
        expectTrueFillLevels(node.heap());
        for (const auto& [hid, b] : model) {
            auto item = node.heap().item(hid);
            ASSERT_EQ(Bytes(item.begin(), item.end()), b) << hid;
        }
    };
    uint32_t seed = 0;
    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < 1000; ++i) {
            Bytes b = pattern(290, ++seed);
            model[heap.allocate(b)] = b;
        }
        flushAndCheck();
    }
    ASSERT_GT(heap.pageCount(), 140u) << "past the second fill-level page";

    // Room made in blocks whose levels the first bitmap page (block 8) holds,
    // and values grown in others: their levels change.
    int n = 0;
    for (auto it = model.begin(); it != model.end();) {
        const uint32_t block = ndb::hidBlock(it->first);
        if (block >= 9 && block <= 60 && n++ % 3 == 0) {
            heap.free(it->first);
            it = model.erase(it);
        } else {
            ++it;
        }
    }
    flushAndCheck();
    std::map<Hid, Bytes> moved;
    n = 0;
    for (auto it = model.begin(); it != model.end();) {
        const uint32_t block = ndb::hidBlock(it->first);
        if (block >= 70 && block <= 130 && n++ % 5 == 0) {
            Bytes b = pattern(900, ++seed);
            moved[heap.replace(it->first, b)] = b;
            it = model.erase(it);
        } else {
            ++it;
        }
    }
    model.merge(moved);
    flushAndCheck();
}

TEST(LtpHeap, ChangesRewriteOnlyTheirPagesAndKeepHids) {
    Scratch s;
    HeapBuilder heap(*s.w, ndb::bTypeTC);
    std::vector<Hid> hids;
    for (int i = 0; i < 600; ++i) hids.push_back(heap.allocate(pattern(300, uint32_t(i))));
    Bid v1 = heap.flush();
    s.w->setNode({0x21, v1, 0, 0});
    s.commitAndRead();
    auto before = s.w->dataTreeBlocks(v1);

    auto h = HeapBuilder::open(*s.w, v1);
    Hid mid = hids[300];
    uint32_t page = ndb::hidBlock(mid);
    ASSERT_GT(page, 8u);
    EXPECT_EQ(h->replace(mid, pattern(10, 77)), mid) << "a smaller value stays in place";
    h->free(hids[301]);
    Hid big = h->replace(hids[302], pattern(3000, 78));  // no room in its page: moves
    EXPECT_NE(big, hids[302]);
    Bid v2 = h->flush();
    s.w->setNode({0x21, v2, 0, 0});
    auto db = s.commitAndRead();
    auto after = s.w->dataTreeBlocks(v2);
    ASSERT_GE(after.size(), before.size());
    size_t changed = 0;
    for (size_t i = 0; i < before.size(); ++i) changed += before[i] != after[i];
    EXPECT_LE(changed, 3u) << "the changed page, its fill-level page, maybe the last page";
    EXPECT_NE(before[page], after[page]);

    read::LtpNode node(db, v2, 0, "heap");
    auto item = node.heap().item(mid);
    EXPECT_EQ(Bytes(item.begin(), item.end()), pattern(10, 77));
    EXPECT_EQ(node.heap().item(hids[301]).size(), 0u);
    item = node.heap().item(big);
    EXPECT_EQ(Bytes(item.begin(), item.end()), pattern(3000, 78));
    item = node.heap().item(hids[599]);
    EXPECT_EQ(Bytes(item.begin(), item.end()), pattern(300, 599));
    // Nothing changed: the same tree.
    auto h2 = HeapBuilder::open(*s.w, v2);
    EXPECT_EQ(h2->flush(), v2);
}

TEST(LtpHeap, RoomLeftByAFreedItemIsFilledFirst) {
    Scratch s;
    HeapBuilder heap(*s.w, ndb::bTypeTC);
    std::vector<Hid> hids;
    for (int i = 0; i < 60; ++i) hids.push_back(heap.allocate(pattern(1000, uint32_t(i))));
    ASSERT_GT(heap.pageCount(), 5u);
    heap.free(hids[10]);  // 1000 bytes free in an early page
    Hid a = heap.allocate(pattern(600, 100));
    EXPECT_EQ(ndb::hidBlock(a), ndb::hidBlock(hids[10]));
    Hid b = heap.allocate(pattern(600, 101));  // does not fit there any more
    EXPECT_EQ(ndb::hidBlock(b), heap.pageCount() - 1);
    Bid root = heap.flush();
    s.w->setNode({0x21, root, 0, 0});
    auto db = s.commitAndRead();
    read::LtpNode node(db, root, 0, "heap");
    auto item = node.heap().item(a);
    EXPECT_EQ(Bytes(item.begin(), item.end()), pattern(600, 100));
    item = node.heap().item(hids[11]);
    EXPECT_EQ(Bytes(item.begin(), item.end()), pattern(1000, 11));
}

TEST(LtpHeap, AFullPageTakesItsLastByteAndKeepsSameSizeItemsInPlace) {
    Scratch s;
    HeapBuilder heap(*s.w, ndb::bTypePC);
    // HNHDR 12 + items 8152 + cAlloc/cFree 4 + four offsets 8 = 8176.
    Hid a = heap.allocate(pattern(3580, 1));
    Hid b = heap.allocate(pattern(3580, 2));
    Hid c = heap.allocate(pattern(992, 3));
    EXPECT_EQ(heap.pageCount(), 1u);
    EXPECT_EQ(heap.replace(a, pattern(3580, 4)), a);
    EXPECT_EQ(heap.replace(c, pattern(991, 5)), c);
    EXPECT_EQ(heap.replace(c, pattern(992, 6)), c);
    Hid d = heap.allocate(pattern(1, 7));
    EXPECT_EQ(ndb::hidBlock(d), 1u);
    Bid root = heap.flush();
    s.w->setNode({0x21, root, 0, 0});
    auto db = s.commitAndRead();
    read::LtpNode node(db, root, 0, "heap");
    EXPECT_EQ(node.heap().block(0).size(), ndb::kMaxBlockData);
    auto item = node.heap().item(b);
    EXPECT_EQ(Bytes(item.begin(), item.end()), pattern(3580, 2));
    item = node.heap().item(c);
    EXPECT_EQ(Bytes(item.begin(), item.end()), pattern(992, 6));
}

Bytes key32(uint32_t v) {
    Bytes b;
    appendLE32(b, v);
    return b;
}

TEST(LtpBth, BulkAndIncrementalWithIndexLevels) {
    Scratch s;
    HeapBuilder heap(*s.w, ndb::bTypeBTH);
    Bytes records;  // packed, 8 bytes each
    for (uint32_t k = 0; k < 5000; ++k) {
        appendLE32(records, k * 3);
        appendLE32(records, k);
    }
    Hid bulk = BthBuilder::build(heap, 4, 4, records);
    BthBuilder inc = BthBuilder::create(heap, 4, 4);
    std::mt19937 rng(5);
    std::map<uint32_t, uint32_t> model;
    for (int i = 0; i < 4000; ++i) {
        uint32_t k = i < 2000 ? uint32_t(i) : uint32_t(rng() % 100000);  // growing, then random
        model[k] = uint32_t(i);
        inc.insert(key32(k), key32(uint32_t(i)));
    }
    EXPECT_GE(inc.indexLevels(), 1u);
    EXPECT_EQ(inc.count(), model.size());
    for (const auto& [k, v] : model) ASSERT_EQ(inc.find(key32(k)), key32(v)) << k;
    EXPECT_FALSE(inc.find(key32(100001)));
    heap.setUserRoot(inc.header());
    Bid root = heap.flush();
    s.w->setNode({0x21, root, 0, 0});
    auto db = s.commitAndRead();
    read::LtpNode node(db, root, 0, "bth");
    read::Bth a(node.heap(), bulk);
    ASSERT_EQ(a.records().size() * 8, records.size());
    EXPECT_EQ(a.indexLevels(), 1u);
    for (size_t i = 0; i < a.records().size(); ++i) {
        Bytes r(a.records()[i].key.begin(), a.records()[i].key.end());
        r.insert(r.end(), a.records()[i].data.begin(), a.records()[i].data.end());
        ASSERT_EQ(r, Bytes(records.begin() + long(i * 8), records.begin() + long(i * 8 + 8)));
    }
    read::Bth b(node.heap(), inc.header());
    ASSERT_EQ(b.records().size(), model.size());
    auto it = model.begin();
    for (const auto& rec : b.records()) {
        ASSERT_EQ(loadLE32(rec.key.data()), it->first);
        ASSERT_EQ(loadLE32(rec.data.data()), it->second);
        ++it;
    }
}

// Appending in batches of any size, onto a tree insert() started, gives the
// tree the whole run would build at once, up to two index levels.
TEST(LtpBth, AppendedBatchesMatchTheBulkBuild) {
    Scratch s;
    HeapBuilder heap(*s.w, ndb::bTypeBTH);
    BthBuilder inc = BthBuilder::create(heap, 4, 4);
    inc.insert(key32(0), key32(0));
    Bytes all = key32(0);
    all.insert(all.end(), 4, 0);
    uint32_t next = 1;
    for (uint32_t batch : {1u, 445u, 1u, 2u, 3000u, 196000u, 1u, 447u, 5000u}) {
        Bytes records;
        for (uint32_t i = 0; i < batch; ++i, ++next) {
            appendLE32(records, next * 2);
            appendLE32(records, next);
        }
        inc.append(records);
        all.insert(all.end(), records.begin(), records.end());
        ASSERT_EQ(inc.lastKey(), key32((next - 1) * 2));
    }
    EXPECT_THROW(inc.append(Bytes(all.end() - 8, all.end())), std::logic_error);
    EXPECT_EQ(inc.indexLevels(), 2u);
    EXPECT_EQ(inc.find(key32(2 * 199999)), key32(199999));
    Hid bulk = BthBuilder::build(heap, 4, 4, all);
    heap.setUserRoot(inc.header());
    Bid root = heap.flush();
    s.w->setNode({0x21, root, 0, 0});
    auto db = s.commitAndRead();
    read::LtpNode node(db, root, 0, "bth");
    read::Bth a(node.heap(), bulk), b(node.heap(), inc.header());
    EXPECT_EQ(b.indexLevels(), a.indexLevels());
    ASSERT_EQ(b.records().size() * 8, all.size());
    for (size_t i = 0; i < b.records().size(); ++i) {
        ASSERT_TRUE(std::ranges::equal(b.records()[i].key, a.records()[i].key)) << i;
        ASSERT_TRUE(std::ranges::equal(b.records()[i].data, a.records()[i].data)) << i;
    }
}

}  // namespace
}  // namespace qm::pst::ltp
