// Fuzz target for the workbook stream alone, without a compound file around it: the input is
// the stream's bytes, as the salvage hands them to the cell reader, the list of records, the
// check for damaged records and the mending. None of them may crash, read out of bounds or
// hang, and their answers must keep what their headers promise:
// - each record ListRecords gives lies within the stream and after the one before it;
// - the version is 8, 5 or 0; an encrypted workbook's sheets have no names and no cells; a
//   sheet's cells come in stream order, from records within the stream after the sheet's
//   first record; text is UTF-8;
// - each region the mending reports lies within the mended stream (one of records lost past a
//   cut starts at its end at the latest), and a mending that reports none changes no byte
//   (it may drop what follows the workbook's end); the mended stream is read and mended
//   again, and all of the above holds for it too; that second mending changes nothing and
//   reports nothing: one mend leaves a stream that a second leaves alone.
// The input's last byte also gives how many sheet names (0 to 3) come with the mending, for a
// stream whose start is gone.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "engine/biff/biff_cells.h"
#include "engine/repair/mending/mending.h"

namespace {

using Bytes = std::span<const std::uint8_t>;

[[noreturn]] void Fail(const char* what, unsigned long long detail = 0)
{
    std::fprintf(stderr, "stream fuzz: %s (%llu)\n", what, detail);
    std::abort();
}

bool IsUtf8(const std::string& text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80             ? 1
                                   : (lead & 0xE0) == 0xC0 ? 2
                                   : (lead & 0xF0) == 0xE0 ? 3
                                   : (lead & 0xF8) == 0xF0 ? 4
                                                           : 0;
        if (length == 0 || text.size() - i < length)
            return false;
        std::uint32_t code = length == 1 ? lead : lead & (0x7Fu >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = code << 6 | (next & 0x3Fu);
        }
        static constexpr std::uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < kShortest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

void CheckRecords(Bytes stream)
{
    std::uint64_t end = 0;
    for (const tabulon::BiffRecord& record : tabulon::ListRecords(stream)) {
        if (record.offset < end)
            Fail("a record starts before the one before it ends", record.offset);
        end = std::uint64_t{record.offset} + 4 + record.length;
        if (end > stream.size())
            Fail("a record runs past the end of the stream", record.offset);
    }
}

void CheckCells(Bytes stream)
{
    const tabulon::WorkbookCells workbook = tabulon::ReadWorkbookCells(stream);
    if (workbook.biffVersion != 0 && workbook.biffVersion != 5 && workbook.biffVersion != 8)
        Fail("a version other than 8, 5 or 0", static_cast<unsigned long long>(workbook.biffVersion));
    for (const tabulon::SheetCells& sheet : workbook.sheets) {
        if (workbook.encrypted && (!sheet.name.empty() || !sheet.cells.empty()))
            Fail("an encrypted workbook's sheet has a name or cells", sheet.offset);
        if (!IsUtf8(sheet.name))
            Fail("a sheet name is not UTF-8", sheet.offset);
        std::uint32_t previous = 0;
        for (const tabulon::CellValue& cell : sheet.cells) {
            if (cell.offset <= sheet.offset)
                Fail("a cell comes from a record before its sheet's first record", cell.offset);
            if (cell.offset < previous)
                Fail("a sheet's cells are not in stream order", cell.offset);
            previous = cell.offset;
            if (std::uint64_t{cell.offset} + 4 > stream.size())
                Fail("a cell's record lies past the end of the stream", cell.offset);
            if (!IsUtf8(cell.text))
                Fail("a cell's text is not UTF-8", cell.offset);
            tabulon::IsDate(workbook, cell);
        }
    }
}

void CheckRegions(const std::vector<tabulon::MendedRegion>& regions, std::size_t size)
{
    for (const tabulon::MendedRegion& region : regions) {
        if (region.offset > size)
            Fail("a mended region starts past the end of the mended stream", region.offset);
        if (region.kind == tabulon::MendedRegion::Kind::Replaced && region.length > size - region.offset)
            Fail("a replaced region runs past the end of the mended stream", region.offset);
    }
}

std::vector<std::uint8_t> Mend(const std::vector<std::uint8_t>& original, const std::vector<std::u16string>& names,
                               std::vector<tabulon::MendedRegion>* reported = nullptr,
                               tabulon::DamageOutside outside = tabulon::DamageOutside::Unknown)
{
    std::vector<std::uint8_t> stream = original;
    const std::vector<tabulon::MendedRegion> regions = tabulon::MendWorkbookStream(stream, names, nullptr, outside);
    if (reported)
        *reported = regions;
    CheckRegions(regions, stream.size());
    // It gives what it mended: without a region, at most what follows the workbook's end goes.
    if (regions.empty() && (stream.size() > original.size() || !std::equal(stream.begin(), stream.end(), original.begin())))
        Fail("the mending changed bytes but reports no region", stream.size());
    return stream;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > (1u << 20))
        return -1;
    const Bytes stream(data, size);
    CheckRecords(stream);
    CheckCells(stream);
    tabulon::FirstRecordDamage(stream);

    static const std::vector<std::u16string> kNames = {u"Summe", u"Bl\u00E4tter \u00FCber", u"\u8868\u0033"};
    const std::vector<std::u16string> names(kNames.begin(), kNames.begin() + (size == 0 ? 0 : data[size - 1] % 4));
    // What the salvage saw outside the stream; the check of what it wrote knows none of it.
    const auto outside = static_cast<tabulon::DamageOutside>(size < 2 ? 0 : data[size - 2] % 3);
    const std::vector<std::uint8_t> mended = Mend(std::vector<std::uint8_t>(data, data + size), names, nullptr, outside);
    CheckRecords(mended);
    CheckCells(mended);
    tabulon::FirstRecordDamage(mended);
    std::vector<tabulon::MendedRegion> again;
    if (Mend(mended, names, &again) != mended || !again.empty())
        Fail("a second mending changed what the first left", again.empty() ? 0 : again.front().offset);
    return 0;
}
