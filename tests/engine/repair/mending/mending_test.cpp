// The mending of a workbook stream on its own, without a compound file around it: streams
// built record by record, damaged in one way each, mended, and read again against the intact
// stream's cells.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <tuple>

#include "engine/base/byte_order.h"
#include "engine/biff/biff_cells.h"
#include "engine/biff/record_scan.h"
#include "engine/biff/records.h"
#include "engine/cfb/compound_reader.h"
#include "engine/repair/mending/mending.h"
#include "engine/repair/workbook/workbook.h"
#include "tests/support/biff_builder.h"
#include "tests/support/cell_lines.h"
#include "tests/support/workbooks.h"

namespace tabulon {
namespace {

using test::Bytes;
using test::Cell;
using test::Le16;
using test::Le32;
using test::Record;
using test::operator+;
using test::operator+=;

// Rows of a number, a label and an integer: records of fixed and of varying length.
Bytes Rows(unsigned first, unsigned count, unsigned seed)
{
    Bytes records;
    for (unsigned row = first; row < first + count; ++row) {
        const std::string label = "Row " + std::to_string(seed + row);
        records += Record(biff::kNumber, Cell(row, 0) + test::Double(seed + row * 1.5 + 0.25)) +
                   Record(biff::kLabel, Cell(row, 1) + Le16(static_cast<unsigned>(label.size())) + Bytes{0} + test::Ascii(label)) +
                   Record(biff::kRk, Cell(row, 2) + Le32(((seed + row) << 2) | 2));
    }
    return records;
}

// Row 10 and the integer 2 are left out: their cells' bytes read as an EOF record (a case of
// its own below).
const Bytes kIntact = test::Workbook(8, Record(biff::kCodePage, Le16(1200)), {{"One", Rows(11, 30, 3)}, {"Two", Rows(11, 20, 500)}});

// Each cell as its sheet, the place of its record and its value: mending moves no record that reads.
std::set<std::string> PlacedCells(std::span<const std::uint8_t> stream)
{
    std::set<std::string> cells;
    const WorkbookCells book = ReadWorkbookCells(stream);
    for (std::size_t sheet = 0; sheet < book.sheets.size(); ++sheet) {
        for (const CellValue& cell : book.sheets[sheet].cells)
            cells.insert(book.sheets[sheet].name + " @" + std::to_string(cell.offset) + " " + test::CellLine(cell));
    }
    return cells;
}

// Mends a copy and checks what holds for every mend: the records then read, one after another.
Bytes Mended(const Bytes& damaged, std::vector<MendedRegion>* regions = nullptr, bool seen = true)
{
    Bytes stream = damaged;
    const std::vector<MendedRegion> mended = MendWorkbookStream(stream);
    EXPECT_EQ(mended.empty(), !seen) << "damage left unmended";
    EXPECT_EQ(FirstRecordDamage(stream), std::nullopt) << "the mended stream is still damaged";
    if (regions)
        *regions = mended;
    return stream;
}

// `count` shared strings ("<prefix> <k * step>"), and a cell in column A of row k showing the k-th.
std::pair<std::vector<std::string>, Bytes> StringsAndCells(unsigned count, const std::string& prefix, unsigned step)
{
    std::vector<std::string> strings;
    Bytes cells;
    for (unsigned k = 0; k < count; ++k) {
        strings.push_back(prefix + " " + std::to_string(k * step));
        cells += Record(biff::kLabelSst, Cell(k, 0) + Le32(k));
    }
    return {strings, cells};
}

// The texts `damaged` shows once mended that begin with `prefix`; every cell it shows is the
// intact workbook's, or a text that did not come back (the table keeps its place, empty).
// The intact workbook's cells, sorted: looked up once a mended cell (thousands of them).
std::vector<std::string> SortedCells(const Bytes& intact)
{
    std::vector<std::string> cells = test::CellLines(ReadWorkbookCells(intact));
    std::sort(cells.begin(), cells.end());
    return cells;
}

std::size_t TextsAfterMending(const std::vector<std::string>& original, const Bytes& damaged, const std::string& prefix)
{
    const std::vector<std::string> mended = test::CellLines(ReadWorkbookCells(Mended(damaged)));
    for (const std::string& line : mended)
        EXPECT_TRUE(line.ends_with("text \"\"") || std::binary_search(original.begin(), original.end(), line)) << line;
    return static_cast<std::size_t>(std::count_if(mended.begin(), mended.end(), [&](const std::string& line) {
        return line.find("text \"" + prefix) != std::string::npos;
    }));
}

std::size_t TextsAfterMending(const Bytes& intact, const Bytes& damaged, const std::string& prefix)
{
    return TextsAfterMending(SortedCells(intact), damaged, prefix);
}

void ExpectLeftAsItIs(const std::string& what, const Bytes& intact)
{
    EXPECT_EQ(FirstRecordDamage(intact), std::nullopt) << what;
    Bytes stream = intact;
    EXPECT_TRUE(MendWorkbookStream(stream).empty()) << what;
    EXPECT_EQ(stream, intact) << what;
}

// Where the globals' last entry in the list of sheets begins.
std::size_t LastSheetEntry(const Bytes& stream)
{
    std::size_t entry = 0;
    for (std::size_t at = 0; LoadLe16(stream.data() + at) != biff::kEof; at += 4u + LoadLe16(stream.data() + at + 2))
        entry = LoadLe16(stream.data() + at) == biff::kBoundSheet ? at : entry;
    return entry;
}

Bytes StreamOf(const char* name)
{
    MemorySectorFile file(test::TestWorkbook(name));
    return ReadWorkbookStream(file).value();
}

// Where the list of sheets says the first sheet begins.
std::size_t FirstSheetOffset(const Bytes& stream)
{
    std::size_t at = 0;
    while (LoadLe16(stream.data() + at) != biff::kBoundSheet)
        at += 4u + LoadLe16(stream.data() + at + 2);
    return LoadLe32(stream.data() + at + 4);
}

// Whether IntactRecords tells `stream` intact, handed over as the compound-file reader hands it,
// a run of sectors at a time (`piece` bytes: records run on from one piece into the next).
bool ToldIntact(const Bytes& stream, std::size_t piece = 3 * 512)
{
    IntactRecords intact;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        if (!intact.Take(std::span(stream).subspan(at, std::min(piece, stream.size() - at))))
            return false;
    }
    return intact.Intact();
}

// Whether the check of a workbook's records would find damage in `stream`: where they first
// go wrong, or a stretch of more than a record's header the mending replaces.
bool MendingActs(const Bytes& stream)
{
    if (FirstRecordDamage(stream))
        return true;
    Bytes mended = stream;
    const std::vector<MendedRegion> regions = MendWorkbookStream(mended);
    return std::any_of(regions.begin(), regions.end(), [](const MendedRegion& r) { return r.length > 4; });
}

// A stream told intact a piece at a time is never one the check of its records finds damage
// in, whatever the damage: real workbooks' streams with a bit flipped, a unit zeroed or a
// record's bytes changed (told intact or not, never wrongly). The intact streams are told so.
TEST(IntactRecords, NeverToldOfAStreamTheMendingActsOn)
{
    std::vector<std::pair<std::string, Bytes>> streams = {{"built", kIntact}};
    for (const char* name : {"readxl__mtcars.xls", "xlrd__issue20.xls", "poi__47847.xls", "npoi__59858.xls",
                             "readxl__more-than-256-unique-strings-xls.xls", "phpss__biff8cover.xls", "lotest__300-worksheets.xls"})
        streams.emplace_back(name, StreamOf(name));
    std::mt19937 random(77);
    int toldIntact = 0, damagedToldIntact = 0;
    for (const auto& [name, stream] : streams) {
        SCOPED_TRACE(name);
        ASSERT_FALSE(MendingActs(stream));
        // (One holds a record header of four zero bytes, which the mending's walk takes for a
        // break it fills again: read whole to be told intact.)
        const bool fourZeros = name == "readxl__mtcars.xls";
        EXPECT_EQ(ToldIntact(stream), !fourZeros);
        EXPECT_EQ(ToldIntact(stream, std::size_t{1} << 20), !fourZeros) << "in 1 MiB pieces";
        toldIntact += ToldIntact(stream) ? 1 : 0;
        for (int k = 0; k < 40; ++k) {
            Bytes damaged = stream;
            const std::size_t at = random() % stream.size();
            std::string what;
            switch (k % 3) {
            case 0:
                damaged[at] ^= static_cast<std::uint8_t>(1u << (random() % 8));
                what = "bit flipped at " + std::to_string(at);
                break;
            case 1:
                std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(at / 64 * 64), std::min<std::size_t>(64, stream.size() - at / 64 * 64), 0);
                what = "unit zeroed at " + std::to_string(at / 64 * 64);
                break;
            default:
                damaged[at] = static_cast<std::uint8_t>(random());
                what = "byte changed at " + std::to_string(at);
            }
            if (ToldIntact(damaged)) {
                ++damagedToldIntact;
                EXPECT_FALSE(MendingActs(damaged)) << what;
            }
        }
    }
    EXPECT_EQ(toldIntact, static_cast<int>(streams.size()) - 1);
    EXPECT_GT(damagedToldIntact, 0) << "(bytes no rule reads, a string's character, a number's, do change)";
}

// Each rule of the mending that acts on records which all read has its stream told not intact:
// a cell past the last column, a number no program writes, a chart's record right in a
// worksheet, a zeroed unit in a text, an entry of the list that misses its sheet, a first
// record with an odd field, a sheet name's length a bit off, the last end record cut off,
// records between substreams, a sheet that begins inside the one before.
TEST(IntactRecords, StreamsTheMendingActsOnAreNotToldIntact)
{
    ASSERT_TRUE(ToldIntact(kIntact));
    const std::size_t sheet = FirstSheetOffset(kIntact);
    const std::size_t firstCell = sheet + test::BofRecord(8, 0x10).size();  // the NUMBER of row 11
    const auto with = [](Bytes stream, std::size_t at, const Bytes& bytes) {
        std::copy(bytes.begin(), bytes.end(), stream.begin() + static_cast<std::ptrdiff_t>(at));
        return stream;
    };
    const Bytes chartInSheet = test::Workbook(
        8, {}, {{"One", Rows(11, 30, 3) + Record(biff::kChart, Bytes(16, 1)) + Record(biff::kSiIndex, Le16(1)) + Rows(41, 5, 3)}});
    Bytes label = kIntact;
    const std::size_t labelAt = firstCell + 4 + 14;
    ASSERT_EQ(LoadLe16(label.data() + labelAt), biff::kLabel);
    Bytes longText = test::Workbook(8, {}, {{"One", Record(biff::kLabel, Cell(0, 1) + Le16(200) + Bytes{0} + Bytes(200, 'a'))}});
    const std::size_t text = FirstSheetOffset(longText) + test::BofRecord(8, 0x10).size() + 4 + 9;
    std::fill_n(longText.begin() + static_cast<std::ptrdiff_t>((text + 63) / 64 * 64), 64, std::uint8_t{0});
    Bytes entryOff = kIntact;
    const std::size_t entry = LastSheetEntry(entryOff) + 4;
    StoreLe32(entryOff.data() + entry, LoadLe32(entryOff.data() + entry) + 4);
    Bytes oddBof = kIntact;
    StoreLe16(oddBof.data() + sheet + 6, 0x0011);
    Bytes nameLength = kIntact;
    nameLength[LastSheetEntry(nameLength) + 4 + 6] ^= 0x04;
    const Bytes cut(kIntact.begin(), kIntact.end() - 4);
    const Bytes between = kIntact + Record(biff::kNumber, Cell(0, 0) + test::Double(1.5));
    // A chart in the first sheet without its end record, an end record after the last sheet:
    // the counts balance, but the second sheet begins inside the first.
    const Bytes chartOpen =
        test::Workbook(8, {}, {{"One", Rows(11, 30, 3) + test::BofRecord(8, biff::kChartSubstream) + Record(biff::kChart, Bytes(16, 0))},
                               {"Two", Rows(11, 20, 500)}}) +
        Record(biff::kEof, {});

    const struct {
        const char* name;
        Bytes stream;
    } cases[] = {
        {"a cell past the last column", with(kIntact, firstCell + 6, Le16(256))},
        {"a chart's record right in a worksheet", chartInSheet},
        {"a zeroed unit in a text", longText},
        {"an entry that misses its sheet", entryOff},
        {"a first record with an odd kind of substream", oddBof},
        {"a sheet name's length a bit off", nameLength},
        {"the last end record cut off", cut},
        {"records after the last substream", between},
        {"a sheet that begins inside the one before", chartOpen},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(MendingActs(c.stream));
        EXPECT_FALSE(ToldIntact(c.stream));
    }
}

TEST(RecordMend, IntactStreamsAreLeftAsTheyAre)
{
    ExpectLeftAsItIs("built, BIFF8", kIntact);
    ExpectLeftAsItIs("built, BIFF5", test::Workbook(5, {}, {{"Alone", Rows(0, 10, 0)}}));
    ExpectLeftAsItIs("built, no sheets", test::Workbook(8, {}, {}));
    for (const char* name : {"poi__47847.xls", "npoi__59858.xls", "lotest__300-worksheets.xls", "xlrd__issue20.xls"})
        ExpectLeftAsItIs(name, StreamOf(name));
    // What writers write that looks like damage: empty records of type 0 between page-setup
    // records (one writer's habit), and numbers below the smallest normal double (Gnumeric's
    // formula results and cells).
    const Bytes pageSetup = Record(0x0083, Le16(1)) + Record(0, {}) + Record(0x0084, Le16(0)) + Record(0, {}) + Record(0, {}) +
                            Record(0x0026, test::Double(0.75));
    ExpectLeftAsItIs("empty records of type 0", test::Workbook(8, {}, {{"One", Rows(0, 10, 0) + pageSetup}, {"Two", Rows(0, 3, 0)}}));
    const Bytes tiny = Record(biff::kFormula, Cell(12, 1) + test::Double(8e-323) + Le16(0) + Le32(0) + Le16(3) + Bytes{0x1E, 1, 0}) +
                       Record(biff::kNumber, Cell(13, 1) + test::Double(1e-310));
    ExpectLeftAsItIs("subnormal numbers", test::Workbook(8, {}, {{"One", Rows(0, 10, 0) + tiny}}));
}

// Padding after the last sheet's EOF (zeros that read as no record) stays, and no region is
// reported.
TEST(RecordMend, IntactStreamsKeepThePaddingAfterTheirLastSheet)
{
    for (const char* name : {"readxl__mtcars.xls", "poi__DBCSHeader.xls", "edr__Test_git_issue_231_NoCodePage.xls"})
        ExpectLeftAsItIs(name, StreamOf(name));
}

// Zeroes [from, to) of `intact` and mends it: the stretch becomes filler, no other byte
// changes, and every cell read afterwards is one of the intact stream's, in its place; those
// whose records lie after the stretch are all there again.
void ExpectZeroedStretchMended(const Bytes& intact, std::size_t from, std::size_t to)
{
    const std::string what = "zeroed " + std::to_string(from) + " to " + std::to_string(to);
    Bytes damaged = intact;
    std::fill(damaged.begin() + static_cast<std::ptrdiff_t>(from), damaged.begin() + static_cast<std::ptrdiff_t>(to), 0);
    // Zeros that happen to read as records (a header 0000 0000 before a body that reads as
    // a record) are damage the check does not see, but the mending does; unless they read as
    // the empty record a writer puts among a sheet's settings, followed by records that read on
    // (the bytes of a record whose header alone was zeroed, which every reader reads so).
    std::optional<std::uint64_t> damage = FirstRecordDamage(damaged);
    if (damage) {
        EXPECT_GE(*damage, from) << what << ": nothing before the stretch went wrong";
    }
    for (const BiffRecord& record : ListRecords(damaged)) {
        if (!damage && record.type == 0 && record.length == 0 && !biff::WrittenEmptyRecord(damaged, record.offset))
            damage = record.offset;
    }
    std::vector<MendedRegion> regions;
    const Bytes mended = Mended(damaged, &regions, damage.has_value());
    ASSERT_EQ(mended.size(), intact.size()) << what;
    std::vector<bool> replaced(mended.size(), false);
    for (const MendedRegion& region : regions) {
        EXPECT_EQ(region.kind, MendedRegion::Kind::Replaced) << what;
        std::fill_n(replaced.begin() + static_cast<std::ptrdiff_t>(region.offset), region.length, true);
    }
    for (std::size_t i = 0; i < mended.size(); ++i) {
        if (!replaced[i]) {
            ASSERT_EQ(mended[i], damaged[i]) << what << ": byte " << i << " changed outside what was mended";
        }
    }
    for (const BiffRecord& record : ListRecords(mended)) {
        // A zeroed header before bytes that read as a record reads as an unknown record itself.
        const bool zeros = record.type == 0 && record.length == 0;
        if (damage && record.offset + 4u + record.length > from && record.offset < to && !zeros) {
            EXPECT_TRUE(record.type == biff::kFillerRecord || record.type == biff::kBof || record.type == biff::kEof)
                << what << ": a record of type " << record.type << " at " << record.offset << " in the stretch";
        }
    }
    const std::set<std::string> intactCells = PlacedCells(intact);
    const std::set<std::string> cells = PlacedCells(mended);
    for (const std::string& cell : cells)
        EXPECT_TRUE(intactCells.count(cell)) << what << ": " << cell << " is not the intact stream's";
    for (const BiffRecord& record : ListRecords(intact)) {
        if (record.offset < to || !biff::IsCellRecord(record.type))
            continue;
        const std::string place = " @" + std::to_string(record.offset) + " ";
        EXPECT_TRUE(std::any_of(cells.begin(), cells.end(), [&](const std::string& cell) { return cell.find(place) != std::string::npos; }))
            << what << ": the cell of the record at " << record.offset << " is lost";
    }
}

// Stretches of several lengths from every record start in the sheets (up to the stream's end
// they are a cut, below).
TEST(RecordMend, AZeroedStretchBecomesFillerAndTheRecordsAfterItReadAgain)
{
    const std::uint32_t firstSheet = ReadWorkbookCells(kIntact).sheets.at(0).offset;
    int checked = 0;
    for (const BiffRecord& start : ListRecords(kIntact)) {
        for (const std::size_t length : {4u, 18u, 41u, 150u}) {
            if (start.offset > firstSheet && start.offset + length < kIntact.size()) {
                ExpectZeroedStretchMended(kIntact, start.offset, std::min(kIntact.size(), start.offset + length));
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 4 * 90);
}

// Bytes that read as a cell past the last column a sheet has (another file's, stitched in) hold
// no cell anyone wrote: that record goes, every cell around it stays; where most cells lie past
// the columns (an encrypted workbook's), they all go. A number below the smallest normal double
// (mostly zeros read as one) or one no program stores (NaN, infinity) goes only where the stream
// lost records elsewhere: Gnumeric writes formula results that small, and an intact workbook
// keeps them.
TEST(RecordMend, ACellNoWorkbookHoldsIsNoCell)
{
    const std::vector<BiffRecord> records = ListRecords(kIntact);
    const std::uint32_t firstSheet = ReadWorkbookCells(kIntact).sheets.at(0).offset;
    const auto numbers = std::count_if(records.begin(), records.end(), [&](const BiffRecord& r) { return r.type == biff::kNumber && r.offset > firstSheet; });
    ASSERT_GT(numbers, 10);
    const BiffRecord number = *std::find_if(records.begin(), records.end(), [&](const BiffRecord& r) {
        return r.type == biff::kNumber && r.offset > firstSheet + 200;
    });
    std::set<std::string> expected = PlacedCells(kIntact);
    std::erase_if(expected, [&](const std::string& cell) { return cell.find(" @" + std::to_string(number.offset) + " ") != std::string::npos; });
    Bytes pastColumns = kIntact;
    StoreLe16(pastColumns.data() + number.offset + 6, 0x1234);
    std::vector<MendedRegion> regions;
    EXPECT_EQ(PlacedCells(Mended(pastColumns, &regions)), expected);
    ASSERT_EQ(regions.size(), 1u);
    EXPECT_EQ(regions[0].offset, number.offset);

    const auto holdsTheNumber = [&](const Bytes& stream) {
        const std::set<std::string> cells = PlacedCells(stream);
        return std::any_of(cells.begin(), cells.end(), [&](const std::string& cell) {
            return cell.find(" @" + std::to_string(number.offset) + " ") != std::string::npos;
        });
    };
    const std::size_t hole = (kIntact.size() - 600) / 64 * 64;  // damage elsewhere
    ASSERT_GT(hole, number.offset + 64);
    const std::uint64_t tiny = 0x0000'0000'0012'3400ull;  // 6.0e-318
    for (const std::uint64_t bits : std::initializer_list<std::uint64_t>{tiny, 0x7FF8'0000'0000'0000ull /* NaN */, 0xFFF0'0000'0000'0000ull /* -inf */}) {
        Bytes odd = kIntact;
        StoreLe64(odd.data() + number.offset + 10, bits);
        EXPECT_TRUE(holdsTheNumber(Mended(odd, nullptr, false))) << bits << ": gone from a stream with no other damage";
        // Bytes changed elsewhere (a record's header garbled): a tiny number may be a zero with
        // a changed bit too.
        Bytes changed = odd;
        StoreLe32(changed.data() + ListRecords(kIntact).back().offset - 40, 0x5A5A5A5A);
        std::fill_n(changed.begin() + static_cast<std::ptrdiff_t>(hole), 512, 0x5A);
        EXPECT_FALSE(holdsTheNumber(Mended(changed))) << bits << ": kept beside changed bytes";
        // The stream zeroed from a unit past the number's record to its end (a small
        // workbook's last sector wiped): the walk ends at the zeros, and the tiny number stays.
        // (The sheets after it went: its sheet may move.)
        Bytes cutByZeros = odd;
        const std::size_t numberEnd = number.offset + 4u + number.length;
        std::fill(cutByZeros.begin() + static_cast<std::ptrdiff_t>((numberEnd + 20 + 63) / 64 * 64), cutByZeros.end(), 0);
        const std::string place = " @" + std::to_string(number.offset) + " ";
        const std::set<std::string> oddCells = PlacedCells(odd);
        const auto numberCell = std::find_if(oddCells.begin(), oddCells.end(), [&](const std::string& cell) { return cell.find(place) != std::string::npos; });
        ASSERT_NE(numberCell, oddCells.end());
        const std::string value = numberCell->substr(numberCell->find(place) + place.size());
        const std::set<std::string> cutCells = PlacedCells(Mended(cutByZeros));
        EXPECT_EQ(std::any_of(cutCells.begin(), cutCells.end(), [&](const std::string& cell) { return cell.ends_with(" " + value); }), bits == tiny)
            << bits << ": before a zeroed end";
        // A changed bit in the last end record, the writer's padding after it: zeros the
        // damage did not write, and the tiny number is doubted as beside any changed byte.
        Bytes padded = odd;
        padded.resize(padded.size() + 1024, 0);
        EXPECT_TRUE(holdsTheNumber(Mended(padded, nullptr, false))) << bits << ": gone from a padded stream with no damage";
        padded[ListRecords(kIntact).back().offset + 1] ^= 0x08;
        EXPECT_FALSE(holdsTheNumber(Mended(padded))) << bits << ": kept beside a changed end record";
        // ... nor where changed bytes in the padding read as records again: the hole filled up
        // to them holds the writer's zeros, not the damage's.
        std::copy_n(kIntact.begin() + static_cast<std::ptrdiff_t>(number.offset), 60, padded.begin() + static_cast<std::ptrdiff_t>(kIntact.size() + 512));
        EXPECT_FALSE(holdsTheNumber(Mended(padded))) << bits << ": kept beside a hole over the padding";
        // A zeroed sector elsewhere changes no byte that survives: a tiny number stays, unless
        // zeros reach its record (its value's last bytes zeroed read as a tiny number).
        std::fill_n(odd.begin() + static_cast<std::ptrdiff_t>(hole), 512, 0);
        EXPECT_EQ(holdsTheNumber(Mended(odd)), bits == tiny) << bits << ": beside a zeroed sector";
    }
    // A number whose value's last bytes a zeroed sector took reads as a tiny one: it goes.
    const auto straddling = std::find_if(records.begin(), records.end(), [&](const BiffRecord& r) {
        return r.type == biff::kNumber && r.offset > firstSheet && (r.offset + 11) / 64 != (r.offset + 17) / 64;
    });
    ASSERT_NE(straddling, records.end());
    Bytes intoZeros = kIntact;
    std::fill_n(intoZeros.begin() + static_cast<std::ptrdiff_t>((straddling->offset + 17) / 64 * 64), 128, 0);
    const std::set<std::string> cells = PlacedCells(Mended(intoZeros));
    EXPECT_FALSE(std::any_of(cells.begin(), cells.end(), [&](const std::string& cell) {
        return cell.find(" @" + std::to_string(straddling->offset) + " ") != std::string::npos;
    })) << "kept where zeros took its value's last bytes";

    Bytes scrambled = kIntact;
    for (const BiffRecord& record : records) {
        if (biff::IsCellRecord(record.type) && record.offset > firstSheet)
            StoreLe16(scrambled.data() + record.offset + 6, static_cast<std::uint16_t>(0x8000 + record.offset % 997));
    }
    EXPECT_TRUE(ReadWorkbookCells(Mended(scrambled)).sheets.at(0).cells.empty());
}

// A hole that ends one byte into a cell's record zeroes its type's first byte: an RK (0x027E)
// reads as a sheet's size record (0x0200) of BIFF5's length, which no BIFF8 sheet holds (xlrd
// refuses it). It goes; the cells after it read again, each the workbook's own.
TEST(RecordMend, ASizeRecordOfAnotherVersionIsNoRecordOfTheSheet)
{
    const std::uint32_t firstSheet = ReadWorkbookCells(kIntact).sheets.at(0).offset;
    const std::vector<BiffRecord> records = ListRecords(kIntact);
    const BiffRecord rk = *std::find_if(records.begin(), records.end(), [&](const BiffRecord& r) {
        return r.type == biff::kRk && r.offset > firstSheet + 200;
    });
    Bytes damaged = kIntact;
    std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(rk.offset - 63), 64, std::uint8_t{0});
    ASSERT_EQ(LoadLe16(damaged.data() + rk.offset), biff::kDimensions);
    const Bytes mended = Mended(damaged);
    for (const BiffRecord& record : ListRecords(mended))
        EXPECT_FALSE(record.offset > firstSheet && record.type == biff::kDimensions && record.length != 14) << record.offset;
    const std::set<std::string> before = PlacedCells(kIntact), after = PlacedCells(mended);
    for (const std::string& cell : after)
        EXPECT_TRUE(before.count(cell) || cell.ends_with("text \"\"")) << cell;  // (a label the hole emptied shows nothing)
    EXPECT_GT(after.size(), before.size() - 10);
}

// Text boxes whose text or formatting runs a hole took, or whose drawing object went, go with
// what is left of their text; those the damage spared stay as they are, each after its object
// and followed by its text and runs (xlrd refuses a workbook where one is not).
TEST(RecordMend, ATextBoxThatLostPartOfItselfGoesWhole)
{
    Bytes objects;
    for (unsigned k = 0; k < 12; ++k) {
        const std::string text = "Comment number " + std::to_string(k);
        objects += Record(biff::kMsoDrawing, Bytes(40, 0x11)) + Record(biff::kObj, Bytes(26, 0x22)) +
                   Record(biff::kMsoDrawing, Bytes(8, 0x33)) +
                   Record(biff::kTxo, Le16(0x0212) + Le16(0) + Bytes(6, 0) + Le16(static_cast<unsigned>(text.size())) + Le16(16) + Le16(0) +
                                          Bytes(4, 0)) +
                   Record(biff::kContinue, Bytes{0} + test::Ascii(text)) + Record(biff::kContinue, Bytes(16, 0x01));
    }
    const Bytes intact = test::Workbook(8, {}, {{"Notes", Rows(0, 10, 1) + objects + Rows(10, 10, 1)}});
    const auto boxes = [](const Bytes& stream) {
        std::size_t whole = 0;
        const std::vector<BiffRecord> records = ListRecords(stream);
        bool object = false;
        for (std::size_t i = 0; i < records.size(); ++i) {
            object = records[i].type == biff::kObj || (object && records[i].type != biff::kEof);
            if (records[i].type != biff::kTxo)
                continue;
            const bool text = i + 2 < records.size() && records[i + 1].type == biff::kContinue && records[i + 2].type == biff::kContinue &&
                              records[i + 2].length % 8 == 0;
            EXPECT_TRUE(object && text) << "a text box at " << records[i].offset << " that does not hold together";
            whole += object && text ? 1 : 0;
        }
        return whole;
    };
    ASSERT_EQ(boxes(intact), 12u);
    const std::size_t objectsAt =
        static_cast<std::size_t>(std::search(intact.begin(), intact.end(), objects.begin(), objects.end()) - intact.begin());
    for (const std::size_t into : {std::size_t{300}, std::size_t{700}, std::size_t{1100}}) {
        Bytes damaged = intact;
        const std::size_t unit = (objectsAt + into) / 64 * 64;
        std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(unit), 64, std::uint8_t{0});
        const std::size_t left = boxes(Mended(damaged));
        EXPECT_GE(left, 10u) << into;
        EXPECT_LT(left, 12u) << into;
    }
}

// A byte lost from a cell's value (a CR a transfer dropped from a line end): the cell reads the
// first byte of the next record's header as its own and the records break right after it. The
// cell goes, the cells after the break read again, and each cell is the workbook's own.
TEST(RecordMend, ACellThatLostAByteGoesWithTheBreakAfterIt)
{
    const std::vector<BiffRecord> records = ListRecords(kIntact);
    const std::uint32_t firstSheet = ReadWorkbookCells(kIntact).sheets.at(0).offset;
    const std::vector<std::string> intact = test::CellLines(ReadWorkbookCells(kIntact));
    for (const std::uint16_t type : {biff::kNumber, biff::kLabel}) {
        const BiffRecord cell = *std::find_if(records.begin(), records.end(), [&](const BiffRecord& r) {
            return r.type == type && r.offset > firstSheet + 300;
        });
        Bytes damaged = kIntact;
        damaged.erase(damaged.begin() + cell.offset + 15);
        const std::vector<std::string> mended = test::CellLines(ReadWorkbookCells(Mended(damaged)));
        for (const std::string& line : mended)
            EXPECT_NE(std::find(intact.begin(), intact.end(), line), intact.end()) << type << ": " << line;
        EXPECT_GE(mended.size() + 3, intact.size()) << type;
    }
}

// Bytes of other records that read as a formula (a misread stretch of cell styles): no room for
// its expression, or a first token the format has none of. Where the stream lost records
// elsewhere, it goes; in a stream with no other damage, a changed bit there leaves the result
// the formula shows as it was, and it stays.
TEST(RecordMend, AFormulaWithNoExpressionTheFormatHasIsNoCellWhereRecordsWereLost)
{
    const auto formula = [](unsigned row, std::uint8_t token, unsigned expression) {
        return Record(biff::kFormula, Cell(row, 3) + test::Double(42.0) + Le16(0) + Le32(0) + Le16(expression) + Bytes{token, 1, 0});
    };
    for (const auto& [token, expression] : {std::pair<std::uint8_t, unsigned>{0xA4, 3}, {0x1E, 40}}) {
        const Bytes odd = formula(5, token, expression);
        const Bytes intact = test::Workbook(8, {}, {{"One", Rows(0, 20, 0) + odd + Rows(20, 20, 0)}});
        const std::size_t at = static_cast<std::size_t>(std::search(intact.begin(), intact.end(), odd.begin(), odd.end()) - intact.begin());
        const auto hasIt = [&](const Bytes& stream) {
            const std::vector<std::string> lines = test::CellLines(ReadWorkbookCells(stream));
            return std::any_of(lines.begin(), lines.end(), [](const std::string& line) { return line.rfind("5,3 ", 0) == 0; });
        };
        Bytes alone = intact;
        MendWorkbookStream(alone);
        EXPECT_TRUE(hasIt(alone)) << int{token};
        Bytes holed = intact;
        std::fill_n(holed.begin() + static_cast<std::ptrdiff_t>(at + 400), 64, 0);
        EXPECT_FALSE(hasIt(Mended(holed))) << int{token};
    }
}

// Where the bytes after a zeroed header read as an EOF record (a cell in row 10 and column A;
// an integer cell holding 2), the sheet does not end there: the cell goes and every cell
// after it is kept.
TEST(RecordMend, ZerosBeforeBytesThatLookLikeAnEofLoseNoCell)
{
    const Bytes intact = test::Workbook(8, {}, {{"One", Rows(0, 20, 0)}, {"Two", Rows(0, 5, 0)}});
    for (const BiffRecord& record : ListRecords(intact)) {
        const bool tenInColumnA = record.type == biff::kNumber && LoadLe16(intact.data() + record.offset + 4) == 10;
        const bool two = record.type == biff::kRk && LoadLe32(intact.data() + record.offset + 10) == ((2u << 2) | 2);
        if (tenInColumnA || two)
            ExpectZeroedStretchMended(intact, record.offset, record.offset + 4);
    }
}

// One bit of a record's length flipped, shorter or longer, up to past the stream's end: the
// length is set right again, and nothing else changes. (A length that leads where the bytes
// read as records, as the label's 16 to 20 or 48 does, is damage no one can see.)
TEST(RecordMend, ALengthWithOneFlippedBitIsSetRight)
{
    const std::vector<BiffRecord> records = ListRecords(kIntact);
    const std::uint32_t secondSheet = ReadWorkbookCells(kIntact).sheets.at(1).offset;
    const auto inSecondSheet = [&](std::uint16_t type) {
        return *std::find_if(records.begin(), records.end(),
                             [&](const BiffRecord& r) { return r.offset > secondSheet + 40 && r.type == type; });
    };
    const struct {
        const char* what;
        BiffRecord record;
    } targets[] = {{"a number", inSecondSheet(biff::kNumber)}, {"a label", inSecondSheet(biff::kLabel)}, {"an integer", inSecondSheet(biff::kRk)}};
    for (const auto& target : targets) {
        for (const int bit : {0, 1, 3, 9, 12, 15}) {
            const std::string what = std::string(target.what) + ", bit " + std::to_string(bit);
            Bytes damaged = kIntact;
            StoreLe16(damaged.data() + target.record.offset + 2, static_cast<std::uint16_t>(target.record.length ^ (1u << bit)));
            EXPECT_TRUE(FirstRecordDamage(damaged)) << what;
            std::vector<MendedRegion> regions;
            EXPECT_EQ(Mended(damaged, &regions), kIntact) << what;
            EXPECT_EQ(regions.size(), 1u) << what;
        }
    }
}

// An entry in the list of sheets is damage unless a sheet's first record starts where it leads:
// told for the second sheet behind a first of a thousand records, where the entry leads to it,
// to a cell record, into the middle of one, or past the last record.
TEST(RecordMend, AnEntryOfTheListLeadsToASheetsFirstRecordOrIsDamage)
{
    Bytes cells;
    for (unsigned row = 0; row < 1000; ++row)
        cells += test::Record(biff::kNumber, test::Cell(row, 0) + test::Double(row));
    const std::vector<test::Sheet> sheets = {{"Long", cells}, {"Short", test::Record(biff::kNumber, test::Cell(0, 0) + test::Double(1))}};
    const Bytes intact = test::Workbook(8, {}, sheets);
    ASSERT_EQ(FirstRecordDamage(intact), std::nullopt);
    const std::uint32_t second = ReadWorkbookCells(intact).sheets.at(1).offset;
    const std::uint32_t cell700 = ReadWorkbookCells(intact).sheets.at(0).offset + 20 + 700 * 18;
    ASSERT_EQ(LoadLe16(intact.data() + cell700), biff::kNumber);
    ASSERT_EQ(LoadLe16(intact.data() + cell700 + 4), 700u) << "its row";
    for (const std::uint32_t offset : {cell700, cell700 + 6, second - 4, static_cast<std::uint32_t>(intact.size())}) {
        const Bytes damaged = test::Workbook(8, {}, sheets, {ReadWorkbookCells(intact).sheets.at(0).offset, offset});
        EXPECT_EQ(FirstRecordDamage(damaged), offset) << offset;
    }
    const Bytes same = test::Workbook(8, {}, sheets, {ReadWorkbookCells(intact).sheets.at(0).offset, second});
    EXPECT_EQ(FirstRecordDamage(same), std::nullopt);
}

// A sheet's BOF zeroed, with or without the EOF of the sheet before: it comes back where the
// list of sheets says the sheet begins, and the sheet reads whole under its name.
TEST(RecordMend, ASheetWhoseBofWasZeroedGetsItBack)
{
    const WorkbookCells intact = ReadWorkbookCells(kIntact);
    const std::uint32_t sheet = intact.sheets.at(1).offset;
    for (const std::uint32_t from : {sheet, sheet - 4}) {
        const std::string what = from == sheet ? "the BOF" : "the EOF before and the BOF";
        Bytes damaged = kIntact;
        std::fill(damaged.begin() + from, damaged.begin() + sheet + 20, 0);
        EXPECT_EQ(FirstRecordDamage(damaged), from) << what;
        const Bytes mended = Mended(damaged);
        EXPECT_EQ(LoadLe16(mended.data() + sheet), biff::kBof) << what;
        EXPECT_EQ(LoadLe16(mended.data() + sheet - 4), biff::kEof) << what;
        EXPECT_EQ(test::CellLines(ReadWorkbookCells(mended)), test::CellLines(intact)) << what;
    }
}

// A changed bit in the kind of a sheet's first record, or of the end record before it, or in
// its entry's offset in the list of sheets (leading into the sheet before or far past the
// stream's end): the sheet is found where it is, and reads whole under its name.
TEST(RecordMend, ASheetWhoseFirstRecordOrEntryLostABitIsFoundAgain)
{
    const WorkbookCells intact = ReadWorkbookCells(kIntact);
    const std::uint32_t sheet = intact.sheets.at(1).offset;
    // (The cells' styles, which this stream lacks, come back with any mending.)
    const std::size_t entry = LastSheetEntry(kIntact) + 4;
    const struct {
        const char* what;
        std::size_t at;
        std::vector<unsigned> bits;
    } changes[] = {{"the first record's kind", sheet, {0, 3, 8, 11, 15}},
                   {"the end record's kind before it", sheet - 4, {0, 4, 12}},
                   {"the entry's offset", entry, {4, 30}}};
    for (const auto& change : changes) {
        for (const unsigned bit : change.bits) {
            const std::string what = std::string(change.what) + ", bit " + std::to_string(bit);
            Bytes damaged = kIntact;
            damaged[change.at + bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
            EXPECT_TRUE(FirstRecordDamage(damaged)) << what;
            std::vector<MendedRegion> regions;
            EXPECT_EQ(test::CellLines(ReadWorkbookCells(Mended(damaged, &regions))), test::CellLines(intact)) << what;
            ASSERT_FALSE(regions.empty()) << what;
            EXPECT_EQ(regions[0].offset, change.at) << what;
        }
    }
}

// One hole over the end of the first sheet and the start of the second, another over the
// second's entry in the list of sheets: what follows the first hole goes back to rows above the
// first sheet's last, so it is another sheet's, and comes back as a sheet of its own (under a
// name of its own), not as more of the first sheet's cells.
TEST(RecordMend, RecordsThatGoBackUpAfterAHoleAreAnotherSheets)
{
    const Bytes book = test::Workbook(8, Record(biff::kCodePage, Le16(1200)), {{"First sheet", Rows(11, 30, 3)}, {"Second sheet", Rows(11, 20, 500)}});
    const WorkbookCells intact = ReadWorkbookCells(book);
    const std::uint32_t two = intact.sheets.at(1).offset;
    Bytes damaged = book;
    std::fill(damaged.begin() + two - 100, damaged.begin() + two + 120, 0);
    std::size_t entry = 0;
    for (std::size_t at = 0; LoadLe16(book.data() + at) != biff::kEof; at += 4u + LoadLe16(book.data() + at + 2)) {
        if (LoadLe16(book.data() + at) == biff::kBoundSheet)
            entry = at;  // the last: the second sheet's
    }
    std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(entry), 4 + LoadLe16(book.data() + entry + 2), 0);

    const WorkbookCells after = ReadWorkbookCells(Mended(damaged));
    ASSERT_EQ(after.sheets.size(), 2u);
    for (std::size_t sheet = 0; sheet < 2; ++sheet) {
        const std::vector<std::string> lines = test::CellLines(intact.sheets[sheet].cells);
        const std::set<std::string> original(lines.begin(), lines.end());
        for (const std::string& cell : test::CellLines(after.sheets[sheet].cells))
            EXPECT_EQ(original.count(cell), 1u) << "sheet " << sheet << ": " << cell;
        EXPECT_GT(after.sheets[sheet].cells.size(), intact.sheets[sheet].cells.size() - 20) << "sheet " << sheet;
    }
}

// A hole inside a sheet after which records read again from the middle of a cut one: its bytes
// read as a formula of a row far above with no room for its expression, and the cells after it
// go on from the rows before the hole. The sheet stays one, with every cell after the hole.
TEST(RecordMend, ACutRecordAfterAHoleSplitsNoSheet)
{
    const Bytes cut = Record(biff::kFormula, Cell(2, 0) + Bytes(8, 0) + Le16(0) + Le32(0) + Le16(200));
    const auto book = [&](std::size_t pad) {
        const Bytes text = test::Ascii(std::string(pad, 'x')) + cut;  // the cut record's bytes end a text
        const Bytes label = Record(biff::kLabel, Cell(40, 1) + Le16(static_cast<unsigned>(text.size())) + Bytes{0} + text);
        return test::Workbook(8, Record(biff::kCodePage, Le16(1200)), {{"One", Rows(11, 29, 3) + label + Rows(41, 30, 3)}, {"Two", Rows(11, 20, 500)}});
    };
    const auto cutAt = [&](const Bytes& stream) {
        return static_cast<std::size_t>(std::search(stream.begin(), stream.end(), cut.begin(), cut.end()) - stream.begin());
    };
    // The hole ends where the cut record's bytes begin, on a sector's boundary.
    const Bytes intact = book((512 - cutAt(book(0)) % 512) % 512);
    const std::size_t at = cutAt(intact);
    ASSERT_EQ(at % 512, 0u);
    Bytes damaged = intact;
    std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(at - 512), 512, std::uint8_t{0});

    const WorkbookCells original = ReadWorkbookCells(intact), mended = ReadWorkbookCells(Mended(damaged));
    ASSERT_EQ(mended.sheets.size(), 2u);
    const std::vector<std::string> lines = test::CellLines(original);
    const std::set<std::string> cells(lines.begin(), lines.end());
    for (const std::string& cell : test::CellLines(mended))
        EXPECT_EQ(cells.count(cell), 1u) << cell;
    const auto below = [](const SheetCells& sheet) {
        return std::count_if(sheet.cells.begin(), sheet.cells.end(), [](const CellValue& cell) { return cell.row > 40; });
    };
    EXPECT_EQ(below(mended.sheets[0]), below(original.sheets[0]));
    EXPECT_EQ(mended.sheets[1].cells.size(), original.sheets[1].cells.size());
}

// A macro sheet or a chart sheet whose entry in the list went gets one back, of its kind (readers
// read a sheet as its entry's kind says), and keeps its cells.
TEST(RecordMend, ASheetOfAnotherKindWhoseEntryWentGetsOneOfItsKind)
{
    for (const auto& [kind, listed] : {std::pair{biff::kMacroSubstream, 1}, std::pair{biff::kChartSubstream, 2}}) {
        Bytes intact = test::Workbook(8, Record(biff::kCodePage, Le16(1200)),
                                      {{"One", Rows(0, 30, 3)}, {"Other sheet", Rows(0, 10, 80)}, {"Two", Rows(0, 20, 500)}});
        std::vector<std::size_t> entries;
        for (const BiffRecord& record : ListRecords(intact)) {
            if (record.type == biff::kBoundSheet)
                entries.push_back(record.offset);
        }
        ASSERT_EQ(entries.size(), 3u);
        const std::uint32_t other = LoadLe32(intact.data() + entries[1] + 4);
        StoreLe16(intact.data() + other + 6, kind);
        intact[entries[1] + 9] = static_cast<std::uint8_t>(listed);
        ExpectLeftAsItIs("another kind of sheet", intact);

        Bytes damaged = intact;
        std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(entries[1]), 4 + LoadLe16(intact.data() + entries[1] + 2), std::uint8_t{0});
        const Bytes mended = Mended(damaged);
        int found = 0;
        for (const BiffRecord& record : ListRecords(mended)) {
            // (The cell styles the cells name come back in front of the sheets, which move.)
            const std::size_t sheet = record.type == biff::kBoundSheet ? LoadLe32(mended.data() + record.offset + 4) : 0;
            if (sheet != 0 && sheet + 8 <= mended.size() && LoadLe16(mended.data() + sheet + 6) == kind) {
                ++found;
                EXPECT_EQ(mended[record.offset + 9], listed) << "kind " << kind;
            }
        }
        EXPECT_EQ(found, 1) << "kind " << kind;
        const WorkbookCells before = ReadWorkbookCells(intact), after = ReadWorkbookCells(mended);
        ASSERT_EQ(after.sheets.size(), 3u) << "kind " << kind;
        for (std::size_t sheet = 0; sheet < 3; ++sheet)
            EXPECT_EQ(after.sheets[sheet].cells.size(), before.sheets[sheet].cells.size()) << "kind " << kind << ", sheet " << sheet;
    }
}

// Holes in a long shared-string table: one inside its first record, and one over the header of
// each CONTINUE record after it. The strings after the first hole come back from the places the
// index names in the first record; each cell is the workbook's own or absent.
TEST(RecordMend, StringsBetweenHolesInTheTableComeBackFromItsIndex)
{
    const auto [strings, cells] = StringsAndCells(900, "String number", 13);
    const Bytes intact = test::Workbook(8, test::StringTable(strings, 20, 8, 8224), {{"Texts", cells}});
    std::size_t table = 0;
    std::vector<std::size_t> continued;
    for (std::size_t at = 0; LoadLe16(intact.data() + at) != biff::kEof; at += 4u + LoadLe16(intact.data() + at + 2)) {
        if (LoadLe16(intact.data() + at) == biff::kSst)
            table = at;
        if (LoadLe16(intact.data() + at) == biff::kContinue)
            continued.push_back(at);
    }
    ASSERT_EQ(continued.size(), 2u);
    Bytes damaged = intact;
    const auto zero = [&](std::size_t from) { std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(from), 512, 0); };
    zero((table + 2000) / 512 * 512);
    for (const std::size_t at : continued)
        zero(at / 512 * 512);

    // The strings before the first hole, and those from the first bucket after it to the second.
    EXPECT_GT(TextsAfterMending(intact, damaged, "String"), 380u);
}

// A hole inside a long string early in a bucket of many (LibreOffice gives a bucket over a
// hundred strings): the strings after it in that bucket, read back from where the next bucket
// begins, keep their places; the long string goes, and with it only what cannot be proven.
TEST(RecordMend, StringsAfterAHoleInsideALongStringKeepTheirPlaces)
{
    auto [strings, cells] = StringsAndCells(150, "String number", 13);
    strings[1] = std::string(6000, 'w');
    const Bytes intact = test::Workbook(8, test::StringTable(strings, 20, 50, 8224), {{"Texts", cells}});
    const Bytes run(64, 'w');
    const auto longAt = std::search(intact.begin(), intact.end(), run.begin(), run.end());
    ASSERT_NE(longAt, intact.end());
    Bytes damaged = intact;
    std::fill_n(damaged.begin() + (longAt - intact.begin() + 2000) / 512 * 512, 512, std::uint8_t{0});
    // Every string but the long one; before, the 48 after it in its bucket went too.
    EXPECT_EQ(TextsAfterMending(intact, damaged, "String"), 149u);
}

// A hole inside the table's first record, and another over the last bytes of its index (the
// padding of its last entry) and on into the record after it: the walk makes the index filler,
// as any record a hole cuts off, and the strings after the first hole are found by the index
// as it was found all the same.
TEST(RecordMend, AnIndexAHoleCutOffStillLeadsToTheStrings)
{
    const auto [strings, cells] = StringsAndCells(900, "String number", 13);
    const auto build = [&](std::size_t padding) {
        const Bytes pad = Record(biff::kMsoDrawingGroup, Bytes(padding, 0x42));
        return test::Workbook(8,
                              pad + test::StringTable(strings, test::BofRecord(8, 5).size() + pad.size(), 8, 8224) +
                                  Record(biff::kMsoDrawingGroup, Bytes(200, 0x43)),
                              {{"Texts", cells}});
    };
    const auto find = [](const Bytes& stream, std::uint16_t type) {
        for (std::size_t at = 0; LoadLe16(stream.data() + at) != biff::kEof; at += 4u + LoadLe16(stream.data() + at + 2)) {
            if (LoadLe16(stream.data() + at) == type)
                return at;
        }
        return std::size_t{0};
    };
    // The index ends 2 bytes into a unit.
    Bytes intact = build(100);
    const std::size_t shift = (64 + 2 - (find(intact, biff::kExtSst) + 4 + LoadLe16(intact.data() + find(intact, biff::kExtSst) + 2)) % 64) % 64;
    intact = build(100 + shift);
    const std::size_t index = find(intact, biff::kExtSst), table = find(intact, biff::kSst);
    const std::size_t indexEnd = index + 4 + LoadLe16(intact.data() + index + 2);
    ASSERT_EQ(indexEnd % 64, 2u);
    Bytes damaged = intact;
    std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>((table + 2000) / 512 * 512), 512, 0);
    std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(indexEnd - 2), 64, 0);

    // All but those the first hole took (some 25) and the rest of their bucket.
    EXPECT_GT(TextsAfterMending(intact, damaged, "String"), 850u);
}

// A hole in the middle of the globals that took the shared-string table's first record
// header and all: the strings whose bytes follow the hole come back by the index after them,
// each bucket from where the index says it begins; those the hole took are lost, none is
// shown with another's text.
TEST(RecordMend, AStringTableWhoseStartWentComesBackByItsIndex)
{
    const auto [strings, cells] = StringsAndCells(1500, "Text", 7);
    // (A drawing group before it, which goes on in a CONTINUE record.)
    const Bytes pad = Record(biff::kMsoDrawingGroup, Bytes(300, 0x42)) + Record(biff::kContinue, Bytes(296, 0x43));
    const Bytes intact = test::Workbook(8, pad + test::StringTable(strings, test::BofRecord(8, 5).size() + pad.size(), 8, 8224),
                                        {{"Texts", cells}});
    ASSERT_EQ(LoadLe16(intact.data() + test::BofRecord(8, 5).size() + pad.size()), biff::kSst);
    Bytes damaged = intact;
    std::fill_n(damaged.begin() + 512, 4096, 0);  // the table's header at 624 and its first strings

    // Some 340 strings lay in the hole (and the rest of their buckets); the others come back.
    EXPECT_GT(TextsAfterMending(intact, damaged, "Text"), 1100u);
}

// A hole whose zeros begin at a record's length: a length zeroed is no flipped bit, and the
// one bit set that makes records read again would lead far, over the sheet's end and the next
// sheet's start. Each sheet keeps its own cells: the first those outside the hole, the second
// all.
TEST(RecordMend, ALengthAHoleZeroedIsNoFlippedBit)
{
    // Labels of 18 bytes, whose length may be any: of the lengths one bit away from zero, only
    // 2,048 leads from where the zeros end to where a record begins (the second sheet's
    // records lie off that step).
    const auto labels = [](unsigned count, unsigned base) {
        Bytes records;
        for (unsigned row = 0; row < count; ++row) {
            const std::string text = std::to_string(10000 + base + row).substr(0, 5);
            records += Record(biff::kLabel, Cell(row, 0) + Le16(5) + Bytes{0} + test::Ascii(text));
        }
        return records;
    };
    const auto build = [&](std::size_t padding) {
        return test::Workbook(8, Record(biff::kMsoDrawingGroup, Bytes(padding, 0x42)),
            {{"One", labels(400, 0)}, {"Two", Record(biff::kDefColWidth, Le16(8)) + labels(300, 40000)}});
    };
    // A label's header 2 bytes before a 512-byte boundary, well inside the first sheet.
    Bytes intact = build(100);
    const std::size_t first = ReadWorkbookCells(intact).sheets.at(0).offset;
    const std::size_t target = (first + 3000) / 512 * 512 + 512 - 2;
    std::size_t header = first + 20;  // (past the sheet's BOF)
    while (header + 18 <= target)
        header += 18;
    intact = build(100 + (target - header));
    ASSERT_EQ(LoadLe16(intact.data() + target), biff::kLabel);
    Bytes damaged = intact;
    std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(target + 2), 512, 0);

    const WorkbookCells before = ReadWorkbookCells(intact);
    const WorkbookCells after = ReadWorkbookCells(Mended(damaged));
    ASSERT_EQ(after.sheets.size(), 2u);
    const std::vector<std::string> one = test::CellLines(before.sheets[0].cells);
    for (const std::string& line : test::CellLines(after.sheets[0].cells))
        EXPECT_NE(std::find(one.begin(), one.end(), line), one.end()) << line;
    EXPECT_GT(after.sheets[0].cells.size(), 360u);
    EXPECT_EQ(test::CellLines(after.sheets[1].cells), test::CellLines(before.sheets[1].cells));
}

// A hole over the end of the globals and a sheet's first record, and another among its cells:
// the sheet begins again after the first, where its dimensions follow, and keeps the cells
// between the holes as well as those after the second.
TEST(RecordMend, ASheetWhoseStartWentBeginsAtTheFirstHoleItsDimensionsFollow)
{
    Bytes records = Record(biff::kDimensions, Le32(0) + Le32(300) + Le16(0) + Le16(3) + Le16(0));
    records += Rows(0, 300, 5);
    const Bytes intact = test::Workbook(8, Record(biff::kCodePage, Le16(1200)), {{"Only", records}});
    const std::size_t entry = LastSheetEntry(intact);
    const std::size_t sheet = ReadWorkbookCells(intact).sheets.at(0).offset;
    Bytes damaged = intact;
    std::fill(damaged.begin() + static_cast<std::ptrdiff_t>(entry - 4), damaged.begin() + static_cast<std::ptrdiff_t>(sheet + 20), 0);
    std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>((sheet + 4000) / 512 * 512), 512, 0);
    const WorkbookCells mended = ReadWorkbookCells(Mended(damaged));
    ASSERT_EQ(mended.sheets.size(), 1u);
    const std::vector<std::string> original = test::CellLines(ReadWorkbookCells(intact).sheets[0].cells);
    const std::vector<std::string> lines = test::CellLines(mended.sheets[0].cells);
    for (const std::string& line : lines)
        EXPECT_NE(std::find(original.begin(), original.end(), line), original.end()) << line;
    EXPECT_GT(lines.size(), original.size() - 40);
}

// A formula whose text result went with a hole right after it, the hole ending inside another
// formula: the first STRING record past the hole is that other formula's result, not the
// first's. The first formula goes; every cell is the original's or absent.
TEST(RecordMend, AFormulaWhoseTextWentWithAHoleTakesNoOtherFormulasText)
{
    const auto build = [](std::size_t padding) {
        Bytes records;
        for (unsigned row = 0; row < 120; ++row) {
            const std::string text = "text " + std::to_string(100 + row);
            records += Record(biff::kFormula, Cell(row, 3) + Bytes{0, 0, 0, 0, 0, 0, 0xFF, 0xFF} + Le16(0) + Le32(0) + Le16(5) +
                                                            Bytes{0x17, 1, 0, 'a', 0}) +
                       Record(biff::kString, Le16(static_cast<unsigned>(text.size())) + Bytes{0} + test::Ascii(text));
        }
        return test::Workbook(8, Record(biff::kMsoDrawingGroup, Bytes(padding, 0x42)), {{"Texts", records}});
    };
    // A STRING record's header 12 bytes before a 512-byte boundary, well inside the sheet.
    Bytes intact;
    std::size_t at = 0;
    for (std::size_t padding = 100; padding < 146 && at == 0; ++padding) {
        intact = build(padding);
        const std::size_t sheet = ReadWorkbookCells(intact).sheets.at(0).offset;
        for (const BiffRecord& r : ListRecords(intact)) {
            if (r.type == biff::kString && r.offset > sheet + 1000 && (r.offset + 12) % 512 == 0 && at == 0)
                at = r.offset;
        }
    }
    ASSERT_NE(at, 0u);
    Bytes damaged = intact;
    std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(at + 12), 512, 0);

    const std::vector<std::string> original = test::CellLines(ReadWorkbookCells(intact));
    const std::vector<std::string> mended = test::CellLines(ReadWorkbookCells(Mended(damaged)));
    for (const std::string& line : mended)
        EXPECT_NE(std::find(original.begin(), original.end(), line), original.end()) << line;
    EXPECT_GT(mended.size(), original.size() - 16);
}

// A BIFF5 worksheet keeps a list of external sheets of its own (EXTERNCOUNT, EXTERNSHEET), and
// some writers (SheetJS) give a sheet a code page and a country record too. A hole over the end
// of the globals and the sheet's first record: the sheet's records after it, those among them,
// still make a sheet, which comes back with its numbers.
TEST(RecordMend, ABiff5SheetWhoseStartWentWithTheGlobalsEndComesBack)
{
    const Bytes externList = Record(biff::kExternCount, Le16(1)) + Record(biff::kExternSheet, Bytes{2, 0x02, 'A', 'B'});
    const Bytes codePageAndCountry = Record(biff::kCodePage, Le16(1252)) + Record(biff::kCountry, Le16(1) + Le16(1));
    for (const Bytes& start : {externList, codePageAndCountry}) {
        Bytes records = start;
        for (unsigned row = 0; row < 30; ++row)
            records += Record(biff::kNumber, Cell(row, 0) + test::Double(row * 2.5));
        const Bytes intact = test::Workbook(5, Record(biff::kCodePage, Le16(1252)) + Record(biff::kFont, Bytes(40, 0x20)), {{"Only", records}});
        const std::size_t entry = LastSheetEntry(intact);
        const std::size_t sheet = ReadWorkbookCells(intact).sheets.at(0).offset;
        Bytes damaged = intact;
        std::fill(damaged.begin() + static_cast<std::ptrdiff_t>(entry - 20), damaged.begin() + static_cast<std::ptrdiff_t>(sheet + 12), 0);
        const WorkbookCells mended = ReadWorkbookCells(Mended(damaged));
        ASSERT_EQ(mended.sheets.size(), 1u) << (start == externList ? "its external sheets" : "its code page and country");
        EXPECT_EQ(test::CellLines(mended.sheets[0].cells), test::CellLines(ReadWorkbookCells(intact).sheets[0].cells));
    }
}

// A hole that begins inside the shared-string table's last unit and goes on past its end (over
// its index and the globals' end): the last string lost its last characters to the zeros, and
// its cells are lost rather than shown with them; the other strings stay.
TEST(RecordMend, AStringWhoseLastCharactersWentWithAHoleAfterTheTableIsLost)
{
    std::vector<std::string> strings;
    for (unsigned k = 0; k < 12; ++k)
        strings.push_back("A string of the table, number " + std::to_string(k));
    Bytes cells;
    for (unsigned row = 0; row < 24; ++row)
        cells += Record(biff::kLabelSst, Cell(row, 0) + Le32(row % 12));
    const auto build = [&](std::size_t padding) {
        const Bytes pad = Record(biff::kMsoDrawingGroup, Bytes(padding, 0x42));
        return test::Workbook(8, pad + test::StringTable(strings, test::BofRecord(8, 5).size() + pad.size(), 8, 8224), {{"Texts", cells}});
    };
    // The table's records end 20 bytes into a unit: those 20 bytes are the last string's last.
    Bytes intact = build(200);
    std::size_t tableEnd = 0;
    for (std::size_t at = 0; LoadLe16(intact.data() + at) != biff::kEof; at += 4u + LoadLe16(intact.data() + at + 2)) {
        if (LoadLe16(intact.data() + at) == biff::kSst)
            tableEnd = at + 4 + LoadLe16(intact.data() + at + 2);
    }
    intact = build(200 + (64 + 20 - tableEnd % 64) % 64);
    tableEnd += (64 + 20 - tableEnd % 64) % 64;
    ASSERT_EQ(tableEnd % 64, 20u);
    const WorkbookCells before = ReadWorkbookCells(intact);
    Bytes damaged = intact;
    std::fill(damaged.begin() + static_cast<std::ptrdiff_t>(tableEnd - 20), damaged.begin() + static_cast<std::ptrdiff_t>(tableEnd + 44), 0);

    const WorkbookCells after = ReadWorkbookCells(Mended(damaged));
    std::map<std::pair<unsigned, unsigned>, std::string> original;
    for (const CellValue& cell : before.sheets.at(0).cells)
        original[{cell.row, cell.column}] = test::CellLine(cell);
    std::size_t texts = 0;
    for (const CellValue& cell : after.sheets.at(0).cells) {
        if (cell.kind == CellKind::Text && cell.text.empty())
            continue;  // a string that did not come back: the table keeps its place, empty
        const auto place = original.find({cell.row, cell.column});
        ASSERT_TRUE(place != original.end() && place->second == test::CellLine(cell)) << test::CellLine(cell);
        ++texts;
    }
    EXPECT_EQ(texts, 22u) << "all but the two cells of the last string";
}

// Rows of 64 bytes of records (blanks, a number, numbers, blanks); a hole that ends 6 bytes
// before a row's first record leaves the end of a blank record, whose last column and the next
// record's type read as a formula's header 190 bytes long, landing on a record three rows on:
// the records resume where they read one by one, and no cell is made of those bytes.
TEST(RecordMend, RecordsResumeWhereTheyReadOneByOneNotWhereALongFalseOneLands)
{
    Bytes cells;
    for (unsigned row = 0; row < 200; ++row) {
        cells += Record(biff::kMulBlank, Le16(row) + Le16(0) + Le16(0x40) + Le16(0x40) + Le16(1)) +
                 Record(biff::kRk, Cell(row, 2, 0x43) + Le32(((row + 7) << 2) | 2)) +
                 Record(biff::kMulRk, Le16(row) + Le16(3) + Le16(0x48) + Le32(0x403E0000) + Le16(0x43) + Le32(((row + 1) << 2) | 2) + Le16(4)) +
                 Record(biff::kMulBlank, Le16(row) + Le16(5) + Le16(0x40) + Le16(0x40) + Le16(6));
    }
    const Bytes intact = test::Workbook(8, {}, {{"Rows", cells}});
    const WorkbookCells before = ReadWorkbookCells(intact);
    const std::size_t rows = before.sheets.at(0).offset + 20;  // the first row's first record
    const std::size_t to = rows + 100 * 64 - 6;                  // 6 bytes before row 100
    Bytes damaged = intact;
    std::fill(damaged.begin() + static_cast<std::ptrdiff_t>(rows + 90 * 64), damaged.begin() + static_cast<std::ptrdiff_t>(to), 0);
    ASSERT_EQ(LoadLe16(damaged.data() + to + 4), 0x0006u) << "the false formula's header";
    ASSERT_EQ(LoadLe16(damaged.data() + to + 6), 190u);

    const WorkbookCells after = ReadWorkbookCells(Mended(damaged));
    std::map<std::pair<unsigned, unsigned>, std::string> original;
    for (const CellValue& cell : before.sheets[0].cells)
        original[{cell.row, cell.column}] = test::CellLine(cell);
    std::size_t fromRow100 = 0;
    for (const CellValue& cell : after.sheets.at(0).cells) {
        const auto place = original.find({cell.row, cell.column});
        ASSERT_TRUE(place != original.end() && place->second == test::CellLine(cell)) << test::CellLine(cell);
        fromRow100 += cell.row >= 100 ? 1 : 0;
    }
    EXPECT_EQ(fromRow100, 100u * 3) << "every number from row 100 on";
}

// An entry of the list of sheets that leads into the middle of another sheet's records (its
// offset damaged where nothing says what it was), the sheet's own first record lost: the sheet
// it names is not found, and comes back empty at the end, all of it replacement; the other
// sheet keeps every cell.
TEST(RecordMend, AnEntryThatLeadsIntoRecordsNamesASheetNotFound)
{
    const WorkbookCells intact = ReadWorkbookCells(kIntact);
    Bytes damaged = kIntact;
    std::size_t entry = 0;
    for (std::size_t at = 0; LoadLe16(damaged.data() + at) != biff::kEof; at += 4u + LoadLe16(damaged.data() + at + 2)) {
        if (LoadLe16(damaged.data() + at) == biff::kBoundSheet)
            entry = at;  // the last: sheet "Two"'s
    }
    const std::uint32_t inside = intact.sheets.at(0).offset + 20 + 18;  // sheet One's second record
    ASSERT_EQ(LoadLe16(damaged.data() + inside), 0x0204u);
    StoreLe32(damaged.data() + entry + 4, inside);
    // And its own first record gone, so that no sheet is left without an entry to pair it with.
    std::fill_n(damaged.begin() + intact.sheets.at(1).offset, 20, std::uint8_t{0});
    std::vector<MendedRegion> regions;
    const Bytes mended = Mended(damaged, &regions);
    const WorkbookCells after = ReadWorkbookCells(mended);
    ASSERT_EQ(after.sheets.size(), 2u);
    EXPECT_EQ(test::CellLines(after.sheets[0].cells), test::CellLines(intact.sheets[0].cells));
    EXPECT_EQ(after.sheets[1].name, "Two");
    EXPECT_TRUE(after.sheets[1].cells.empty());
    EXPECT_TRUE(std::any_of(regions.begin(), regions.end(), [&](const MendedRegion& region) {
        return region.kind == MendedRegion::Kind::Replaced && region.offset == after.sheets[1].offset;
    })) << "the empty sheet is replacement";
    // An empty sheet's size between its first and end records: LibreOffice shows no sheet of the
    // workbook where one is no more than those two.
    const std::size_t dimensions = after.sheets[1].offset + 4u + LoadLe16(mended.data() + after.sheets[1].offset + 2);
    EXPECT_EQ(LoadLe16(mended.data() + dimensions), biff::kDimensions);
    EXPECT_EQ(LoadLe16(mended.data() + dimensions + 2), 14u);
}

// A hole that took the whole shared-string table, its index with it, from the middle of the
// globals: no string is left to read again, yet the cells that name them stay. A table of as
// many empty strings as they name comes back (xlrd refuses a workbook whose cells name strings
// no table holds, and LibreOffice shows it empty); a workbook whose cells name none gets none.
TEST(RecordMend, ATableLostWholeComesBackEmptyAsLongAsTheCellsNameStrings)
{
    const auto [strings, cells] = StringsAndCells(40, "Text", 3);
    const Bytes before = Record(biff::kMsoDrawingGroup, Bytes(500, 0x42));
    const Bytes after = Record(biff::kMsoDrawingGroup, Bytes(900, 0x44));
    const Bytes table = test::StringTable(strings, test::BofRecord(8, 5).size() + before.size(), 8, 8224);
    const Bytes intact = test::Workbook(8, before + table + after, {{"Texts", cells + Rows(50, 5, 1)}});
    Bytes damaged = intact;
    std::fill_n(damaged.begin() + 512, 512, 0);  // the table (from byte 524, some 500 bytes) and its index
    ASSERT_LT(test::BofRecord(8, 5).size() + before.size() + table.size(), 1024u);

    const Bytes mended = Mended(damaged);
    const WorkbookCells book = ReadWorkbookCells(mended);
    ASSERT_EQ(book.sheets.size(), 1u);
    std::size_t texts = 0, numbers = 0;
    for (const CellValue& cell : book.sheets[0].cells) {
        const std::string line = test::CellLine(cell);
        texts += line.ends_with("text \"\"") ? 1u : 0u;
        numbers += line.find("number") != std::string::npos ? 1u : 0u;
    }
    EXPECT_EQ(texts, 40u) << "each text cell names an empty string the table holds";
    EXPECT_EQ(numbers, 10u);
    std::size_t held = 0;
    for (std::size_t at = 0; LoadLe16(mended.data() + at) != biff::kEof; at += 4u + LoadLe16(mended.data() + at + 2)) {
        if (LoadLe16(mended.data() + at) == biff::kSst)
            held = LoadLe32(mended.data() + at + 8);
    }
    EXPECT_EQ(held, 40u);

    const Bytes noTexts = test::Workbook(8, before + table + after, {{"Numbers", Rows(50, 5, 1)}});
    Bytes lost = noTexts;
    std::fill_n(lost.begin() + 512, 512, 0);
    const Bytes numbersOnly = Mended(lost);
    for (std::size_t at = 0; LoadLe16(numbersOnly.data() + at) != biff::kEof; at += 4u + LoadLe16(numbersOnly.data() + at + 2))
        EXPECT_NE(LoadLe16(numbersOnly.data() + at), biff::kSst);
}

// A table whose last records went, with nothing after it to tell (the globals' end follows it
// at once), where the mending replaced something else: it holds as many strings as it counts
// once mended, those it lost empty (xlrd reads as many as it counts, and ran off its end).
TEST(RecordMend, ATableThatLostItsLastRecordsHoldsAsManyAsItCounts)
{
    const auto [strings, cells] = StringsAndCells(40, "Text", 3);
    const std::size_t tableAt = test::BofRecord(8, 5).size();
    const Bytes whole = test::StringTable(strings, tableAt, 8, 200);
    // The table's first two records; the rest and its index are gone.
    std::size_t kept = 0;
    for (int k = 0; k < 2; ++k)
        kept += 4u + LoadLe16(whole.data() + kept + 2);
    ASSERT_LT(kept + 4, whole.size());
    const Bytes intact = test::Workbook(8, whole, {{"Texts", cells + Rows(50, 20, 1)}});
    const Bytes shortened = test::Workbook(8, Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(kept)),
                                           {{"Texts", cells + Rows(50, 20, 1)}});
    Bytes damaged = shortened;
    const std::size_t unit = (damaged.size() - 300) / 64 * 64;  // and a hole among the sheet's rows
    std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(unit), 128, std::uint8_t{0});

    const std::size_t texts = TextsAfterMending(intact, damaged, "Text");
    EXPECT_GT(texts, 10u);
    EXPECT_LT(texts, 40u);
    const Bytes mended = Mended(damaged);
    ASSERT_EQ(LoadLe16(mended.data() + tableAt), biff::kSst);
    Bytes bodies;
    for (std::size_t at = tableAt; LoadLe16(mended.data() + at) == biff::kSst || LoadLe16(mended.data() + at) == biff::kContinue;
         at += 4u + LoadLe16(mended.data() + at + 2))
        bodies.insert(bodies.end(), mended.begin() + static_cast<std::ptrdiff_t>(at + 4),
                      mended.begin() + static_cast<std::ptrdiff_t>(at + 4 + LoadLe16(mended.data() + at + 2)));
    std::size_t held = 0;
    for (std::size_t at = 8; at + 3 <= bodies.size(); at += 3u + LoadLe16(bodies.data() + at))
        ++held;
    EXPECT_EQ(held, LoadLe32(bodies.data() + 4)) << "the strings the table holds, and the count it gives";
    EXPECT_EQ(held, 40u) << "as many as the cells name";
}

// An XF record: a style's (its own parent) or a cell's deriving from style `parent`.
Bytes Xf(unsigned format, bool style, unsigned parent = 0)
{
    return Record(biff::kXf, Le16(0) + Le16(format) + Le16(style ? 0xFFF5 : (parent << 4) | 0x0001) + Bytes(14, 0));
}

// The globals lost from their start into the list of cell styles, its first 15 (styles) with
// them: the cells name their styles by place, and the survivors keep their places, shown by
// the named styles that name them: a cell of a date style still shows a date, the others do
// not. With the list of named styles gone too, nothing proves the places; every style the cells
// name still exists (xlrd refuses a workbook whose cells name one it lacks). The same where a
// hole took them after the globals' first record.
TEST(RecordMend, CellStylesLostFromTheListsStartKeepTheSurvivorsPlaces)
{
    Bytes styles;
    for (unsigned k = 0; k < 15; ++k)
        styles += Xf(0, true);
    styles += Xf(0, false);                                                            // 15
    styles = styles + Xf(43, true) + Xf(41, true) + Xf(44, true) + Xf(42, true) + Xf(9, true);  // 16-20
    styles = styles + Xf(14, false) + Xf(10, false, 20) + Xf(0, false);                         // 21-23
    Bytes named = Record(biff::kStyle, Le16(0x8000) + Bytes{0, 0xFF});
    const unsigned builtIn[] = {3, 6, 4, 7, 5};
    for (unsigned k = 0; k < 5; ++k)
        named += Record(biff::kStyle, Le16(0x8000 | (16 + k)) + Bytes{static_cast<std::uint8_t>(builtIn[k]), 0xFF});
    const Bytes padding = Record(biff::kMsoDrawingGroup, Bytes(600, 0x42));  // ahead of them, lost with the start
    Bytes cells;
    for (unsigned row = 0; row < 30; ++row) {
        const unsigned xf = row % 3 == 0 ? 21 : row % 3 == 1 ? 22 : 23;
        cells += Record(biff::kNumber, Cell(row, 0, xf) + test::Double(40000 + row * 0.25));
    }
    // Lost: the padding and the first 15 cell styles, and the globals' first record with them
    // or not (then the globals are not made anew: the hole is filled).
    for (const std::size_t from : {std::size_t{0}, test::BofRecord(8, 5).size()})
    for (const bool namedSurvive : {true, false}) {
        SCOPED_TRACE(namedSurvive ? "the named styles survive" : "the named styles are lost");
        SCOPED_TRACE(from == 0 ? "the start lost" : "a hole after the start");
        const Bytes intact = test::Workbook(8, padding + styles + (namedSurvive ? named : Bytes{}), {{"Dates", cells}});
        const WorkbookCells before = ReadWorkbookCells(intact);
        const std::size_t lost = test::BofRecord(8, 5).size() + padding.size() + 15 * 24;
        Bytes damaged = intact;
        std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(from), lost - from, std::uint8_t{0});
        const Bytes mended = Mended(damaged);
        EXPECT_EQ(Mended(mended, nullptr, false), mended) << "mended again, it stays as it is";
        const WorkbookCells after = ReadWorkbookCells(mended);
        ASSERT_EQ(after.sheets.size(), 1u);
        ASSERT_EQ(test::CellLines(after.sheets[0].cells), test::CellLines(before.sheets[0].cells));
        for (std::size_t c = 0; c < before.sheets[0].cells.size(); ++c) {
            const CellValue& was = before.sheets[0].cells[c];
            const CellValue& is = after.sheets[0].cells[c];
            EXPECT_LT(is.format, after.dateFormats.size()) << "row " << was.row << " names a style the copy lacks";
            if (namedSurvive) {
                EXPECT_EQ(IsDate(after, is), IsDate(before, was)) << "row " << was.row;
            } else {
                EXPECT_FALSE(IsDate(after, is)) << "no style proven: row " << was.row << " shows a number";
            }
        }
    }
}

// A stream that lost its start grows by new globals in front: with the room RoomToMend asks for
// behind it, it grows where it lies (no second copy of a large stream), and comes out the same,
// byte for byte and region for region, as one mended without room. One that keeps its start
// asks for none.
TEST(RecordMend, AStreamThatLostItsStartIsMendedWhereItLiesInTheRoomAskedFor)
{
    const auto same = [](const std::vector<MendedRegion>& a, const std::vector<MendedRegion>& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const MendedRegion& x, const MendedRegion& y) {
            return std::tie(x.kind, x.offset, x.length, x.sheet) == std::tie(y.kind, y.offset, y.length, y.sheet);
        });
    };
    for (const char* name : {"readxl__more-than-256-unique-strings-xls.xls", "npoi__59858.xls", "lotest__300-worksheets.xls"})
        EXPECT_EQ(RoomToMend(StreamOf(name)), 0u) << name;
    // A large string table right after the globals' first record: where the start goes, the
    // table comes back in the place of what is left of it, and the stream does not grow by it.
    const auto [strings, cells] = StringsAndCells(3000, "String number", 13);
    const Bytes intact = test::Workbook(8, test::StringTable(strings, 20, 8, 8224), {{"Texts", cells}, {"More", Rows(0, 40, 7)}});
    EXPECT_EQ(RoomToMend(intact), 0u);
    for (const std::size_t lost : {std::size_t{64}, std::size_t{4096}}) {
        const std::string what = "first " + std::to_string(lost) + " bytes zeroed";
        Bytes damaged = intact;
        std::fill_n(damaged.begin(), lost, std::uint8_t{0});
        const std::size_t room = RoomToMend(damaged);

        Bytes tight(damaged.begin(), damaged.end());
        const std::vector<MendedRegion> tightRegions = MendWorkbookStream(tight);
        EXPECT_LE(tight.size(), damaged.size()) << what << ": the table took its old records' place";
        Bytes roomy;
        roomy.reserve(damaged.size() + room);
        roomy.assign(damaged.begin(), damaged.end());
        const std::uint8_t* const where = roomy.data();
        const std::vector<MendedRegion> roomyRegions = MendWorkbookStream(roomy);

        EXPECT_EQ(roomy, tight) << what;
        EXPECT_TRUE(same(roomyRegions, tightRegions)) << what;
        EXPECT_LE(tight.size(), damaged.size() + room) << what << ": the room asked for holds what the mending adds";
        EXPECT_EQ(roomy.data(), where) << what << ": grown where it lies";
        EXPECT_GE(TextsAfterMending(intact, damaged, "String"), 3000 - 8 - lost / 16) << what << ": the strings after the first bucket that lost any";
    }
}

// A hole in the middle of a long table of strings all alike (generated names of one length, as
// a column of codes gives): its records are alike too, so an index read a record or more off
// lands its buckets past the hole as well as the right one. The table's start, read string by
// string up to the hole, proves where the index's places lie: no cell shows another's text,
// wherever the hole falls, and the strings from the bucket after it on come back. So they do
// where the index names a bucket that begins a record as LibreOffice names it.
TEST(RecordMend, AHoleInATableOfStringsAllAlikeLeavesEveryStringInItsPlace)
{
    const unsigned count = 632 * 9 + 79;  // 632 strings of 13 bytes fill a record
    std::vector<std::string> strings;
    Bytes cells;
    for (unsigned k = 0; k < count; ++k) {
        strings.push_back("Code " + std::to_string(10000 + k));
        cells += Record(biff::kLabelSst, Cell(k % 4000, k / 4000) + Le32(k));
    }
    for (const unsigned perBucket : {64u, 79u}) {
        const bool asLibreOffice = perBucket == 79;  // each record begins a bucket
        const Bytes intact = test::Workbook(8, test::StringTable(strings, 20, perBucket, 8224, asLibreOffice), {{"Codes", cells}});
        const std::vector<std::string> original = SortedCells(intact);
        for (std::size_t hole = 20480; hole < 60000; hole += 2048) {
            Bytes damaged = intact;
            std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(hole), 512, std::uint8_t{0});
            EXPECT_GE(TextsAfterMending(original, damaged, "Code"), count - 40 - 2 * perBucket)
                << "a hole at " << hole << ", " << perBucket << " strings a bucket";
        }
    }
}

// A table with no index (xlwt writes none) and holes in its middle: no place after a hole is
// named, but the table's start says how many strings it holds and its end survives. Read back
// from the end, the strings after the last hole keep their places; those between it and the
// strings read from the start are gone, never another's.
TEST(RecordMend, ATableWithoutAnIndexKeepsItsLastStringsPastAHole)
{
    const auto [strings, cells] = StringsAndCells(6000, "String number", 13);
    const Bytes table = test::SplitStringTable(strings);
    const Bytes intact = test::Workbook(8, table, {{"Texts", cells}});
    const std::vector<std::string> original = SortedCells(intact);
    const std::size_t tableAt = test::BofRecord(8, 5).size();
    std::vector<std::size_t> headers;  // of the table's CONTINUE records, in the stream
    for (std::size_t at = 4u + LoadLe16(table.data() + 2); at < table.size(); at += 4u + LoadLe16(table.data() + at + 2))
        headers.push_back(tableAt + at);
    ASSERT_GE(headers.size(), 8u);
    const auto holed = [&](std::initializer_list<std::size_t> holes) {
        Bytes damaged = intact;
        for (const std::size_t hole : holes)
            std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(hole), 512, std::uint8_t{0});
        return damaged;
    };
    // (Each string takes 18 to 22 bytes in the table: a hole of 512 bytes touches 30 at most.
    // The damage zeroes whole sectors, on the stream's 512-byte grid.)
    const std::size_t late = (headers[6] + 1024) / 512 * 512, early = (headers[1] + 1024) / 512 * 512;
    const std::size_t end = tableAt + table.size();
    EXPECT_GE(TextsAfterMending(original, holed({late}), "String"), 6000u - 30u - 8u) << "one hole";
    const std::size_t both = TextsAfterMending(original, holed({early, late}), "String");
    EXPECT_GE(both, (early - tableAt) / 22 + (end - late - 512) / 22 - 8u) << "two holes: before the first and after the last";
    EXPECT_LE(both, 6000u - (late - early - 512) / 22) << "what lay between them went";
    // A hole over a record's header: the records after it end where a record of another kind
    // follows them.
    EXPECT_GE(TextsAfterMending(original, holed({headers[4] / 512 * 512}), "String"), 6000u - 30u - 8u) << "over a header";
}

// The first 4 KiB zeroed, the string table's first record with them: the table is read again
// from its index and written where its records and index were, right after the new start (the
// stream does not grow: a large workbook's table is not held twice in it), the strings that lay
// in the zeroed bytes as empty ones. Every string after them comes back, those of the first
// bucket too: read back from where the second begins.
TEST(RecordMend, ATableThatLostItsStartIsWrittenWhereItLay)
{
    const auto [strings, cells] = StringsAndCells(3000, "String number", 13);
    const Bytes intact = test::Workbook(8, test::StringTable(strings, 20, 500, 8224), {{"Texts", cells}, {"More", Rows(0, 40, 7)}});
    Bytes damaged = intact;
    std::fill_n(damaged.begin(), 4096, std::uint8_t{0});
    std::size_t lost = 0;  // the strings that begin before 4096 (the table's first, after the globals' BOF, at 32)
    for (std::size_t at = 20 + 4 + 8; at < 4096; at += 3 + strings[lost++].size()) {
    }
    const Bytes mended = Mended(damaged);
    EXPECT_LE(mended.size(), damaged.size()) << "the table is written where it lay";
    EXPECT_EQ(TextsAfterMending(intact, damaged, "String"), 3000u - lost);
    Bytes again = mended;
    EXPECT_TRUE(MendWorkbookStream(again).empty()) << "settled";
    EXPECT_EQ(again, mended);

    // With strings zeroed further on too, in the fourth bucket: its strings past the hole go.
    std::fill_n(damaged.begin() + 40000, 512, std::uint8_t{0});
    EXPECT_LE(Mended(damaged).size(), damaged.size()) << "the table is written anew where it lay";
    const std::size_t texts = TextsAfterMending(intact, damaged, "String");
    EXPECT_LT(texts, 3000u - lost - 512 / 24);
    EXPECT_GE(texts, 3000u - lost - 500);
}

// The globals' start gone and the table's first record taken for a CONTINUE record (its type
// overwritten): the fonts before it read on to it, the new start is larger than what the damage
// left and moves the rest of the stream up, and the table goes where it lay all the same,
// written over the very strings it is read from: every text back, each the original's.
TEST(RecordMend, ATableWrittenWhereItLayBehindANewStartThatMovedTheStream)
{
    const auto [strings, cells] = StringsAndCells(3000, "String number", 13);
    Bytes fonts;
    for (int i = 0; i < 40; ++i)
        fonts += Record(biff::kFont, Le16(200) + Le16(0) + Le16(400) + Le16(0) + Le16(0) + Bytes{0, 0, 0, 0} + Bytes{5, 0} + test::Ascii("Arial"));
    const std::size_t table = 20 + fonts.size();  // after the globals' BOF
    for (const std::size_t longest : {std::size_t{300}, std::size_t{8224}}) {
        const std::string what = "records of " + std::to_string(longest) + " bytes";
        const Bytes intact =
            test::Workbook(8, fonts + test::StringTable(strings, table, 20, longest), {{"Texts", cells}, {"More", Rows(0, 40, 7)}});
        Bytes damaged = intact;
        std::fill_n(damaged.begin(), 30, std::uint8_t{0});
        StoreLe16(damaged.data() + table, biff::kContinue);
        const Bytes mended = Mended(damaged);
        EXPECT_GT(mended.size(), damaged.size()) << what << ": the new start moved the stream";
        EXPECT_LT(mended.size(), damaged.size() + 4096) << what << ": the table is written where it lay";
        EXPECT_EQ(TextsAfterMending(intact, damaged, "String"), 3000u) << what;
        Bytes again = mended;
        EXPECT_TRUE(MendWorkbookStream(again).empty()) << what << ": settled";
    }
}

// The globals lost up to the middle of a long record whose body holds bytes that read as a
// record header, long enough to run over the first sheet's BOF and land on its records: the
// records are picked up again at the sheet's BOF, and both sheets keep every cell.
TEST(RecordMend, ASheetStartInsideWhatReadsAsOneLongRecordIsWhereRecordsResume)
{
    const auto build = [](std::uint16_t length) {
        const Bytes body = Bytes(300, 0x11) + Le16(biff::kName) + Le16(length) + Bytes(300, 0x11);
        return test::Workbook(8, Record(biff::kMsoDrawingGroup, body), {{"One", Rows(11, 30, 3)}, {"Two", Rows(11, 20, 500)}});
    };
    const std::size_t header = 20 + 4 + 300;  // the globals' BOF, the long record's header, the bytes before
    const WorkbookCells layout = ReadWorkbookCells(build(14));
    // Past the first sheet's BOF and its first NUMBER record, on its first LABEL.
    const std::size_t target = layout.sheets.at(0).offset + 20 + 18;
    const Bytes intact = build(static_cast<std::uint16_t>(target - header - 4));
    const WorkbookCells cells = ReadWorkbookCells(intact);
    ASSERT_EQ(cells.sheets.size(), 2u);
    Bytes damaged = intact;
    std::fill(damaged.begin(), damaged.begin() + static_cast<std::ptrdiff_t>(header - 40), 0);
    const WorkbookCells mended = ReadWorkbookCells(Mended(damaged));
    ASSERT_EQ(mended.sheets.size(), 2u);
    for (std::size_t s = 0; s < 2; ++s)
        EXPECT_EQ(test::CellLines(mended.sheets[s].cells), test::CellLines(cells.sheets[s].cells)) << "sheet " << s;
}

// Cuts `intact` at `cut` and mends it: it ends after the last whole record, with an EOF, and
// keeps every cell of the records before the cut.
void ExpectCutMended(const Bytes& intact, std::size_t cut)
{
    const std::string what = "cut at " + std::to_string(cut);
    std::size_t whole = 0;
    for (const BiffRecord& record : ListRecords(intact)) {
        if (record.offset + 4u + record.length <= cut)
            whole = record.offset + 4u + record.length;
    }
    const Bytes damaged(intact.begin(), intact.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_TRUE(FirstRecordDamage(damaged)) << what;
    const Bytes mended = Mended(damaged);
    ASSERT_EQ(mended.size(), whole + 4) << what;
    EXPECT_TRUE(std::equal(mended.begin(), mended.begin() + static_cast<std::ptrdiff_t>(whole), intact.begin())) << what;
    EXPECT_EQ(LoadLe16(mended.data() + whole), biff::kEof) << what;
    std::set<std::string> kept;
    for (const std::string& cell : PlacedCells(intact)) {
        if (std::stoul(cell.substr(cell.find('@') + 1)) < whole)
            kept.insert(cell);
    }
    EXPECT_EQ(PlacedCells(mended), kept) << what;
}

// The stream cut in the last sheet: inside a record's header, inside its body, one byte short
// of its end, and right after it.
TEST(RecordMend, ACutStreamEndsAtItsLastWholeRecord)
{
    const std::uint32_t lastSheet = ReadWorkbookCells(kIntact).sheets.at(1).offset;
    for (const BiffRecord& record : ListRecords(kIntact)) {
        if (record.offset > lastSheet + 100 && record.offset < lastSheet + 400) {
            for (const std::size_t cut : {record.offset + 1u, record.offset + 9u, record.offset + 3u + record.length,
                                          record.offset + 4u + record.length})
                ExpectCutMended(kIntact, cut);
        }
    }
}

// Wherever the cut falls, even where it leaves the start of a record that reads as a short
// record of another type (a cut at 1734, say), the records before it are kept whole.
TEST(RecordMend, ACutStreamEndsAtItsLastWholeRecordWhereverItFalls)
{
    const std::uint32_t lastSheet = ReadWorkbookCells(kIntact).sheets.at(1).offset;
    for (std::size_t cut = lastSheet + 21; cut < kIntact.size() - 4; ++cut)
        ExpectCutMended(kIntact, cut);
}


// Each cell of `mended` as the intact stream has it at its sheet's place, row and column, or
// absent (an empty text shows as nothing): never another value. Gives how many it holds.
std::size_t ExpectEachCellTheOriginalsOrAbsent(const Bytes& intact, const Bytes& mended, const std::string& what)
{
    std::map<std::tuple<std::size_t, unsigned, unsigned>, std::string> original;
    const WorkbookCells before = ReadWorkbookCells(intact);
    for (std::size_t sheet = 0; sheet < before.sheets.size(); ++sheet) {
        for (const CellValue& cell : before.sheets[sheet].cells)
            original[{sheet, cell.row, cell.column}] = test::CellLine(cell);
    }
    std::size_t kept = 0;
    const WorkbookCells after = ReadWorkbookCells(mended);
    for (std::size_t sheet = 0; sheet < after.sheets.size(); ++sheet) {
        for (const CellValue& cell : after.sheets[sheet].cells) {
            if (cell.kind == CellKind::Text && cell.text.empty())
                continue;
            const auto place = original.find({sheet, cell.row, cell.column});
            const std::string line = test::CellLine(cell);
            EXPECT_TRUE(place != original.end() && place->second == line)
                << what << ": sheet " << sheet << " holds " << line << " where the original holds "
                << (place == original.end() ? "nothing" : place->second);
            ++kept;
        }
    }
    return kept;
}

// Texts from a shared-string table of ten buckets in several CONTINUE records, and numbers.
Bytes SharedTexts()
{
    std::vector<std::string> strings;
    for (unsigned i = 0; i < 80; ++i)
        strings.push_back("Text " + std::to_string(i) + std::string(i % 13, static_cast<char>('a' + i % 26)));
    Bytes texts, more;
    for (unsigned i = 0; i < strings.size(); ++i) {
        texts += Record(biff::kLabelSst, Cell(i, 0) + Le32(i)) + Record(biff::kNumber, Cell(i, 1) + test::Double(i * 0.5 + 3));
        more += Record(biff::kRk, Cell(i, 0) + Le32(((i + 7) << 2) | 2)) + Record(biff::kLabelSst, Cell(i, 1) + Le32(79 - i));
    }
    // A long label, and a formula whose string result runs on in a CONTINUE record (each part
    // with its own option byte): texts long enough to hold a zeroed unit.
    std::string label, result;
    for (unsigned i = 0; i < 40; ++i) {
        label += "label " + std::to_string(i) + ";";
        result += "result " + std::to_string(i) + ";";
    }
    const std::size_t half = result.size() / 2;
    more += Record(biff::kLabel, Cell(90, 0) + Le16(static_cast<unsigned>(label.size())) + Bytes{0} + test::Ascii(label)) +
            Record(biff::kFormula, Cell(91, 0) + Bytes{0, 0, 0, 0, 0, 0, 0xFF, 0xFF} + Le16(0) + Le32(0) + Le16(4) + Bytes{0x17, 1, 0, 'x'}) +
            Record(biff::kString, Le16(static_cast<unsigned>(result.size())) + Bytes{0} + test::Ascii(result.substr(0, half))) +
            Record(biff::kContinue, Bytes{0} + test::Ascii(result.substr(half)));
    // The table follows the globals' BOF, 20 bytes in.
    return test::Workbook(8, test::StringTable(strings, 20), {{"Texts", texts}, {"More", more}});
}

// Zeroed units (64 bytes from a multiple of 64, as the mini stream's sectors lie, or 512, a
// sector) anywhere: over cells, over a long label and a formula's string result, over strings
// of the shared-string table, over its buckets' starts and its CONTINUE records' headers, over
// its index. Every cell afterwards is the original's or absent, the stream reads whole, and a
// second mending leaves it as it is.
TEST(RecordMend, AfterAZeroedUnitEachCellIsTheOriginalsOrAbsent)
{
    const Bytes intact = SharedTexts();
    ExpectLeftAsItIs("shared texts", intact);
    std::size_t cells = 0, kept = 0, continueHeaders = 0;
    std::uint32_t lastBucket = 0;  // where the index says the last bucket's first string lies
    for (const BiffRecord& record : ListRecords(intact)) {
        if (record.type == biff::kExtSst)
            lastBucket = LoadLe32(intact.data() + record.offset + 4 + record.length - 8);
    }
    for (const std::size_t length : {64u, 512u}) {
        for (std::size_t from = 0; from < intact.size(); from += 64) {
            const std::string what = "zeroed " + std::to_string(from) + " + " + std::to_string(length);
            Bytes mended = intact;
            std::fill(mended.begin() + static_cast<std::ptrdiff_t>(from),
                      mended.begin() + static_cast<std::ptrdiff_t>(std::min(intact.size(), from + length)), 0);
            MendWorkbookStream(mended);
            EXPECT_EQ(FirstRecordDamage(mended), std::nullopt) << what;
            Bytes again = mended;
            EXPECT_TRUE(MendWorkbookStream(again).empty()) << what;
            EXPECT_EQ(again, mended) << what;
            kept += ExpectEachCellTheOriginalsOrAbsent(intact, mended, what);
            cells += ReadWorkbookCells(intact).sheets.size() * 160;
            // Over a CONTINUE record's header, the strings of the buckets after it are read
            // again from where the index says they begin.
            for (const BiffRecord& record : ListRecords(intact)) {
                if (record.type == biff::kContinue && record.offset >= from && record.offset < from + 64 && length == 64 &&
                    from + 64 <= lastBucket) {
                    ++continueHeaders;
                    const WorkbookCells book = ReadWorkbookCells(mended);
                    ASSERT_EQ(book.sheets.size(), 2u) << what;
                    EXPECT_EQ(book.sheets[0].cells.at(158).text, "Text 79" + std::string(79 % 13, 'b')) << what;
                }
            }
        }
    }
    EXPECT_GE(continueHeaders, 3u);
    EXPECT_GT(kept, cells * 3 / 4) << "the mending keeps most of what it can prove";
}

// A run of numbers in one record (MULRK) over a zeroed unit: the values there read as zeros,
// which the workbook never held. The record goes; the cells around it stay.
TEST(RecordMend, ARunOfNumbersOverZerosGoes)
{
    Bytes run = Le16(3) + Le16(0);
    for (unsigned k = 0; k < 60; ++k)
        run += Le16(15) + Le32(((k + 1) << 2) | 2);  // whole numbers 1 to 60
    run = run + Le16(59);
    const Bytes intact = test::Workbook(8, Record(biff::kCodePage, Le16(1200)), {{"One", Rows(11, 4, 3) + Record(biff::kMulRk, run) + Rows(20, 4, 9)}});
    ExpectLeftAsItIs("a run of numbers", intact);
    const std::vector<BiffRecord> records = ListRecords(intact);
    const BiffRecord mulRk = *std::find_if(records.begin(), records.end(), [](const BiffRecord& r) { return r.type == biff::kMulRk; });
    const std::size_t unit = (mulRk.offset + 4 + 63) / 64 * 64;
    ASSERT_LE(unit + 64, mulRk.offset + 4u + mulRk.length);
    Bytes damaged = intact;
    std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(unit), 64, std::uint8_t{0});
    const Bytes mended = Mended(damaged);
    ExpectEachCellTheOriginalsOrAbsent(intact, mended, "a zeroed unit in the run");
    const WorkbookCells book = ReadWorkbookCells(mended);
    const std::vector<CellValue>& cells = book.sheets.at(0).cells;
    EXPECT_TRUE(std::none_of(cells.begin(), cells.end(), [](const CellValue& cell) { return cell.row == 3; }));
    EXPECT_EQ(cells.size(), 8u * 3u);
}

// A chart inside a sheet, its first record lost: the chart's series values read as cells,
// which are no cells of the sheet. Lost with the sheet's last cells in a hole (before the
// sheet's end, or before a second chart's start), or cut out of a stream that was joined
// across the lost stretch.
TEST(RecordMend, WhatIsLeftOfASubstreamWhoseStartWentIsNoPartOfItsSheet)
{
    Bytes chart = test::BofRecord(8, 0x0020) + Record(biff::kChart, Bytes(16, 0)) + Record(biff::kSiIndex, Le16(1));
    for (unsigned k = 0; k < 6; ++k)
        chart += Record(biff::kNumber, Cell(k, 1) + test::Double(1000.5 + k));
    chart += Record(biff::kEof, {});
    const Bytes drawing = Record(biff::kMsoDrawing, Bytes(30, 7)) + Record(biff::kObj, Bytes(26, 0));
    struct Case {
        const char* what;
        Bytes afterChart;  // the sheet's records after the chart
        bool cut;          // the chart's start cut out of the stream, not zeroed
    };
    const Case cases[] = {
        {"a hole, the sheet's end after the chart", Record(biff::kWindow2, Bytes(18, 0)), false},
        {"a hole, another chart after the chart", drawing + chart + Record(biff::kWindow2, Bytes(18, 0)), false},
        {"cut out, the sheet's end after the chart", Record(biff::kWindow2, Bytes(18, 0)), true},
        {"cut out, another chart after the chart", drawing + chart + Record(biff::kWindow2, Bytes(18, 0)), true},
    };
    for (const Case& c : cases) {
        const Bytes intact =
            test::Workbook(8, {}, {{"Plotted", Rows(0, 12, 7) + chart + c.afterChart}, {"After", Rows(0, 4, 40)}});
        const std::size_t chartAt = static_cast<std::size_t>(
            std::search(intact.begin(), intact.end(), chart.begin(), chart.end()) - intact.begin());
        Bytes damaged = intact;
        const auto first = damaged.begin() + static_cast<std::ptrdiff_t>(chartAt);
        if (c.cut)
            damaged.erase(first, first + 20);  // the chart's BOF record
        else
            std::fill(first - 30, first + 30, 0);
        const Bytes mended = Mended(damaged);
        const std::size_t kept = ExpectEachCellTheOriginalsOrAbsent(intact, mended, c.what);
        const std::size_t sheetCells = ReadWorkbookCells(intact).sheets.at(0).cells.size();
        EXPECT_GE(kept, sheetCells - (c.cut ? 0 : 2) + 12) << c.what << ": the cells outside the damage stay";
    }

    // A record of another kind that a changed bit made a chart's (0x0017 to 0x1017), in a stream
    // with damage elsewhere: one such record alone is no chart, and the sheet keeps its cells.
    const Bytes lone = Record(0x0017, Le16(1));
    const Bytes intact = test::Workbook(8, {}, {{"Plotted", Rows(0, 12, 7) + lone + Rows(12, 12, 7)}, {"After", Rows(0, 20, 40)}});
    Bytes damaged = intact;
    const auto loneAt = std::search(damaged.begin(), damaged.end(), lone.begin(), lone.end());
    ASSERT_NE(loneAt, damaged.end());
    loneAt[1] ^= 0x10;
    const std::size_t hole = (damaged.size() - 200) / 64 * 64;
    std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(hole), 64, std::uint8_t{0});
    const Bytes mended = Mended(damaged);
    ExpectEachCellTheOriginalsOrAbsent(intact, mended, "a lone record of a chart's kind");
    EXPECT_EQ(ReadWorkbookCells(mended).sheets.at(0).cells.size(), ReadWorkbookCells(intact).sheets.at(0).cells.size());
}

// A cell that names a string past the shared-string table's end shows nothing (xlrd refuses the
// workbook). Where the stream was mended elsewhere it goes with the damage that took its
// string; in a stream with no other damage it is left as the workbook holds it.
TEST(RecordMend, ACellNamingAStringPastTheTablesEndGoesWhereTheStreamWasMended)
{
    Bytes texts;
    for (unsigned row = 0; row < 3; ++row)
        texts += Record(biff::kLabelSst, Cell(row, 0) + Le32(row));
    texts += Record(biff::kLabelSst, Cell(3, 0) + Le32(7)) + Rows(10, 20, 5);
    const Bytes intact = test::Workbook(8, test::StringTable({"one", "two", "three"}, 20), {{"Texts", texts}, {"More", Rows(0, 40, 9)}});
    ExpectLeftAsItIs("a cell past the table's end, no other damage", intact);

    Bytes damaged = intact;
    const std::size_t hole = (damaged.size() - 300) / 64 * 64;
    std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(hole), 64, std::uint8_t{0});
    const Bytes mended = Mended(damaged);
    ExpectEachCellTheOriginalsOrAbsent(intact, mended, "a cell past the table's end");
    const WorkbookCells after = ReadWorkbookCells(mended);
    const std::vector<CellValue>& cells = after.sheets.at(0).cells;
    const auto named = [&](unsigned row) {
        return std::ranges::any_of(cells, [row](const CellValue& cell) { return cell.row == row && cell.column == 0 && !cell.text.empty(); });
    };
    EXPECT_TRUE(named(0) && named(1) && named(2)) << "the cells whose strings the table holds stay";
    std::size_t past = 0;
    for (const BiffRecord& record : ListRecords(mended))
        past += record.type == biff::kLabelSst && LoadLe32(mended.data() + record.offset + 10) >= 3 ? 1u : 0u;
    EXPECT_EQ(past, 0u) << "no cell names a string past the table's end";
}

// An external name whose external workbook's record (SUPBOOK) the damage took has nowhere to
// belong (xlrd refuses the workbook): it goes, and the names of a workbook whose record stands
// stay.
TEST(RecordMend, AnExternalNameWhoseWorkbookWentGoesWithIt)
{
    const Bytes book = Record(biff::kSupBook, Le16(1) + Le16(4) + Bytes{0} + test::Ascii("ext.xls") + Le16(5) + Bytes{0} + test::Ascii("Sheet"));
    const auto externalName = [](const std::string& name) {
        return Record(biff::kExternName, Le16(0) + Le32(0) + Bytes{static_cast<std::uint8_t>(name.size()), 0} + test::Ascii(name) +
                                             Le16(2) + Bytes{0x1C, 0x17});
    };
    const Bytes own = Record(biff::kSupBook, Le16(1) + Le16(0x0401));
    const Bytes globals = Record(biff::kCodePage, Le16(1200)) + Record(biff::kCountry, Le16(1) + Le16(1)) + book +
                          externalName("Rate") + externalName("Total") + own;
    const Bytes intact = test::Workbook(8, globals, {{"One", Rows(0, 30, 3)}, {"Two", Rows(0, 20, 500)}});
    ExpectLeftAsItIs("external names", intact);
    const std::size_t bookAt = static_cast<std::size_t>(std::search(intact.begin(), intact.end(), book.begin(), book.end()) - intact.begin());
    Bytes damaged = intact;
    std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(bookAt), book.size(), std::uint8_t{0});
    const Bytes mended = Mended(damaged);
    bool bookSeen = false;
    for (const BiffRecord& record : ListRecords(mended)) {
        if (record.type == biff::kEof)
            break;
        bookSeen = bookSeen || record.type == biff::kSupBook;
        EXPECT_TRUE(bookSeen || record.type != biff::kExternName) << "an external name with no workbook before it, at " << record.offset;
    }
    EXPECT_EQ(test::CellLines(ReadWorkbookCells(mended)), test::CellLines(ReadWorkbookCells(intact)));
}

// The parsed expression of each defined name, in the order of the list (BIFF8's NAME records,
// names of one-byte characters).
std::vector<Bytes> Definitions(const Bytes& stream)
{
    std::vector<Bytes> definitions;
    for (const BiffRecord& record : ListRecords(stream)) {
        if (record.type == biff::kEof)
            break;
        if (record.type == biff::kName) {
            const std::uint8_t* body = stream.data() + record.offset + 4;
            const std::size_t at = 15u + body[3];
            definitions.emplace_back(body + at, body + at + LoadLe16(body + 4));
        }
    }
    return definitions;
}

// Defined names whose definitions name others by their place in the list: where the damage may
// have taken names before them, no definition names a place (it would name another name now);
// where it lay elsewhere, only a place past the list's end goes (xlrd refuses the workbook).
TEST(RecordMend, ADefinitionNamesNoNameWhosePlaceInTheListMayHaveChanged)
{
    const auto name = [](const std::string& text, const Bytes& definition) {
        return Record(biff::kName, Le16(0) + Bytes{0, static_cast<std::uint8_t>(text.size())} +
                                       Le16(static_cast<unsigned>(definition.size())) + Le16(0) + Le16(0) + Bytes{0, 0, 0, 0, 0} +
                                       test::Ascii(text) + definition);
    };
    const auto named = [](unsigned place) { return Bytes{0x23} + Le16(place) + Le16(0); };  // tName
    const Bytes unknown{0x1C, 0x1D, 0x15, 0x15, 0x15};  // #NAME?, padded with parentheses
    const Bytes both = named(1) + named(2) + Bytes{0x03};
    const Bytes alpha = name("Alpha", {0x1E, 5, 0});
    const Bytes globals = Record(biff::kCodePage, Le16(1200)) + alpha + name("Beta", {0x1E, 7, 0}) + name("Both", both) +
                          name("Stray", named(9));
    const Bytes intact = test::Workbook(8, globals, {{"One", Rows(0, 30, 3)}, {"Two", Rows(0, 20, 500)}});
    ExpectLeftAsItIs("names naming names", intact);

    // The list of names is whole where the damage lies in a sheet: only a place past its end
    // names no name.
    Bytes damaged = intact;
    std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(LoadLe32(intact.data() + LastSheetEntry(intact) + 4) + 200), 60,
                std::uint8_t{0});
    std::vector<Bytes> definitions = Definitions(Mended(damaged));
    ASSERT_EQ(definitions.size(), 4u);
    EXPECT_EQ(definitions[2], both);
    EXPECT_EQ(definitions[3], unknown);

    // The first name went: the places after it name the names after the ones they named.
    damaged = intact;
    const auto alphaAt = std::search(damaged.begin(), damaged.end(), alpha.begin(), alpha.end());
    std::fill_n(alphaAt, alpha.size(), std::uint8_t{0});
    const Bytes mended = Mended(damaged);
    definitions = Definitions(mended);
    ASSERT_EQ(definitions.size(), 3u);
    EXPECT_EQ(definitions[0], (Bytes{0x1E, 7, 0}));
    EXPECT_EQ(definitions[1], unknown + unknown + Bytes{0x03});
    EXPECT_EQ(definitions[2], unknown);
    EXPECT_EQ(test::CellLines(ReadWorkbookCells(mended)), test::CellLines(ReadWorkbookCells(intact)));
}

// Whether every substream the list of sheets leads to, and the globals, end before the next
// one the list leads to begins: readers read a sheet from its entry up to its end record, and
// one that never ends runs on into the next sheet or past the stream's end.
bool EverySheetEndsBeforeTheNext(const Bytes& stream)
{
    std::vector<std::size_t> starts{0};
    for (std::size_t at = 0; LoadLe16(stream.data() + at) != biff::kEof; at += 4u + LoadLe16(stream.data() + at + 2)) {
        if (LoadLe16(stream.data() + at) == biff::kBoundSheet)
            starts.push_back(LoadLe32(stream.data() + at + 4));
    }
    std::ranges::sort(starts);
    for (std::size_t k = 0; k < starts.size(); ++k) {
        const std::size_t next = k + 1 < starts.size() ? starts[k + 1] : stream.size();
        int open = 0;
        std::size_t at = starts[k];
        for (; at + 4 <= next; at += 4u + LoadLe16(stream.data() + at + 2)) {
            open += LoadLe16(stream.data() + at) == biff::kBof ? 1 : LoadLe16(stream.data() + at) == biff::kEof ? -1 : 0;
            if (open == 0)
                break;
        }
        if (at + 4 > next)
            return false;
    }
    return true;
}

// A sheet that lost an end record, its own or that of the chart it holds, to a hole, a cut or
// bytes left out, ends before the next sheet all the same (the end record goes where the hole
// was, or over the records right before the next sheet), as do globals whose end went with the
// bytes up to the first sheet. Every cell is the original's or absent; those of the next sheet
// all stay.
TEST(RecordMend, ASheetThatLostAnEndRecordEndsBeforeTheNextSheet)
{
    Bytes chart = test::BofRecord(8, biff::kChartSubstream) + Record(biff::kChart, Bytes(16, 0));
    for (unsigned k = 0; k < 6; ++k)
        chart += Record(biff::kNumber, Cell(k, 1) + test::Double(1000.5 + k));
    chart += Record(biff::kEof, {});
    const Bytes globalsEnd = Record(biff::kDateMode, Le16(0)) + Record(biff::kCountry, Le16(1) + Le16(49));
    const Bytes intact = test::Workbook(8, {}, {{"Plotted", Rows(0, 12, 7) + chart + Record(biff::kWindow2, Bytes(18, 0))}, {"After", Rows(0, 4, 40)}},
                                        {}, globalsEnd);
    const WorkbookCells before = ReadWorkbookCells(intact);
    const std::size_t chartEnd = static_cast<std::size_t>(std::search(intact.begin(), intact.end(), chart.begin(), chart.end()) - intact.begin()) + chart.size();
    const std::size_t firstSheet = before.sheets.at(0).offset;
    const auto zeroed = [&](std::size_t from, std::size_t to) {
        Bytes damaged = intact;
        std::fill(damaged.begin() + static_cast<std::ptrdiff_t>(from), damaged.begin() + static_cast<std::ptrdiff_t>(to), 0);
        return damaged;
    };
    // The chart's end record left out, and the next sheet's entry moved up with what follows.
    Bytes leftOut = intact;
    leftOut.erase(leftOut.begin() + static_cast<std::ptrdiff_t>(chartEnd - 4), leftOut.begin() + static_cast<std::ptrdiff_t>(chartEnd));
    StoreLe32(leftOut.data() + LastSheetEntry(leftOut) + 4, before.sheets.at(1).offset - 4);
    const struct {
        const char* what;
        Bytes damaged;
        bool nextSheetStays;
    } cases[] = {
        {"a hole over the chart's end, the sheet's window after it", zeroed(chartEnd - 20, chartEnd), true},
        {"a hole over the globals' end up to the first sheet", zeroed(firstSheet - 10, firstSheet), true},
        {"the chart's end record left out", leftOut, true},
        {"a cut inside the chart", Bytes(intact.begin(), intact.begin() + static_cast<std::ptrdiff_t>(chartEnd - 22)), false},
    };
    for (const auto& c : cases) {
        const Bytes mended = Mended(c.damaged);
        EXPECT_TRUE(EverySheetEndsBeforeTheNext(mended)) << c.what;
        ExpectEachCellTheOriginalsOrAbsent(intact, mended, c.what);
        const WorkbookCells after = ReadWorkbookCells(mended);
        ASSERT_EQ(after.sheets.size(), 2u) << c.what;
        EXPECT_GE(after.sheets[0].cells.size(), 36u) << c.what << ": the sheet's rows stay";
        if (c.nextSheetStays) {
            EXPECT_EQ(test::CellLines(after.sheets[1].cells), test::CellLines(before.sheets[1].cells)) << c.what;
        }
    }
}

// A changed bit in the length of each of `texts` in the string table of `intact`, in turn: it
// is damage at that byte, set right, and every text comes back. (The cells' styles, which the
// built streams lack, come back with any mending.)
void ExpectChangedLengthsSetRight(const Bytes& intact, std::initializer_list<const char*> texts, const std::string& as)
{
    const std::vector<std::string> cells = test::CellLines(ReadWorkbookCells(intact));
    for (const char* text : texts) {
        const auto chars = std::search(intact.begin(), intact.end(), text, text + std::strlen(text));
        ASSERT_NE(chars, intact.end());
        const std::size_t count = static_cast<std::size_t>(chars - intact.begin()) - 3;
        for (const unsigned bit : {0u, 4u, 9u}) {
            const std::string what = as + "a length changed in " + text + ", bit " + std::to_string(bit);
            const std::size_t at = count + bit / 8;
            Bytes flipped = intact;
            flipped[at] ^= static_cast<std::uint8_t>(1u << (bit % 8));
            EXPECT_EQ(FirstRecordDamage(flipped), at) << what;
            std::vector<MendedRegion> regions;
            EXPECT_EQ(test::CellLines(ReadWorkbookCells(Mended(flipped, &regions))), cells) << what;
            ASSERT_FALSE(regions.empty()) << what;
            EXPECT_EQ(regions.front().offset, at) << what;
        }
    }
}

// A large string table, whose index goes on in a CONTINUE record, and the stream's start lost
// into the table's first record: the strings of the buckets that only the index's
// continuation places come back too. Those buckets check the strings' lengths as the first
// ones do: a changed bit in the length of a string in one of them is damage, set right.
// Both as Excel names a bucket that begins a record and as LibreOffice does (by its header).
TEST(RecordMend, AnIndexThatGoesOnInAContinueRecordPlacesItsLastBuckets)
{
    std::vector<std::string> strings;
    for (unsigned i = 0; i < 9000; ++i)
        strings.push_back("string " + std::to_string(i));
    for (const bool asLibreOffice : {false, true}) {
        const std::string as = asLibreOffice ? "LibreOffice's index: " : "Excel's index: ";
        Bytes table = test::StringTable(strings, 20, 8, asLibreOffice ? 300 : 8224, asLibreOffice);
        // The index is the last record; past 8224 bytes it goes on in a CONTINUE record.
        std::size_t indexAt = 0;
        for (std::size_t at = 0; at + 4 <= table.size(); at += 4u + LoadLe16(table.data() + at + 2))
            indexAt = at;
        const Bytes index(table.begin() + static_cast<std::ptrdiff_t>(indexAt) + 4, table.end());
        ASSERT_GT(index.size(), 8224u);
        table.resize(indexAt);
        table += Record(biff::kExtSst, Bytes(index.begin(), index.begin() + 8218)) +
                 Record(biff::kContinue, Bytes(index.begin() + 8218, index.end()));
        Bytes texts;
        for (unsigned i = 0; i < strings.size(); ++i)
            texts += Record(biff::kLabelSst, Cell(i, 0) + Le32(i));
        const Bytes intact = test::Workbook(8, table, {{"Texts", texts}});
        ExpectLeftAsItIs(as + "a large table", intact);
        Bytes damaged = intact;
        std::fill(damaged.begin(), damaged.begin() + 200, 0);
        const Bytes mended = Mended(damaged);
        ExpectEachCellTheOriginalsOrAbsent(intact, mended, as + "the start lost");
        std::size_t late = 0;  // texts of the buckets past the index's first record
        const WorkbookCells book = ReadWorkbookCells(mended);
        for (const CellValue& cell : book.sheets.at(0).cells)
            late += cell.row >= 1027 * 8 && !cell.text.empty() ? 1u : 0u;
        EXPECT_GT(late, 700u) << as;

        ExpectChangedLengthsSetRight(intact, {"string 100", "string 4000", "string 8500"}, as);
    }
}

// A table whose index counts thousands of strings a bucket (as Gnumeric's does for a large
// table), and one without an index, whose count and last record check its strings' lengths:
// a changed bit in a length is found there too.
TEST(RecordMend, ALengthChangedInABucketOfThousandsOrATableWithoutAnIndexIsSetRight)
{
    std::vector<std::string> strings;
    Bytes texts;
    for (unsigned i = 0; i < 9000; ++i) {
        strings.push_back("string " + std::to_string(i));
        texts += Record(biff::kLabelSst, Cell(i, 0) + Le32(i));
    }
    const Bytes large = test::Workbook(8, test::StringTable(strings, 20, 2048, 8224), {{"Texts", texts}});
    ExpectLeftAsItIs("buckets of 2048", large);
    ExpectChangedLengthsSetRight(large, {"string 100", "string 3000", "string 6143", "string 8999"}, "buckets of 2048: ");
    const Bytes unindexed = test::Workbook(8, test::SplitStringTable(strings), {{"Texts", texts}});
    ExpectLeftAsItIs("no index", unindexed);
    ExpectChangedLengthsSetRight(unindexed, {"string 1", "string 5000", "string 8999"}, "no index: ");
    // A writer's zeros after the strings the table counts are no damage, though one changed bit
    // in the last string's length (11 characters, 27 with bit 4) would take them in.
    Bytes padded = test::SplitStringTable(strings);
    std::size_t lastRecord = 0;
    for (std::size_t at = 0; at + 4 <= padded.size(); at += 4u + LoadLe16(padded.data() + at + 2))
        lastRecord = at;
    StoreLe16(padded.data() + lastRecord + 2, static_cast<std::uint16_t>(LoadLe16(padded.data() + lastRecord + 2) + 16));
    padded.insert(padded.end(), 16, 0);
    ExpectLeftAsItIs("no index, zeros after the strings", test::Workbook(8, padded, {{"Texts", texts}}));
}

}  // namespace
}  // namespace tabulon
