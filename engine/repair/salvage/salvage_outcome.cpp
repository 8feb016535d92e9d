#include "engine/repair/salvage/salvage.h"

#include <algorithm>
#include <limits>

#include "engine/base/byte_order.h"
#include "engine/base/text.h"
#include "engine/biff/biff_cells.h"
#include "engine/biff/globals.h"

namespace tabulon {

namespace {

bool DefaultSheetName(const std::string& name)
{
    return name.size() > 5 && name.starts_with("Sheet") &&
           std::all_of(name.begin() + 5, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The names of the sheets whose entries the mending wrote and named itself.
std::vector<std::string> MadeUpNames(std::span<const std::uint8_t> stream, const biff::Globals& globals,
                                     const std::vector<MendedRegion>& regions, const std::vector<std::u16string>& summaryNames)
{
    std::vector<std::string> names;
    for (const BiffRecord& entry : globals.boundSheets) {
        const bool written = std::any_of(regions.begin(), regions.end(), [&](const MendedRegion& region) {
            return region.kind == MendedRegion::Kind::Replaced && region.offset <= entry.offset &&
                   entry.offset < region.offset + region.length;
        });
        const std::string name = biff::SheetName(stream, entry, globals);
        const bool summarised = std::any_of(summaryNames.begin(), summaryNames.end(),
                                            [&](const std::u16string& listed) { return Utf8FromUtf16(listed) == name; });
        if (written && !summarised && DefaultSheetName(name))
            names.push_back(name);
    }
    return names;
}

}  // namespace

void AssessSalvage(SalvageReport& report, std::span<const std::uint8_t> stream, const std::vector<std::u16string>& summaryNames)
{
    // (The shared strings are read below, only where the globals were mended.)
    biff::Globals globals = biff::ReadGlobals(stream, biff::SharedStrings::None);
    const std::vector<std::string> madeUp = MadeUpNames(stream, globals, report.regions, summaryNames);
    const WorkbookCells workbook = ReadWorkbookSheets(stream, globals);
    // Each sheet's records run from its first record to the next sheet's, in stream order.
    std::vector<std::pair<std::uint64_t, std::size_t>> starts;  // offset, sheet
    for (std::size_t i = 0; i < workbook.sheets.size(); ++i)
        starts.emplace_back(workbook.sheets[i].offset, i);
    std::sort(starts.begin(), starts.end());
    const auto sheetAt = [&](std::uint64_t offset) -> int {
        const auto after = std::upper_bound(starts.begin(), starts.end(), std::pair(offset, std::numeric_limits<std::size_t>::max()));
        return after == starts.begin() ? -1 : static_cast<int>(std::prev(after)->second);
    };

    // The bytes the stream's chain never reached were the last sheet's (or the globals').
    if (report.workbookBytesLost > 0)
        report.regions.push_back({MendedRegion::Kind::Lost, stream.size(), report.workbookBytesLost, -1});
    std::vector<std::uint64_t> lost(workbook.sheets.size(), 0);
    std::vector<std::size_t> leftOut(workbook.sheets.size(), 0);
    for (const std::uint64_t at : report.formulasAsValues.leftOutAt) {
        if (const int sheet = sheetAt(at); sheet >= 0)
            ++leftOut[static_cast<std::size_t>(sheet)];
    }
    std::uint64_t total = 0;
    for (MendedRegion& region : report.regions) {
        // A region lost at the end belongs with the records just before it.
        region.sheet = sheetAt(region.kind == MendedRegion::Kind::Lost && region.offset > 0 ? region.offset - 1 : region.offset);
        if (region.sheet >= 0)
            lost[static_cast<std::size_t>(region.sheet)] += region.length;
        total += region.length;
    }
    report.workbookBytesLost = total;

    // Each sheet's cells as a reader shows them (values, not blank cells, each of a run its own;
    // of an encrypted workbook, which no one reads without its password, its cell records), and,
    // where the globals were mended, the text cells whose shared string did not come back.
    const bool globalsMended = !globals.encrypted && std::any_of(report.regions.begin(), report.regions.end(),
                                                                 [](const MendedRegion& region) { return region.sheet < 0; });
    if (globalsMended)
        globals.sharedStringHasText = biff::ReadGlobals(stream, biff::SharedStrings::Presence).sharedStringHasText;
    std::vector<std::size_t> cellCounts(workbook.sheets.size(), 0), textsLost(workbook.sheets.size(), 0);
    for (std::size_t k = 0; k < starts.size(); ++k) {
        const std::size_t end = k + 1 < starts.size() ? static_cast<std::size_t>(starts[k + 1].first) : stream.size();
        const std::size_t sheet = starts[k].second;
        RecordCursor cursor(stream, static_cast<std::size_t>(starts[k].first));
        for (std::optional<BiffRecord> record = cursor.Next(); record && record->offset < end; record = cursor.Next()) {
            if (!biff::IsCellRecord(record->type))
                continue;
            const std::span<const std::uint8_t> body = RecordBody(stream, *record);
            cellCounts[sheet] += globals.encrypted ? 1 : ValuesInCellRecord(record->type, body.size());
            if (record->type == biff::kLabelSst && body.size() >= 10 && globalsMended) {
                const std::uint32_t index = LoadLe32(body.data() + 6);
                textsLost[sheet] += index >= globals.sharedStringHasText.size() || !globals.sharedStringHasText[index] ? 1u : 0u;
            }
        }
    }

    report.outcomes.clear();
    for (std::size_t i = 0; i < workbook.sheets.size(); ++i) {
        const SheetCells& sheet = workbook.sheets[i];
        SheetOutcome outcome;
        outcome.name = sheet.name;
        outcome.cells = cellCounts[i] >= textsLost[i] ? cellCounts[i] - textsLost[i] : 0;
        outcome.bytesLost = lost[i];
        outcome.textsLost = textsLost[i];
        outcome.formulasLeftOut = leftOut[i];
        outcome.nameMadeUp = std::find(madeUp.begin(), madeUp.end(), sheet.name) != madeUp.end();
        // The first sheet in the stream, whose first record the salvage made, or any whose first
        // record lies in what the mending replaced: its first records were lost.
        outcome.startLost = (report.firstSheetStartLost && !starts.empty() && starts.front().second == i) ||
                            std::any_of(report.regions.begin(), report.regions.end(), [&](const MendedRegion& region) {
                                return region.kind == MendedRegion::Kind::Replaced && region.offset <= sheet.offset &&
                                       sheet.offset < region.offset + region.length;
                            });
        report.namesMadeUp = report.namesMadeUp || outcome.nameMadeUp;
        const bool listedButGone =
            std::find(report.lostSheets.begin(), report.lostSheets.end(), sheet.name) != report.lostSheets.end();
        if (listedButGone || (outcome.cells == 0 && outcome.bytesLost > 0))
            outcome.state = SheetState::Lost;
        else if (outcome.bytesLost > 0 || textsLost[i] > 0 || outcome.startLost || outcome.formulasLeftOut > 0)
            outcome.state = SheetState::Partial;
        // (The list of sheets lost names every sheet that came back without a cell.)
        if (outcome.state == SheetState::Lost && !listedButGone)
            report.lostSheets.push_back(outcome.name);
        report.outcomes.push_back(std::move(outcome));
    }
}

bool SalvageComplete(const SalvageReport& report)
{
    return report.written && report.check.Opens() && report.workbookBytesLost == 0 && report.dropped.empty() &&
           report.lostSheets.empty() && !report.namesMadeUp && !report.directoryLost &&
           std::all_of(report.outcomes.begin(), report.outcomes.end(),
                       [](const SheetOutcome& sheet) { return sheet.state == SheetState::Complete; });
}

}  // namespace tabulon
