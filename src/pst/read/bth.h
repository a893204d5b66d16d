// A B-tree-on-heap, read ([MS-PST] 2.3.2): the BTHHEADER item, index levels
// and leaf records. Keys must ascend strictly across the whole tree and each
// index key must equal the first key below it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "pst/read/heap.h"

namespace qm::pst::read {

class Bth {
  public:
    struct Record {
        std::span<const uint8_t> key;
        std::span<const uint8_t> data;
        // The key as an unsigned little-endian number (keys of up to 8 bytes).
        uint64_t keyValue() const;
    };

    // REQUIRES: `heap` outlives this object and the records. Throws
    // qm::FormatError for a malformed tree.
    Bth(const Heap& heap, uint32_t hidHeader);

    uint8_t keySize() const { return keySize_; }
    uint8_t dataSize() const { return dataSize_; }
    uint8_t indexLevels() const { return levels_; }
    uint32_t rootHid() const { return root_; }
    const std::vector<Record>& records() const { return records_; }
    // The heap items holding index and leaf records (checker).
    const std::vector<uint32_t>& itemHids() const { return hids_; }

  private:
    void load(uint32_t hid, int level, std::span<const uint8_t> expectedFirstKey);
    const Heap& heap_;
    uint8_t keySize_ = 0, dataSize_ = 0, levels_ = 0;
    uint32_t root_ = 0;
    std::vector<Record> records_;
    std::vector<uint32_t> hids_;
};

}  // namespace qm::pst::read
