// The 512-byte compound-file header and its fields, by the names the format gives them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "consts.h"

namespace tabulon {

using HeaderBytes = std::array<std::uint8_t, kHeaderSize>;

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

// The fields whose bytes differ between two headers, in header order.
std::vector<HeaderField> ChangedHeaderFields(const HeaderBytes& before, const HeaderBytes& after);

// The value of an Integer field.
std::uint32_t HeaderInteger(const HeaderBytes& header, const HeaderField& field);

}  // namespace tabulon
