// What a formula's expression refers to, token by token: expressions written as the writers of
// BIFF8 and BIFF5 write them, each kind of need alone and among others, and expressions that do
// not read.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/biff/formula_needs.h"
#include "tests/support/biff_builder.h"

namespace tabulon {
namespace {

using test::Bytes;
using test::Le16;
using test::operator+;

std::string Needs(const Bytes& tokens, bool biff8 = true)
{
    const biff::FormulaNeeds needs = biff::NeedsOfExpression(tokens, biff8);
    std::string text;
    text += needs.ownSheet ? "sheet " : "";
    text += needs.shared ? "shared " : "";
    text += needs.globals ? "globals " : "";
    text += needs.functions ? "functions " : "";
    text += needs.addIns ? "add-ins " : "";
    text += needs.place ? "place " : "";
    text += needs.unknown ? "unknown " : "";
    return text.empty() ? "nothing" : text.substr(0, text.size() - 1);
}

const Bytes kInt = Bytes{0x1E} + Le16(7);                     // 7
const Bytes kNum = Bytes{0x1F} + test::Double(2.5);          // 2.5
const Bytes kRef = Bytes{0x24} + Le16(3) + Le16(0xC001);     // B4, relative
const Bytes kArea = Bytes{0x25} + Le16(0) + Le16(9) + Le16(0) + Le16(2);
const Bytes kName = Bytes{0x23} + Le16(1) + Le16(0);         // the first defined name
const Bytes kRef3d = Bytes{0x3A} + Le16(0) + Le16(3) + Le16(1);
const Bytes kSum = Bytes{0x22, 1} + Le16(4);                 // SUM with one argument
const Bytes kExternal = Bytes{0x22, 2} + Le16(255);          // a function defined outside

TEST(FormulaNeeds, EachKindOfReferenceIsTold)
{
    EXPECT_EQ(Needs(kInt + kNum + Bytes{0x03}), "nothing");  // 7 + 2.5
    EXPECT_EQ(Needs(kArea + kSum), "sheet");
    EXPECT_EQ(Needs(kRef + kInt + Bytes{0x05}), "sheet");  // B4 * 7
    EXPECT_EQ(Needs(kName + kInt + Bytes{0x03}), "globals");
    EXPECT_EQ(Needs(kRef3d), "globals");
    EXPECT_EQ(Needs(Bytes{0x01} + Le16(2) + Le16(3)), "sheet shared");   // a shared formula's
    EXPECT_EQ(Needs(Bytes{0x02} + Le16(2) + Le16(3)), "sheet globals");  // a data table's
    EXPECT_EQ(Needs(kName + kExternal), "globals functions");          // a macro function
    const Bytes addIn = Bytes{0x39} + Le16(0) + Le16(1) + Le16(0);     // an external name
    EXPECT_EQ(Needs(addIn + kInt + kExternal), "globals add-ins");     // an add-in's function
    EXPECT_EQ(Needs(kInt + kExternal), "unknown");                     // no name to call it by
    // A name among an add-in function's arguments names no function (EOMONTH(Start, 0)); a
    // macro function called with an add-in function's result calls both.
    EXPECT_EQ(Needs(addIn + kName + kInt + kExternal), "globals add-ins");
    EXPECT_EQ(Needs(kName + addIn + kInt + kExternal + kExternal), "globals functions add-ins");
    // CELL("filename"): the file's and the sheet's names, which no cell holds (BIFF5's string
    // has no options byte).
    EXPECT_EQ(Needs(Bytes{0x17, 1, 0, 'f', 0x42, 1} + Le16(125)), "place");
    EXPECT_EQ(Needs(Bytes{0x17, 1, 'f', 0x42, 1} + Le16(125), false), "place");
    EXPECT_EQ(Needs(kRef + Bytes{0x41} + Le16(125)), "sheet place");  // tFunc of fixed arguments
    // The same token of the value or array class (0x40, 0x60 more) is the same reference.
    EXPECT_EQ(Needs(Bytes{0x44} + Le16(3) + Le16(0xC001)), "sheet");
    EXPECT_EQ(Needs(Bytes{0x63} + Le16(1) + Le16(0)), "globals");
}

// The cells an expression names, as a formula in C5 (row 4, column 2) names them: absolute
// references as they are, relative ones of a shared formula from the formula's cell, other
// sheets' by their entry in the list of references, names by their place; BIFF5's by sheet.
TEST(FormulaNeeds, TheCellsAnExpressionNames)
{
    const auto areas = [](const Bytes& tokens, bool biff8 = true) {
        std::vector<biff::CellArea> found;
        biff::NeedsOfExpression(tokens, biff8, &found, {4, 2});
        std::string text;
        for (const biff::CellArea& a : found)
            text += std::to_string(static_cast<int>(a.of)) + ":" + std::to_string(a.index) + " R" + std::to_string(a.firstRow) + "-" +
                    std::to_string(a.lastRow) + " C" + std::to_string(a.firstColumn) + "-" + std::to_string(a.lastColumn) + ";";
        return text;
    };
    EXPECT_EQ(areas(kRef + kArea + kSum), "0:0 R3-3 C1-1;0:0 R0-9 C0-2;");
    // tRefN one row up and one column left of the formula's cell (offsets of 16 and 8 bits).
    EXPECT_EQ(areas(Bytes{0x2C} + Le16(0xFFFF) + Le16(0xC0FF)), "0:0 R3-3 C1-1;");
    EXPECT_EQ(areas(kRef3d + Bytes{0x3B} + Le16(2) + Le16(5) + Le16(1) + Le16(0) + Le16(3)), "1:0 R3-3 C1-1;1:2 R1-5 C0-3;");
    EXPECT_EQ(areas(kName), "2:1 R0-0 C0-0;");
    EXPECT_EQ(areas(Bytes{0x24} + Le16(0xC003) + Bytes{1}, false), "0:0 R0-65535 C0-255;");
}

// Tokens whose length their own bytes give (a string, a choice's jumps) are passed over as a
// whole: the bytes inside read as no token.
TEST(FormulaNeeds, StringsAndJumpsArePassedOver)
{
    // A string whose characters would read as a name token; then a choice with two jumps.
    const Bytes text = Bytes{0x17, 3, 0x00, 0x23, 0x23, 0x23};
    const Bytes wide = Bytes{0x17, 2, 0x01, 0x23, 0x00, 0x3A, 0x00};
    const Bytes choose = Bytes{0x19, 0x04} + Le16(1) + Le16(4) + Le16(8);
    EXPECT_EQ(Needs(text + wide + kInt + choose + kInt + kInt), "nothing");
    EXPECT_EQ(Needs(Bytes{0x17, 3, 0x23, 0x23, 0x23}, false), "nothing");  // BIFF5: no options byte
    EXPECT_EQ(Needs(Bytes{0x19, 0x10} + Le16(0) + kRef), "sheet");       // an attribute, then B4
}

// BIFF5's references are shorter (a row of 16 bits holding the relative flags, a column byte):
// read with BIFF8's lengths they would run into the tokens after them.
TEST(FormulaNeeds, BiffFiveTokensHaveTheirOwnLengths)
{
    const Bytes ref5 = Bytes{0x24} + Le16(0xC003) + Bytes{1};
    EXPECT_EQ(Needs(ref5 + kInt + Bytes{0x03}, false), "sheet");
    const Bytes name5 = Bytes{0x23} + Le16(1) + Bytes(12, 0);
    EXPECT_EQ(Needs(name5 + kInt + Bytes{0x03}, false), "globals");
}

// What does not read is unknown, never nothing: a cut token, a token no writer writes.
TEST(FormulaNeeds, WhatDoesNotReadIsUnknown)
{
    EXPECT_EQ(Needs(Bytes(kNum.begin(), kNum.begin() + 5)), "unknown");
    EXPECT_EQ(Needs(Bytes{0x17, 9, 0x00, 0x41}), "unknown");
    EXPECT_EQ(Needs(Bytes{0x18, 0x01}), "unknown");      // an extended token
    EXPECT_EQ(Needs(Bytes{0x2F} + Le16(0)), "unknown");  // no such token
    EXPECT_EQ(Needs(kRef + Bytes{0x1A}), "sheet unknown");
}

}  // namespace
}  // namespace tabulon
