// A reference for the fast engine: the sector probes, the scans and the header rebuild
// written exactly as the rebuild's rules walk the file — one 512-byte read per sector, a
// fresh pass for every scan, every read and write in the rules' order. Slow by design;
// tests and the benchmark compare the engine against it.
#pragma once

#include <cstdint>
#include <span>

#include "engine/io/sector_file.h"

namespace tabulon::literal {

bool IsFatLikeSector(std::span<const std::uint8_t, 512> sector);
std::int32_t EstimateFatIndex(std::span<const std::uint8_t, 512> sector, std::int32_t n);
int CountNameUnits(const std::uint8_t* entry, const std::uint8_t* sectorEnd);
bool IsDirectorySector(std::span<const std::uint8_t, 512> sector);

std::int32_t FindFatSector(SectorFile& file, std::int32_t n, bool skipFirst);
std::int32_t CountFatLikeSectors(SectorFile& file);
std::int32_t FindRootDirectorySector(SectorFile& file);

void RebuildHeader(SectorFile& file);

}  // namespace tabulon::literal
