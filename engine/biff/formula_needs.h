// What a formula's expression needs besides itself: the cells of its own sheet, the workbook's
// globals (names, add-in functions' names, the list of sheets other sheets are named by), the
// macros (a macro function's code), or what this reading cannot tell. A spreadsheet program that loads the workbook works the formula
// out again from those; where they were lost, it would show a value the workbook never held.
#pragma once

#include <cstdint>
#include <span>

namespace tabulon::biff {

struct FormulaNeeds {
    bool ownSheet = false;  // cells of its own sheet (references, a shared or array formula there)
    bool shared = false;    // a shared or array formula's expression, whose needs are its own
    bool globals = false;    // names, other sheets, a shared or array formula's expression
    bool functions = false;  // a function called by name: a macro's (its code is the macros' project) or an add-in's
    bool place = false;      // the file's and its sheet's names, which no cell holds (CELL's information)
    bool unknown = false;    // a token this reading does not know, or an expression cut short
};

// The needs of the expression `tokens` (the parsed expression of a FORMULA record, as long as its
// record says), BIFF8's tokens or BIFF5's (`biff8` false).
FormulaNeeds NeedsOfExpression(std::span<const std::uint8_t> tokens, bool biff8);

}  // namespace tabulon::biff
