// The folder tables (contents and hierarchy) the store is changing, kept
// open for a while so that a run of messages into one folder appends to one
// open table. At most `capacity` are open; the least recently used one is
// written back (its node pointed at the new data) when another is needed.
// A table not open lives only in the file, so memory does not grow with the
// number of folders or messages.
//
// REQUIRES: every table node named here exists in the node database.
#pragma once

#include <cstddef>
#include <list>
#include <memory>

#include "pst/ltp/table_context_builder.h"
#include "pst/ndb/node_database_writer.h"

namespace qm::pst::store {

class TableCache {
  public:
    TableCache(ndb::NodeDatabaseWriter& ndb, size_t capacity);

    // The open table of node `nid`, opening it from the file when needed.
    ltp::TableContextBuilder& get(ndb::Nid nid);
    // Writes every open table and points its node at it. Tables stay open.
    void flushAll();
    // Writes and forgets every open table.
    void clear();
    // Tables written back to make room since the cache was made.
    uint64_t evictions() const { return evictions_; }

  private:
    struct Open {
        ndb::Nid nid = 0;
        std::unique_ptr<ltp::TableContextBuilder> table;
        bool dirty = false;
    };
    void writeBack(Open& open);

    ndb::NodeDatabaseWriter& ndb_;
    size_t capacity_;
    std::list<Open> open_;  // most recently used first
    uint64_t evictions_ = 0;
};

}  // namespace qm::pst::store
