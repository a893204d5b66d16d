#include "pst/read/ltp_node.h"

#include <algorithm>

#include "pst/ndb/format.h"

namespace qm::pst::read {

LtpNode::LtpNode(std::shared_ptr<const NodeDatabase> db, Bid bidData, Bid bidSub, std::string where)
    : db_(std::move(db)),
      where_(std::move(where)),
      heap_(db_->readDataTree(bidData), db_->path(), where_),
      subnodes_(db_->readSubnodes(bidSub)) {}

const SubnodeEntry* LtpNode::findSubnode(Nid nid) const {
    auto it = std::lower_bound(subnodes_.begin(), subnodes_.end(), nid,
                               [](const SubnodeEntry& e, Nid n) { return e.nid < n; });
    return it != subnodes_.end() && it->nid == nid ? &*it : nullptr;
}

const SubnodeEntry& LtpNode::subnode(uint32_t nid) const {
    const SubnodeEntry* e = findSubnode(nid);
    if (!e) throw FormatError(db_->path(), where_, -1, "subnode " + hex(nid) + " is missing");
    return *e;
}

Bytes LtpNode::read(uint32_t hnid, uint64_t limit) const {
    if (hnid == 0) return {};
    if (ndb::hnidIsHid(hnid)) {
        auto s = heap_.item(hnid);
        return Bytes(s.begin(), s.end());
    }
    return db_->readStream(subnode(hnid).bidData, limit);
}

uint64_t LtpNode::size(uint32_t hnid) const {
    if (hnid == 0) return 0;
    if (ndb::hnidIsHid(hnid)) return heap_.item(hnid).size();
    return db_->streamSize(subnode(hnid).bidData);
}

std::shared_ptr<const ByteSource> LtpNode::source(uint32_t hnid) const {
    return db_->streamSource(subnode(hnid).bidData);
}

}  // namespace qm::pst::read
