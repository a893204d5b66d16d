// Byte layouts the writer produces and reads back: page trailers, block
// trailers, internal blocks (XBLOCK/XXBLOCK, SLBLOCK/SIBLOCK) and the
// header. [MS-PST] 2.2.2.6, 2.2.2.7.1, 2.2.2.8.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "mapi/bytes.h"
#include "pst/ndb/format.h"

namespace qm::pst::ndb {

struct SubnodeEntry;

// Fills the PAGETRAILER of a 512-byte page: ptype twice, the signature
// (0 for map pages), the CRC of bytes 0..495, the BID.
void sealPage(std::span<uint8_t, kPageSize> page, uint8_t ptype, Bid bid, Ib ib);
// Throws qm::FormatError (naming `file` and `ib`) when the trailer does not
// match: wrong ptype, BID, signature or CRC.
void checkPage(std::span<const uint8_t, kPageSize> page, uint8_t ptype, Bid bid, Ib ib,
               const std::string& file);

// The on-disk bytes of a block: data (encoded when external and `crypt` is
// not None), zero padding, trailer. REQUIRES: data.size() <= kMaxBlockData.
Bytes sealBlock(std::span<const uint8_t> data, Bid bid, Ib ib, CryptMethod crypt);
// The same into `out`, which must be blockSizeOnDisk(data.size()) bytes.
void sealBlockInto(std::span<const uint8_t> data, Bid bid, Ib ib, CryptMethod crypt,
                   std::span<uint8_t> out);
// The decoded data of a block read from disk (`disk` = its whole on-disk
// size), after checking the trailer's cb, BID, signature and CRC.
Bytes openBlock(std::span<const uint8_t> disk, Bid bid, Ib ib, uint16_t cb, CryptMethod crypt,
                const std::string& file);

// XBLOCK (level 1) / XXBLOCK (level 2): btype 1, cLevel, cEnt, lcbTotal, rgbid.
Bytes makeXBlock(uint8_t level, std::span<const Bid> bids, uint32_t lcbTotal);
struct XBlock {
    uint8_t level = 0;
    uint32_t lcbTotal = 0;
    std::vector<Bid> bids;
};
XBlock parseXBlock(std::span<const uint8_t> data, const std::string& file, Ib ib);

// SLBLOCK: btype 2, cLevel 0, cEnt, padding, SLENTRY[cEnt].
Bytes makeSlBlock(std::span<const SubnodeEntry> entries);
// SIBLOCK: btype 2, cLevel 1, cEnt, padding, SIENTRY[cEnt] = {first nid, SLBLOCK bid}.
struct SiEntry {
    Nid nid = 0;
    Bid bid = 0;
};
Bytes makeSiBlock(std::span<const SiEntry> entries);
struct SubnodeBlock {
    uint8_t level = 0;
    std::vector<SubnodeEntry> leaves;  // level 0
    std::vector<SiEntry> children;     // level 1
};
SubnodeBlock parseSubnodeBlock(std::span<const uint8_t> data, const std::string& file, Ib ib);

// The 564 header bytes with both CRCs; rgbFM/rgbFP 0xFF, bSentinel 0x80.
std::array<uint8_t, kHeaderSize> encodeHeader(const Header& h);

}  // namespace qm::pst::ndb
