#include "engine/cfb/sector_probes.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "engine/base/byte_order.h"
#include "engine/cfb/directory_entry.h"

namespace tabulon {
namespace {

// Sectors read per call during a scan: large enough to make reads cheap, small enough to
// stay in the processor's cache while the sectors are examined.
constexpr std::size_t kScanChunkSectors = 512;

std::uint32_t Entry(SectorView sector, std::size_t j)
{
    if constexpr (std::endian::native == std::endian::little) {
        std::uint32_t v;
        std::memcpy(&v, sector.data() + 4 * j, 4);
        return v;
    } else {
        return LoadLe32(sector.data() + 4 * j);
    }
}

// Wider vector units, where the processor has them, chosen when the program loads. Not
// under ThreadSanitizer, whose instrumented resolver would run before its runtime is ready.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TABULON_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define TABULON_THREAD_SANITIZER 1
#endif
#if defined(__x86_64__) && defined(__ELF__) && (defined(__GNUC__) || defined(__clang__)) && \
    !defined(TABULON_THREAD_SANITIZER)
#define TABULON_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TABULON_VECTOR_CLONES
#endif

constexpr std::uint32_t kFatLikeMinimumMarks = 55;

std::uint32_t FatMark(SectorView sector, std::size_t j)
{
    const std::uint32_t v = Entry(sector, j);
    return static_cast<std::uint32_t>(v >= kFirstSpecialValue) | static_cast<std::uint32_t>(v + 1 == Entry(sector, j + 1));
}

// This runs for every sector of the file: plain branch-free loops that the compiler
// vectorizes, and a data sector is given up on once the last quarter cannot make up the
// marks it lacks.
TABULON_VECTOR_CLONES bool HasFatMarks(SectorView sector)
{
    constexpr std::size_t kFirstPart = 96;
    std::uint32_t marks = 0;
    for (std::size_t j = 0; j < kFirstPart; ++j)
        marks += FatMark(sector, j);
    if (marks + (kEntriesPerFatSector - kFirstPart) < kFatLikeMinimumMarks)
        return false;
    for (std::size_t j = kFirstPart; j + 1 < kEntriesPerFatSector; ++j)
        marks += FatMark(sector, j);
    marks += static_cast<std::uint32_t>(Entry(sector, kEntriesPerFatSector - 1) >= kFirstSpecialValue);
    return marks >= kFatLikeMinimumMarks;
}

constexpr std::uint32_t kSmallEntryLimit = 512;
constexpr int kDirectoryMinimumMarks = 8;

}  // namespace

std::uint32_t BlockCount(std::uint64_t fileLength)
{
    return static_cast<std::uint32_t>(fileLength / kSectorSize);
}

SectorBytes ReadBlockAt(SectorFile& file, std::uint64_t offset)
{
    SectorBytes block{};
    file.Seek(offset);
    file.Read(block);
    return block;
}

SectorBytes ReadSector(SectorFile& file, std::uint32_t index)
{
    return ReadBlockAt(file, (static_cast<std::uint64_t>(index) + 1) * kSectorSize);
}

FatSummary SummarizeFatSector(SectorView sector)
{
    FatSummary summary;
    summary.fatLike = HasFatMarks(sector);
    std::uint32_t baseSum = 0;
    std::uint32_t largeCount = 0;
    for (std::uint32_t j = 0; j < kEntriesPerFatSector; ++j) {
        const std::uint32_t v = Entry(sector, j);
        const std::uint32_t large = v >= kSmallEntryLimit ? ~0u : 0u;
        baseSum += (j & large) | (v & ~large);
        largeCount -= large;
    }
    summary.baseSum = baseSum;
    summary.largeCount = largeCount;
    return summary;
}

std::int32_t EstimateFatIndex(const FatSummary& summary, std::int32_t n)
{
    // Large entries count as n * 128 + j; the sum wraps like the signed 32-bit sum it models.
    const std::uint32_t sum = summary.baseSum + summary.largeCount * (static_cast<std::uint32_t>(n) * 128u);
    return static_cast<std::int32_t>(sum) / 128 / 128;
}

bool IsFatLikeSector(SectorView sector)
{
    return HasFatMarks(sector);
}

std::int32_t EstimateFatIndex(SectorView sector, std::int32_t n)
{
    return EstimateFatIndex(SummarizeFatSector(sector), n);
}

std::size_t CountNameUnits(std::span<const std::uint8_t> entry)
{
    const std::size_t limit = entry.size() / 2;
    std::size_t units = 0;
    while (units < limit && entry[2 * units] != 0)
        ++units;
    return units;
}

bool IsDirectorySector(SectorView sector)
{
    int marks = 0;
    for (std::size_t k = 0; k < kDirectoryEntriesPerSector; ++k) {
        const auto entry = std::span<const std::uint8_t>(sector).subspan(k * kDirectoryEntrySize);
        const int nameLength = LoadLe16(entry.data() + kEntryNameLengthOffset);
        const int expectedUnits = nameLength / 2 - 1;
        marks += static_cast<int>(CountNameUnits(entry)) == expectedUnits ? 1 : 0;
        marks += entry[kEntryObjectTypeOffset] <= kObjectTypeRootStorage ? 1 : 0;
        marks += entry[kEntryColorFlagOffset] <= 1 ? 1 : 0;
    }
    return marks >= kDirectoryMinimumMarks;
}

bool DirectorySectorReads(const std::uint8_t* sector)
{
    for (std::size_t k = 0; k < kDirectoryEntriesPerSector; ++k) {
        const std::uint8_t* entry = sector + k * kDirectoryEntrySize;
        const bool unused = entry[kEntryObjectTypeOffset] == 0 && LoadLe16(entry + kEntryNameLengthOffset) == 0;
        if (!unused && !ReadDirectoryEntry(entry, EntryReading::Strict))
            return false;
    }
    return LoadLe16(sector + kEntryNameLengthOffset) != 0;  // not a sector of unused entries alone
}

int DirectorySectorScore(const std::uint8_t* sector, int strong)
{
    int s = 1;
    for (std::size_t e = 0; e < kDirectoryEntriesPerSector; ++e) {
        const std::uint8_t* raw = sector + e * kDirectoryEntrySize;
        if (ReadDirectoryEntry(raw, EntryReading::Strict)) {
            s += strong;
            continue;
        }
        const std::uint16_t nameBytes = LoadLe16(raw + kEntryNameLengthOffset);
        const std::uint8_t type = raw[kEntryObjectTypeOffset];
        if ((type != 0 && type != kObjectTypeStorage && type != kObjectTypeStream && type != kObjectTypeRootStorage) ||
            raw[kEntryColorFlagOffset] > 1 || nameBytes > 2 * (kMaxEntryNameLength + 1) || nameBytes % 2 != 0)
            return 0;
        ++s;
    }
    return s;
}

SectorScan SectorScan::Run(SectorFile& file, std::span<const std::uint32_t> keep, const Observer& observer)
{
    SectorScan scan;
    scan.blockCount_ = tabulon::BlockCount(file.Length());
    scan.firstMatch_.fill(-1);
    scan.secondMatch_.fill(-1);

    const std::uint32_t wholeSectors = scan.blockCount_ > 1 ? scan.blockCount_ - 1 : 0;
    for (const std::uint32_t index : keep) {
        const bool known = std::any_of(scan.kept_.begin(), scan.kept_.end(),
                                       [index](const auto& kept) { return kept.first == index; });
        if (index < wholeSectors && !known)
            scan.kept_.emplace_back(index, SectorBytes{});
    }
    if (wholeSectors == 0)
        return scan;

    std::vector<std::uint8_t> chunk(kScanChunkSectors * kSectorSize);
    file.Seek(kSectorSize);
    std::uint32_t index = 0;
    while (index < wholeSectors) {
        const std::size_t wanted = std::min<std::size_t>(kScanChunkSectors, wholeSectors - index);
        const std::size_t got = file.Read(std::span(chunk.data(), wanted * kSectorSize));
        const std::size_t sectors = got / kSectorSize;
        for (std::size_t s = 0; s < sectors; ++s, ++index) {
            const SectorView sector(chunk.data() + s * kSectorSize, kSectorSize);
            scan.Examine(index, sector);
            if (observer)
                observer(index, sector);
        }
        if (sectors < wanted)
            break;  // the file became shorter while it was read
    }
    return scan;
}

void SectorScan::Examine(std::uint32_t index, SectorView sector)
{
    // Most sectors are data: the summary is only worth working out for the few that pass, and
    // only until every answer is settled.
    if (HasFatMarks(sector)) {
        ++fatLikeCount_;
        if (secondAllLarge_ < 0 || unsettled_[0] != 0 || unsettled_[1] != 0) {
            const FatSummary summary = SummarizeFatSector(sector);
            if (summary.largeCount == kEntriesPerFatSector && secondAllLarge_ < 0)
                (firstAllLarge_ < 0 ? firstAllLarge_ : secondAllLarge_) = static_cast<std::int32_t>(index);
            RecordTablePositions(index, summary);
        }
    }
    if (rootDirectory_ < 0 && sector[kEntryObjectTypeOffset] == kObjectTypeRootStorage &&
        IsDirectorySector(sector))
        rootDirectory_ = static_cast<std::int32_t>(index);
    for (auto& [keptIndex, bytes] : kept_) {
        if (keptIndex == index)
            std::copy(sector.begin(), sector.end(), bytes.begin());
    }
}

void SectorScan::RecordTablePositions(std::uint32_t index, const FatSummary& summary)
{
    if (unsettled_[0] == 0 && unsettled_[1] == 0)
        return;
    // With d = 128 * (128 - largeCount), the estimate for n in [0, 108] is
    // floor((baseSum + (16384 - d) * n) / 16384), free of wrapping; it equals n exactly when
    // d * n <= baseSum < d * n + 16384. Candidates from that range are still checked one by one.
    const std::uint32_t d = 128u * (128u - summary.largeCount);
    const std::uint32_t base = summary.baseSum;
    constexpr std::uint32_t kLastPosition = kTabledPositions - 1;
    std::uint32_t low = 0;
    std::uint32_t high = kLastPosition;
    if (d != 0) {  // with d == 0 (every entry large) baseSum is 8128 and every n matches
        low = base < 128u * 128u ? 0 : (base - 128u * 128u) / d + 1;
        high = std::min(base / d, kLastPosition);
    }
    for (std::uint32_t n = low; n <= high;) {
        const std::uint64_t pending = unsettled_[n / 64] >> (n % 64);
        if (pending == 0) {
            n = (n / 64 + 1) * 64;
            continue;
        }
        n += static_cast<std::uint32_t>(std::countr_zero(pending));
        if (n > high)
            break;
        const auto position = static_cast<std::int32_t>(n);
        if (EstimateFatIndex(summary, position) == position)
            RecordMatch(n, index);
        ++n;
    }
}

void SectorScan::RecordMatch(std::uint32_t n, std::uint32_t index)
{
    if (firstMatch_[n] < 0) {
        firstMatch_[n] = static_cast<std::int32_t>(index);
    } else {
        secondMatch_[n] = static_cast<std::int32_t>(index);
        unsettled_[n / 64] &= ~(std::uint64_t{1} << (n % 64));
    }
}

std::int32_t SectorScan::FindFatSector(std::int32_t n, bool skipFirst) const
{
    if (n >= 0 && n < kTabledPositions) {
        const auto position = static_cast<std::size_t>(n);
        return skipFirst ? secondMatch_[position] : firstMatch_[position];
    }
    // Past the tabled positions only a sector without a small entry can match. With a small
    // entry, d = 128 * (128 - largeCount) is 128 or more, and a match needs d * n <= baseSum;
    // baseSum is at most 511 per small entry plus the distinct indices of the large ones, which
    // keeps n at 67 or below. A sector of large entries only has baseSum 8128: its estimate,
    // (8128 + 16384 * n) / 16384, is n for every n up to the last one before the sum wraps.
    constexpr std::int32_t kLastAllLargeMatch = (std::numeric_limits<std::int32_t>::max() - 8128) / (128 * 128);
    if (n < 0 || n > kLastAllLargeMatch)
        return -1;
    return skipFirst ? secondAllLarge_ : firstAllLarge_;
}

const SectorBytes* SectorScan::KeptSector(std::uint32_t index) const
{
    for (const auto& [keptIndex, bytes] : kept_) {
        if (keptIndex == index)
            return &bytes;
    }
    return nullptr;
}

std::uint32_t CountFatLikeSectors(SectorFile& file)
{
    return SectorScan::Run(file).CountFatLikeSectors();
}

std::int32_t FindFatSector(SectorFile& file, std::int32_t n, bool skipFirst)
{
    return SectorScan::Run(file).FindFatSector(n, skipFirst);
}

std::int32_t FindRootDirectorySector(SectorFile& file)
{
    return SectorScan::Run(file).FindRootDirectorySector();
}

}  // namespace tabulon
