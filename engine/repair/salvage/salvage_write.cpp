// Writing the attempt the salvage chose: the workbook's entry first, as writers place it, and
// the new file read back and checked.
#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/base/beside.h"
#include "engine/base/text.h"
#include "engine/biff/records.h"
#include "engine/cfb/compound_writer.h"
#include "engine/repair/salvage/salvage_attempt.h"
#include "engine/repair/workbook/workbook.h"

namespace tabulon::salvage {
namespace {

using biff::FindWorkbookStream;

// The entry of the workbook stream readers take ("Workbook" before "Book").
std::vector<CompoundEntry>::iterator WorkbookEntryOf(Attempt& attempt)
{
    const std::optional<std::size_t> found =
        FindWorkbookStream(attempt.entries.size(), [&](std::size_t i) -> std::optional<std::u16string_view> {
            const CompoundEntry& entry = attempt.entries[i];
            if (entry.parent < 0 && entry.type == kObjectTypeStream)
                return entry.name;
            return std::nullopt;
        });
    return found ? attempt.entries.begin() + static_cast<std::ptrdiff_t>(*found) : attempt.entries.end();
}

// The workbook stream's entry moved to the front of the list, the parents of the others kept:
// it becomes the directory's second entry, as writers place it. (xlrd follows a stream's
// chain with a mark of its entry's place in a byte, and refuses a workbook whose stream's
// entry lies past the 252nd.)
void WorkbookEntryFirst(Attempt& attempt)
{
    const auto chosen = WorkbookEntryOf(attempt);
    if (chosen == attempt.entries.end() || chosen == attempt.entries.begin())
        return;
    const int from = static_cast<int>(chosen - attempt.entries.begin());
    std::rotate(attempt.entries.begin(), chosen, chosen + 1);
    for (auto entry = attempt.entries.begin() + 1; entry != attempt.entries.end(); ++entry) {
        if (entry->parent >= 0 && entry->parent < from)
            ++entry->parent;
    }
}

}  // namespace

// The attempt's entries written into `out`; false when nothing could be.
bool WriteAttempt(SectorFile& out, Attempt& best)
{
    WorkbookEntryFirst(best);
    try {
        WriteCompoundFile(out, best.root, best.entries);
    } catch (const std::invalid_argument&) {
        // A damaged directory can hold what no compound file may (two entries of one name,
        // a name with a separator): the workbook stream alone is written then.
        const auto chosen = WorkbookEntryOf(best);
        if (chosen == best.entries.end())
            return false;
        CompoundEntry alone = std::move(*chosen);
        alone.parent = -1;
        for (const CompoundEntry& entry : best.entries) {
            if (&entry != &*chosen && entry.type == kObjectTypeStream)
                best.report.dropped.push_back(Utf8FromUtf16(entry.name));
        }
        const std::string name = Utf8FromUtf16(alone.name);
        const auto kept = std::find_if(best.report.kept.begin(), best.report.kept.end(), [&](const SalvagedStream& stream) {
            return stream.path == name && stream.size == alone.data.size();
        });
        if (kept != best.report.kept.end())
            best.report.kept = {*kept};
        best.entries.clear();
        best.entries.push_back(std::move(alone));
        WriteCompoundFile(out, best.root, best.entries);
    }
    return true;
}

// The new file is read back and checked; its workbook stream, when it holds the bytes the
// mending settled on, is not mended once more.
void CheckWritten(SectorFile& out, Attempt& best, const WhileChecking& whileChecking, bool* holdsWorkbook)
{
    const auto written = WorkbookEntryOf(best);
    bool holds = false;
    std::optional<Beside> beside;
    std::vector<std::u16string> summaryNames;
    if (whileChecking && written != best.entries.end()) {
        summaryNames = SummarySheetNames(out);
        beside.emplace(written->data.size(), [&] { whileChecking(best.report, written->data, summaryNames); });
    }
    WorkbookCheck check = written == best.entries.end() ? VerifyWorkbook(out)
                                                        : VerifyWrittenWorkbook(out, written->data, best.settled, &holds);
    if (beside)
        beside->Wait();
    best.report.check = std::move(check);
    if (holdsWorkbook)
        *holdsWorkbook = holds;
}

}  // namespace tabulon::salvage
