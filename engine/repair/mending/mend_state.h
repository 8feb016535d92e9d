// One round of MendWorkbookStream: what its steps share while they go, and the steps, each a
// rule of the mending, in the order the round takes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/biff/record_scan.h"
#include "engine/biff/records.h"
#include "engine/repair/mending/mend_parts.h"
#include "engine/repair/mending/mending.h"

namespace tabulon::mending {

// An entry of the list of sheets, in the globals: where its record lies, and the offset it gives.
struct Listed {
    std::size_t record;
    std::uint32_t offset;
};

// What a round of mending holds from one step to the next. The stream is the caller's, mended
// in place; the round's regions go back to the caller at its end.
struct MendState {
    MendState(std::vector<std::uint8_t>& mended, const std::vector<std::u16string>& sheetNames) : stream(mended), names(sheetNames) {}

    std::vector<std::uint8_t>& stream;
    const std::vector<std::u16string>& names;  // the sheets the document summary lists
    std::vector<MendedRegion> regions;
    Walk walk;
    // Bytes after the last sheet's end that read as no record (a writer's padding), set aside;
    // they go back when the mending changes nothing at the stream's end.
    std::vector<std::uint8_t> padding;

    // The first record of a sheet: the globals' own, as a worksheet's.
    std::uint16_t bofLength = 0;
    std::vector<std::uint8_t> sheetBof;

    // The list of sheets, where the globals end, and whether they are BIFF8's.
    std::vector<Listed> listed;
    std::size_t globalsEnd = 0;
    bool biff8 = false;
    // Entries whose sheets come back empty at the end: those past the end, those not found.
    std::vector<Listed> pastTheEnd;
    std::vector<std::size_t> notFound;  // of those, the ones that led into the records (by where their records lie)
    // Sheets that no entry leads to.
    std::vector<std::size_t> orphans;

    // The first and end records past the globals, from where the walk for a chart's records
    // began to where it stopped; `marksHold` unless that walk changed the records.
    std::vector<Walk::Mark> marks;
    std::size_t marksFrom = 0;
    std::size_t marksTo = 0;
    bool marksHold = true;

    // The record that starts last before `at` (kNoPlace: none).
    std::size_t RecordBefore(std::size_t at) const { return walk.boundary.Before(at); }
    // Whether the record that ends at `at` is an EOF.
    bool EndsWithEof(std::size_t at) const
    {
        const std::size_t before = RecordBefore(at);
        return before != kNoPlace && U16(stream, before) == kEof && before + kHeader + U16(stream, before + 2) == at;
    }
    // Whether an entry's offset leads to a sheet's first record.
    bool LeadsToSheet(std::size_t offset) const
    {
        return offset < stream.size() && walk.boundary.Test(offset) && U16(stream, offset) == kBof;
    }
    // No record starts in [from, to) any more (it is about to be written anew).
    void ForgetStarts(std::size_t from, std::size_t to)
    {
        for (std::size_t k = from; k < to; ++k)
            walk.boundary.Reset(k);
    }
};

// record_mend.cpp
// The regions of a stream that now ends at `end`: none replaced past it, none running past it.
void KeepWithin(std::vector<MendedRegion>& regions, std::size_t end);
// The first record of a sheet, made from the globals' own; false when not even that reads.
bool SheetStartFromGlobals(MendState& m);
// The list of sheets as the globals hold it, up to their end record; the entries that lead
// past the stream's end.
void ReadSheetList(MendState& m);
// Each region's sheet, by its place in the list.
void PlaceRegionsInSheets(MendState& m);

// mend_sheet_starts.cpp
// Fills the hole [from, to) with an end record, a worksheet's first record and an empty filler
// record at its end (filler before them); gives where the end record went.
std::size_t EndAndSheetStartAtTheEnd(MendState& m, std::size_t from, std::size_t to);
// The room that takes besides the first record's body: an end record, the first record's header
// and an empty filler record after it.
inline constexpr std::size_t kSheetStartRoom = 3 * kHeader;
// A sheet whose first record's kind lost a bit gets it back where its entry says.
void SheetStartsWithAChangedBitGoBack(MendState& m);
// A sheet whose first record was in a hole gets it back where its entry says.
void LostSheetStartsGoBack(MendState& m);
// A hole after which a worksheet's cells go back to rows well above took the sheet's end and
// the next one's start.
void SheetsSplitWhereCellsGoBack(MendState& m);
// The records after a hole that took a chart's first record inside a sheet become filler.
void SubstreamsWithoutTheirStartGo(MendState& m);
// A sheet that never ends gets the end record a hole took (its own, or its chart's).
void SheetsEndInTheirHoles(MendState& m);
// A chart's records right in a worksheet become filler; the first and end records past the
// globals are noted.
void ChartRecordsInWorksheetsGo(MendState& m);
// Where the globals end once end records went back.
void GlobalsEndWhereEndRecordsWentBack(MendState& m);
// A sheet whose first record went with the globals' end gets it back.
void SheetStartLostWithGlobalsEndGoesBack(MendState& m);

// mend_sheet_list.cpp
// Entries past the globals' end leave the list.
void EntriesPastTheGlobalsGo(MendState& m);
// The sheets no entry leads to.
void FindOrphanSheets(MendState& m);
// An entry one changed bit from an orphan's place leads to it.
void EntriesOneBitFromAnOrphanLeadToIt(MendState& m);
// Entries that lead nowhere take the orphans, in order.
void PairDanglingEntries(MendState& m);
// A list lost whole comes back from the document summary's names.
void ListFromSummaryNames(MendState& m);
// Orphans get entries in the globals' holes.
void OrphansGetEntries(MendState& m);
void ListInRecordOrder(MendState& m);

// mend_cut.cpp
// The stream ends where its records do: a cut, or padding set aside.
void StreamEndsWhereRecordsEnd(MendState& m);
// What follows the end of the last sheet goes.
void CutAfterLastSheet(MendState& m);
// Entries that lead into the middle of the records come back as empty sheets.
void EntriesNotFoundComeBackEmpty(MendState& m);
// The open sheet gets its end record; lost sheets come back empty at the end.
void SheetsClosedAndLostOnesEmpty(MendState& m);

}  // namespace tabulon::mending
