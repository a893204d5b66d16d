// An independent read of a file the node database writer made: everything
// is recomputed from the bytes (header, pages, blocks, maps) without the
// writer's own code, so the tests compare two views of the same file.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "mapi/bytes.h"
#include "pst/ndb/format.h"
#include "pst/ndb/node_database_writer.h"

namespace qm::pst::ndb::testing {

struct FileView {
    Header header;
    std::map<Nid, NodeEntry> nodes;
    std::map<Bid, BlockEntry> blocks;
    std::vector<std::string> findings;  // empty when every check passed
    uint32_t nbtDepth = 0, bbtDepth = 0;
    bool amapsInvalid = false;  // fAMapValid = INVALID: maps not compared

    bool clean() const { return findings.empty(); }
    std::string report() const;
    // The decoded bytes of a data tree or block.
    Bytes data(Bid root) const;
    std::vector<SubnodeEntry> subnodes(Bid root) const;

    std::string path;
    CryptMethod crypt = CryptMethod::None;
};

// Reads and checks: header CRCs and fields, both B-trees (trailers, order,
// keys, levels), every block (trailer, CRC, signature), reference counts
// against every reference, and the allocation maps (AMap bits against the
// space really used, cbAMapFree, PMap/FMap/FPMap pages and the DList).
FileView checkFile(const std::string& path);

// What the reader's own checker (src/pst/read) finds below the messaging
// layer: a file of loose nodes is no message store, so findings about the
// store, folders, messages and the name map are left out.
std::vector<std::string> readerFindings(const std::string& path);

}  // namespace qm::pst::ndb::testing
