// A node opened for the lists-tables-properties layer: its data as a heap
// and its subnode tree, and the values behind HNIDs (a heap item when the
// low five bits are 0, else a subnode's data stream).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "pst/read/heap.h"
#include "pst/read/node_database.h"

namespace qm::pst::read {

class LtpNode {
  public:
    // Throws qm::FormatError when the data is not a heap or the subnode tree
    // is malformed.
    LtpNode(std::shared_ptr<const NodeDatabase> db, Bid bidData, Bid bidSub, std::string where);

    const NodeDatabase& db() const { return *db_; }
    const std::shared_ptr<const NodeDatabase>& dbHandle() const { return db_; }
    const Heap& heap() const { return heap_; }
    const std::vector<SubnodeEntry>& subnodes() const { return subnodes_; }
    const SubnodeEntry* findSubnode(Nid nid) const;
    const std::string& where() const { return where_; }

    // Bytes behind an HNID; 0 is the empty value. Throws qm::FormatError
    // when the HNID names nothing, or the value exceeds `limit`.
    Bytes read(uint32_t hnid, uint64_t limit = uint64_t(1) << 32) const;
    uint64_t size(uint32_t hnid) const;
    // A subnode value as a source read on demand (REQUIRES: !hnidIsHid).
    std::shared_ptr<const ByteSource> source(uint32_t hnid) const;

  private:
    const SubnodeEntry& subnode(uint32_t nid) const;
    std::shared_ptr<const NodeDatabase> db_;
    std::string where_;
    Heap heap_;
    std::vector<SubnodeEntry> subnodes_;
};

}  // namespace qm::pst::read
