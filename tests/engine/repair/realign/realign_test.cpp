// Bytes that moved, put back: real workbooks damaged here the way transfers and carving tools
// damage them, each realigned copy read cell by cell against the workbook, and the damage that
// merely looks like a move left to the salvage.
#include <gtest/gtest.h>

#include <bit>
#include <random>

#include "engine/base/byte_order.h"
#include "engine/base/text.h"
#include "engine/biff/biff_cells.h"
#include "engine/cfb/compound_reader.h"
#include "engine/cfb/consts.h"
#include "engine/repair/realign/realign.h"
#include "engine/repair/pipeline/repair.h"
#include "engine/repair/workbook/workbook.h"
#include "tests/support/biff_builder.h"
#include "tests/support/cell_lines.h"
#include "tests/support/compound_builder.h"
#include "tests/support/workbooks.h"

namespace tabulon {
namespace {

using test::Bytes;
using test::operator+;

std::vector<std::string> CellsOf(const Bytes& bytes)
{
    MemorySectorFile file(bytes);
    const std::optional<Bytes> stream = ReadWorkbookStream(file);
    return stream ? test::CellLines(ReadWorkbookCells(*stream)) : std::vector<std::string>{};
}

std::optional<Bytes> StreamOf(const Bytes& bytes)
{
    MemorySectorFile file(bytes);
    return ReadWorkbookStream(file);
}

std::optional<Realigned> RealignBytes(const Bytes& bytes)
{
    MemorySectorFile file(bytes);
    std::optional<Realigned> realigned = Realign(file);
    EXPECT_EQ(file.Bytes(), bytes) << "the file is only read";
    return realigned;
}

// A text-mode transfer to CR LF line ends: an LF a CR already precedes stays.
Bytes LfToCrLf(const Bytes& bytes)
{
    Bytes out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == 0x0A && (i == 0 || bytes[i - 1] != 0x0D))
            out.push_back(0x0D);
        out.push_back(bytes[i]);
    }
    return out;
}

Bytes CrLfToLf(const Bytes& bytes)
{
    Bytes out;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (!(bytes[i] == 0x0D && i + 1 < bytes.size() && bytes[i + 1] == 0x0A))
            out.push_back(bytes[i]);
    return out;
}

// A cluster of another file stitched in at `at`: random bytes, or lines of text.
void InsertCluster(Bytes& bytes, std::size_t at, std::mt19937& random, bool text = false)
{
    Bytes cluster(4096);
    for (std::uint8_t& byte : cluster)
        byte = static_cast<std::uint8_t>(text ? (random() % 40 == 0 ? 0x0A : 0x20 + random() % 95) : random());
    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), cluster.begin(), cluster.end());
}

std::size_t CountPairs(const Bytes& bytes)
{
    std::size_t pairs = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i)
        pairs += bytes[i] == 0x0D && bytes[i + 1] == 0x0A ? 1u : 0u;
    return pairs;
}

TEST(Realign, LeavesEveryIntactWorkbookAlone)
{
    for (const std::string& name : test::TestWorkbookNames()) {
        const Bytes original = test::TestWorkbook(name);
        EXPECT_FALSE(RealignBytes(original)) << name;
        MemorySectorFile file(original);
        const RepairReport report = PlanRepair(file, RebuildMode::Auto);
        EXPECT_FALSE(report.realign) << name;
        EXPECT_EQ(report.used, RebuildUsed::Kept) << name;
    }
}

TEST(Realign, PutsBackWhatATransferOrAWrapperMoved)
{
    // 32 CR LF pairs, most of them in a macro project: its text, its modules' compressed source.
    const Bytes russian = test::TestWorkbook("sheetjs__number_format_russian.xls");
    const Bytes macros = test::TestWorkbook("npoi__excelant.xls");  // a module whose source has LF LF
    const Bytes strings = test::TestWorkbook("readxl__more-than-256-unique-strings-xls.xls");
    const Bytes mtcars = test::TestWorkbook("readxl__mtcars.xls");  // no CR LF at all
    // 364 CR LF pairs; a directory of 17 sectors, one of them 128 bytes from where it reads as
    // one too (three of its entries and one of the sector beside it).
    const Bytes embedded = test::TestWorkbook("npoi__59858.xls");
    std::mt19937 random(24);
    Bytes wrapper(128);
    for (std::uint8_t& byte : wrapper)
        byte = static_cast<std::uint8_t>(random());
    const auto wrapped = [&](const Bytes& bytes) {
        Bytes out = wrapper;
        out.insert(out.end(), bytes.begin(), bytes.end());
        return out;
    };
    const struct {
        const char* name;
        const Bytes& original;
        Bytes damaged;
        RealignNote note;
        // Whether every byte comes back: where CRs went into bytes no structure reads (records
        // that hold no values such as pictures, streams of unknown content), the LFs that
        // follow text take them, the first where that does not tell.
        bool whole = true;
    } cases[] = {
        // Each CR LF the transfer left is ambiguous (an LF it turned, or a pair the workbook
        // held); the records, the grid and the macro project's streams tell the 32 pairs the
        // workbook held from the others.
        {"every LF turned into CR LF", russian, LfToCrLf(russian),
            {.crlfTurnedBack = CountPairs(LfToCrLf(russian)) - CountPairs(russian)}},
        {"every CR LF turned into LF", russian, CrLfToLf(russian), {.crRestored = CountPairs(russian)}},
        // Of two LFs in a row in a module's compressed source, only reading the source tells
        // which one lost its CR.
        {"every CR LF turned into LF, LF LF in a module", macros, CrLfToLf(macros), {.crRestored = CountPairs(macros)}},
        {"every LF turned into CR LF, LF LF in a module", macros, LfToCrLf(macros),
            {.crlfTurnedBack = CountPairs(LfToCrLf(macros)) - CountPairs(macros)}},
        {"a single CR LF lost", strings, CrLfToLf(strings), {.crRestored = 1}, false},
        {"every LF turned, a long directory", embedded, LfToCrLf(embedded),
            {.crlfTurnedBack = CountPairs(LfToCrLf(embedded)) - CountPairs(embedded)}, false},
        {"every CR LF turned, a long directory", embedded, CrLfToLf(embedded), {.crRestored = CountPairs(embedded)}, false},
        {"LF to CR LF where the workbook held no pair", mtcars, LfToCrLf(mtcars),
            {.crlfTurnedBack = CountPairs(LfToCrLf(mtcars))}},
        {"128 bytes in front", mtcars, wrapped(mtcars), {.wrapperBytes = 128}},
        {"a wrapper and every LF turned", mtcars, wrapped(LfToCrLf(mtcars)),
            {.wrapperBytes = 128, .crlfTurnedBack = CountPairs(LfToCrLf(mtcars))}},
    };
    for (const auto& c : cases) {
        ASSERT_NE(c.damaged, c.original) << c.name;
        const std::optional<Realigned> realigned = RealignBytes(c.damaged);
        ASSERT_TRUE(realigned) << c.name;
        EXPECT_EQ(realigned->bytes.size(), c.original.size()) << c.name;
        if (c.whole) {
            EXPECT_EQ(realigned->bytes, c.original) << c.name;
            EXPECT_EQ(StreamOf(realigned->bytes), StreamOf(c.original)) << c.name;
        }
        EXPECT_EQ(CellsOf(realigned->bytes), CellsOf(c.original)) << c.name;
        EXPECT_EQ(realigned->note.wrapperBytes, c.note.wrapperBytes) << c.name;
        EXPECT_EQ(realigned->note.crlfTurnedBack, c.note.crlfTurnedBack) << c.name;
        EXPECT_EQ(realigned->note.crRestored, c.note.crRestored) << c.name;
        EXPECT_EQ(realigned->note.foreignClusters, 0u) << c.name;
    }
}

// A macro project's streams after a transfer, each byte for byte. In this workbook the choice
// by the bytes around each LF gives one module's LF LF (compressed bytes, no line end) a CR that
// the next module lost: only reading both modules' source, place by place, puts it back there.
TEST(Realign, AMacroProjectComesBackWhereTheChoiceByBytesGoesAstray)
{
    const Bytes original =
        test::TestWorkbook("poi__at.gv.land-oberoesterreich.www_cps_rde_xbcr_SID-4A1B954F-5C07F98E_ooe_stat_download_bp10.xls");
    const auto project = [](const Bytes& bytes) {
        MemorySectorFile file(bytes);
        std::vector<CompoundStream> streams = ReadCompoundFile(file).value_or(std::vector<CompoundStream>{});
        std::erase_if(streams, [](const CompoundStream& s) { return s.path.front() != u"_VBA_PROJECT_CUR"; });
        return streams;
    };
    const std::vector<CompoundStream> before = project(original);
    ASSERT_GT(before.size(), 8u);
    for (const Bytes& damaged : {CrLfToLf(original), LfToCrLf(original)}) {
        const std::optional<Realigned> realigned = RealignBytes(damaged);
        ASSERT_TRUE(realigned);
        const std::vector<CompoundStream> after = project(realigned->bytes);
        ASSERT_EQ(after.size(), before.size());
        for (std::size_t i = 0; i < before.size(); ++i) {
            EXPECT_EQ(after[i].path, before[i].path);
            EXPECT_TRUE(after[i].data == before[i].data) << Utf8FromUtf16(before[i].path.back());
        }
        EXPECT_EQ(CellsOf(realigned->bytes), CellsOf(original));
    }
}

// A sheet of numbers around row 2,573 (0x0A0D: each of its records begins its body with CR LF)
// in a stream that a table sector splits in two, one record's header across the split.
Bytes RowsAroundCrLf()
{
    using namespace test;
    Bytes records;
    for (unsigned block = 2560; block < 2656; block += 16) {
        for (unsigned row = block; row < block + 16; ++row)
            records = records + Record(biff::kRow, Le16(row) + Le16(0) + Le16(13) + Le16(255) + Bytes(8, 0));
        for (unsigned row = block; row < block + 16; ++row)
            for (unsigned column = 0; column < 13; ++column)  // column 10 adds an LF
                records = records + Record(biff::kNumber, Cell(row, column) + Double(row * 0.5 + column * 10.25));
        records = records + Record(biff::kDbCell, Le32(0) + Bytes(32, 0));
    }
    const Bytes stream = Workbook(8, Record(biff::kCodePage, Le16(1252)), {{"Rows", records}});
    // Where a header reaches over a sector's end, the table sector goes, well past the start.
    std::size_t split = 0;
    for (std::size_t at = 0; at + 4 <= stream.size(); at += 4u + LoadLe16(stream.data() + at + 2))
        if (at > 16 * kSectorSize && at % kSectorSize > kSectorSize - 4) {
            split = at / kSectorSize + 1;
            break;
        }
    EXPECT_NE(split, 0u);
    LargeLayout layout;
    const auto sectors = static_cast<std::uint32_t>((stream.size() + kSectorSize - 1) / kSectorSize);
    layout.total = sectors + 2;
    layout.fatSectors = {static_cast<std::uint32_t>(split)};
    for (std::uint32_t s = 0; s <= sectors; ++s)
        if (s != split)
            layout.streamChain.push_back(s);
    layout.directory = sectors + 1;
    return LargeWorkbookFile(stream, layout);
}

TEST(Realign, PlacesThatOnlyTheCellsAndTheSplitGridTellApart)
{
    const Bytes original = RowsAroundCrLf();
    ASSERT_GT(CountPairs(original), 13u);
    for (const auto& [name, damaged] : {std::pair<std::string, Bytes>{"LF to CR LF", LfToCrLf(original)},
             {"CR LF to LF", CrLfToLf(original)}}) {
        const std::optional<Realigned> realigned = RealignBytes(damaged);
        ASSERT_TRUE(realigned) << name;
        EXPECT_EQ(realigned->bytes, original) << name;
        EXPECT_EQ(CellsOf(realigned->bytes), CellsOf(original)) << name;
    }
}

// A stream whose first sectors lie after its next ones (sectors 6 to 13, then 2 to 5 right
// after the directory, then on from 14), as some writers leave it: the walk goes back into the
// earlier sectors and out again past the first ones, and the places there are the records'.
TEST(Realign, AStreamThatGoesBackAlongTheFile)
{
    using namespace test;
    Bytes records;
    for (unsigned row = 2576; row < 2976; ++row)  // column 10 and the rows add LFs
        for (unsigned column = 0; column < 13; ++column)
            records = records + Record(biff::kNumber, Cell(row, column) + Double(row * 0.5 + column * 10.25));
    std::vector<std::string> texts;
    for (unsigned i = 0; i < 40; ++i)
        texts.push_back("Line " + std::to_string(i) + (i % 4 == 0 ? "\r\nnext" : " next"));
    Bytes labels;
    for (unsigned i = 0; i < texts.size(); ++i)
        labels = labels + Record(biff::kLabelSst, Cell(i, 14) + Le32(i));
    const Bytes stream = Workbook(8, StringTable(texts, 0), {{"Rows", labels + records}});
    LargeLayout layout;
    const auto sectors = static_cast<std::uint32_t>((stream.size() + kSectorSize - 1) / kSectorSize);
    ASSERT_GT(sectors, 128u);  // (the table's first sector full: it reads as one only then)
    ASSERT_LT(sectors, 250u);
    layout.directory = 1;
    for (std::uint32_t s = 6; s <= 13; ++s)
        layout.streamChain.push_back(s);
    for (std::uint32_t s = 2; s <= 5; ++s)
        layout.streamChain.push_back(s);
    for (std::uint32_t s = 14; layout.streamChain.size() < sectors; ++s)
        layout.streamChain.push_back(s);
    layout.fatSectors = {0, layout.streamChain.back() + 1};
    layout.total = layout.fatSectors.back() + 1;
    const Bytes original = LargeWorkbookFile(stream, layout);
    ASSERT_GE(CountPairs(original), 10u);
    std::mt19937 random(12);
    Bytes clusters = original;
    for (const std::size_t at : {std::size_t{12288}, std::size_t{4096}})
        InsertCluster(clusters, at, random, at == 4096);
    for (const auto& [name, damaged] : {std::pair<std::string, Bytes>{"LF to CR LF", LfToCrLf(original)},
             {"CR LF to LF", CrLfToLf(original)}, {"two clusters", clusters}}) {
        const std::optional<Realigned> realigned = RealignBytes(damaged);
        ASSERT_TRUE(realigned) << name;
        EXPECT_EQ(realigned->bytes, original) << name;
        EXPECT_EQ(CellsOf(realigned->bytes), CellsOf(original)) << name;
    }
}

TEST(Realign, TakesOutClustersOfAnotherFile)
{
    const Bytes original = test::TestWorkbook("gnumeric__ttest.xls");
    std::mt19937 random(7);
    // Random bytes, and lines of text, at 4 KiB boundaries inside the workbook stream and past
    // it.
    for (const auto& [first, second] : {std::pair<std::size_t, std::size_t>{4096, 8192}, {12288, 53248}, {4096, 4096}}) {
        Bytes damaged = original;
        for (const std::size_t at : {second, first})
            InsertCluster(damaged, at, random, at == first);
        const std::optional<Realigned> realigned = RealignBytes(damaged);
        ASSERT_TRUE(realigned) << first << ", " << second;
        EXPECT_EQ(realigned->bytes, original) << first << ", " << second;
        EXPECT_EQ(CellsOf(realigned->bytes), CellsOf(original));
        EXPECT_EQ(realigned->note.foreignClusters, 2u);
    }
}

// A small workbook, its stream in the mini stream: texts with CR LF line ends and with LF alone.
// The records read through the mini stream's 64-byte sectors tell which LFs had a CR.
TEST(Realign, ASmallWorkbooksStreamInTheMiniStreamIsWalkedToo)
{
    test::Bytes cells;
    for (unsigned row = 0; row < 24; ++row) {
        const std::string text = row % 3 == 0 ? "first line\r\nsecond " + std::to_string(row) : "a\nb " + std::to_string(row);
        cells = cells + test::Record(biff::kLabel, test::Cell(row, 0) + test::Le16(static_cast<unsigned>(text.size())) + test::Bytes{0} +
                                                       test::Ascii(text));
    }
    const Bytes stream = test::Workbook(8, {}, {{"Lines", cells}});
    ASSERT_LT(stream.size(), 4096u);
    const Bytes original = test::WorkbookFile(stream);
    for (const auto& [name, damaged] : {std::pair<std::string, Bytes>{"LF to CR LF", LfToCrLf(original)},
             {"CR LF to LF", CrLfToLf(original)}}) {
        const std::optional<Realigned> realigned = RealignBytes(damaged);
        ASSERT_TRUE(realigned) << name;
        EXPECT_EQ(realigned->bytes, original) << name;
    }
}

// A number whose bytes hold LF CR LF: with the CR lost, either LF could have had it, and the
// cell's own fields read alike both ways. That cell is left out (its record becomes filler);
// every other cell comes back, and the note says so.
TEST(Realign, ACellNoReadingProvesIsLeftOutAndTheRestComesBack)
{
    test::Bytes cells;
    const Bytes doubt{0x11, 0x0A, 0x0D, 0x0A, 0x22, 0x33, 0x44, 0x40};
    for (unsigned row = 0; row < 300; ++row) {
        const Bytes value = row == 150 ? doubt : test::Double(row + 0.25);
        cells = cells + test::Record(biff::kNumber, test::Cell(row, 0) + value);
    }
    const Bytes original = test::WorkbookFile(test::Workbook(8, {}, {{"Numbers", cells}}));
    const std::optional<Realigned> realigned = RealignBytes(CrLfToLf(original));
    ASSERT_TRUE(realigned);
    EXPECT_EQ(realigned->note.cellsLeftOut, 1u);
    std::vector<std::string> expected = CellsOf(original);
    std::erase_if(expected, [](const std::string& line) { return line.rfind("150,0 ", 0) == 0; });
    EXPECT_EQ(CellsOf(realigned->bytes), expected);
    EXPECT_EQ(realigned->note.crRestored, 1u);
}

// A workbook too large for the header's list of table sectors (over 7 MB), laid out as
// LibreOffice and as Gnumeric lay one out: its table sectors past the 109th are listed by the
// DIFAT sectors, which the walk finds where they read as the list that goes on from the header's.
// Two clusters stitched into the one, every CR LF turned into LF in the other: each comes back
// whole.
TEST(Realign, LargeWorkbooksWhoseTableTheDifatLists)
{
    // Rows of four numbers and a text, a text in 50 with CR LF: written straight into one buffer.
    Bytes records;
    const std::size_t rows = 7800000 / (18 * 4 + 22);
    records.reserve(rows * (18 * 4 + 22));
    const auto append = [&records](const Bytes& bytes) { records.insert(records.end(), bytes.begin(), bytes.end()); };
    Bytes number = test::Record(biff::kNumber, test::Cell(0, 0) + test::Double(0.5));
    for (std::size_t row = 0; row < rows; ++row) {
        for (unsigned column = 0; column < 4; ++column) {
            StoreLe16(number.data() + 4, static_cast<std::uint16_t>(row % 65536));
            StoreLe16(number.data() + 6, static_cast<std::uint16_t>(column));
            StoreLe64(number.data() + 10, std::bit_cast<std::uint64_t>(static_cast<double>(row) * 4 + column + 0.5));
            append(number);
        }
        const std::string text = row % 50 == 0 ? "a\r\nb" : "a\nb";
        append(test::Record(biff::kLabel, test::Cell(static_cast<unsigned>(row % 65536), 4) +
                                              test::Le16(static_cast<unsigned>(text.size())) + test::Bytes{0} + test::Ascii(text)));
    }
    const Bytes stream = test::Workbook(8, {}, {{"Big", records}});
    // LibreOffice's layout with two clusters stitched in; Gnumeric's with every CR LF turned.
    for (const bool gnumeric : {false, true}) {
        const Bytes original = gnumeric ? test::GnumericLargeWorkbookFile(stream) : test::LargeWorkbookFile(stream);
        ASSERT_GT(LoadLe32(original.data() + kNumFatSectorsOffset), kHeaderDifatEntries);
        Bytes damaged = original;
        if (gnumeric) {
            damaged = CrLfToLf(original);
        } else {
            std::mt19937 random(3);
            for (const std::size_t at : {std::size_t{3 * 1024 * 1024}, std::size_t{1024 * 1024}})
                InsertCluster(damaged, at, random);
        }
        const std::optional<Realigned> realigned = RealignBytes(damaged);
        ASSERT_TRUE(realigned) << gnumeric;
        EXPECT_TRUE(realigned->bytes == original) << gnumeric;
    }
}

// LibreOffice puts a workbook's table sectors from sector 128 on, in the middle of its stream: a
// string table that runs across them has a record whose body lies on both sides. An LF on each
// side, one of which lost its CR: the table sectors, found where they read as such, tell on which
// side it went, and the workbook comes back whole.
TEST(Realign, AStringTableAcrossTheTableSectorsAStreamJumpsOver)
{
    std::vector<std::string> strings;
    test::Bytes cells;
    for (unsigned k = 0; k < 9000; ++k) {
        const std::string name = "Nm " + std::to_string(10000 + k);
        // (Strings 5850 and 5950 lie 500 bytes before and after the table sectors.)
        strings.push_back(k == 5850 ? name + "\r\nx" : k == 5950 ? name + "\nxy" : name);
        cells = cells + test::Record(biff::kLabelSst, test::Cell(k % 4000, k / 4000) + test::Le32(k));
    }
    const Bytes stream = test::Workbook(8, test::StringTable(strings, 20, 16, 8224), {{"Names", cells}});
    const Bytes original = test::LargeWorkbookFile(stream);
    const std::optional<Realigned> realigned = RealignBytes(CrLfToLf(original));
    ASSERT_TRUE(realigned);
    EXPECT_TRUE(realigned->bytes == original);
    EXPECT_EQ(realigned->note.crRestored, CountPairs(original));
}

// Laid out as Gnumeric and this program's writer lay out a file, the mini stream's table sector
// lies two sectors before the allocation table's first, whose chain of the workbook stream runs
// on from sector 0. Over a thousand CRs lost, the table's first sector lies within the reach of
// the shifts the mini table's sector may have, and reads as a better one: its chain leads past
// the mini stream's few units, so it is no mini table sector, and the workbook comes back.
TEST(Realign, TheTablesFirstSectorIsNoMiniTableSector)
{
    test::Bytes cells;  // (no row whose number holds an LF byte: which LF lost its CR would be in doubt)
    for (unsigned row = 0, written = 0; written < 1100; ++row)
        if ((row & 0xFF) != 0x0A && ++written)
            cells = cells + test::Record(biff::kLabel, test::Cell(row, 0) + test::Le16(3) + Bytes{0} + test::Ascii("\r\nx"));
    const Bytes original =
        test::CompoundFileOf({{u"Workbook", test::Workbook(8, {}, {{"Lines", cells}})}, {u"\x05SummaryInformation", Bytes(200, 0x41)}});
    ASSERT_GE(CountPairs(original), 1100u);
    const std::optional<Realigned> realigned = RealignBytes(CrLfToLf(original));
    ASSERT_TRUE(realigned);
    EXPECT_EQ(realigned->bytes.size(), original.size());
    // (A cell whose CR could have gone to another LF is left out.)
    const std::vector<std::string> expected = CellsOf(original), found = CellsOf(realigned->bytes);
    for (const std::string& line : found)
        EXPECT_TRUE(std::find(expected.begin(), expected.end(), line) != expected.end()) << line;
    EXPECT_LE(realigned->note.cellsLeftOut, 1u);
    EXPECT_EQ(found.size() + realigned->note.cellsLeftOut, expected.size());
}

// A cluster stitched in where the string table's long records cross more 4 KiB boundaries than
// one: only the table read again, string by string, tells at which it was.
TEST(Realign, AClusterInsideTheStringTableIsWhereTheTableReadsWhole)
{
    std::vector<std::string> strings;
    test::Bytes cells;
    for (unsigned i = 0; i < 3000; ++i) {
        strings.push_back("Text " + std::to_string(i * 7));
        if (i % 10 == 0)
            cells = cells + test::Record(biff::kLabelSst, test::Cell(i / 10, 0) + test::Le32(i));
    }
    const Bytes stream = test::Workbook(8, test::StringTable(strings, 20, 8, 8224), {{"Texts", cells}});
    const Bytes original = test::WorkbookFile(stream);
    std::mt19937 random(11);
    for (const std::size_t at : {std::size_t{8192}, std::size_t{12288}, std::size_t{20480}}) {
        for (const bool text : {false, true}) {
            Bytes damaged = original;
            InsertCluster(damaged, at, random, text);
            const std::optional<Realigned> realigned = RealignBytes(damaged);
            ASSERT_TRUE(realigned) << at << ", " << text;
            EXPECT_EQ(realigned->bytes, original) << at << ", " << text;
            EXPECT_EQ(realigned->note.foreignClusters, 1u) << at << ", " << text;
        }
    }
}

// A record some tool blanked (type 0, its body zeros: a FILEPASS record after decrypting) is
// a record readers skip by its length, not the end of what reads.
TEST(Realign, ABlankedRecordWithABodyReads)
{
    test::Bytes cells;
    for (unsigned row = 0; row < 900; ++row)
        cells = cells + test::Record(biff::kNumber, test::Cell(row, 0) + test::Double(row * 1.5));
    const Bytes stream = test::Workbook(8, test::Record(0x0000, Bytes(200, 0)), {{"Numbers", cells}});
    const Bytes original = test::WorkbookFile(stream);
    std::mt19937 random(9);
    Bytes damaged = original;
    InsertCluster(damaged, 8192, random);
    const std::optional<Realigned> realigned = RealignBytes(damaged);
    ASSERT_TRUE(realigned);
    EXPECT_EQ(realigned->bytes, original);
}

// A cluster stitched into a long string's characters, all alike: the table reads whole with it
// taken out at any 4 KiB boundary the string crosses, and only that string's text differs
// between the ways. The cell that shows it is left out; every other cell, the strings after it
// too, comes back.
TEST(Realign, AClusterInsideOneLongStringLeavesOutOnlyItsCell)
{
    std::vector<std::string> strings = {"Before"};
    strings.push_back(std::string(20000, 'x'));
    for (unsigned i = 0; i < 40; ++i)
        strings.push_back("After " + std::to_string(i));
    test::Bytes cells;
    for (unsigned i = 0; i < strings.size(); ++i)
        cells = cells + test::Record(biff::kLabelSst, test::Cell(i, 0) + test::Le32(i)) +
                test::Record(biff::kNumber, test::Cell(i, 1) + test::Double(i + 0.5));
    const Bytes stream = test::Workbook(8, test::SplitStringTable(strings), {{"Texts", cells}});
    // Alone, and after a BIFF5 copy of the workbook, as writers of both formats keep one: the
    // copy readers take is the one whose records decide.
    test::Bytes numbers;
    for (unsigned i = 0; i < 400; ++i)
        numbers = numbers + test::Record(biff::kNumber, test::Cell(i, 1) + test::Double(i + 0.5));
    const Bytes book = test::Workbook(5, {}, {{"Texts", numbers}});
    for (const Bytes& original : {test::WorkbookFile(stream), test::CompoundFileOf({{u"Book", book}, {u"Workbook", stream}})}) {
        const std::vector<std::string> before = CellsOf(original);
        // Where the long string's characters lie in the file: a 4 KiB boundary well inside them.
        const std::string run(600, 'x');
        const auto first = std::search(original.begin(), original.end(), run.begin(), run.end());
        ASSERT_NE(first, original.end());
        const std::size_t at = (static_cast<std::size_t>(first - original.begin()) / 4096 + 2) * 4096;
        std::mt19937 random(3);
        for (const bool text : {false, true}) {
            SCOPED_TRACE(testing::Message() << original.size() << " bytes, " << (text ? "text" : "random bytes"));
            Bytes damaged = original;
            InsertCluster(damaged, at, random, text);
            const std::optional<Realigned> realigned = RealignBytes(damaged);
            ASSERT_TRUE(realigned);
            EXPECT_EQ(realigned->note.cellsLeftOut, 1u);
            std::vector<std::string> expected = before;
            expected.erase(std::remove_if(expected.begin(), expected.end(),
                                          [](const std::string& line) { return line.find("xxxxxxxx") != std::string::npos; }),
                           expected.end());
            ASSERT_EQ(expected.size(), before.size() - 1);
            EXPECT_EQ(CellsOf(realigned->bytes), expected);
        }
    }
}

// Two clusters one after the other, 8 KiB of other bytes, where a record's header reaches over
// the 4 KiB boundary: the header reads from its two parts.
TEST(Realign, TwoClustersInsideARecordHeader)
{
    test::Bytes cells;
    for (unsigned row = 0; row < 2000; ++row)
        cells = cells + test::Record(biff::kNumber, test::Cell(row, 1) + test::Double(row / 8.0));
    const Bytes stream = test::Workbook(8, {}, {{"Numbers", cells}});
    const Bytes original = test::WorkbookFile(stream);
    // The stream lies in one run of sectors.
    const auto start = std::search(original.begin(), original.end(), stream.begin(), stream.begin() + 512);
    ASSERT_NE(start, original.end());
    std::vector<std::size_t> boundaries;
    for (std::size_t at = 0; at + 4 <= stream.size(); at += 4u + LoadLe16(stream.data() + at + 2)) {
        const std::size_t inFile = static_cast<std::size_t>(start - original.begin()) + at;
        if (inFile / 4096 != (inFile + 3) / 4096 && at + 8192 < stream.size())
            boundaries.push_back((inFile + 3) / 4096 * 4096);
    }
    ASSERT_FALSE(boundaries.empty());
    std::mt19937 random(5);
    for (const std::size_t at : boundaries) {
        Bytes damaged = original;
        for (int k = 0; k < 2; ++k)
            InsertCluster(damaged, at, random);
        const std::optional<Realigned> realigned = RealignBytes(damaged);
        ASSERT_TRUE(realigned) << at;
        EXPECT_EQ(realigned->bytes, original) << at;
        EXPECT_EQ(realigned->note.foreignClusters, 2u) << at;
    }
}

TEST(Realign, LeavesDamageThatOnlyLooksLikeAMoveToTheSalvage)
{
    const Bytes original = test::TestWorkbook("sheetjs__number_format_russian.xls");
    // Cut short inside a sector: off the grid as lost CRs would leave it, but no CR put back
    // anywhere makes the records read.
    Bytes cut(original.begin(), original.end() - 300);
    EXPECT_FALSE(RealignBytes(cut));
    // A block zeroed: nothing moved.
    Bytes zeroed = original;
    std::fill_n(zeroed.begin() + 8192, 4096, std::uint8_t{0});
    EXPECT_FALSE(RealignBytes(zeroed));
    // The compound file's signature well inside another file: no wrapper, since the file goes on
    // past what its table covers.
    Bytes embedded(70000, 0x20);
    const Bytes small = test::TestWorkbook("readxl__mtcars.xls");
    embedded.insert(embedded.begin() + 1000, small.begin(), small.end());
    EXPECT_FALSE(RealignBytes(embedded));
}

TEST(Realign, TheRepairWritesTheRealignedWorkbookIntoANewFileOnly)
{
    const Bytes original = test::TestWorkbook("sheetjs__number_format_russian.xls");
    const Bytes damaged = LfToCrLf(original);
    MemorySectorFile file(damaged);
    const RepairReport planned = PlanRepair(file, RebuildMode::Auto);
    ASSERT_TRUE(planned.realign);
    EXPECT_FALSE(RepairWrites(planned)) << "realigned bytes never go into the file itself";
    EXPECT_TRUE(NeedsSalvage(planned));
    MemorySectorFile out;
    const RepairReport report = SalvageRepair(file, planned, out);
    EXPECT_EQ(report.used, RebuildUsed::Realigned);
    EXPECT_TRUE(WroteNewFile(report));
    EXPECT_TRUE(report.check.Opens());
    EXPECT_EQ(out.Bytes(), *planned.realignedBytes);
    EXPECT_EQ(out.Bytes().size(), original.size());
    EXPECT_EQ(CellsOf(out.Bytes()), CellsOf(original));
    EXPECT_EQ(file.Bytes(), damaged);
    EXPECT_EQ(RepairOutcomeOf(report), RepairOutcome::Realigned);
    ASSERT_TRUE(report.realign);
    EXPECT_GT(report.realign->crlfTurnedBack, 0u);
}

}  // namespace
}  // namespace tabulon
