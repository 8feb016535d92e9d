// The 512-byte compound-file header and its fields, by the names the format gives them.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/cfb/consts.h"

namespace tabulon {

using HeaderBytes = std::array<std::uint8_t, kHeaderSize>;

inline constexpr std::array<std::uint8_t, 8> kHeaderSignature = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

// The fixed start of every version-3 header: the signature, a null CLSID, minor version 0x3E,
// major version 3, byte order FFFE, sector shift 9, mini sector shift 6, reserved bytes and
// the directory sector count (always 0).
inline constexpr std::array<std::uint8_t, kHeaderTemplateSize> kVersion3HeaderStart = {
    0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0x3E, 0x00, 0x03, 0x00, 0xFE, 0xFF, 0x09, 0x00, 0x06, 0x00,
    0, 0, 0, 0, 0, 0,
    0, 0, 0, 0,
};

// Whether the header starts with the compound-file signature.
inline bool HasHeaderSignature(const HeaderBytes& header)
{
    return std::equal(kHeaderSignature.begin(), kHeaderSignature.end(), header.begin());
}

enum class HeaderFieldKind {
    Bytes,     // shown as hexadecimal text
    Integer,   // 2- or 4-byte little-endian unsigned
    SectorList // 4-byte little-endian entries
};

struct HeaderField {
    std::string_view name;
    std::size_t offset;
    std::size_t width;
    HeaderFieldKind kind;
};

inline constexpr std::array<HeaderField, 18> kHeaderFields = {{
    {"Header Signature", 0, 8, HeaderFieldKind::Bytes},
    {"Header CLSID", 8, 16, HeaderFieldKind::Bytes},
    {"Minor Version", 24, 2, HeaderFieldKind::Integer},
    {"Major Version", 26, 2, HeaderFieldKind::Integer},
    {"Byte Order", 28, 2, HeaderFieldKind::Integer},
    {"Sector Shift", 30, 2, HeaderFieldKind::Integer},
    {"Mini Sector Shift", 32, 2, HeaderFieldKind::Integer},
    {"Reserved", 34, 6, HeaderFieldKind::Bytes},
    {"Number of Directory Sectors", kNumDirectorySectorsOffset, 4, HeaderFieldKind::Integer},
    {"Number of FAT Sectors", kNumFatSectorsOffset, 4, HeaderFieldKind::Integer},
    {"First Directory Sector Location", kFirstDirectorySectorOffset, 4, HeaderFieldKind::Integer},
    {"Transaction Signature Number", kTransactionSignatureOffset, 4, HeaderFieldKind::Integer},
    {"Mini Stream Cutoff Size", kMiniStreamCutoffOffset, 4, HeaderFieldKind::Integer},
    {"First Mini FAT Sector Location", kFirstMiniFatSectorOffset, 4, HeaderFieldKind::Integer},
    {"Number of Mini FAT Sectors", kNumMiniFatSectorsOffset, 4, HeaderFieldKind::Integer},
    {"First DIFAT Sector Location", kFirstDifatSectorOffset, 4, HeaderFieldKind::Integer},
    {"Number of DIFAT Sectors", kNumDifatSectorsOffset, 4, HeaderFieldKind::Integer},
    {"DIFAT", kHeaderDifatOffset, 4 * kHeaderDifatEntries, HeaderFieldKind::SectorList},
}};

// A 32-bit field of the header, by its offset.
inline std::uint32_t HeaderField32(const HeaderBytes& header, std::size_t offset)
{
    return LoadLe32(header.data() + offset);
}

// The allocation-table sectors a header lists, in order: the 109 entries of the header itself,
// then the 127 of each DIFAT sector of the chain from the header's first DIFAT sector.
// `readDifat(sector)` gives the 512 bytes of a DIFAT sector, or nullptr to end the chain there:
// the caller bounds the walk. `visit(entry)` is given every entry, free ones included, and
// says whether the walk goes on.
template <class ReadDifat, class Visit>
void WalkTableList(const std::uint8_t* header, ReadDifat&& readDifat, Visit&& visit)
{
    for (std::size_t k = 0; k < kHeaderDifatEntries; ++k) {
        if (!visit(LoadLe32(header + kHeaderDifatOffset + 4 * k)))
            return;
    }
    for (std::uint32_t difat = LoadLe32(header + kFirstDifatSectorOffset);;) {
        const std::uint8_t* sector = readDifat(difat);
        if (!sector)
            return;
        for (std::size_t j = 0; j < kDifatEntriesPerSector; ++j) {
            if (!visit(LoadLe32(sector + 4 * j)))
                return;
        }
        difat = LoadLe32(sector + 4 * kDifatEntriesPerSector);
    }
}

// What a fresh header says: where a version-3 file's structures begin.
struct HeaderLayout {
    std::uint32_t numFatSectors = 0;
    std::uint32_t firstDirectorySector = kEndOfChain;
    std::uint32_t firstMiniFatSector = kEndOfChain;
    std::uint32_t numMiniFatSectors = 0;
    std::uint32_t firstDifatSector = kEndOfChain;
    std::uint32_t numDifatSectors = 0;
    // The table sectors the header lists itself (the rest go in DIFAT sectors).
    std::array<std::uint32_t, kHeaderDifatEntries> headerDifat = [] {
        std::array<std::uint32_t, kHeaderDifatEntries> free;
        free.fill(kFreeSector);
        return free;
    }();
};

// A version-3 header with 512-byte sectors, a mini-stream cutoff of 4096 and `layout`'s fields.
HeaderBytes MakeHeader(const HeaderLayout& layout);

// The fields whose bytes differ between two headers, in header order.
std::vector<HeaderField> ChangedHeaderFields(const HeaderBytes& before, const HeaderBytes& after);

// The value of an Integer field.
std::uint32_t HeaderInteger(const HeaderBytes& header, const HeaderField& field);

}  // namespace tabulon
