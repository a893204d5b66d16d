#include "msg/compound_file_writer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "msg/cfb_format.h"

namespace qm::msg {

using namespace cfb;

namespace {

char16_t upperCfb(char16_t c) {
    if (c >= u'a' && c <= u'z') return char16_t(c - 32);
    // Latin-1 letters; MSG names themselves are ASCII.
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return char16_t(c - 32);
    return c;
}

uint64_t ceilDiv(uint64_t a, uint64_t b) {
    return (a + b - 1) / b;
}

// Version 3 files cannot describe a longer stream.
constexpr uint64_t kMaxV3StreamSize = 0x80000000;

// Pieces in which streamed data is copied to the sink.
constexpr size_t kCopyChunk = 1u << 16;

}  // namespace

int compareCfbNames(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = upperCfb(a[i]), y = upperCfb(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

CompoundFileWriter::CompoundFileWriter(uint32_t sectorSize) : sectorSize_(sectorSize) {
    if (sectorSize != 512 && sectorSize != 4096) {
        throw std::invalid_argument("compound file sector size must be 512 or 4096");
    }
    Node root;
    root.name = u"Root Entry";
    root.type = kTypeRoot;
    nodes_.push_back(std::move(root));
}

uint32_t CompoundFileWriter::add(uint32_t parent, std::u16string_view name, Node node) {
    if (parent >= nodes_.size() ||
        (nodes_[parent].type != kTypeStorage && nodes_[parent].type != kTypeRoot)) {
        throw std::invalid_argument("compound file writer: parent is not a storage");
    }
    if (name.empty() || name.size() > kMaxNameChars ||
        name.find_first_of(u"/\\:!") != std::u16string_view::npos) {
        throw std::invalid_argument("compound file writer: illegal entry name");
    }
    for (uint32_t c : nodes_[parent].children) {
        if (compareCfbNames(nodes_[c].name, name) == 0) {
            throw std::invalid_argument("compound file writer: duplicate entry name");
        }
    }
    node.name = std::u16string(name);
    uint32_t id = uint32_t(nodes_.size());
    nodes_.push_back(std::move(node));
    nodes_[parent].children.push_back(id);
    return id;
}

uint32_t CompoundFileWriter::addStorage(uint32_t parent, std::u16string_view name) {
    Node n;
    n.type = kTypeStorage;
    return add(parent, name, std::move(n));
}

void CompoundFileWriter::addStream(uint32_t parent, std::u16string_view name, Bytes data) {
    Node n;
    n.type = kTypeStream;
    n.size = data.size();
    n.data = std::move(data);
    add(parent, name, std::move(n));
}

void CompoundFileWriter::addStream(uint32_t parent, std::u16string_view name,
                                   std::shared_ptr<const ByteSource> data) {
    Node n;
    n.type = kTypeStream;
    n.size = data->size();
    if (n.size < kMiniStreamCutoff) {
        n.data = data->readAll();
    } else {
        n.source = std::move(data);
    }
    add(parent, name, std::move(n));
}

void CompoundFileWriter::setClsid(uint32_t storage, const mapi::Guid& clsid) {
    nodes_.at(storage).clsid = clsid;
}

void CompoundFileWriter::setStateBits(uint32_t id, uint32_t bits) {
    nodes_.at(id).stateBits = bits;
}

void CompoundFileWriter::setTimes(uint32_t storage, uint64_t created, uint64_t modified) {
    Node& n = nodes_.at(storage);
    if (n.type != kTypeStorage) {
        throw std::invalid_argument("compound file writer: times are for storages");
    }
    n.created = created;
    n.modified = modified;
}

void CompoundFileWriter::write(const Sink& sink) const {
    const uint32_t ss = sectorSize_;
    const uint32_t perFat = ss / 4;
    const size_t n = nodes_.size();

    // Place every stream: small ones in the mini stream, others in sectors.
    std::vector<uint32_t> start(n, ENDOFCHAIN);
    uint64_t miniUnits = 0, dataSectors = 0;
    for (size_t i = 1; i < n; ++i) {
        const Node& e = nodes_[i];
        if (e.type != kTypeStream || e.size == 0) continue;
        if (ss == 512 && e.size > kMaxV3StreamSize) {
            throw std::length_error("a stream over 2 GiB needs 4096-byte sectors");
        }
        if (e.size < kMiniStreamCutoff) {
            start[i] = uint32_t(miniUnits);
            miniUnits += ceilDiv(e.size, kMiniSectorSize);
        } else {
            start[i] = uint32_t(dataSectors);
            dataSectors += ceilDiv(e.size, ss);
        }
    }
    const uint64_t miniStreamSize = miniUnits * kMiniSectorSize;
    const uint64_t miniStreamSectors = ceilDiv(miniStreamSize, ss);
    const uint64_t miniFatSectors = ceilDiv(miniUnits * 4, ss);
    const uint64_t dirSectors = ceilDiv(n * kDirEntrySize, ss);
    const uint64_t miniStreamStart = dataSectors;
    const uint64_t miniFatStart = miniStreamStart + miniStreamSectors;
    const uint64_t dirStart = miniFatStart + miniFatSectors;
    const uint64_t fatStart = dirStart + dirSectors;
    // The FAT must also describe its own sectors and the DIFAT's: iterate to
    // the fixed point.
    uint64_t fatSectors = 0, difatSectors = 0;
    while (true) {
        uint64_t total = fatStart + fatSectors + difatSectors;
        uint64_t f = ceilDiv(total, perFat);
        uint64_t d = f > kHeaderDifatEntries ? ceilDiv(f - kHeaderDifatEntries, perFat - 1) : 0;
        if (f == fatSectors && d == difatSectors) break;
        fatSectors = f;
        difatSectors = d;
    }
    const uint64_t difatStart = fatStart + fatSectors;
    const uint64_t totalSectors = difatStart + difatSectors;
    if (totalSectors > MAXREGSECT) throw std::length_error("compound file too large");

    std::vector<uint32_t> fat(size_t(fatSectors * perFat), FREESECT);
    auto chainRun = [&](uint64_t first, uint64_t count) {
        for (uint64_t s = first; s < first + count; ++s)
            fat[size_t(s)] = s + 1 < first + count ? uint32_t(s + 1) : ENDOFCHAIN;
    };
    for (size_t i = 1; i < n; ++i) {
        const Node& e = nodes_[i];
        if (e.type == kTypeStream && e.size >= kMiniStreamCutoff)
            chainRun(start[i], ceilDiv(e.size, ss));
    }
    chainRun(miniStreamStart, miniStreamSectors);
    chainRun(miniFatStart, miniFatSectors);
    chainRun(dirStart, dirSectors);
    for (uint64_t s = fatStart; s < fatStart + fatSectors; ++s) fat[size_t(s)] = FATSECT;
    for (uint64_t s = difatStart; s < difatStart + difatSectors; ++s) fat[size_t(s)] = DIFSECT;

    // Directory links: each storage's children as a balanced tree.
    struct Link {
        uint32_t left = NOSTREAM, right = NOSTREAM, child = NOSTREAM;
        uint8_t color = kBlack;
    };
    std::vector<Link> links(n);
    for (size_t p = 0; p < n; ++p) {
        std::vector<uint32_t> kids = nodes_[p].children;
        if (kids.empty()) continue;
        std::sort(kids.begin(), kids.end(), [&](uint32_t a, uint32_t b) {
            return compareCfbNames(nodes_[a].name, nodes_[b].name) < 0;
        });
        // Middle-split trees keep every root-to-leaf path within one of the
        // others; colouring only the deepest level red makes the black height
        // equal on every path.
        int maxDepth = 0;  // depth of the deepest node: the least d with 2^(d+1) - 1 >= count
        while ((uint64_t(2) << maxDepth) - 1 < kids.size()) ++maxDepth;
        struct Range {
            size_t lo, hi;
            int depth;
            uint32_t* slot;
        };
        std::vector<Range> work{{0, kids.size(), 0, &links[p].child}};
        while (!work.empty()) {
            Range r = work.back();
            work.pop_back();
            if (r.lo >= r.hi) continue;
            size_t mid = r.lo + (r.hi - r.lo) / 2;
            uint32_t id = kids[mid];
            *r.slot = id;
            links[id].color = (r.depth == maxDepth && maxDepth > 0) ? kRed : kBlack;
            work.push_back({r.lo, mid, r.depth + 1, &links[id].left});
            work.push_back({mid + 1, r.hi, r.depth + 1, &links[id].right});
        }
    }

    // Header.
    Bytes header(ss, 0);
    std::memcpy(header.data(), kSignature, sizeof kSignature);
    storeLE16(&header[hdr::kMinor], kMinorVersion);
    storeLE16(&header[hdr::kMajor], ss == 512 ? 3 : 4);
    storeLE16(&header[hdr::kByteOrder], kByteOrderMark);
    storeLE16(&header[hdr::kSectorShift], ss == 512 ? 9 : 12);
    storeLE16(&header[hdr::kMiniShift], kMiniSectorShift);
    storeLE32(&header[hdr::kDirSectors], ss == 512 ? 0 : uint32_t(dirSectors));
    storeLE32(&header[hdr::kFatSectors], uint32_t(fatSectors));
    storeLE32(&header[hdr::kFirstDirSector], uint32_t(dirStart));
    storeLE32(&header[hdr::kCutoff], kMiniStreamCutoff);
    storeLE32(&header[hdr::kFirstMiniFat], miniFatSectors ? uint32_t(miniFatStart) : ENDOFCHAIN);
    storeLE32(&header[hdr::kMiniFatSectors], uint32_t(miniFatSectors));
    storeLE32(&header[hdr::kFirstDifat], difatSectors ? uint32_t(difatStart) : ENDOFCHAIN);
    storeLE32(&header[hdr::kDifatSectors], uint32_t(difatSectors));
    for (uint32_t i = 0; i < kHeaderDifatEntries; ++i)
        storeLE32(&header[hdr::kDifat + 4 * i], i < fatSectors ? uint32_t(fatStart + i) : FREESECT);
    sink(header);

    Bytes buf;
    auto pad = [&](uint64_t written, uint64_t unit) {
        uint64_t rem = written % unit;
        if (rem) {
            buf.assign(size_t(unit - rem), 0);
            sink(buf);
        }
    };

    // Large stream data.
    for (size_t i = 1; i < n; ++i) {
        const Node& e = nodes_[i];
        if (e.type != kTypeStream || e.size < kMiniStreamCutoff) continue;
        if (e.source) {
            buf.resize(kCopyChunk);
            for (uint64_t off = 0; off < e.size; off += kCopyChunk) {
                size_t len = size_t(std::min<uint64_t>(kCopyChunk, e.size - off));
                e.source->read(off, std::span<uint8_t>(buf.data(), len));
                sink(std::span<const uint8_t>(buf.data(), len));
            }
        } else {
            sink(e.data);
        }
        pad(e.size, ss);
    }
    // Mini stream.
    for (size_t i = 1; i < n; ++i) {
        const Node& e = nodes_[i];
        if (e.type != kTypeStream || e.size == 0 || e.size >= kMiniStreamCutoff) continue;
        sink(e.data);
        pad(e.size, kMiniSectorSize);
    }
    pad(miniStreamSize, ss);
    // Mini FAT.
    if (miniFatSectors) {
        Bytes mf(size_t(miniFatSectors * ss), 0xFF);
        for (size_t i = 1; i < n; ++i) {
            const Node& e = nodes_[i];
            if (e.type != kTypeStream || e.size == 0 || e.size >= kMiniStreamCutoff) continue;
            uint64_t units = ceilDiv(e.size, kMiniSectorSize);
            for (uint64_t u = 0; u < units; ++u) {
                uint32_t next = u + 1 < units ? uint32_t(start[i] + u + 1) : ENDOFCHAIN;
                storeLE32(&mf[size_t(start[i] + u) * 4], next);
            }
        }
        sink(mf);
    }
    // Directory.
    Bytes dirBytes(size_t(dirSectors * ss), 0);
    for (size_t i = 0; i < dirSectors * ss / kDirEntrySize; ++i) {
        uint8_t* d = &dirBytes[i * kDirEntrySize];
        storeLE32(d + dir::kLeft, NOSTREAM);
        storeLE32(d + dir::kRight, NOSTREAM);
        storeLE32(d + dir::kChild, NOSTREAM);
        if (i >= n) continue;
        const Node& e = nodes_[i];
        for (size_t c = 0; c < e.name.size(); ++c) storeLE16(d + 2 * c, e.name[c]);
        storeLE16(d + dir::kNameLength, uint16_t((e.name.size() + 1) * 2));
        d[dir::kType] = e.type;
        d[dir::kColor] = links[i].color;
        storeLE32(d + dir::kLeft, links[i].left);
        storeLE32(d + dir::kRight, links[i].right);
        storeLE32(d + dir::kChild, links[i].child);
        std::memcpy(d + dir::kClsid, e.clsid.bytes.data(), 16);
        storeLE32(d + dir::kStateBits, e.stateBits);
        storeLE64(d + dir::kCreated, e.created);
        storeLE64(d + dir::kModified, e.modified);
        if (e.type == kTypeRoot) {
            storeLE32(d + dir::kStart, miniStreamSize ? uint32_t(miniStreamStart) : ENDOFCHAIN);
            storeLE64(d + dir::kSize, miniStreamSize);
        } else if (e.type == kTypeStream) {
            storeLE32(d + dir::kStart, start[i]);
            storeLE64(d + dir::kSize, e.size);
        }
    }
    sink(dirBytes);
    // FAT.
    Bytes fatBytes(fat.size() * 4);
    for (size_t i = 0; i < fat.size(); ++i) storeLE32(&fatBytes[i * 4], fat[i]);
    sink(fatBytes);
    // DIFAT sectors: FAT sector numbers past the header's 109, then a link.
    if (difatSectors) {
        Bytes difat(size_t(difatSectors * ss), 0xFF);
        uint64_t next = kHeaderDifatEntries;
        for (uint64_t d = 0; d < difatSectors; ++d) {
            uint8_t* p = &difat[size_t(d * ss)];
            for (uint32_t k = 0; k < perFat - 1 && next < fatSectors; ++k, ++next)
                storeLE32(p + 4 * k, uint32_t(fatStart + next));
            storeLE32(p + 4 * (perFat - 1),
                      d + 1 < difatSectors ? uint32_t(difatStart + d + 1) : ENDOFCHAIN);
        }
        sink(difat);
    }
}

Bytes CompoundFileWriter::toBytes() const {
    Bytes out;
    write(
        [&](std::span<const uint8_t> piece) { out.insert(out.end(), piece.begin(), piece.end()); });
    return out;
}

}  // namespace qm::msg
