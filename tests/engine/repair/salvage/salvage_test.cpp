// Salvage on real workbooks damaged beyond their header, and on layouts built to mislead it.
// The expectation is always the intact workbook's own stream, read by the plain reader.
#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <map>
#include <numeric>
#include <random>
#include <set>

#include "engine/biff/biff_cells.h"
#include "engine/base/byte_order.h"
#include "engine/base/text.h"
#include "engine/cfb/compound_reader.h"
#include "engine/cfb/compound_writer.h"
#include "engine/io/os_file.h"
#include "engine/repair/mending/mending.h"
#include "engine/repair/pipeline/repair.h"
#include "engine/repair/salvage/salvage.h"
#include "engine/repair/salvage/salvage_finder.h"
#include "engine/repair/workbook/workbook.h"
#include "tests/support/biff_builder.h"
#include "tests/support/cell_lines.h"
#include "tests/support/compound_builder.h"
#include "tests/support/scratch.h"
#include "tests/support/workbooks.h"

namespace tabulon {
namespace {

using test::Bytes;
using test::operator+;
using test::operator+=;

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

// The allocation table the header lists (in the header's own DIFAT entries).
std::vector<std::uint32_t> AllocationTable(const Bytes& file)
{
    std::vector<std::uint32_t> table;
    for (std::uint32_t i = 0; i < LoadLe32(file.data() + kNumFatSectorsOffset); ++i) {
        const std::uint8_t* sector = file.data() + kHeaderSize + LoadLe32(file.data() + kHeaderDifatOffset + 4 * i) * kSectorSize;
        for (std::size_t j = 0; j < kEntriesPerFatSector; ++j)
            table.push_back(LoadLe32(sector + 4 * j));
    }
    return table;
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
        if (type == biff::kEof && offset <= stream.size())
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

// A compound file holding `entries`.
Bytes Written(const std::vector<CompoundEntry>& entries)
{
    MemorySectorFile written;
    WriteCompoundFile(written, {}, entries);
    return written.Bytes();
}

// The same, its first directory sector wiped.
Bytes WrittenWithoutDirectory(const std::vector<CompoundEntry>& entries)
{
    Bytes file = Written(entries);
    ZeroSector(file, LoadLe32(file.data() + kFirstDirectorySectorOffset));
    return file;
}

// What holds for every file the salvage writes: it was written, it opens, and its workbook
// stream reads as records throughout.
testing::AssertionResult Sound(const Salvaged& salvaged)
{
    if (!salvaged.report.written)
        return testing::AssertionFailure() << "nothing written";
    if (!salvaged.report.check.Opens())
        return testing::AssertionFailure() << "the new file does not open";
    if (const std::optional<std::uint64_t> damage = FirstRecordDamage(salvaged.workbook))
        return testing::AssertionFailure() << "the new stream's records break at " << *damage;
    return testing::AssertionSuccess();
}

// A sound salvage of a workbook with as many sheets as `before`, compared with it sheet by
// sheet by `each`.
void CompareSheets(const Salvaged& salvaged, const WorkbookCells& before, const std::string& what,
                   const std::function<void(const SheetCells& before, const SheetCells& after)>& each)
{
    ASSERT_TRUE(Sound(salvaged)) << what;
    const WorkbookCells after = ReadWorkbookCells(salvaged.workbook);
    ASSERT_EQ(after.sheets.size(), before.sheets.size()) << what;
    for (std::size_t s = 0; s < before.sheets.size(); ++s) {
        SCOPED_TRACE(what + ", sheet " + std::to_string(s));
        each(before.sheets[s], after.sheets[s]);
    }
}

// `original` with the formulas the salvage turned into their values (where what they name was
// lost) as the salvaged stream holds them: what the salvaged stream is to equal.
Bytes WithFormulasAsValues(Bytes original, const Salvaged& salvaged)
{
    for (const auto& [offset, length] : salvaged.report.formulasAsValues.places) {
        if (offset + length <= original.size() && offset + length <= salvaged.workbook.size())
            std::copy_n(salvaged.workbook.begin() + static_cast<std::ptrdiff_t>(offset), length,
                        original.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    return original;
}

// Every record of the original comes back, byte for byte (a formula whose needs went as its
// value), and the new file is sound.
void ExpectWholeWorkbook(const Salvaged& salvaged, const Bytes& intact, const std::string& what)
{
    ASSERT_TRUE(Sound(salvaged)) << what;
    const Bytes original = WithFormulasAsValues(intact, salvaged);
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
    ASSERT_TRUE(Sound(salvaged)) << what;
    const auto mended = [&](std::size_t at) {
        const auto& asValues = salvaged.report.formulasAsValues.places;
        return std::any_of(salvaged.report.regions.begin(), salvaged.report.regions.end(),
                           [at](const MendedRegion& r) { return r.offset <= at && at < r.offset + r.length; }) ||
               std::any_of(asValues.begin(), asValues.end(), [at](const auto& place) { return place.first <= at && at < place.first + place.second; });
    };
    for (std::size_t at = 0; at < salvaged.workbook.size(); ++at) {
        const bool same = at < original.size() && salvaged.workbook[at] == original[at];
        if (!same && !mended(at)) {
            ADD_FAILURE() << what << ": byte " << at << " changed outside what the salvage says it mended";
            break;
        }
    }
}

// Real workbooks: a lost table or directory sector costs no byte of the workbook; a cut file
// keeps what survives the cut, every sheet in its place (those past the cut empty).
TEST(Salvage, RealWorkbooksLoseOnlyWhatTheDamageTook)
{
    for (const char* name : kWorkbooks) {
        const Bytes file = test::TestWorkbook(name);
        const HeaderBytes header = HeaderOf(file);
        const Bytes original = WorkbookStream(file);
        ASSERT_FALSE(original.empty()) << name;
        const std::uint32_t tableSectors = LoadLe32(header.data() + kNumFatSectorsOffset);
        const std::pair<std::string, std::uint32_t> lost[] = {
            {"first table sector", LoadLe32(header.data() + kHeaderDifatOffset)},
            {"last table sector", LoadLe32(header.data() + kHeaderDifatOffset + 4 * (std::min(tableSectors, 109u) - 1))},
            {"first directory sector", LoadLe32(header.data() + kFirstDirectorySectorOffset)},
        };
        for (const auto& [what, sector] : lost) {
            Bytes damaged = file;
            ZeroSector(damaged, sector);
            ExpectWholeWorkbook(Salvage(damaged, header), original, std::string(name) + ", " + what);
        }
        for (const double share : {0.75, 0.9}) {
            const Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(static_cast<double>(file.size()) * share));
            const Salvaged salvaged = Salvage(cut, header);
            ASSERT_FALSE(salvaged.workbook.empty()) << name;
            ExpectOnlyMendedBytesDiffer(salvaged, original, name);
            EXPECT_EQ(salvaged.report.sheetsFound, salvaged.report.sheets) << name << ", cut";
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
    const HeaderBytes header = HeaderOf(file);
    const std::uint32_t tableSectors = LoadLe32(header.data() + kNumFatSectorsOffset);
    const std::vector<std::uint32_t> table = AllocationTable(file);
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
    const Bytes contiguous = Written({{.name = u"Workbook", .data = workbook},
                                      {.name = u"Pictures", .data = Bytes(data.begin(), data.begin() + 20 * kSectorSize)},
                                      {.name = u"Data", .data = Bytes(data.begin(), data.begin() + 12 * kSectorSize)}});
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

// Compound files built to mislead: an embedded workbook (shorter) written before the real
// one, the directory lost; a workbook small enough for the mini stream, the directory lost;
// two entries named alike under the root (a flipped bit made "Vorkbook" a "Workbook"), the
// table lost, which the new file cannot hold both of. The workbook comes back whole.
TEST(Salvage, LayoutsBuiltToMisleadGiveBackTheWholeWorkbook)
{
    const Bytes shorter = WorkbookStream(test::TestWorkbook("readxl__mtcars.xls"));
    const Bytes longer = WorkbookStream(test::TestWorkbook("phpss__biff8cover.xls"));
    ASSERT_LT(RecordsEnd(shorter), RecordsEnd(longer));
    const Bytes small(shorter.begin(), shorter.begin() + static_cast<std::ptrdiff_t>(RecordsEnd(shorter)));
    ASSERT_LT(small.size(), kMiniStreamCutoff);
    Bytes twins = Written({{.name = u"Workbook", .data = longer}, {.name = u"Vorkbook", .data = Bytes(600, 0x22)}});
    const std::size_t directory = kHeaderSize + LoadLe32(twins.data() + kFirstDirectorySectorOffset) * kSectorSize;
    for (std::size_t entry = directory; entry < directory + kSectorSize; entry += kDirectoryEntrySize) {
        if (twins[entry] == 'V')
            twins[entry] = 'W';
    }
    ZeroSector(twins, LoadLe32(twins.data() + kHeaderDifatOffset));
    // A BIFF5 workbook whose first records give their version as 0x0580, as some writers do
    // (readers go by the version's high byte).
    Bytes odd = test::Workbook(5, {}, {{"Sheet", test::Record(biff::kNumber, test::Cell(0, 0) + test::Double(2.5))}});
    for (std::size_t at = 0; at + 8 <= odd.size(); at += 4u + LoadLe16(odd.data() + at + 2)) {
        if (LoadLe16(odd.data() + at) == biff::kBof)
            StoreLe16(odd.data() + at + 4, 0x0580);
    }
    const struct {
        const char* what;
        Bytes file;
        const Bytes& workbook;
        bool directoryLost, inMiniStream;
        std::optional<std::size_t> kept;  // streams, where the new file cannot hold them all
    } cases[] = {
        {"two workbooks, the longer stands", WrittenWithoutDirectory({{.name = u"Embedded", .type = kObjectTypeStorage, .data = {}},
                                                                      {.name = u"Workbook", .parent = 0, .data = shorter},
                                                                      {.name = u"Workbook", .data = longer}}),
         longer, true, false, 1},
        {"in the mini stream", WrittenWithoutDirectory({{.name = u"\x05SummaryInformation", .data = Bytes(300, 0x11)},
                                                        {.name = u"Workbook", .data = small}}),
         small, true, true, std::nullopt},
        {"two workbooks of one name", twins, longer, false, false, 1},
        {"in the mini stream, its version 0x0580", WrittenWithoutDirectory({{.name = u"\x05SummaryInformation", .data = Bytes(300, 0x11)},
                                                                              {.name = u"Book", .data = odd}}),
         odd, true, true, std::nullopt},
    };
    for (const auto& c : cases) {
        const Salvaged salvaged = Salvage(c.file, HeaderOf(c.file));
        ExpectWholeWorkbook(salvaged, c.workbook, c.what);
        EXPECT_EQ(salvaged.report.directoryLost, c.directoryLost) << c.what;
        EXPECT_EQ(salvaged.report.workbookInMiniStream, c.inMiniStream) << c.what;
        if (c.kept) {
            EXPECT_EQ(salvaged.report.kept.size(), *c.kept) << c.what;
        }
    }
}

// Where each byte of the workbook stream lies in the file (a stream in the file's own sectors).
std::vector<std::size_t> StreamPlaces(const Bytes& file)
{
    const std::vector<std::uint32_t> table = AllocationTable(file);
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

// Every number of `before` is in `after`, at its place, but those of the formulas at
// `leftOut`; returns how many there are.
std::size_t ExpectNumbersHeld(const SheetCells& before, const SheetCells& after, const std::vector<std::uint64_t>& leftOut = {})
{
    std::size_t numbers = 0;
    for (const CellValue& cell : before.cells) {
        if (cell.kind == CellKind::Number && std::find(leftOut.begin(), leftOut.end(), cell.offset) == leftOut.end()) {
            ++numbers;
            EXPECT_TRUE(HoldsNumber(after.cells, cell)) << "row " << cell.row << " column " << cell.column;
        }
    }
    return numbers;
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
        if (record.type == biff::kBoundSheet)
            boundSheets.push_back(record.offset);
    }
    const std::uint32_t boundSheet = boundSheets.at(1);
    const SheetCells& sheet = cells.sheets[2];
    ASSERT_GE(sheet.cells.size(), 2u);
    const std::uint32_t middle = sheet.cells[sheet.cells.size() / 2].offset;
    const struct {
        const char* what;
        std::size_t from, to;
    } holes[] = {
        {"among a sheet's cells", middle - 3, middle + recordAt(middle).length + 9},
        {"across a sheet's start", cells.sheets[3].offset - 6, cells.sheets[3].offset + 30},
        {"over an entry of the list of sheets", boundSheet - 2u, boundSheet + recordAt(boundSheet).length + 6u},
    };
    for (const auto& hole : holes) {
        const Bytes damaged = Wiped(file, hole.from, hole.to);
        const Salvaged salvaged = Salvage(damaged, HeaderOf(file));
        ExpectOnlyMendedBytesDiffer(salvaged, WorkbookStream(damaged), hole.what);
        // (Its formulas that call a macro function go with any loss: the report says which.)
        const auto& leftOut = salvaged.report.formulasAsValues.leftOutAt;
        EXPECT_EQ(leftOut.size(), salvaged.report.formulasAsValues.leftOut) << hole.what;
        CompareSheets(salvaged, cells, hole.what, [&](const SheetCells& before, const SheetCells& after) {
            for (const CellValue& cell : before.cells) {
                const BiffRecord record = recordAt(cell.offset);
                if (record.offset + 4u + record.length > hole.from && record.offset < hole.to)
                    continue;  // in the hole
                // (A formula's text result is read from the STRING record after it.)
                const auto own = std::find_if(records.rbegin(), records.rend(), [&](const BiffRecord& r) {
                    return r.offset <= record.offset && r.type == biff::kFormula;
                });
                if (own != records.rend() && std::find(leftOut.begin(), leftOut.end(), own->offset) != leftOut.end() &&
                    (record.type == biff::kFormula || record.type == biff::kString))
                    continue;
                const bool found = std::any_of(after.cells.begin(), after.cells.end(), [&](const CellValue& c) {
                    return c.row == cell.row && c.column == cell.column && c.kind == cell.kind && c.text == cell.text &&
                           (c.number == cell.number || c.kind != CellKind::Number);
                });
                EXPECT_TRUE(found) << "row " << cell.row << " column " << cell.column;
            }
        });
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
        std::size_t sheet = 0;
        // (The formulas that call the macros' functions, and those that work with their
        // results, go with the globals: the report lists them.)
        const Salvaged salvaged = Salvage(summary ? wiped : noSummary, HeaderOf(file));
        CompareSheets(salvaged, cells, summary ? "summary" : "no summary", [&](const SheetCells& before, const SheetCells& after) {
            ++sheet;
            EXPECT_EQ(after.name, summary ? before.name : "Sheet" + std::to_string(sheet));
            ExpectNumbersHeld(before, after, salvaged.report.formulasAsValues.leftOutAt);
        });
    }
}

// The layout most writers give a small workbook: the allocation table in the first sector, the
// directory in the second, then the workbook stream from the third, one sector after the
// other, and `spare` sectors no chain holds after it.
test::LargeLayout TableDirectoryThenStream(const Bytes& stream, std::uint32_t spare = 0)
{
    test::LargeLayout layout;
    layout.fatSectors = {0};
    layout.directory = 1;
    for (std::uint32_t s = 2; layout.streamChain.size() < (stream.size() + kSectorSize - 1) / kSectorSize; ++s)
        layout.streamChain.push_back(s);
    layout.total = layout.streamChain.back() + 1 + spare;
    return layout;
}

// The whole repair of `damaged`, which needs the salvage: the file it writes, or none.
std::optional<Bytes> RepairedBySalvage(const Bytes& damaged)
{
    MemorySectorFile in(damaged);
    const RepairReport planned = RepairHeader(in, RebuildMode::Auto);
    if (!NeedsSalvage(planned))
        return std::nullopt;
    MemorySectorFile out;
    if (SalvageRepair(in, planned, out).used != RebuildUsed::Salvaged)
        return std::nullopt;
    return out.Bytes();
}

// The cells the whole repair gives back of `file` with its first 4 KiB wiped (header, first
// sectors and all), or nothing when it salvages nothing.
std::optional<WorkbookCells> SalvagedWithoutFirst4KiB(const Bytes& file)
{
    Bytes damaged = file;
    std::fill_n(damaged.begin(), std::min<std::size_t>(4096, damaged.size()), std::uint8_t{0});
    const std::optional<Bytes> repaired = RepairedBySalvage(damaged);
    if (!repaired)
        return std::nullopt;
    return ReadWorkbookCells(WorkbookStream(*repaired));
}

// The first 4 KiB of the file wiped: header, the workbook's globals and whatever else lay
// there. Through the whole repair, the sheets that survive come back, with numbers the
// original holds at the same places, and nothing made up.
TEST(Salvage, TheFileStartWipedLeavesTheSheetsThatSurvive)
{
    const Bytes file = test::TestWorkbook("sheetjs__number_format_russian.xls");
    const WorkbookCells cells = ReadWorkbookCells(WorkbookStream(file));
    const std::optional<WorkbookCells> salvaged = SalvagedWithoutFirst4KiB(file);
    ASSERT_TRUE(salvaged) << "the repair salvages it";
    std::size_t numbers = 0;
    for (const SheetCells& sheet : salvaged->sheets) {
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

// A sheet found without its directory after the file's first 4 KiB went: every joint of its
// chain is told by whether the cells run on in the order of rows, from the last cell before it.
// All 305 cells come back, each where the original has it.
TEST(Salvage, JointsAreToldByTheRowOfTheLastCellBeforeThem)
{
    const Bytes file = test::TestWorkbook("edr__Test_git_issue_411.xls");
    const WorkbookCells cells = ReadWorkbookCells(WorkbookStream(file));
    ASSERT_EQ(cells.sheets.size(), 1u);
    ASSERT_EQ(cells.sheets[0].cells.size(), 305u);
    const std::optional<WorkbookCells> salvaged = SalvagedWithoutFirst4KiB(file);
    ASSERT_TRUE(salvaged) << "the repair salvages it";
    ASSERT_EQ(salvaged->sheets.size(), 1u);
    EXPECT_EQ(test::CellLines(salvaged->sheets[0].cells), test::CellLines(cells.sheets[0].cells));
}

// The header, the table and a block inside a sheet of like records wiped, every link lost: the stream runs on through the wiped block, not into a unit further on
// where the records happen to fit the joint (in a sheet of like records they fit at many).
TEST(Salvage, AStreamRunsOnThroughAWipedBlock)
{
    using test::operator+;
    Bytes cells;
    constexpr unsigned kRows = 3000;
    for (unsigned row = 0; row < kRows; ++row)
        cells += test::Record(biff::kRk, test::Cell(row, 0) + test::Le32((row << 2) | 2));  // RK: whole numbers
    const Bytes stream = test::Workbook(8, {}, {{"Like", cells}});
    const Bytes file = test::LargeWorkbookFile(stream);  // the table first, then the stream
    const WorkbookCells before = ReadWorkbookCells(WorkbookStream(file));
    ASSERT_EQ(before.sheets.at(0).cells.size(), kRows);
    for (const std::size_t block : {std::size_t{16384}, std::size_t{28672}, std::size_t{36864}}) {
        Bytes damaged = file;
        for (std::uint32_t i = 0; i < LoadLe32(file.data() + kNumFatSectorsOffset); ++i)
            ZeroSector(damaged, LoadLe32(file.data() + kHeaderDifatOffset + 4 * i));
        std::fill_n(damaged.begin(), kHeaderSize, std::uint8_t{0});
        std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(block), 4096, std::uint8_t{0});
        const std::optional<Bytes> repaired = RepairedBySalvage(damaged);
        ASSERT_TRUE(repaired) << block;
        const WorkbookCells after = ReadWorkbookCells(WorkbookStream(*repaired));
        ASSERT_EQ(after.sheets.size(), 1u) << block;
        for (const CellValue& cell : after.sheets[0].cells)
            ASSERT_TRUE(HoldsNumber(before.sheets[0].cells, cell)) << block << ": row " << cell.row;
        // The block held about 293 cells; one more at each side may go.
        EXPECT_GE(after.sheets[0].cells.size(), kRows - 296) << block;
    }
}

// A large workbook of one sheet of numbers (its table first, then the stream), and the check
// that a result holds every one of them at its place and no other cell.
Bytes NumbersWorkbookFile(unsigned rows, unsigned columns)
{
    using test::operator+;
    Bytes cells;
    for (unsigned row = 0; row < rows; ++row) {
        for (unsigned column = 0; column < columns; ++column) {
            const Bytes number = test::Record(biff::kNumber, test::Cell(row, column) + test::Double(row * 4.0 + column + 0.5));
            cells.insert(cells.end(), number.begin(), number.end());
        }
    }
    return test::LargeWorkbookFile(test::Workbook(8, {}, {{"Numbers", cells}}));
}

void ExpectEveryNumber(const WorkbookCells& before, std::span<const std::uint8_t> salvaged)
{
    const WorkbookCells after = ReadWorkbookCells(salvaged);
    ASSERT_EQ(after.sheets.size(), 1u);
    EXPECT_EQ(after.sheets[0].cells.size(), before.sheets.at(0).cells.size());
    for (const CellValue& cell : after.sheets[0].cells)
        ASSERT_TRUE(HoldsNumber(before.sheets[0].cells, cell)) << "row " << cell.row << ", column " << cell.column;
}

// The header wiped and a table sector from the middle of the table zeroed: nothing lists the
// table's other sectors any more, but the chains they hold say which place in the table each
// has. The lost one's place stays open, its links come from the records, and every cell of the
// sheet comes back, whichever of the middle sectors went.
TEST(Salvage, TheHeaderAndATableSectorGoneLeaveTheOtherTableSectorsInTheirPlaces)
{
    const Bytes file = NumbersWorkbookFile(6000, 4);
    const std::uint32_t tableSectors = LoadLe32(file.data() + kNumFatSectorsOffset);
    ASSERT_GE(tableSectors, 6u) << "a table of several sectors, every one in use";
    const WorkbookCells before = ReadWorkbookCells(WorkbookStream(file));
    ASSERT_EQ(before.sheets.at(0).cells.size(), 24'000u);
    for (const std::uint32_t place : {2u, tableSectors - 3}) {
        SCOPED_TRACE("table sector " + std::to_string(place));
        Bytes damaged = file;
        ZeroSector(damaged, LoadLe32(file.data() + kHeaderDifatOffset + 4 * place));
        std::fill_n(damaged.begin(), kHeaderSize, std::uint8_t{0});
        const std::optional<Bytes> repaired = RepairedBySalvage(damaged);
        ASSERT_TRUE(repaired);
        ExpectEveryNumber(before, WorkbookStream(*repaired));
    }
}

// A header that lists the first table sector at every place of the table (as a rebuild from a
// wiped header may), over a file whose directory went too: that sector is read at the first
// place alone, for at the others its entries would send the chain back into the first
// sectors. The links past it are inferred, and every cell comes back.
TEST(Salvage, AHeaderThatListsOneTableSectorEverywhereLeadsNoChainAstray)
{
    const Bytes file = NumbersWorkbookFile(6000, 4);
    ASSERT_GE(LoadLe32(file.data() + kNumFatSectorsOffset), 6u);
    const WorkbookCells before = ReadWorkbookCells(WorkbookStream(file));
    ASSERT_EQ(before.sheets.at(0).cells.size(), 24'000u);

    Bytes damaged = file;
    std::fill_n(damaged.begin(), kHeaderSize, std::uint8_t{0});
    ZeroSector(damaged, LoadLe32(file.data() + kFirstDirectorySectorOffset));
    HeaderBytes madeUp = HeaderOf(file);
    StoreLe32(madeUp.data() + kNumFatSectorsOffset, kHeaderDifatEntries);
    for (std::size_t k = 0; k < kHeaderDifatEntries; ++k)
        StoreLe32(madeUp.data() + kHeaderDifatOffset + 4 * k, LoadLe32(file.data() + kHeaderDifatOffset));
    const Salvaged salvaged = Salvage(damaged, madeUp);
    ASSERT_TRUE(salvaged.report.written);
    EXPECT_TRUE(salvaged.report.directoryLost);
    ExpectEveryNumber(before, salvaged.workbook);
}

// The workbook stream's first sector zeroed under an intact header and table: the globals and
// the sheet's first records with it. The structure opens, but its stream begins with nothing
// that holds the sheet: the sheet is found by its own records, as without a header. Its texts
// are written as one writer does (two bytes after the characters; an empty one without its
// flags byte, as a BIFF5 text would be), and read as what they are.
// Cells whose records chart records follow (a chart's series values, left over where the
// chart's start went) are no sheet's and show nowhere.
TEST(Salvage, ASheetWhoseStartWentUnderAWholeStructureIsFoundByItsRecords)
{
    using test::operator+;
    const auto text = [](unsigned row, const std::string& value) {
        return test::Record(biff::kLabel, test::Cell(row, 1) + test::Le16(static_cast<unsigned>(value.size())) + Bytes{1} + test::Utf16(value) +
                                              Bytes{0, 0});
    };
    Bytes cells;
    for (unsigned row = 0; row < 300; ++row) {
        cells += test::Record(biff::kNumber, test::Cell(row, 0) + test::Double(row + 0.5)) + text(row, "row " + std::to_string(row)) +
                 test::Record(biff::kLabel, test::Cell(row, 2) + test::Le16(0));
    }
    for (const bool chart : {false, true}) {
        SCOPED_TRACE(chart ? "a chart's series values" : "a sheet's cells");
        // A chart in the sheet: its records, then the values of its series between its index
        // records.
        const Bytes records = chart ? test::BofRecord(8, 0x0020) + test::Record(biff::kChart, Bytes(16, 0)) +
                                          test::Record(biff::kSiIndex, test::Le16(1)) + cells + test::Record(biff::kSiIndex, test::Le16(2)) +
                                          test::Record(biff::kEof, {})
                                    : cells;
        const Bytes stream = test::Workbook(8, {}, {{"Values", records}});
        Bytes file = test::WorkbookFile(stream);
        const auto at = std::search(file.begin(), file.end(), stream.begin(), stream.end());
        ASSERT_NE(at, file.end()) << "the stream lies in one piece";
        ASSERT_EQ((at - file.begin()) % std::ptrdiff_t{kSectorSize}, 0);
        std::fill_n(at, kSectorSize, std::uint8_t{0});
        const WorkbookCells before = ReadWorkbookCells(stream);
        MemorySectorFile in(file);
        const RepairReport planned = PlanRepair(in, RebuildMode::Auto);
        ASSERT_TRUE(NeedsSalvage(planned));
        MemorySectorFile out;
        const RepairReport salvaged = SalvageRepair(in, planned, out);
        if (chart) {
            if (salvaged.used == RebuildUsed::Salvaged) {
                for (const SheetCells& sheet : ReadWorkbookCells(WorkbookStream(out.Bytes())).sheets)
                    EXPECT_TRUE(sheet.cells.empty());
            }
            continue;
        }
        ASSERT_EQ(salvaged.used, RebuildUsed::Salvaged);
        const WorkbookCells after = ReadWorkbookCells(WorkbookStream(out.Bytes()));
        ASSERT_EQ(after.sheets.size(), 1u);
        EXPECT_GT(after.sheets[0].cells.size(), 500u);
        for (const CellValue& cell : after.sheets[0].cells) {
            const CellValue* original = CellAt(before.sheets.at(0).cells, cell.row, cell.column);
            ASSERT_TRUE(original) << "row " << cell.row << ", column " << cell.column;
            EXPECT_EQ(cell.text, original->text) << "row " << cell.row;
            EXPECT_EQ(cell.number, original->number) << "row " << cell.row;
        }
    }
}

// The header wiped, and the table and the directory with it (a small workbook keeps them in its
// last sectors): the wiped header names sector 0 for the directory, the mini table and all,
// and sector 0 holds the workbook stream's first records. They stay the stream's, and every
// cell comes back.
TEST(Salvage, AWipedHeaderNamesNoSectorForTheDirectory)
{
    using test::operator+;
    Bytes cells;
    for (unsigned row = 0; row < 400; ++row)
        cells += test::Record(biff::kNumber, test::Cell(row, 0) + test::Double(row + 0.25));
    const Bytes stream = test::Workbook(8, {}, {{"Numbers", cells}});
    const Bytes file = test::WorkbookFile(stream);
    const auto at = std::search(file.begin(), file.end(), stream.begin(), stream.end());
    ASSERT_EQ(at - file.begin(), std::ptrdiff_t{kHeaderSize}) << "the stream in the first sectors";
    const std::uint32_t table = LoadLe32(file.data() + kHeaderDifatOffset), directory = LoadLe32(file.data() + kFirstDirectorySectorOffset);
    ASSERT_GT(std::min(table, directory), (stream.size() - 1) / kSectorSize) << "the table and directory after it";

    Bytes damaged = file;
    std::fill_n(damaged.begin(), kHeaderSize, std::uint8_t{0});
    ZeroSector(damaged, table);
    ZeroSector(damaged, directory);
    const std::optional<Bytes> repaired = RepairedBySalvage(damaged);
    ASSERT_TRUE(repaired);
    const WorkbookCells after = ReadWorkbookCells(WorkbookStream(*repaired));
    ASSERT_EQ(after.sheets.size(), 1u);
    EXPECT_EQ(test::CellLines(after.sheets[0].cells), test::CellLines(ReadWorkbookCells(stream).sheets.at(0).cells));
}

// The stream's first sectors and the directory wiped, part of the list of sheets with them:
// the entries that survive count from a start that is gone, and the sheets whose entries went
// come first. Every sheet comes back in its place, with its cells, under its own name where
// its entry survived.
TEST(Salvage, TheListOfSheetsCountsFromAStartThatIsGone)
{
    const Bytes file = test::TestWorkbook("lotest__300-worksheets.xls");
    Bytes damaged = Wiped(file, 0, 2560);  // the list begins at 1981, an entry takes 14 bytes
    ZeroSector(damaged, LoadLe32(file.data() + kFirstDirectorySectorOffset));
    const Salvaged salvaged = Salvage(damaged, HeaderOf(file));
    EXPECT_TRUE(salvaged.report.directoryLost);
    std::size_t named = 0;
    CompareSheets(salvaged, ReadWorkbookCells(WorkbookStream(file)), "list wiped",
                  [&](const SheetCells& before, const SheetCells& after) {
                      named += after.name == before.name ? 1u : 0u;
                      ASSERT_EQ(after.cells.size(), before.cells.size());
                      for (std::size_t c = 0; c < before.cells.size(); ++c) {
                          EXPECT_EQ(after.cells[c].text, before.cells[c].text);
                          EXPECT_EQ(after.cells[c].number, before.cells[c].number);
                      }
                  });
    EXPECT_GT(named, 250u);
    EXPECT_LT(named, 300u);
}

// Holes in the shared-string table, which readers read from its start, so that every string
// after a hole would be lost: one in its middle (the table is written anew, the offsets after
// it moved), and the stream's start wiped into the table's first record, with the directory
// and without it (the index then counts from a start the salvage no longer has). The strings
// of the buckets the index places wholly before the hole or after it come back, no cell shows
// a text the original does not, and every sheet is still where its entry says.
// A zeroed stretch inside one record of the string table: the records all read, and the check
// mends the stream to find out whether mending replaces anything. The salvage takes that
// mending instead of doing it again, for the very bytes it was made of only: the new file is
// the same either way, and the same when the mending offered is of other bytes.
TEST(Salvage, TheMendingTheCheckMadeIsTakenForTheSameBytesOnly)
{
    const Bytes file = test::TestWorkbook("poi__47847.xls");
    const Bytes stream = WorkbookStream(file);
    std::size_t from = 0;
    for (const BiffRecord& record : ListRecords(stream)) {
        if (record.type == biff::kContinue && record.length >= 2048 && from == 0)
            from = (record.offset + 4 + 64) / 64 * 64;
    }
    ASSERT_GT(from, 0u);
    MemorySectorFile in(Wiped(file, from, from + 512));
    const RepairReport planned = PlanRepair(in, RebuildMode::Auto);
    ASSERT_TRUE(NeedsSalvage(planned));
    ASSERT_TRUE(planned.mended) << "the records all read";
    const auto salvage = [&in](const RepairReport& plan) {
        MemorySectorFile out;
        const RepairReport outcome = SalvageRepair(in, plan, out);
        EXPECT_EQ(outcome.used, RebuildUsed::Salvaged);
        EXPECT_FALSE(outcome.mended) << "the stream is not held with the outcome";
        return out.Bytes();
    };
    RepairReport fresh = planned;
    fresh.mended.reset();
    const Bytes expected = salvage(fresh);
    EXPECT_EQ(salvage(planned), expected);
    MendedStream other = *planned.mended;
    std::fill(other.stream.begin(), other.stream.end(), std::uint8_t{0});
    other.rawFingerprint ^= 1;
    RepairReport elsewhere = planned;
    elsewhere.mended = std::make_shared<const MendedStream>(std::move(other));
    EXPECT_EQ(salvage(elsewhere), expected);
}

TEST(Salvage, AHoleInTheStringTableLosesOnlyTheStringsInIt)
{
    const Bytes file = test::TestWorkbook("poi__47847.xls");
    const Bytes stream = WorkbookStream(file);
    const WorkbookCells cells = ReadWorkbookCells(stream);
    std::size_t perBucket = 0;
    std::vector<std::size_t> bucketStarts;
    for (const BiffRecord& record : ListRecords(stream)) {
        if (record.type != biff::kExtSst)
            continue;
        const std::uint8_t* body = stream.data() + record.offset + 4;
        perBucket = LoadLe16(body);
        for (std::size_t k = 0; 2 + 8 * k + 8 <= record.length; ++k)
            bucketStarts.push_back(LoadLe32(body + 2 + 8 * k));
    }
    ASSERT_GT(perBucket, 0u);
    const struct {
        const char* what;
        std::size_t from, to;
        bool directory;
        std::size_t atLeast;  // strings expected back
    } holes[] = {
        {"inside the table, which spans 3586 to 28377", 11776, 15872, true, 5000},
        {"the start into the table's first record", 0, 4000, true, 1000},
        {"the start into the table's first record, the directory lost", 0, 4000, false, 1000},
    };
    for (const auto& hole : holes) {
        const auto survives = [&](std::size_t string) {
            const std::size_t bucket = string / perBucket;
            const bool before = bucket + 1 < bucketStarts.size() && bucketStarts[bucket + 1] <= hole.from;
            return before || bucketStarts[bucket] >= hole.to;
        };
        Bytes damaged = Wiped(file, hole.from, hole.to);
        if (!hole.directory)
            ZeroSector(damaged, LoadLe32(file.data() + kFirstDirectorySectorOffset));
        const Salvaged salvaged = Salvage(damaged, HeaderOf(file));
        EXPECT_EQ(salvaged.report.sheetsFound, salvaged.report.sheets) << hole.what;
        std::size_t expected = 0, back = 0, sheet = 0;
        CompareSheets(salvaged, cells, hole.what, [&](const SheetCells& before, const SheetCells& after) {
            ++sheet;  // without the directory, the names the document summary holds are lost too
            EXPECT_EQ(after.name, hole.directory ? before.name : "Sheet" + std::to_string(sheet));
            for (const CellValue& cell : before.cells) {
                const CellValue* found = CellAt(after.cells, cell.row, cell.column);
                if (cell.kind != CellKind::Text) {
                    EXPECT_TRUE(found && found->number == cell.number) << "row " << cell.row;
                    continue;
                }
                const std::string text = found ? found->text : std::string();
                if (!text.empty()) {
                    EXPECT_EQ(text, cell.text) << "made up: row " << cell.row;
                }
                if (LoadLe16(stream.data() + cell.offset) == biff::kLabelSst && survives(LoadLe32(stream.data() + cell.offset + 4 + 6))) {
                    ++expected;
                    back += text == cell.text ? 1u : 0u;
                }
            }
        });
        EXPECT_GT(expected, hole.atLeast) << hole.what;
        EXPECT_EQ(back, expected) << hole.what;
    }
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
    CompareSheets(Salvage(Wiped(file, 1100, 1290), HeaderOf(file)), cells, "the sheet's start",
                  [](const SheetCells& before, const SheetCells& after) {
                      EXPECT_EQ(after.name, "Sheet1");
                      EXPECT_GT(ExpectNumbersHeld(before, after), 50u);
                  });
}

// A flipped bit in a count that its record's length contradicts: a string's length in the
// shared-string table (the table's index says where the next bucket begins) or a sheet name's
// length in the list of sheets; the records all still read, so only the counts tell. Or a bit
// that makes a record's length longer: the record still reads, swallowing the records after
// it, and the walk breaks only where it lands. The workbook is salvaged, the one mend where
// the bit flipped, and comes back byte for byte.
TEST(Salvage, AFlippedBitACountOrLengthBetraysIsMended)
{
    const Bytes counts = test::TestWorkbook("poi__47847.xls");
    const Bytes stream = WorkbookStream(counts);
    std::size_t string = 0, name = 0;
    for (const BiffRecord& record : ListRecords(stream)) {
        if (record.type == biff::kExtSst)
            string = LoadLe32(stream.data() + record.offset + 4 + 2 + 8 * 3);  // bucket 3's first string
        if (record.type == biff::kBoundSheet && name == 0)
            name = record.offset + 4 + 6;
    }
    ASSERT_NE(string, 0u);
    ASSERT_NE(name, 0u);
    // A formula of 27 bytes whose length, 8 KiB longer, leads into the middle of a record.
    const Bytes lengths = test::TestWorkbook("sheetjs__number_format_russian.xls");
    const Bytes formulas = WorkbookStream(lengths);
    constexpr std::size_t kFormula = 27541;
    ASSERT_EQ(LoadLe16(formulas.data() + kFormula), biff::kFormula);
    ASSERT_EQ(LoadLe16(formulas.data() + kFormula + 2), 27);
    ASSERT_LT(formulas[kFormula + 3], 0x20);
    const struct {
        const char* what;
        const Bytes& file;
        const Bytes& stream;
        std::size_t at;
        std::uint8_t bit;
        std::optional<std::size_t> damage;  // where the records break, when the flip says
        std::size_t mended;
    } flips[] = {
        {"a string's length", counts, stream, string, 0x04, string, string},
        {"a string's flags", counts, stream, string + 2, 0x08, string + 2, string + 2},
        {"a sheet name's length", counts, stream, name, 0x01, name, name},
        {"a length 8 KiB longer", lengths, formulas, kFormula + 3, 0x20, std::nullopt, kFormula + 2},
    };
    for (const auto& flip : flips) {
        Bytes damaged = flip.file;
        damaged[StreamPlaces(flip.file)[flip.at]] ^= flip.bit;
        if (flip.damage) {
            EXPECT_EQ(FirstRecordDamage(WorkbookStream(damaged)), flip.damage) << flip.what;
        }
        MemorySectorFile in(damaged);
        ASSERT_TRUE(NeedsSalvage(RepairHeader(in, RebuildMode::Auto))) << flip.what;
        const Salvaged salvaged = Salvage(damaged, HeaderOf(flip.file));
        ExpectWholeWorkbook(salvaged, flip.stream, flip.what);
        ASSERT_EQ(salvaged.report.regions.size(), 1u) << flip.what;
        EXPECT_EQ(salvaged.report.regions[0].offset, flip.mended) << flip.what;
    }
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
        const std::optional<Bytes> repaired = RepairedBySalvage(damaged);
        ASSERT_TRUE(repaired) << c.what << ": the repair salvages it";
        EXPECT_EQ(repaired->size() % kSectorSize, 0u) << c.what;
        MemorySectorFile written(*repaired);
        EXPECT_TRUE(VerifyWorkbook(written).findings.empty()) << c.what;
        const WorkbookCells after = ReadWorkbookCells(WorkbookStream(*repaired));
        ASSERT_EQ(after.sheets.size(), 1u) << c.what;
        EXPECT_EQ(after.sheets[0].cells.size(), cells.sheets[0].cells.size()) << c.what;
    }
}

// The streams of a compound file by their paths.
std::map<std::vector<std::u16string>, Bytes> StreamsByPath(const Bytes& file)
{
    MemorySectorFile source(file);
    std::map<std::vector<std::u16string>, Bytes> streams;
    for (const CompoundStream& stream : ReadCompoundFile(source).value_or(std::vector<CompoundStream>{})) {
        if (stream.type == kObjectTypeStream)
            streams[stream.path] = stream.data;
    }
    return streams;
}

// The first table sector lost with the links of the mini stream's chain (it lies in pieces
// between directory and table sectors) and of the mini table's: the small streams the
// surviving links and the mini stream's size place for sure come back, the summaries, the
// OLE data and the macro project's PROJECT among them. With two of its sectors swapped, so
// that where the links are gone the next sector is the wrong one, no stream comes back with
// bytes it did not have.
TEST(Salvage, SmallStreamsComeBackWhereTheirPlaceIsSure)
{
    const Bytes file = test::TestWorkbook("sheetjs__number_format_russian.xls");
    const std::uint32_t sectors = static_cast<std::uint32_t>((file.size() - kHeaderSize) / kSectorSize);
    std::vector<std::uint32_t> swapped(sectors);
    std::iota(swapped.begin(), swapped.end(), 0u);
    std::swap(swapped[107], swapped[108]);  // the mini stream's second and third sectors
    const auto original = StreamsByPath(file);
    for (const Bytes& layout : {file, Relocated(file, swapped)}) {
        ASSERT_EQ(StreamsByPath(layout), original);
        Bytes damaged = layout;
        ZeroSector(damaged, LoadLe32(layout.data() + kHeaderDifatOffset));
        const Salvaged salvaged = Salvage(damaged, HeaderOf(layout));
        ASSERT_TRUE(Sound(salvaged));
        // The macros' code comes back where its own bytes prove it (the source in "dir" and the
        // modules), and the formulas that call its functions stay; where it does not, they go.
        const auto kept = StreamsByPath(salvaged.file);
        const bool codeKept = std::all_of(salvaged.report.dropped.begin(), salvaged.report.dropped.end(), [](const std::string& path) {
            return path.ends_with("/_VBA_PROJECT") || path.ends_with("PROJECTwm") || path.find("/__SRP_") != std::string::npos;
        });
        EXPECT_EQ(salvaged.report.formulasAsValues.leftOut == 0, codeKept);
        if (layout == file) {
            EXPECT_TRUE(codeKept);
            EXPECT_TRUE(kept.contains({u"_VBA_PROJECT_CUR", u"VBA", u"dir"}) && kept.contains({u"_VBA_PROJECT_CUR", u"VBA", u"Module1"}));
        }
        EXPECT_EQ(salvaged.report.formulasAsValues.Total(), 0u);
        for (const auto& [path, data] : kept) {
            const bool workbook = path.back() == u"Workbook";
            EXPECT_TRUE(original.contains(path) && (workbook ? WithFormulasAsValues(original.at(path), salvaged) : original.at(path)) == data)
                << Utf8FromUtf16(path.back());
        }
        EXPECT_EQ(kept.size() + salvaged.report.dropped.size(), original.size());
        for (const std::vector<std::u16string>& path : std::vector<std::vector<std::u16string>>{
                 {u"\u0005SummaryInformation"}, {u"\u0005DocumentSummaryInformation"}, {u"\u0001CompObj"},
                 {u"_VBA_PROJECT_CUR", u"PROJECT"}}) {
            EXPECT_TRUE(kept.contains(path)) << Utf8FromUtf16(path.back());
        }
    }
}

// A changed bit in the workbook's entry's name length (18 read as 146), or in the null that ends
// its name, and the allocation table lost: the name's null, or its length, tells where the name
// ends, and the entry stands, with its stream and every other stream of the directory.
TEST(Salvage, AnEntrysNameWithABitOffIsReadAsWritten)
{
    const Bytes file = test::TestWorkbook("readxl__mtcars.xls");
    const std::size_t directory = kHeaderSize + std::size_t{LoadLe32(file.data() + kFirstDirectorySectorOffset)} * kSectorSize;
    std::size_t entry = directory;
    while (entry < directory + kSectorSize && !(file[entry] == 'W' && file[entry + 2] == 'o' && file[entry + 16] == 0))
        entry += kDirectoryEntrySize;
    ASSERT_LT(entry, directory + kSectorSize);
    ASSERT_EQ(LoadLe16(file.data() + entry + kEntryNameLengthOffset), 18u);
    for (const std::size_t changed : {entry + kEntryNameLengthOffset, entry + 16}) {
        const char* what = changed == entry + 16 ? "a name's null a bit off" : "a name length a bit off";
        Bytes damaged = file;
        damaged[changed] ^= changed == entry + 16 ? 0x02 : 0x80;
        ZeroSector(damaged, LoadLe32(file.data() + kHeaderDifatOffset));
        const Salvaged salvaged = Salvage(damaged, HeaderOf(file));
        ExpectWholeWorkbook(salvaged, WorkbookStream(file), what);
        EXPECT_FALSE(salvaged.report.directoryLost) << what;
        EXPECT_EQ(StreamsByPath(salvaged.file), StreamsByPath(file)) << what;
    }
}

// A changed bit in a letter of the workbook's entry's name ("Workbook" read as "Wnrkbook"):
// readers find no workbook by that name, and the salvage takes the entry for the workbook's
// still, under its own name. The changed bit tells that the damage changed bits: a number
// below the smallest normal double (a zero with a changed bit reads as one) goes, where with
// the name intact and nothing else wrong it is the workbook's own.
TEST(Salvage, AWorkbookWhoseNameLostABitComesBackUnderItsName)
{
    EXPECT_EQ(biff::WorkbookStreamNameOneBitAway(u"Wnrkbook"), u"Workbook");
    EXPECT_EQ(biff::WorkbookStreamNameOneBitAway(u"Booc"), u"Book");
    for (const std::u16string_view other : {u"Workbook", u"BOOK", u"Bool", u"Wnrkbooj", u"Sheet", u"Workbooks"})
        EXPECT_EQ(biff::WorkbookStreamNameOneBitAway(other), std::nullopt) << Utf8FromUtf16(std::u16string(other));

    using test::operator+;
    const double tiny = std::bit_cast<double>(std::uint64_t{0x0000'0010'0000'0000ull});
    Bytes cells;
    for (unsigned row = 0; row < 20; ++row)
        cells += test::Record(biff::kNumber, test::Cell(row, 0) + test::Double(row == 7 ? tiny : row + 0.5));
    const Bytes stream = test::Workbook(8, {}, {{"Numbers", cells}});
    const Bytes file = Written({{.name = u"Workbook", .data = stream}});
    const Bytes entryName{'W', 0, 'o', 0, 'r', 0, 'k', 0};
    const auto name = std::search(file.begin(), file.end(), entryName.begin(), entryName.end()) - file.begin();
    ASSERT_LT(name, std::ssize(file));
    Bytes damaged = file;
    damaged[static_cast<std::size_t>(name) + 2] ^= 0x01;  // 'o' read as 'n'
    const std::optional<Bytes> repaired = RepairedBySalvage(damaged);
    ASSERT_TRUE(repaired) << "the repair salvages it";
    const auto streams = StreamsByPath(*repaired);
    ASSERT_TRUE(streams.contains({u"Workbook"})) << "under its own name";
    const WorkbookCells after = ReadWorkbookCells(streams.at({u"Workbook"}));
    ASSERT_EQ(after.sheets.size(), 1u);
    std::set<unsigned> rows;
    for (const CellValue& cell : after.sheets[0].cells) {
        EXPECT_EQ(cell.number, cell.row + 0.5) << "row " << cell.row;
        rows.insert(cell.row);
    }
    EXPECT_EQ(rows.size(), 19u) << "every cell but the tiny number";
    EXPECT_FALSE(rows.contains(7u));
}

// A directory sector zeroed that its chain still lists: the entries the tree leads to there
// read as unused ones, which no writer links. Their streams are lost, and the report says so
// (it once kept silent); every stream that is kept is the workbook's own.
TEST(Salvage, EntriesOfAZeroedDirectorySectorAreReportedLost)
{
    const Bytes file = test::TestWorkbook("sheetjs__number_format_russian.xls");
    const auto original = StreamsByPath(file);
    Bytes damaged = file;
    ZeroSector(damaged, 126);  // the directory's fourth sector: entries 12 to 15
    const Salvaged salvaged = Salvage(damaged, HeaderOf(file));
    ASSERT_TRUE(Sound(salvaged));
    const auto kept = StreamsByPath(salvaged.file);
    EXPECT_LT(kept.size(), original.size());
    for (const auto& [path, data] : kept) {
        const bool workbook = path.back() == u"Workbook";
        EXPECT_TRUE(original.contains(path) && (workbook ? WithFormulasAsValues(original.at(path), salvaged) : original.at(path)) == data)
            << Utf8FromUtf16(path.back());
    }
    EXPECT_NE(std::find(salvaged.report.dropped.begin(), salvaged.report.dropped.end(),
                        kLostEntriesStreams),
              salvaged.report.dropped.end());
    // (Streams no one can name went, the macros' perhaps: the formulas that call their functions
    // keep their values.)
    EXPECT_EQ(salvaged.workbook, WithFormulasAsValues(WorkbookStream(file), salvaged));
}

// Files whose compound structure a header opens: one that ends inside its last sector (only
// zeros past its last stream's end cut off, which readers do without), its header wiped, through
// the whole repair, which rebuilds the header alone; and one whose only damage is its header,
// salvaged with the wiped header and the one the rebuild makes. Every stream comes back byte for
// byte in its place, every sheet with it.
TEST(Salvage, AStructureAHeaderOpensKeepsEveryStream)
{
    const auto streams = [](const Bytes& file) {
        MemorySectorFile source(file);
        return ReadCompoundFile(source).value_or(std::vector<CompoundStream>{});
    };
    for (const char* name : {"phpss__biff8cover.xls", "sheetjs__number_format_russian.xls"}) {
        const Bytes file = test::TestWorkbook(name);
        const std::vector<CompoundStream> before = streams(file);
        ASSERT_GT(before.size(), 4u) << name;
        ASSERT_TRUE(std::all_of(file.end() - 100, file.end(), [](std::uint8_t b) { return b == 0; })) << name;
        Bytes cut(file.begin(), file.end() - 100);
        std::fill_n(cut.begin(), kHeaderSize, std::uint8_t{0});
        Bytes wiped = file;
        std::fill_n(wiped.begin(), kHeaderSize, std::uint8_t{0});
        MemorySectorFile cutFile(cut);
        const RepairReport planned = RepairHeader(cutFile, RebuildMode::Auto);
        ASSERT_FALSE(NeedsSalvage(planned)) << name << ": only padding went with the cut";
        Bytes repaired = cut;
        std::copy(planned.after.begin(), planned.after.end(), repaired.begin());
        MemorySectorFile repairedFile(repaired);
        EXPECT_TRUE(VerifyWorkbook(repairedFile).Opens()) << name;
        MemorySectorFile in(wiped);
        MemorySectorFile out;
        const HeaderBytes headers[] = {HeaderOf(wiped), RepairHeader(in, RebuildMode::Auto).after};
        const SalvageReport report = SalvageWorkbook(in, headers, out);
        ASSERT_TRUE(report.written) << name;
        EXPECT_TRUE(report.dropped.empty()) << name;
        EXPECT_EQ(report.sheetsFound, report.sheets) << name;
        for (const Bytes& salvaged : {repaired, out.Bytes()}) {
            const std::vector<CompoundStream> after = streams(salvaged);
            ASSERT_EQ(after.size(), before.size()) << name;
            for (std::size_t i = 0; i < before.size(); ++i) {
                EXPECT_EQ(after[i].path, before[i].path) << name;
                EXPECT_TRUE(after[i].data == before[i].data) << name << ", stream " << i;
            }
        }
    }
}

// The workbook's entry is the new file's first after the root, wherever the damaged file had
// it: xlrd marks the sectors of the stream it follows with its entry's place in a byte, and
// refuses a workbook whose entry lies past the 252nd (300 sheets' modules come before it).
TEST(Salvage, TheWorkbooksEntryComesFirst)
{
    std::vector<test::NamedStream> streams;
    for (int k = 0; k < 300; ++k) {
        std::u16string name = u"Module";
        for (const char digit : std::to_string(k))
            name += static_cast<char16_t>(digit);
        streams.push_back({name, Bytes(100, static_cast<std::uint8_t>(k))});
    }
    Bytes cells;
    for (unsigned row = 0; row < 400; ++row)
        cells += test::Record(biff::kNumber, test::Cell(row, 0) + test::Double(row + 0.5));
    streams.push_back({u"Workbook", test::Workbook(8, {}, {{"Numbers", cells}})});
    Bytes file = test::CompoundFileOf(streams);
    std::fill_n(file.begin(), kHeaderSize, std::uint8_t{0});
    MemorySectorFile in(file);
    MemorySectorFile out;
    const HeaderBytes headers[] = {RepairHeader(in, RebuildMode::Auto).after};
    const SalvageReport report = SalvageWorkbook(in, headers, out);
    ASSERT_TRUE(report.written);
    const Bytes written = out.Bytes();
    const std::size_t directory = kHeaderSize + std::size_t{LoadLe32(written.data() + 48)} * kHeaderSize;
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(written.data() + directory + 128), 8), u"Workbook");
    EXPECT_TRUE(std::all_of(written.begin() + static_cast<std::ptrdiff_t>(directory + 128 + 16),
                            written.begin() + static_cast<std::ptrdiff_t>(directory + 128 + 64), [](std::uint8_t b) { return b == 0; }));
    MemorySectorFile check(written);
    EXPECT_EQ(ReadCompoundFile(check).value_or(std::vector<CompoundStream>{}).size(), streams.size());
}

// Gnumeric keeps two copies of a workbook, a BIFF5 "Book" before a BIFF8 "Workbook", which is
// the one readers take. With a sector of the Workbook's cells zeroed and the file no longer
// opening (its first table sector lost, or its header), both copies come back mended: no
// reader of either is shown the zeros as values.
TEST(Salvage, BothCopiesOfAWorkbookAreMended)
{
    const Bytes file = test::TestWorkbook("gnumeric__ttest.xls");
    static constexpr std::u16string_view kBook[] = {u"Book"};
    static constexpr std::u16string_view kWorkbook[] = {u"Workbook"};
    const auto streamOf = [](const Bytes& bytes, std::span<const std::u16string_view> name) {
        MemorySectorFile source(bytes);
        return ReadRootStream(source, name).value_or(Bytes{});
    };
    const Bytes workbook = streamOf(file, kWorkbook);
    ASSERT_GT(streamOf(file, kBook).size(), 8192u);
    ASSERT_GT(workbook.size(), 8192u);
    // The Workbook's ninth sector, among the first sheet's cells, found by its bytes.
    const auto sector = std::search(file.begin(), file.end(), workbook.begin() + 4096, workbook.begin() + 4608);
    ASSERT_NE(sector, file.end());
    Bytes holed = file;
    std::fill_n(holed.begin() + (sector - file.begin()), kSectorSize, std::uint8_t{0});
    Bytes withoutTable = holed;
    ZeroSector(withoutTable, LoadLe32(file.data() + kHeaderDifatOffset));
    Bytes withoutHeader = holed;
    std::fill_n(withoutHeader.begin(), kHeaderSize, std::uint8_t{0});

    const WorkbookCells original = ReadWorkbookCells(workbook);
    for (const auto& [what, damaged] : {std::pair{"the first table sector lost", withoutTable}, std::pair{"the header lost", withoutHeader}}) {
        SCOPED_TRACE(what);
        const std::optional<Bytes> repaired = RepairedBySalvage(damaged);
        ASSERT_TRUE(repaired);
        // (The Book may be dropped, where its chain went with the table: not left damaged.)
        for (const auto& name : {std::span<const std::u16string_view>(kWorkbook), std::span<const std::u16string_view>(kBook)}) {
            Bytes stream = streamOf(*repaired, name);
            ASSERT_TRUE(!stream.empty() || name.front() == u"Book");
            EXPECT_TRUE(MendWorkbookStream(stream).empty()) << Utf8FromUtf16(name.front()) << " is left to mend";
        }
        // Every cell readers are shown is the original's.
        const WorkbookCells back = ReadWorkbookCells(streamOf(*repaired, kWorkbook));
        ASSERT_EQ(back.sheets.size(), original.sheets.size());
        for (std::size_t s = 0; s < back.sheets.size(); ++s) {
            for (const CellValue& cell : back.sheets[s].cells) {
                const auto& cells = original.sheets[s].cells;
                EXPECT_TRUE(std::any_of(cells.begin(), cells.end(), [&](const CellValue& c) {
                    return c.row == cell.row && c.column == cell.column && c.kind == cell.kind && c.text == cell.text &&
                           (c.kind != CellKind::Number || c.number == cell.number);
                })) << "sheet " << s << ", row " << cell.row << ", column " << cell.column;
            }
        }
    }
}

// A file that keeps one workbook twice, a BIFF5 "Book" and a BIFF8 "Workbook" (the "97 and
// 5.0/95" format of Excel and Gnumeric), and lost its directory: both copies are found by their
// first records, and where the BIFF8 one holds texts past ASCII it is salvaged, the one readers
// take, though the BIFF5 one is longer (as it is when the BIFF8 one lost its end, or where a
// BIFF5 chain ran on into it): a BIFF5 copy shows them in a code page, "?" for what it lacks.
// (Where all is ASCII, the longer copy stands: ACutFileKeepsItsRecordsInTheirSubstreams.)
TEST(Salvage, OfTwoCopiesOfAWorkbookTheBiff8OneIsFoundWithoutTheDirectory)
{
    const auto rows = [](unsigned count) {
        Bytes cells;
        for (unsigned row = 0; row < count; ++row)
            cells += test::Record(biff::kNumber, test::Cell(row, 0) + test::Double(row + 0.5));
        return cells;
    };
    // The BIFF8 copy's one text holds letters past ASCII ("Gr\xfc\xdf" "e" as 8-bit characters).
    const Bytes book = test::Workbook(5, {}, {{"Sheet", rows(400)}});
    const Bytes workbook = test::Workbook(8, test::StringTable({"Gr\xfc\xdf" "e"}, 20),
                                          {{"Sheet", rows(250) + test::Record(biff::kLabelSst, test::Cell(0, 1) + test::Le32(0))}});
    const std::optional<Bytes> repaired = RepairedBySalvage(WrittenWithoutDirectory(
        {CompoundEntry{u"Book", kObjectTypeStream, -1, book}, CompoundEntry{u"Workbook", kObjectTypeStream, -1, workbook}}));
    ASSERT_TRUE(repaired);
    const std::optional<Bytes> taken = test::WorkbookStreamOf(*repaired);
    ASSERT_TRUE(taken && taken->size() >= 8);
    EXPECT_EQ(LoadLe16(taken->data() + 4), 0x0600) << "the BIFF8 copy";
    EXPECT_EQ(ReadWorkbookCells(*taken).sheets.at(0).cells.size(), 251u);
}

// A stream ahead of the workbook's, and the first table sector lost: the workbook's links go
// with it up to sector 127, and one of its long string records runs on from there into sector
// 128, where the links that survive begin, and past it. The record's end, read along those
// links, shows the stream goes on there, not in the sectors of the stream ahead, where records
// read at the same place in every sector (as a BIFF5 copy's texts may happen to).
TEST(Salvage, ALongRecordLeadsIntoTheLinksThatSurviveATableSector)
{
    std::vector<std::string> strings;
    for (unsigned k = 0; k < 3; ++k)
        strings.push_back(std::string(9000, static_cast<char>('a' + k)));
    Bytes cells;
    for (unsigned k = 0; k < strings.size(); ++k)
        cells += test::Record(biff::kLabelSst, test::Cell(k, 0) + test::Le32(k));
    const Bytes workbook = test::Workbook(8, test::SplitStringTable(strings), {{"Texts", cells}});
    // The first record header at least three sectors into the stream; the stream starts so
    // that it lies two sectors past sector 128.
    std::uint32_t header = 0;
    for (const BiffRecord& record : ListRecords(workbook)) {
        if (record.offset >= 3 * kSectorSize) {
            header = record.offset;
            break;
        }
    }
    ASSERT_GT(header, 0u);
    const auto start = static_cast<std::uint32_t>(128 - (header / kSectorSize - 2));
    // The stream ahead: a record header at the same place in each of its sectors.
    const std::uint32_t within = header % kSectorSize;
    Bytes ahead = test::BofRecord(5, 5);
    ahead += test::Record(biff::kFillerRecord, Bytes(kSectorSize + within - ahead.size() - 4, 0xFF));
    while (ahead.size() + kSectorSize <= (start - 1) * kSectorSize)
        ahead += test::Record(biff::kContinue, Bytes(kSectorSize - 4, 0xFF));
    ahead.resize((start - 1) * kSectorSize + 1, 0xFF);
    Bytes file = Written({CompoundEntry{u"Ahead", kObjectTypeStream, -1, ahead}, CompoundEntry{u"Workbook", kObjectTypeStream, -1, workbook}});
    ASSERT_LE(AllocationTable(file).size(), 256u) << "two table sectors hold the file";
    ASSERT_TRUE(std::equal(workbook.begin(), workbook.begin() + kSectorSize, file.begin() + kHeaderSize + std::size_t{start} * kSectorSize))
        << "the workbook's stream follows the other";
    ZeroSector(file, LoadLe32(file.data() + kHeaderDifatOffset));

    const std::optional<Bytes> repaired = RepairedBySalvage(file);
    ASSERT_TRUE(repaired);
    const std::optional<Bytes> taken = test::WorkbookStreamOf(*repaired);
    ASSERT_TRUE(taken);
    EXPECT_EQ(test::CellLines(ReadWorkbookCells(*taken)), test::CellLines(ReadWorkbookCells(workbook)));
}

// A workbook whose table needs DIFAT sectors (over 109 table sectors: the smallest such,
// 7.5 MB, keeps the test quick), laid out as LibreOffice writes one, the first table sector
// lost and, apart, one that only a DIFAT sector lists: every cell comes back.
TEST(Salvage, ALargeWorkbookLosesNoCellWithATableSector)
{
    using test::operator+;
    // The shared strings first, as LibreOffice writes them (a table of 200 KB that runs past
    // the first 127 sectors), then every row: a text and seven numbers.
    constexpr unsigned kStrings = 24'000, kRows = 52'000;
    Bytes strings = test::Le32(kRows) + test::Le32(kStrings), globals;
    for (unsigned k = 0; k < kStrings; ++k) {
        const Bytes string = test::Biff8String("text " + std::to_string(k), 2);
        if (strings.size() + string.size() > 8224) {
            globals += test::Record(globals.empty() ? biff::kSst : biff::kContinue, strings);
            strings.clear();
        }
        strings.insert(strings.end(), string.begin(), string.end());
    }
    globals += test::Record(biff::kContinue, strings);
    Bytes cells;
    cells.reserve(kRows * (14 + 7 * 18));
    for (unsigned row = 0; row < kRows; ++row) {
        const Bytes text = test::Record(biff::kLabelSst, test::Cell(row, 0) + test::Le32(row % kStrings));
        cells.insert(cells.end(), text.begin(), text.end());
        for (unsigned column = 1; column < 8; ++column) {
            const Bytes number = test::Record(biff::kNumber, test::Cell(row, column) + test::Double(row * 8.0 + column + 0.25));
            cells.insert(cells.end(), number.begin(), number.end());
        }
    }
    const Bytes file = test::LargeWorkbookFile(test::Workbook(8, globals, {{"Big", cells}}));
    const std::uint32_t tableSectors = LoadLe32(file.data() + kNumFatSectorsOffset);
    ASSERT_GT(tableSectors, kHeaderDifatEntries);
    const WorkbookCells before = ReadWorkbookCells(WorkbookStream(file));
    ASSERT_EQ(before.sheets.at(0).cells.size(), kRows * 8);
    ASSERT_EQ(before.sheets[0].cells[8 * 30'000].text, "text 6000");
    const std::uint32_t difat = LoadLe32(file.data() + kFirstDifatSectorOffset);
    for (const std::uint32_t lost : {0u, LoadLe32(file.data() + kHeaderSize + std::size_t{difat} * kSectorSize)}) {
        Bytes damaged = file;
        ZeroSector(damaged, lost);
        const Salvaged salvaged = Salvage(damaged, HeaderOf(file));
        EXPECT_EQ(salvaged.report.workbookBytesLost, 0u) << "sector " << lost;
        CompareSheets(salvaged, before, "table sector " + std::to_string(lost), [](const SheetCells& b, const SheetCells& a) {
            ASSERT_EQ(a.cells.size(), b.cells.size());
            std::size_t differ = 0;
            for (std::size_t c = 0; c < b.cells.size(); ++c) {
                differ += a.cells[c].row != b.cells[c].row || a.cells[c].column != b.cells[c].column ||
                          a.cells[c].number != b.cells[c].number || a.cells[c].text != b.cells[c].text;
            }
            EXPECT_EQ(differ, 0u);
        });
        // The whole repair as the programs run it: the new file's sheet, assessed while the file
        // is checked (a stream this large is looked over on a second thread), counts every cell.
        MemorySectorFile in(damaged), out;
        const RepairReport planned = PlanRepair(in, RebuildMode::Auto);
        const RepairReport repaired = SalvageRepair(in, planned, out);
        ASSERT_EQ(repaired.used, RebuildUsed::Salvaged) << "sector " << lost;
        ASSERT_EQ(repaired.salvage->outcomes.size(), 1u);
        EXPECT_EQ(repaired.salvage->outcomes[0].cells, std::size_t{kRows} * 8) << "sector " << lost;
        EXPECT_EQ(repaired.salvage->outcomes[0].state, SheetState::Complete) << "sector " << lost;
    }
}

// A table sector among the workbook's sectors, inside the string table's first record, and
// the file's first 4 KiB wiped: the header, the first table sector (with the entry that marks
// the other one) and the globals' start. What survives of the globals is found back from the
// sheet across that sector, so the list of sheets keeps its names and every text its string;
// and the one in the middle of a string's characters is no sector of the stream.
TEST(Salvage, TheGlobalsComeBackAcrossATableSectorAmongTheStreams)
{
    using test::operator+;
    Bytes formats;
    for (unsigned k = 0; k < 100; ++k)
        formats += test::FormatRecord(8, 200 + k, "0.00\" \"?? \"unit " + std::to_string(k) + "\"");
    std::vector<std::string> strings;
    // Enough of them that the stream runs past sector 127, where the second table sector's
    // entries begin: it links the stream's sectors there, as a table sector of a real file does.
    for (unsigned k = 0; k < 2200; ++k)
        strings.push_back("place " + std::to_string(k));
    const Bytes table = test::StringTable(strings, test::BofRecord(8, 5).size() + formats.size(), 8, 8224);
    Bytes cells;
    for (unsigned k = 0; k < strings.size(); ++k) {
        cells += test::Record(biff::kLabelSst, test::Cell(k, 0) + test::Le32(k)) +
                 test::Record(biff::kNumber, test::Cell(k, 1) + test::Double(k + 0.5));
    }
    const Bytes stream = test::Workbook(8, formats + table, {{"Places", cells}, {"Empty", {}}});
    test::LargeLayout layout;
    layout.fatSectors = {0, 20};
    layout.directory = 1;
    const auto streamSectors = static_cast<std::uint32_t>((stream.size() + kSectorSize - 1) / kSectorSize);
    for (std::uint32_t s = 2; layout.streamChain.size() < streamSectors; ++s) {
        if (s != 20)
            layout.streamChain.push_back(s);
    }
    layout.total = layout.streamChain.back() + 1;
    ASSERT_GT(layout.total, 128u);
    ASSERT_LE(layout.total, 256u) << "two table sectors hold the file";
    const Bytes file = test::LargeWorkbookFile(stream, layout);
    const std::size_t tableAt = test::BofRecord(8, 5).size() + formats.size();
    // Sectors 2 to 6 hold the stream's first 2560 bytes; sector 20 follows its 18th sector.
    ASSERT_GT(tableAt, 2560u) << "the string table begins past the wiped bytes";
    ASSERT_GT(tableAt + 8228, 19u * kSectorSize) << "and its first record runs across the table sector";
    const WorkbookCells before = ReadWorkbookCells(WorkbookStream(file));
    ASSERT_EQ(before.sheets.at(0).cells.size(), 2 * strings.size());

    const std::optional<WorkbookCells> salvaged = SalvagedWithoutFirst4KiB(file);
    ASSERT_TRUE(salvaged) << "the repair salvages it";
    const WorkbookCells& after = *salvaged;
    ASSERT_EQ(after.sheets.size(), 2u);
    EXPECT_EQ(after.sheets[0].name, "Places");
    EXPECT_EQ(after.sheets[1].name, "Empty");
    ASSERT_EQ(after.sheets[0].cells.size(), before.sheets[0].cells.size());
    std::size_t differ = 0;
    for (std::size_t c = 0; c < before.sheets[0].cells.size(); ++c) {
        const CellValue& a = after.sheets[0].cells[c];
        const CellValue& b = before.sheets[0].cells[c];
        differ += a.row != b.row || a.column != b.column || a.number != b.number || a.text != b.text;
    }
    EXPECT_EQ(differ, 0u);
}

// One table sector (0), the directory (1), and a workbook of `stream` whose sectors run from
// `first` to `last`, on through `before` to `first` - 1 (placed before them, as POI places a
// stream's later sectors in the room left at the file's start) and on from `last` + 1.
Bytes FileRunningThroughRoomBefore(const Bytes& stream, std::uint32_t before, std::uint32_t first, std::uint32_t last)
{
    test::LargeLayout layout;
    layout.fatSectors = {0};
    layout.directory = 1;
    for (std::uint32_t s = first; s <= last; ++s)
        layout.streamChain.push_back(s);
    for (std::uint32_t s = before; s < first; ++s)
        layout.streamChain.push_back(s);
    const auto streamSectors = static_cast<std::uint32_t>((stream.size() + kSectorSize - 1) / kSectorSize);
    for (std::uint32_t s = last + 1; layout.streamChain.size() < streamSectors; ++s)
        layout.streamChain.push_back(s);
    layout.total = layout.streamChain.back() + 1;
    EXPECT_LE(layout.total, 128u) << "one table sector holds the file";
    return test::LargeWorkbookFile(stream, layout);
}

// The workbook's globals run from sector 7 to 14, on through sectors 3 to 6 (placed before them,
// as POI places a stream's later sectors in the room left at the file's start) and on from 15;
// the file's first 4 KiB wiped take those four sectors with the header, table and directory. The
// globals break off at the end of sector 14, and the records that read further on say nothing
// of where: the stream goes on past a break in the sector after it, and every sheet comes back.
TEST(Salvage, GlobalsThatRanThroughWipedSectorsGoOnInTheSectorAfter)
{
    Bytes formats;
    for (unsigned k = 0; k < 300; ++k)
        formats += test::FormatRecord(8, 200 + k, "0.00\" \"?? \"unit " + std::to_string(k) + "\"");
    Bytes cells;
    for (unsigned row = 0; row < 1200; ++row)
        cells += test::Record(biff::kNumber, test::Cell(row, 0) + test::Double(row + 0.25));
    const Bytes stream = test::Workbook(8, formats, {{"Numbers", cells}, {"More", Bytes(cells.begin(), cells.begin() + 18 * 300)}});
    ASSERT_GT(test::BofRecord(8, 5).size() + formats.size(), 6144u) << "sectors 3 to 6 hold globals";
    const Bytes file = FileRunningThroughRoomBefore(stream, 3, 7, 14);
    const WorkbookCells before = ReadWorkbookCells(WorkbookStream(file));
    ASSERT_EQ(before.sheets.size(), 2u);

    const std::optional<WorkbookCells> salvaged = SalvagedWithoutFirst4KiB(file);
    ASSERT_TRUE(salvaged) << "the repair salvages it";
    ASSERT_EQ(salvaged->sheets.size(), 2u);
    for (std::size_t sheet = 0; sheet < 2; ++sheet)
        EXPECT_EQ(test::CellLines(salvaged->sheets[sheet].cells), test::CellLines(before.sheets[sheet].cells)) << sheet;
}

// The same with more room before the workbook's first sector than the wiped 4 KiB: its stream
// runs from sector 11 to 19, on through sectors 3 to 10 and on from 20, the list of sheets in
// sector 7. The globals break off at the end of sector 19, and go on in sector 7, the first the
// damage left after the wiped ones: the sheet comes back whole under its name.
TEST(Salvage, GlobalsThatRanThroughWipedSectorsGoOnInTheFirstSectorLeftAfterThem)
{
    const auto formats = [](unsigned from, std::size_t size) {
        Bytes records;
        for (unsigned k = from; records.size() < size; ++k)
            records += test::FormatRecord(8, 200 + k, "0.00\" \"?? \"unit " + std::to_string(k) + "\"");
        return records;
    };
    Bytes cells;
    for (unsigned row = 0; row < 1200; ++row)
        cells += test::Record(biff::kNumber, test::Cell(row, 0) + test::Double(row + 0.25));
    const Bytes stream = test::Workbook(8, formats(0, 13 * kSectorSize + 60), {{"Numbers", cells}}, {}, formats(1000, 4 * kSectorSize));
    const Bytes file = FileRunningThroughRoomBefore(stream, 3, 11, 19);
    const WorkbookCells before = ReadWorkbookCells(WorkbookStream(file));
    ASSERT_EQ(before.sheets.size(), 1u);
    ASSERT_GT(before.sheets[0].offset, 17 * kSectorSize) << "the sheet begins in sector 20";

    const std::optional<WorkbookCells> salvaged = SalvagedWithoutFirst4KiB(file);
    ASSERT_TRUE(salvaged) << "the repair salvages it";
    ASSERT_EQ(salvaged->sheets.size(), 1u);
    EXPECT_EQ(salvaged->sheets[0].name, "Numbers");
    EXPECT_EQ(test::CellLines(salvaged->sheets[0].cells), test::CellLines(before.sheets[0].cells));
}

// The workbook's sectors run on from its first ones into sectors the writer placed before them,
// and the file's first 4 KiB are wiped: header, table, directory and those sectors. Found by its
// records, the stream breaks off where it ran into them, and goes on where the records read
// again after them; the cell whose record the break cut is lost, not made of both sides.
TEST(Salvage, AStreamGoesOnPastSectorsTheDamageTook)
{
    using test::operator+;
    Bytes cells;
    constexpr unsigned kRows = 400;
    for (unsigned row = 0; row < kRows; ++row) {
        cells += test::Record(biff::kNumber, test::Cell(row, 0) + test::Double(row + 0.5)) +
                 test::Record(biff::kNumber, test::Cell(row, 1) + test::Double(row * 2 + 0.25));
    }
    const Bytes stream = test::Workbook(8, {}, {{"Data", cells}});
    test::LargeLayout layout;
    layout.fatSectors = {0};
    layout.directory = 1;
    const auto streamSectors = static_cast<std::uint32_t>((stream.size() + kSectorSize - 1) / kSectorSize);
    for (std::uint32_t s = 7; s <= 12; ++s)
        layout.streamChain.push_back(s);
    for (std::uint32_t s = 2; s <= 6; ++s)
        layout.streamChain.push_back(s);
    for (std::uint32_t s = 13; layout.streamChain.size() < streamSectors; ++s)
        layout.streamChain.push_back(s);
    layout.total = layout.streamChain.back() + 1;
    const Bytes file = test::LargeWorkbookFile(stream, layout);
    const WorkbookCells before = ReadWorkbookCells(WorkbookStream(file));
    ASSERT_EQ(before.sheets.at(0).cells.size(), 2 * kRows);

    const std::optional<WorkbookCells> salvaged = SalvagedWithoutFirst4KiB(file);
    ASSERT_TRUE(salvaged) << "the repair salvages it";
    const WorkbookCells& after = *salvaged;
    ASSERT_EQ(after.sheets.size(), 1u);
    std::map<std::pair<unsigned, unsigned>, double> original;
    for (const CellValue& cell : before.sheets[0].cells)
        original[{cell.row, cell.column}] = cell.number;
    std::size_t held = 0;
    for (const CellValue& cell : after.sheets[0].cells) {
        const auto place = original.find({cell.row, cell.column});
        ASSERT_TRUE(place != original.end() && place->second == cell.number && cell.kind == CellKind::Number)
            << "row " << cell.row << " column " << cell.column << ": " << cell.number;
        ++held;
    }
    // The lost sectors held stream bytes 3072 to 5632: about 142 cells, one more at each side.
    EXPECT_GE(held, 2 * kRows - 146);
    EXPECT_EQ(after.sheets[0].cells.back().row, kRows - 1);
}

// Two clusters of another file stitched in, the first inside a long string's characters: the
// table's links lead into the other file's bytes, which read as characters as well as the
// string's own, and the records run on only past the second cluster, in a unit the table calls
// free that is one bit away from the table's link (no flipped bit: the units moved). The string
// is lost, never shown with the other file's bytes in it; the cells around it stay.
TEST(Salvage, BytesStitchedIntoALongStringNeverShowInIt)
{
    using test::operator+;
    const std::string longText = [] {
        std::string text;
        while (text.size() < 20000)
            text += "9876543210 ";
        return text.substr(0, 20000);
    }();
    const auto table = [&](unsigned shortOnes) {
        std::vector<std::string> strings;
        for (unsigned i = 0; i < shortOnes; ++i)
            strings.push_back("Short " + std::to_string(i));
        strings.push_back(longText);
        return test::SplitStringTable(strings);
    };
    Bytes cells;
    for (unsigned row = 0; row < 30; ++row)
        cells += test::Record(biff::kNumber, test::Cell(row, 1) + test::Double(row + 0.5));
    // Short strings before the long one until the end of the CONTINUE record in the middle of
    // it lies in a unit one bit away from the unit 16 further on.
    for (unsigned shortOnes = 0; shortOnes < 200; ++shortOnes) {
        const Bytes strings = table(shortOnes);
        const Bytes stream = test::Workbook(8, strings, {{"Texts", test::Record(biff::kLabelSst, test::Cell(0, 0) + test::Le32(shortOnes)) + cells}});
        const std::size_t tableAt = static_cast<std::size_t>(std::search(stream.begin(), stream.end(), strings.begin(), strings.end()) - stream.begin());
        const std::size_t middle = tableAt + 8228;  // the first CONTINUE record
        const std::size_t middleEnd = middle + 8228;
        ASSERT_EQ(LoadLe16(stream.data() + middle), biff::kContinue);
        ASSERT_EQ(LoadLe16(stream.data() + middleEnd), biff::kContinue);
        // The stream in units 1 on; the unit the middle record ends in.
        const auto endUnit = static_cast<std::uint32_t>(1 + middleEnd / kSectorSize);
        if ((endUnit & 16) != 0 || middleEnd % kSectorSize < 4)
            continue;
        test::LargeLayout layout;
        layout.fatSectors = {0};
        const auto streamUnits = static_cast<std::uint32_t>((stream.size() + kSectorSize - 1) / kSectorSize);
        for (std::uint32_t u = 1; u <= streamUnits; ++u)
            layout.streamChain.push_back(u);
        layout.directory = streamUnits + 1;  // after the clusters: lost with the move
        layout.total = layout.directory + 1;
        const Bytes file = test::LargeWorkbookFile(stream, layout);
        const WorkbookCells before = ReadWorkbookCells(stream);
        ASSERT_EQ(before.sheets.at(0).cells.at(0).text, longText);

        std::mt19937 random(7);
        Bytes damaged = file;
        for (const std::uint32_t unit : {endUnit - 8, endUnit + 8}) {  // the second after the first's 8
            Bytes cluster(4096);
            for (std::uint8_t& byte : cluster)
                byte = static_cast<std::uint8_t>(0x20 + random() % 95);
            damaged.insert(damaged.begin() + static_cast<std::ptrdiff_t>(kHeaderSize + std::size_t{unit} * kSectorSize),
                           cluster.begin(), cluster.end());
        }
        const Salvaged salvaged = Salvage(damaged, HeaderOf(file));
        ASSERT_TRUE(Sound(salvaged)) << shortOnes;
        const WorkbookCells after = ReadWorkbookCells(salvaged.workbook);
        ASSERT_EQ(after.sheets.size(), 1u);
        std::size_t numbers = 0;
        for (const CellValue& cell : after.sheets[0].cells) {
            if (cell.kind == CellKind::Number) {
                EXPECT_EQ(cell.number, cell.row + 0.5);
                ++numbers;
            } else {
                // (A string the table lost reads as no text.)
                EXPECT_TRUE(cell.text.empty() || cell.text == longText) << "row " << cell.row << " column " << cell.column;
            }
        }
        // (The one cell whose record crosses the joint after the second cluster may go.)
        EXPECT_GE(numbers, 29u) << "the numbers after the string table stay";
        return;
    }
    FAIL() << "no layout puts the record's end where the test needs it";
}

// A file cut short, its directory and tables with the cut, its workbook found by its records:
// where a link is lost, no unit whose records are of another substream's kinds (a sheet's
// cells in the globals) takes the stream on, and every cell up to the cut comes back.
TEST(Salvage, ACutFileKeepsItsRecordsInTheirSubstreams)
{
    const Bytes file = test::TestWorkbook("gnumeric__ttest.xls");
    const WorkbookCells before = ReadWorkbookCells(WorkbookStream(file));
    const Bytes cut(file.begin(), file.begin() + 48342);
    const std::optional<Bytes> repaired = RepairedBySalvage(cut);
    ASSERT_TRUE(repaired) << "the repair salvages it";
    const WorkbookCells after = ReadWorkbookCells(WorkbookStream(*repaired));
    ASSERT_EQ(after.sheets.size(), before.sheets.size());
    std::size_t cells = 0;
    for (std::size_t s = 0; s < before.sheets.size(); ++s) {
        EXPECT_EQ(test::CellLines(after.sheets[s].cells), test::CellLines(before.sheets[s].cells)) << "sheet " << s;
        cells += after.sheets[s].cells.size();
    }
    EXPECT_GT(cells, 700u);

    // From a private copy on disk, which the salvage reads where the file is mapped (the cut
    // sector filled out by the zeros past its end), the new file is the same to the byte.
    const test::ScratchFolder folder;
    std::filesystem::path path;
    OsFile copy = OsFile::CreateUnique(folder.Path(), path);
    copy.WriteAll(cut);
    const RepairReport planned = RepairHeader(copy, RebuildMode::Auto);
    ASSERT_TRUE(NeedsSalvage(planned));
    MemorySectorFile out;
    EXPECT_EQ(SalvageRepair(copy, planned, out).used, RebuildUsed::Salvaged);
    EXPECT_EQ(out.Bytes(), *repaired);
}

// A workbook found without its directory runs to its last sheet's own end record, past the end
// record of a chart the sheet holds, there where the chart's ends with a sector, and the sheet's
// records after it (its window): the sheet whose end went with them would send readers looking
// for it past the stream's end.
TEST(Salvage, AStreamFoundWithoutItsDirectoryRunsPastItsLastSheetsChart)
{
    Bytes numbers, chart = test::BofRecord(8, biff::kChartSubstream) + test::Record(biff::kChart, Bytes(16, 0));
    for (unsigned row = 0; row < 300; ++row)
        numbers += test::Record(biff::kNumber, test::Cell(row, 0) + test::Double(row + 0.5));
    chart += test::Record(biff::kEof, {});
    const Bytes window = test::Record(biff::kWindow2, Bytes(18, 0));
    const auto withLabel = [&](std::size_t length) {
        const Bytes label = test::Record(biff::kLabel, test::Cell(400, 0) + test::Le16(static_cast<unsigned>(length)) + Bytes{0} +
                                                           Bytes(length, 'a'));
        return test::Workbook(8, {}, {{"First", numbers}, {"Plotted", numbers + label + chart + window}});
    };
    // (The label's length puts the chart's end record at the end of a sector.)
    const Bytes unaligned = withLabel(100);
    const std::size_t chartEnd =
        static_cast<std::size_t>(std::search(unaligned.begin(), unaligned.end(), chart.begin(), chart.end()) - unaligned.begin()) + chart.size();
    const Bytes workbook = withLabel(100 + (kSectorSize - chartEnd % kSectorSize));
    const Salvaged salvaged = Salvage(WrittenWithoutDirectory({{.name = u"Workbook", .data = workbook}}), HeaderBytes{});
    ASSERT_TRUE(salvaged.report.directoryLost);
    ExpectWholeWorkbook(salvaged, workbook, "a chart in the last sheet");
    EXPECT_EQ(salvaged.workbook.size(), workbook.size());
}

// A small workbook lives in the mini stream. Cut off with the file's last sectors, where they
// held the mini stream's table and the allocation table (SheetJS's), the chain of the mini
// stream, whose sectors lie out of order, is guessed, and the workbook is gathered by its
// records. Every cell comes back; with the mini stream's table kept, the records do not tell
// every sector's place, and a cell is the original's or empty (a text whose string went).
TEST(Salvage, ASmallWorkbookComesBackWhereTheMiniStreamsChainWasCutOff)
{
    const struct {
        const char* name;
        std::size_t lost;  // bytes cut off the end
        bool whole;
    } cases[] = {{"sheetjs__minimal_112.xls", 546, true}, {"sheetjs__minimal_112.xls", 472, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + (", " + std::to_string(c.lost) + " bytes cut off"));
        const Bytes file = test::TestWorkbook(c.name);
        const Bytes stream = WorkbookStream(file);
        ASSERT_LT(stream.size(), kMiniStreamCutoff);
        const WorkbookCells before = ReadWorkbookCells(stream);
        const Bytes cut(file.begin(), file.end() - static_cast<std::ptrdiff_t>(c.lost));
        const std::optional<Bytes> repaired = RepairedBySalvage(cut);
        ASSERT_TRUE(repaired) << "the repair salvages it";
        const WorkbookCells after = ReadWorkbookCells(WorkbookStream(*repaired));
        ASSERT_EQ(after.sheets.size(), before.sheets.size());
        for (std::size_t s = 0; s < before.sheets.size(); ++s) {
            const std::vector<std::string> original = test::CellLines(before.sheets[s].cells);
            const std::vector<std::string> back = test::CellLines(after.sheets[s].cells);
            EXPECT_FALSE(original.empty());
            if (c.whole) {
                EXPECT_EQ(back, original) << "sheet " << s;
                continue;
            }
            EXPECT_EQ(back.size(), original.size());
            for (const std::string& cell : back)
                EXPECT_TRUE(std::find(original.begin(), original.end(), cell) != original.end() || cell.ends_with("text \"\"")) << cell;
        }
    }
}

// The file's first 4 KiB wiped, and with them the globals and the stream's first sectors; the
// sheet's first record, which survives, starts in a sector's last bytes and runs on into the
// next: the sheet is found by it all the same, with every cell.
TEST(Salvage, ASheetWhoseFirstRecordSpansTwoSectorsIsFound)
{
    using test::operator+;
    Bytes cells;
    for (unsigned row = 0; row < 60; ++row)
        cells += test::Record(biff::kNumber, test::Cell(row, 0) + test::Double(row * 3 + 0.5));
    const auto build = [&](std::size_t padding) {
        return test::Workbook(8, test::Record(biff::kMsoDrawingGroup, Bytes(padding, 0x42)), {{"Data", cells}});
    };
    // The sheet's first record 6 bytes before the end of the stream's sixth sector, which is
    // the file's eighth (sectors 2 to 6 hold the stream's first five, wiped).
    const std::size_t at = ReadWorkbookCells(build(1000)).sheets.at(0).offset;
    const Bytes stream = build(1000 + 6 * kSectorSize - 6 - at);
    const WorkbookCells before = ReadWorkbookCells(stream);
    ASSERT_EQ(before.sheets.at(0).offset, 6 * kSectorSize - 6);
    const test::LargeLayout layout = TableDirectoryThenStream(stream);
    const std::optional<WorkbookCells> salvaged = SalvagedWithoutFirst4KiB(test::LargeWorkbookFile(stream, layout));
    ASSERT_TRUE(salvaged) << "the repair salvages it";
    const WorkbookCells& after = *salvaged;
    ASSERT_EQ(after.sheets.size(), 1u);
    EXPECT_EQ(test::CellLines(after.sheets[0].cells), test::CellLines(before.sheets[0].cells));
}

// A sparse sheet (a row in three, two cells a row), its file's first 4 KiB wiped and every link
// with them. Where a cell record's header ends one sector and its row and column begin the
// next, that cell says the next sector goes on in the same row, though the cells after it lie
// three rows down; a sector of another stream, placed as a fragment would be and holding cells
// of the row in hand, must not take the sheet on there.
TEST(Salvage, ACellRecordAcrossAJointSaysWhereTheSheetGoesOn)
{
    using test::operator+;
    Bytes cells;
    std::map<std::pair<unsigned, unsigned>, double> original;
    for (unsigned row = 0; row < 600; row += 3) {
        for (unsigned column = 0; column < 2; ++column) {
            const double value = row * 10 + column + 0.5;
            cells += test::Record(biff::kNumber, test::Cell(row, column) + test::Double(value));
            original[{row, column}] = value;
        }
    }
    // The first joint past the wiped sectors where a cell's header ends a sector and its row
    // begins the next, the second cell of its row there: the globals padded past the wiped
    // sectors, and until there is one.
    Bytes stream;
    std::size_t straddling = 0;
    for (std::size_t padding = 0; padding < 64 && straddling == 0; padding += 2) {
        stream = test::Workbook(8, test::Record(biff::kMsoDrawingGroup, Bytes(4000 + padding, 0x42)), {{"Sparse", cells}});
        for (std::size_t at = 0; at + 4 <= stream.size(); at += 4u + LoadLe16(stream.data() + at + 2)) {
            const std::size_t joint = (at / kSectorSize + 1) * kSectorSize;
            if (at >= 8 * kSectorSize && LoadLe16(stream.data() + at) == biff::kNumber && at + 4 <= joint && at + 8 > joint &&
                LoadLe16(stream.data() + at + 6) == 1) {
                straddling = at;
                break;
            }
        }
    }
    ASSERT_NE(straddling, 0u) << "the sheet has such a joint";
    const std::size_t joint = (straddling / kSectorSize + 1) * kSectorSize;
    const unsigned straddlingRow = LoadLe16(stream.data() + straddling + 4);
    // The table and the directory in the first sectors, the workbook after them; then, in
    // sectors no chain holds, one of pattern bytes and one whose records take up the row in
    // hand exactly where the sheet's next record would begin, with values it does not hold.
    const test::LargeLayout layout = TableDirectoryThenStream(stream, 2);
    Bytes file = test::LargeWorkbookFile(stream, layout);
    std::uint8_t* pattern = file.data() + file.size() - 2 * kSectorSize;
    std::iota(pattern, pattern + kSectorSize, std::uint8_t{7});
    Bytes decoy(straddling + 18 - joint, 0);
    for (unsigned column = 2; decoy.size() < 2 * kSectorSize; ++column)
        decoy += test::Record(biff::kNumber, test::Cell(straddlingRow, column) + test::Double(-7.25 - column));
    std::copy_n(decoy.begin(), kSectorSize, file.end() - kSectorSize);
    ASSERT_EQ(WorkbookStream(file), stream);

    const std::optional<WorkbookCells> salvaged = SalvagedWithoutFirst4KiB(file);
    ASSERT_TRUE(salvaged) << "the repair salvages it";
    ASSERT_EQ(salvaged->sheets.size(), 1u);
    std::size_t held = 0;
    for (const CellValue& cell : salvaged->sheets[0].cells) {
        const auto place = original.find({cell.row, cell.column});
        ASSERT_TRUE(place != original.end() && place->second == cell.number)
            << "row " << cell.row << " column " << cell.column << ": " << cell.number;
        ++held;
    }
    EXPECT_GT(held, original.size() - 40) << "all but the cells in the wiped sectors";
    EXPECT_EQ(salvaged->sheets[0].cells.back().row, 597u);
}

// The file's first 4 KiB wiped, and with them the globals and the only sheet's first records:
// no sheet begins anywhere. The records that survive are a sheet's all the same, and come back
// as one, said to have lost its first records; each cell is the original's, texts too, read in
// the version their records fit (BIFF5's byte strings, BIFF8's characters). The salvage tells
// how far it has come as it goes.
TEST(Salvage, ASheetWhoseFirstRecordsWentComesBackFromTheRest)
{
    using test::operator+;
    for (const int biff : {8, 5}) {
        SCOPED_TRACE("BIFF" + std::to_string(biff));
        const auto rows = [biff](unsigned count) {
            Bytes cells;
            for (unsigned row = 0; row < count; ++row) {
                const std::string text = "row " + std::to_string(row);
                cells += test::Record(biff::kNumber, test::Cell(row, 0) + test::Double(row * 1.5)) +
                         test::Record(biff::kLabel, test::Cell(row, 1) + test::Le16(static_cast<unsigned>(text.size())) +
                                                        (biff == 8 ? Bytes{0} : Bytes{}) + test::Ascii(text));
            }
            return cells;
        };
        const Bytes stream = test::Workbook(biff, {}, {{"Only", rows(300)}});
        const test::LargeLayout layout = TableDirectoryThenStream(stream);
        const Bytes file = test::LargeWorkbookFile(stream, layout);
        const WorkbookCells before = ReadWorkbookCells(WorkbookStream(file));
        ASSERT_EQ(before.sheets.at(0).cells.size(), 600u);
        ASSERT_LT(before.sheets[0].offset, 5u * kSectorSize) << "the sheet begins in the wiped sectors";

        Bytes damaged = file;
        std::fill_n(damaged.begin(), 4096, std::uint8_t{0});
        MemorySectorFile in(damaged);
        const RepairReport planned = RepairHeader(in, RebuildMode::Auto);
        ASSERT_TRUE(NeedsSalvage(planned));
        MemorySectorFile out;
        std::vector<int> told;  // how far the salvage said it had come
        const RepairReport salvaged = SalvageRepair(in, planned, out, [&told](int percent) { told.push_back(percent); });
        ASSERT_EQ(salvaged.used, RebuildUsed::Salvaged) << "the repair salvages it";
        ASSERT_FALSE(told.empty());
        EXPECT_EQ(told.front(), 0);
        EXPECT_EQ(told.back(), 100);
        EXPECT_TRUE(std::is_sorted(told.begin(), told.end())) << "progress never goes back";
        ASSERT_EQ(salvaged.salvage->outcomes.size(), 1u);
        const SheetOutcome& sheet = salvaged.salvage->outcomes[0];
        EXPECT_TRUE(sheet.startLost);
        EXPECT_EQ(sheet.state, SheetState::Partial);
        EXPECT_FALSE(SalvageComplete(*salvaged.salvage));

        const WorkbookCells after = ReadWorkbookCells(WorkbookStream(out.Bytes()));
        ASSERT_EQ(after.sheets.size(), 1u);
        std::map<std::pair<unsigned, unsigned>, std::string> original;
        for (const CellValue& cell : before.sheets[0].cells)
            original[{cell.row, cell.column}] = test::CellLine(cell);
        for (const CellValue& cell : after.sheets[0].cells) {
            const auto place = original.find({cell.row, cell.column});
            ASSERT_TRUE(place != original.end() && place->second == test::CellLine(cell)) << test::CellLine(cell);
        }
        // The stream's first 2560 bytes went: a few more than 100 rows.
        EXPECT_GT(after.sheets[0].cells.size(), 360u);

        // The first sector that survives opens with the sheet's settings (page margins), no
        // cell among its first records, and a text after them: it is taken with the sectors
        // after it, whose cells tell the sheet, since its records run on into theirs.
        const Bytes globalsOnly = test::Workbook(biff, {}, {{"Only", {}}});
        const std::size_t sheetStart = ReadWorkbookCells(globalsOnly).sheets.at(0).offset + (biff == 8 ? 20 : 12);
        Bytes settings;
        while (sheetStart + settings.size() < 5 * kSectorSize + 110)
            settings += test::Record(0x0026, test::Double(0.75));
        const std::string label = "after the margins";
        const Bytes labelled = test::Workbook(
            biff, {},
            {{"Only", settings + test::Record(biff::kLabel, test::Cell(400, 3) + test::Le16(static_cast<unsigned>(label.size())) +
                                                                (biff == 8 ? Bytes{0} : Bytes{}) + test::Ascii(label)) +
                          rows(300)}});
        const std::optional<WorkbookCells> margins = SalvagedWithoutFirst4KiB(test::LargeWorkbookFile(labelled, TableDirectoryThenStream(labelled)));
        ASSERT_TRUE(margins) << "the repair salvages the one with margins";
        ASSERT_EQ(margins->sheets.size(), 1u);
        EXPECT_TRUE(std::any_of(margins->sheets[0].cells.begin(), margins->sheets[0].cells.end(),
                                [&](const CellValue& cell) { return cell.row == 400 && cell.text == label; }))
            << "the text among the first sector's records";

        // A small workbook, in the mini stream, whose first 512 bytes (its globals and the
        // sheet's first records) went: the rest of the sheet is found in what its entry's chain
        // holds.
        const Bytes small = test::Workbook(biff, {}, {{"Only", rows(60)}});
        ASSERT_LT(small.size(), kMiniStreamCutoff);
        Bytes minis = Written({{.name = biff == 8 ? u"Workbook" : u"Book", .data = small}});
        const auto first = std::search(minis.begin(), minis.end(), small.begin(), small.begin() + kSectorSize);
        ASSERT_NE(first, minis.end()) << "the stream's first 512 bytes lie together";
        std::fill_n(first, kSectorSize, std::uint8_t{0});
        const std::optional<Bytes> repaired = RepairedBySalvage(minis);
        ASSERT_TRUE(repaired) << "the repair salvages the small one";
        const WorkbookCells rest = ReadWorkbookCells(WorkbookStream(*repaired));
        ASSERT_EQ(rest.sheets.size(), 1u);
        for (const CellValue& cell : rest.sheets[0].cells) {
            const auto place = original.find({cell.row, cell.column});
            EXPECT_TRUE(place != original.end() && place->second == test::CellLine(cell)) << test::CellLine(cell);
        }
        EXPECT_GT(rest.sheets[0].cells.size(), 80u);
    }
}

// A workbook stream written in pieces (its sectors 16 to 19 lie before 8 to 15 in the file), its
// first 8 sectors and the header wiped, the allocation table and directory intact: the sheet's
// rest is taken from the first sector the surviving links lead back to, not from the first one
// in the file's order, and every cell past the wiped bytes comes back.
TEST(Salvage, ASheetWhoseStartWentGoesOnFromWhereItsLinksLeadBack)
{
    using test::operator+;
    Bytes cells;
    for (unsigned row = 0; row < 400; ++row) {
        const std::string text = "row " + std::to_string(row);
        cells += test::Record(biff::kNumber, test::Cell(row, 0) + test::Double(row * 1.5)) +
                 test::Record(biff::kLabel, test::Cell(row, 1) + test::Le16(static_cast<unsigned>(text.size())) + Bytes{0} + test::Ascii(text));
    }
    const Bytes stream = test::Workbook(8, {}, {{"Only", cells}});
    const Bytes contiguous = Written({{.name = u"Workbook", .data = stream}});
    const std::vector<std::uint32_t> table = AllocationTable(contiguous);
    const std::uint8_t* directory = contiguous.data() + kHeaderSize + LoadLe32(contiguous.data() + kFirstDirectorySectorOffset) * kSectorSize;
    std::vector<std::uint32_t> chain;
    for (std::uint32_t s = LoadLe32(directory + kDirectoryEntrySize + 116); s < table.size() && chain.size() < table.size(); s = table[s])
        chain.push_back(s);
    ASSERT_GT(chain.size(), 24u);
    const std::uint32_t sectors = static_cast<std::uint32_t>((contiguous.size() - kHeaderSize) / kSectorSize);
    std::vector<std::uint32_t> order(sectors);
    std::iota(order.begin(), order.end(), 0u);
    for (std::uint32_t k = 8; k < 20; ++k)
        order[chain[k]] = chain[k < 16 ? k + 4 : k - 8];
    Bytes damaged = Relocated(contiguous, order);
    ASSERT_EQ(WorkbookStream(damaged), stream);
    std::fill_n(damaged.begin(), kHeaderSize, std::uint8_t{0});
    for (std::uint32_t k = 0; k < 8; ++k)
        ZeroSector(damaged, chain[k]);

    const std::optional<Bytes> repaired = RepairedBySalvage(damaged);
    ASSERT_TRUE(repaired) << "the repair salvages it";
    const WorkbookCells before = ReadWorkbookCells(stream), after = ReadWorkbookCells(WorkbookStream(*repaired));
    ASSERT_EQ(after.sheets.size(), 1u);
    const std::vector<std::string> back = test::CellLines(after.sheets[0].cells);
    for (const CellValue& cell : before.sheets.at(0).cells) {
        if (cell.offset >= 8 * kSectorSize + 40) {  // (the record across the wiped bytes' end aside)
            EXPECT_TRUE(std::find(back.begin(), back.end(), test::CellLine(cell)) != back.end()) << test::CellLine(cell);
        }
    }
    const std::vector<std::string> original = test::CellLines(before.sheets[0].cells);
    for (const std::string& cell : back)
        EXPECT_TRUE(std::find(original.begin(), original.end(), cell) != original.end()) << cell;
}

// Numbers below the smallest normal double (Gnumeric writes them) in a small workbook whose
// first 512 bytes were wiped, with its directory or without it: the rest of the sheet is found
// after the zeros, and since the damage only wiped bytes, every such number that survives is
// the workbook's own and comes back. Where the same bytes were overwritten instead, a tiny
// number may be a zero with a changed bit: those go, the others stay.
TEST(Salvage, TinyNumbersAfterAWipedStartComeBack)
{
    using test::operator+;
    Bytes cells;
    std::map<std::pair<unsigned, unsigned>, double> original;
    for (unsigned row = 0; row < 60; ++row) {
        const double tiny = std::bit_cast<double>(std::uint64_t{0x0000'1268'8B70'E62Bull} + row);
        cells += test::Record(biff::kNumber, test::Cell(row, 0) + test::Double(row * 1.5 + 0.25)) +
                 test::Record(biff::kNumber, test::Cell(row, 1) + test::Double(tiny));
        original[{row, 0}] = row * 1.5 + 0.25;
        original[{row, 1}] = tiny;
    }
    const Bytes small = test::Workbook(8, {}, {{"Tiny", cells}});
    ASSERT_LT(small.size(), kMiniStreamCutoff);
    const Bytes file = Written({{.name = u"Workbook", .data = small}});
    const auto first = std::search(file.begin(), file.end(), small.begin(), small.begin() + kSectorSize) - file.begin();
    ASSERT_LT(first, std::ssize(file)) << "the stream's first 512 bytes lie together";
    for (const bool directoryLost : {false, true}) {
        for (const std::uint8_t fill : {std::uint8_t{0}, std::uint8_t{0x5A}}) {
            const std::string what = std::string(directoryLost ? "without" : "with") + " its directory, the start " + (fill ? "overwritten" : "wiped");
            Bytes damaged = file;
            std::fill_n(damaged.begin() + first, kSectorSize, fill);
            if (directoryLost)
                ZeroSector(damaged, LoadLe32(file.data() + kFirstDirectorySectorOffset));
            const std::optional<Bytes> repaired = RepairedBySalvage(damaged);
            ASSERT_TRUE(repaired) << what;
            const WorkbookCells after = ReadWorkbookCells(WorkbookStream(*repaired));
            ASSERT_EQ(after.sheets.size(), 1u) << what;
            std::size_t numbers = 0, tiny = 0;
            for (const CellValue& cell : after.sheets[0].cells) {
                const auto place = original.find({cell.row, cell.column});
                ASSERT_TRUE(place != original.end() && place->second == cell.number) << what << ": " << test::CellLine(cell);
                ++(cell.column == 0 ? numbers : tiny);
            }
            EXPECT_GT(numbers, 40u) << what;
            EXPECT_EQ(tiny, fill == 0 ? numbers : 0u) << what;
        }
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
        StoreLe16(records.data() + offset, biff::kNumber);  // NUMBER, stretched to 124 bytes
        StoreLe16(records.data() + offset + 2, 124);
    }
    StoreLe16(records.data() + kHeaderSize + 4 * kSectorSize, biff::kBof);

    // 4 MiB of cell records one after another, a sheet's BOF near the end, no header, table or
    // directory: the sheet's globals are looked for in the sectors before it, as far back as
    // the records run on, which here is everywhere.
    Bytes cells(kHeaderSize + 8192 * kSectorSize, 0);
    const std::size_t bof = kHeaderSize + (cells.size() - 3 * kSectorSize) / 14 * 14;
    for (std::size_t at = kHeaderSize, row = 0; at + 20 <= cells.size(); ++row) {
        StoreLe16(cells.data() + at, at == bof ? biff::kBof : biff::kRk);  // a worksheet's BOF, else RK
        StoreLe16(cells.data() + at + 2, at == bof ? 16 : 10);
        StoreLe16(cells.data() + at + 4, at == bof ? 0x0600 : static_cast<std::uint16_t>(row));
        StoreLe16(cells.data() + at + 6, at == bof ? 0x0010 : 1);
        at += at == bof ? 20 : 14;
    }

    Bytes looping = file;
    const std::uint32_t table = LoadLe32(header.data() + kHeaderDifatOffset);
    for (std::uint32_t j = 0; j < kEntriesPerFatSector; ++j)
        StoreLe32(looping.data() + kHeaderSize + std::size_t{table} * kSectorSize + 4 * j, (j + 1) % 7);
    for (const Salvaged& salvaged : {Salvage(records, header), Salvage(cells, HeaderBytes{}), Salvage(looping, header)}) {
        if (salvaged.report.written) {
            EXPECT_TRUE(Sound(salvaged));
        }
    }
}

// What the salvage finds a workbook stream from is looked for at every byte, across the pieces
// the file is read in, and up to its end (its last sector filled out with zeros): a file with
// nothing of it is refused unread, but one trace anywhere sends it to the salvage.
TEST(Salvage, ATraceOfAWorkbookAnywhereIsFound)
{
    using test::operator+;
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    const Bytes blank(3 * kPiece + 100, 0xFF);
    Bytes noise(blank.size());
    std::mt19937 random(3);
    for (auto& byte : noise)
        byte = static_cast<std::uint8_t>(random());
    const auto holds = [](const Bytes& bytes) {
        MemorySectorFile file(bytes);
        return salvage::HoldsTraceOfWorkbook(file);
    };
    EXPECT_FALSE(holds(blank));
    EXPECT_FALSE(holds(Bytes(700, 0xAA)));
    EXPECT_FALSE(holds(noise));
    EXPECT_TRUE(holds(test::TestWorkbook("xlrd__issue20.xls")));

    const auto with = [](Bytes file, std::size_t at, const Bytes& bytes) {
        std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
        return file;
    };
    const auto utf16 = [](std::u16string_view name) {
        Bytes bytes;
        for (const char16_t c : name)
            bytes.insert(bytes.end(), {static_cast<std::uint8_t>(c & 0xFF), static_cast<std::uint8_t>(c >> 8)});
        return bytes;
    };
    const Bytes sheetStart = test::BofRecord(8, 0x10);
    const Bytes workbookStart = test::BofRecord(8, 5);
    Bytes cells;
    for (unsigned row = 0; row < 12; ++row)
        cells += test::Record(biff::kNumber, test::Cell(row, 0) + test::Double(row + 0.5));
    const struct {
        const char* name;
        std::size_t at;
        Bytes bytes;
        bool found;
    } traces[] = {
        {"a sheet's first record across two pieces", kPiece - 5, sheetStart, true},
        {"a sheet's first record in the last bytes", blank.size() - sheetStart.size(), sheetStart, true},
        {"a workbook's first record at a unit", 2 * kPiece + 3 * 64, workbookStart, true},
        {"a workbook's first record off the units", 2 * kPiece + 3 * 64 + 2, workbookStart, false},
        {"a sheet's records from a sector's end into the next piece", kPiece - 100, cells, true},
        {"the workbook's name, letters' case aside, across two pieces", kPiece - 7, utf16(u"wORKBOOK"), true},
        {"the older name at an odd place", 2 * kPiece + 13, utf16(u"BooK"), true},
    };
    for (const auto& trace : traces) {
        EXPECT_EQ(holds(with(blank, trace.at, trace.bytes)), trace.found) << trace.name;
        EXPECT_EQ(holds(with(noise, trace.at, trace.bytes)), trace.found) << trace.name << ", among random bytes";
    }
}

}  // namespace
}  // namespace tabulon
