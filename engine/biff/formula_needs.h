// What a formula's expression needs besides itself: the cells of its own sheet, the workbook's
// globals (names, add-in functions' names, the list of sheets other sheets are named by), the
// macros (a macro function's code), or what this reading cannot tell. A spreadsheet program that loads the workbook works the formula
// out again from those; where they were lost, it would show a value the workbook never held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace tabulon::biff {

struct FormulaNeeds {
    bool ownSheet = false;  // cells of its own sheet (references, a shared or array formula there)
    bool shared = false;    // a shared or array formula's expression, whose needs are its own
    bool globals = false;    // names, other sheets, a shared or array formula's expression
    bool functions = false;  // a function called by a name of the workbook's own: a macro's (its code is the macros' project)
    bool addIns = false;     // a function called by an external name: an add-in's (or a macro's of another workbook)
    bool place = false;      // the file's and its sheet's names, which no cell holds (CELL's information)
    bool unknown = false;    // a token this reading does not know, or an expression cut short
};

// Whether `name` (in upper case) is one of the functions of the Analysis ToolPak, which the
// format's writers call by an external name as an add-in's and spreadsheet programs work out as
// their own.
bool ToolPakFunction(std::string_view name);

// A stretch of cells an expression names (rows and columns inclusive): of its own sheet, of the
// sheets an entry of the workbook's list of references (EXTERNSHEET) names (`index`, from 0;
// kAnyReference where the reading cannot tell), or whatever a defined name names (`index`, from
// 1, as the name's token counts).
struct CellArea {
    enum class Of : std::uint8_t { OwnSheet, Reference, Name };
    Of of = Of::OwnSheet;
    std::uint16_t index = 0;
    std::uint32_t firstRow = 0, lastRow = 0;
    std::uint16_t firstColumn = 0, lastColumn = 0;
};
inline constexpr std::uint16_t kAnyReference = 0xFFFF;

// A formula's own cell, which the relative references of a shared formula count from.
struct CellPlace {
    std::uint32_t row = 0;
    std::uint16_t column = 0;
};

// A token of a reference class (0x20 to 0x7F) by its base type, the class it is written in aside
// (tName 0x23 stands for 0x43 and 0x63 as well); 0 for a token of no class.
constexpr std::uint8_t BaseToken(std::uint8_t token)
{
    return token >= 0x20 ? static_cast<std::uint8_t>((token & 0x1F) | 0x20) : 0;
}
inline constexpr std::uint8_t kNameToken = 0x23;          // tName: a defined name, by its place in the list
inline constexpr std::uint8_t kExternalNameToken = 0x39;  // tNameX: a name of a workbook's list

// The length of the token at `at` of the parsed expression `tokens` (BIFF8's, or BIFF5's where
// `biff8` is false), its bytes after it included; 0 where it is none this reading knows or the
// expression ends inside it.
std::size_t TokenLength(std::span<const std::uint8_t> tokens, std::size_t at, bool biff8);

// The needs of the expression `tokens` (the parsed expression of a FORMULA record, as long as its
// record says), BIFF8's tokens or BIFF5's (`biff8` false). `areas`, when given, gets the cells it
// names, relative references counted from `place`; where BIFF5's tokens name cells, their whole
// sheet (own, or any other).
FormulaNeeds NeedsOfExpression(std::span<const std::uint8_t> tokens, bool biff8, std::vector<CellArea>* areas = nullptr,
                               CellPlace place = {});

}  // namespace tabulon::biff
