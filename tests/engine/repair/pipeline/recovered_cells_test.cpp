// The cells of a workbook as the repair brings it back in memory.
#include <gtest/gtest.h>

#include <random>

#include "engine/cfb/compound_reader.h"
#include "engine/cfb/header.h"
#include "engine/repair/pipeline/recovered_cells.h"
#include "engine/repair/workbook/workbook.h"
#include "tests/support/biff_builder.h"
#include "tests/support/cell_lines.h"
#include "tests/support/sector_builder.h"
#include "tests/support/workbooks.h"

namespace tabulon {
namespace {

using test::Bytes;
using test::operator+;

TEST(RecoverCells, ReadsTheWorkbookAsTheRepairBringsItBack)
{
    const Bytes intact = test::TestWorkbook("phpss__biff8cover.xls");
    MemorySectorFile intactFile(intact);
    const WorkbookCells reference = ReadWorkbookCells(*ReadWorkbookStream(intactFile));
    ASSERT_FALSE(reference.sheets.at(0).cells.empty());

    Bytes headerless = intact;
    std::fill_n(headerless.begin(), 76, std::uint8_t{0});
    Bytes tableLost = intact;
    const std::uint32_t table = test::HeaderField32(intact, kHeaderDifatOffset);
    std::fill_n(tableLost.begin() + 512 * (table + 1), 512, std::uint8_t{0});
    const Bytes streamAlone = *ReadWorkbookStream(intactFile);

    const struct {
        const char* name;
        Bytes file;
        CellsFrom from;
    } cases[] = {
        {"intact", intact, CellsFrom::Workbook},
        {"header wiped", headerless, CellsFrom::RepairedHeader},
        {"allocation table lost", tableLost, CellsFrom::Salvage},
        {"a workbook stream without a compound file", streamAlone, CellsFrom::FileRecords},
    };
    for (const auto& c : cases) {
        MemorySectorFile file(c.file);
        const RecoveredCells recovered = RecoverCells(file);
        EXPECT_EQ(recovered.from, c.from) << c.name;
        EXPECT_EQ(test::CellLines(recovered.cells), test::CellLines(reference)) << c.name;
        EXPECT_EQ(recovered.cells.date1904, reference.date1904) << c.name;
        EXPECT_EQ(recovered.cells.dateFormats, reference.dateFormats) << c.name;
        EXPECT_EQ(file.Bytes(), c.file) << c.name << ": the file is only read";
    }
}

TEST(RecoverCells, NothingComesOfAFileThatHoldsNoWorkbook)
{
    std::mt19937 random(3);
    Bytes noise(8192);
    for (std::uint8_t& byte : noise)
        byte = static_cast<std::uint8_t>(random());
    const Bytes zip = Bytes{'P', 'K', 3, 4} + Bytes(4092, 0);
    for (const Bytes& bytes : {noise, zip, Bytes{}}) {
        MemorySectorFile file(bytes);
        const RecoveredCells recovered = RecoverCells(file);
        EXPECT_EQ(recovered.from, CellsFrom::Nothing);
        EXPECT_TRUE(recovered.cells.sheets.empty());
        if (bytes == zip) {
            EXPECT_EQ(recovered.report.refused, NotAWorkbook::ZipArchive);
        }
    }
}

}  // namespace
}  // namespace tabulon
