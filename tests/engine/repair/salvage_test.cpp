// Salvage on real workbooks damaged beyond their header, and on layouts built to mislead it.
// The expectation is always the intact workbook's own stream, read by the plain reader.
#include <gtest/gtest.h>

#include <functional>
#include <numeric>

#include "engine/biff/biff_cells.h"
#include "engine/base/byte_order.h"
#include "engine/cfb/compound_reader.h"
#include "engine/cfb/compound_writer.h"
#include "engine/repair/record_mend.h"
#include "engine/repair/repair.h"
#include "engine/repair/report_text.h"
#include "engine/repair/salvage.h"
#include "engine/repair/workbook_file.h"
#include "tests/support/workbooks.h"

namespace tabulon {
namespace {

using test::Bytes;

const char* const kWorkbooks[] = {
    "readxl__mtcars.xls",   "xlrd__issue20.xls",     "poi__47847.xls",
    "npoi__59858.xls",      "lotest__300-worksheets.xls", "readxl__more-than-256-unique-strings-xls.xls",
    "phpss__biff8cover.xls", "poi__DBCSHeader.xls",
};

HeaderBytes HeaderOf(const Bytes& file)
{
    HeaderBytes header{};
    std::copy_n(file.begin(), kHeaderSize, header.begin());
    return header;
}

Bytes WorkbookStream(const Bytes& file)
{
    MemorySectorFile source(file);
    return ReadWorkbookStream(source).value_or(Bytes{});
}

// Where the workbook's records end: after the last EOF record of a walk from the start.
std::size_t RecordsEnd(const Bytes& stream)
{
    std::size_t offset = 0;
    std::size_t end = 0;
    while (offset + 4 <= stream.size()) {
        const std::uint16_t type = LoadLe16(stream.data() + offset);
        offset += 4 + std::size_t{LoadLe16(stream.data() + offset + 2)};
        if (type == 0x000A && offset <= stream.size())
            end = offset;
    }
    return end;
}

struct Salvaged {
    SalvageReport report;
    Bytes file;
    Bytes workbook;
};

Salvaged Salvage(const Bytes& damaged, const HeaderBytes& header)
{
    MemorySectorFile in(damaged);
    MemorySectorFile out;
    const HeaderBytes headers[] = {header};
    Salvaged result;
    result.report = SalvageWorkbook(in, headers, out);
    result.file = out.Bytes();
    if (result.report.written)
        result.workbook = WorkbookStream(result.file);
    return result;
}

void ZeroSector(Bytes& file, std::uint32_t sector)
{
    std::fill_n(file.begin() + kHeaderSize + std::size_t{sector} * kSectorSize, kSectorSize, std::uint8_t{0});
}

// A compound file holding `entries`, its first directory sector wiped.
Bytes WrittenWithoutDirectory(const std::vector<CompoundEntry>& entries)
{
    MemorySectorFile written;
    WriteCompoundFile(written, {}, entries);
    Bytes file = written.Bytes();
    ZeroSector(file, LoadLe32(file.data() + kFirstDirectorySectorOffset));
    return file;
}

// Every record of the original comes back, byte for byte, and the new file opens.
void ExpectWholeWorkbook(const Salvaged& salvaged, const Bytes& original, const std::string& what)
{
    ASSERT_TRUE(salvaged.report.written) << what;
    EXPECT_TRUE(salvaged.report.check.Opens()) << what;
    const std::size_t end = RecordsEnd(original);
    ASSERT_GE(salvaged.workbook.size(), end) << what;
    EXPECT_TRUE(std::equal(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(end), salvaged.workbook.begin()))
        << what;
    EXPECT_EQ(salvaged.report.sheetsFound, salvaged.report.sheets) << what;
}

// Where the salvaged stream and the original differ, the salvage says it mended; what it wrote
// reads as records throughout, every sheet where the list of sheets says.
void ExpectOnlyMendedBytesDiffer(const Salvaged& salvaged, const Bytes& original, const std::string& what)
{
    // `original`: the stream as the salvage found it (damage and all) where it still reads,
    // else the intact one.
    const auto mended = [&](std::size_t at) {
        return std::any_of(salvaged.report.regions.begin(), salvaged.report.regions.end(),
                           [at](const MendedRegion& r) { return r.offset <= at && at < r.offset + r.length; });
    };
    for (std::size_t at = 0; at < salvaged.workbook.size(); ++at) {
        const bool same = at < original.size() && salvaged.workbook[at] == original[at];
        if (!same && !mended(at)) {
            ADD_FAILURE() << what << ": byte " << at << " changed outside what the salvage says it mended";
            break;
        }
    }
    EXPECT_EQ(FirstRecordDamage(salvaged.workbook), std::nullopt) << what;
}

TEST(Salvage, LostTableAndDirectorySectorsCostNoWorkbookByte)
{
    for (const char* name : kWorkbooks) {
        const Bytes file = test::TestWorkbook(name);
        const HeaderBytes header = HeaderOf(file);
        const Bytes original = WorkbookStream(file);
        ASSERT_FALSE(original.empty()) << name;
        const std::uint32_t tableSectors = LoadLe32(header.data() + kNumFatSectorsOffset);
        std::vector<std::pair<std::string, std::uint32_t>> damages = {
            {"first table sector", LoadLe32(header.data() + kHeaderDifatOffset)},
            {"last table sector", LoadLe32(header.data() + kHeaderDifatOffset + 4 * (std::min(tableSectors, 109u) - 1))},
            {"first directory sector", LoadLe32(header.data() + kFirstDirectorySectorOffset)},
        };
        for (const auto& [what, sector] : damages) {
            Bytes damaged = file;
            ZeroSector(damaged, sector);
            ExpectWholeWorkbook(Salvage(damaged, header), original, std::string(name) + ", " + what);
        }
    }
}

TEST(Salvage, ATruncatedWorkbookKeepsWhatSurvivesTheCut)
{
    for (const char* name : kWorkbooks) {
        const Bytes file = test::TestWorkbook(name);
        const Bytes original = WorkbookStream(file);
        for (const double share : {0.75, 0.9}) {
            const Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(static_cast<double>(file.size()) * share));
            const Salvaged salvaged = Salvage(cut, HeaderOf(file));
            ASSERT_TRUE(salvaged.report.written) << name;
            EXPECT_TRUE(salvaged.report.check.Opens()) << name;
            ASSERT_FALSE(salvaged.workbook.empty()) << name;
            ExpectOnlyMendedBytesDiffer(salvaged, original, name);
            EXPECT_EQ(salvaged.report.sheetsFound, salvaged.report.sheets) << name << ": sheets past the cut come back empty";
        }
    }
}

// A compound file of the given streams (under the root), its sectors then moved so that the
// first stream's sectors lie in runs between the others': `order` gives, for each sector of
// the contiguous file, its new place.
Bytes Relocated(const Bytes& file, const std::vector<std::uint32_t>& order)
{
    const std::uint32_t sectors = static_cast<std::uint32_t>((file.size() - kHeaderSize) / kSectorSize);
    Bytes moved(file.size());
    std::copy_n(file.begin(), kHeaderSize, moved.begin());
    auto map = [&](std::uint32_t value) { return value < sectors ? order[value] : value; };
    HeaderBytes header = HeaderOf(file);
    const std::uint32_t tableSectors = LoadLe32(header.data() + kNumFatSectorsOffset);
    std::vector<std::uint32_t> table;
    for (std::uint32_t i = 0; i < tableSectors; ++i) {
        const std::uint8_t* sector = file.data() + kHeaderSize + LoadLe32(header.data() + kHeaderDifatOffset + 4 * i) * kSectorSize;
        for (std::size_t j = 0; j < kEntriesPerFatSector; ++j)
            table.push_back(LoadLe32(sector + 4 * j));
    }
    for (std::uint32_t s = 0; s < sectors; ++s)
        std::copy_n(file.begin() + kHeaderSize + std::size_t{s} * kSectorSize, kSectorSize,
                    moved.begin() + kHeaderSize + std::size_t{order[s]} * kSectorSize);
    std::vector<std::uint32_t> newTable(table.size(), kFreeSector);
    for (std::uint32_t s = 0; s < sectors; ++s)
        newTable[order[s]] = map(table[s]);
    for (std::uint32_t i = 0; i < tableSectors; ++i) {
        const std::uint32_t at = map(LoadLe32(header.data() + kHeaderDifatOffset + 4 * i));
        StoreLe32(moved.data() + kHeaderDifatOffset + 4 * i, at);
        for (std::size_t j = 0; j < kEntriesPerFatSector; ++j)
            StoreLe32(moved.data() + kHeaderSize + std::size_t{at} * kSectorSize + 4 * j, newTable[i * kEntriesPerFatSector + j]);
    }
    for (const std::size_t field : {kFirstDirectorySectorOffset, kFirstMiniFatSectorOffset})
        StoreLe32(moved.data() + field, map(LoadLe32(header.data() + field)));
    // Directory entries: every start of a stream in the file's sectors (and the root's).
    MemorySectorFile check(moved);
    for (std::uint32_t s = LoadLe32(moved.data() + kFirstDirectorySectorOffset); s < sectors; s = newTable[s]) {
        for (std::size_t k = 0; k < kDirectoryEntriesPerSector; ++k) {
            std::uint8_t* entry = moved.data() + kHeaderSize + std::size_t{s} * kSectorSize + k * kDirectoryEntrySize;
            const bool main = entry[kEntryObjectTypeOffset] == kObjectTypeRootStorage ||
                              (entry[kEntryObjectTypeOffset] == kObjectTypeStream &&
                               LoadLe32(entry + kEntryStreamSizeOffset) >= kMiniStreamCutoff);
            if (main)
                StoreLe32(entry + kEntryStartSectorOffset, map(LoadLe32(entry + kEntryStartSectorOffset)));
        }
    }
    return moved;
}

TEST(Salvage, FragmentedStreamsFollowTheirRecords)
{
    // The workbook written first, then two streams of other data.
    const Bytes workbook = WorkbookStream(test::TestWorkbook("phpss__biff8cover.xls"));
    Bytes data(32 * kSectorSize);
    std::iota(data.begin(), data.end(), std::uint8_t{7});
    std::vector<CompoundEntry> entries(3);
    entries[0].name = u"Workbook";
    entries[0].data = workbook;
    entries[1].name = u"Pictures";
    entries[1].data = Bytes(data.begin(), data.begin() + 20 * kSectorSize);
    entries[2].name = u"Data";
    entries[2].data = Bytes(data.begin(), data.begin() + 12 * kSectorSize);
    MemorySectorFile written;
    WriteCompoundFile(written, {}, entries);
    const Bytes contiguous = written.Bytes();
    const std::uint32_t sectors = static_cast<std::uint32_t>((contiguous.size() - kHeaderSize) / kSectorSize);
    const std::uint32_t workbookSectors = static_cast<std::uint32_t>((workbook.size() + kSectorSize - 1) / kSectorSize);
    const std::uint32_t others = 32;

    // The workbook in three runs (6, 8 and 29 sectors), three sectors of the other streams
    // between them. (A record that runs across a gap cannot be judged; these gaps fall between
    // records of this workbook's cells.)
    std::vector<std::uint32_t> order(sectors);
    std::iota(order.begin(), order.end(), 0u);
    std::vector<std::uint32_t> layout;  // old sectors in their new order
    std::uint32_t nextWorkbook = 0, nextOther = workbookSectors;
    const std::uint32_t runs[] = {6, 8, 29};
    for (std::size_t r = 0; nextWorkbook < workbookSectors || nextOther < workbookSectors + others; ++r) {
        for (std::uint32_t k = 0; k < runs[r % 3] && nextWorkbook < workbookSectors; ++k)
            layout.push_back(nextWorkbook++);
        for (std::uint32_t k = 0; k < 3 && nextOther < workbookSectors + others; ++k)
            layout.push_back(nextOther++);
    }
    for (std::uint32_t position = 0; position < layout.size(); ++position)
        order[layout[position]] = position;
    const Bytes fragmented = Relocated(contiguous, order);
    {
        MemorySectorFile check(fragmented);
        ASSERT_TRUE(VerifyWorkbook(check).Opens());
        ASSERT_EQ(WorkbookStream(fragmented), workbook);
    }

    for (std::uint32_t i = 0; i < LoadLe32(fragmented.data() + kNumFatSectorsOffset); ++i) {
        Bytes damaged = fragmented;
        ZeroSector(damaged, LoadLe32(fragmented.data() + kHeaderDifatOffset + 4 * i));
        const Salvaged salvaged = Salvage(damaged, HeaderOf(fragmented));
        ExpectWholeWorkbook(salvaged, workbook, "table sector " + std::to_string(i));
        if (i == 0) {
            EXPECT_GT(salvaged.report.linksRebuilt, 0u) << "the workbook's links were in that sector";
        }
    }
}

TEST(Salvage, WithoutItsDirectoryTheLongestWorkbookStands)
{
    // An embedded workbook (shorter) is written before the real one; the directory is lost.
    const Bytes shorter = WorkbookStream(test::TestWorkbook("readxl__mtcars.xls"));
    const Bytes longer = WorkbookStream(test::TestWorkbook("phpss__biff8cover.xls"));
    ASSERT_LT(RecordsEnd(shorter), RecordsEnd(longer));
    std::vector<CompoundEntry> entries(3);
    entries[0].name = u"Embedded";
    entries[0].type = kObjectTypeStorage;
    entries[1].name = u"Workbook";
    entries[1].parent = 0;
    entries[1].data = shorter;
    entries[2].name = u"Workbook";
    entries[2].data = longer;
    const Bytes file = WrittenWithoutDirectory(entries);
    const Salvaged salvaged = Salvage(file, HeaderOf(file));
    EXPECT_TRUE(salvaged.report.directoryLost);
    ExpectWholeWorkbook(salvaged, longer, "two workbooks");
    EXPECT_EQ(salvaged.report.kept.size(), 1u);
}

TEST(Salvage, ASmallWorkbookIsFoundInTheMiniStream)
{
    Bytes small = WorkbookStream(test::TestWorkbook("readxl__mtcars.xls"));
    small.resize(RecordsEnd(small));
    ASSERT_LT(small.size(), kMiniStreamCutoff);
    std::vector<CompoundEntry> entries(2);
    entries[0].name = u"\x05SummaryInformation";
    entries[0].data = Bytes(300, 0x11);
    entries[1].name = u"Workbook";
    entries[1].data = small;
    const Bytes file = WrittenWithoutDirectory(entries);
    const Salvaged salvaged = Salvage(file, HeaderOf(file));
    EXPECT_TRUE(salvaged.report.workbookInMiniStream);
    ExpectWholeWorkbook(salvaged, small, "mini stream");
}

// Where each byte of the workbook stream lies in the file (a stream in the file's own sectors).
std::vector<std::size_t> StreamPlaces(const Bytes& file)
{
    const HeaderBytes header = HeaderOf(file);
    std::vector<std::uint32_t> table;
    for (std::uint32_t i = 0; i < LoadLe32(header.data() + kNumFatSectorsOffset); ++i) {
        const std::size_t sector = LoadLe32(header.data() + kHeaderDifatOffset + 4 * i);
        for (std::size_t j = 0; j < kEntriesPerFatSector; ++j)
            table.push_back(LoadLe32(file.data() + kHeaderSize + sector * kSectorSize + 4 * j));
    }
    // The stream's first sector: the one that holds its first 512 bytes.
    const Bytes stream = WorkbookStream(file);
    std::uint32_t sector = 0;
    while (!std::equal(stream.begin(), stream.begin() + kSectorSize, file.begin() + kHeaderSize + std::size_t{sector} * kSectorSize))
        ++sector;
    std::vector<std::size_t> places;
    for (std::size_t at = 0; at < stream.size(); ++at) {
        if (at > 0 && at % kSectorSize == 0)
            sector = table[sector];
        places.push_back(kHeaderSize + std::size_t{sector} * kSectorSize + at % kSectorSize);
    }
    return places;
}

// `file` with the bytes from `from` to `to` of its workbook stream zeroed.
Bytes Wiped(const Bytes& file, std::size_t from, std::size_t to)
{
    Bytes wiped = file;
    const std::vector<std::size_t> places = StreamPlaces(file);
    for (std::size_t at = from; at < to; ++at)
        wiped[places[at]] = 0;
    return wiped;
}

// The cell at (row, column) of `cells`, or none.
const CellValue* CellAt(const std::vector<CellValue>& cells, int row, int column)
{
    const auto found = std::find_if(cells.begin(), cells.end(), [&](const CellValue& c) { return c.row == row && c.column == column; });
    return found == cells.end() ? nullptr : &*found;
}

// Whether `cells` hold `number` at its place.
bool HoldsNumber(const std::vector<CellValue>& cells, const CellValue& number)
{
    const CellValue* cell = CellAt(cells, number.row, number.column);
    return cell && cell->number == number.number;
}

TEST(Salvage, AHoleInTheRecordsLosesOnlyTheCellsInIt)
{
    const Bytes file = test::TestWorkbook("sheetjs__number_format_russian.xls");
    const Bytes stream = WorkbookStream(file);
    const WorkbookCells cells = ReadWorkbookCells(stream);
    ASSERT_GE(cells.sheets.size(), 4u);
    const std::vector<BiffRecord> records = ListRecords(stream);
    auto recordAt = [&](std::uint32_t offset) {
        return *std::find_if(records.begin(), records.end(), [&](const BiffRecord& r) { return r.offset == offset; });
    };
    std::vector<std::uint32_t> boundSheets;  // the list of sheets' entries
    for (const BiffRecord& record : records) {
        if (record.type == 0x0085)
            boundSheets.push_back(record.offset);
    }
    const std::uint32_t boundSheet = boundSheets.at(1);
    const SheetCells& sheet = cells.sheets[2];
    ASSERT_GE(sheet.cells.size(), 2u);
    const std::uint32_t cell = sheet.cells[sheet.cells.size() / 2].offset;
    const struct {
        const char* what;
        std::size_t from, to;
    } holes[] = {
        {"among a sheet's cells", cell - 3, cell + recordAt(cell).length + 9},
        {"across a sheet's start", cells.sheets[3].offset - 6, cells.sheets[3].offset + 30},
        {"over an entry of the list of sheets", boundSheet - 2u, boundSheet + recordAt(boundSheet).length + 6u},
    };
    for (const auto& hole : holes) {
        const Bytes damaged = Wiped(file, hole.from, hole.to);
        const Salvaged salvaged = Salvage(damaged, HeaderOf(file));
        ASSERT_TRUE(salvaged.report.written) << hole.what;
        EXPECT_TRUE(salvaged.report.check.Opens()) << hole.what;
        ExpectOnlyMendedBytesDiffer(salvaged, WorkbookStream(damaged), hole.what);
        const WorkbookCells after = ReadWorkbookCells(salvaged.workbook);
        ASSERT_EQ(after.sheets.size(), cells.sheets.size()) << hole.what << ": " << DescribeSalvage(salvaged.report);
        for (std::size_t s = 0; s < cells.sheets.size(); ++s) {
            for (const CellValue& before : cells.sheets[s].cells) {
                const BiffRecord record = recordAt(before.offset);
                if (record.offset + 4u + record.length > hole.from && record.offset < hole.to)
                    continue;  // in the hole
                const auto& kept = after.sheets[s].cells;
                const bool found = std::any_of(kept.begin(), kept.end(), [&](const CellValue& c) {
                    return c.row == before.row && c.column == before.column && c.kind == before.kind &&
                           c.text == before.text && (c.number == before.number || c.kind != CellKind::Number);
                });
                EXPECT_TRUE(found) << hole.what << ": sheet " << s << " row " << before.row << " column " << before.column;
            }
        }
    }
}

// The workbook's globals wiped (fonts, cell styles, the list of sheets, the shared strings):
// the sheets come back under new globals, with every number they hold, under the names the
// document summary lists, or "Sheet1", "Sheet2", ... when it cannot be read either.
TEST(Salvage, SheetsOutliveTheWorkbooksGlobals)
{
    const Bytes file = test::TestWorkbook("sheetjs__number_format_russian.xls");
    const Bytes stream = WorkbookStream(file);
    const WorkbookCells cells = ReadWorkbookCells(stream);
    const Bytes wiped = Wiped(file, 0, cells.sheets.front().offset);
    // The summary's format identifier; its stream begins 28 bytes before it, with FE FF.
    const Bytes summaryId = {0x02, 0xd5, 0xcd, 0xd5, 0x9c, 0x2e, 0x1b, 0x10, 0x93, 0x97, 0x08, 0x00, 0x2b, 0x2c, 0xf9, 0xae};
    const auto id = std::search(wiped.begin(), wiped.end(), summaryId.begin(), summaryId.end());
    ASSERT_NE(id, wiped.end());
    ASSERT_EQ(*(id - 28), 0xfe);
    Bytes noSummary = wiped;
    noSummary[static_cast<std::size_t>(id - wiped.begin()) - 28] = 0;

    for (const bool summary : {true, false}) {
        const Salvaged salvaged = Salvage(summary ? wiped : noSummary, HeaderOf(file));
        ASSERT_TRUE(salvaged.report.written);
        EXPECT_TRUE(salvaged.report.check.Opens());
        EXPECT_EQ(FirstRecordDamage(salvaged.workbook), std::nullopt);
        const WorkbookCells after = ReadWorkbookCells(salvaged.workbook);
        ASSERT_EQ(after.sheets.size(), cells.sheets.size());
        for (std::size_t s = 0; s < cells.sheets.size(); ++s) {
            EXPECT_EQ(after.sheets[s].name, summary ? cells.sheets[s].name : "Sheet" + std::to_string(s + 1));
            for (const CellValue& before : cells.sheets[s].cells) {
                if (before.kind == CellKind::Number) {
                    EXPECT_TRUE(HoldsNumber(after.sheets[s].cells, before)) << "sheet " << s << " row " << before.row << " column " << before.column;
                }
            }
        }
    }
}

TEST(Salvage, ADirectoryNoFileMayHoldKeepsTheWorkbookAlone)
{
    // Two entries named alike under the root (a flipped bit made "Vorkbook" a "Workbook"),
    // and the table lost: the new file cannot hold both, so the workbook stands alone.
    const Bytes workbook = WorkbookStream(test::TestWorkbook("phpss__biff8cover.xls"));
    std::vector<CompoundEntry> entries(2);
    entries[0].name = u"Workbook";
    entries[0].data = workbook;
    entries[1].name = u"Vorkbook";
    entries[1].data = Bytes(600, 0x22);
    MemorySectorFile written;
    WriteCompoundFile(written, {}, entries);
    Bytes file = written.Bytes();
    const std::size_t directory = kHeaderSize + LoadLe32(file.data() + kFirstDirectorySectorOffset) * kSectorSize;
    for (std::size_t entry = directory; entry < directory + kSectorSize; entry += kDirectoryEntrySize) {
        if (file[entry] == 'V')
            file[entry] = 'W';
    }
    ZeroSector(file, LoadLe32(file.data() + kHeaderDifatOffset));
    const Salvaged salvaged = Salvage(file, HeaderOf(file));
    ExpectWholeWorkbook(salvaged, workbook, "two workbooks of one name");
    EXPECT_EQ(salvaged.report.kept.size(), 1u);
}

// The first 4 KiB of the file wiped: header, the workbook's globals and whatever else lay
// there. Through the whole repair, the sheets that survive come back, with numbers the
// original holds at the same places, and nothing made up.
TEST(Salvage, TheFileStartWipedLeavesTheSheetsThatSurvive)
{
    const Bytes file = test::TestWorkbook("sheetjs__number_format_russian.xls");
    const WorkbookCells cells = ReadWorkbookCells(WorkbookStream(file));
    Bytes damaged = file;
    std::fill_n(damaged.begin(), 4096, std::uint8_t{0});
    MemorySectorFile repaired(damaged);
    const RepairReport planned = RepairHeader(repaired, RebuildMode::Auto);
    ASSERT_TRUE(NeedsSalvage(planned));
    MemorySectorFile out;
    const RepairReport report = SalvageRepair(repaired, planned, out);
    ASSERT_EQ(report.used, RebuildUsed::Salvaged);
    const WorkbookCells after = ReadWorkbookCells(WorkbookStream(out.Bytes()));
    std::size_t numbers = 0;
    for (const SheetCells& sheet : after.sheets) {
        for (const CellValue& cell : sheet.cells) {
            if (cell.kind != CellKind::Number)
                continue;
            ++numbers;
            const bool original = std::any_of(cells.sheets.begin(), cells.sheets.end(),
                                              [&](const SheetCells& s) { return HoldsNumber(s.cells, cell); });
            EXPECT_TRUE(original) << sheet.name << " row " << cell.row << " column " << cell.column;
        }
    }
    EXPECT_GT(numbers, 100u);
}

// The stream's start wiped into the shared-string table, whose first record loses its
// header: with the directory, and without it (the table's index then counts from a start the
// salvage no longer has). Every text cell whose string lies in a bucket the index places past
// the wiped stretch shows its text again, and no cell shows a text the original does not.
TEST(Salvage, TheStringTableIsReadAgainFromItsIndex)
{
    const Bytes file = test::TestWorkbook("poi__47847.xls");
    const Bytes stream = WorkbookStream(file);
    const WorkbookCells cells = ReadWorkbookCells(stream);
    constexpr std::size_t kWiped = 4000;  // the table's first record starts at 3586
    std::size_t firstKept = 0;            // the first string of the first bucket past the wipe
    for (const BiffRecord& record : ListRecords(stream)) {
        if (record.type != 0x00FF)
            continue;
        const std::uint8_t* body = stream.data() + record.offset + 4;
        std::size_t bucket = 0;
        while (LoadLe32(body + 2 + 8 * bucket) < kWiped)
            ++bucket;
        firstKept = bucket * LoadLe16(body);
    }
    ASSERT_GT(firstKept, 0u);

    for (const bool directory : {true, false}) {
        Bytes damaged = Wiped(file, 0, kWiped);
        if (!directory)
            ZeroSector(damaged, LoadLe32(file.data() + kFirstDirectorySectorOffset));
        const Salvaged salvaged = Salvage(damaged, HeaderOf(file));
        ASSERT_TRUE(salvaged.report.written);
        EXPECT_EQ(FirstRecordDamage(salvaged.workbook), std::nullopt);
        const WorkbookCells after = ReadWorkbookCells(salvaged.workbook);
        ASSERT_EQ(after.sheets.size(), cells.sheets.size());
        std::size_t expected = 0, back = 0;
        for (std::size_t s = 0; s < cells.sheets.size(); ++s) {
            for (const CellValue& before : cells.sheets[s].cells) {
                if (before.kind != CellKind::Text || LoadLe16(stream.data() + before.offset) != 0x00FD)
                    continue;
                const std::size_t string = LoadLe32(stream.data() + before.offset + 4 + 6);
                const CellValue* found = CellAt(after.sheets[s].cells, before.row, before.column);
                const std::string text = found ? found->text : std::string();
                if (!text.empty()) {
                    EXPECT_EQ(text, before.text) << "made up: sheet " << s << " row " << before.row;
                }
                if (string >= firstKept) {
                    ++expected;
                    back += text == before.text ? 1u : 0u;
                }
            }
        }
        EXPECT_GT(expected, 1000u);
        EXPECT_EQ(back, expected) << (directory ? "with the directory" : "without the directory");
    }
}

// The stream's first sectors and the directory wiped, part of the list of sheets with them:
// the entries that survive count from a start that is gone, and the sheets whose entries went
// come first. Every sheet comes back in its place, with its cells, under its own name where
// its entry survived.
TEST(Salvage, TheListOfSheetsCountsFromAStartThatIsGone)
{
    const Bytes file = test::TestWorkbook("lotest__300-worksheets.xls");
    const WorkbookCells cells = ReadWorkbookCells(WorkbookStream(file));
    Bytes damaged = Wiped(file, 0, 2560);  // the list begins at 1981, an entry takes 14 bytes
    ZeroSector(damaged, LoadLe32(file.data() + kFirstDirectorySectorOffset));
    const Salvaged salvaged = Salvage(damaged, HeaderOf(file));
    ASSERT_TRUE(salvaged.report.written);
    EXPECT_TRUE(salvaged.report.directoryLost);
    EXPECT_EQ(FirstRecordDamage(salvaged.workbook), std::nullopt);
    const WorkbookCells after = ReadWorkbookCells(salvaged.workbook);
    ASSERT_EQ(after.sheets.size(), cells.sheets.size());
    std::size_t named = 0;
    for (std::size_t s = 0; s < cells.sheets.size(); ++s) {
        named += after.sheets[s].name == cells.sheets[s].name ? 1u : 0u;
        ASSERT_EQ(after.sheets[s].cells.size(), cells.sheets[s].cells.size()) << "sheet " << s;
        for (std::size_t c = 0; c < cells.sheets[s].cells.size(); ++c) {
            EXPECT_EQ(after.sheets[s].cells[c].text, cells.sheets[s].cells[c].text) << "sheet " << s;
            EXPECT_EQ(after.sheets[s].cells[c].number, cells.sheets[s].cells[c].number) << "sheet " << s;
        }
    }
    EXPECT_GT(named, 250u);
    EXPECT_LT(named, 300u);
}

// A hole in the middle of the shared-string table: readers read the table from its start, so
// every string after the hole would be lost. The strings of the buckets the index places
// wholly before the hole or after it come back; the table is written anew, the offsets after
// it moved, and every sheet is still where its entry says.
TEST(Salvage, AHoleInTheStringTableLosesOnlyTheStringsInIt)
{
    const Bytes file = test::TestWorkbook("poi__47847.xls");
    const Bytes stream = WorkbookStream(file);
    const WorkbookCells cells = ReadWorkbookCells(stream);
    constexpr std::size_t kFrom = 11776, kTo = 15872;  // inside the table, which spans 3586 to 28377
    std::size_t perBucket = 0;
    std::vector<std::size_t> bucketStarts;
    for (const BiffRecord& record : ListRecords(stream)) {
        if (record.type != 0x00FF)
            continue;
        const std::uint8_t* body = stream.data() + record.offset + 4;
        perBucket = LoadLe16(body);
        for (std::size_t k = 0; 2 + 8 * k + 8 <= record.length; ++k)
            bucketStarts.push_back(LoadLe32(body + 2 + 8 * k));
    }
    ASSERT_GT(perBucket, 0u);
    auto survives = [&](std::size_t string) {
        const std::size_t bucket = string / perBucket;
        const bool before = bucket + 1 < bucketStarts.size() && bucketStarts[bucket + 1] <= kFrom;
        return before || bucketStarts[bucket] >= kTo;
    };

    const Salvaged salvaged = Salvage(Wiped(file, kFrom, kTo), HeaderOf(file));
    ASSERT_TRUE(salvaged.report.written);
    EXPECT_EQ(salvaged.report.sheetsFound, salvaged.report.sheets);
    EXPECT_EQ(FirstRecordDamage(salvaged.workbook), std::nullopt);
    const WorkbookCells after = ReadWorkbookCells(salvaged.workbook);
    ASSERT_EQ(after.sheets.size(), cells.sheets.size());
    std::size_t expected = 0, back = 0;
    for (std::size_t s = 0; s < cells.sheets.size(); ++s) {
        EXPECT_EQ(after.sheets[s].name, cells.sheets[s].name);
        for (const CellValue& before : cells.sheets[s].cells) {
            const CellValue* found = CellAt(after.sheets[s].cells, before.row, before.column);
            if (before.kind != CellKind::Text) {
                EXPECT_TRUE(found && found->number == before.number) << "sheet " << s << " row " << before.row;
                continue;
            }
            const std::string text = found ? found->text : std::string();
            if (!text.empty()) {
                EXPECT_EQ(text, before.text) << "made up: sheet " << s << " row " << before.row;
            }
            if (survives(LoadLe32(stream.data() + before.offset + 4 + 6))) {
                ++expected;
                back += text == before.text ? 1u : 0u;
            }
        }
    }
    EXPECT_GT(expected, 5000u);
    EXPECT_EQ(back, expected);
}

// A hole over the end of the globals (the list of sheets, the shared strings) and the first
// record of the only sheet: the sheet's own records follow the hole, so its first record
// comes back at the hole's end, with an entry in the list, and its numbers come back.
TEST(Salvage, ASheetWhoseStartWentWithTheGlobalsEndComesBack)
{
    const Bytes file = test::TestWorkbook("readxl__mtcars.xls");
    const WorkbookCells cells = ReadWorkbookCells(WorkbookStream(file));
    ASSERT_EQ(cells.sheets.size(), 1u);
    // The entry at 1117 to past the sheet's BOF at 1266.
    const Salvaged salvaged = Salvage(Wiped(file, 1100, 1290), HeaderOf(file));
    ASSERT_TRUE(salvaged.report.written);
    EXPECT_TRUE(salvaged.report.check.Opens());
    EXPECT_EQ(FirstRecordDamage(salvaged.workbook), std::nullopt);
    const WorkbookCells after = ReadWorkbookCells(salvaged.workbook);
    ASSERT_EQ(after.sheets.size(), 1u);
    EXPECT_EQ(after.sheets[0].name, "Sheet1");
    std::size_t numbers = 0;
    for (const CellValue& before : cells.sheets[0].cells) {
        if (before.kind != CellKind::Number)
            continue;
        ++numbers;
        EXPECT_TRUE(HoldsNumber(after.sheets[0].cells, before)) << "row " << before.row << " column " << before.column;
    }
    EXPECT_GT(numbers, 50u);
}

// A flipped bit in a count that its record's length contradicts: a string's length in the
// shared-string table (the table's index says where the next bucket begins) or a sheet name's
// length in the list of sheets. The records all still read, so only the counts tell; the
// workbook is salvaged and comes back byte for byte.
TEST(Salvage, ACountItsLengthContradictsIsMended)
{
    const Bytes file = test::TestWorkbook("poi__47847.xls");
    const Bytes stream = WorkbookStream(file);
    std::size_t string = 0, name = 0;
    for (const BiffRecord& record : ListRecords(stream)) {
        if (record.type == 0x00FF)
            string = LoadLe32(stream.data() + record.offset + 4 + 2 + 8 * 3);  // bucket 3's first string
        if (record.type == 0x0085 && name == 0)
            name = record.offset + 4 + 6;
    }
    ASSERT_NE(string, 0u);
    ASSERT_NE(name, 0u);
    const std::vector<std::size_t> places = StreamPlaces(file);
    const struct {
        const char* what;
        std::size_t at;
        std::uint8_t bit;
    } flips[] = {{"a string's length", string, 0x04}, {"a string's flags", string + 2, 0x08}, {"a sheet name's length", name, 0x01}};
    for (const auto& flip : flips) {
        Bytes damaged = file;
        damaged[places[flip.at]] ^= flip.bit;
        EXPECT_EQ(FirstRecordDamage(WorkbookStream(damaged)), flip.at) << flip.what;
        MemorySectorFile in(damaged);
        const RepairReport planned = RepairHeader(in, RebuildMode::Auto);
        ASSERT_TRUE(NeedsSalvage(planned)) << flip.what;
        const Salvaged salvaged = Salvage(damaged, HeaderOf(file));
        ExpectWholeWorkbook(salvaged, stream, flip.what);
        ASSERT_EQ(salvaged.report.regions.size(), 1u) << flip.what;
        EXPECT_EQ(salvaged.report.regions[0].offset, flip.at) << flip.what;
    }
}

// A flipped bit that makes a record's length longer: the record still reads, swallowing the
// records after it, and the walk breaks only where it lands. The length gets its bit back
// and the workbook comes back byte for byte.
TEST(Salvage, ALengthGrownByAFlippedBitIsMended)
{
    const Bytes file = test::TestWorkbook("sheetjs__number_format_russian.xls");
    const Bytes stream = WorkbookStream(file);
    // A formula of 27 bytes whose length, 8 KiB longer, leads into the middle of a record.
    constexpr std::size_t kFormula = 27541;
    ASSERT_EQ(LoadLe16(stream.data() + kFormula), 0x0006);
    ASSERT_EQ(LoadLe16(stream.data() + kFormula + 2), 27);
    const std::size_t length = kFormula + 3;  // the high byte of its length
    ASSERT_LT(stream[length], 0x20);
    Bytes damaged = file;
    damaged[StreamPlaces(file)[length]] ^= 0x20;
    const Salvaged salvaged = Salvage(damaged, HeaderOf(file));
    ExpectWholeWorkbook(salvaged, stream, "a length 8 KiB longer");
    ASSERT_EQ(salvaged.report.regions.size(), 1u);
    EXPECT_EQ(salvaged.report.regions[0].offset, length - 1);
}

// Files that readers which load whole sectors and the whole table refuse, though every
// stream reads: one that ends inside its last sector (the table's), one whose table has an
// entry for no sector that is neither a sector nor a marker, one whose sheet's BOF has a
// substream type no writer uses. The repair salvages each into a whole file, with every cell.
TEST(Salvage, WhatWholeSectorReadersRefuseIsWrittenWhole)
{
    const Bytes file = test::TestWorkbook("readxl__mtcars.xls");
    const WorkbookCells cells = ReadWorkbookCells(WorkbookStream(file));
    const std::uint32_t table = LoadLe32(file.data() + kHeaderDifatOffset);
    const std::size_t sheet = cells.sheets.at(0).offset;
    const struct {
        const char* what;
        std::function<void(Bytes&)> damage;
    } cases[] = {
        {"cut inside the table's sector", [&](Bytes& f) { f.resize(f.size() - 100); }},
        {"an entry out of range", [&](Bytes& f) { StoreLe32(f.data() + kHeaderSize + table * kSectorSize + 4 * 100, 0xFFFF'FFEFu); }},
        {"a sheet's substream type", [&](Bytes& f) { f[StreamPlaces(file)[sheet + 4 + 3]] ^= 0x20; }},
    };
    for (const auto& c : cases) {
        Bytes damaged = file;
        c.damage(damaged);
        MemorySectorFile in(damaged);
        const RepairReport planned = RepairHeader(in, RebuildMode::Auto);
        ASSERT_TRUE(NeedsSalvage(planned)) << c.what;
        MemorySectorFile out;
        const RepairReport report = SalvageRepair(in, planned, out);
        ASSERT_EQ(report.used, RebuildUsed::Salvaged) << c.what;
        EXPECT_EQ(out.Bytes().size() % kSectorSize, 0u) << c.what;
        MemorySectorFile written(out.Bytes());
        EXPECT_TRUE(VerifyWorkbook(written).findings.empty()) << c.what;
        const WorkbookCells after = ReadWorkbookCells(WorkbookStream(out.Bytes()));
        ASSERT_EQ(after.sheets.size(), 1u) << c.what;
        EXPECT_EQ(after.sheets[0].cells.size(), cells.sheets[0].cells.size()) << c.what;
    }
}

TEST(Salvage, CraftedFilesEndInBoundedTimeAndNeverClaimSuccess)
{
    // Every sector zeroed; every sector a run of records that continue anywhere; a table
    // whose links all loop.
    const Bytes file = test::TestWorkbook("xlrd__issue20.xls");
    const HeaderBytes header = HeaderOf(file);
    Bytes zeroed = file;
    std::fill(zeroed.begin() + kHeaderSize, zeroed.end(), std::uint8_t{0});
    EXPECT_FALSE(Salvage(zeroed, header).report.written);

    Bytes records = file;
    for (std::size_t offset = kHeaderSize; offset + 128 <= records.size(); offset += 128) {
        StoreLe16(records.data() + offset, 0x0203);  // NUMBER, stretched to 124 bytes
        StoreLe16(records.data() + offset + 2, 124);
    }
    StoreLe16(records.data() + kHeaderSize + 4 * kSectorSize, 0x0809);
    const Salvaged anywhere = Salvage(records, header);
    if (anywhere.report.written) {
        EXPECT_TRUE(anywhere.report.check.Opens());
    }

    // 4 MiB of cell records one after another, a sheet's BOF near the end, no header, table or
    // directory: the sheet's globals are looked for in the sectors before it, as far back as
    // the records run on, which here is everywhere.
    Bytes cells(kHeaderSize + 8192 * kSectorSize, 0);
    const std::size_t bof = kHeaderSize + (cells.size() - 3 * kSectorSize) / 14 * 14;
    for (std::size_t at = kHeaderSize, row = 0; at + 20 <= cells.size(); ++row) {
        StoreLe16(cells.data() + at, at == bof ? 0x0809 : 0x027E);  // a worksheet's BOF, else RK
        StoreLe16(cells.data() + at + 2, at == bof ? 16 : 10);
        StoreLe16(cells.data() + at + 4, at == bof ? 0x0600 : static_cast<std::uint16_t>(row));
        StoreLe16(cells.data() + at + 6, at == bof ? 0x0010 : 1);
        at += at == bof ? 20 : 14;
    }
    const Salvaged crafted = Salvage(cells, HeaderBytes{});
    if (crafted.report.written) {
        EXPECT_TRUE(crafted.report.check.Opens());
    }

    Bytes looping = file;
    const std::uint32_t table = LoadLe32(header.data() + kHeaderDifatOffset);
    for (std::uint32_t j = 0; j < kEntriesPerFatSector; ++j)
        StoreLe32(looping.data() + kHeaderSize + std::size_t{table} * kSectorSize + 4 * j, (j + 1) % 7);
    const Salvaged loops = Salvage(looping, header);
    if (loops.report.written) {
        EXPECT_TRUE(loops.report.check.Opens());
    }
}

}  // namespace
}  // namespace tabulon
