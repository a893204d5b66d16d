// The checker's working state, shared by its parts (node database, lists
// and tables, messaging). Private to the checker.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "pst/read/checker.h"
#include "pst/read/node_database.h"
#include "pst/read/pst_file.h"

namespace qm::pst::read::check {

class Checker {
  public:
    Checker(std::shared_ptr<NodeDatabase> db, CheckReport& report);

    void finding(const std::string& where, const std::string& what) {
        report_.findings.push_back({where, what});
    }
    void note(const std::string& what) { report_.notes.push_back(what); }
    // Map defects are findings only while the header vouches for the maps.
    void mapFinding(const std::string& where, const std::string& what);

    // check_ndb.cpp
    void checkHeader();
    void checkBlocks();
    void checkReferences();
    void checkMaps();
    void checkDensityList();
    // check_ltp.cpp
    void checkNodes();
    // check_messaging.cpp
    void checkMessaging();

    const NodeDatabase& db() const { return *db_; }
    const PstFile& pst() const { return pst_; }
    uint64_t regions() const { return regions_; }

  private:
    enum class Expect { DataRoot, Data, XBlock, SubnodeRoot, SlBlock };
    uint64_t reference(Bid bid, Expect expect, const std::string& from);
    void checkMessage(Nid nid, Bid bidData, Bid bidSub, const std::string& where, int depth);
    void checkFolder(Nid folder, int depth, std::set<Nid>& seen);
    void checkNameMap();
    void checkStore();

    std::shared_ptr<NodeDatabase> db_;
    PstFile pst_;
    CheckReport& report_;
    uint64_t regions_ = 0;
    bool mapsTrusted_ = true;
    // References found to each block, by its place in db_->blocks(): a
    // count per block of the file, so it is kept as flat as it can be.
    std::vector<uint32_t> refs_;
    std::map<Bid, uint64_t> expanded_;  // internal blocks read, and the bytes below them
    std::set<Bid> unreadable_;          // blocks whose trailer failed
    std::multimap<Nid, Nid> children_;  // NBT nidParent -> folder and message nodes
};

// Page maps and fill levels of a heap.
void checkHeapLayout(Checker& c, const Heap& heap);
// Layout of a table beyond what reading needs (column order and placement,
// row index, matrix blocks), and every cell decoded. `receiveFolders`: the
// table is the store's receive folder table.
void checkTableLayout(Checker& c, const TableContext& tc, const std::string& where,
                      bool receiveFolders = false);
// Every value of a property context decoded; object subnodes present.
void checkPropertyValues(Checker& c, const PropertyContext& pc);

}  // namespace qm::pst::read::check
