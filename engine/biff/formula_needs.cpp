// Walking a formula's parsed expression token by token, to tell what it refers to.
#include "engine/biff/formula_needs.h"

#include <cstddef>

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

}  // namespace

FormulaNeeds NeedsOfExpression(std::span<const std::uint8_t> tokens, bool biff8)
{
    FormulaNeeds needs;
    std::uint8_t lastName = 0;  // the base type of the last name token
    std::size_t at = 0;
    const auto have = [&](std::size_t bytes) { return at + bytes <= tokens.size(); };
    while (at < tokens.size() && !needs.unknown) {
        const std::uint8_t token = tokens[at++];
        if (token >= 0x03 && token <= 0x16)
            continue;  // operators, parentheses, a missing argument
        switch (token) {
        case 0x01:  // tExp: a shared or array formula of its own sheet, whose expression is elsewhere
            needs.ownSheet = true;
            needs.shared = true;
            at += 4;
            break;
        case 0x02:  // tTbl: a data table of its own sheet, which may name anything
            needs.ownSheet = true;
            needs.globals = true;
            at += 4;
            break;
        case 0x17: {  // tStr
            if (!have(1)) {
                needs.unknown = true;
                break;
            }
            const std::size_t length = tokens[at];
            if (biff8) {
                if (!have(2)) {
                    needs.unknown = true;
                    break;
                }
                at += 2 + length * ((tokens[at + 1] & 0x01) ? 2 : 1);
            } else {
                at += 1 + length;
            }
            break;
        }
        case 0x19:  // tAttr: a kind, a 16-bit value, and for a choice its table of jumps
            if (!have(3)) {
                needs.unknown = true;
                break;
            }
            at += (tokens[at] & 0x04) ? 3 + 2 * (std::size_t{LoadLe16(tokens.data() + at + 1)} + 1) : 3;
            break;
        case 0x1C:  // tErr
        case 0x1D:  // tBool
            at += 1;
            break;
        case 0x1E:  // tInt
            at += 2;
            break;
        case 0x1F:  // tNum
            at += 8;
            break;
        default: {
            if (token < 0x20) {
                needs.unknown = true;  // tExtended and the types no writer uses
                break;
            }
            const std::uint8_t base = static_cast<std::uint8_t>((token & 0x1F) | 0x20);
            const Operand operand = OperandOf(base);
            const std::size_t bytes = biff8 ? operand.biff8 : operand.biff5;
            if (bytes == 0 || !have(bytes)) {
                needs.unknown = true;
                break;
            }
            needs.ownSheet = needs.ownSheet || operand.ownSheet;
            needs.globals = needs.globals || operand.globals;
            // A function defined outside the program is named by the token before it: an
            // add-in's or a macro's by an external name (of the globals), a macro's by a name of
            // its own. Which of them, only the lost globals could tell.
            if (base == 0x22 && (LoadLe16(tokens.data() + at + 1) & 0x7FFF) == kExternalFunction) {
                needs.functions = needs.functions || lastName != 0;
                needs.unknown = needs.unknown || lastName == 0;  // (called by no name)
            }
            if ((base == 0x21 || base == 0x22) && (LoadLe16(tokens.data() + (base == 0x21 ? at : at + 1)) & 0x7FFF) == kCellInfoFunction)
                needs.place = true;
            if (base == 0x23 || base == 0x39)
                lastName = base;
            at += bytes;
            break;
        }
        }
    }
    if (at > tokens.size())
        needs.unknown = true;
    return needs;
}

}  // namespace tabulon::biff
