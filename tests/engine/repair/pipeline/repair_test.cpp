// The whole repair: real workbooks damaged the ways headers get damaged all come back with
// their own structure; intact ones keep it; files that are no workbooks are left alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <span>

#include "engine/biff/biff_cells.h"
#include "engine/repair/rebuild/rebuild.h"
#include "engine/repair/pipeline/repair.h"
#include "engine/repair/salvage/salvage.h"
#include "engine/repair/workbook/workbook.h"
#include "tests/support/biff_builder.h"
#include "tests/support/compound_builder.h"
#include "tests/support/literal_scans.h"
#include "tests/support/workbooks.h"

namespace tabulon {
namespace {

using test::Bytes;
using test::operator+;
using test::TestWorkbook;

const char* const kWorkbooks[] = {
    "readxl__mtcars.xls", "xlrd__issue20.xls", "poi__47847.xls", "npoi__59858.xls",
    "edr__Test_git_issue_231_NoCodePage.xls", "phpss__biff8cover.xls", "sheetjs__number_format_russian.xls",
    "readxl__more-than-256-unique-strings-xls.xls", "sheetjs__image.et.xls",
    // A stale second copy of its table and directory, left by an earlier save.
    "poi__DBCSHeader.xls",
    // A directory of 80 sectors and a mini table of 39, both winding through the file.
    "lotest__300-worksheets.xls",
};

TEST(Repair, DamagedWorkbooksComeBackWithTheirOwnStructure)
{
    std::mt19937 random(1234);
    for (const char* name : kWorkbooks) {
        const Bytes original = TestWorkbook(name);
        for (const test::HeaderDamage& damage : test::kHeaderDamages) {
            Bytes damaged = original;
            damage.Apply(damaged, random);
            MemorySectorFile file(damaged);
            const RepairReport report = RepairHeader(file, RebuildMode::Auto);
            EXPECT_TRUE(report.check.Opens()) << name << ", " << damage.name;
            EXPECT_FALSE(report.refused);
            // Every field that locates or counts a structure is the writer's own again.
            EXPECT_EQ(test::FirstDifference(file.Bytes(), original, 44), std::nullopt) << name << ", " << damage.name;
        }
    }
}

TEST(Repair, IntactWorkbooksAreKeptAsTheyAre)
{
    for (const char* name : kWorkbooks) {
        const Bytes original = TestWorkbook(name);
        MemorySectorFile file(original);
        const RepairReport report = RepairHeader(file, RebuildMode::Auto);
        EXPECT_EQ(report.used, RebuildUsed::Kept) << name;
        EXPECT_TRUE(report.check.Opens()) << name;
        EXPECT_EQ(report.after, report.before) << name;
        EXPECT_EQ(file.Bytes(), original) << name;
    }
    // The plain rebuild alone stays exactly the plain rebuild, even where it does harm: this
    // workbook has no mini stream, the rebuild points the mini table at a sector in use.
    MemorySectorFile plain(TestWorkbook());
    MemorySectorFile reference(TestWorkbook());
    const RepairReport report = RepairHeader(plain, RebuildMode::Design);
    literal::RebuildHeader(reference);
    EXPECT_EQ(plain.Bytes(), reference.Bytes());
    EXPECT_EQ(report.used, RebuildUsed::Design);
    EXPECT_FALSE(report.check.Opens());
}

TEST(Repair, DeepRebuildFindsTheLiveTableAndOddWriters)
{
    // A stale copy of the allocation table, left later in the file, that breaks the workbook.
    test::CompoundFile stale = test::BuildCompoundFile();
    stale.bytes.resize(stale.bytes.size() + 512);
    std::copy(stale.Sector(0), stale.Sector(0) + 512, stale.Sector(12));
    StoreLe32(stale.Sector(12) + 4 * 5, kEndOfChain);
    const Bytes intact = stale.bytes;
    std::fill(stale.bytes.begin(), stale.bytes.begin() + 512, 0);
    MemorySectorFile staleFile(stale.bytes);
    const auto staleHeader = DeepRebuildHeader(staleFile);
    ASSERT_TRUE(staleHeader);
    EXPECT_EQ(LoadLe32(staleHeader->data() + kHeaderDifatOffset), 0u);
    EXPECT_TRUE(VerifyWithHeader(staleFile, *staleHeader).Opens());

    // A writer that marks its table sector as end of chain instead of as a table sector.
    test::CompoundFile unmarked = test::BuildCompoundFile();
    unmarked.SetFat(0, kEndOfChain);
    std::fill(unmarked.bytes.begin(), unmarked.bytes.begin() + 512, 0);
    MemorySectorFile unmarkedFile(unmarked.bytes);
    const RepairReport report = RepairHeader(unmarkedFile, RebuildMode::Auto);
    EXPECT_EQ(report.used, RebuildUsed::Deep);
    EXPECT_TRUE(report.check.Opens());
    EXPECT_EQ(LoadLe32(unmarkedFile.Bytes().data() + kFirstMiniFatSectorOffset), 10u);
}

// A workbook saved twice in place: the first save's table (sector 0) and directory (1) are
// still there, and the second save wrote a new table (12), directory (13) and Workbook stream
// (14-21) after them, freeing the old ones. Both structures stand on their own.
struct SavedTwice {
    Bytes bytes;
    HeaderBytes firstHeader{};
    HeaderBytes secondHeader{};
};

SavedTwice BuildSavedTwice()
{
    test::CompoundFile file = test::BuildCompoundFile();
    file.bytes.resize(23 * 512);
    SavedTwice saved;
    std::copy(file.bytes.begin(), file.bytes.begin() + 512, saved.firstHeader.begin());

    std::copy(file.Sector(0), file.Sector(0) + 512, file.Sector(12));
    std::copy(file.Sector(1), file.Sector(1) + 512, file.Sector(13));
    std::copy(file.Sector(2), file.Sector(2) + 8 * 512, file.Sector(14));
    file.Sector(14)[100] = 0x5A;  // the second save changed a cell
    auto setNewFat = [&](std::uint32_t sector, std::uint32_t value) { StoreLe32(file.Sector(12) + 4 * sector, value); };
    for (std::uint32_t s = 0; s < 10; ++s)
        setNewFat(s, kFreeSector);
    setNewFat(12, kFatSector);
    setNewFat(13, kEndOfChain);
    for (std::uint32_t s = 14; s < 21; ++s)
        setNewFat(s, s + 1);
    setNewFat(21, kEndOfChain);
    StoreLe32(file.Sector(13) + 128 + kEntryStartSectorOffset, 14);
    for (std::uint32_t s = 12; s < 22; ++s)
        file.SetFat(s, kFreeSector);  // the first save never used them

    saved.secondHeader = saved.firstHeader;
    StoreLe32(saved.secondHeader.data() + kFirstDirectorySectorOffset, 13);
    StoreLe32(saved.secondHeader.data() + kHeaderDifatOffset, 12);
    saved.bytes = std::move(file.bytes);
    return saved;
}

TEST(Repair, RivalStructuresAreResolvedByTheSurvivingHeaderThenByRecency)
{
    const SavedTwice saved = BuildSavedTwice();
    for (const HeaderBytes* committed : {&saved.firstHeader, &saved.secondHeader}) {
        Bytes intact = saved.bytes;
        std::copy(committed->begin(), committed->end(), intact.begin());
        MemorySectorFile intactFile(intact);
        ASSERT_TRUE(VerifyWorkbook(intactFile).Opens()) << "both saves must stand on their own";
    }

    // Each case: the header the damage struck, the bytes it garbled, the header that must win.
    const struct { const char* what; const HeaderBytes* header; std::size_t from, to; const HeaderBytes* expected; } cases[] = {
        {"wiped: the later save wins", nullptr, 0, 512, &saved.secondHeader},
        {"first save's directory and list survive", &saved.firstHeader, 0, 48 - 4, &saved.firstHeader},
        {"first save's directory survives alone", &saved.firstHeader, 52, 512, &saved.firstHeader},
        {"second save's list survives", &saved.secondHeader, 0, 76, &saved.secondHeader},
    };
    std::mt19937 random(77);
    for (const auto& c : cases) {
        Bytes damaged = saved.bytes;
        if (c.header)
            std::copy(c.header->begin(), c.header->end(), damaged.begin());
        for (std::size_t i = c.from; i < c.to; ++i)
            damaged[i] = c.header ? static_cast<std::uint8_t>(random()) : 0;
        MemorySectorFile file(damaged);
        const RepairReport report = RepairHeader(file, RebuildMode::Auto);
        EXPECT_TRUE(report.check.Opens()) << c.what;
        EXPECT_TRUE(std::equal(c.expected->begin() + 44, c.expected->end(), file.Bytes().begin() + 44)) << c.what;
        EXPECT_TRUE(std::equal(saved.bytes.begin() + 512, saved.bytes.end(), file.Bytes().begin() + 512)) << c.what;
    }
}

TEST(Repair, TableSectorsThatDescribeTheirOwnRegionAreFoundInPlace)
{
    // Four table sectors at 128k + 3, each in the region it describes. Only the first region
    // holds chains (the directory at 1, the Workbook stream at 4-11); the other three table
    // sectors hold markers alone, so nothing but their own mark tells their position. Sector 2
    // is free and filled with 0xFF, so that taking table-like sectors in ascending order fails.
    constexpr std::uint32_t kSectors = 512;
    Bytes bytes((kSectors + 1) * 512, 0);
    auto sector = [&](std::uint32_t index) { return bytes.data() + (index + 1) * 512; };
    std::fill(sector(2), sector(2) + 512, std::uint8_t{0xFF});
    for (std::uint32_t k = 0; k < 4; ++k) {
        std::uint8_t* table = sector(128 * k + 3);
        for (std::uint32_t j = 0; j < 128; ++j)
            StoreLe32(table + 4 * j, j == 3 ? kFatSector : kFreeSector);
    }
    StoreLe32(sector(3) + 4 * 1, kEndOfChain);
    for (std::uint32_t s = 4; s < 11; ++s)
        StoreLe32(sector(3) + 4 * s, s + 1);
    StoreLe32(sector(3) + 4 * 11, kEndOfChain);

    test::CompoundFile model = test::BuildCompoundFile();  // its directory, made to fit
    std::copy(model.Sector(1), model.Sector(1) + 512, sector(1));
    StoreLe32(sector(1) + kEntryStartSectorOffset, kEndOfChain);  // no mini stream
    StoreLe32(sector(1) + kEntryStreamSizeOffset, 0);
    StoreLe32(sector(1) + 128 + kEntryRightSiblingOffset, kNoStream);
    StoreLe32(sector(1) + 128 + kEntryStartSectorOffset, 4);
    std::fill(sector(1) + 256, sector(1) + 512, std::uint8_t{0});
    std::copy(model.Sector(2), model.Sector(2) + 512, sector(4));

    std::copy(model.bytes.begin(), model.bytes.begin() + 512, bytes.begin());
    StoreLe32(bytes.data() + kNumFatSectorsOffset, 4);
    StoreLe32(bytes.data() + kFirstMiniFatSectorOffset, kEndOfChain);
    StoreLe32(bytes.data() + kNumMiniFatSectorsOffset, 0);
    for (std::uint32_t k = 0; k < 4; ++k)
        StoreLe32(bytes.data() + kHeaderDifatOffset + 4 * k, 128 * k + 3);
    const Bytes intact = bytes;
    MemorySectorFile intactFile(intact);
    ASSERT_TRUE(VerifyWorkbook(intactFile).Opens());

    std::fill(bytes.begin(), bytes.begin() + 512, 0);
    MemorySectorFile file(bytes);
    const RepairReport report = RepairHeader(file, RebuildMode::Auto);
    EXPECT_TRUE(report.check.Opens());
    EXPECT_TRUE(std::equal(intact.begin() + 44, intact.end(), file.Bytes().begin() + 44));
}

TEST(Repair, FilesThatAreNoWorkbooksAreLeftAlone)
{
    std::string htmlText = "<!DOCTYPE html>\n<html><body><table><tr><td>Budget</td></tr></table></body></html>\n";
    htmlText.resize(4096, ' ');
    std::string xmlText = "<?xml version=\"1.0\"?>\n<Workbook xmlns=\"urn:schemas-microsoft-com:office:spreadsheet\"/>";
    xmlText.resize(4096, ' ');
    Bytes large = test::BuildCompoundFile().bytes;
    large[26] = 4;
    large[30] = 12;
    Bytes noise(16384);
    std::mt19937 random(9);
    for (auto& byte : noise)
        byte = static_cast<std::uint8_t>(random());

    const struct { const char* name; Bytes bytes; NotAWorkbook what; } cases[] = {
        {"zip archive", test::ZipArchive(8192, 0x11), NotAWorkbook::ZipArchive},
        {"HTML document", Bytes(htmlText.begin(), htmlText.end()), NotAWorkbook::HtmlDocument},
        {"XML document", Bytes(xmlText.begin(), xmlText.end()), NotAWorkbook::XmlDocument},
        {"4096-byte sectors", large, NotAWorkbook::LargeSectors},
        {"random bytes", noise, NotAWorkbook::NoCompoundStructure},
    };
    for (const auto& c : cases) {
        MemorySectorFile file(c.bytes);
        const RepairReport report = RepairHeader(file, RebuildMode::Auto);
        ASSERT_TRUE(report.refused) << c.name;
        EXPECT_EQ(*report.refused, c.what) << c.name;
        EXPECT_EQ(file.Bytes(), c.bytes) << c.name << ": nothing written";
    }
}

// A file that lends none of its bytes (as one opened by its path) and notes the most it was
// asked for at once.
class PieceByPieceFile final : public SectorFile {
public:
    explicit PieceByPieceFile(const Bytes& bytes) : bytes_(bytes) {}
    std::uint64_t Length() override { return bytes_.Length(); }
    void Seek(std::uint64_t offset) override { bytes_.Seek(offset); }
    std::size_t Read(std::span<std::uint8_t> buffer) override
    {
        largestRead = std::max(largestRead, buffer.size());
        return bytes_.Read(buffer);
    }
    void Write(std::span<const std::uint8_t, kBlockSize> block) override { bytes_.Write(block); }

    std::size_t largestRead = 0;

private:
    ByteViewFile bytes_;
};

// A file of one byte over and over, or of random bytes, holds nothing of a workbook: it is
// refused, the salvage making nothing of it, and neither that nor the realignment reads it
// whole (a file as large as a disk's would not fit in memory).
TEST(Repair, FilesWithNothingOfAWorkbookAreRefusedReadAPieceAtATime)
{
    constexpr std::size_t kLength = std::size_t{24} << 20;
    constexpr std::size_t kMostAtOnce = std::size_t{2} << 20;
    Bytes noise(kLength);
    std::mt19937 random(11);
    for (auto& byte : noise)
        byte = static_cast<std::uint8_t>(random());
    const struct {
        const char* name;
        Bytes bytes;
    } files[] = {{"0xFF", Bytes(kLength, 0xFF)}, {"0xAA", Bytes(kLength, 0xAA)}, {"random bytes", noise}};
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        PieceByPieceFile working(bytes);
        std::optional<MemorySectorFile> made;
        const RepairResult result = RepairWorkingCopy(working, RebuildMode::Auto, [&made]() -> SectorFile& { return made.emplace(); });
        EXPECT_EQ(result.outcome, RepairOutcome::Refused);
        ASSERT_TRUE(result.report.salvage) << "the salvage was tried";
        EXPECT_FALSE(result.report.salvage->written);
        ASSERT_TRUE(made);
        EXPECT_EQ(made->Length(), 0u);
        EXPECT_LE(working.largestRead, kMostAtOnce);
    }
}

// A workbook of three sheets of numbers (100, 300 and 100 cells), and where in its file its
// stream, which lies in one piece, and each sheet begin.
struct ThreeSheets {
    Bytes stream;
    Bytes file;
    std::size_t at = 0;
    std::vector<std::size_t> sheets;  // offsets in the stream

    ThreeSheets()
    {
        const auto numbers = [](unsigned count) {
            Bytes records;
            for (unsigned row = 0; row < count; ++row)
                records = records + test::Record(biff::kNumber, test::Cell(row, 0) + test::Double(row + 0.5));
            return records;
        };
        stream = test::Workbook(8, {}, {{"One", numbers(100)}, {"Two", numbers(300)}, {"Three", numbers(100)}});
        file = test::WorkbookFile(stream);
        at = static_cast<std::size_t>(std::search(file.begin(), file.end(), stream.begin(), stream.end()) - file.begin());
        for (const SheetCells& sheet : ReadWorkbookCells(stream).sheets)
            sheets.push_back(sheet.offset);
    }
    // Zeroes `length` bytes of the stream from `offset` on, in the file.
    void Zero(std::size_t offset, std::size_t length)
    {
        std::fill_n(file.begin() + static_cast<std::ptrdiff_t>(at + offset), length, std::uint8_t{0});
    }
};

// A workbook whose compound file is whole and whose records are not: every way in gives one
// verdict, the file's own header stays, and the salvage says sheet by sheet what came back.
TEST(Repair, DamagedRecordsUnderAWholeCompoundFile)
{
    ThreeSheets workbook;
    ASSERT_LT(workbook.at, workbook.file.size()) << "the stream lies in one piece";
    ASSERT_EQ(workbook.sheets.size(), 3u);
    // A stretch in the middle of the second sheet's records, and the whole of the third sheet,
    // zeroed.
    workbook.Zero(workbook.sheets[1] + 2000, 1024);
    workbook.Zero(workbook.sheets[2], workbook.stream.size() - workbook.sheets[2]);

    MemorySectorFile file(workbook.file);
    EXPECT_TRUE(VerifyWorkbookStructure(file).Opens());
    const WorkbookCheck verdict = VerifyWorkbook(file);
    EXPECT_FALSE(verdict.Opens());
    const RepairReport planned = PlanRepair(file, RebuildMode::Auto);
    EXPECT_EQ(planned.used, RebuildUsed::Kept);
    EXPECT_FALSE(RepairWrites(planned));
    EXPECT_EQ(planned.check.Opens(), verdict.Opens());
    ASSERT_TRUE(NeedsSalvage(planned));

    MemorySectorFile out;
    const RepairReport salvaged = SalvageRepair(file, planned, out);
    ASSERT_EQ(salvaged.used, RebuildUsed::Salvaged);
    const SalvageReport& report = *salvaged.salvage;
    ASSERT_EQ(report.outcomes.size(), 3u);
    EXPECT_EQ(report.outcomes[0].state, SheetState::Complete);
    EXPECT_EQ(report.outcomes[0].cells, 100u);
    EXPECT_EQ(report.outcomes[1].state, SheetState::Partial);
    EXPECT_GT(report.outcomes[1].bytesLost, 0u);
    EXPECT_EQ(report.outcomes[2].state, SheetState::Lost);
    EXPECT_FALSE(SalvageComplete(report));
    EXPECT_FALSE(report.damage.empty());
    std::uint64_t regions = 0;
    for (const MendedRegion& region : report.regions)
        regions += region.length;
    EXPECT_EQ(report.workbookBytesLost, regions);
    std::uint64_t globals = 0;
    for (const MendedRegion& region : report.regions)
        globals += region.sheet < 0 ? region.length : 0;
    EXPECT_EQ(report.outcomes[0].bytesLost + report.outcomes[1].bytesLost + report.outcomes[2].bytesLost + globals, regions);
    EXPECT_EQ(report.outcomes[0].state, SheetState::Complete);
    EXPECT_EQ(report.outcomes[1].state, SheetState::Partial);
    EXPECT_EQ(report.outcomes[2].state, SheetState::Lost);
}

// What the repair came to, told from its report, on files damaged as workbooks get damaged:
// the working copy is only read, and a new file is made only for a salvage (or realigned
// bytes), which then holds the workbook, whole or not.
TEST(Repair, TheOutcomeTellsWhatHappenedToTheWorkbook)
{
    const ThreeSheets intact;
    const auto wiped = [](Bytes bytes) {
        std::fill_n(bytes.begin(), kHeaderSize, std::uint8_t{0});
        return bytes;
    };
    // An entry of the table that is neither a sector nor a marker, which no header mends: the
    // streams all read, and come back whole in a new file.
    ThreeSheets badEntry;
    const std::uint32_t table = LoadLe32(badEntry.file.data() + kHeaderDifatOffset);
    StoreLe32(badEntry.file.data() + kHeaderSize + std::size_t{table} * kSectorSize + 4 * 100, 0xFFFF'FFEFu);
    // The third sheet zeroed under a whole compound file.
    ThreeSheets lastSheetGone;
    lastSheetGone.Zero(lastSheetGone.sheets[2], lastSheetGone.stream.size() - lastSheetGone.sheets[2]);
    Bytes noise(16384);
    std::mt19937 random(5);
    for (auto& byte : noise)
        byte = static_cast<std::uint8_t>(random());

    const struct {
        const char* name;
        Bytes bytes;
        RebuildMode mode;
        RepairOutcome outcome;
        bool salvageTried;
    } cases[] = {
        {"intact", intact.file, RebuildMode::Auto, RepairOutcome::Kept, false},
        {"header wiped", wiped(intact.file), RebuildMode::Auto, RepairOutcome::Rebuilt, false},
        {"a table entry out of range", badEntry.file, RebuildMode::Auto, RepairOutcome::SalvagedComplete, true},
        {"last sheet zeroed", lastSheetGone.file, RebuildMode::Auto, RepairOutcome::SalvagedPartial, true},
        // The plain rebuild alone never salvages.
        {"a table entry out of range, plain rebuild", wiped(badEntry.file), RebuildMode::Design,
         RepairOutcome::RebuiltUnreadable, false},
        // Bytes in front of the workbook, which then goes whole into a new file.
        {"wrapped", Bytes(128, 0x20) + intact.file, RebuildMode::Auto, RepairOutcome::Realigned, true},
        {"zip archive", test::ZipArchive(8192, 0x11), RebuildMode::Auto, RepairOutcome::Refused, false},
        // Refused only once a salvage found no workbook in it either.
        {"random bytes", noise, RebuildMode::Auto, RepairOutcome::Refused, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemorySectorFile working(c.bytes);
        std::optional<MemorySectorFile> made;
        const RepairResult result = RepairWorkingCopy(working, c.mode, [&made]() -> SectorFile& { return made.emplace(); });
        EXPECT_EQ(result.outcome, c.outcome) << "used " << static_cast<int>(result.report.used);
        EXPECT_EQ(working.Bytes(), c.bytes) << "the working copy is only read";
        EXPECT_EQ(made.has_value(), c.salvageTried);
        if (c.salvageTried && c.outcome != RepairOutcome::Refused) {
            ASSERT_TRUE(made);
            EXPECT_TRUE(VerifyWorkbookStructure(*made).Opens());
            EXPECT_TRUE(test::WorkbookStreamOf(made->Bytes()));
        }
    }
}

// The header wiped, and a hole that leaves of a sheet only one record's header: that record
// reads as a cell holding 0 at A1, which the workbook never held. The salvage, which brings no
// sheet back, stands over the copy with the rebuilt header that shows that cell; a copy that
// shows no cell at all still stands over an empty salvage.
TEST(Repair, ACopyShowingACellTheHoleTookGivesWayToTheSalvage)
{
    Bytes records;
    for (unsigned row = 5; row < 305; ++row)
        records = records + test::Record(biff::kNumber, test::Cell(row, 3) + test::Double(row + 2.5));
    const Bytes stream = test::Workbook(8, {}, {{"Only", records}});
    const WorkbookCells intact = ReadWorkbookCells(stream);
    ASSERT_EQ(intact.sheets.size(), 1u);
    ASSERT_EQ(intact.sheets[0].cells.size(), 300u);
    const std::size_t firstCell = intact.sheets[0].cells.front().offset;

    for (const bool headerLeft : {true, false}) {
        SCOPED_TRACE(headerLeft ? "the first cell's record header left" : "the sheet's cells all zeroed");
        Bytes bytes = test::WorkbookFile(stream);
        const auto at = std::search(bytes.begin(), bytes.end(), stream.begin(), stream.end());
        ASSERT_NE(at, bytes.end()) << "the stream lies in one piece";
        std::fill(at + static_cast<std::ptrdiff_t>(firstCell + (headerLeft ? 4 : 0)), at + static_cast<std::ptrdiff_t>(stream.size()),
                  std::uint8_t{0});
        std::fill_n(bytes.begin(), kHeaderSize, std::uint8_t{0});
        MemorySectorFile file(bytes);
        const RepairReport planned = PlanRepair(file, RebuildMode::Auto);
        ASSERT_TRUE(planned.headerMakesWhole);
        ASSERT_TRUE(NeedsSalvage(planned));

        MemorySectorFile out;
        const RepairReport salvaged = SalvageRepair(file, planned, out);
        if (!headerLeft) {
            EXPECT_EQ(salvaged.used, planned.used);
            EXPECT_EQ(RepairOutcomeOf(salvaged), RepairOutcome::RebuiltDamageRemains);
            continue;
        }
        ASSERT_EQ(salvaged.used, RebuildUsed::Salvaged);
        const std::optional<Bytes> written = test::WorkbookStreamOf(out.Bytes());
        ASSERT_TRUE(written);
        const WorkbookCells cells = ReadWorkbookCells(*written);
        ASSERT_EQ(cells.sheets.size(), 1u);
        EXPECT_TRUE(cells.sheets[0].cells.empty());
        ASSERT_EQ(salvaged.salvage->outcomes.size(), 1u);
        EXPECT_EQ(salvaged.salvage->outcomes[0].name, "Only");
        EXPECT_EQ(salvaged.salvage->outcomes[0].state, SheetState::Lost);
    }
}

TEST(Repair, LargeFilesWithTheirTableAndDifatLastComeBackWithTheirOwnStructure)
{
    // The table's 132 sectors in one run at the end of the file from sector 16640 (a multiple
    // of 128), so the sector at position 130 marks nothing but table sectors and its own
    // region holds table sectors alone: no sector's content tells the positions 109 on,
    // only the DIFAT sector after them does. A record of 0xFF bytes in the globals makes a
    // sector before them that could be a table sector too.
    constexpr std::uint32_t kStreamSectors = 128 * 130 - 1;
    const auto stream = [](std::size_t cells) {
        Bytes number = test::Record(biff::kNumber, test::Cell(0, 0) + test::Double(0.5)), records;
        records.reserve(cells * number.size());
        for (std::size_t k = 0; k < cells; ++k) {
            StoreLe16(number.data() + 4, static_cast<std::uint16_t>(k / 8));  // row, column
            StoreLe16(number.data() + 6, static_cast<std::uint16_t>(k % 8));
            records.insert(records.end(), number.begin(), number.end());
        }
        return test::Workbook(8, test::Record(biff::kFillerRecord, Bytes(2048, 0xFF)), {{"Big", records}});
    };
    const std::size_t cells = (std::size_t{kStreamSectors} * kSectorSize - stream(0).size()) / 18;
    const Bytes original = test::GnumericLargeWorkbookFile(stream(cells));
    ASSERT_EQ(LoadLe32(original.data() + kNumFatSectorsOffset), 132u);
    ASSERT_EQ(LoadLe32(original.data() + kHeaderDifatOffset), kStreamSectors + 1);

    std::mt19937 random(22);
    for (const test::HeaderDamage& damage : test::kHeaderDamages) {
        Bytes damaged = original;
        damage.Apply(damaged, random);
        MemorySectorFile file(damaged);
        const RepairReport report = RepairHeader(file, RebuildMode::Auto);
        EXPECT_TRUE(report.check.Opens()) << damage.name;
        EXPECT_EQ(test::FirstDifference(file.Bytes(), original, 44), std::nullopt) << damage.name;
    }

    // The same file with text after the last sector its table describes, as some tools leave.
    Bytes tailed = original;
    tailed.resize(original.size() + 200 * kSectorSize, 'x');
    Bytes wiped = tailed;
    std::fill(wiped.begin(), wiped.begin() + kHeaderSize, std::uint8_t{0});
    MemorySectorFile file(wiped);
    EXPECT_TRUE(RepairHeader(file, RebuildMode::Auto).check.Opens());
    EXPECT_EQ(test::FirstDifference(file.Bytes(), tailed, 44), std::nullopt);
}

}  // namespace
}  // namespace tabulon
