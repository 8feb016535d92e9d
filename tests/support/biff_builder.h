// Workbook streams built in code, record by record, for the tests of the cell reader, the
// preview and the export; and such a stream wrapped in a compound file, as a workbook on disk.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/biff/records.h"
#include "tests/support/test_files.h"

namespace tabulon::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// (For records added one at a time: `a = a + b` copies all of `a` each time.)
inline Bytes& operator+=(Bytes& a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes Le16(unsigned value) { return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)}; }
inline Bytes Le32(std::uint32_t value) { return Le16(value & 0xFFFF) + Le16(value >> 16); }
inline Bytes Double(double value)
{
    const auto bits = std::bit_cast<std::uint64_t>(value);
    return Le32(static_cast<std::uint32_t>(bits)) + Le32(static_cast<std::uint32_t>(bits >> 32));
}
inline Bytes Ascii(const std::string& text) { return Bytes(text.begin(), text.end()); }
inline Bytes Record(std::uint16_t type, const Bytes& body) { return Le16(type) + Le16(static_cast<unsigned>(body.size())) + body; }
// The row, column and XF index that begin every cell record.
inline Bytes Cell(unsigned row, unsigned column, unsigned format = 15) { return Le16(row) + Le16(column) + Le16(format); }

inline Bytes BofRecord(int biff, std::uint16_t substream)
{
    return biff == 8 ? Record(biff::kBof, Le16(0x0600) + Le16(substream) + Bytes(12, 0))
                     : Record(biff::kBof, Le16(0x0500) + Le16(substream) + Bytes(4, 0));
}

// UTF-8 text as UTF-16 code units, little-endian.
inline Bytes Utf16(const std::string& text)
{
    Bytes out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = length == 1 ? lead : length == 2 ? lead & 0x1Fu : length == 3 ? lead & 0x0Fu : lead & 0x07u;
        for (int k = 1; k < length; ++k)
            c = (c << 6) | (static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]) & 0x3Fu);
        i += static_cast<std::size_t>(length);
        if (c >= 0x10000)
            out = out + Le16(0xD800 + ((c - 0x10000) >> 10)) + Le16(0xDC00 + ((c - 0x10000) & 0x3FF));
        else
            out = out + Le16(c);
    }
    return out;
}

// A BIFF8 string with a `lengthBytes`-byte character count: 8-bit characters when the text is
// ASCII, UTF-16 otherwise.
inline Bytes Biff8String(const std::string& text, int lengthBytes)
{
    const bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    const Bytes characters = ascii ? Ascii(text) : Utf16(text);
    const unsigned count = static_cast<unsigned>(ascii ? characters.size() : characters.size() / 2);
    const Bytes length = lengthBytes == 1 ? Bytes{static_cast<std::uint8_t>(count)} : Le16(count);
    return length + Bytes{static_cast<std::uint8_t>(ascii ? 0 : 1)} + characters;
}

// FORMAT: a number format's index and code (BIFF5 codes are ASCII here).
inline Bytes FormatRecord(int biff, unsigned index, const std::string& code)
{
    return Record(biff::kFormat, Le16(index) + (biff == 8 ? Biff8String(code, 2)
                                                          : Bytes{static_cast<std::uint8_t>(code.size())} + Ascii(code)));
}

// XF: a cell format using the number format `format` (20 bytes in BIFF8, 16 in BIFF5).
inline Bytes XfRecord(int biff, unsigned format)
{
    return Record(biff::kXf, Le16(0) + Le16(format) + Bytes(biff == 8 ? 16 : 12, 0));
}

struct Sheet {
    std::string name;  // UTF-8; BIFF5 names are written byte for byte
    Bytes records;     // between BOF and EOF
};

// Globals (BOF, `globals`, one BOUNDSHEET a sheet, `after`, EOF), then the sheets. A sheet's
// `offsets` entry, when given, replaces the offset its BOUNDSHEET gets.
inline Bytes Workbook(int biff, const Bytes& globals, const std::vector<Sheet>& sheets, std::vector<std::uint32_t> offsets = {},
                      const Bytes& after = {})
{
    const auto boundSheet = [&](std::uint32_t offset, const std::string& name) {
        return Record(biff::kBoundSheet, Le32(offset) + Bytes{0, 0} +
                                             (biff == 8 ? Biff8String(name, 1) : Bytes{static_cast<std::uint8_t>(name.size())} + Ascii(name)));
    };
    std::size_t position = BofRecord(biff, 5).size() + globals.size() + after.size() + 4;
    for (const Sheet& sheet : sheets)
        position += boundSheet(0, sheet.name).size();
    Bytes book = BofRecord(biff, 5) + globals, body;
    for (std::size_t i = 0; i < sheets.size(); ++i) {
        const auto offset = static_cast<std::uint32_t>(position + body.size());
        book = book + boundSheet(i < offsets.size() ? offsets[i] : offset, sheets[i].name);
        body = body + BofRecord(biff, 0x10) + sheets[i].records + Record(biff::kEof, {});
    }
    return book + after + Record(biff::kEof, {}) + body;
}

// A workbook file: a compound file whose "Workbook" stream (BIFF8) or "Book" stream (BIFF5)
// holds `stream`.
inline Bytes WorkbookFile(const Bytes& stream, int biff = 8)
{
    return CompoundFileOf({{biff == 8 ? u"Workbook" : u"Book", stream}});
}

// The workbook's stream of a compound file, as readers take it: the root's stream named
// "Workbook", else the one named "Book" (letters' case aside).
inline std::optional<Bytes> WorkbookStreamOf(std::span<const std::uint8_t> file)
{
    std::optional<Bytes> stream = RootStreamOf(file, u"Workbook");
    return stream ? stream : RootStreamOf(file, u"Book");
}

// The row, column and 3-byte cell attribute that begin BIFF2's cells (the XF index in the
// attribute's first byte).
inline Bytes Biff2Cell(unsigned row, unsigned column, std::uint8_t xf = 15) { return Le16(row) + Le16(column) + Bytes{xf, 0, 0}; }

// The BOF record of a BIFF2 to BIFF4 stream (kBof2, kBof3, kBof4) for `substream`.
inline Bytes OlderBofRecord(int biff, std::uint16_t substream)
{
    return biff == 2 ? Record(biff::kBof2, Le16(2) + Le16(substream))
                     : Record(biff == 3 ? biff::kBof3 : biff::kBof4, Le16(biff == 3 ? 0x0300 : 0x0400) + Le16(substream) + Le16(0));
}

// A shared-string table of ASCII strings as it lies at stream offset `at`: SST, CONTINUE
// records of at most `longest` bytes of body (a string that does not fit goes whole into the
// next), and its index (EXTSST) with a bucket every `perBucket` strings, each naming where
// its first string begins in the stream and within its record. `asLibreOffice`: a bucket whose
// first string begins a CONTINUE record is named as LibreOffice names it, by that record's
// header, 2 bytes past the end of the record before.
inline Bytes StringTable(const std::vector<std::string>& strings, std::size_t at, unsigned perBucket = 8,
                         std::size_t longest = 300, bool asLibreOffice = false)
{
    Bytes records, body = Le32(static_cast<std::uint32_t>(strings.size())) + Le32(static_cast<std::uint32_t>(strings.size()));
    Bytes index = Le16(perBucket);
    std::uint16_t type = biff::kSst;
    std::size_t before = 0;  // the body's length of the record before
    for (std::size_t i = 0; i < strings.size(); ++i) {
        const Bytes string = Biff8String(strings[i], 2);
        if (body.size() + string.size() > longest) {
            records = records + Record(type, body);
            before = body.size();
            body.clear();
            type = biff::kContinue;
        }
        if (i % perBucket == 0 && asLibreOffice && body.empty()) {
            index = index + Le32(static_cast<std::uint32_t>(at + records.size())) + Le16(static_cast<unsigned>(before + 2)) + Le16(0);
        } else if (i % perBucket == 0) {
            const std::size_t within = 4 + body.size();
            index = index + Le32(static_cast<std::uint32_t>(at + records.size() + within)) + Le16(static_cast<unsigned>(within)) + Le16(0);
        }
        body = body + string;
    }
    return records + Record(type, body) + Record(biff::kExtSst, index);
}

// SST and CONTINUE records holding ASCII `strings` one after another, records of at most 8224
// bytes of body, a string's characters going on in the next record (after its flags again)
// where the record is full; no index.
inline Bytes SplitStringTable(const std::vector<std::string>& strings)
{
    constexpr std::size_t kLongest = 8224;
    Bytes records, body = Le32(static_cast<std::uint32_t>(strings.size())) + Le32(static_cast<std::uint32_t>(strings.size()));
    std::uint16_t type = biff::kSst;
    const auto close = [&](Bytes next) {
        records = records + Record(type, body);
        type = biff::kContinue;
        body = std::move(next);
    };
    for (const std::string& text : strings) {
        if (body.size() + 4 > kLongest)  // (the count and flags stay together)
            close({});
        body = body + Le16(static_cast<unsigned>(text.size())) + Bytes{0};
        for (std::size_t at = 0; at < text.size();) {
            if (body.size() == kLongest)
                close(Bytes{0});
            const std::size_t take = std::min(text.size() - at, kLongest - body.size());
            body = body + Ascii(text.substr(at, take));
            at += take;
        }
    }
    return records + Record(type, body);
}

}  // namespace tabulon::test
