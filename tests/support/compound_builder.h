// A small, valid version-3 workbook built in code, for tests to damage one piece at a time:
// sector 0 the allocation table, 1 the directory, 2-9 the Workbook stream (4096 bytes,
// starting with a BOF record), 10 the mini allocation table, 11 the mini stream holding
// "SummaryInformation" (100 bytes). The Workbook stream holds the globals' BOF and EOF.
#pragma once

#include <string>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/cfb/consts.h"
#include "engine/cfb/header.h"

namespace tabulon::test {

struct CompoundFile {
    std::vector<std::uint8_t> bytes;

    std::uint8_t* Sector(std::uint32_t index) { return bytes.data() + (index + 1) * 512; }
    std::uint8_t* Entry(std::uint32_t index) { return Sector(1) + 128 * index; }
    void SetHeader(std::size_t offset, std::uint32_t value) { StoreLe32(bytes.data() + offset, value); }
    void SetFat(std::uint32_t sector, std::uint32_t value) { StoreLe32(Sector(0) + 4 * sector, value); }
    void SetEntry32(std::uint32_t entry, std::size_t offset, std::uint32_t value) { StoreLe32(Entry(entry) + offset, value); }
    void SetName(std::uint32_t entry, const std::string& name)
    {
        std::fill(Entry(entry), Entry(entry) + 64, std::uint8_t{0});
        for (std::size_t i = 0; i < name.size(); ++i)
            Entry(entry)[2 * i] = static_cast<std::uint8_t>(name[i]);
        StoreLe16(Entry(entry) + 64, static_cast<std::uint16_t>(2 * (name.size() + 1)));
    }
};

inline CompoundFile BuildCompoundFile()
{
    constexpr std::uint32_t kNone = 0xFFFF'FFFF;
    CompoundFile file;
    file.bytes.assign(13 * 512, 0);
    std::uint8_t* header = file.bytes.data();
    std::copy(kHeaderSignature.begin(), kHeaderSignature.end(), header);
    StoreLe16(header + 24, 0x3E);
    StoreLe16(header + 26, 3);
    StoreLe16(header + 28, 0xFFFE);
    StoreLe16(header + 30, 9);
    StoreLe16(header + 32, 6);
    file.SetHeader(kNumFatSectorsOffset, 1);
    file.SetHeader(kFirstDirectorySectorOffset, 1);
    file.SetHeader(kMiniStreamCutoffOffset, 4096);
    file.SetHeader(kFirstMiniFatSectorOffset, 10);
    file.SetHeader(kNumMiniFatSectorsOffset, 1);
    file.SetHeader(kFirstDifatSectorOffset, kEndOfChain);
    for (std::size_t k = 0; k < kHeaderDifatEntries; ++k)
        file.SetHeader(kHeaderDifatOffset + 4 * k, k == 0 ? 0 : kNone);

    for (std::uint32_t j = 0; j < 128; ++j)
        file.SetFat(j, kNone);
    file.SetFat(0, kFatSector);
    file.SetFat(1, kEndOfChain);
    for (std::uint32_t s = 2; s < 9; ++s)
        file.SetFat(s, s + 1);
    file.SetFat(9, kEndOfChain);
    file.SetFat(10, kEndOfChain);
    file.SetFat(11, kEndOfChain);

    for (std::uint32_t e = 0; e < 4; ++e) {
        file.SetEntry32(e, 68, kNone);
        file.SetEntry32(e, 72, kNone);
        file.SetEntry32(e, 76, kNone);
    }
    file.SetName(0, "Root Entry");
    file.Entry(0)[66] = 5;
    file.SetEntry32(0, 76, 1);
    file.SetEntry32(0, 116, 11);
    file.SetEntry32(0, 120, 128);
    file.SetName(1, "Workbook");
    file.Entry(1)[66] = 2;
    file.SetEntry32(1, 72, 2);
    file.SetEntry32(1, 116, 2);
    file.SetEntry32(1, 120, 4096);
    file.SetName(2, "\x05SummaryInformation");
    file.Entry(2)[66] = 2;
    file.SetEntry32(2, 116, 0);
    file.SetEntry32(2, 120, 100);

    StoreLe16(file.Sector(2), 0x0809);  // BOF of the workbook globals, BIFF8
    StoreLe16(file.Sector(2) + 2, 16);
    StoreLe16(file.Sector(2) + 4, 0x0600);
    StoreLe16(file.Sector(2) + 6, 0x0005);
    StoreLe16(file.Sector(2) + 20, 0x000A);  // EOF; the rest of the stream is filler
    for (std::uint32_t j = 0; j < 128; ++j)
        StoreLe32(file.Sector(10) + 4 * j, kNone);
    StoreLe32(file.Sector(10), 1);
    StoreLe32(file.Sector(10) + 4, kEndOfChain);
    return file;
}

}  // namespace tabulon::test
