// The whole header repair: the plain rebuild, checked; a deeper rebuild when the plain one
// leaves the workbook unreadable; and a refusal for files that are no workbooks at all.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/cfb/header.h"
#include "engine/cfb/verify.h"
#include "engine/io/sector_file.h"
#include "engine/repair/rebuild/rebuild.h"
#include "engine/repair/realign/realign.h"
#include "engine/repair/salvage/salvage.h"
#include "engine/repair/workbook/workbook.h"

namespace tabulon {

enum class RebuildMode {
    Auto,    // the plain rebuild, then the deep one if the plain result does not open
    Design,  // the plain rebuild alone, exactly, never refused
};

enum class RebuildUsed {
    Design,  // the plain rebuild's header
    Deep,    // the deep rebuild's header
    Kept,    // the file's own header stood: nothing is written (the check tells whether the
             // workbook opens, or only its compound file and its records are damaged)
    None,    // refused: nothing written
    Salvaged,  // no header made it open: its streams went into a new file
    Realigned, // its bytes had moved: put back in place, they went into a new file
};

enum class NotAWorkbook {
    ZipArchive,         // an .xlsx or other zip file
    HtmlDocument,
    XmlDocument,
    LargeSectors,       // a compound file with 4096-byte sectors (version 4)
    NoCompoundStructure,
};

struct RepairReport {
    HeaderBytes before{};
    HeaderBytes after{};
    RebuildUsed used = RebuildUsed::None;
    WorkbookCheck check;                 // of the file as repaired (or, refused, as found)
    std::optional<NotAWorkbook> refused;  // set when nothing was written
    std::optional<SalvageReport> salvage; // set when a salvage was tried
    // The header chosen makes the compound file whole (its table, directory and workbook stream
    // read) where the file's own header did not; `check` may still find damage beyond it.
    bool headerMakesWhole = false;
    // Set when the file's bytes had moved (a wrapper, line ends turned, foreign clusters) and
    // were put back: everything above then speaks of the realigned bytes, which a salvage
    // writes into a new file. The file itself is never written.
    std::optional<RealignNote> realign;
    std::shared_ptr<const std::vector<std::uint8_t>> realignedBytes;
    // The workbook stream under the header chosen, as the check of its records mended it (set
    // when the check had to mend it to find the damage): a salvage of the same bytes takes it
    // as it is, and the report it gives holds it no more.
    std::shared_ptr<const MendedStream> mended;
};

// The steps PlanRepair takes, for timing them one by one.
enum class RepairPhase {
    CheckAsFound,  // the check of the file as it is (Auto mode)
    Scan,          // the plain rebuild's one pass, which also feeds the deep rebuild's search
    CheckHeader,   // the check of one rebuilt header (plain or deep): once per header
    DeepRebuild,   // the deep rebuild's headers, from what the pass collected
    RecordCheck,   // the records of the workbook stream, under the header that opens the file
};

// What PlanRepair tells the one who watches it: each phase as it begins and as it ends, and
// what the pass found.
struct RepairWatch {
    std::function<void(RepairPhase phase, bool begins)> phase;
    ScanFacts facts;  // set once the Scan phase has run
};

// Works out the repair without writing anything. In Auto mode a file whose own header makes
// its compound file whole keeps that header (`used` is Kept), whether or not its records read;
// and a file that does not open is first realigned (see Realign): when its bytes had moved,
// the report is that of the realigned bytes, with `realign` set. `watch`, when given, hears of
// each phase of the repair of the file as found.
RepairReport PlanRepair(SectorFile& file, RebuildMode mode, RepairWatch* watch = nullptr);
// Repairs in place: the only write is the chosen 512-byte header at offset 0, made last, and
// none for a refused or kept file. Throws std::system_error when a file operation fails.
RepairReport RepairHeader(SectorFile& file, RebuildMode mode);

// Whether carrying out `report` writes a header into the file (a salvage, or realigned bytes,
// go into a new file instead).
bool RepairWrites(const RepairReport& report);
// Writes the header `report` chose at offset 0 (nothing when RepairWrites is false).
void WriteRepair(SectorFile& file, const RepairReport& report);

// Whether the header repair left a workbook unreadable that is one all the same (auto mode):
// then its streams can still be salvaged into a new file. Realigned bytes, too, go into a new
// file by SalvageRepair.
bool NeedsSalvage(const RepairReport& report);
// Whether SalvageRepair wrote the repair into its new file: salvaged or realigned.
bool WroteNewFile(const RepairReport& report);
// Salvages `file`, as `planned` found it, into `out` (empty). When the new file opens the report
// says Salvaged, `after` is the new file's header and `check` its verdict; otherwise `planned`
// comes back with only `salvage` added, and `out` is to be discarded. A realigned plan writes
// its realigned bytes, with the header chosen for them, into `out` instead and says Realigned.
// Reads `file`, never writes it. Throws std::system_error when a file operation fails.
// `progress`, when given, hears how far it has come, in percent.
RepairReport SalvageRepair(SectorFile& file, const RepairReport& planned, SectorFile& out,
                           const SalvageProgress& progress = {});

// What the repair came to for one workbook, as RepairOutcomeOf reads it from the report.
enum class RepairOutcome {
    Kept,                    // its own header stood and it opens as it is: nothing to write
    Rebuilt,                 // a rebuilt header (plain or deep) makes it open
    RebuiltDamageRemains,    // a rebuilt header makes its compound file whole; damage beyond it remains
    RebuiltUnreadable,       // a rebuilt header that still leaves its compound file unreadable
    Realigned,               // its moved bytes, put back, went into a new file that opens
    RealignedDamageRemains,  // the same, but the new file does not open
    SalvagedComplete,        // its streams went into a new file and nothing was lost
    SalvagedPartial,         // the same, with sheets, records, names or streams lost
    Refused,                 // no workbook at all: nothing written
    Failed,                  // its own header stood over damage no salvage mended: still damaged
};

// What `report` says happened to the workbook. A refusal comes first; then what went into a
// new file (a salvage, or realigned bytes), by what it holds; then the header that stood, by
// what the check finds under it. A plan whose bytes had moved but went into no new file is told
// by the header chosen for the realigned bytes.
RepairOutcome RepairOutcomeOf(const RepairReport& report);

// What a repair of one workbook came to.
struct RepairResult {
    RepairReport report;
    RepairOutcome outcome = RepairOutcome::Failed;
};

// Makes the empty file a salvage writes into: one of the caller's own kind (a private file
// beside where the repair goes, say, or one in memory). Called once at most, and only when
// a salvage is tried. Throws std::system_error when the file cannot be made.
using NewFileMaker = std::function<SectorFile&()>;

// The repair of a working copy of a workbook: PlanRepair, then, in Auto mode when the plan
// leaves a workbook unreadable (NeedsSalvage), SalvageRepair into the file `newFile` makes.
// Reads `working`, never writes it: a header the report chose is the caller's to write
// (WriteRepair) once its own checks allow; when WroteNewFile, the new file holds the repair and
// is the caller's to keep. Throws std::system_error when a file operation fails. `progress`,
// when given, hears how far a salvage has come.
RepairResult RepairWorkingCopy(SectorFile& working, RebuildMode mode, const NewFileMaker& newFile,
                               const SalvageProgress& progress = {});

// Verifies the file as it would read with `header` in place of its first 512 bytes: the same
// verdict VerifyWorkbook gives on the file with that header written.
WorkbookCheck VerifyWithHeader(SectorFile& file, const HeaderBytes& header);

}  // namespace tabulon
