#include "engine/repair/pipeline/recovered_cells.h"

#include "engine/cfb/compound_reader.h"
#include "engine/repair/mending/mending.h"
#include "engine/repair/workbook/workbook.h"

namespace tabulon {
namespace {

bool AnySheet(const WorkbookCells& cells)
{
    return !cells.sheets.empty();
}

// The cells of the workbook stream of `file`, when it has one that holds a sheet. A stream
// whose records may be damaged is mended first, so that no cell keeps the zeros of a hole.
std::optional<WorkbookCells> CellsOfStream(SectorFile& file, bool mend = false)
{
    std::optional<std::vector<std::uint8_t>> stream = ReadWorkbookStream(file);
    if (!stream)
        return std::nullopt;
    if (mend)
        MendWorkbookStream(*stream);
    WorkbookCells cells = ReadWorkbookCells(*stream);
    if (!AnySheet(cells))
        return std::nullopt;
    return cells;
}

}  // namespace

RecoveredCells RecoverCells(SectorFile& file)
{
    const std::vector<std::uint8_t> original = ReadFileBytes(file, file.Length());
    RecoveredCells result;
    MemorySectorFile copy(original);
    result.report = PlanRepair(copy, RebuildMode::Auto);
    if (!result.report.refused) {
        std::optional<WorkbookCells> cells;
        if (NeedsSalvage(result.report)) {
            MemorySectorFile salvaged;
            result.report = SalvageRepair(copy, result.report, salvaged);
            if (WroteNewFile(result.report)) {
                cells = CellsOfStream(salvaged);
                result.from = result.report.used == RebuildUsed::Realigned ? CellsFrom::Realigned : CellsFrom::Salvage;
            }
        } else if (result.report.check.Opens()) {
            WriteRepair(copy, result.report);  // nothing for a workbook that is kept
            cells = CellsOfStream(copy);
            result.from = result.report.used == RebuildUsed::Kept ? CellsFrom::Workbook : CellsFrom::RepairedHeader;
        }
        if (cells) {
            result.cells = std::move(*cells);
            return result;
        }
    }

    MemorySectorFile asItIs(original);
    if (std::optional<WorkbookCells> cells = CellsOfStream(asItIs, true)) {
        result.from = CellsFrom::DamagedStream;
        result.cells = std::move(*cells);
        return result;
    }
    // The workbook's records among the file's bytes, from its first record on: the bytes of
    // other streams between its sectors, and damage, mended away as a salvage mends them.
    std::vector<std::uint8_t> records;
    for (std::size_t at = 0; at + 8 <= original.size(); ++at) {
        const std::optional<Bof> bof = BofAt(original, at);
        if (bof && bof->substream == biff::kGlobalsSubstream) {
            records.assign(original.begin() + static_cast<std::ptrdiff_t>(at), original.end());
            break;
        }
    }
    MendWorkbookStream(records);
    result.cells = ReadWorkbookCells(records);
    result.from = AnySheet(result.cells) ? CellsFrom::FileRecords : CellsFrom::Nothing;
    return result;
}

}  // namespace tabulon
