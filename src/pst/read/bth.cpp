#include "pst/read/bth.h"

#include <algorithm>

#include "mapi/error.h"
#include "pst/ndb/format.h"
#include "pst/read/problems.h"

namespace qm::pst::read {

namespace {
// Leaves are at most this many levels down; [MS-PST] allows far fewer in
// practice, the bound only stops a looping tree.
constexpr int kMaxBthLevels = 8;

int compareKeys(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    // Keys are little-endian numbers: compare from the most significant byte.
    for (size_t i = a.size(); i-- > 0;) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}
}  // namespace

uint64_t Bth::Record::keyValue() const {
    uint64_t v = 0;
    for (size_t i = std::min<size_t>(key.size(), 8); i-- > 0;) v = (v << 8) | key[i];
    return v;
}

Bth::Bth(const Heap& heap, uint32_t hidHeader) : heap_(heap) {
    auto fail = [&](const std::string& what) {
        throw FormatError(heap.file(), heap.where() + " BTH", -1, what);
    };
    auto h = heap.item(hidHeader);
    if (h.size() != 8) fail("BTHHEADER of " + std::to_string(h.size()) + " bytes");
    if (h[0] != ndb::bTypeBTH) fail("bType " + hex(h[0]) + ", expected 0xb5");
    keySize_ = h[1];
    dataSize_ = h[2];
    levels_ = h[3];
    root_ = loadLE32(&h[4]);
    if (keySize_ != 2 && keySize_ != 4 && keySize_ != 8 && keySize_ != 16)
        fail("cbKey " + std::to_string(keySize_));
    if (dataSize_ < 1 || dataSize_ > 32) fail("cbEnt " + std::to_string(dataSize_));
    if (levels_ > kMaxBthLevels) fail("bIdxLevels " + std::to_string(levels_));
    if (root_ != 0) load(root_, levels_, {});
}

void Bth::load(uint32_t hid, int level, std::span<const uint8_t> expectedFirstKey) {
    auto fail = [&](const std::string& what) {
        throw FormatError(heap_.file(), heap_.where() + " BTH item " + hex(hid), -1, what);
    };
    if (std::find(hids_.begin(), hids_.end(), hid) != hids_.end())
        fail("reached twice (the tree loops)");
    hids_.push_back(hid);
    auto item = heap_.item(hid);
    size_t recSize = level > 0 ? keySize_ + 4u : size_t(keySize_) + dataSize_;
    if (item.empty() || item.size() % recSize != 0)
        fail("size " + std::to_string(item.size()) + " is not a whole number of " +
             std::to_string(recSize) + "-byte records");
    size_t n = item.size() / recSize;
    for (size_t i = 0; i < n; ++i) {
        auto rec = item.subspan(i * recSize, recSize);
        auto key = rec.first(keySize_);
        if (i == 0 && !expectedFirstKey.empty() && compareKeys(key, expectedFirstKey) != 0)
            fail("first key differs from the index key above it");
        if (level > 0) {
            size_t before = records_.size();
            load(loadLE32(&rec[keySize_]), level - 1, key);
            if (records_.size() == before) fail("empty child");
        } else {
            if (!records_.empty() && compareKeys(key, records_.back().key) <= 0)
                fail("keys not in ascending order");
            records_.push_back({key, rec.subspan(keySize_)});
        }
    }
}

}  // namespace qm::pst::read
