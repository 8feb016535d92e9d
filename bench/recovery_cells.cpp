#include "recovery_cells.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <span>

#include "engine/base/byte_order.h"
#include "engine/biff/biff_cells.h"
#include "engine/biff/globals.h"
#include "engine/cfb/compound_reader.h"
#include "engine/cfb/consts.h"
#include "engine/cfb/header.h"
#include "engine/io/sector_file.h"
#include "engine/repair/workbook/workbook.h"

namespace tabulon::bench {

std::uint64_t CellTable::Key(std::size_t sheet, std::uint32_t row, std::uint32_t column)
{
    // Rows below 2^24 and columns below 2^16 cover both BIFF limits and every CSV we read.
    return static_cast<std::uint64_t>(sheet) << 40 | static_cast<std::uint64_t>(row & 0xFF'FFFF) << 16 |
           (column & 0xFFFF);
}

void CellTable::Add(std::size_t sheet, std::uint32_t row, std::uint32_t column, std::string value)
{
    cells_.emplace_back(Key(sheet, row, column), std::move(value));
}

void CellTable::Finish()
{
    // A stable sort keeps the values of one key in the order added; the last one stands.
    std::stable_sort(cells_.begin(), cells_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::pair<std::uint64_t, std::string>> kept;
    kept.reserve(cells_.size());
    for (auto& cell : cells_) {
        if (!kept.empty() && kept.back().first == cell.first)
            kept.back().second = std::move(cell.second);
        else
            kept.push_back(std::move(cell));
    }
    cells_ = std::move(kept);
}

namespace {

constexpr std::uint64_t kPlaceBits = (std::uint64_t{1} << 40) - 1;  // row and column of a key

// A spreadsheet program's text for a number: digits, a sign, a point and an exponent, and
// nothing else (no "inf", "nan" or hexadecimal, which the parser would take too).
std::optional<double> ShownNumber(std::string_view text)
{
    if (text.empty() || text.find_first_not_of("0123456789+-.eE") != std::string_view::npos)
        return std::nullopt;
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<double> Number(std::string_view value)
{
    if (value.size() == 9 && value[0] == 'n') {
        std::uint64_t bits = 0;
        std::memcpy(&bits, value.data() + 1, sizeof bits);
        return std::bit_cast<double>(bits);
    }
    if (!value.empty() && value[0] == 'c')
        return ShownNumber(value.substr(1));
    return std::nullopt;
}

// A value without the number format it is shown in, and that format.
std::string_view ValueOnly(std::string_view value)
{
    return value.substr(0, value.find(CellTable::kFormatMark));
}

std::string_view FormatOf(std::string_view value)
{
    const std::size_t mark = value.find(CellTable::kFormatMark);
    return mark == std::string_view::npos ? std::string_view() : value.substr(mark + 1);
}

}  // namespace

bool CellTable::SameValue(std::string_view a, std::string_view b)
{
    a = ValueOnly(a);
    b = ValueOnly(b);
    if (a == b)
        return true;
    if (a.empty() || b.empty() || a[0] != b[0])
        return false;
    const auto x = Number(a), y = Number(b);
    if (!x || !y)
        return false;
    return *x == *y || std::abs(*x - *y) <= 1e-9 * std::max(std::abs(*x), std::abs(*y));
}

std::string CellTable::Shown(std::string_view value)
{
    if (value.empty())
        return "\"\"";
    if (const std::string_view format = FormatOf(value); !format.empty())
        return Shown(ValueOnly(value)) + " (shown as " + std::string(format) + ")";
    if (const auto number = Number(value); number && value[0] == 'n') {
        char text[32];
        const auto [end, error] = std::to_chars(text, text + sizeof text, *number);
        return error == std::errc() ? std::string(text, end) : std::string("?");
    }
    switch (value[0]) {
    case 'b': return value.size() > 1 && value[1] ? "TRUE" : "FALSE";
    case 'e': return "error " + std::to_string(value.size() > 1 ? static_cast<std::uint8_t>(value[1]) : 0);
    default: break;
    }
    // Control characters (a NUL from a zeroed block, a line break) as \xNN, on one line.
    std::string text(1, '"');
    for (const char c : value.substr(1)) {
        if (static_cast<unsigned char>(c) >= 0x20) {
            text.push_back(c);
            continue;
        }
        static constexpr char kDigits[] = "0123456789ABCDEF";
        text += "\\x";
        text.push_back(kDigits[static_cast<unsigned char>(c) >> 4]);
        text.push_back(kDigits[c & 0xF]);
    }
    text.push_back('"');
    return text;
}

std::vector<CellTable::Sheet> CellTable::Sheets() const
{
    std::vector<Sheet> sheets;
    for (std::size_t i = 0; i < cells_.size(); ++i) {
        const std::size_t sheet = static_cast<std::size_t>(cells_[i].first >> 40);
        if (sheets.empty() || sheets.back().sheet != sheet)
            sheets.push_back({sheet, i, i});
        sheets.back().end = i + 1;
    }
    return sheets;
}

std::size_t CellTable::Shared(const Sheet& mine, const CellTable& other, const Sheet& theirs,
                              std::vector<bool>* found, std::size_t* reformatted) const
{
    std::size_t shared = 0;
    std::size_t i = mine.begin, j = theirs.begin;
    while (i < mine.end && j < theirs.end) {
        const std::uint64_t here = cells_[i].first & kPlaceBits, there = other.cells_[j].first & kPlaceBits;
        if (here < there) {
            ++i;
        } else if (there < here) {
            ++j;
        } else {
            if (SameValue(cells_[i].second, other.cells_[j].second)) {
                ++shared;
                if (found)
                    (*found)[i] = true;
                if (reformatted && FormatOf(cells_[i].second) != FormatOf(other.cells_[j].second))
                    ++*reformatted;
            }
            ++i;
            ++j;
        }
    }
    return shared;
}

CellTable::Match CellTable::MatchIn(const CellTable& result) const
{
    const std::vector<Sheet> mine = Sheets(), theirs = result.Sheets();
    std::vector<bool> found(cells_.size(), false);
    Match match;
    for (const Sheet& sheet : theirs) {
        const std::size_t size = sheet.end - sheet.begin;
        const Sheet* best = nullptr;
        std::size_t bestShared = 0;
        auto consider = [&](const Sheet& candidate) {
            // A sheet can share no more cells than the smaller of the two holds.
            if (best && std::min(size, candidate.end - candidate.begin) <= bestShared)
                return;
            const std::size_t shared = Shared(candidate, result, sheet, nullptr);
            if (!best || shared > bestShared) {
                best = &candidate;
                bestShared = shared;
            }
        };
        const auto samePlace = std::find_if(mine.begin(), mine.end(), [&](const Sheet& s) { return s.sheet == sheet.sheet; });
        const Sheet* own = samePlace != mine.end() ? &*samePlace : nullptr;
        if (own)
            consider(*own);
        for (const Sheet& candidate : mine)
            if (&candidate != own)
                consider(candidate);
        if (best && bestShared > 0)
            Shared(*best, result, sheet, &found, &match.reformatted);
        match.wrong += size - bestShared;
        if (size > bestShared && match.firstWrong.empty()) {
            // Its first cell that the paired sheet does not hold with the same value.
            for (std::size_t j = sheet.begin; j < sheet.end; ++j) {
                const std::uint64_t place = result.cells_[j].first & kPlaceBits;
                const std::string* there = nullptr;
                if (best) {
                    const auto from = cells_.begin() + static_cast<std::ptrdiff_t>(best->begin);
                    const auto to = cells_.begin() + static_cast<std::ptrdiff_t>(best->end);
                    const auto at = std::lower_bound(from, to, place, [](const auto& cell, std::uint64_t key) {
                        return (cell.first & kPlaceBits) < key;
                    });
                    if (at != to && (at->first & kPlaceBits) == place)
                        there = &at->second;
                }
                if (there && SameValue(*there, result.cells_[j].second))
                    continue;
                match.firstWrong = "sheet " + std::to_string(sheet.sheet) +
                                   (best ? " (as " + std::to_string(best->sheet) + ")" : std::string(" (as none)")) +
                                   ", R" + std::to_string((place >> 16) + 1) + "C" + std::to_string((place & 0xFFFF) + 1) +
                                   ": " + Shown(result.cells_[j].second) + " where the original has " +
                                   (there ? Shown(*there) : std::string("none"));
                break;
            }
        }
    }
    match.recovered = static_cast<std::size_t>(std::count(found.begin(), found.end(), true));
    return match;
}

CellTable ReadCells(const Bytes& file)
{
    CellTable table;
    MemorySectorFile memory(file);
    const auto stream = ReadWorkbookStream(memory);
    if (!stream) {
        table.Finish();
        return table;
    }
    const WorkbookCells book = ReadWorkbookCells(*stream);
    for (std::size_t s = 0; s < book.sheets.size(); ++s) {
        for (const CellValue& cell : book.sheets[s].cells) {
            std::string value;
            switch (cell.kind) {
            case CellKind::Number: {
                const auto bits = std::bit_cast<std::uint64_t>(cell.number);
                value.assign(1 + sizeof bits, 'n');
                std::memcpy(value.data() + 1, &bits, sizeof bits);
                break;
            }
            case CellKind::Text:
                if (cell.text.empty())
                    continue;
                value = "t" + cell.text;
                break;
            case CellKind::Boolean: value = {'b', static_cast<char>(cell.code)}; break;
            case CellKind::Error: value = {'e', static_cast<char>(cell.code)}; break;
            }
            table.Add(s, cell.row, cell.column, std::move(value));
        }
    }
    table.Finish();
    return table;
}

namespace {

class LayoutReader {
public:
    explicit LayoutReader(const Bytes& file)
        : file_(file), sectorCount_(file.size() > kHeaderSize ? static_cast<std::uint32_t>(
                                                                     (file.size() - kHeaderSize) / kSectorSize)
                                                               : 0)
    {
    }

    CompoundLayout Read()
    {
        CompoundLayout layout;
        if (sectorCount_ == 0)
            return layout;
        const std::uint8_t* header = file_.data();
        const std::uint32_t tableCount = LoadLe32(header + kNumFatSectorsOffset);
        std::vector<std::uint32_t> listed;
        std::vector<bool> seen(sectorCount_, false);
        std::uint32_t difatLeft = LoadLe32(header + kNumDifatSectorsOffset);
        WalkTableList(
            header,
            [&](std::uint32_t difat) -> const std::uint8_t* {
                if (difatLeft == 0 || !Inside(difat) || seen[difat])
                    return nullptr;
                --difatLeft;
                seen[difat] = true;
                layout.difatSectors.push_back(difat);
                return Sector(difat);
            },
            [&](std::uint32_t entry) {
                if (listed.size() < tableCount)
                    listed.push_back(entry);
                return true;
            });
        // The table in full, a listed sector outside the file reading as free entries.
        table_.assign(listed.size() * kEntriesPerFatSector, kFreeSector);
        for (std::size_t t = 0; t < listed.size(); ++t) {
            if (!Inside(listed[t]))
                continue;
            layout.tableSectors.push_back(listed[t]);
            for (std::size_t i = 0; i < kEntriesPerFatSector; ++i)
                table_[t * kEntriesPerFatSector + i] = LoadLe32(Sector(listed[t]) + 4 * i);
        }
        layout.directorySectors = Chain(LoadLe32(header + kFirstDirectorySectorOffset));
        layout.miniTableSectors = Chain(LoadLe32(header + kFirstMiniFatSectorOffset));
        return layout;
    }

private:
    bool Inside(std::uint32_t sector) const { return sector < sectorCount_; }
    const std::uint8_t* Sector(std::uint32_t sector) const { return file_.data() + SectorOffset(sector); }

    std::vector<std::uint32_t> Chain(std::uint32_t sector) const
    {
        std::vector<std::uint32_t> chain;
        std::vector<bool> seen(sectorCount_, false);
        while (Inside(sector) && !seen[sector]) {
            seen[sector] = true;
            chain.push_back(sector);
            sector = sector < table_.size() ? table_[sector] : kEndOfChain;
        }
        return chain;
    }

    const Bytes& file_;
    std::uint32_t sectorCount_;  // whole sectors after the header
    std::vector<std::uint32_t> table_;
};

}  // namespace

CompoundLayout ReadLayout(const Bytes& file)
{
    return LayoutReader(file).Read();
}

Bytes StructureRestored(const Bytes& original, const Bytes& damaged, const CompoundLayout& layout)
{
    Bytes restored = damaged;
    restored.resize(original.size(), 0);
    auto putBack = [&](std::uint64_t offset, std::size_t length) {
        std::copy_n(original.begin() + static_cast<std::ptrdiff_t>(offset), length,
                    restored.begin() + static_cast<std::ptrdiff_t>(offset));
    };
    putBack(0, std::min(kHeaderSize, original.size()));
    for (const auto* sectors : {&layout.tableSectors, &layout.difatSectors, &layout.directorySectors,
                                &layout.miniTableSectors}) {
        for (std::uint32_t sector : *sectors)
            putBack(SectorOffset(sector), kSectorSize);
    }
    return restored;
}

UntouchedCells::UntouchedCells(const Bytes& original, const CompoundLayout& layout) : original_(original), layout_(layout)
{
    MemorySectorFile memory(original);
    const auto stream = ReadWorkbookStream(memory);
    if (!stream)
        return;
    streamSize_ = stream->size();
    const auto recordEnd = [&](std::size_t at) {
        return at + 4 <= stream->size() ? std::min(stream->size(), at + 4 + LoadLe16(stream->data() + at + 2)) : stream->size();
    };
    biff::StringPlaces places;
    biff::ReadGlobals(*stream, biff::SharedStrings::Texts, &places);
    const WorkbookCells book = ReadWorkbookCells(*stream);
    std::map<std::uint64_t, std::vector<std::pair<std::size_t, std::size_t>>> byCell;  // the last record's
    for (std::size_t s = 0; s < book.sheets.size(); ++s) {
        for (const CellValue& cell : book.sheets[s].cells) {
            if (cell.kind == CellKind::Text && cell.text.empty())
                continue;  // (no cell of ReadCells)
            std::vector<std::pair<std::size_t, std::size_t>> ranges;
            const std::size_t at = cell.offset;
            ranges.emplace_back(at, recordEnd(at));
            const std::uint16_t type = at + 4 <= stream->size() ? LoadLe16(stream->data() + at) : 0;
            if (type == biff::kLabelSst && at + 14 <= stream->size()) {
                const std::uint32_t index = LoadLe32(stream->data() + at + 10);
                ranges.push_back(index < places.size() ? places[index] : std::pair<std::size_t, std::size_t>{0, stream->size()});
            } else if (cell.kind == CellKind::Text) {
                // A formula's text: in the STRING record after it, and that record's CONTINUE records.
                for (std::size_t next = recordEnd(at); next + 4 <= stream->size();) {
                    const std::uint16_t following = LoadLe16(stream->data() + next);
                    if (following != biff::kString && following != biff::kString2 && following != biff::kContinue)
                        break;
                    ranges.emplace_back(next, recordEnd(next));
                    next = recordEnd(next);
                }
            }
            byCell[CellTable::Key(s, cell.row, cell.column)] = std::move(ranges);
        }
    }
    for (auto& [key, ranges] : byCell) {
        cells_.push_back(ranges_.size());
        ranges_.insert(ranges_.end(), ranges.begin(), ranges.end());
    }
}

std::size_t UntouchedCells::Count(const std::vector<bool>& destroyed) const
{
    // The flags laid out as a file with the original's structure: its workbook stream, read as
    // the original's is, says which of the stream's bytes went.
    Bytes flags(original_.size(), 0);
    for (std::size_t i = 0; i < flags.size() && i < destroyed.size(); ++i)
        flags[i] = destroyed[i] ? 1 : 0;
    MemorySectorFile marked(StructureRestored(original_, flags, layout_));
    const auto gone = ReadWorkbookStream(marked);
    if (!gone || gone->size() != streamSize_)
        return 0;
    const auto intact = [&](const std::pair<std::size_t, std::size_t>& range) {
        return std::none_of(gone->begin() + static_cast<std::ptrdiff_t>(range.first),
                            gone->begin() + static_cast<std::ptrdiff_t>(std::max(range.first, range.second)),
                            [](std::uint8_t b) { return b != 0; });
    };
    std::size_t count = 0;
    for (std::size_t c = 0; c < cells_.size(); ++c) {
        const std::size_t last = c + 1 < cells_.size() ? cells_[c + 1] : ranges_.size();
        bool whole = true;
        for (std::size_t r = cells_[c]; r < last && whole; ++r)
            whole = intact(ranges_[r]);
        count += whole ? 1 : 0;
    }
    return count;
}

}  // namespace tabulon::bench
