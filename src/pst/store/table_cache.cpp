#include "pst/store/table_cache.h"

#include <cstdio>
#include <string>

#include "mapi/error.h"

namespace qm::pst::store {

TableCache::TableCache(ndb::NodeDatabaseWriter& ndb, size_t capacity)
    : ndb_(ndb), capacity_(capacity == 0 ? 1 : capacity) {}

ltp::TableContextBuilder& TableCache::get(ndb::Nid nid) {
    for (auto it = open_.begin(); it != open_.end(); ++it) {
        if (it->nid == nid) {
            open_.splice(open_.begin(), open_, it);
            open_.front().dirty = true;
            return *open_.front().table;
        }
    }
    if (open_.size() >= capacity_) {
        writeBack(open_.back());
        open_.pop_back();
        ++evictions_;
    }
    const auto node = ndb_.findNode(nid);
    if (!node) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "table node 0x%X is missing", nid);
        throw Error(buf);
    }
    Open o;
    o.nid = nid;
    o.table = ltp::TableContextBuilder::open(ndb_, node->bidData, node->bidSub);
    o.dirty = true;
    open_.push_front(std::move(o));
    return *open_.front().table;
}

void TableCache::writeBack(Open& o) {
    if (!o.dirty) return;
    const ltp::BuiltNode built = o.table->flush();
    ndb::NodeEntry entry = *ndb_.findNode(o.nid);
    entry.bidData = built.bidData;
    entry.bidSub = ndb_.writeSubnodeTree(built.subnodes);
    ndb_.setNode(entry);
    o.dirty = false;
}

void TableCache::flushAll() {
    for (Open& o : open_) writeBack(o);
}

void TableCache::clear() {
    flushAll();
    open_.clear();
}

}  // namespace qm::pst::store
