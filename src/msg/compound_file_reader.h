// Reads a compound file ([MS-CFB]) without trusting any number in it.
//
// open() checks the header, loads the FAT (through the header DIFAT and any
// DIFAT sectors), the mini FAT, the directory and the mini stream, and walks
// the directory tree once from the root: only entries it reaches count, each
// at most once, so later lookups need no cycle checks. Stream data is read
// only when asked for, either whole (readStream) or as a ByteSource that
// reads sectors on demand (streamSource) and keeps the file alive.
//
// open() throws qm::FormatError (naming the file, the structure and the byte
// offset) only when there is no header, FAT or root to read; damage past
// that (a FAT sector out of range, a directory or mini FAT chain that breaks,
// a link that loops, an entry with a bad name) loses only what hangs from it
// and is listed in warnings(). A stream read throws for its own defects.
// An allocation never exceeds what the file's size warrants.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mapi/bytes.h"
#include "mapi/property.h"

namespace qm::msg {

struct CfbEntry {
    // A directory entry's name is at most 31 UTF-16 units: held in place, as
    // a message's few hundred entries would otherwise be as many allocations.
    std::u16string_view name() const { return {nameChars.data(), nameLength}; }
    std::array<char16_t, 31> nameChars{};
    uint8_t nameLength = 0;
    uint8_t type = 0;  // cfb::kTypeStorage, kTypeStream or kTypeRoot
    mapi::Guid clsid;
    uint32_t stateBits = 0;
    uint64_t created = 0;
    uint64_t modified = 0;
    uint32_t start = 0;
    uint64_t size = 0;  // streams (and the root: the mini stream's size)

    bool isStorage() const;
    bool isStream() const;
};

class CompoundFileReader : public std::enable_shared_from_this<CompoundFileReader> {
  public:
    // `file` is the whole compound file; `name` is used in error messages.
    static std::shared_ptr<CompoundFileReader> open(std::shared_ptr<const ByteSource> file,
                                                    std::string name);

    static constexpr uint32_t kRoot = 0;

    const std::string& name() const { return name_; }
    uint32_t sectorSize() const { return sectorSize_; }
    uint16_t majorVersion() const { return major_; }
    uint64_t fileSize() const { return fileSize_; }
    size_t entryCount() const { return entries_.size(); }

    // REQUIRES: id is kRoot or was returned by children()/find().
    const CfbEntry& entry(uint32_t id) const { return entries_[id]; }
    // The direct children of a storage, in directory-tree order.
    std::span<const uint32_t> children(uint32_t storage) const;
    // Case-insensitive (simple upper-casing) lookup of a direct child.
    std::optional<uint32_t> find(uint32_t storage, std::u16string_view name) const;

    // The whole stream. Counts against the read budget: the total of all bytes
    // handed out must stay below a small multiple of the file size, so one
    // sector shared by many streams cannot blow up memory.
    Bytes readStream(uint32_t id) const;
    // As readStream, but a size beyond the file or a chain that breaks gives
    // the bytes the chain does hold, and `cut` says what was wrong (empty
    // when the stream was whole). For streams made of independent records.
    // `mini` overrides the choice of mini stream or FAT the size implies
    // (for a size that cannot be true).
    Bytes readStreamSalvaged(uint32_t id, std::string* cut,
                             std::optional<bool> mini = std::nullopt) const;
    // The stream read on demand. Its chain is checked now; reads later.
    std::shared_ptr<const ByteSource> streamSource(uint32_t id) const;

    // Lets a caller charge bytes it derives from the file to the same budget.
    void charge(uint64_t bytes, const std::string& what) const;

    // Damage open() read past (unreachable sectors and entries, broken links,
    // a mini stream cut short), one sentence each.
    const std::vector<std::string>& warnings() const { return warnings_; }

    // Where directory entry `id`, or the (mini) FAT entry of `sector`, lies in
    // the file; -1 when unknown. For error messages, and for tests that aim
    // damage at one structure.
    int64_t entryOffset(uint32_t id) const;
    int64_t fatEntryOffset(uint32_t sector, bool mini) const;

  private:
    CompoundFileReader() = default;
    void readHeader();
    void readFat();
    void readMiniFat();
    void readDirectory();
    void buildTree();
    void loadMiniStream();

    // The chain from `start` for `units` units, checked for range and cycles.
    // A defect throws, or with `broken` set ends the chain there and is
    // described in *broken. `owner` is the stream's entry, or kMiniStream;
    // it is named only when something is wrong.
    static constexpr uint32_t kMiniStream = UINT32_MAX;
    std::vector<uint32_t> chain(uint32_t start, uint64_t units, bool mini, uint32_t owner,
                                std::string* broken = nullptr) const;
    // The same into `out` (cleared first).
    void chainInto(std::vector<uint32_t>& out, uint32_t start, uint64_t units, bool mini,
                   uint32_t owner, std::string* broken) const;
    // "stream NAME" (or "mini stream"), for error messages.
    std::string streamWhat(uint32_t owner) const;
    // charge() naming the stream only when the budget is exceeded.
    void chargeStream(uint64_t bytes, uint32_t owner) const;
    // A FAT chain of unknown length (directory, mini FAT), up to ENDOFCHAIN
    // or the first defect (a warning).
    std::vector<uint32_t> fullChain(uint32_t start, const std::string& what);
    Bytes readStreamImpl(uint32_t id, std::string* cut, std::optional<bool> mini) const;
    std::string describeDefect(const std::string& structure, int64_t offset,
                               const std::string& what) const;
    void warn(const std::string& structure, int64_t offset, const std::string& what);
    void readSector(uint32_t sector, uint8_t* out, uint32_t length, const std::string& what) const;
    int64_t sectorOffset(uint32_t sector) const {
        return int64_t((uint64_t(sector) + 1) * sectorSize_);
    }
    [[noreturn]] void fail(const std::string& structure, int64_t offset,
                           const std::string& what) const;

    std::shared_ptr<const ByteSource> file_;
    std::string name_;
    uint64_t fileSize_ = 0;
    uint16_t major_ = 0;
    uint32_t sectorSize_ = 512;
    uint32_t sectorCount_ = 0;  // sectors that exist (a short last one included)
    uint32_t fatSectors_ = 0, firstDir_ = 0, dirSectors_ = 0, firstMiniFat_ = 0,
             miniFatSectors_ = 0, firstDifat_ = 0, difatSectors_ = 0;
    std::vector<uint32_t> headerDifat_;
    std::vector<uint32_t> fatSectorList_;
    std::vector<uint32_t> miniFatChain_;
    std::vector<uint32_t> dirChain_;
    std::vector<uint32_t> fat_;
    std::vector<uint32_t> miniFat_;
    std::vector<CfbEntry> entries_;
    struct Links {
        uint32_t left, right, child;
    };
    std::vector<Links> links_;
    // Per entry, a defect found while reading the directory (field offset,
    // reason); reported only for entries the tree reaches.
    std::vector<std::pair<uint32_t, std::string>> defects_;
    std::vector<std::string> warnings_;
    // Every storage's children in tree order, one storage after another
    // (one vector, not one per storage: a message has dozens of storages),
    // and where each storage's run lies in it.
    std::vector<uint32_t> childIds_;
    std::vector<std::pair<uint32_t, uint32_t>> childRange_;
    Bytes miniStream_;
    mutable uint64_t budgetUsed_ = 0;
    uint64_t budget_ = 0;
    // Generation-stamped visit marks: a chain walk is O(length) with no reset.
    mutable std::vector<uint32_t> visitMark_;
    mutable uint32_t visitGeneration_ = 0;
    mutable std::vector<uint32_t> miniVisitMark_;
    // A mini stream's chain, kept between reads: a message has hundreds.
    mutable std::vector<uint32_t> miniChain_;
    mutable uint32_t miniVisitGeneration_ = 0;
};

// Serialises the sub-tree under `storage` as a standalone compound file whose
// root carries the storage's CLSID (how an OLE attachment travels as one
// PT_OBJECT value).
Bytes extractStorage(const CompoundFileReader& reader, uint32_t storage, uint32_t sectorSize = 512);

}  // namespace qm::msg
