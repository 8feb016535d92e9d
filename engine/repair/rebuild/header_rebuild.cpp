#include "engine/repair/rebuild/rebuild.h"

#include <algorithm>
#include <system_error>

#include "engine/base/byte_order.h"
#include "engine/cfb/sector_probes.h"

namespace tabulon {
namespace {

// The largest table position the DIFAT rewrite may follow before it stops.
constexpr std::int32_t kDifatRewriteStop = 128;

std::uint32_t Get(const HeaderBytes& header, std::size_t offset)
{
    return LoadLe32(header.data() + offset);
}

void Set(HeaderBytes& header, std::size_t offset, std::uint32_t value)
{
    StoreLe32(header.data() + offset, value);
}

constexpr std::size_t DifatOffset(std::size_t k)
{
    return kHeaderDifatOffset + 4 * k;
}

}  // namespace

HeaderRebuild PlanHeaderRebuild(SectorFile& file)
{
    ScanFacts ignored;
    return PlanHeaderRebuild(file, {}, ignored);
}

HeaderRebuild PlanHeaderRebuild(SectorFile& file, const SectorScan::Observer& observer, ScanFacts& facts)
{
    const std::uint64_t length = file.Length();
    if (length > kMaxFileLength)
        throw std::system_error(std::make_error_code(std::errc::file_too_large),
                                "a file of 2 GiB or more is not a workbook whose header can be rebuilt");
    const std::uint32_t n = BlockCount(length);

    HeaderRebuild result;
    result.before = ReadBlockAt(file, 0);
    const HeaderBytes& asRead = result.before;
    HeaderBytes& header = result.after;
    header = asRead;

    std::copy(kVersion3HeaderStart.begin(), kVersion3HeaderStart.end(), header.begin());
    Set(header, kTransactionSignatureOffset, 0);
    Set(header, kMiniStreamCutoffOffset, kMiniStreamCutoff);
    if (Get(header, kFirstDifatSectorOffset) == kEndOfChain)
        Set(header, kNumDifatSectorsOffset, 0);

    const std::uint32_t sumRead = Get(asRead, kNumFatSectorsOffset) + Get(asRead, kNumMiniFatSectorsOffset);

    // Leading DIFAT entries in use: the table has at least that many sectors.
    if (Get(asRead, DifatOffset(0)) != kFreeSector) {
        std::uint32_t listed = 0;
        while (listed < kHeaderDifatEntries && Get(asRead, DifatOffset(listed)) != kFreeSector)
            ++listed;
        if (Get(header, kNumFatSectorsOffset) < listed)
            Set(header, kNumFatSectorsOffset, listed);
    }

    // Sector indices the header names directly, each replaced first when it lies beyond N.
    if (Get(header, DifatOffset(0)) > n)
        Set(header, DifatOffset(0), 0);
    if (Get(header, kFirstMiniFatSectorOffset) > n)
        Set(header, kFirstMiniFatSectorOffset, 1);
    if (Get(header, kFirstDirectorySectorOffset) > n)
        Set(header, kFirstDirectorySectorOffset, 0);
    const std::uint32_t firstFat = Get(header, DifatOffset(0));
    const std::uint32_t firstMiniFat = Get(header, kFirstMiniFatSectorOffset);
    const std::uint32_t firstDirectory = Get(header, kFirstDirectorySectorOffset);

    // One pass answers every scan and keeps the three named sectors; a named sector that is
    // not a whole sector (N - 1 or N) is read on its own, zero-filled.
    const std::array<std::uint32_t, 3> named = {firstFat, firstMiniFat, firstDirectory};
    const SectorScan scan = SectorScan::Run(file, named, observer);
    facts.fatLikeSectors = scan.CountFatLikeSectors();
    facts.rootDirectorySector = scan.FindRootDirectorySector();
    auto namedSector = [&](std::uint32_t index) {
        if (const SectorBytes* kept = scan.KeptSector(index))
            return *kept;
        return ReadSector(file, index);
    };
    const std::uint32_t fatLike = scan.CountFatLikeSectors();

    // The allocation table's first sector: when the sector the header names does not look
    // like it, search every listed position again.
    std::uint32_t rewritten = 0;
    const SectorBytes fatCandidate = namedSector(firstFat);
    if (!IsFatLikeSector(fatCandidate) && EstimateFatIndex(fatCandidate, 0) != 1) {
        std::int32_t last = scan.FindFatSector(0, false);
        Set(header, DifatOffset(0), static_cast<std::uint32_t>(last));
        rewritten = 1;
        for (std::uint32_t k = 1; k < kHeaderDifatEntries; ++k) {
            if (Get(asRead, DifatOffset(k)) == kFreeSector || last >= kDifatRewriteStop)
                break;
            last = scan.FindFatSector(static_cast<std::int32_t>(k), false);
            Set(header, DifatOffset(k), static_cast<std::uint32_t>(last));
            rewritten = k + 1;
        }
    }

    if (sumRead != fatLike && Get(header, kNumFatSectorsOffset) < rewritten)
        Set(header, kNumFatSectorsOffset, rewritten);
    Set(header, kNumMiniFatSectorsOffset, fatLike - Get(header, kNumFatSectorsOffset));

    if (!IsFatLikeSector(namedSector(firstMiniFat)))
        Set(header, kFirstMiniFatSectorOffset, static_cast<std::uint32_t>(scan.FindFatSector(0, true)));

    const SectorBytes directory = namedSector(firstDirectory);
    if (!IsDirectorySector(directory) || directory[kEntryObjectTypeOffset] != kObjectTypeRootStorage)
        Set(header, kFirstDirectorySectorOffset, static_cast<std::uint32_t>(scan.FindRootDirectorySector()));

    return result;
}

HeaderRebuild RebuildHeader(SectorFile& file)
{
    HeaderRebuild result = PlanHeaderRebuild(file);
    file.Seek(0);
    file.Write(result.after);
    return result;
}

}  // namespace tabulon
