// Property sets (the summary streams beside a workbook): what the salvage can learn from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tabulon {

// Where the first section of a property set starts, when the set begins as one does (its
// byte-order mark, and room for its header and one section's place); nothing otherwise.
std::optional<std::size_t> FirstSectionOffset(std::span<const std::uint8_t> set);

// Whether a property set's bytes hold together: its byte order and version, one or two sections
// listed, the first past that list and within the set, and its properties within the section.
bool PropertySetHoldsTogether(std::span<const std::uint8_t> set);

// The names of the worksheets a DocumentSummaryInformation stream lists (its document parts,
// as many as its first heading counts), or none when it lists none that can be read.
std::vector<std::u16string> SheetNamesFromSummary(std::span<const std::uint8_t> summary);

}  // namespace tabulon
