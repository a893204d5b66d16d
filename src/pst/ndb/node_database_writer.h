// The node database of a new Unicode PST, written copy-on-write: blocks
// (data blocks, XBLOCK/XXBLOCK data trees, SLBLOCK/SIBLOCK subnode trees),
// the node and block B-trees (NBT, BBT), the allocation maps and the header.
//
// Durability protocol (commit()):
//   1. blocks and B-tree pages written since the last commit go only into
//      space the last committed state does not use;
//   2. rewrite the header as the last committed state with fAMapValid = 0
//      (INVALID): the map pages are about to change in place; flush steps
//      1 and 2 together (neither is reachable from the committed header);
//   3. write AMaps, PMaps, FMaps, FPMaps and the density list; flush;
//   4. write the header naming the new roots, fAMapValid = 2, dwUnique + 1;
//      flush.
// Three flushes a commit; the very first commit has no step 2.
// A process killed at any point leaves a file that reads as the last
// committed state (or, once step 4 is on disk, the new one). Space freed
// during a transaction becomes reusable only after the commit that frees it.
//
// Reference counts follow [MS-PST] 2.2.2.7.7.3: a block's BBT entry counts
// 1, and every reference to it (NBT bidData/bidSub, SLENTRY bidData/bidSub,
// SIENTRY, XBLOCK/XXBLOCK slot) counts 1 more. The writer keeps them itself:
// writeDataTree(), writeSubnodeTree() and setNode() add the references they
// make; replacing or deleting a node releases its references. A block whose
// count is 1 at commit() is garbage: it leaves the BBT, releases what it
// references (internal blocks) and its space is freed.
//
// Memory: only dirty B-tree pages, the path being worked on and a small page
// cache are held; ids grow, so most inserts land on the right edge.
//
// Not thread-safe; one writer per file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "mapi/bytes.h"
#include "pst/ndb/format.h"

namespace qm::pst::ndb {

// One NBTENTRY.
struct NodeEntry {
    Nid nid = 0;
    Bid bidData = 0;  // 0: the node has no data (an empty node)
    Bid bidSub = 0;   // 0: no subnodes
    Nid nidParent = 0;
    bool operator==(const NodeEntry&) const = default;
};

// One SLENTRY (a subnode of a node, or of a subnode).
struct SubnodeEntry {
    Nid nid = 0;
    Bid bidData = 0;
    Bid bidSub = 0;
    bool operator==(const SubnodeEntry&) const = default;
};

// One BBTENTRY.
struct BlockEntry {
    Bref bref;
    uint16_t cb = 0;    // data bytes, without padding and trailer
    uint16_t cRef = 0;  // as it will be written at the next commit
};

class NodeDatabaseWriter {
  public:
    // Creates a new file for `path`: fails with qm::IoError if anything
    // exists there, a dangling link included. Data blocks are encoded with
    // `crypt` (None or Permute; never Cyclic). The empty database is
    // committed before this returns; with `publishNow` the file then takes
    // its name, otherwise it stays unnamed until publish(), so a caller can
    // make it a whole store first (see WritableFile::createUnpublished).
    static std::unique_ptr<NodeDatabaseWriter> create(const std::filesystem::path& path,
                                                      CryptMethod crypt = CryptMethod::Permute,
                                                      bool publishNow = true);
    // Gives the file its name (after its last commit); throws qm::IoError
    // when something took `path` meanwhile.
    void publish();
    ~NodeDatabaseWriter();  // closes without committing: the file keeps its last commit
    NodeDatabaseWriter(const NodeDatabaseWriter&) = delete;
    NodeDatabaseWriter& operator=(const NodeDatabaseWriter&) = delete;

    const std::filesystem::path& path() const;
    CryptMethod cryptMethod() const;

    // ---------------------------------------------------------------- blocks
    // Every write returns the new block's BID with a count of 1 (the BBT's
    // own). REQUIRES: whatever is written is referenced (by a node or a
    // tree) before the next commit(), or that commit frees it.

    // One external data block, encoded. REQUIRES: 1 <= data.size() <= kMaxBlockData.
    Bid writeDataBlock(std::span<const uint8_t> data);
    struct BlockRef {
        Bid bid = 0;
        uint32_t size = 0;  // cb of the data block
    };
    // The data tree over `blocks` (data blocks, in stream order): the block
    // itself when there is one (no reference added: the caller's is the
    // tree's), an XBLOCK up to 1021, else an XXBLOCK over XBLOCKs. Adds one
    // reference to each child. `previous`, when given, is
    // an earlier tree of the same stream: its XBLOCKs whose slots are
    // unchanged are re-referenced instead of rewritten.
    // REQUIRES: blocks non-empty; total size < 4 GiB (lcbTotal is 32-bit).
    Bid writeDataTree(std::span<const BlockRef> blocks, Bid previous = 0);
    // `data` cut into blocks of kMaxBlockData (all full but the last), then
    // the tree. Returns 0 for empty data (a node without data).
    Bid writeData(std::span<const uint8_t> data);
    // The same, read from `source` in block-sized pieces: never held whole.
    Bid writeStream(const ByteSource& source);
    // SLBLOCK (up to 340 entries) or SIBLOCK over SLBLOCKs. Adds one
    // reference to each entry's bidData and bidSub. Returns 0 when empty.
    // REQUIRES: entries sorted by nid, nids unique.
    Bid writeSubnodeTree(std::span<const SubnodeEntry> entries);

    // The block's entry, its count as the next commit() will write it.
    std::optional<BlockEntry> findBlock(Bid bid) const;

    // ----------------------------------------------------------- reading back
    // What this writer wrote (committed or not), decoded.
    Bytes readBlock(Bid bid) const;
    // The data blocks of the tree at `root` in stream order (`root` itself
    // for a data block).
    std::vector<Bid> dataTreeBlocks(Bid root) const;
    // The same with each block's size (BBT look-ups).
    std::vector<BlockRef> dataTreeBlockRefs(Bid root) const;
    uint64_t dataSize(Bid root) const;
    std::vector<SubnodeEntry> readSubnodeTree(Bid root) const;

    // ----------------------------------------------------------------- nodes
    // Inserts or replaces the node `entry.nid`: adds references to the new
    // bidData/bidSub, then releases the old ones.
    // REQUIRES: nid type is not HID; the blocks exist.
    void setNode(const NodeEntry& entry);
    // Removes the node and releases its blocks. False if it did not exist.
    bool deleteNode(Nid nid);
    std::optional<NodeEntry> findNode(Nid nid) const;
    // The next NID of this type from HEADER.rgnid (increment, then use).
    Nid allocateNid(uint8_t nidType);
    // Raises the counter so that `nid` is never handed out (fixed NIDs).
    void reserveNid(Nid nid);

    // --------------------------------------------------------------- commit
    // Makes everything written so far durable (see the protocol above).
    void commit();
    // Commits and closes; further calls throw qm::Error.
    void close();
    bool isOpen() const;

    uint64_t fileSize() const;        // ibFileEof as of now (whole regions)
    uint64_t committedCount() const;  // commits so far, create() included

    // Test seam: called with a step name ("data", "invalid-header", "maps",
    // "header") after each step of commit(); "data" before its flush, which
    // it shares with "invalid-header", the others after theirs.
    void setCommitObserver(std::function<void(const char* step)> observer);

    struct Impl;

  private:
    explicit NodeDatabaseWriter(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace qm::pst::ndb
