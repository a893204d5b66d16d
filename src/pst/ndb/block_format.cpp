#include "pst/ndb/block_format.h"

#include <cstring>
#include <stdexcept>

#include "mapi/error.h"
#include "pst/ndb/crc.h"
#include "pst/ndb/crypt.h"
#include "pst/ndb/node_database_writer.h"
#include "pst/ndb/signature.h"

namespace qm::pst::ndb {

void sealPage(std::span<uint8_t, kPageSize> page, uint8_t ptype, Bid bid, Ib ib) {
    uint8_t* p = page.data();
    p[ptr::ptype] = ptype;
    p[ptr::ptypeRepeat] = ptype;
    storeLE16(p + ptr::wSig, pageHasSignature(ptype) ? computeSignature(ib, bid) : 0);
    storeLE32(p + ptr::dwCRC, crc32(p, kPageDataSize));
    storeLE64(p + ptr::bid, bid);
}

void checkPage(std::span<const uint8_t, kPageSize> page, uint8_t ptype, Bid bid, Ib ib,
               const std::string& file) {
    const uint8_t* p = page.data();
    auto fail = [&](const char* what) { throw FormatError(file, "page", int64_t(ib), what); };
    if (p[ptr::ptype] != ptype || p[ptr::ptypeRepeat] != ptype) fail("unexpected page type");
    if (loadLE64(p + ptr::bid) != bid) fail("page BID does not match its reference");
    uint16_t sig = pageHasSignature(ptype) ? computeSignature(ib, bid) : 0;
    if (loadLE16(p + ptr::wSig) != sig) fail("bad page signature");
    if (loadLE32(p + ptr::dwCRC) != crc32(p, kPageDataSize)) fail("bad page CRC");
}

void sealBlockInto(std::span<const uint8_t> data, Bid bid, Ib ib, CryptMethod crypt,
                   std::span<uint8_t> out) {
    if (out.size() != blockSizeOnDisk(uint32_t(data.size())))
        throw std::logic_error("sealBlockInto: room for the block has the wrong size");
    if (bidIsInternal(bid))
        std::memcpy(out.data(), data.data(), data.size());
    else
        encodeBlockDataInto(data, out.data(), crypt, bid);
    // Only the padding and trailer are zeroed: blocks carry most of the
    // file's bytes, and zeroing them first costs as much as the copy.
    std::memset(out.data() + data.size(), 0, out.size() - data.size());
    uint8_t* t = out.data() + out.size() - kBlockTrailerSize;
    storeLE16(t + btr::cb, uint16_t(data.size()));
    storeLE16(t + btr::wSig, computeSignature(ib, bid));
    storeLE32(t + btr::dwCRC, crc32(out.data(), data.size()));
    storeLE64(t + btr::bid, bid);
}

Bytes sealBlock(std::span<const uint8_t> data, Bid bid, Ib ib, CryptMethod crypt) {
    Bytes out(blockSizeOnDisk(uint32_t(data.size())));
    sealBlockInto(data, bid, ib, crypt, out);
    return out;
}

Bytes openBlock(std::span<const uint8_t> disk, Bid bid, Ib ib, uint16_t cb, CryptMethod crypt,
                const std::string& file) {
    auto fail = [&](const char* what) { throw FormatError(file, "block", int64_t(ib), what); };
    if (disk.size() != blockSizeOnDisk(cb)) fail("block size does not match its BBT entry");
    const uint8_t* t = disk.data() + disk.size() - kBlockTrailerSize;
    if (loadLE16(t + btr::cb) != cb) fail("trailer cb does not match the BBT");
    if (loadLE64(t + btr::bid) != bid) fail("trailer BID does not match the BBT");
    if (loadLE16(t + btr::wSig) != computeSignature(ib, bid)) fail("bad block signature");
    if (loadLE32(t + btr::dwCRC) != crc32(disk.data(), cb)) fail("bad block CRC");
    Bytes data(disk.begin(), disk.begin() + cb);
    if (!bidIsInternal(bid)) decodeBlockData(data, crypt, bid);
    return data;
}

Bytes makeXBlock(uint8_t level, std::span<const Bid> bids, uint32_t lcbTotal) {
    Bytes b;
    b.reserve(kInternalBlockHeaderSize + bids.size() * kXBlockBidSize);
    b.push_back(kBTypeXBlock);
    b.push_back(level);
    appendLE16(b, uint16_t(bids.size()));
    appendLE32(b, lcbTotal);
    for (Bid bid : bids) appendLE64(b, bid);
    return b;
}

XBlock parseXBlock(std::span<const uint8_t> data, const std::string& file, Ib ib) {
    ByteReader r(data, "XBLOCK", int64_t(ib));
    XBlock x;
    if (r.u8() != kBTypeXBlock) throw FormatError(file, "XBLOCK", int64_t(ib), "bad btype");
    x.level = r.u8();
    uint16_t n = r.u16();
    x.lcbTotal = r.u32();
    if (x.level < 1 || x.level > 2 || n == 0)
        throw FormatError(file, "XBLOCK", int64_t(ib), "bad level or empty");
    x.bids.reserve(n);
    for (uint16_t i = 0; i < n; ++i) x.bids.push_back(r.u64());
    return x;
}

Bytes makeSlBlock(std::span<const SubnodeEntry> entries) {
    Bytes b;
    b.reserve(kInternalBlockHeaderSize + entries.size() * kSlEntrySize);
    b.push_back(kBTypeSubnode);
    b.push_back(0);
    appendLE16(b, uint16_t(entries.size()));
    appendLE32(b, 0);
    for (const auto& e : entries) {
        appendLE64(b, e.nid);
        appendLE64(b, e.bidData);
        appendLE64(b, e.bidSub);
    }
    return b;
}

Bytes makeSiBlock(std::span<const SiEntry> entries) {
    Bytes b;
    b.push_back(kBTypeSubnode);
    b.push_back(1);
    appendLE16(b, uint16_t(entries.size()));
    appendLE32(b, 0);
    for (const auto& e : entries) {
        appendLE64(b, e.nid);
        appendLE64(b, e.bid);
    }
    return b;
}

SubnodeBlock parseSubnodeBlock(std::span<const uint8_t> data, const std::string& file, Ib ib) {
    ByteReader r(data, "subnode block", int64_t(ib));
    SubnodeBlock s;
    if (r.u8() != kBTypeSubnode) throw FormatError(file, "subnode block", int64_t(ib), "bad btype");
    s.level = r.u8();
    uint16_t n = r.u16();
    r.u32();
    if (s.level > 1 || n == 0)
        throw FormatError(file, "subnode block", int64_t(ib), "bad level or empty");
    for (uint16_t i = 0; i < n; ++i) {
        if (s.level == 0) {
            SubnodeEntry e;
            e.nid = Nid(r.u64());
            e.bidData = r.u64();
            e.bidSub = r.u64();
            s.leaves.push_back(e);
        } else {
            SiEntry e;
            e.nid = Nid(r.u64());
            e.bid = r.u64();
            s.children.push_back(e);
        }
    }
    return s;
}

std::array<uint8_t, kHeaderSize> encodeHeader(const Header& h) {
    std::array<uint8_t, kHeaderSize> b{};
    uint8_t* p = b.data();
    storeLE32(p + hdr::dwMagic, kHeaderMagic);
    storeLE16(p + hdr::wMagicClient, kHeaderMagicClient);
    storeLE16(p + hdr::wVer, h.version);
    storeLE16(p + hdr::wVerClient, h.clientVersion);
    p[hdr::bPlatformCreate] = h.platformCreate;
    p[hdr::bPlatformAccess] = h.platformAccess;
    storeLE32(p + hdr::dwReserved1, h.reserved1);
    storeLE32(p + hdr::dwReserved2, h.reserved2);
    storeLE64(p + hdr::bidUnused, h.bidUnused);
    storeLE64(p + hdr::bidNextP, h.bidNextP);
    storeLE32(p + hdr::dwUnique, h.unique);
    for (uint32_t i = 0; i < kRgnidCount; ++i) storeLE32(p + hdr::rgnid + 4 * i, h.rgnid[i]);
    uint8_t* r = p + hdr::root;
    storeLE32(r + root::dwReserved, h.root.reserved);
    storeLE64(r + root::ibFileEof, h.root.fileEof);
    storeLE64(r + root::ibAMapLast, h.root.amapLast);
    storeLE64(r + root::cbAMapFree, h.root.amapFree);
    storeLE64(r + root::cbPMapFree, h.root.pmapFree);
    storeLE64(r + root::brefNbt, h.root.nbt.bid);
    storeLE64(r + root::brefNbt + 8, h.root.nbt.ib);
    storeLE64(r + root::brefBbt, h.root.bbt.bid);
    storeLE64(r + root::brefBbt + 8, h.root.bbt.ib);
    r[root::fAMapValid] = h.root.amapValid;
    std::memset(p + hdr::rgbFM, 0xFF, kRgbFMSize);
    std::memset(p + hdr::rgbFP, 0xFF, kRgbFPSize);
    p[hdr::bSentinel] = kSentinel;
    p[hdr::bCryptMethod] = h.cryptMethod;
    storeLE64(p + hdr::bidNextB, h.bidNextB);
    storeLE32(p + hdr::dwCRCPartial, crc32(p + kHeaderCrcStart, kHeaderCrcPartialSize));
    storeLE32(p + hdr::dwCRCFull, crc32(p + kHeaderCrcStart, kHeaderCrcFullSize));
    return b;
}

}  // namespace qm::pst::ndb
