// Constants and plain structures of the Unicode PST format (wVer 23): the
// header and its ROOT, pages and their trailer, blocks and their trailer,
// node and block ids, and the region geometry of the allocation maps.
// Shared by the writer (ndb/, ltp/, store/) and the reader (read/); nothing
// here does I/O. Numbers follow [MS-PST] 2.2.2; each says what it is made of.
#pragma once

#include <cstdint>

namespace qm::pst::ndb {

using Nid = uint32_t;
using Bid = uint64_t;
using Ib = uint64_t;  // absolute byte offset in the file

// ---------------------------------------------------------------- header --
// [MS-PST] 2.2.2.6 HEADER, Unicode layout.
constexpr uint32_t kHeaderMagic = 0x4E444221;    // "!BDN" read as little-endian
constexpr uint16_t kHeaderMagicClient = 0x4D53;  // "SM"
constexpr uint16_t kVersionUnicode = 23;
constexpr uint16_t kVersionAnsiLow = 14;  // ANSI files say 14 or 15
constexpr uint16_t kVersionAnsiHigh = 15;
constexpr uint16_t kVersionUnicode4k = 36;  // OST with 4 KiB pages: not ours
constexpr uint16_t kVersionClient = 19;
constexpr uint8_t kPlatformCreate = 0x01;
constexpr uint8_t kPlatformAccess = 0x01;
constexpr uint8_t kSentinel = 0x80;

constexpr uint32_t kHeaderSize = 0x234;  // 564 bytes

namespace hdr {  // byte offsets inside the header
constexpr uint32_t dwMagic = 0x000;
constexpr uint32_t dwCRCPartial = 0x004;
constexpr uint32_t wMagicClient = 0x008;
constexpr uint32_t wVer = 0x00A;
constexpr uint32_t wVerClient = 0x00C;
constexpr uint32_t bPlatformCreate = 0x00E;
constexpr uint32_t bPlatformAccess = 0x00F;
constexpr uint32_t dwReserved1 = 0x010;
constexpr uint32_t dwReserved2 = 0x014;
constexpr uint32_t bidUnused = 0x018;
constexpr uint32_t bidNextP = 0x020;
constexpr uint32_t dwUnique = 0x028;
constexpr uint32_t rgnid = 0x02C;  // 32 DWORDs, one per nidType
constexpr uint32_t qwUnused = 0x0AC;
constexpr uint32_t root = 0x0B4;  // ROOT, 72 bytes
constexpr uint32_t dwAlign = 0x0FC;
constexpr uint32_t rgbFM = 0x100;  // 128 bytes, deprecated: 0xFF
constexpr uint32_t rgbFP = 0x180;  // 128 bytes, deprecated: 0xFF
constexpr uint32_t bSentinel = 0x200;
constexpr uint32_t bCryptMethod = 0x201;
constexpr uint32_t rgbReserved = 0x202;
constexpr uint32_t bidNextB = 0x204;
constexpr uint32_t dwCRCFull = 0x20C;
constexpr uint32_t rgbReserved2 = 0x210;
constexpr uint32_t bReserved = 0x213;
constexpr uint32_t rgbReserved3 = 0x214;
}  // namespace hdr

constexpr uint32_t kRgnidCount = 32;
constexpr uint32_t kRgbFMSize = 128;
constexpr uint32_t kRgbFPSize = 128;

// Both header CRCs start right after dwMagic and dwCRCPartial.
constexpr uint32_t kHeaderCrcStart = hdr::wMagicClient;
constexpr uint32_t kHeaderCrcPartialSize = 471;  // up to 0x1DF, inside rgbFP
constexpr uint32_t kHeaderCrcFullSize = hdr::dwCRCFull - kHeaderCrcStart;  // 516
static_assert(kHeaderCrcFullSize == 516);

// [MS-PST] 2.2.2.5 ROOT: offsets inside ROOT (add hdr::root for the file).
namespace root {
constexpr uint32_t dwReserved = 0;
constexpr uint32_t ibFileEof = 4;
constexpr uint32_t ibAMapLast = 12;
constexpr uint32_t cbAMapFree = 20;
constexpr uint32_t cbPMapFree = 28;
constexpr uint32_t brefNbt = 36;  // BREF: bid then ib
constexpr uint32_t brefBbt = 52;
constexpr uint32_t fAMapValid = 68;
constexpr uint32_t bReserved = 69;
constexpr uint32_t wReserved = 70;
constexpr uint32_t kSize = 72;
}  // namespace root

enum class AMapValid : uint8_t { Invalid = 0x00, Valid1 = 0x01, Valid2 = 0x02 };

enum class CryptMethod : uint8_t { None = 0x00, Permute = 0x01, Cyclic = 0x02, Edp = 0x10 };

struct Bref {
    Bid bid = 0;
    Ib ib = 0;
    auto operator<=>(const Bref&) const = default;
};
constexpr uint32_t kBrefSize = 16;

struct Root {
    uint32_t reserved = 0;
    Ib fileEof = 0;
    Ib amapLast = 0;
    uint64_t amapFree = 0;
    uint64_t pmapFree = 0;
    Bref nbt;
    Bref bbt;
    uint8_t amapValid = 0;
};

// The decoded header fields a reader or writer works with.
struct Header {
    uint16_t version = kVersionUnicode;
    uint16_t clientVersion = kVersionClient;
    uint8_t platformCreate = kPlatformCreate;
    uint8_t platformAccess = kPlatformAccess;
    uint32_t reserved1 = 0;
    uint32_t reserved2 = 0;
    Bid bidUnused = 0;
    Bid bidNextP = 0;
    uint32_t unique = 0;
    uint32_t rgnid[kRgnidCount] = {};
    Root root;
    uint8_t cryptMethod = 0;
    Bid bidNextB = 0;
    uint32_t crcPartial = 0;
    uint32_t crcFull = 0;
};

// ------------------------------------------------------------------ NIDs --
// [MS-PST] 2.2.2.1: nidType in bits 0-4, nidIndex in bits 5-31.
enum NidType : uint8_t {
    NID_TYPE_HID = 0x00,
    NID_TYPE_INTERNAL = 0x01,
    NID_TYPE_NORMAL_FOLDER = 0x02,
    NID_TYPE_SEARCH_FOLDER = 0x03,
    NID_TYPE_NORMAL_MESSAGE = 0x04,
    NID_TYPE_ATTACHMENT = 0x05,
    NID_TYPE_SEARCH_UPDATE_QUEUE = 0x06,
    NID_TYPE_SEARCH_CRITERIA_OBJECT = 0x07,
    NID_TYPE_ASSOC_MESSAGE = 0x08,
    NID_TYPE_CONTENTS_TABLE_INDEX = 0x0A,
    NID_TYPE_RECEIVE_FOLDER_TABLE = 0x0B,
    NID_TYPE_OUTGOING_QUEUE_TABLE = 0x0C,
    NID_TYPE_HIERARCHY_TABLE = 0x0D,
    NID_TYPE_CONTENTS_TABLE = 0x0E,
    NID_TYPE_ASSOC_CONTENTS_TABLE = 0x0F,
    NID_TYPE_SEARCH_CONTENTS_TABLE = 0x10,
    NID_TYPE_ATTACHMENT_TABLE = 0x11,
    NID_TYPE_RECIPIENT_TABLE = 0x12,
    NID_TYPE_SEARCH_TABLE_INDEX = 0x13,
    NID_TYPE_LTP = 0x1F,
};

constexpr uint32_t kNidTypeBits = 5;
constexpr uint32_t kNidTypeMask = 0x1F;
constexpr Nid makeNid(uint8_t type, uint32_t index) {
    return (index << kNidTypeBits) | (type & kNidTypeMask);
}
constexpr uint8_t nidType(Nid nid) {
    return uint8_t(nid & kNidTypeMask);
}
constexpr uint32_t nidIndex(Nid nid) {
    return nid >> kNidTypeBits;
}
// The node of the same object with another type (a folder's tables share
// the folder's index: 0x8022 -> 0x802D, 0x802E, 0x802F).
constexpr Nid withNidType(Nid nid, uint8_t type) {
    return makeNid(type, nidIndex(nid));
}

// [MS-PST] 2.4.1 Special internal NIDs.
constexpr Nid NID_MESSAGE_STORE = 0x21;
constexpr Nid NID_NAME_TO_ID_MAP = 0x61;
constexpr Nid NID_NORMAL_FOLDER_TEMPLATE = 0xA1;
constexpr Nid NID_SEARCH_FOLDER_TEMPLATE = 0xC1;
constexpr Nid NID_ROOT_FOLDER = 0x122;
constexpr Nid NID_SEARCH_MANAGEMENT_QUEUE = 0x1E1;
constexpr Nid NID_SEARCH_ACTIVITY_LIST = 0x201;
constexpr Nid NID_RESERVED1 = 0x241;
constexpr Nid NID_SEARCH_DOMAIN_OBJECT = 0x261;
constexpr Nid NID_SEARCH_GATHERER_QUEUE = 0x281;
constexpr Nid NID_SEARCH_GATHERER_DESCRIPTOR = 0x2A1;
constexpr Nid NID_RESERVED2 = 0x2E1;
constexpr Nid NID_RESERVED3 = 0x301;
constexpr Nid NID_SEARCH_GATHERER_FOLDER_QUEUE = 0x321;
constexpr Nid NID_HIERARCHY_TABLE_TEMPLATE = 0x60D;
constexpr Nid NID_CONTENTS_TABLE_TEMPLATE = 0x60E;
constexpr Nid NID_ASSOC_CONTENTS_TABLE_TEMPLATE = 0x60F;
constexpr Nid NID_SEARCH_CONTENTS_TABLE_TEMPLATE = 0x610;
constexpr Nid NID_RECEIVE_FOLDERS = 0x62B;
constexpr Nid NID_OUTGOING_QUEUE = 0x64C;
constexpr Nid NID_ATTACHMENT_TABLE = 0x671;  // template, and every message's attachment TC
constexpr Nid NID_RECIPIENT_TABLE = 0x692;   // template, and every message's recipient TC
// Undocumented tables Outlook itself writes into every new store.
constexpr Nid NID_OUTLOOK_TABLE_6B6 = 0x6B6;
constexpr Nid NID_OUTLOOK_TABLE_6D7 = 0x6D7;
constexpr Nid NID_OUTLOOK_TABLE_6F8 = 0x6F8;
constexpr Nid NID_IPM_SUBTREE = 0x8022;  // "Top of Personal Folders"
constexpr Nid NID_SEARCH_ROOT = 0x8042;  // finder
constexpr Nid NID_DELETED_ITEMS = 0x8062;
constexpr Nid NID_SPAM_SEARCH_FOLDER = 0x2223;

// Initial rgnid counters for a new file (last index handed out per type);
// allocation increments first, then uses.
constexpr uint32_t kRgnidStartDefault = 0x400;
constexpr uint32_t kRgnidStartSearchFolder = 0x4000;
constexpr uint32_t kRgnidStartNormalMessage = 0x10000;
constexpr uint32_t kRgnidStartAssocMessage = 0x8000;

// ------------------------------------------------------------------ BIDs --
// [MS-PST] 2.2.2.2: bit 0 reserved (0 on write), bit 1 marks an internal
// block (XBLOCK, XXBLOCK, SLBLOCK, SIBLOCK). Block BIDs step by 4; page
// BIDs step by 1 from bidNextP; map pages use their own offset as BID.
constexpr Bid kBidReservedBit = 0x1;
constexpr Bid kBidInternalBit = 0x2;
constexpr Bid kBidIncrement = 4;
constexpr bool bidIsInternal(Bid bid) {
    return (bid & kBidInternalBit) != 0;
}
// The BBT is keyed by the BID without the reserved bit.
constexpr Bid bidKey(Bid bid) {
    return bid & ~kBidReservedBit;
}

// ----------------------------------------------------------------- pages --
constexpr uint32_t kPageSize = 512;
constexpr uint32_t kPageTrailerSize = 16;
constexpr uint32_t kPageDataSize = kPageSize - kPageTrailerSize;  // 496, the page CRC range

namespace ptr {                              // PAGETRAILER offsets inside the page
constexpr uint32_t ptype = kPageDataSize;    // 496
constexpr uint32_t ptypeRepeat = ptype + 1;  // 497
constexpr uint32_t wSig = ptype + 2;         // 498
constexpr uint32_t dwCRC = ptype + 4;        // 500
constexpr uint32_t bid = ptype + 8;          // 504
}  // namespace ptr

enum PageType : uint8_t {
    PTYPE_BBT = 0x80,
    PTYPE_NBT = 0x81,
    PTYPE_FMAP = 0x82,
    PTYPE_PMAP = 0x83,
    PTYPE_AMAP = 0x84,
    PTYPE_FPMAP = 0x85,
    PTYPE_DL = 0x86,
};

// Map pages carry no signature; B-tree pages and the DList do.
constexpr bool pageHasSignature(uint8_t ptype) {
    return ptype == PTYPE_BBT || ptype == PTYPE_NBT || ptype == PTYPE_DL;
}

// [MS-PST] 2.2.2.7.7.1 BTPAGE: entries, then cEnt, cEntMax, cbEnt, cLevel,
// dwPadding, then the trailer.
constexpr uint32_t kBtEntriesSize = 488;
namespace btp {
constexpr uint32_t cEnt = kBtEntriesSize;  // 488
constexpr uint32_t cEntMax = cEnt + 1;     // 489
constexpr uint32_t cbEnt = cEnt + 2;       // 490
constexpr uint32_t cLevel = cEnt + 3;      // 491
constexpr uint32_t dwPadding = cEnt + 4;   // 492
}  // namespace btp

constexpr uint32_t kBtEntrySize = 24;   // BTENTRY: key(8) + BREF(16)
constexpr uint32_t kBbtEntrySize = 24;  // BBTENTRY: BREF(16) + cb(2) + cRef(2) + dwPadding(4)
constexpr uint32_t kNbtEntrySize =
    32;  // NBTENTRY: nid(8) + bidData(8) + bidSub(8) + nidParent(4) + dwPadding(4)
constexpr uint32_t kBtEntryMax = kBtEntriesSize / kBtEntrySize;    // 20
constexpr uint32_t kBbtEntryMax = kBtEntriesSize / kBbtEntrySize;  // 20
constexpr uint32_t kNbtEntryMax = kBtEntriesSize / kNbtEntrySize;  // 15
constexpr uint32_t kMaxBtreeLevels = 8;  // intermediate levels above the leaves

// ---------------------------------------------------------------- blocks --
constexpr uint32_t kBlockAlign = 64;
constexpr uint32_t kMaxBlockSize = 8192;
constexpr uint32_t kBlockTrailerSize = 16;  // cb(2) + wSig(2) + dwCRC(4) + bid(8)
constexpr uint32_t kMaxBlockData = kMaxBlockSize - kBlockTrailerSize;  // 8176

namespace btr {  // BLOCKTRAILER offsets inside the trailer
constexpr uint32_t cb = 0;
constexpr uint32_t wSig = 2;
constexpr uint32_t dwCRC = 4;
constexpr uint32_t bid = 8;
}  // namespace btr

// Bytes a block of `cb` data bytes occupies on disk (data, padding, trailer).
constexpr uint32_t blockSizeOnDisk(uint32_t cb) {
    return (cb + kBlockTrailerSize + kBlockAlign - 1) / kBlockAlign * kBlockAlign;
}

// Internal block headers: btype, cLevel, cEnt; XBLOCK adds lcbTotal, SLBLOCK dwPadding.
constexpr uint8_t kBTypeXBlock = 0x01;
constexpr uint8_t kBTypeSubnode = 0x02;
constexpr uint32_t kInternalBlockHeaderSize = 8;
constexpr uint32_t kXBlockBidSize = 8;
constexpr uint32_t kSlEntrySize = 24;  // nid(8) + bidData(8) + bidSub(8)
constexpr uint32_t kSiEntrySize = 16;  // nid(8) + bid(8)
constexpr uint32_t kMaxXBlockEntries =
    (kMaxBlockData - kInternalBlockHeaderSize) / kXBlockBidSize;  // 1021
constexpr uint32_t kMaxSlEntries =
    (kMaxBlockData - kInternalBlockHeaderSize) / kSlEntrySize;  // 340
constexpr uint32_t kMaxSiEntries =
    (kMaxBlockData - kInternalBlockHeaderSize) / kSiEntrySize;  // 510
static_assert(kMaxXBlockEntries == 1021 && kMaxSlEntries == 340 && kMaxSiEntries == 510);

// ------------------------------------------------- regions and the maps --
// [MS-PST] 2.2.2.7.2-2.2.2.7.6. Each AMap byte covers 8 slots of 64 bytes
// (one 512-byte page); an AMap covers its whole region including itself.
constexpr uint32_t kAMapSlotSize = 64;
constexpr uint32_t kAMapBits = kPageDataSize * 8;                      // 3968 slots
constexpr uint64_t kRegionSize = uint64_t(kAMapBits) * kAMapSlotSize;  // 253,952 = 0x3E000
constexpr uint64_t kFirstAMapOffset = 0x4400;  // after the header and the reserved area
constexpr uint64_t kDListOffset = 0x4200;      // the density list sits just before AMap #0
static_assert(kRegionSize == 0x3E000);

// A PMap covers 496*8 pages of 512 bytes = 8 regions; it sits right after
// the AMap of every 8th region.
constexpr uint32_t kRegionsPerPMap = kPageDataSize * 8 * kPageSize / kRegionSize;  // 8
static_assert(kRegionsPerPMap == 8);
// FMap: one byte per AMap; the header's rgbFM covers the first 128 AMaps.
constexpr uint32_t kRegionsInHeaderFM = kRgbFMSize;  // 128
constexpr uint32_t kRegionsPerFMap = kPageDataSize;  // 496
// FPMap: one bit per PMap; the header's rgbFP covers 128*8 PMaps = 8192 regions.
constexpr uint32_t kRegionsInHeaderFP = kRgbFPSize * 8 * kRegionsPerPMap;   // 8192
constexpr uint32_t kRegionsPerFPMap = kPageDataSize * 8 * kRegionsPerPMap;  // 31,744
static_assert(kRegionsInHeaderFP == 8192 && kRegionsPerFPMap == 31744);

constexpr uint64_t regionOffset(uint64_t n) {
    return kFirstAMapOffset + n * kRegionSize;
}
constexpr bool regionHasPMap(uint64_t n) {
    return n % kRegionsPerPMap == 0;
}
constexpr bool regionHasFMap(uint64_t n) {
    return n >= kRegionsInHeaderFM && (n - kRegionsInHeaderFM) % kRegionsPerFMap == 0;
}
constexpr bool regionHasFPMap(uint64_t n) {
    return n >= kRegionsInHeaderFP && (n - kRegionsInHeaderFP) % kRegionsPerFPMap == 0;
}
// Map pages are packed right after the region's AMap: PMap if due, then
// FMap if due, then FPMap if due. Returns the number of map pages
// (AMap included) at the start of region n.
constexpr uint32_t regionMapPages(uint64_t n) {
    return 1 + (regionHasPMap(n) ? 1 : 0) + (regionHasFMap(n) ? 1 : 0) +
           (regionHasFPMap(n) ? 1 : 0);
}
// Offsets of the optional map pages of region n; 0 when the region has none.
constexpr uint64_t pmapOffset(uint64_t n) {
    return regionHasPMap(n) ? regionOffset(n) + kPageSize : 0;
}
constexpr uint64_t fmapOffset(uint64_t n) {
    return regionHasFMap(n) ? regionOffset(n) + kPageSize * (regionHasPMap(n) ? 2 : 1) : 0;
}
constexpr uint64_t fpmapOffset(uint64_t n) {
    return regionHasFPMap(n) ? regionOffset(n) + kPageSize * (1 + (regionHasPMap(n) ? 1 : 0) +
                                                              (regionHasFMap(n) ? 1 : 0))
                             : 0;
}
static_assert(fpmapOffset(8192) == 0x7C004800);
static_assert(fmapOffset(128) == 0x1F04800);

// [MS-PST] 2.2.2.7.4 DLISTPAGE.
namespace dl {
constexpr uint32_t bFlags = 0;
constexpr uint32_t cEntDList = 1;
constexpr uint32_t wPadding = 2;
constexpr uint32_t ulCurrentPage = 4;
constexpr uint32_t rgDListPageEnt = 8;
constexpr uint32_t kEntrySize = 4;
constexpr uint32_t kMaxEntries = 476 / kEntrySize;  // 119
constexpr uint32_t kPageNumMask = 0xFFFFF;          // low 20 bits: AMap index
constexpr uint32_t kFreeSlotsShift = 20;            // high 12 bits: free slots
constexpr uint8_t DFL_BACKFILL_COMPLETE = 0x01;
}  // namespace dl

// ------------------------------------------------------------------ LTP --
// [MS-PST] 2.3.1 heap-on-node.
constexpr uint8_t kHeapSignature = 0xEC;
constexpr uint8_t bTypeTC = 0x7C;
constexpr uint8_t bTypeBTH = 0xB5;
constexpr uint8_t bTypePC = 0xBC;
constexpr uint32_t kMaxHeapAllocation = 3580;
constexpr uint32_t kHnHdrSize = 12;
constexpr uint32_t kHnPageHdrSize = 2;
constexpr uint32_t kHnBitmapHdrSize = 66;
// Blocks 8, 136, 264, ... of a heap start with HNBITMAPHDR.
constexpr bool heapBlockHasBitmap(uint32_t block) {
    return block >= 8 && (block - 8) % 128 == 0;
}
constexpr uint32_t makeHid(uint32_t block, uint32_t index) {
    return (block << 16) | (index << 5);
}
constexpr uint32_t hidBlock(uint32_t hid) {
    return hid >> 16;
}
constexpr uint32_t hidIndex(uint32_t hid) {
    return (hid >> 5) & 0x7FF;
}
// An HNID whose low 5 bits are 0 is a HID; otherwise a subnode NID.
constexpr bool hnidIsHid(uint32_t hnid) {
    return (hnid & kNidTypeMask) == NID_TYPE_HID;
}

constexpr uint32_t kTcInfoHeaderSize = 22;
constexpr uint32_t kTcColDescSize = 8;
constexpr uint32_t kPidTagLtpRowId = 0x67F20003;
constexpr uint32_t kPidTagLtpRowVer = 0x67F30003;

// [MS-PST] 2.4.7 name-to-id map.
constexpr uint32_t kNameidBucketCount = 251;
constexpr uint16_t kFirstNamedPropId = 0x8000;

}  // namespace qm::pst::ndb
