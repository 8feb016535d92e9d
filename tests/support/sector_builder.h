// Small builders for sectors and files in tests.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/cfb/header.h"
#include "engine/cfb/sector_probes.h"

namespace tabulon::test {

inline SectorBytes FilledSector(std::uint32_t value)
{
    SectorBytes sector{};
    for (std::size_t j = 0; j < 128; ++j)
        StoreLe32(sector.data() + 4 * j, value);
    return sector;
}

// Entries start, start + 1, ..., start + 127: one chain running through the sector.
inline SectorBytes ChainSector(std::uint32_t start)
{
    SectorBytes sector{};
    for (std::uint32_t j = 0; j < 128; ++j)
        StoreLe32(sector.data() + 4 * j, start + j);
    return sector;
}

inline void SetEntry(SectorBytes& sector, std::size_t j, std::uint32_t value)
{
    StoreLe32(sector.data() + 4 * j, value);
}

// A directory entry: a UTF-16LE name of ASCII text with its length in bytes (terminating
// null included), an object type and a colour flag.
inline void SetDirectoryEntry(SectorBytes& sector, std::size_t k, const std::string& name, std::uint8_t type,
                              std::uint8_t colour)
{
    std::uint8_t* entry = sector.data() + 128 * k;
    std::fill(entry, entry + 128, std::uint8_t{0});
    for (std::size_t i = 0; i < name.size() && i < 31; ++i)
        entry[2 * i] = static_cast<std::uint8_t>(name[i]);
    StoreLe16(entry + 64, static_cast<std::uint16_t>(name.empty() ? 0 : 2 * (name.size() + 1)));
    entry[66] = type;
    entry[67] = colour;
}

// A directory sector: the root entry followed by three valid stream entries.
inline SectorBytes RootDirectorySector()
{
    SectorBytes sector{};
    SetDirectoryEntry(sector, 0, "Root Entry", 5, 1);
    SetDirectoryEntry(sector, 1, "Workbook", 2, 1);
    SetDirectoryEntry(sector, 2, "SummaryInformation", 2, 1);
    SetDirectoryEntry(sector, 3, "DocumentSummaryInformation", 2, 0);
    return sector;
}

// A sector of bytes that look like neither table nor directory.
inline SectorBytes DataSector(std::uint8_t seed)
{
    SectorBytes sector{};
    std::uint32_t state = 0x9E3779B9u * (seed + 1u);
    for (auto& byte : sector) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    // Keep every directory entry's object type out of range so no sector looks like a directory.
    for (std::size_t k = 0; k < 4; ++k)
        sector[128 * k + 66] = 0x80;
    return sector;
}

inline std::vector<std::uint8_t> MakeFile(const HeaderBytes& header, std::initializer_list<SectorBytes> sectors)
{
    std::vector<std::uint8_t> bytes;
    bytes.reserve(header.size() + sectors.size() * kSectorSize);
    bytes.assign(header.begin(), header.end());
    for (const SectorBytes& sector : sectors)
        bytes.insert(bytes.end(), sector.begin(), sector.end());
    return bytes;
}

inline std::uint32_t HeaderField32(const std::vector<std::uint8_t>& file, std::size_t offset)
{
    return LoadLe32(file.data() + offset);
}

inline void SetHeaderField32(HeaderBytes& header, std::size_t offset, std::uint32_t value)
{
    StoreLe32(header.data() + offset, value);
}

}  // namespace tabulon::test
