// Walking a formula's parsed expression token by token, to tell what it refers to.
#include "engine/biff/formula_needs.h"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/base/byte_order.h"

namespace tabulon::biff {

namespace {

// The bytes that follow a token of a reference class (0x20 to 0x7F, by its base type) in BIFF8
// and in BIFF5; 0 where the token is none the format has.
struct Operand {
    std::uint8_t biff8, biff5;
    bool ownSheet, globals;
};

Operand OperandOf(std::uint8_t base)
{
    switch (base) {
    case 0x20: return {7, 7, false, false};     // tArray: its values follow the expression
    case 0x21: return {2, 2, false, false};     // tFunc: a built-in function of fixed arguments
    case 0x22: return {3, 3, false, false};     // tFuncVar (told apart below)
    case 0x23: return {4, 14, false, true};     // tName
    case 0x24: return {4, 3, true, false};      // tRef
    case 0x25: return {8, 6, true, false};      // tArea
    case 0x26: return {6, 6, true, false};      // tMemArea: a subexpression follows
    case 0x27: return {6, 6, true, false};      // tMemErr
    case 0x28: return {6, 6, true, false};      // tMemNoMem
    case 0x29: return {2, 2, true, false};      // tMemFunc
    case 0x2A: return {4, 3, false, false};     // tRefErr
    case 0x2B: return {8, 6, false, false};     // tAreaErr
    case 0x2C: return {4, 3, true, false};      // tRefN
    case 0x2D: return {8, 6, true, false};      // tAreaN
    case 0x39: return {6, 24, false, true};     // tNameX
    case 0x3A: return {6, 17, false, true};     // tRef3d
    case 0x3B: return {10, 20, false, true};    // tArea3d
    case 0x3C: return {6, 17, false, true};     // tRefErr3d
    case 0x3D: return {10, 20, false, true};    // tAreaErr3d
    default: return {0, 0, false, false};
    }
}

// The function number that stands for one defined outside the program (an add-in's, a macro's):
// its name is the token before it, kept in the globals.
constexpr std::uint16_t kExternalFunction = 255;
// CELL: a cell's information, its file's name and its sheet's among it, which no cell holds.
constexpr std::uint16_t kCellInfoFunction = 125;

// The cells a reference token of base type `base` names, its operand at `operand` (BIFF8's);
// relative ones (a shared formula's) counted from `place`.
void AreaOfOperand(std::uint8_t base, const std::uint8_t* operand, CellPlace place, std::vector<CellArea>& areas)
{
    const auto row = [&](std::uint16_t field, std::uint16_t columnField, bool relative) -> std::uint32_t {
        return relative && (columnField & 0x8000) ? (place.row + field) & 0xFFFFu : field;
    };
    const auto column = [&](std::uint16_t field, bool relative) -> std::uint16_t {
        return static_cast<std::uint16_t>(relative && (field & 0x4000) ? (place.column + (field & 0xFF)) & 0xFF : field & 0xFF);
    };
    CellArea area;
    switch (base) {
    case 0x24:  // tRef
    case 0x2C: {  // tRefN
        const bool relative = base == 0x2C;
        const std::uint16_t c = LoadLe16(operand + 2);
        area.firstRow = area.lastRow = row(LoadLe16(operand), c, relative);
        area.firstColumn = area.lastColumn = column(c, relative);
        break;
    }
    case 0x25:  // tArea
    case 0x2D: {  // tAreaN
        const bool relative = base == 0x2D;
        const std::uint16_t c1 = LoadLe16(operand + 4), c2 = LoadLe16(operand + 6);
        area.firstRow = row(LoadLe16(operand), c1, relative);
        area.lastRow = row(LoadLe16(operand + 2), c2, relative);
        area.firstColumn = column(c1, relative);
        area.lastColumn = column(c2, relative);
        break;
    }
    case 0x3A: {  // tRef3d
        const std::uint16_t c = LoadLe16(operand + 4);
        area = {CellArea::Of::Reference, LoadLe16(operand), LoadLe16(operand + 2), LoadLe16(operand + 2), column(c, false),
                column(c, false)};
        break;
    }
    case 0x3B:  // tArea3d
        area = {CellArea::Of::Reference, LoadLe16(operand), LoadLe16(operand + 2), LoadLe16(operand + 4),
                column(LoadLe16(operand + 6), false), column(LoadLe16(operand + 8), false)};
        break;
    case 0x23:  // tName
        area = {CellArea::Of::Name, LoadLe16(operand), 0, 0, 0, 0};
        break;
    default:
        return;
    }
    // (Written corners in either order.)
    if (area.firstRow > area.lastRow)
        std::swap(area.firstRow, area.lastRow);
    if (area.firstColumn > area.lastColumn)
        std::swap(area.firstColumn, area.lastColumn);
    areas.push_back(area);
}

// The same of BIFF5's tokens, told by sheet only: the whole of its own, or of any other.
void AreaOfBiff5Operand(std::uint8_t base, const std::uint8_t* operand, std::vector<CellArea>& areas)
{
    if (base == 0x24 || base == 0x25 || base == 0x2C || base == 0x2D)
        areas.push_back({CellArea::Of::OwnSheet, 0, 0, 0xFFFF, 0, 0xFF});
    else if (base == 0x3A || base == 0x3B)
        areas.push_back({CellArea::Of::Reference, kAnyReference, 0, 0xFFFF, 0, 0xFF});
    else if (base == 0x23)
        areas.push_back({CellArea::Of::Name, LoadLe16(operand), 0, 0, 0, 0});
}

}  // namespace

bool ToolPakFunction(std::string_view name)
{
    static constexpr std::string_view kFunctions[] = {
        "ACCRINT",    "ACCRINTM",    "AMORDEGRC",  "AMORLINC",   "BESSELI",    "BESSELJ",   "BESSELK",    "BESSELY",   "BIN2DEC",
        "BIN2HEX",    "BIN2OCT",     "COMPLEX",    "CONVERT",    "COUPDAYBS",  "COUPDAYS",  "COUPDAYSNC", "COUPNCD",   "COUPNUM",
        "COUPPCD",    "CUMIPMT",     "CUMPRINC",   "DEC2BIN",    "DEC2HEX",    "DEC2OCT",   "DELTA",      "DISC",      "DOLLARDE",
        "DOLLARFR",   "DURATION",    "EDATE",      "EFFECT",     "EOMONTH",    "ERF",       "ERFC",       "FACTDOUBLE", "FVSCHEDULE",
        "GCD",        "GESTEP",      "HEX2BIN",    "HEX2DEC",    "HEX2OCT",    "IMABS",     "IMAGINARY",  "IMARGUMENT", "IMCONJUGATE",
        "IMCOS",      "IMDIV",       "IMEXP",      "IMLN",       "IMLOG10",    "IMLOG2",    "IMPOWER",    "IMPRODUCT", "IMREAL",
        "IMSIN",      "IMSQRT",      "IMSUB",      "IMSUM",      "INTRATE",    "ISEVEN",    "ISODD",      "LCM",       "MDURATION",
        "MROUND",     "MULTINOMIAL", "NETWORKDAYS", "NOMINAL",   "OCT2BIN",    "OCT2DEC",   "OCT2HEX",    "ODDFPRICE", "ODDFYIELD",
        "ODDLPRICE",  "ODDLYIELD",   "PRICE",      "PRICEDISC",  "PRICEMAT",   "QUOTIENT",  "RECEIVED",   "SERIESSUM", "SQRTPI",
        "TBILLEQ",    "TBILLPRICE",  "TBILLYIELD", "WEEKNUM",    "WORKDAY",    "XIRR",      "XNPV",       "YEARFRAC",  "YIELD",
        "YIELDDISC",  "YIELDMAT"};
    return std::find(std::begin(kFunctions), std::end(kFunctions), name) != std::end(kFunctions);
}

std::size_t TokenLength(std::span<const std::uint8_t> tokens, std::size_t at, bool biff8)
{
    if (at >= tokens.size())
        return 0;
    const std::uint8_t token = tokens[at];
    const std::size_t left = tokens.size() - at;
    std::size_t length = 0;
    if (token >= 0x03 && token <= 0x16) {
        length = 1;  // operators, parentheses, a missing argument
    } else if (token == 0x01 || token == 0x02) {
        length = 5;  // tExp, tTbl: the row and column of the cell that holds the expression or table
    } else if (token == 0x17) {  // tStr: its length, BIFF8's flags, its characters
        if (left < (biff8 ? 3u : 2u))
            return 0;
        length = biff8 ? 3 + std::size_t{tokens[at + 1]} * ((tokens[at + 2] & 0x01) ? 2 : 1) : 2 + std::size_t{tokens[at + 1]};
    } else if (token == 0x19) {  // tAttr: a kind, a 16-bit value, and for a choice its table of jumps
        if (left < 4)
            return 0;
        length = (tokens[at + 1] & 0x04) ? 4 + 2 * (std::size_t{LoadLe16(tokens.data() + at + 2)} + 1) : 4;
    } else if (token == 0x1C || token == 0x1D) {
        length = 2;  // tErr, tBool
    } else if (token == 0x1E) {
        length = 3;  // tInt
    } else if (token == 0x1F) {
        length = 9;  // tNum
    } else if (token >= 0x20) {
        const Operand operand = OperandOf(BaseToken(token));
        const std::size_t bytes = biff8 ? operand.biff8 : operand.biff5;
        length = bytes == 0 ? 0 : 1 + bytes;
    }
    // (0x00, tExtended and the types no writer uses: none)
    return length <= left ? length : 0;
}

FormulaNeeds NeedsOfExpression(std::span<const std::uint8_t> tokens, bool biff8, std::vector<CellArea>* areas, CellPlace place)
{
    FormulaNeeds needs;
    // Names that may name the function a call by name calls: external names not yet taken by a
    // call (an add-in's functions are named so, and the names of a call's arguments come after
    // its own), and whether a name of the workbook's own came before.
    std::size_t externalNames = 0;
    bool ownName = false;
    for (std::size_t at = 0, length = 0; at < tokens.size(); at += length) {
        length = TokenLength(tokens, at, biff8);
        if (length == 0) {
            needs.unknown = true;  // a token this reading does not know, or one cut short
            break;
        }
        const std::uint8_t token = tokens[at];
        if (token == 0x01 || token == 0x02) {
            // tExp: a shared or array formula of its own sheet, whose expression is elsewhere;
            // tTbl: a data table of its own sheet, which may name anything.
            needs.ownSheet = true;
            needs.shared = needs.shared || token == 0x01;
            needs.globals = needs.globals || token == 0x02;
            if (areas && token == 0x02) {
                areas->push_back({CellArea::Of::OwnSheet, 0, 0, 0xFFFF, 0, 0xFF});
                areas->push_back({CellArea::Of::Reference, kAnyReference, 0, 0xFFFF, 0, 0xFF});
            }
        }
        if (token < 0x20)
            continue;
        const std::uint8_t base = BaseToken(token);
        const Operand operand = OperandOf(base);
        const std::uint8_t* const bytes = tokens.data() + at + 1;
        needs.ownSheet = needs.ownSheet || operand.ownSheet;
        needs.globals = needs.globals || operand.globals;
        // A function defined outside the program is named by the token before it: an add-in's or
        // a macro's by an external name (of the globals), a macro's by a name of its own. Which
        // of them, only the lost globals could tell.
        if (base == 0x22 && (LoadLe16(bytes + 1) & 0x7FFF) == kExternalFunction) {
            needs.addIns = needs.addIns || externalNames > 0;
            needs.functions = needs.functions || (externalNames == 0 && ownName);
            needs.unknown = needs.unknown || (externalNames == 0 && !ownName);  // (called by no name)
            externalNames -= externalNames > 0 ? 1 : 0;
        }
        if ((base == 0x21 || base == 0x22) && (LoadLe16(base == 0x21 ? bytes : bytes + 1) & 0x7FFF) == kCellInfoFunction)
            needs.place = true;
        externalNames += base == kExternalNameToken ? 1 : 0;
        ownName = ownName || base == kNameToken;
        if (areas && biff8)
            AreaOfOperand(base, bytes, place, *areas);
        else if (areas)
            AreaOfBiff5Operand(base, bytes, *areas);
        if (needs.unknown)
            break;
    }
    return needs;
}

}  // namespace tabulon::biff
