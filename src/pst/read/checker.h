// The strict checker behind `quillmark-cli check`: every invariant our
// writer relies on, verified against the bytes of a file.
//
//   node database: header CRCs and fields, B-tree pages (trailers, CRCs,
//     signatures, order, keys, levels, cEntMax, padding), every block's
//     trailer, the internal bit against the block's kind, reference counts
//     recomputed from every reference, allocation maps against the space
//     really in use (exact, both ways), cbAMapFree, PMap/FMap/FPMap pages
//     at their places, the density list, whole regions and ibFileEof;
//   lists and tables: every heap, BTH, property context and table context
//     (TCINFO, column layout, cell existence bitmap, row index vs rows),
//     laid out as Outlook lays them out (BTHHEADER and TCINFO at the heap
//     ids its files use), no present cell holding HNID 0, and no 8-bit
//     string property or column anywhere (a Unicode store has none);
//   messaging: the store, the folder tree (hierarchy rows against folder
//     PCs, counts against rows), contents and attachment rows against their
//     objects (a property's type must agree, compared by id), attachments
//     and recipients, and the name-to-id map with its buckets.
//
// A header saying fAMapValid = 0 means the maps are to be rebuilt by the
// next writer (Outlook does so), so map mismatches are then only noted.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "pst/read/problems.h"

namespace qm::pst::read {

struct CheckReport {
    std::vector<Finding> findings;   // defects: the file is not clean
    std::vector<std::string> notes;  // facts worth saying that are not defects
    bool clean() const { return findings.empty(); }
};

// Throws qm::FormatError when the file is not a readable Unicode PST (not a
// PST, ANSI, unknown version) and qm::IoError when it cannot be read.
CheckReport checkFile(const std::filesystem::path& path);

}  // namespace qm::pst::read
