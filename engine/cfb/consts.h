// Constants of the compound-file format (version 3, 512-byte sectors), named as the
// published format names them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tabulon {

inline constexpr std::size_t kSectorSize = 512;
inline constexpr std::size_t kHeaderSize = 512;
inline constexpr std::size_t kEntriesPerFatSector = kSectorSize / 4;  // 128
inline constexpr std::size_t kDirectoryEntrySize = 128;
inline constexpr std::size_t kDirectoryEntriesPerSector = kSectorSize / kDirectoryEntrySize;

// Sector markers in the allocation tables.
inline constexpr std::uint32_t kFreeSector = 0xFFFF'FFFF;  // FREESECT (-1)
inline constexpr std::uint32_t kEndOfChain = 0xFFFF'FFFE;  // ENDOFCHAIN (-2)
inline constexpr std::uint32_t kFatSector = 0xFFFF'FFFD;   // FATSECT (-3)
inline constexpr std::uint32_t kDifatSector = 0xFFFF'FFFC; // DIFSECT (-4)
// The four markers above are the four largest 32-bit values.
inline constexpr std::uint32_t kFirstSpecialValue = kDifatSector;

// Directory entry layout (offsets within one 128-byte entry).
inline constexpr std::size_t kEntryNameLengthOffset = 64;
inline constexpr std::size_t kEntryObjectTypeOffset = 66;
inline constexpr std::size_t kEntryColorFlagOffset = 67;
inline constexpr std::size_t kEntryLeftSiblingOffset = 68;
inline constexpr std::size_t kEntryRightSiblingOffset = 72;
inline constexpr std::size_t kEntryChildOffset = 76;
inline constexpr std::size_t kEntryStartSectorOffset = 116;
inline constexpr std::size_t kEntryStreamSizeOffset = 120;
inline constexpr std::uint8_t kObjectTypeStorage = 1;
inline constexpr std::uint8_t kObjectTypeStream = 2;
inline constexpr std::uint8_t kObjectTypeRootStorage = 5;
inline constexpr std::uint32_t kNoStream = 0xFFFF'FFFF;  // NOSTREAM: no sibling or child

// Header field offsets.
inline constexpr std::size_t kHeaderTemplateSize = 44;  // signature .. reserved, copied whole
inline constexpr std::size_t kNumDirectorySectorsOffset = 40;
inline constexpr std::size_t kNumFatSectorsOffset = 44;
inline constexpr std::size_t kFirstDirectorySectorOffset = 48;
inline constexpr std::size_t kTransactionSignatureOffset = 52;
inline constexpr std::size_t kMiniStreamCutoffOffset = 56;
inline constexpr std::size_t kFirstMiniFatSectorOffset = 60;
inline constexpr std::size_t kNumMiniFatSectorsOffset = 64;
inline constexpr std::size_t kFirstDifatSectorOffset = 68;
inline constexpr std::size_t kNumDifatSectorsOffset = 72;
inline constexpr std::size_t kHeaderDifatOffset = 76;
inline constexpr std::size_t kHeaderDifatEntries = 109;

inline constexpr std::uint32_t kMiniStreamCutoff = 4096;
inline constexpr std::uint32_t kMiniSectorSize = 64;
// A DIFAT sector lists 127 table sectors; its last entry names the next DIFAT sector.
inline constexpr std::size_t kDifatEntriesPerSector = kEntriesPerFatSector - 1;

// Lengths are 32-bit signed quantities in version-3 files: a file of 2^31 bytes or more
// cannot be addressed by the rebuild.
inline constexpr std::uint64_t kMaxFileLength = 0x7FFF'FFFF;

}  // namespace tabulon
