// Salvage: when no header makes a workbook open, its streams are found from what survives of
// the allocation table, the directory and the workbook's own records, and written into a new
// compound file. The damaged file is only read.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "engine/cfb/header.h"
#include "engine/repair/workbook/workbook.h"
#include "engine/io/sector_file.h"
#include "engine/repair/mending/mending.h"

namespace tabulon {

struct SalvagedStream {
    std::string path;                // UTF-8, storages joined by "/"
    std::uint64_t declaredSize = 0;  // what the directory said; 0 when the stream was found by its records
    std::uint64_t size = 0;          // what was kept
    std::uint32_t linksRebuilt = 0;  // links of its chain that the table did not give (or gave wrongly)
};

// How much of a sheet came back.
enum class SheetState : std::uint8_t {
    Complete,  // none of its records was lost
    Partial,   // some of its records were lost, some of its cells came back
    Lost,      // none of its cells came back
};

struct SheetOutcome {
    std::string name;
    SheetState state = SheetState::Complete;
    std::uint64_t bytesLost = 0;  // of its records: replaced by filler or cut off
    std::size_t cells = 0;        // cells that came back as a reader shows them (less text cells whose string did not)
    std::size_t textsLost = 0;    // text cells whose shared string did not come back
    bool nameMadeUp = false;      // its entry in the list of sheets was lost: "Sheet" and a number
    bool startLost = false;       // its first records were lost (how many bytes, no one can tell)
    std::size_t formulasLeftOut = 0;  // formulas that went with what their functions need
};

// What `SalvageReport::dropped` lists for the streams of directory entries in sectors that were
// lost: no one can tell their names.
inline constexpr const char* kLostEntriesStreams = "directory entries in lost sectors (their streams)";

struct SalvageReport {
    bool written = false;                 // a new file was made
    bool directoryLost = false;           // the workbook stream was found by its first record
    bool workbookInMiniStream = false;
    std::uint32_t tableSectorsLost = 0;   // allocation-table sectors that did not survive
    std::uint32_t linksRebuilt = 0;
    std::vector<SalvagedStream> kept;
    std::vector<std::string> dropped;     // streams whose chain could not be followed to their size
    int sheets = 0;                       // sheets the workbook lists
    int sheetsFound = 0;                  // of them, those whose first record is where the list says
    std::vector<std::string> sheetNames;  // as the salvaged workbook lists them
    std::vector<std::string> lostSheets;  // listed, but their records are gone
    std::uint64_t workbookBytesLost = 0;  // of the workbook stream's declared size
    std::vector<MendedRegion> regions;    // what was mended in the workbook stream
    bool firstSheetStartLost = false;     // no sheet's first record survived: one was made for the first
    // Formulas that became cells of their cached results: those naming anything beyond their own
    // sheet's cells where the damage took anything, and those naming cells of a sheet that lost
    // records. Those calling a function by name (a macro's or an add-in's), or showing their
    // file's and sheet's names (CELL), went instead: no program shows their cached results for
    // the intact workbook, or for the copy.
    struct FormulasAsValues {
        std::size_t needingGlobals = 0;
        std::size_t needingCells = 0;
        std::size_t leftOut = 0;
        std::vector<std::uint64_t> leftOutAt;  // where each of those was
        std::vector<std::pair<std::uint64_t, std::uint64_t>> places;  // offset and length of each rewritten
        std::size_t Total() const { return needingGlobals + needingCells; }
    } formulasAsValues;
    WorkbookCheck check;                  // of the new file
    // Set once the new file is read back (AssessSalvage): each listed sheet in order, whether
    // the names were made up for sheets whose list was lost, and what the check found wrong
    // with the file as it came.
    std::vector<SheetOutcome> outcomes;
    bool namesMadeUp = false;
    std::vector<Finding> damage;
};

// Finds the streams of `file` from what survives and writes a fresh version-3 compound file
// holding them into `out` (empty, from offset 0). When one of `headers` (the file's own header,
// the repair's best rebuild), or else one the deep rebuild makes from the file, opens the
// compound structure (every chain reaches its stream's size, the directory reads whole; a last
// sector cut short counts as filled out), every stream it reaches is written byte for byte in
// its place, the workbook's records mended. Otherwise each of `headers` (and the deep
// rebuild's first two) is tried for where the table, directory and mini table are; where a header says nothing usable, the file's sectors
// decide; the header that recovers the most of the workbook stands. A stream other than the
// workbook is kept only where its bytes are sure. Nothing is written to `out` when no workbook
// stream can be found (`written` is false). Reads the whole file into memory; the work on it
// is bounded by a few passes per lost link. Throws std::system_error from the files.
// `progress`, when given, hears how far the salvage has come, in percent, now and then.
// `holdsWorkbook`, when given, tells whether the check found the new file holding the workbook
// stream it was written with, byte for byte (false when nothing was written).
// `mended`, when given, is the workbook stream as the check of the records mended it under one
// of `headers`: where a header opens the structure and its workbook stream holds those very
// bytes, that mending stands and is not done again.
// `whileChecking`, when given, is called once the new file is written, on a thread of its own
// while the file is checked, with the report so far, the workbook stream written and the sheet
// names the new file's summary gives; it must only read them (and the file is the check's).
// What it makes of the stream holds where `holdsWorkbook` comes back true.
using SalvageProgress = std::function<void(int percent)>;
using WhileChecking =
    std::function<void(const SalvageReport& report, std::span<const std::uint8_t> workbook, const std::vector<std::u16string>& summaryNames)>;
struct MendedStream;
SalvageReport SalvageWorkbook(SectorFile& file, std::span<const HeaderBytes> headers, SectorFile& out,
                              const SalvageProgress& progress = {}, bool* holdsWorkbook = nullptr,
                              const MendedStream* mended = nullptr, const WhileChecking& whileChecking = {});

// What a salvage brought back, sheet by sheet, read from the workbook it wrote: so that the
// summary never says more came back than did.


// Fills in `report.outcomes` from the salvaged workbook stream: a sheet the list names but
// whose records are gone, or that holds no cell while some of its records were lost, is lost;
// one with lost records and cells is partial. Ties each mended region to the sheet whose
// records it lay among, adds the bytes the stream's chain did not reach as a region lost at its
// end, and makes `workbookBytesLost` the regions' sum. A sheet's name is made up when its entry
// in the list of sheets lies in a replaced region and is "Sheet" and a number that the document
// summary (`summaryNames`) does not list.
void AssessSalvage(SalvageReport& report, std::span<const std::uint8_t> stream,
                   const std::vector<std::u16string>& summaryNames = {});

// Whether everything came back: every sheet complete, no byte of the workbook and no stream
// lost, no name made up, and the new file's check clean.
bool SalvageComplete(const SalvageReport& report);

}  // namespace tabulon
