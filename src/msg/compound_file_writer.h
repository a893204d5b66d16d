// Builds a compound file ([MS-CFB]) from a tree of storages and streams.
//
// Choices where the format leaves room:
// - Sectors are laid out as: large stream data, the mini stream, the mini FAT,
//   the directory, the FAT, then any DIFAT sectors. Every chain is contiguous.
// - Each storage's children form a balanced binary tree coloured so that it is
//   a valid red-black tree (only the deepest level red).
// - Timestamps are zero unless a storage is given some; empty streams start
//   at ENDOFCHAIN.
// Large streams may be given as a ByteSource; they are copied in pieces while
// writing, never held whole.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mapi/bytes.h"
#include "mapi/property.h"

namespace qm::msg {

class CompoundFileWriter {
  public:
    static constexpr uint32_t kRoot = 0;
    using Sink = std::function<void(std::span<const uint8_t>)>;

    // REQUIRES: sectorSize is 512 (version 3) or 4096 (version 4).
    explicit CompoundFileWriter(uint32_t sectorSize = 512);

    // REQUIRES: `parent` is a storage id; `name` has 1..31 UTF-16 units, none of
    // / \ : !, and no sibling has the same name ignoring case.
    // Violations throw std::invalid_argument (they are the caller's bugs).
    uint32_t addStorage(uint32_t parent, std::u16string_view name);
    void addStream(uint32_t parent, std::u16string_view name, Bytes data);
    void addStream(uint32_t parent, std::u16string_view name,
                   std::shared_ptr<const ByteSource> data);
    void setClsid(uint32_t storage, const mapi::Guid& clsid);
    void setStateBits(uint32_t id, uint32_t bits);
    // FILETIMEs of a storage (streams and the root keep zero).
    void setTimes(uint32_t storage, uint64_t created, uint64_t modified);

    uint32_t sectorSize() const { return sectorSize_; }

    // Emits the whole file in order, in pieces of at most a few sectors.
    // Throws std::length_error for a stream over 2 GiB in 512-byte sectors.
    void write(const Sink& sink) const;
    Bytes toBytes() const;

  private:
    struct Node {
        std::u16string name;
        uint8_t type = 0;
        mapi::Guid clsid;
        uint32_t stateBits = 0;
        uint64_t created = 0, modified = 0;
        Bytes data;
        std::shared_ptr<const ByteSource> source;
        uint64_t size = 0;
        std::vector<uint32_t> children;
    };
    uint32_t add(uint32_t parent, std::u16string_view name, Node node);

    uint32_t sectorSize_;
    std::vector<Node> nodes_;
};

// Directory names compare by length first, then by simple upper-casing.
// Returns <0, 0, >0.
int compareCfbNames(std::u16string_view a, std::u16string_view b);

}  // namespace qm::msg
