// The checker against damage: each kind of damage the checker claims to
// see, made in a copy of Outlook's Empty.pst, is reported in its words (a
// mutation table). Then truncations and random damage to Outlook's files
// and to a rich store of ours: a clean error or findings, never a crash or a
// hang.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

#include "mapi/error.h"
#include "mapi/tags.h"
#include "pst/ndb/crc.h"
#include "pst/ndb/crypt.h"
#include "pst/pst_test.h"
#include "pst/read/pst_file.h"
#include "pst/store/message_compare.h"
#include "pst/store/store.h"
#include "support/message_gen.h"

namespace qm::pst::read {
namespace {

using namespace qm::pst::testing;

// A copy of a golden file to damage, with what it takes to damage one thing
// only: CRCs fixed behind the change, a node's block rewritten whole.
struct Damage {
    Bytes b;
    std::shared_ptr<NodeDatabase> db;
    std::vector<std::string> want = {};  // texts the damage decides

    void fixHeaderCrcs() {
        storeLE32(&b[ndb::hdr::dwCRCPartial],
                  ndb::crc32(&b[ndb::kHeaderCrcStart], ndb::kHeaderCrcPartialSize));
        storeLE32(&b[ndb::hdr::dwCRCFull],
                  ndb::crc32(&b[ndb::kHeaderCrcStart], ndb::kHeaderCrcFullSize));
    }
    void fixPageCrc(uint64_t ib) {
        storeLE32(&b[ib + ndb::ptr::dwCRC], ndb::crc32(&b[ib], ndb::kPageDataSize));
    }
    uint8_t& root(size_t field) { return b[ndb::hdr::root + field]; }
    // Swaps the first two entries of a node B-tree leaf, with or without a
    // CRC that matches; false when no leaf has two.
    bool swapLeafEntries(bool fixCrc) {
        for (const auto& pg : db->pages()) {
            if (pg.ptype != ndb::PTYPE_NBT || pg.level != 0 || b[pg.ib + ndb::btp::cEnt] < 2)
                continue;
            const auto at = b.begin() + ptrdiff_t(pg.ib);
            std::swap_ranges(at, at + 32, at + 32);
            if (fixCrc) fixPageCrc(pg.ib);
            return true;
        }
        return false;
    }
    // The node's (single) data block decoded, edited, and written back
    // encoded with a fresh CRC.
    void patchNode(Nid nid, const std::function<void(Bytes&)>& edit) {
        const RawBlock raw = db->readRawBlock(db->node(nid).bidData);
        Bytes data = db->readDataBlock(raw.entry.bid);
        edit(data);
        ndb::encodeBlockData(data, db->cryptMethod(), 0);
        std::copy(data.begin(), data.end(), b.begin() + ptrdiff_t(raw.entry.ib));
        const uint64_t trailer =
            raw.entry.ib + ndb::blockSizeOnDisk(raw.entry.cb) - ndb::kBlockTrailerSize;
        storeLE32(&b[trailer + ndb::btr::dwCRC], ndb::crc32(data.data(), data.size()));
    }
    // Sets byte `at` of the last place `needle` occurs in the node's data.
    void patchAt(Nid nid, const Bytes& needle, size_t at, uint8_t value) {
        patchNode(nid, [&](Bytes& data) {
            const auto it = std::find_end(data.begin(), data.end(), needle.begin(), needle.end());
            ASSERT_NE(it, data.end()) << "needle not in node " << hex(nid);
            *(it + ptrdiff_t(at)) = value;
        });
    }
    uint64_t firstFreeSlot() const {
        for (uint64_t s = 1; s < ndb::kAMapBits; ++s)
            if (!(b[ndb::kFirstAMapOffset + s / 8] & (0x80 >> (s % 8)))) return s;
        return 0;
    }
    void markSlot(uint64_t slot, bool used) {
        uint8_t& byte = b[ndb::kFirstAMapOffset + slot / 8];
        byte = used ? byte | uint8_t(0x80 >> (slot % 8)) : byte & uint8_t(~(0x80 >> (slot % 8)));
        fixPageCrc(ndb::kFirstAMapOffset);
    }
    void setDensityList(uint32_t entry) {
        b[ndb::kDListOffset + ndb::dl::cEntDList] = 1;
        storeLE32(&b[ndb::kDListOffset + ndb::dl::rgDListPageEnt], entry);
        fixPageCrc(ndb::kDListOffset);
    }
};

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

struct Mutation {
    const char* name;
    std::function<void(Damage&)> apply;
    // What the findings must mention ("!" first: must not), besides what
    // `apply` adds to Damage::want; none: the copy must still check clean.
    std::vector<std::string> texts = {};
    const char* file = "Empty.pst";
};

constexpr Nid kIpmHierarchy = 0x802D;               // lists Deleted Items (0x8062)
const Bytes kContentCount{0x02, 0x36, 0x03, 0x00};  // PC record 0x3602 Int32
const Bytes kDisplayName{0x01, 0x30, 0x1F, 0x00};   // PC record 0x3001 PtypString

void addToFreeCount(Damage& d) {
    storeLE64(&d.root(ndb::root::cbAMapFree), loadLE64(&d.root(ndb::root::cbAMapFree)) + 64);
    d.fixHeaderCrcs();
}

const Mutation kMutations[] = {
    {"a table template gone",
     [](Damage& d) {
         // Renamed to the next NID, so that its leaf stays in key order.
         for (const auto& pg : d.db->pages()) {
             if (pg.ptype != ndb::PTYPE_NBT || pg.level != 0) continue;
             for (size_t i = 0; i < d.b[pg.ib + ndb::btp::cEnt]; ++i) {
                 uint8_t* entry = &d.b[pg.ib + i * ndb::kNbtEntrySize];
                 if (loadLE64(entry) != ndb::NID_SEARCH_CONTENTS_TABLE_TEMPLATE) continue;
                 storeLE64(entry, ndb::NID_SEARCH_CONTENTS_TABLE_TEMPLATE + 1);
                 d.fixPageCrc(pg.ib);
             }
         }
     },
     {"table template 0x610 is missing"}},
    {"header CRCs", [](Damage& d) { d.b[ndb::hdr::dwUnique] ^= 1; }, {"dwCRCPartial", "dwCRCFull"}},
    {"only the full CRC covers bidNextB",
     [](Damage& d) { d.b[ndb::hdr::bidNextB] ^= 0x40; },
     {"!dwCRCPartial", "dwCRCFull"}},
    {"header fields",
     [](Damage& d) {
         storeLE64(&d.b[ndb::hdr::bidNextB], 4);
         storeLE64(&d.b[ndb::hdr::bidNextP], 1);
         storeLE32(&d.b[ndb::hdr::rgnid + 4 * ndb::NID_TYPE_NORMAL_FOLDER], 0x10);
         storeLE64(&d.root(ndb::root::ibFileEof), d.b.size() + 64);
         d.fixHeaderCrcs();
     },
     {"bidNextB", "bidNextP", "rgnid[0x2]", "ibFileEof"}},
    {"free space count", addToFreeCount, {"cbAMapFree"}},
    // With the maps declared invalid the same mismatch is only noted, and so
    // is a map torn by a writer killed while rewriting it.
    {"maps declared invalid",
     [](Damage& d) {
         d.root(ndb::root::fAMapValid) = 0;
         addToFreeCount(d);
         d.b[ndb::kFirstAMapOffset + 100] ^= 0xFF;
         d.b[ndb::kDListOffset + 7] ^= 0x01;
     }},
    {"allocation map both ways",
     [](Damage& d) {
         d.markSlot((d.db->blocks().front().ib - ndb::kFirstAMapOffset) / 64, false);
         d.markSlot(d.firstFreeSlot(), true);
     },
     {"in use are marked free", "marked allocated hold nothing", "!cbAMapFree"}},
    {"allocation map slot taken",
     [](Damage& d) { d.markSlot(d.firstFreeSlot(), true); },
     {"cbAMapFree"}},
    // Outlook leaves its density list empty; ours names every AMap.
    {"density list true",
     [](Damage& d) {
         uint32_t free = 0;
         for (uint32_t s = 0; s < ndb::kAMapBits; ++s)
             free += !(d.b[ndb::kFirstAMapOffset + s / 8] & (0x80 >> (s % 8)));
         d.setDensityList(free << ndb::dl::kFreeSlotsShift);
     }},
    {"density list count",
     [](Damage& d) { d.setDensityList(1u << ndb::dl::kFreeSlotsShift); },
     {"density list at 0x4200 entry 0: AMap 0 listed with"}},
    {"density list names no AMap",
     [](Damage& d) { d.setDensityList(5); },
     {"AMap 5 does not exist"}},
    {"map page CRC",
     [](Damage& d) { d.b[ndb::pmapOffset(0) + 5] ^= 0x01; },
     {"PMap at 0x4600: page CRC mismatch"}},
    {"block CRC",
     [](Damage& d) {
         const BbtEntry& blk = d.db->blocks()[3];
         d.b[blk.ib] ^= 0x10;
         d.want.push_back("block " + hex(blk.bid) + " at " + hex(blk.ib) + ": block CRC mismatch");
     }},
    {"reference count",
     [](Damage& d) {
         const BbtEntry& blk = d.db->blocks().front();
         for (const auto& pg : d.db->pages()) {
             if (pg.ptype != ndb::PTYPE_BBT || pg.level != 0) continue;
             for (uint32_t i = 0; i < d.b[pg.ib + ndb::btp::cEnt]; ++i)
                 if (loadLE64(&d.b[pg.ib + i * ndb::kBbtEntrySize]) == blk.bid) {
                     storeLE16(&d.b[pg.ib + i * ndb::kBbtEntrySize + 18], uint16_t(blk.cRef + 1));
                     d.fixPageCrc(pg.ib);
                 }
         }
         d.want.push_back("cRef " + std::to_string(blk.cRef + 1));
     }},
    {"B-tree page CRC and key order",
     [](Damage& d) { ASSERT_TRUE(d.swapLeafEntries(false)); },
     {"page CRC mismatch"}},
    {"B-tree key order",
     [](Damage& d) { ASSERT_TRUE(d.swapLeafEntries(true)); },
     {"not above the previous"}},
    // Deleted Items' PC claims a message: against its (empty) contents
    // table and against its row in the IPM subtree's hierarchy table.
    {"folder count against rows",
     [](Damage& d) { d.patchAt(ndb::NID_DELETED_ITEMS, kContentCount, 4, 1); },
     {"PidTagContentCount 1 with 0 messages", "0x36020003 differs between the row and the folder"}},
    {"required folder property",
     [](Damage& d) { d.patchAt(ndb::NID_DELETED_ITEMS, kContentCount, 0, 0x01); },  // now 0x3601
     {"'Deleted Items': required property 0x36020003 missing", "0x36020003 only in the row"}},
    // Bucket 0 holds {0x8552, wGuid 5, idx 0x22} (after the entry stream's
    // copy of the same record); point it at another index.
    {"name map bucket",
     [](Damage& d) {
         d.patchAt(ndb::NID_NAME_TO_ID_MAP, {0x52, 0x85, 0, 0, 0x0a, 0x00, 0x22, 0x00}, 6, 0x23);
     },
     {"property 0x8022 is not in hash bucket 0"}},
    {"table row index",
     [](Damage& d) {
         d.patchAt(kIpmHierarchy, {0x62, 0x80, 0, 0, 0, 0, 0, 0}, 4, 3);  // RowIndex {0x8062, 0}
     },
     {"row index sends row id 0x8062 to position 3 past the rows"}},
    // What Outlook's readers take for granted, one rule at a time: no 8-bit
    // strings, a row and its object agree on each property's type, no
    // present cell holds HNID 0, the first heap items in Outlook's order.
    {"8-bit folder name",
     [](Damage& d) { d.patchAt(ndb::NID_DELETED_ITEMS, kDisplayName, 2, 0x1E); },
     {"8-bit string property 0x3001001E",
      "hierarchy row 0x8062: property 0x3001 is PtypString in the row, PtypString8 in "
      "the folder"}},
    {"8-bit table column",
     [](Damage& d) {
         d.patchAt(kIpmHierarchy, {0x1F, 0x00, 0x01, 0x30}, 0, 0x1E);  // TCOLDESC 0x3001001F
     },
     {"column 0x3001001E: 8-bit string column",
      "property 0x3001 is PtypString8 in the row, PtypString in the folder"}},
    {"empty cell as HNID 0",
     [](Damage& d) {
         const NbtEntry& n = d.db->node(kIpmHierarchy);
         TableContext tc(d.db, n.bidData, n.bidSub, "hierarchy");
         const TcColumn* name = tc.findColumn(mapi::tag::DisplayName);
         for (size_t r = 0; r < tc.rowCount(); ++r)
             if (tc.rowId(r) == ndb::NID_DELETED_ITEMS) {
                 const Bytes row(tc.rowBytes(r).begin(), tc.rowBytes(r).end());
                 d.patchNode(kIpmHierarchy, [&](Bytes& data) {
                     const auto at =
                         std::find_end(data.begin(), data.end(), row.begin(), row.end());
                     std::fill_n(at + name->ibData, 4, 0);
                 });
             }
     },
     {"column 0x3001001F: 1 present cells hold HNID 0"}},
    {"TCINFO before the row index",
     [](Damage& d) {
         d.patchNode(kIpmHierarchy, [](Bytes& data) {
             swapFirstHeapItems(data, [](Bytes& x, size_t tcinfo) {
                 storeLE32(&x[tcinfo + 10], 0x40);  // TCINFO.hidRowIndex
             });
         });
     },
     {"row index BTHHEADER at heap id 0x40", "TCINFO at heap id 0x20"}},
    {"PC's BTHHEADER second",
     [](Damage& d) {
         d.patchNode(ndb::NID_DELETED_ITEMS, [](Bytes& data) {
             swapFirstHeapItems(data, [](Bytes& x, size_t) {
                 storeLE32(&x[loadLE16(&x[loadLE16(&x[0]) + 6]) + 4], 0x20);  // hidRoot
             });
         });
     },
     {"property context BTHHEADER at heap id 0x40"}},
    {"contents row in Unicode for an 8-bit message property",
     [](Damage& d) {
         Nid message = 0;
         for (const auto& n : d.db->nodes())
             if (ndb::nidType(n.nid) == ndb::NID_TYPE_NORMAL_MESSAGE) message = n.nid;
         d.patchAt(message, {0x37, 0x00, 0x1F, 0x00}, 2, 0x1E);  // PC record 0x0037 PtypString
     },
     {"property 0x37 is PtypString in the row, PtypString8 in the message"},
     "sample1.pst"},
};

// Then truncated copies: a clean error or findings, never a crash.
TEST(DamagedEmpty, EachDamageIsReportedInItsWords) {
    ScratchDir dir;
    for (const Mutation& m : kMutations) {
        SCOPED_TRACE(m.name);
        QM_REQUIRE_GOLDEN(file, m.file);
        Damage d{readFile(file), NodeDatabase::open(file)};
        m.apply(d);
        writeFile(dir / "damaged.pst", d.b);
        const CheckReport r = checkFile(dir / "damaged.pst");
        const std::string found = joined(r);
        d.want.insert(d.want.end(), m.texts.begin(), m.texts.end());
        // Clean, but for maps declared invalid not silent.
        EXPECT_EQ(r.clean(), d.want.empty()) << found;
        EXPECT_EQ(r.notes.empty(), std::string(m.name) != "maps declared invalid");
        for (const auto& t : d.want) {
            const bool present = t[0] != '!';
            EXPECT_EQ(found.find(t.substr(present ? 0 : 1)) != std::string::npos, present)
                << found << "wanted: " << t;
        }
    }
    QM_REQUIRE_GOLDEN(file, "Empty.pst");
    const Bytes bytes = readFile(file);
    for (size_t len : {size_t(0), size_t(100), size_t(0x234), size_t(0x4400), size_t(0x4600),
                       size_t(0x5000), bytes.size() / 2, bytes.size() - 1}) {
        writeFile(dir / "cut.pst", Bytes(bytes.begin(), bytes.begin() + ptrdiff_t(len)));
        try {
            EXPECT_FALSE(checkFile(dir / "cut.pst").clean()) << "length " << len;
        } catch (const FormatError&) {
        }
        EXPECT_THROW(PstFile::open(dir / "cut.pst"), FormatError) << "length " << len;
    }
}

// Damages copies of `file` in one used place each (header, a B-tree page or
// a block: a flipped bit or a random 1-8 byte field) and checks and reads
// each copy: anything but a result or a qm::FormatError fails (a crash or a
// hang harder). QM_FLIP_ROUNDS sets the rounds for a long hunt.
void hammer(const fs::path& file, uint32_t seed) {
    const char* env = std::getenv("QM_FLIP_ROUNDS");
    const int rounds = env ? std::atoi(env) : 150;
    const Bytes original = readFile(file);
    const auto db = NodeDatabase::open(file);
    std::vector<std::pair<uint64_t, uint64_t>> areas = {{0, ndb::kHeaderSize}};
    for (const auto& p : db->pages()) areas.emplace_back(p.ib, ndb::kPageSize);
    for (const auto& b : db->blocks()) areas.emplace_back(b.ib, ndb::blockSizeOnDisk(b.cb));
    std::mt19937 rng(seed);
    ScratchDir dir;
    auto answers = [](const char* what, const std::function<void()>& f) {
        try {
            f();
        } catch (const FormatError&) {
        } catch (const std::exception& e) {
            ADD_FAILURE() << what << " threw " << e.what();
        }
    };
    for (int round = 0; round < rounds; ++round) {
        Bytes b = original;
        const auto [start, len] = areas[rng() % areas.size()];
        const uint64_t at = start + rng() % len;
        if (rng() % 2) {
            b[at] ^= uint8_t(1u << (rng() % 8));
        } else {
            for (uint64_t k = at; k < std::min<uint64_t>(at + 1 + rng() % 8, b.size()); ++k)
                b[k] = uint8_t(rng());
        }
        SCOPED_TRACE(file.filename().string() + " damaged at " + hex(at));
        writeFile(dir / "damaged.pst", b);
        answers("check", [&] { checkFile(dir / "damaged.pst"); });
        answers("reading", [&] { readEverything(*PstFile::open(dir / "damaged.pst")); });
    }
}

// A richer file of ours (subnode and data trees, embedded messages, OLE
// storages, named properties, recipients) reads back whole, then fails
// cleanly when damaged; so do Outlook's.
TEST(PstHostile, DamagedStoresFailCleanly) {
    ScratchDir dir;
    auto store = Store::create(dir / "full.pst", "Full store");
    const Nid inbox = store->addFolder(store->ipmSubtree(), "Inbox");
    const Nid sub = store->addFolder(inbox, "2009");
    store->addFolder(store->ipmSubtree(), "Other");
    for (uint32_t i = 0; i < 12; ++i) {
        qm::testing::MessageSpec spec;
        spec.seed = 100 + i;
        spec.subject = "Message " + std::to_string(i);
        spec.recipients = i % 4;
        spec.unicode = i % 3 != 0;
        spec.allTypes = i % 2 == 0;
        if (i % 3 == 1) spec.attachmentSizes = {10, 9000, 70000};
        spec.embedDepth = i == 5 ? 2 : 0;
        spec.oleAttachment = i == 7;
        spec.namedById = i % 5;
        spec.namedByName = i % 3;
        spec.htmlBody = i % 4 == 0;
        store->addMessage(i % 2 ? inbox : sub,
                          storetest::withTrueFlags(qm::testing::makeMessage(spec)));
    }
    store->close();
    expectClean(dir / "full.pst");
    EXPECT_EQ(readEverything(*PstFile::open(dir / "full.pst")), 12u);
    hammer(dir / "full.pst", 7);
    for (const char* name : {"Empty.pst", "submessage.pst", "test_unicode.pst"}) {
        QM_REQUIRE_GOLDEN(file, name);
        hammer(file, 2026);
    }
}

}  // namespace
}  // namespace qm::pst::read
