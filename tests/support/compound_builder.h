// A small, valid version-3 workbook built in code, for tests to damage one piece at a time:
// sector 0 the allocation table, 1 the directory, 2-9 the Workbook stream (4096 bytes,
// starting with a BOF record), 10 the mini allocation table, 11 the mini stream holding
// "SummaryInformation" (100 bytes). The Workbook stream holds the globals' BOF and EOF.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/biff/records.h"
#include "engine/cfb/consts.h"
#include "engine/cfb/directory_entry.h"
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

    StoreLe16(file.Sector(2), biff::kBof);  // BOF of the workbook globals, BIFF8
    StoreLe16(file.Sector(2) + 2, 16);
    StoreLe16(file.Sector(2) + 4, 0x0600);
    StoreLe16(file.Sector(2) + 6, 0x0005);
    StoreLe16(file.Sector(2) + 20, biff::kEof);  // EOF; the rest of the stream is filler
    for (std::uint32_t j = 0; j < 128; ++j)
        StoreLe32(file.Sector(10) + 4 * j, kNone);
    StoreLe32(file.Sector(10), 1);
    StoreLe32(file.Sector(10) + 4, kEndOfChain);
    return file;
}

// Where a large workbook file's sectors lie: the Workbook stream's chain, the table sectors,
// the DIFAT sectors in chain order, the directory sector, and how many sectors there are.
struct LargeLayout {
    std::vector<std::uint32_t> streamChain, fatSectors, difatSectors;
    std::uint32_t directory = 0, total = 0;
    // What the last DIFAT sector's link holds: the end of the chain, or a free entry as
    // LibreOffice writes it.
    std::uint32_t difatEnd = kEndOfChain;
};

// How many table and DIFAT sectors a file of `others` further sectors needs.
inline std::pair<std::uint32_t, std::uint32_t> LargeTableCounts(std::uint32_t others)
{
    std::uint32_t fat = 1, difat = 0;
    for (bool settled = false; !settled;) {
        const std::uint32_t total = others + fat + difat;
        const auto needFat = static_cast<std::uint32_t>((total + kEntriesPerFatSector - 1) / kEntriesPerFatSector);
        const auto needDifat = static_cast<std::uint32_t>(needFat > kHeaderDifatEntries ? (needFat - kHeaderDifatEntries + 126) / 127 : 0);
        settled = needFat == fat && needDifat == difat;
        fat = needFat;
        difat = needDifat;
    }
    return {fat, difat};
}

// The file `layout` describes, holding `stream` as its Workbook stream.
inline std::vector<std::uint8_t> LargeWorkbookFile(const std::vector<std::uint8_t>& stream, const LargeLayout& layout)
{
    const auto fat = static_cast<std::uint32_t>(layout.fatSectors.size());
    const auto difat = static_cast<std::uint32_t>(layout.difatSectors.size());
    std::vector<std::uint32_t> table(std::size_t{fat} * kEntriesPerFatSector, kFreeSector);
    for (const std::uint32_t s : layout.difatSectors)
        table[s] = kDifatSector;
    for (const std::uint32_t s : layout.fatSectors)
        table[s] = kFatSector;
    for (std::size_t k = 0; k < layout.streamChain.size(); ++k)
        table[layout.streamChain[k]] = k + 1 < layout.streamChain.size() ? layout.streamChain[k + 1] : kEndOfChain;
    table[layout.directory] = kEndOfChain;

    std::vector<std::uint8_t> file(kHeaderSize + std::size_t{layout.total} * kSectorSize, 0);
    const auto sector = [&](std::uint32_t s) { return file.data() + kHeaderSize + std::size_t{s} * kSectorSize; };
    HeaderLayout header;
    header.numFatSectors = fat;
    header.firstDirectorySector = layout.directory;
    header.firstDifatSector = difat ? layout.difatSectors.front() : kEndOfChain;
    header.numDifatSectors = difat;
    for (std::uint32_t k = 0; k < fat && k < kHeaderDifatEntries; ++k)
        header.headerDifat[k] = layout.fatSectors[k];
    const HeaderBytes bytes = MakeHeader(header);
    std::copy(bytes.begin(), bytes.end(), file.begin());
    for (std::uint32_t d = 0; d < difat; ++d) {
        for (std::uint32_t k = 0; k < 127; ++k) {
            const std::size_t listed = kHeaderDifatEntries + std::size_t{d} * 127 + k;
            StoreLe32(sector(layout.difatSectors[d]) + 4 * k, listed < fat ? layout.fatSectors[listed] : kFreeSector);
        }
        StoreLe32(sector(layout.difatSectors[d]) + 508, d + 1 < difat ? layout.difatSectors[d + 1] : layout.difatEnd);
    }
    for (std::uint32_t k = 0; k < fat; ++k) {
        for (std::uint32_t j = 0; j < kEntriesPerFatSector; ++j)
            StoreLe32(sector(layout.fatSectors[k]) + 4 * j, table[std::size_t{k} * kEntriesPerFatSector + j]);
    }
    for (std::size_t k = 0; k < layout.streamChain.size(); ++k) {
        const std::size_t from = k * kSectorSize;
        std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(from), std::min<std::size_t>(kSectorSize, stream.size() - from),
                    sector(layout.streamChain[k]));
    }
    DirectoryEntry root;
    root.name = u"Root Entry";
    root.type = kObjectTypeRootStorage;
    root.colour = 1;
    root.child = 1;
    DirectoryEntry workbook;
    workbook.name = u"Workbook";
    workbook.type = kObjectTypeStream;
    workbook.colour = 1;
    workbook.start = layout.streamChain.front();
    workbook.size = stream.size();
    WriteDirectoryEntry(sector(layout.directory), root);
    WriteDirectoryEntry(sector(layout.directory) + kDirectoryEntrySize, workbook);
    for (std::size_t k = 2; k < kDirectoryEntriesPerSector; ++k)
        WriteDirectoryEntry(sector(layout.directory) + k * kDirectoryEntrySize, DirectoryEntry{});
    return file;
}

// A workbook file whose table needs DIFAT sectors, laid out as LibreOffice lays out a large
// one: the first table sector at sector 0, the DIFAT sectors after it, the Workbook stream
// (`stream`, at least 64 KiB) up to sector 127, the other table sectors in one run from 128,
// the rest of the stream after them, the directory last; the DIFAT's chain ends in a free entry.
inline std::vector<std::uint8_t> LargeWorkbookFile(const std::vector<std::uint8_t>& stream)
{
    const auto streamSectors = static_cast<std::uint32_t>((stream.size() + kSectorSize - 1) / kSectorSize);
    const auto [fat, difat] = LargeTableCounts(streamSectors + 1);
    LargeLayout layout;
    layout.total = fat + difat + streamSectors + 1;
    layout.fatSectors = {0};
    for (std::uint32_t s = 1; s <= difat; ++s)
        layout.difatSectors.push_back(s);
    for (std::uint32_t s = 1 + difat; layout.streamChain.size() < streamSectors; ++s) {
        if (s >= 128 && layout.fatSectors.size() < fat)
            layout.fatSectors.push_back(s);
        else
            layout.streamChain.push_back(s);
    }
    layout.directory = layout.total - 1;
    layout.difatEnd = kFreeSector;
    return LargeWorkbookFile(stream, layout);
}

// A workbook file whose table needs DIFAT sectors, laid out as Gnumeric lays out a large one:
// the Workbook stream (`stream`) from sector 0, the directory after it, then the table sectors
// in one run and the DIFAT sectors after them, last in the file.
inline std::vector<std::uint8_t> GnumericLargeWorkbookFile(const std::vector<std::uint8_t>& stream)
{
    const auto streamSectors = static_cast<std::uint32_t>((stream.size() + kSectorSize - 1) / kSectorSize);
    const auto [fat, difat] = LargeTableCounts(streamSectors + 1);
    LargeLayout layout;
    layout.total = streamSectors + 1 + fat + difat;
    for (std::uint32_t s = 0; s < streamSectors; ++s)
        layout.streamChain.push_back(s);
    layout.directory = streamSectors;
    for (std::uint32_t k = 0; k < fat; ++k)
        layout.fatSectors.push_back(streamSectors + 1 + k);
    for (std::uint32_t d = 0; d < difat; ++d)
        layout.difatSectors.push_back(streamSectors + 1 + fat + d);
    return LargeWorkbookFile(stream, layout);
}

}  // namespace tabulon::test
