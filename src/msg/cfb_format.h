// The on-disk constants of a compound file ([MS-CFB] 2.1, 2.2, 2.6), shared by
// CompoundFileReader and CompoundFileWriter.
//
// Layout: a 512-byte header at offset 0; sector n starts at (n + 1) << shift,
// so with 4096-byte sectors the header owns a whole (zero-padded) sector.
// Streams shorter than kMiniStreamCutoff live in 64-byte mini sectors inside
// the root entry's stream and are chained through the mini FAT; all other
// chains (streams, the mini stream, the directory, the mini FAT) go through
// the FAT, whose sectors are listed by the DIFAT.
#pragma once

#include <cstdint>

namespace qm::msg::cfb {

constexpr uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr uint32_t kHeaderSize = 512;
constexpr uint16_t kMinorVersion = 0x003E;
constexpr uint16_t kByteOrderMark = 0xFFFE;
constexpr uint16_t kMiniSectorShift = 6;
constexpr uint32_t kMiniSectorSize = 1u << kMiniSectorShift;
// Streams below this size use the mini stream; fixed by the format.
constexpr uint32_t kMiniStreamCutoff = 4096;
// FAT sector numbers the header itself holds before DIFAT sectors are needed.
constexpr uint32_t kHeaderDifatEntries = 109;
constexpr uint32_t kDirEntrySize = 128;
// 31 UTF-16 code units plus the terminator.
constexpr uint32_t kMaxNameChars = 31;

// Special sector numbers.
constexpr uint32_t MAXREGSECT = 0xFFFFFFFA;
constexpr uint32_t DIFSECT = 0xFFFFFFFC;
constexpr uint32_t FATSECT = 0xFFFFFFFD;
constexpr uint32_t ENDOFCHAIN = 0xFFFFFFFE;
constexpr uint32_t FREESECT = 0xFFFFFFFF;
// Directory stream ids.
constexpr uint32_t MAXREGSID = 0xFFFFFFFA;
constexpr uint32_t NOSTREAM = 0xFFFFFFFF;

// Directory entry object types.
constexpr uint8_t kTypeUnused = 0x00;
constexpr uint8_t kTypeStorage = 0x01;
constexpr uint8_t kTypeStream = 0x02;
constexpr uint8_t kTypeRoot = 0x05;
constexpr uint8_t kRed = 0x00;
constexpr uint8_t kBlack = 0x01;

// Header field offsets.
namespace hdr {
constexpr uint32_t kMinor = 0x18, kMajor = 0x1A, kByteOrder = 0x1C, kSectorShift = 0x1E,
                   kMiniShift = 0x20, kDirSectors = 0x28, kFatSectors = 0x2C,
                   kFirstDirSector = 0x30, kTransaction = 0x34, kCutoff = 0x38,
                   kFirstMiniFat = 0x3C, kMiniFatSectors = 0x40, kFirstDifat = 0x44,
                   kDifatSectors = 0x48, kDifat = 0x4C;
}  // namespace hdr

// Directory entry field offsets.
namespace dir {
constexpr uint32_t kName = 0x00, kNameLength = 0x40, kType = 0x42, kColor = 0x43, kLeft = 0x44,
                   kRight = 0x48, kChild = 0x4C, kClsid = 0x50, kStateBits = 0x60, kCreated = 0x64,
                   kModified = 0x6C, kStart = 0x74, kSize = 0x78;
}  // namespace dir

}  // namespace qm::msg::cfb
