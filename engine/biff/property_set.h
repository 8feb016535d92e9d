// Property sets (the summary streams beside a workbook): what the salvage can learn from them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tabulon {

// The names of the worksheets a DocumentSummaryInformation stream lists (its document parts,
// as many as its first heading counts), or none when it lists none that can be read.
std::vector<std::u16string> SheetNamesFromSummary(std::span<const std::uint8_t> summary);

}  // namespace tabulon
