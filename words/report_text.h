// The repair report in words, for people: the same words in the window and on the command line.
#pragma once

#include <string>

#include "engine/cfb/header.h"
#include "engine/repair/pipeline/repair.h"
#include "engine/repair/salvage/salvage.h"

namespace tabulon {

// A finding of the check in plain words, for people: what it means for the file first, the
// format's facts after it in parentheses, without a full stop.
std::string DescribeFinding(const Finding& finding);

// Why a file was refused, in a sentence without its full stop.
std::string DescribeNotAWorkbook(NotAWorkbook what);

// Why the repair of `report` (refused) wrote nothing, in a sentence without its full stop: that
// the file is no workbook, or, where a salvage found the workbook and none of its sheets came
// back, that.
std::string DescribeRefusal(const RepairReport& report);

// What was put back in place when the file's bytes had moved, in a sentence without its full
// stop: "Bytes added before the workbook were removed (a 128-byte wrapper); line breaks a
// text-mode copy changed were put back (2,314 CR LF pairs turned back into LF)". Empty when
// nothing was.
std::string DescribeRealign(const RealignNote& note);

// A sentence of the report inside a line or another sentence: its first letter in lower case
// ("A 128-byte wrapper ..." becomes "a 128-byte wrapper ...").
std::string SentenceInLine(std::string sentence);

// What a salvage came to, in a line: "Salvaged: 3 of 3 sheets", and what was lost. `stands`:
// its new file is the repair's result even though no sheet came back (the copy with a rebuilt
// header would have shown values the workbook never held), which then says "Salvaged: 0 of …".
std::string DescribeSalvage(const SalvageReport& report, bool stands = false);

// What every message says of a file that nothing was written for (a refusal, a failure).
inline constexpr const char* kNothingWritten = "nothing was written";

// A name read from the file (a sheet's, a stream's) as a sentence can hold it: a control
// character written out as \xNN rather than left to show as a box or nothing at all.
std::string Printable(const std::string& name);

// A stream's name as people know it, wherever one is shown: without the control character that
// some names begin with by convention ("\x05SummaryInformation" is "SummaryInformation",
// "\x01CompObj" is "CompObj"), the workbook's "Workbook" or "Book"; storages joined by "/".
std::string StreamName(const std::string& path);

// A stretch of the workbook's data that a salvage mended, in a few words without a full stop:
// "data damaged and replaced (100 bytes at offset 4546 of the workbook stream)", or "data lost
// (…)" for bytes that did not come back.
std::string DescribeMendedStretch(const MendedRegion& region);

// What is said of a workbook that opens as it is, which nothing was done to.
inline constexpr const char* kOpensAsItIs = "opens as it is; nothing changed";

// What the salvage tried on `report`'s file came to: as DescribeSalvage, but for a file refused
// as no workbook at all, that it is none. Empty when no salvage was tried.
std::string DescribeSalvageOf(const RepairReport& report);

// The verdict in a few words, as the window's Check column shows it: why the file was refused,
// what the salvage came to, "Still damaged: " and the first problem, "Kept: " and kOpensAsItIs
// for a workbook whose own header stood, or "Opens".
std::string DescribeVerdict(const RepairReport& report);

// The names of the header fields the repair changed, joined by ", "; empty when none changed.
std::string ChangedFieldNames(const RepairReport& report);

// A header field's value as the report shows it: integers in decimal, bytes in hexadecimal,
// the table list as its first six sectors ("(empty)" when it lists none).
std::string HeaderFieldText(const HeaderBytes& header, const HeaderField& field);

// The whole report, line by line, after the line that names the workbook: what stood, the
// verdict, the header fields before and after (or the streams kept and the stretches mended
// by a salvage) and the findings.
std::string DescribeRepair(const RepairReport& report);

}  // namespace tabulon
