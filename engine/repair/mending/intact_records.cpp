// A workbook stream told intact a piece at a time: the conditions under which neither the check
// of its records nor any rule of the mending finds anything to do.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/biff/record_scan.h"
#include "engine/biff/records.h"
#include "engine/repair/mending/mend_parts.h"
#include "engine/repair/mending/mending.h"

namespace tabulon {

using namespace biff;
using namespace mending;

namespace {

// The most of the globals held to check their counts (a large workbook's string table makes
// most of them).
constexpr std::size_t kMostGlobals = std::size_t{32} << 20;

}  // namespace

struct IntactRecords::State {
    std::uint64_t size = 0;             // of the pieces taken so far
    std::vector<std::uint8_t> record;   // the record under way, as far as it has come
    std::uint64_t recordAt = 0;         // where it begins
    bool failed = false;
    bool first = true;
    bool inGlobals = true;
    std::vector<std::uint8_t> globals;  // the records before the first end record
    std::vector<std::uint32_t> listed;  // the offsets the list of sheets gives
    std::vector<std::uint64_t> bofs;    // where first records begin, in order
    std::vector<std::uint16_t> open;    // the kinds of the substreams the records are in
    std::uint16_t lastType = 0;
    // (Only a stream whose first record is BIFF5's or a later version's gets past its first.)
    ImpossibleCells cells{true, false};
    bool cellsGoOn = true;
    CellsOverZeros cellsOverZeros{false};
    std::deque<std::uint64_t> zeroUnits;  // where zeroed units begin, from the record under way on

    // Whether a zeroed unit lies in [from, to) of the record under way: `wholly`, or only in part.
    bool ZeroedUnitIn(std::uint64_t from, std::uint64_t to, bool wholly) const
    {
        for (const std::uint64_t unit : zeroUnits) {
            if (unit >= to)
                break;
            if (wholly ? from <= unit && unit + kUnit <= to : from < unit + kUnit)
                return true;
        }
        return false;
    }

    // Whether the header the record under way just completed is one the walks read straight on.
    bool HeaderReads() const
    {
        const std::uint16_t type = LoadLe16(record.data());
        const std::uint16_t length = LoadLe16(record.data() + 2);
        return !ZeroHeader(record, 0) && type != kFillerRecord && PlausibleRecord(type, length);
    }

    // The record under way, now whole; false where it keeps the stream from being told intact.
    bool Whole()
    {
        const Bytes r = record;
        const std::uint16_t type = U16(r, 0);
        const std::uint16_t length = U16(r, 2);
        if (std::exchange(first, false) && StartLost(r))
            return false;
        if (type == kBof) {
            if (length < 4 || OddBofField(r, 0))
                return false;
            // (A sheet the list leads to inside another substream: that one never ends.)
            if (!open.empty() && !inGlobals && std::binary_search(listed.begin(), listed.end(), static_cast<std::uint32_t>(recordAt)))
                return false;
            bofs.push_back(recordAt);
            open.push_back(U16(r, kHeader + 2));
        } else if (open.empty()) {
            return false;  // between substreams
        } else if (type == kEof) {
            open.pop_back();
        } else if (IsChartRecord(type) && open.size() == 1 && open.back() == kWorksheetSubstream) {
            return false;
        }
        if (inGlobals && type == kEof) {
            inGlobals = false;
            std::sort(listed.begin(), listed.end());
        } else if (inGlobals) {
            if (globals.size() + r.size() > kMostGlobals)
                return false;
            globals.insert(globals.end(), r.begin(), r.end());
            if (type == kBoundSheet && length >= 4) {
                listed.push_back(LoadLe32(r.data() + kHeader));
                // The first sheet begins right after the globals, which come before the string
                // table: room for them all at once, not grown (and let go) step by step.
                if (listed.size() == 1)
                    globals.reserve(std::min<std::size_t>(listed.front(), kMostGlobals));
            }
        }
        if (cellsGoOn)
            cellsGoOn = cells.Take(r, static_cast<std::size_t>(recordAt));
        const std::uint64_t end = recordAt + r.size();
        cellsOverZeros.Take(r, static_cast<std::size_t>(recordAt), length >= kUnit && ZeroedUnitIn(recordAt + kHeader, end, true));
        if (cellsOverZeros.Changes())
            return false;
        // The string table is written anew where a zeroed unit reaches into its records.
        if (inGlobals && (type == kSst || type == kContinue) && ZeroedUnitIn(recordAt, end, false))
            return false;
        while (!zeroUnits.empty() && zeroUnits.front() + kUnit <= end)
            zeroUnits.pop_front();
        lastType = type;
        return true;
    }

    bool Take(Bytes piece)
    {
        if (size % kUnit != 0)
            return false;
        for (std::size_t unit = 0; unit + kUnit <= piece.size(); unit += kUnit) {
            if (mending::ZeroedUnitIn(piece, unit, unit + kUnit))
                zeroUnits.push_back(size + unit);
        }
        for (std::size_t at = 0; at < piece.size();) {
            const std::size_t need = record.size() < kHeader ? kHeader : kHeader + LoadLe16(record.data() + 2);
            const std::size_t count = std::min(need - record.size(), piece.size() - at);
            record.insert(record.end(), piece.begin() + static_cast<std::ptrdiff_t>(at),
                          piece.begin() + static_cast<std::ptrdiff_t>(at + count));
            at += count;
            if (record.size() == kHeader && !HeaderReads())
                return false;
            if (record.size() == kHeader + LoadLe16(record.data() + 2)) {
                if (!Whole())
                    return false;
                recordAt += record.size();
                record.clear();
            }
        }
        size += piece.size();
        return true;
    }
};

IntactRecords::IntactRecords() : state_(std::make_unique<State>())
{
    state_->record.reserve(kHeader + kMaxBody);
}
IntactRecords::~IntactRecords() = default;

bool IntactRecords::Take(std::span<const std::uint8_t> piece)
{
    State& s = *state_;
    if (!s.failed)
        s.failed = !s.Take(piece);
    return !s.failed;
}

bool IntactRecords::Intact() const
{
    const State& s = *state_;
    if (s.failed || s.first || !s.record.empty() || s.lastType != kEof || !s.open.empty())
        return false;
    const bool everySheetFound = std::all_of(s.listed.begin(), s.listed.end(), [&s](std::uint32_t offset) {
        return std::binary_search(s.bofs.begin(), s.bofs.end(), std::uint64_t{offset});
    });
    // (Counts that may need mending are told by mending a copy of the globals: the stream is
    // read whole for that.)
    CellsOverZeros overZeros = s.cellsOverZeros;
    overZeros.Finish();
    return everySheetFound && !s.cells.Changes() && !overZeros.Changes() && !CountsMayNeedMending(s.globals);
}

}  // namespace tabulon
