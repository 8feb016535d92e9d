#include "literal_scans.h"

#include <array>
#include <cstring>

namespace tabulon::literal {
namespace {

using Buffer = std::array<std::uint8_t, 512>;

std::uint32_t U32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16)) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void PutU32(std::uint8_t* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool IsSpecial(std::uint32_t v)
{
    return v == 0xFFFFFFFF || v == 0xFFFFFFFE || v == 0xFFFFFFFD || v == 0xFFFFFFFC;
}

// Reads 512 bytes; bytes the file does not supply are zero.
void ReadSector(SectorFile& file, Buffer& buffer)
{
    buffer.fill(0);
    file.Read(buffer);
}

std::int32_t BlockCountOf(SectorFile& file)
{
    return static_cast<std::int32_t>(static_cast<std::int64_t>(file.Length()) / 512);
}

// Reads every whole sector after the header in file order, afresh, until `found` says so: the
// index of that sector, or -1.
template <typename Found>
std::int32_t FirstSector(SectorFile& file, Found found)
{
    const std::int32_t blocks = BlockCountOf(file);
    Buffer buffer;
    file.Seek(512);
    for (std::int32_t i = 0; i <= blocks - 2; ++i) {
        ReadSector(file, buffer);
        if (found(buffer))
            return i;
    }
    return -1;
}

}  // namespace

bool IsFatLikeSector(std::span<const std::uint8_t, 512> sector)
{
    int count = 0;
    for (int j = 0; j < 128; ++j) {
        const std::uint32_t v = U32(sector.data() + 4 * j);
        bool marked = IsSpecial(v);
        if (j < 127 && v + 1 == U32(sector.data() + 4 * (j + 1)))
            marked = true;
        if (marked)
            ++count;
    }
    return count > 54;
}

std::int32_t EstimateFatIndex(std::span<const std::uint8_t, 512> sector, std::int32_t n)
{
    // Signed 32-bit arithmetic that wraps, done in 64 bits and cut back.
    std::int64_t sum = 0;
    for (int j = 0; j < 128; ++j) {
        const std::uint32_t v = U32(sector.data() + 4 * j);
        const std::int64_t used = v < 512 ? static_cast<std::int64_t>(v) : static_cast<std::int64_t>(n) * 128 + j;
        sum += used;
    }
    const auto wrapped = static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(sum)));
    const std::int32_t first = wrapped / 128;
    return first / 128;
}

int CountNameUnits(const std::uint8_t* entry, const std::uint8_t* sectorEnd)
{
    int count = 0;
    for (const std::uint8_t* p = entry; p + 2 <= sectorEnd; p += 2) {
        if (*p == 0)
            break;
        ++count;
    }
    return count;
}

bool IsDirectorySector(std::span<const std::uint8_t, 512> sector)
{
    int marks = 0;
    for (int k = 0; k < 4; ++k) {
        const std::uint8_t* entry = sector.data() + 128 * k;
        const int nameLength = entry[64] | (entry[65] << 8);
        if (CountNameUnits(entry, sector.data() + 512) == nameLength / 2 - 1)
            ++marks;
        if (entry[66] <= 5)
            ++marks;
        if (entry[67] == 0 || entry[67] == 1)
            ++marks;
    }
    return marks > 7;
}

std::int32_t FindFatSector(SectorFile& file, std::int32_t n, bool skipFirst)
{
    return FirstSector(file, [&](const Buffer& sector) {
        if (!IsFatLikeSector(sector) || EstimateFatIndex(sector, n) != n)
            return false;
        const bool skip = skipFirst;
        skipFirst = false;
        return !skip;
    });
}

std::int32_t CountFatLikeSectors(SectorFile& file)
{
    std::int32_t count = 0;
    FirstSector(file, [&](const Buffer& sector) {
        count += IsFatLikeSector(sector) ? 1 : 0;
        return false;
    });
    return count;
}

std::int32_t FindRootDirectorySector(SectorFile& file)
{
    return FirstSector(file, [](const Buffer& sector) { return IsDirectorySector(sector) && sector[66] == 5; });
}

void RebuildHeader(SectorFile& file)
{
    static const std::uint8_t kTemplate[44] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1, 0, 0, 0, 0, 0, 0, 0,
                                               0, 0, 0, 0, 0, 0, 0, 0, 0, 0x3E, 0, 3, 0, 0xFE, 0xFF, 9, 0, 6, 0};
    Buffer header;
    Buffer sector;
    Buffer directory;

    // 1-2
    const std::uint32_t n = static_cast<std::uint32_t>(BlockCountOf(file));
    file.Seek(0);
    ReadSector(file, header);
    const Buffer asRead = header;
    std::uint8_t* h = header.data();
    // 3-4
    std::memcpy(h, kTemplate, 44);
    PutU32(h + 52, 0);
    PutU32(h + 56, 4096);
    if (U32(h + 68) == 0xFFFFFFFE)
        PutU32(h + 72, 0);
    // 5-6
    const std::uint32_t sumRead = U32(asRead.data() + 44) + U32(asRead.data() + 64);
    const std::int32_t fatLike = CountFatLikeSectors(file);
    // 7
    if (U32(asRead.data() + 76) != 0xFFFFFFFF) {
        std::uint32_t count = 0;
        while (count < 109 && U32(asRead.data() + 76 + 4 * count) != 0xFFFFFFFF)
            ++count;
        if (U32(asRead.data() + 44) < count)
            PutU32(h + 44, count);
    }
    // 8-9
    if (U32(asRead.data() + 76) > n)
        PutU32(h + 76, 0);
    file.Seek((static_cast<std::uint64_t>(U32(h + 76)) + 1) * 512);
    ReadSector(file, sector);
    // 10
    std::int32_t rewritten = 0;
    if (!IsFatLikeSector(sector) && EstimateFatIndex(sector, 0) != 1) {
        std::int32_t last = FindFatSector(file, 0, false);
        PutU32(h + 76, static_cast<std::uint32_t>(last));
        rewritten = 1;
        for (std::int32_t k = 1; k <= 108; ++k) {
            if (U32(asRead.data() + 76 + 4 * k) == 0xFFFFFFFF || last >= 128)
                break;
            last = FindFatSector(file, k, false);
            PutU32(h + 76 + 4 * k, static_cast<std::uint32_t>(last));
            rewritten = k + 1;
        }
    }
    // 11-12
    if (sumRead != static_cast<std::uint32_t>(fatLike) && U32(h + 44) < static_cast<std::uint32_t>(rewritten))
        PutU32(h + 44, static_cast<std::uint32_t>(rewritten));
    PutU32(h + 64, static_cast<std::uint32_t>(fatLike) - U32(h + 44));
    // 13-14
    if (U32(h + 60) > n)
        PutU32(h + 60, 1);
    file.Seek((static_cast<std::uint64_t>(U32(h + 60)) + 1) * 512);
    ReadSector(file, sector);
    if (!IsFatLikeSector(sector))
        PutU32(h + 60, static_cast<std::uint32_t>(FindFatSector(file, 0, true)));
    // 15-16
    if (U32(h + 48) > n)
        PutU32(h + 48, 0);
    file.Seek((static_cast<std::uint64_t>(U32(h + 48)) + 1) * 512);
    ReadSector(file, directory);
    if (!IsDirectorySector(directory) || directory[66] != 5)
        PutU32(h + 48, static_cast<std::uint32_t>(FindRootDirectorySector(file)));
    // 17
    file.Seek(0);
    file.Write(header);
}

}  // namespace tabulon::literal
