// The checker: Outlook's own Unicode files are clean, files our writer
// makes are clean, and damage of each kind the checker claims to see is
// reported (the damaged copies are made in a temp dir at test time).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>

#include "mapi/error.h"
#include "mapi/tags.h"
#include "pst/ndb/crc.h"
#include "pst/ndb/format.h"
#include "pst/read/checker.h"
#include "pst/read/pst_file.h"
#include "pst/read/table_context.h"
#include "read_test_util.h"

namespace qm::pst::read {
namespace {

using namespace readtest;

std::string joined(const CheckReport& r) {
    std::string s;
    for (const auto& f : r.findings) s += f.line() + "\n";
    return s;
}

bool mentions(const CheckReport& r, const std::string& text) {
    for (const auto& f : r.findings)
        if (f.line().find(text) != std::string::npos) return true;
    return false;
}

TEST(PstChecker, OutlookUnicodeSamplesAreClean) {
    for (const char* name : {"Empty.pst", "sample1.pst", "submessage.pst", "test_unicode.pst"}) {
        fs::path p = goldenFile(name);
        if (p.empty()) GTEST_SKIP() << "golden files not found (QM_SHARED_DIR/pst-samples)";
        CheckReport r = checkFile(p);
        EXPECT_TRUE(r.clean()) << name << "\n" << joined(r);
    }
}

TEST(PstChecker, AnsiAndNonPstFilesAreNotReadable) {
    fs::path ansi = goldenFile("test_ansi.pst");
    if (!ansi.empty()) {
        EXPECT_THROW(checkFile(ansi), FormatError);
    }
    ScratchDir dir;
    writeFile(dir / "text.pst", Bytes(1000, 'x'));
    EXPECT_THROW(checkFile(dir / "text.pst"), FormatError);
    writeFile(dir / "short.pst", Bytes{0x21, 0x42, 0x44, 0x4E});
    EXPECT_THROW(checkFile(dir / "short.pst"), FormatError);
    EXPECT_THROW(checkFile(dir / "absent.pst"), IoError);
}

// Damage to one golden file, one kind at a time.
class DamagedEmpty : public ::testing::Test {
  protected:
    void SetUp() override { load("Empty.pst"); }
    void load(const char* name) {
        golden_ = goldenFile(name);
        if (golden_.empty()) GTEST_SKIP() << "golden files not found (QM_SHARED_DIR/pst-samples)";
        bytes_ = readFile(golden_);
        db_ = NodeDatabase::open(golden_);
    }
    CheckReport checkWith(const Bytes& b) {
        writeFile(dir_ / "damaged.pst", b);
        return checkFile(dir_ / "damaged.pst");
    }
    // Rewrites the header CRCs so damage behind them is what gets seen.
    static void fixHeaderCrcs(Bytes& b) {
        storeLE32(&b[ndb::hdr::dwCRCPartial],
                  ndb::crc32(&b[ndb::kHeaderCrcStart], ndb::kHeaderCrcPartialSize));
        storeLE32(&b[ndb::hdr::dwCRCFull],
                  ndb::crc32(&b[ndb::kHeaderCrcStart], ndb::kHeaderCrcFullSize));
    }
    // Decodes the node's (single) data block, lets `edit` change it, and
    // writes it back encoded with a fresh CRC.
    template <class Edit>
    Bytes patchNode(Nid nid, Edit edit) {
        const NbtEntry& n = db_->node(nid);
        RawBlock raw = db_->readRawBlock(n.bidData);
        Bytes data = db_->readDataBlock(n.bidData);
        edit(data);
        Bytes b = bytes_;
        Bytes enc = encodeLikeFile(data, db_->header().cryptMethod);
        std::copy(enc.begin(), enc.end(), b.begin() + ptrdiff_t(raw.entry.ib));
        uint64_t trailer =
            raw.entry.ib + ndb::blockSizeOnDisk(raw.entry.cb) - ndb::kBlockTrailerSize;
        storeLE32(&b[trailer + ndb::btr::dwCRC], ndb::crc32(enc.data(), enc.size()));
        return b;
    }
    // The last place `needle` occurs (0 when nowhere).
    static size_t find(const Bytes& hay, const Bytes& needle) {
        auto it = std::find_end(hay.begin(), hay.end(), needle.begin(), needle.end());
        return it == hay.end() ? 0 : size_t(it - hay.begin());
    }
    static void fixPageCrc(Bytes& b, uint64_t ib) {
        storeLE32(&b[ib + ndb::ptr::dwCRC], ndb::crc32(&b[ib], ndb::kPageDataSize));
    }
    fs::path golden_;
    Bytes bytes_;
    std::shared_ptr<NodeDatabase> db_;
    ScratchDir dir_;
};

TEST_F(DamagedEmpty, HeaderCrcs) {
    Bytes b = bytes_;
    b[ndb::hdr::dwUnique] ^= 1;
    CheckReport r = checkWith(b);
    EXPECT_TRUE(mentions(r, "dwCRCPartial")) << joined(r);
    EXPECT_TRUE(mentions(r, "dwCRCFull")) << joined(r);
    b = bytes_;
    b[ndb::hdr::bidNextB] ^= 0x40;  // only the full CRC covers bidNextB
    r = checkWith(b);
    EXPECT_FALSE(mentions(r, "dwCRCPartial"));
    EXPECT_TRUE(mentions(r, "dwCRCFull"));
}

TEST_F(DamagedEmpty, HeaderFields) {
    Bytes b = bytes_;
    storeLE64(&b[ndb::hdr::bidNextB], 4);
    storeLE64(&b[ndb::hdr::bidNextP], 1);
    storeLE32(&b[ndb::hdr::rgnid + 4 * ndb::NID_TYPE_NORMAL_FOLDER], 0x10);
    storeLE64(&b[ndb::hdr::root + ndb::root::ibFileEof], bytes_.size() + 64);
    fixHeaderCrcs(b);
    CheckReport r = checkWith(b);
    EXPECT_TRUE(mentions(r, "bidNextB")) << joined(r);
    EXPECT_TRUE(mentions(r, "bidNextP")) << joined(r);
    EXPECT_TRUE(mentions(r, "rgnid[0x2]")) << joined(r);
    EXPECT_TRUE(mentions(r, "ibFileEof")) << joined(r);
}

TEST_F(DamagedEmpty, FreeSpaceCountAndMapValidity) {
    Bytes b = bytes_;
    uint64_t free = loadLE64(&b[ndb::hdr::root + ndb::root::cbAMapFree]);
    storeLE64(&b[ndb::hdr::root + ndb::root::cbAMapFree], free + 64);
    fixHeaderCrcs(b);
    CheckReport r = checkWith(b);
    EXPECT_TRUE(mentions(r, "cbAMapFree")) << joined(r);
    // With the maps declared invalid the same mismatch is only noted.
    b[ndb::hdr::root + ndb::root::fAMapValid] = 0;
    fixHeaderCrcs(b);
    r = checkWith(b);
    EXPECT_TRUE(r.clean()) << joined(r);
    EXPECT_FALSE(r.notes.empty());
    // A writer killed while rewriting the maps leaves them torn: still only notes.
    b[ndb::kFirstAMapOffset + 100] ^= 0xFF;
    b[ndb::kDListOffset + 7] ^= 0x01;
    r = checkWith(b);
    EXPECT_TRUE(r.clean()) << joined(r);
}

TEST_F(DamagedEmpty, AllocationMapBothWays) {
    Bytes b = bytes_;
    uint64_t amap = ndb::kFirstAMapOffset;
    // Find a block and mark its first slot free; find a free slot and mark it used.
    const BbtEntry& blk = db_->blocks().front();
    uint64_t slot = (blk.ib - amap) / 64;
    b[amap + slot / 8] &= uint8_t(~(0x80 >> (slot % 8)));
    uint64_t freeSlot = 0;
    for (uint64_t s = 0; s < ndb::kAMapBits; ++s)
        if (!(bytes_[amap + s / 8] & (0x80 >> (s % 8)))) {
            freeSlot = s;
            break;
        }
    ASSERT_NE(freeSlot, 0u);
    b[amap + freeSlot / 8] |= uint8_t(0x80 >> (freeSlot % 8));
    fixPageCrc(b, amap);
    CheckReport r = checkWith(b);
    EXPECT_TRUE(mentions(r, "in use are marked free")) << joined(r);
    EXPECT_TRUE(mentions(r, "marked allocated hold nothing")) << joined(r);
    EXPECT_FALSE(mentions(r, "cbAMapFree")) << joined(r);  // one freed, one taken
    // Taking a slot only: the free count and the density list disagree too.
    b = bytes_;
    b[amap + freeSlot / 8] |= uint8_t(0x80 >> (freeSlot % 8));
    fixPageCrc(b, amap);
    r = checkWith(b);
    EXPECT_TRUE(mentions(r, "cbAMapFree")) << joined(r);
}

TEST_F(DamagedEmpty, DensityListAgainstAMaps) {
    // Outlook leaves its density list empty; give it one entry for AMap 0.
    uint32_t free = 0;
    for (uint32_t s = 0; s < ndb::kAMapBits; ++s)
        if (!(bytes_[ndb::kFirstAMapOffset + s / 8] & (0x80 >> (s % 8)))) ++free;
    Bytes b = bytes_;
    b[ndb::kDListOffset + ndb::dl::cEntDList] = 1;
    storeLE32(&b[ndb::kDListOffset + ndb::dl::rgDListPageEnt], free << ndb::dl::kFreeSlotsShift);
    fixPageCrc(b, ndb::kDListOffset);
    CheckReport r = checkWith(b);
    EXPECT_TRUE(r.clean()) << joined(r);
    storeLE32(&b[ndb::kDListOffset + ndb::dl::rgDListPageEnt], (free - 1)
                                                                   << ndb::dl::kFreeSlotsShift);
    fixPageCrc(b, ndb::kDListOffset);
    r = checkWith(b);
    EXPECT_TRUE(mentions(r, "density list at 0x4200 entry 0: AMap 0 listed with")) << joined(r);
    storeLE32(&b[ndb::kDListOffset + ndb::dl::rgDListPageEnt], 5);  // no AMap 5
    fixPageCrc(b, ndb::kDListOffset);
    r = checkWith(b);
    EXPECT_TRUE(mentions(r, "AMap 5 does not exist")) << joined(r);
}

TEST_F(DamagedEmpty, MapPageCrc) {
    Bytes b = bytes_;
    b[ndb::pmapOffset(0) + 5] ^= 0x01;
    CheckReport r = checkWith(b);
    EXPECT_TRUE(mentions(r, "PMap at 0x4600: page CRC mismatch")) << joined(r);
}

TEST_F(DamagedEmpty, BlockTrailerAndCrc) {
    const BbtEntry& blk = db_->blocks()[3];
    Bytes b = bytes_;
    b[blk.ib] ^= 0x10;  // data byte: CRC fails
    CheckReport r = checkWith(b);
    EXPECT_TRUE(
        mentions(r, "block " + hex(blk.bid) + " at " + hex(blk.ib) + ": block CRC mismatch"))
        << joined(r);
}

TEST_F(DamagedEmpty, ReferenceCount) {
    // Patch the cRef of the first BBT entry in its leaf page.
    Bytes b = bytes_;
    const BbtEntry& blk = db_->blocks().front();
    for (const auto& pg : db_->pages()) {
        if (pg.ptype != ndb::PTYPE_BBT || pg.level != 0) continue;
        for (uint32_t i = 0; i < b[pg.ib + ndb::btp::cEnt]; ++i) {
            uint64_t e = pg.ib + i * ndb::kBbtEntrySize;
            if (loadLE64(&b[e]) == blk.bid) {
                storeLE16(&b[e + 18], uint16_t(blk.cRef + 1));
                fixPageCrc(b, pg.ib);
            }
        }
    }
    CheckReport r = checkWith(b);
    EXPECT_TRUE(mentions(r, "cRef " + std::to_string(blk.cRef + 1))) << joined(r);
}

TEST_F(DamagedEmpty, BtreePageOrderAndCrc) {
    Bytes b = bytes_;
    const PageInfo* leaf = nullptr;
    for (const auto& pg : db_->pages())
        if (pg.ptype == ndb::PTYPE_NBT && pg.level == 0 && b[pg.ib + ndb::btp::cEnt] >= 2)
            leaf = &pg;
    ASSERT_NE(leaf, nullptr);
    // Swap the first two entries: keys out of order.
    std::swap_ranges(b.begin() + leaf->ib, b.begin() + leaf->ib + 32, b.begin() + leaf->ib + 32);
    CheckReport r = checkWith(b);
    EXPECT_TRUE(mentions(r, "page CRC mismatch")) << joined(r);
    fixPageCrc(b, leaf->ib);
    r = checkWith(b);
    EXPECT_TRUE(mentions(r, "not above the previous")) << joined(r);
}

TEST_F(DamagedEmpty, FolderCountAgainstRows) {
    // Deleted Items' PC claims a message: against its (empty) contents table
    // and against its row in the IPM subtree's hierarchy table.
    Bytes b = patchNode(ndb::NID_DELETED_ITEMS, [](Bytes& data) {
        size_t at = find(data, Bytes{0x02, 0x36, 0x03, 0x00});  // PC record 0x3602 Int32
        ASSERT_NE(at, 0u);
        data[at + 4] = 1;
    });
    CheckReport r = checkWith(b);
    EXPECT_TRUE(mentions(r, "PidTagContentCount 1 with 0 messages")) << joined(r);
    EXPECT_TRUE(mentions(r, "0x36020003 differs between the row and the folder")) << joined(r);
}

TEST_F(DamagedEmpty, RequiredFolderProperty) {
    // Renumber Deleted Items' ContentCount to 0x3601 (order kept): now missing.
    Bytes b = patchNode(ndb::NID_DELETED_ITEMS, [](Bytes& data) {
        size_t at = find(data, Bytes{0x02, 0x36, 0x03, 0x00});
        ASSERT_NE(at, 0u);
        data[at] = 0x01;
    });
    CheckReport r = checkWith(b);
    EXPECT_TRUE(mentions(r, "'Deleted Items': required property 0x36020003 missing")) << joined(r);
    EXPECT_TRUE(mentions(r, "0x36020003 only in the row")) << joined(r);
}

TEST_F(DamagedEmpty, NameMapBucket) {
    // Bucket 0 holds {0x8552, wGuid 5, idx 0x22} (after the entry stream's
    // copy of the same record); point it at another index.
    Bytes b = patchNode(ndb::NID_NAME_TO_ID_MAP, [](Bytes& data) {
        size_t at = find(data, Bytes{0x52, 0x85, 0, 0, 0x0a, 0x00, 0x22, 0x00});
        ASSERT_NE(at, 0u);
        data[at + 6] = 0x23;
    });
    CheckReport r = checkWith(b);
    EXPECT_TRUE(mentions(r, "property 0x8022 is not in hash bucket 0")) << joined(r);
}

TEST_F(DamagedEmpty, TableRowIndex) {
    // The IPM subtree's hierarchy row index: send Deleted Items' row id elsewhere.
    Bytes b = patchNode(0x802D, [](Bytes& data) {
        size_t at = find(data, Bytes{0x62, 0x80, 0, 0, 0, 0, 0, 0});  // RowIndex {0x8062, 0}
        ASSERT_NE(at, 0u);
        data[at + 4] = 3;
    });
    CheckReport r = checkWith(b);
    EXPECT_TRUE(mentions(r, "row index sends row id 0x8062 to position 3 past the rows"))
        << joined(r);
}

// Swaps heap items 1 and 2 of a one-block heap (HIDs 0x20 and 0x40) and
// the HNHDR's root HID with them; `relink` then fixes the one HID inside
// the moved items that named the other (`first` is where item 1 starts).
void swapFirstHeapItems(Bytes& data, const std::function<void(Bytes&, size_t first)>& relink) {
    const size_t map = loadLE16(&data[0]);
    const size_t a = loadLE16(&data[map + 4]), b = loadLE16(&data[map + 6]);
    const size_t end = loadLE16(&data[map + 8]);
    Bytes swapped(data.begin() + ptrdiff_t(b), data.begin() + ptrdiff_t(end));
    swapped.insert(swapped.end(), data.begin() + ptrdiff_t(a), data.begin() + ptrdiff_t(b));
    std::copy(swapped.begin(), swapped.end(), data.begin() + ptrdiff_t(a));
    storeLE16(&data[map + 6], uint16_t(a + end - b));
    storeLE32(&data[4], loadLE32(&data[4]) == 0x20 ? 0x40 : 0x20);
    relink(data, a);
}

// What Outlook's readers take for granted, broken one rule at a time: no
// 8-bit strings, a row and its object agree on each property's type, no
// present cell holds HNID 0, the first heap items in Outlook's order.
TEST_F(DamagedEmpty, OutlookLayoutRules) {
    constexpr Nid kIpmHierarchy = 0x802D;                   // lists Deleted Items (0x8062)
    const Bytes displayNameRecord{0x01, 0x30, 0x1F, 0x00};  // PC record 0x3001 PtypString
    struct Case {
        const char* name;
        std::function<Bytes()> damage;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"8-bit folder name",
         [&] {
             return patchNode(ndb::NID_DELETED_ITEMS, [&](Bytes& data) {
                 size_t at = find(data, displayNameRecord);
                 ASSERT_NE(at, 0u);
                 data[at + 2] = 0x1E;
             });
         },
         {"8-bit string property 0x3001001E",
          "hierarchy row 0x8062: property 0x3001 is PtypString in the row, PtypString8 in the "
          "folder"}},
        {"8-bit table column",
         [&] {
             return patchNode(kIpmHierarchy, [](Bytes& data) {
                 size_t at = find(data, Bytes{0x1F, 0x00, 0x01, 0x30});  // TCOLDESC 0x3001001F
                 ASSERT_NE(at, 0u);
                 data[at] = 0x1E;
             });
         },
         {"column 0x3001001E: 8-bit string column",
          "property 0x3001 is PtypString8 in the row, PtypString in the folder"}},
        {"empty cell as HNID 0",
         [&] {
             const NbtEntry& n = db_->node(kIpmHierarchy);
             TableContext tc(db_, n.bidData, n.bidSub, "hierarchy");
             const TcColumn* name = tc.findColumn(mapi::tag::DisplayName);
             Bytes row;
             for (size_t r = 0; r < tc.rowCount(); ++r)
                 if (tc.rowId(r) == ndb::NID_DELETED_ITEMS)
                     row.assign(tc.rowBytes(r).begin(), tc.rowBytes(r).end());
             return patchNode(kIpmHierarchy, [&](Bytes& data) {
                 ASSERT_TRUE(name && !row.empty());
                 size_t at = find(data, row);
                 ASSERT_NE(at, 0u);
                 storeLE32(&data[at + name->ibData], 0);
             });
         },
         {"column 0x3001001F: 1 present cells hold HNID 0"}},
        {"TCINFO before the row index",
         [&] {
             return patchNode(kIpmHierarchy, [](Bytes& data) {
                 swapFirstHeapItems(data, [](Bytes& d, size_t tcinfo) {
                     storeLE32(&d[tcinfo + 10], 0x40);  // TCINFO.hidRowIndex
                 });
             });
         },
         {"row index BTHHEADER at heap id 0x40", "TCINFO at heap id 0x20"}},
        {"PC's BTHHEADER second",
         [&] {
             return patchNode(ndb::NID_DELETED_ITEMS, [](Bytes& data) {
                 swapFirstHeapItems(data, [](Bytes& d, size_t) {
                     const size_t header = loadLE16(&d[loadLE16(&d[0]) + 6]);
                     storeLE32(&d[header + 4], 0x20);  // BTHHEADER.hidRoot
                 });
             });
         },
         {"property context BTHHEADER at heap id 0x40"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CheckReport r = checkWith(c.damage());
        for (const auto& text : c.expected)
            EXPECT_TRUE(mentions(r, text)) << text << "\n" << joined(r);
    }
}

// A contents row in Unicode for an 8-bit message property.
TEST_F(DamagedEmpty, ContentsRowTypeAgainstMessage) {
    load("sample1.pst");
    Nid message = 0;
    for (const auto& n : db_->nodes())
        if (ndb::nidType(n.nid) == ndb::NID_TYPE_NORMAL_MESSAGE) message = n.nid;
    ASSERT_NE(message, 0u);
    Bytes b = patchNode(message, [](Bytes& data) {
        size_t at = find(data, Bytes{0x37, 0x00, 0x1F, 0x00});  // PC record 0x0037 PtypString
        ASSERT_NE(at, 0u);
        data[at + 2] = 0x1E;
    });
    CheckReport r = checkWith(b);
    EXPECT_TRUE(mentions(r, "property 0x37 is PtypString in the row, PtypString8 in the message"))
        << joined(r);
}

// Truncations and random bit flips: a clean error or findings, never a
// crash or a hang.
TEST_F(DamagedEmpty, TruncatedCopiesFailCleanly) {
    for (size_t len : {size_t(0), size_t(100), size_t(0x234), size_t(0x4400), size_t(0x4600),
                       size_t(0x5000), bytes_.size() / 2, bytes_.size() - 1}) {
        Bytes b(bytes_.begin(), bytes_.begin() + ptrdiff_t(len));
        try {
            CheckReport r = checkWith(b);
            EXPECT_FALSE(r.clean()) << "length " << len;
        } catch (const FormatError&) {
        }
        try {
            auto pst = PstFile::open(dir_ / "damaged.pst");
            ADD_FAILURE() << "truncated to " << len << " opened";
        } catch (const FormatError&) {
        }
    }
}

TEST(PstHostile, DamagedGoldenFilesFailCleanly) {
    for (const char* name : {"Empty.pst", "submessage.pst", "test_unicode.pst"}) {
        fs::path p = goldenFile(name);
        if (p.empty()) GTEST_SKIP() << "golden files not found (QM_SHARED_DIR/pst-samples)";
        hammer(p, hammerRounds(150), 2026);
    }
}

}  // namespace
}  // namespace qm::pst::read
