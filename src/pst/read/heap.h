// A heap-on-node, read ([MS-PST] 2.3.1): the node's data blocks, each with
// its page map; items addressed by HID. The layout of every block is
// checked when the heap is built: page map inside the block, allocations
// contiguous and in order, between the block header and the page map.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "mapi/bytes.h"

namespace qm::pst::read {

class Heap {
  public:
    struct PageMap {
        uint16_t ibHnpm = 0;
        uint16_t cFree = 0;
        std::vector<uint16_t> offsets;  // cAlloc + 1 entries
    };

    // `blocks` are the node's data blocks, decoded. `file` and `where` name
    // the node in errors. Throws qm::FormatError for a malformed heap.
    Heap(std::vector<Bytes> blocks, std::string file, std::string where);

    uint8_t clientSig() const { return clientSig_; }
    uint32_t userRoot() const { return userRoot_; }
    // The 4 fill-level bytes of HNHDR (blocks 0-7).
    const uint8_t* headerFillLevel() const { return blocks_[0].data() + 8; }

    // The item's bytes. Throws qm::FormatError for a HID that names no item.
    std::span<const uint8_t> item(uint32_t hid) const;
    bool hasItem(uint32_t hid) const;

    size_t blockCount() const { return blocks_.size(); }
    const Bytes& block(size_t i) const { return blocks_[i]; }
    const PageMap& pageMap(size_t i) const { return maps_[i]; }
    const std::string& where() const { return where_; }
    const std::string& file() const { return file_; }

  private:
    std::vector<Bytes> blocks_;
    std::vector<PageMap> maps_;
    std::string file_;
    std::string where_;
    uint8_t clientSig_ = 0;
    uint32_t userRoot_ = 0;
};

// Decoded size in bytes of the header at the start of heap block `i`.
uint32_t heapBlockHeaderSize(size_t i);

}  // namespace qm::pst::read
