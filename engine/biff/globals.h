// The workbook globals, as the cell reader needs them: the version, code page and date system,
// the sheet list, the shared strings and which number formats show dates; and the substreams
// (sheets) that follow them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/biff/records.h"

namespace tabulon::biff {

// What the globals say.
struct Globals {
    int biff = 0;  // 0 when the stream has no workbook globals
    std::uint16_t codePage = 1252;
    bool date1904 = false;
    bool encrypted = false;
    std::vector<BiffRecord> boundSheets;
    std::vector<std::string> sharedStrings;
    // With SharedStrings::Presence instead: whether each string of the table reads and holds a
    // character (as far as the table reads).
    std::vector<bool> sharedStringHasText;
    std::map<std::uint16_t, bool> formatIsDate;  // by number format index, from FORMAT records
    std::vector<std::uint16_t> xfFormats;        // each XF record's number format index, in order
    std::size_t end = 0;  // where the records after the globals begin
};

// The globals of `stream`: from its start when it begins with them, else from the first BOF
// record of workbook globals. `biff` is 0 when there is none. The shared strings are read as
// texts, or left unread (for a caller that needs only the list of sheets), or only told apart
// as empty or not (for one that counts the texts a table lost). `places`, when given, gets
// where each shared string lies in the stream, from its first byte to past its last (the
// CONTINUE headers it runs over included).
using StringPlaces = std::vector<std::pair<std::size_t, std::size_t>>;
enum class SharedStrings { Texts, None, Presence };
Globals ReadGlobals(std::span<const std::uint8_t> stream, SharedStrings strings = SharedStrings::Texts,
                    StringPlaces* places = nullptr);

// The BOF records that begin a substream other than the globals, in stream order from
// `from`. A chart BOF inside another substream is not one of them.
std::vector<std::pair<std::size_t, Bof>> FindSubstreams(std::span<const std::uint8_t> stream, std::size_t from);

// The sheet name a BOUNDSHEET record gives.
std::string SheetName(std::span<const std::uint8_t> stream, const BiffRecord& boundSheet, const Globals& globals);

// The kind of sheet a BOF's substream type stands for, as SheetCells keeps it: worksheet or
// dialog 0, macro sheet 1, chart 2, VB module 6.
std::uint8_t SheetKind(std::uint16_t substream);

}  // namespace tabulon::biff
