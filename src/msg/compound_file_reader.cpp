#include "msg/compound_file_reader.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "mapi/codepage.h"
#include "mapi/error.h"
#include "msg/cfb_format.h"
#include "msg/compound_file_writer.h"

namespace qm::msg {

using namespace cfb;

namespace {

// Headroom over the file size for the read budget: legitimate files hand out
// at most their own size (each sector belongs to one stream); the slack
// covers small files whose structures are read more than once.
constexpr uint64_t kBudgetSlack = 1u << 20;
constexpr uint64_t kBudgetFactor = 3;
constexpr size_t kMaxWarnings = 64;

std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

bool sameName(std::u16string_view a, std::u16string_view b) {
    return compareCfbNames(a, b) == 0;
}

// Reads stream bytes sector by sector straight from the file; consecutive
// sectors are fetched with one read.
class ChainSource final : public ByteSource {
  public:
    ChainSource(std::shared_ptr<const ByteSource> file, std::vector<uint32_t> sectors,
                uint32_t sectorSize, uint64_t size)
        : file_(std::move(file)), sectors_(std::move(sectors)), ss_(sectorSize), size_(size) {}

    uint64_t size() const override { return size_; }

    void read(uint64_t offset, std::span<uint8_t> out) const override {
        if (offset > size_ || out.size() > size_ - offset) {
            throw Error("compound file stream: read beyond the end");
        }
        size_t done = 0;
        while (done < out.size()) {
            uint64_t pos = offset + done;
            size_t index = size_t(pos / ss_);
            uint32_t within = uint32_t(pos % ss_);
            // Extend over physically consecutive sectors.
            size_t last = index;
            uint64_t want = out.size() - done;
            while ((uint64_t(last - index + 1) * ss_ - within) < want &&
                   last + 1 < sectors_.size() && sectors_[last + 1] == sectors_[last] + 1)
                ++last;
            uint64_t runBytes = std::min<uint64_t>(want, uint64_t(last - index + 1) * ss_ - within);
            uint64_t fileOffset = (uint64_t(sectors_[index]) + 1) * ss_ + within;
            // The last sector of a file may be short; what is missing reads as zero.
            uint64_t avail = fileOffset < file_->size() ? file_->size() - fileOffset : 0;
            uint64_t fromFile = std::min(runBytes, avail);
            if (fromFile) file_->read(fileOffset, out.subspan(done, size_t(fromFile)));
            if (fromFile < runBytes)
                std::memset(out.data() + done + fromFile, 0, size_t(runBytes - fromFile));
            done += size_t(runBytes);
        }
    }

  private:
    std::shared_ptr<const ByteSource> file_;
    std::vector<uint32_t> sectors_;
    uint32_t ss_;
    uint64_t size_;
};

}  // namespace

bool CfbEntry::isStorage() const {
    return type == kTypeStorage || type == kTypeRoot;
}
bool CfbEntry::isStream() const {
    return type == kTypeStream;
}

void CompoundFileReader::fail(const std::string& structure, int64_t offset,
                              const std::string& what) const {
    throw FormatError(name_, structure, offset, what);
}

std::shared_ptr<CompoundFileReader> CompoundFileReader::open(std::shared_ptr<const ByteSource> file,
                                                             std::string name) {
    std::shared_ptr<CompoundFileReader> r(new CompoundFileReader());
    r->file_ = std::move(file);
    r->name_ = std::move(name);
    r->fileSize_ = r->file_->size();
    r->budget_ = r->fileSize_ * kBudgetFactor + kBudgetSlack;
    r->readHeader();
    r->readFat();
    r->readDirectory();
    r->readMiniFat();
    r->loadMiniStream();
    r->buildTree();
    return r;
}

void CompoundFileReader::charge(uint64_t bytes, const std::string& what) const {
    budgetUsed_ += bytes;
    if (budgetUsed_ > budget_) {
        fail(what, -1,
             "the file's streams add up to more than " + std::to_string(kBudgetFactor) +
                 " times its size (sectors shared between streams)");
    }
}

void CompoundFileReader::chargeStream(uint64_t bytes, uint32_t owner) const {
    if (budgetUsed_ + bytes > budget_) charge(bytes, streamWhat(owner));
    budgetUsed_ += bytes;
}

std::string CompoundFileReader::describeDefect(const std::string& structure, int64_t offset,
                                               const std::string& what) const {
    std::string out = structure;
    if (offset >= 0) out += " at offset " + std::to_string(offset);
    return out + ": " + what;
}

void CompoundFileReader::warn(const std::string& structure, int64_t offset,
                              const std::string& what) {
    // Each warning costs a string; a file built to break every link cannot
    // make that cost more than the file itself is worth.
    if (warnings_.size() < kMaxWarnings) {
        warnings_.push_back(describeDefect(structure, offset, what));
    } else if (warnings_.size() == kMaxWarnings) {
        warnings_.push_back("further compound-file damage is not listed");
    }
}

void CompoundFileReader::readHeader() {
    if (fileSize_ < kHeaderSize) {
        fail("compound file header", 0,
             "file is " + std::to_string(fileSize_) + " bytes, shorter than the 512-byte header");
    }
    uint8_t h[kHeaderSize];
    file_->read(0, h);
    if (std::memcmp(h, kSignature, sizeof kSignature) != 0) {
        fail("compound file header", 0, "not a compound file (bad signature)");
    }
    if (loadLE16(h + hdr::kByteOrder) != kByteOrderMark) {
        fail("compound file header", hdr::kByteOrder, "byte order mark is not 0xFFFE");
    }
    major_ = loadLE16(h + hdr::kMajor);
    uint16_t shift = loadLE16(h + hdr::kSectorShift);
    if (!((major_ == 3 && shift == 9) || (major_ == 4 && shift == 12))) {
        fail("compound file header", hdr::kMajor,
             "version " + std::to_string(major_) + " with sector shift " + std::to_string(shift) +
                 " (expected 3/9 or 4/12)");
    }
    sectorSize_ = 1u << shift;
    if (loadLE16(h + hdr::kMiniShift) != kMiniSectorShift) {
        fail("compound file header", hdr::kMiniShift, "mini sector shift is not 6");
    }
    if (loadLE32(h + hdr::kCutoff) != kMiniStreamCutoff) {
        fail("compound file header", hdr::kCutoff, "mini stream cutoff is not 4096");
    }
    uint64_t sectors = fileSize_ > sectorSize_ ? (fileSize_ - 1) / sectorSize_ : 0;
    sectorCount_ = uint32_t(std::min<uint64_t>(sectors, uint64_t(MAXREGSECT) + 1));
    fatSectors_ = loadLE32(h + hdr::kFatSectors);
    firstDir_ = loadLE32(h + hdr::kFirstDirSector);
    dirSectors_ = loadLE32(h + hdr::kDirSectors);
    firstMiniFat_ = loadLE32(h + hdr::kFirstMiniFat);
    miniFatSectors_ = loadLE32(h + hdr::kMiniFatSectors);
    firstDifat_ = loadLE32(h + hdr::kFirstDifat);
    difatSectors_ = loadLE32(h + hdr::kDifatSectors);
    uint64_t perDifat = sectorSize_ / 4 - 1;
    if (fatSectors_ == 0) fail("compound file header", hdr::kFatSectors, "no FAT sectors");
    // Counts past what the file can hold are damage, not a reason to give up:
    // reading stops where the listed sectors end.
    if (difatSectors_ > sectorCount_) {
        warn("compound file header", hdr::kDifatSectors,
             std::to_string(difatSectors_) + " DIFAT sectors in a file of " +
                 std::to_string(sectorCount_) + " sectors; read as " +
                 std::to_string(sectorCount_));
        difatSectors_ = sectorCount_;
    }
    uint64_t room =
        std::min<uint64_t>(kHeaderDifatEntries + uint64_t(difatSectors_) * perDifat, sectorCount_);
    if (fatSectors_ > room) {
        warn("compound file header", hdr::kFatSectors,
             std::to_string(fatSectors_) + " FAT sectors but room for only " +
                 std::to_string(room) + " in the DIFAT and the file; read as " +
                 std::to_string(room));
        fatSectors_ = uint32_t(room);
        if (fatSectors_ == 0) fail("compound file header", hdr::kFatSectors, "no FAT sectors");
    }
    headerDifat_.resize(kHeaderDifatEntries);
    for (uint32_t i = 0; i < kHeaderDifatEntries; ++i)
        headerDifat_[i] = loadLE32(h + hdr::kDifat + 4 * i);
    visitMark_.assign(sectorCount_, 0);
}

void CompoundFileReader::readSector(uint32_t sector, uint8_t* out, uint32_t length,
                                    const std::string& what) const {
    if (sector >= sectorCount_) {
        fail(what, -1, "sector " + hex32(sector) + " is outside the file");
    }
    uint64_t off = uint64_t(sectorOffset(sector));
    uint64_t avail = std::min<uint64_t>(length, fileSize_ - off);
    file_->read(off, std::span<uint8_t>(out, size_t(avail)));
    if (avail < length) std::memset(out + avail, 0, length - avail);
}

void CompoundFileReader::readFat() {
    // A FAT sector that cannot be found reads as free sectors: only the
    // chains through it break, each reported where it is read.
    std::vector<uint32_t> fatSectors;
    fatSectors.reserve(fatSectors_);
    for (uint32_t i = 0; i < fatSectors_ && i < kHeaderDifatEntries; ++i) {
        uint32_t s = headerDifat_[i];
        if (s == FREESECT && i > 0) {
            warn("header DIFAT", hdr::kDifat + 4 * i,
                 "lists " + std::to_string(i) + " FAT sectors where the header counts " +
                     std::to_string(fatSectors_));
            fatSectors_ = i;
            break;
        }
        if (s >= sectorCount_) {
            warn("header DIFAT", hdr::kDifat + 4 * i,
                 "FAT sector " + hex32(s) + " is outside the file; its chains are lost");
            s = FREESECT;
        }
        fatSectors.push_back(s);
    }
    uint32_t perDifat = sectorSize_ / 4 - 1;
    uint32_t difat = firstDifat_;
    uint32_t walked = 0;
    ++visitGeneration_;
    Bytes buf(sectorSize_);
    int64_t refOffset = hdr::kFirstDifat;
    while (fatSectors.size() < fatSectors_) {
        std::string broken;
        if (difat >= sectorCount_) {
            broken = "DIFAT sector " + hex32(difat) + " is outside the file";
        } else if (visitMark_[difat] == visitGeneration_) {
            broken = "cycles at sector " + hex32(difat);
        } else if (++walked > difatSectors_) {
            broken = "is longer than the " + std::to_string(difatSectors_) +
                     " sectors the header declares";
        }
        if (!broken.empty()) {
            warn("DIFAT chain", refOffset,
                 broken + " (" + std::to_string(fatSectors.size()) + " of " +
                     std::to_string(fatSectors_) +
                     " FAT sectors found); chains through the rest are lost");
            break;
        }
        visitMark_[difat] = visitGeneration_;
        readSector(difat, buf.data(), sectorSize_, "DIFAT sector");
        for (uint32_t i = 0; i < perDifat && fatSectors.size() < fatSectors_; ++i) {
            uint32_t s = loadLE32(buf.data() + 4 * i);
            if (s >= sectorCount_) {
                warn("DIFAT sector", sectorOffset(difat) + 4 * i,
                     "FAT sector " + hex32(s) + " is outside the file; its chains are lost");
                s = FREESECT;
            }
            fatSectors.push_back(s);
        }
        refOffset = sectorOffset(difat) + int64_t(perDifat) * 4;
        difat = loadLE32(buf.data() + perDifat * 4);
    }
    uint32_t perFat = sectorSize_ / 4;
    fat_.assign(size_t(fatSectors.size()) * perFat, FREESECT);
    for (size_t i = 0; i < fatSectors.size(); ++i) {
        if (fatSectors[i] == FREESECT) continue;
        readSector(fatSectors[i], buf.data(), sectorSize_, "FAT sector");
        for (uint32_t k = 0; k < perFat; ++k) fat_[i * perFat + k] = loadLE32(buf.data() + 4 * k);
    }
    fatSectorList_ = std::move(fatSectors);
}

int64_t CompoundFileReader::fatEntryOffset(uint32_t sector, bool mini) const {
    uint32_t per = sectorSize_ / 4;
    const auto& list = mini ? miniFatChain_ : fatSectorList_;
    size_t index = sector / per;
    if (index >= list.size()) return -1;
    return sectorOffset(list[index]) + int64_t(sector % per) * 4;
}

std::string CompoundFileReader::streamWhat(uint32_t owner) const {
    return owner == kMiniStream ? "mini stream" : "stream " + mapi::toUtf8(entries_[owner].name());
}

std::vector<uint32_t> CompoundFileReader::chain(uint32_t start, uint64_t units, bool mini,
                                                uint32_t owner, std::string* broken) const {
    std::vector<uint32_t> out;
    chainInto(out, start, units, mini, owner, broken);
    return out;
}

void CompoundFileReader::chainInto(std::vector<uint32_t>& out, uint32_t start, uint64_t units,
                                   bool mini, uint32_t owner, std::string* broken) const {
    out.clear();
    if (units == 0) return;
    const std::vector<uint32_t>& table = mini ? miniFat_ : fat_;
    uint64_t limit = mini ? std::min<uint64_t>(table.size(), miniStream_.size() / kMiniSectorSize)
                          : std::min<uint64_t>(table.size(), sectorCount_);
    const char* fatName = mini ? "mini FAT" : "FAT";
    auto defect = [&](int64_t at, const std::string& reason) {
        if (!broken) fail(streamWhat(owner), at, reason);
        *broken = describeDefect(streamWhat(owner), at, reason);
    };
    uint64_t want = units;
    if (units > limit) {
        std::string reason = "needs " + std::to_string(units) +
                             (mini ? " mini sectors" : " sectors") + " but the file has only " +
                             std::to_string(limit);
        defect(-1, reason);
        want = limit;
    }
    out.reserve(size_t(want));
    std::vector<uint32_t>* marks = mini ? &miniVisitMark_ : &visitMark_;
    uint32_t gen = mini ? ++miniVisitGeneration_ : ++visitGeneration_;
    uint32_t cur = start;
    int64_t ref = -1;
    for (uint64_t i = 0; i < want; ++i) {
        if (cur >= limit) {
            std::string kind = cur == ENDOFCHAIN ? "ends early"
                               : cur == FREESECT ? "reaches a free sector"
                                                 : "points outside the file";
            defect(ref, std::string(fatName) + " chain " + kind + " (" + hex32(cur) + " after " +
                            std::to_string(i) + " of " + std::to_string(units) + ")");
            return;
        }
        if ((*marks)[cur] == gen) {
            defect(ref, std::string(fatName) + " chain cycles at " + hex32(cur) + " after " +
                            std::to_string(i) + " of " + std::to_string(units));
            return;
        }
        (*marks)[cur] = gen;
        out.push_back(cur);
        ref = fatEntryOffset(cur, mini);
        cur = table[cur];
    }
    return;
}

std::vector<uint32_t> CompoundFileReader::fullChain(uint32_t start, const std::string& what) {
    std::vector<uint32_t> out;
    uint32_t gen = ++visitGeneration_;
    uint32_t cur = start;
    int64_t ref = -1;
    while (cur != ENDOFCHAIN) {
        // What was read up to a defect stays usable.
        if (cur >= sectorCount_ || cur >= fat_.size()) {
            warn(what, ref,
                 "chain reaches " + hex32(cur) + ", outside the file, after " +
                     std::to_string(out.size()) + " sectors; the rest is lost");
            break;
        }
        if (visitMark_[cur] == gen) {
            warn(what, ref,
                 "chain cycles at sector " + hex32(cur) + " after " + std::to_string(out.size()) +
                     " sectors");
            break;
        }
        visitMark_[cur] = gen;
        out.push_back(cur);
        ref = fatEntryOffset(cur, false);
        cur = fat_[cur];
    }
    return out;
}

void CompoundFileReader::readDirectory() {
    dirChain_ = fullChain(firstDir_, "directory chain");
    if (dirChain_.empty()) {
        fail("directory chain", hdr::kFirstDirSector,
             "no directory sector can be read" +
                 (warnings_.empty() ? std::string() : " (" + warnings_.front() + ")"));
    }
    uint32_t perSector = sectorSize_ / kDirEntrySize;
    entries_.resize(dirChain_.size() * perSector);
    defects_.assign(entries_.size(), {});
    // Up to kBatch sectors a time, one read per run of consecutive sectors:
    // few reads, and a buffer that stays small for a large directory.
    constexpr size_t kBatch = 64;
    const ChainSource dir(file_, dirChain_, sectorSize_, dirChain_.size() * uint64_t(sectorSize_));
    Bytes buf(std::min(kBatch, dirChain_.size()) * sectorSize_);
    for (size_t s = 0; s < dirChain_.size(); ++s) {
        const size_t slot = s % kBatch;
        if (slot == 0) {
            const size_t n = std::min(kBatch, dirChain_.size() - s);
            dir.read(uint64_t(s) * sectorSize_, std::span<uint8_t>(buf.data(), n * sectorSize_));
        }
        for (uint32_t k = 0; k < perSector; ++k) {
            const uint8_t* e = buf.data() + slot * sectorSize_ + k * kDirEntrySize;
            uint32_t id = uint32_t(s * perSector + k);
            CfbEntry& out = entries_[id];
            links_.push_back(
                {loadLE32(e + dir::kLeft), loadLE32(e + dir::kRight), loadLE32(e + dir::kChild)});
            uint8_t type = e[dir::kType];
            if (id == 0 && type == kTypeStorage) {
                warn("directory entry 0", sectorOffset(dirChain_[0]) + dir::kType,
                     "root entry is typed as a plain storage; read as the root");
                type = kTypeRoot;
            }
            if (type != kTypeStorage && type != kTypeStream && type != kTypeRoot) continue;
            out.type = type;
            out.clsid = mapi::Guid::fromBytes(e + dir::kClsid);
            out.stateBits = loadLE32(e + dir::kStateBits);
            out.created = loadLE64(e + dir::kCreated);
            out.modified = loadLE64(e + dir::kModified);
            out.start = loadLE32(e + dir::kStart);
            out.size = loadLE64(e + dir::kSize);
            // Version 3 sizes are 32-bit; old writers left junk in the high half.
            if (major_ == 3) out.size &= 0xFFFFFFFFu;
            // A bad name matters only if the tree reaches the entry (slots
            // nothing points to may hold anything): buildTree reports it then.
            uint16_t nameLen = loadLE16(e + dir::kNameLength);
            if (nameLen % 2 != 0 || nameLen > 64 || nameLen < 2) {
                defects_[id] = {dir::kNameLength, "name length " + std::to_string(nameLen) +
                                                      " is not even and 2..64"};
                continue;
            }
            size_t chars = nameLen / 2 - 1;
            if (loadLE16(e + 2 * chars) != 0) {
                defects_[id] = {0, "name is not terminated at its declared length"};
                continue;
            }
            out.nameLength = uint8_t(chars);
            for (size_t c = 0; c < chars; ++c) out.nameChars[c] = char16_t(loadLE16(e + 2 * c));
        }
    }
    if (entries_[0].type != kTypeRoot) {
        fail("directory entry 0", sectorOffset(dirChain_[0]), "is not the root storage");
    }
    defects_[0] = {};  // the root's name is never used
}

int64_t CompoundFileReader::entryOffset(uint32_t id) const {
    uint32_t perSector = sectorSize_ / kDirEntrySize;
    if (id >= entries_.size()) return -1;
    return sectorOffset(dirChain_[id / perSector]) + int64_t(id % perSector) * kDirEntrySize;
}

void CompoundFileReader::readMiniFat() {
    if (firstMiniFat_ == ENDOFCHAIN || firstMiniFat_ == FREESECT) return;
    miniFatChain_ = fullChain(firstMiniFat_, "mini FAT chain");
    uint32_t per = sectorSize_ / 4;
    miniFat_.resize(miniFatChain_.size() * per);
    Bytes buf(sectorSize_);
    for (size_t i = 0; i < miniFatChain_.size(); ++i) {
        readSector(miniFatChain_[i], buf.data(), sectorSize_, "mini FAT sector");
        for (uint32_t k = 0; k < per; ++k) miniFat_[i * per + k] = loadLE32(buf.data() + 4 * k);
    }
}

void CompoundFileReader::loadMiniStream() {
    const CfbEntry& root = entries_[0];
    if (root.size == 0) return;
    uint64_t units = (root.size + sectorSize_ - 1) / sectorSize_;
    // A mini stream cut short keeps the small streams that lie before the break.
    std::string broken;
    std::vector<uint32_t> sectors = chain(root.start, units, false, kMiniStream, &broken);
    if (!broken.empty()) warnings_.push_back(broken + "; small streams past that point are lost");
    uint64_t size = std::min<uint64_t>(root.size, uint64_t(sectors.size()) * sectorSize_);
    charge(size, "mini stream");
    miniStream_.resize(size_t(size));
    // One read per run of consecutive sectors, not one per sector.
    ChainSource(file_, std::move(sectors), sectorSize_, size).read(0, miniStream_);
    miniVisitMark_.assign(miniStream_.size() / kMiniSectorSize, 0);
}

void CompoundFileReader::buildTree() {
    childRange_.assign(entries_.size(), {0, 0});
    childIds_.clear();
    childIds_.reserve(entries_.size());
    std::vector<bool> seen(entries_.size(), false);
    seen[0] = true;
    std::vector<uint32_t> storages{0};
    // In-order walk of each storage's tree with an explicit stack: a
    // degenerate tree is a long list and must not exhaust the call stack.
    // A link that cannot be followed is dropped with what hangs from it;
    // every entry is still reached at most once.
    std::vector<uint32_t> stack;
    while (!storages.empty()) {
        uint32_t storage = storages.back();
        storages.pop_back();
        auto visit = [&](uint32_t from, uint32_t id, const char* link) {
            if (id == NOSTREAM) return false;
            std::string reason;
            if (id >= entries_.size()) {
                reason = std::string(link) + " id " + hex32(id) + " is beyond the " +
                         std::to_string(entries_.size()) + " entries";
            } else if (seen[id]) {
                reason = std::string(link) + " id " + std::to_string(id) +
                         " is referenced more than once (a cycle or a shared entry)";
            } else if (entries_[id].type == kTypeRoot) {
                reason = std::string(link) + " links to the root entry";
            }
            if (!reason.empty()) {
                warn("directory entry " + std::to_string(from), entryOffset(from),
                     reason + "; the link is not followed");
                return false;
            }
            seen[id] = true;
            return true;
        };
        const uint32_t first = uint32_t(childIds_.size());
        uint32_t node = links_[storage].child;
        bool have = visit(storage, node, "child");
        stack.clear();
        while (have || !stack.empty()) {
            while (have) {
                stack.push_back(node);
                uint32_t left = links_[node].left;
                have = visit(node, left, "left sibling");
                node = left;
            }
            node = stack.back();
            stack.pop_back();
            // Unused entries reached through the tree are skipped, their links still followed.
            if (!defects_[node].second.empty()) {
                warn("directory entry " + std::to_string(node),
                     entryOffset(node) + defects_[node].first,
                     defects_[node].second + "; the entry is dropped");
            } else if (entries_[node].type != kTypeUnused) {
                childIds_.push_back(node);
                if (entries_[node].type == kTypeStorage) storages.push_back(node);
            }
            uint32_t right = links_[node].right;
            have = visit(node, right, "right sibling");
            node = right;
        }
        childRange_[storage] = {first, uint32_t(childIds_.size())};
    }
    defects_.clear();
    defects_.shrink_to_fit();
}

std::span<const uint32_t> CompoundFileReader::children(uint32_t storage) const {
    const auto [first, end] = childRange_[storage];
    return {childIds_.data() + first, end - first};
}

std::optional<uint32_t> CompoundFileReader::find(uint32_t storage, std::u16string_view name) const {
    for (uint32_t id : children(storage))
        if (sameName(entries_[id].name(), name)) return id;
    return std::nullopt;
}

Bytes CompoundFileReader::readStream(uint32_t id) const {
    return readStreamImpl(id, nullptr, std::nullopt);
}

Bytes CompoundFileReader::readStreamSalvaged(uint32_t id, std::string* cut,
                                             std::optional<bool> mini) const {
    cut->clear();
    return readStreamImpl(id, cut, mini);
}

Bytes CompoundFileReader::readStreamImpl(uint32_t id, std::string* cut,
                                         std::optional<bool> forceMini) const {
    const CfbEntry& e = entries_[id];
    if (!e.isStream()) fail(streamWhat(id), entryOffset(id), "is not a stream");
    uint64_t size = e.size;
    if (size > fileSize_) {
        std::string reason = "size " + std::to_string(e.size) + " exceeds the file size " +
                             std::to_string(fileSize_);
        if (!cut) fail(streamWhat(id), entryOffset(id) + dir::kSize, reason);
        *cut = describeDefect(streamWhat(id), entryOffset(id) + dir::kSize, reason);
        size = fileSize_;
    }
    bool mini = forceMini.value_or(e.size < kMiniStreamCutoff);
    uint64_t unit = mini ? kMiniSectorSize : sectorSize_;
    uint64_t units = (size + unit - 1) / unit;
    std::string broken;
    std::vector<uint32_t> sectors;
    std::vector<uint32_t>& chainOf = mini ? miniChain_ : sectors;
    chainInto(chainOf, e.start, units, mini, id, cut ? &broken : nullptr);
    if (!broken.empty()) *cut = broken;
    size = std::min<uint64_t>(size, uint64_t(chainOf.size()) * unit);
    chargeStream(size, id);
    Bytes out;
    if (mini) {
        // Appended sector by sector: no zeroing of what is written anyway.
        out.reserve(size_t(size));
        for (size_t i = 0; i < chainOf.size(); ++i) {
            const size_t n = std::min<size_t>(kMiniSectorSize, size_t(size) - i * kMiniSectorSize);
            const uint8_t* from = miniStream_.data() + size_t(chainOf[i]) * kMiniSectorSize;
            out.insert(out.end(), from, from + n);
        }
    } else {
        out.resize(size_t(size));
        ChainSource(file_, std::move(sectors), sectorSize_, size).read(0, out);
    }
    return out;
}

std::shared_ptr<const ByteSource> CompoundFileReader::streamSource(uint32_t id) const {
    const CfbEntry& e = entries_[id];
    if (!e.isStream() || e.size < kMiniStreamCutoff) {
        return std::make_shared<MemorySource>(readStream(id));
    }
    if (e.size > fileSize_) {
        fail(streamWhat(id), entryOffset(id) + dir::kSize,
             "size " + std::to_string(e.size) + " exceeds the file size " +
                 std::to_string(fileSize_));
    }
    uint64_t units = (e.size + sectorSize_ - 1) / sectorSize_;
    std::vector<uint32_t> sectors = chain(e.start, units, false, id);
    chargeStream(e.size, id);
    return std::make_shared<ChainSource>(file_, std::move(sectors), sectorSize_, e.size);
}

namespace {

// The writer refuses names a compound file must not hold (illegal
// characters, empty, or the same as a sibling's ignoring case); in a file
// being read that is a defect of the file.
template <typename Add>
void addChecked(const CompoundFileReader& reader, uint32_t id, Add add) {
    try {
        add();
    } catch (const std::invalid_argument&) {
        throw FormatError(
            reader.name(), "directory entry " + std::to_string(id), -1,
            "name \"" + mapi::toUtf8(reader.entry(id).name()) +
                "\" is illegal or repeats a sibling's, so its storage cannot be kept");
    }
}

}  // namespace

Bytes extractStorage(const CompoundFileReader& reader, uint32_t storage, uint32_t sectorSize) {
    CompoundFileWriter w(sectorSize);
    w.setClsid(CompoundFileWriter::kRoot, reader.entry(storage).clsid);
    w.setStateBits(CompoundFileWriter::kRoot, reader.entry(storage).stateBits);
    // (source storage, destination storage) pairs; iterative, the tree can be deep.
    std::vector<std::pair<uint32_t, uint32_t>> work{{storage, CompoundFileWriter::kRoot}};
    while (!work.empty()) {
        // Plain variables, not a structured binding: lambdas below capture them.
        const uint32_t from = work.back().first, to = work.back().second;
        work.pop_back();
        for (uint32_t child : reader.children(from)) {
            const CfbEntry& e = reader.entry(child);
            if (e.isStream()) {
                auto data = reader.streamSource(child);
                addChecked(reader, child, [&] { w.addStream(to, e.name(), data); });
            } else if (e.type == kTypeStorage) {
                uint32_t sub = 0;
                addChecked(reader, child, [&] { sub = w.addStorage(to, e.name()); });
                w.setClsid(sub, e.clsid);
                w.setStateBits(sub, e.stateBits);
                w.setTimes(sub, e.created, e.modified);
                work.push_back({child, sub});
            }
        }
    }
    return w.toBytes();
}

}  // namespace qm::msg
