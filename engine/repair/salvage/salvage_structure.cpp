// The salvage through a header that opens the file's compound structure: every stream as it
// stands, the workbook's records mended.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/base/text.h"
#include "engine/biff/property_set.h"
#include "engine/biff/records.h"
#include "engine/cfb/compound_reader.h"
#include "engine/cfb/compound_writer.h"
#include "engine/cfb/verify.h"
#include "engine/repair/mending/mending.h"
#include "engine/repair/salvage/salvage_attempt.h"
#include "engine/repair/salvage/salvage_finder.h"
#include "engine/repair/workbook/workbook.h"

namespace tabulon::salvage {

using namespace biff;

namespace {

// What the check may find in a file whose table, directory and mini stream all read: fields
// of the header no reader minds, table entries of no stream, damage inside the workbook's
// records (the mending's task), a last sector cut short.
bool StructureFinding(FindingCode code)
{
    switch (code) {
    case FindingCode::HeaderFieldUnusual:
    case FindingCode::FatSectorNotMarked:
    case FindingCode::FatEntryOutOfRange:
    case FindingCode::MainStreamStartsWrongly:
    case FindingCode::MainStreamDamaged:
    case FindingCode::FileCutShort:
        return false;
    default:
        return true;
    }
}

}  // namespace

// Whether two headers lead an attempt to the same structure: the same directory, mini table and
// DIFAT chain, and at each place of the table the same sector, or none that reads as a table
// sector where the other has none (a lost one, listed or not, is the same to the salvage).
bool SameStructure(const Image& image, const HeaderBytes& a, const HeaderBytes& b)
{
    for (const std::size_t offset : {kNumFatSectorsOffset, kFirstDirectorySectorOffset, kFirstMiniFatSectorOffset,
                                     kNumMiniFatSectorsOffset, kFirstDifatSectorOffset, kNumDifatSectorsOffset}) {
        if (LoadLe32(a.data() + offset) != LoadLe32(b.data() + offset))
            return false;
    }
    const std::uint32_t count = std::min<std::uint32_t>(LoadLe32(a.data() + kNumFatSectorsOffset), kHeaderDifatEntries);
    const std::uint64_t capacity = std::uint64_t{LoadLe32(a.data() + kNumFatSectorsOffset)} * kEntriesPerFatSector;
    const auto table = [&](std::uint32_t sector) {
        return sector < image.sectors && SurvivingEntries(image.bytes.data() + kHeaderSize + std::size_t{sector} * kSectorSize, capacity);
    };
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::uint32_t x = LoadLe32(a.data() + kHeaderDifatOffset + 4 * k), y = LoadLe32(b.data() + kHeaderDifatOffset + 4 * k);
        if (x != y && (table(x) || table(y)))
            return false;
    }
    return true;
}

// When `header` opens the file's compound structure (every chain reaches its stream's size,
// no sector claimed twice, the directory whole): every stream it reaches, byte for byte and in
// its place, the workbook's records mended. What the header rebuild gives is never lost so.
std::optional<Attempt> ReadStructure(const Image& image, const HeaderBytes& header, const MendedStream* mended)
{
    HeaderedImage file(image, header);
    // The records are the mending's to judge, below: the compound file alone decides here.
    const WorkbookCheck check = VerifyWorkbookStructure(file);
    if (std::any_of(check.findings.begin(), check.findings.end(), [](const Finding& f) {
            return f.severity != Severity::Harmless && StructureFinding(f.code);
        }))
        return std::nullopt;
    std::optional<std::vector<CompoundStream>> streams = ReadCompoundFile(file);
    const std::optional<CompoundRoot> root = ReadCompoundRoot(file);
    if (!streams || !root)
        return std::nullopt;
    const std::optional<std::size_t> workbook = FindWorkbookStream(streams->size(), [&](std::size_t i) -> std::optional<std::u16string_view> {
        const CompoundStream& stream = (*streams)[i];
        if (stream.parent < 0 && stream.type == kObjectTypeStream)
            return stream.path.back();
        return std::nullopt;
    });
    if (!workbook || (*streams)[*workbook].truncated || (*streams)[*workbook].data.empty() ||
        std::any_of(streams->begin(), streams->end(), [](const CompoundStream& s) { return s.truncated; }))
        return std::nullopt;

    Attempt attempt;
    attempt.found = true;
    attempt.root = *root;
    std::vector<std::u16string> summaryNames;
    for (const CompoundStream& stream : *streams) {
        if (stream.parent < 0 && stream.type == kObjectTypeStream &&
            CompareEntryNames(stream.path.back(), u"\u0005DocumentSummaryInformation") == 0)
            summaryNames = SheetNamesFromSummary(stream.data);
    }
    CompoundStream& book = (*streams)[*workbook];
    // A stream that lost its start grows by new globals in front: it is read again with room
    // for them behind it, its first copy given back first, so that the mending moves it up
    // where it lies instead of writing it anew beside it.
    if (const std::size_t room = RoomToMend(book.data); room > 0) {
        // (Read again by its name: where another stream at the root goes by it too, the one
        // read must be shown to be the same.)
        const std::u16string_view name[] = {book.path.back()};
        const bool named = std::count_if(streams->begin(), streams->end(), [&](const CompoundStream& stream) {
                               return stream.parent < 0 && stream.type == kObjectTypeStream && EqualIgnoringAsciiCase(stream.path.back(), name[0]);
                           }) == 1;
        const std::size_t size = book.data.size();
        const std::size_t fingerprint = named ? 0 : StreamFingerprint(book.data);
        std::vector<std::uint8_t>().swap(book.data);
        std::optional<std::vector<std::uint8_t>> roomy = ReadRootStream(file, name, room);
        if (roomy && roomy->size() == size && (named || StreamFingerprint(*roomy) == fingerprint)) {
            book.data = std::move(*roomy);
        } else {
            roomy.reset();  // another stream of that name: read as before
            std::optional<std::vector<CompoundStream>> again = ReadCompoundFile(file);
            if (!again || again->size() != streams->size())
                return std::nullopt;
            book.data = std::move((*again)[*workbook].data);
        }
    }
    attempt.report.workbookInMiniStream = book.declaredSize < kMiniStreamCutoff;
    attempt.settled = MendWorkbook(book.data, summaryNames, attempt.report, mended);
    // A stream that still begins with no first record lost its start and every sheet's with it:
    // what survives of the sheets is found by their records, as without this header.
    if (book.data.size() < biff::kRecordHeaderSize || !biff::IsBofType(LoadLe16(book.data.data())))
        return std::nullopt;
    // (A second copy of the workbook is mended as well, as the salvage by records does.)
    for (CompoundStream& stream : *streams) {
        if (&stream != &book && stream.parent < 0 && stream.type == kObjectTypeStream && IsWorkbookStreamName(stream.path.back()))
            MendWorkbookStream(stream.data);
    }
    attempt.workbookLength = book.data.size();
    for (CompoundStream& stream : *streams) {
        if (stream.type == kObjectTypeStream) {
            std::string path;
            for (const std::u16string& name : stream.path) {
                if (!path.empty())
                    path += '/';
                path += Utf8FromUtf16(name);
            }
            attempt.report.kept.push_back({path, stream.declaredSize, stream.data.size(), 0});
        }
        CompoundEntry entry;
        entry.name = stream.path.back();
        entry.type = stream.type;
        entry.parent = stream.parent;
        entry.data = std::move(stream.data);
        entry.clsid = stream.clsid;
        entry.stateBits = stream.stateBits;
        entry.created = stream.created;
        entry.modified = stream.modified;
        attempt.entries.push_back(std::move(entry));
    }
    return attempt;
}

}  // namespace tabulon::salvage
