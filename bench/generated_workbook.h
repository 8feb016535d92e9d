// Large workbooks for the salvage benchmark, written the way a spreadsheet program writes
// them: a BIFF8 workbook stream (globals with fonts, formats, style and cell XFs, the sheet list
// and a shared-string table split into CONTINUE records; then sheets of rows in blocks of 32
// with their DBCELL index) inside a compound file made by the project's own writer.
#pragma once

#include <cstdint>
#include <filesystem>

namespace tabulon::bench {

struct GeneratedWorkbook {
    std::uint64_t fileBytes = 0;
    std::uint64_t streamBytes = 0;  // of the workbook stream
    int sheets = 0;
    std::uint64_t cells = 0;        // every one non-empty
    std::uint64_t strings = 0;      // in the shared-string table
};

// Writes a workbook of about `targetBytes` bytes (never much less; a few KiB more at most) to
// `path`, which must not exist. Sheets of up to 65,536 rows by kGeneratedColumns columns, as
// many as the size needs; a header row naming the columns, then four kinds of cells taking
// turns column by column: whole numbers (RK), numbers with four decimals (NUMBER), texts
// unique to their cell and texts from a vocabulary of 500 words (LABELSST). The same `seed`
// gives the same bytes. The workbook stream is held in memory once while it is written.
inline constexpr std::uint32_t kGeneratedColumns = 32;
GeneratedWorkbook WriteGeneratedWorkbook(const std::filesystem::path& path, std::uint64_t targetBytes,
                                         std::uint64_t seed);

}  // namespace tabulon::bench
