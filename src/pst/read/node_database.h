// The node database of a Unicode PST, read: the header, the node and block
// B-trees (walked once, at open), blocks with their trailers checked and
// their data decoded, data trees (XBLOCK/XXBLOCK) and subnode trees
// (SLBLOCK/SIBLOCK). Nothing read from the file is trusted: offsets and
// sizes are bounds-checked, B-tree levels must descend one by one, every
// page is visited at most once, and data and subnode trees have fixed depth.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "mapi/bytes.h"
#include "pst/ndb/format.h"
#include "pst/read/file_bytes.h"
#include "pst/read/problems.h"

namespace qm::pst::read {

using ndb::Bid;
using ndb::Ib;
using ndb::Nid;

struct BbtEntry {
    Bid bid = 0;
    Ib ib = 0;
    uint16_t cb = 0;
    uint16_t cRef = 0;
    uint32_t padding = 0;
};

struct NbtEntry {
    Nid nid = 0;
    Bid bidData = 0;
    Bid bidSub = 0;
    Nid nidParent = 0;
    uint32_t padding = 0;
};

struct SubnodeEntry {
    Nid nid = 0;
    Bid bidData = 0;
    Bid bidSub = 0;
};

// A B-tree page met during the walk at open (the checker accounts for them).
struct PageInfo {
    Ib ib = 0;
    Bid bid = 0;
    uint8_t ptype = 0;
    uint8_t level = 0;
};

// One block as stored: its BBT entry and its cb data bytes, still encoded
// when the block is external.
struct RawBlock {
    BbtEntry entry;
    Bytes data;
};

class NodeDatabase : public std::enable_shared_from_this<NodeDatabase> {
  public:
    // Opens and walks both B-trees. A file that is not a Unicode PST (bad
    // magic, an ANSI or unknown version, a header cut short, an unknown
    // encoding) always throws qm::FormatError; other defects go to
    // `problems` (which throws unless it collects). qm::IoError on I/O.
    static std::shared_ptr<NodeDatabase> open(const std::filesystem::path& path,
                                              const Problems& problems);
    static std::shared_ptr<NodeDatabase> open(const std::filesystem::path& path);

    const ndb::Header& header() const { return header_; }
    // The 564 header bytes as read.
    const Bytes& headerBytes() const { return headerBytes_; }
    const FileBytes& file() const { return *file_; }
    const std::shared_ptr<FileBytes>& fileHandle() const { return file_; }
    const std::string& path() const { return file_->path(); }
    ndb::CryptMethod cryptMethod() const { return ndb::CryptMethod(header_.cryptMethod); }

    // Sorted by nid / by bid; as the leaves of the B-trees hold them.
    const std::vector<NbtEntry>& nodes() const { return nodes_; }
    const std::vector<BbtEntry>& blocks() const { return blocks_; }
    const std::vector<PageInfo>& pages() const { return pages_; }

    const NbtEntry* findNode(Nid nid) const;
    const BbtEntry* findBlock(Bid bid) const;
    // Throws qm::FormatError when the node is absent.
    const NbtEntry& node(Nid nid) const;

    // The block with its trailer checked (bid, cb, signature, CRC). Throws
    // qm::FormatError on any mismatch or when the BBT lacks the block.
    RawBlock readRawBlock(Bid bid) const;
    // A data block's bytes, decoded. REQUIRES nothing of the BID: an
    // internal BID throws.
    Bytes readDataBlock(Bid bid) const;

    // The data blocks of a node's data tree, decoded, in order (one element
    // for a plain data block). bid 0 gives no blocks.
    std::vector<Bytes> readDataTree(Bid bid) const;
    // The same concatenated. Throws if the stream exceeds `limit` bytes.
    Bytes readStream(Bid bid, uint64_t limit = uint64_t(1) << 32) const;
    // Length of the stream (lcbTotal for trees) without reading data blocks.
    uint64_t streamSize(Bid bid) const;
    // The stream as a source that reads the file on demand (big values).
    std::shared_ptr<const ByteSource> streamSource(Bid bid) const;

    // Entries of a subnode tree, sorted by nid; bidSub 0 gives none.
    std::vector<SubnodeEntry> readSubnodes(Bid bidSub) const;

  private:
    NodeDatabase() = default;
    void walk(const ndb::Bref& bref, uint8_t ptype, int expectedLevel, uint64_t lowKey,
              uint64_t highKey, const Problems& problems, int depth);
    struct XBlockChild {
        Bid bid;
        uint64_t size;  // bytes of data below it
    };
    void dataLeaves(Bid bid, std::vector<XBlockChild>& out) const;
    void subnodeLeaves(Bid bid, int level, std::vector<SubnodeEntry>& out) const;

    std::shared_ptr<FileBytes> file_;
    Bytes headerBytes_;
    ndb::Header header_;
    std::vector<NbtEntry> nodes_;
    std::vector<BbtEntry> blocks_;
    std::vector<PageInfo> pages_;
    std::set<Ib> visited_;  // pages already walked: a B-tree that loops ends
};

// Decodes the 564 header bytes. Throws qm::FormatError (file named) for a
// file that is not a Unicode PST; CRCs are not judged here.
ndb::Header parseHeader(std::span<const uint8_t> bytes, const std::string& file);

}  // namespace qm::pst::read
