#include "engine/repair/workbook/workbook.h"

#include <algorithm>
#include <functional>
#include <optional>

#include "engine/base/beside.h"
#include "engine/base/byte_order.h"
#include "engine/biff/property_set.h"
#include "engine/biff/records.h"
#include "engine/cfb/compound_reader.h"
#include "engine/repair/mending/mending.h"

namespace tabulon {

WorkbookCheck VerifyWorkbookStructure(SectorFile& file)
{
    static constexpr MainStreamRule kWorkbook{biff::IsWorkbookStreamName, biff::IsBofType, biff::kBof};
    return VerifyCompoundFile(file, kWorkbook);
}

bool BeyondHeader(FindingCode code)
{
    switch (code) {
    case FindingCode::ChainOutOfRange:
    case FindingCode::ChainLoop:
    case FindingCode::SectorClaimedTwice:
    case FindingCode::ChainTooShort:
    case FindingCode::MainStreamDamaged:
    case FindingCode::FileCutShort:
    case FindingCode::FatEntryOutOfRange:
        return true;
    default:
        return false;
    }
}

bool OnlyBeyondHeader(const WorkbookCheck& check)
{
    return std::all_of(check.findings.begin(), check.findings.end(), [](const Finding& finding) {
        return finding.severity == Severity::Harmless || BeyondHeader(finding.code);
    });
}

namespace {

// Where the records of `stream` first go wrong, into `check`, from `damage` (FirstRecordDamage
// of `stream`, found by the caller, beside other work where it can). A stream known to be
// settled (mending it changes nothing) is not mended again to find out; where it is, `names`
// gives the sheet names to mend by, and `mended` gets the stream mended when that found the
// damage. A caller done with the stream passes it as `owned` (its bytes are `stream`): the
// mending takes it over instead of a copy.
void AddStreamDamage(std::optional<std::uint64_t> damage, std::span<const std::uint8_t> stream, bool settled, WorkbookCheck& check,
                     const std::function<std::vector<std::u16string>()>& names = {},
                     std::shared_ptr<const MendedStream>* mended = nullptr, std::vector<std::uint8_t>* owned = nullptr)
{
    if (!damage && !settled) {
        // Records that all read may still hold a zeroed stretch that the mending takes out (one
        // inside the string table, say): a workbook is not intact where a salvage would replace
        // any of its bytes. An end record a sheet lacks, which readers do without and the
        // mending writes back (a bare record header), is no such damage.
        MendedStream kept;
        if (names)
            kept.names = names();
        kept.rawSize = stream.size();
        if (mended)
            kept.rawFingerprint = StreamFingerprint(stream);
        if (owned)
            kept.stream = std::move(*owned);
        else
            kept.stream.assign(stream.begin(), stream.end());
        kept.regions = MendWorkbookStream(kept.stream, kept.names, &kept.settled);
        for (const MendedRegion& region : kept.regions) {
            if (region.length > biff::kRecordHeaderSize)
                damage = std::min(damage.value_or(region.offset), region.offset);
        }
        if (mended && damage)  // (a salvage follows only where mending replaces anything)
            *mended = std::make_shared<const MendedStream>(std::move(kept));
    }
    if (damage)
        check.findings.push_back({FindingCode::MainStreamDamaged, Severity::Incorrect,
                                  static_cast<std::uint32_t>(std::min<std::uint64_t>(*damage, 0xFFFF'FFFF)), 0, *damage});
}

}  // namespace

std::size_t StreamFingerprint(std::span<const std::uint8_t> bytes)
{
    // Four lanes of 64-bit words mixed by multiplication, the tail and the length last: a pass
    // over a large stream costs little beside reading it.
    constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
    std::uint64_t lanes[4] = {0x243F6A8885A308D3ull, 0x13198A2E03707344ull, 0xA4093822299F31D0ull, 0x082EFA98EC4E6C89ull};
    const auto mix = [](std::uint64_t h, std::uint64_t word) {
        h ^= word * kMul;
        return (h << 31 | h >> 33) * kMul;
    };
    std::size_t at = 0;
    for (; at + 32 <= bytes.size(); at += 32) {
        for (int lane = 0; lane < 4; ++lane)
            lanes[lane] = mix(lanes[lane], LoadLe64(bytes.data() + at + 8 * lane));
    }
    std::uint64_t h = bytes.size();
    for (const std::uint64_t lane : lanes)
        h = mix(h, lane);
    for (; at < bytes.size(); ++at)
        h = mix(h, bytes[at]);
    h ^= h >> 29;
    return static_cast<std::size_t>(h);
}

std::vector<std::u16string> SummarySheetNames(SectorFile& file)
{
    static constexpr std::u16string_view kSummary[] = {u"\u0005DocumentSummaryInformation"};
    const std::optional<std::vector<std::uint8_t>> summary = ReadRootStream(file, kSummary);
    return summary ? SheetNamesFromSummary(*summary) : std::vector<std::u16string>{};
}

void AddRecordDamage(SectorFile& file, WorkbookCheck& check, std::shared_ptr<const MendedStream>* mended)
{
    if (mended)
        mended->reset();
    // Records told intact a piece at a time need not be held: only a stream that may be damaged
    // is read whole (to find where, and to mend it for the salvage that follows).
    IntactRecords intact;
    if (ReadRootStreamInPieces(file, biff::kWorkbookStreamNames, [&intact](std::span<const std::uint8_t> piece) { return intact.Take(piece); }) &&
        intact.Intact())
        return;
    if (std::optional<std::vector<std::uint8_t>> stream = ReadWorkbookStream(file))
        AddStreamDamage(FirstRecordDamage(*stream), *stream, false, check, [&file] { return SummarySheetNames(file); }, mended, &*stream);
}

WorkbookCheck VerifyWrittenWorkbook(SectorFile& file, std::span<const std::uint8_t> stream, bool settled, bool* holdsStream)
{
    // Where the records of `stream` go wrong is looked for while the file is checked, for the
    // case that the file holds it.
    std::optional<std::uint64_t> damage;
    Beside finding(stream.size(), [&] { damage = FirstRecordDamage(stream); });
    WorkbookCheck check = VerifyWorkbookStructure(file);
    if (holdsStream)
        *holdsStream = false;
    if (!OnlyBeyondHeader(check))
        return check;
    // The file's own workbook stream is compared piece by piece, not held beside `stream`.
    if (RootStreamEquals(file, biff::kWorkbookStreamNames, stream)) {
        if (holdsStream)
            *holdsStream = true;
        finding.Wait();
        AddStreamDamage(damage, stream, settled, check);
    } else if (std::optional<std::vector<std::uint8_t>> written = ReadWorkbookStream(file)) {
        AddStreamDamage(FirstRecordDamage(*written), *written, false, check, {}, nullptr, &*written);
    }
    return check;
}

WorkbookCheck VerifyWorkbook(SectorFile& file)
{
    WorkbookCheck check = VerifyWorkbookStructure(file);
    if (OnlyBeyondHeader(check))
        AddRecordDamage(file, check);
    return check;
}

std::optional<std::vector<std::uint8_t>> ReadWorkbookStream(SectorFile& file)
{
    return ReadRootStream(file, biff::kWorkbookStreamNames);
}

}  // namespace tabulon
