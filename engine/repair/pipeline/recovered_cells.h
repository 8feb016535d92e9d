// The cells of a workbook as the repair brings it back, worked out in memory: what the preview
// shows and the CSV export writes, without a repaired copy on disk.
#pragma once

#include "engine/biff/biff_cells.h"
#include "engine/io/sector_file.h"
#include "engine/repair/pipeline/repair.h"

namespace tabulon {

// Where the cells were read from.
enum class CellsFrom {
    Workbook,       // the workbook opens as it is
    RepairedHeader, // the workbook with the header the repair rebuilt
    Salvage,        // the new file the salvage made of the workbook's streams
    Realigned,      // the workbook with its moved bytes put back (see Realign)
    DamagedStream,  // no repair opens it: the workbook stream its own header leads to, mended
    FileRecords,    // no workbook stream at all: workbook records found among the file's bytes
    Nothing,        // no workbook records anywhere: nothing can be read
};

struct RecoveredCells {
    CellsFrom from = CellsFrom::Nothing;
    RepairReport report;  // the automatic repair as worked out for the file
    WorkbookCells cells;
};

// Repairs a copy of `file` in memory as tabulon-repair would (the automatic rebuild, and the
// salvage when no header makes it open) and reads the cells of the result. Where the result
// has no readable workbook, the cells come from whatever can be found: the workbook stream
// the file's own header leads to (its records mended as a salvage mends them), else workbook
// records among the file's bytes. Never writes `file`; holds it in memory two or three times
// over. Throws std::system_error from `file`.
RecoveredCells RecoverCells(SectorFile& file);

}  // namespace tabulon
