// What a salvage brought back, sheet by sheet, read from the workbook it wrote: so that the
// summary never says more came back than did.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/repair/salvage.h"

namespace tabulon {

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
