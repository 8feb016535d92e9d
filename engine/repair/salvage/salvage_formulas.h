// The salvage's formulas whose needs the damage took (salvage_formulas.cpp).
#pragma once

#include <cstdint>
#include <vector>

#include "engine/repair/salvage/salvage.h"

namespace tabulon {

// Each formula of the mended `workbook` that refers to what the damage took (by `report`'s
// regions, lost sheets and streams) becomes a cell of its cached result in place, counted in
// `report.formulasAsValues`; the records keep their places. A formula spreadsheet programs would
// work out again from what is no longer there would show a value the workbook never held. One
// that calls a function by name (a macro's, an add-in's), or shows its file's and sheet's names,
// goes instead, as filler.
void FormulasWhoseNeedsWentBecomeValues(std::vector<std::uint8_t>& workbook, SalvageReport& report);

}  // namespace tabulon
