#include "pst/read/heap.h"

#include "mapi/error.h"
#include "pst/ndb/format.h"
#include "pst/read/problems.h"

namespace qm::pst::read {

using namespace ndb;

uint32_t heapBlockHeaderSize(size_t i) {
    if (i == 0) return kHnHdrSize;
    return heapBlockHasBitmap(uint32_t(i)) ? kHnBitmapHdrSize : kHnPageHdrSize;
}

Heap::Heap(std::vector<Bytes> blocks, std::string file, std::string where)
    : blocks_(std::move(blocks)), file_(std::move(file)), where_(std::move(where)) {
    auto fail = [&](size_t block, const std::string& what) {
        throw FormatError(file_, where_ + " heap block " + std::to_string(block), -1, what);
    };
    if (blocks_.empty()) throw FormatError(file_, where_, -1, "heap without data");
    if (blocks_.size() > 0x10000) fail(0, "more than 65536 heap blocks");
    const Bytes& b0 = blocks_[0];
    if (b0.size() < kHnHdrSize) fail(0, "too short for HNHDR");
    if (b0[2] != kHeapSignature) fail(0, "bSig " + hex(b0[2]) + ", expected 0xec");
    clientSig_ = b0[3];
    userRoot_ = loadLE32(&b0[4]);
    maps_.resize(blocks_.size());
    for (size_t i = 0; i < blocks_.size(); ++i) {
        const Bytes& b = blocks_[i];
        uint32_t hdrSize = heapBlockHeaderSize(i);
        if (b.size() < hdrSize + 4) fail(i, "too short for its header and page map");
        uint16_t ibHnpm = loadLE16(b.data());
        if (ibHnpm < hdrSize || ibHnpm % 2 != 0 || size_t(ibHnpm) + 4 > b.size())
            fail(i, "ibHnpm " + std::to_string(ibHnpm) + " outside the block");
        uint16_t cAlloc = loadLE16(&b[ibHnpm]);
        uint16_t cFree = loadLE16(&b[ibHnpm + 2]);
        if (size_t(ibHnpm) + 4 + 2 * (size_t(cAlloc) + 1) > b.size())
            fail(i, "page map of " + std::to_string(cAlloc) + " items runs past the block");
        PageMap& m = maps_[i];
        m.ibHnpm = ibHnpm;
        m.cFree = cFree;
        m.offsets.resize(size_t(cAlloc) + 1);
        for (size_t k = 0; k <= cAlloc; ++k) m.offsets[k] = loadLE16(&b[ibHnpm + 4 + 2 * k]);
        if (m.offsets[0] != hdrSize)
            fail(i, "first item at " + std::to_string(m.offsets[0]) + ", expected " +
                        std::to_string(hdrSize));
        for (size_t k = 1; k <= cAlloc; ++k) {
            if (m.offsets[k] < m.offsets[k - 1])
                fail(i, "item " + std::to_string(k) + " ends before it starts");
        }
        if (m.offsets[cAlloc] > ibHnpm) fail(i, "items overlap the page map");
    }
}

bool Heap::hasItem(uint32_t hid) const {
    if ((hid & kNidTypeMask) != NID_TYPE_HID) return false;
    uint32_t block = hidBlock(hid), index = hidIndex(hid);
    if (block >= blocks_.size() || index == 0) return false;
    return index < maps_[block].offsets.size();
}

std::span<const uint8_t> Heap::item(uint32_t hid) const {
    if (!hasItem(hid)) throw FormatError(file_, where_, -1, "HID " + hex(hid) + " names no item");
    const PageMap& m = maps_[hidBlock(hid)];
    uint32_t index = hidIndex(hid);
    uint16_t begin = m.offsets[index - 1], end = m.offsets[index];
    return std::span<const uint8_t>(blocks_[hidBlock(hid)].data() + begin, end - begin);
}

}  // namespace qm::pst::read
