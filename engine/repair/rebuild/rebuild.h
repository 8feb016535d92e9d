// Rebuilding the header of a version-3 compound file from the file's own sectors: the plain
// rebuild, and a deeper one that does not read the damaged header at all.
#pragma once

#include <compare>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/cfb/header.h"
#include "engine/cfb/sector_probes.h"
#include "engine/io/sector_file.h"

namespace tabulon {

struct HeaderRebuild {
    HeaderBytes before{};  // as read; bytes past the end of a short file read as zero
    HeaderBytes after{};   // as the rebuild writes it
};

// Works out the header that RebuildHeader would write. Reads the file, never writes it.
// Throws std::system_error when a file operation fails, and with std::errc::file_too_large
// for a file of 2^31 bytes or more, before reading anything.
HeaderRebuild PlanHeaderRebuild(SectorFile& file);

// What the rebuild's pass over the file saw, for callers that need it afterwards.
struct ScanFacts {
    std::uint32_t fatLikeSectors = 0;
    std::int32_t rootDirectorySector = -1;
};
// The same, also handing every whole sector to `observer` during the rebuild's one pass.
HeaderRebuild PlanHeaderRebuild(SectorFile& file, const SectorScan::Observer& observer, ScanFacts& facts);

// Rebuilds the header in place. Every other byte of the file stays as it is: the only write
// is the 512-byte header at offset 0, made once and last, so a failure before it leaves the
// file untouched. A file shorter than 512 bytes grows to 512 bytes. The position afterwards
// is 512. Throws as PlanHeaderRebuild does.
HeaderRebuild RebuildHeader(SectorFile& file);

// The deeper rebuild: every derivable field worked out from the file's own structure,
// without reading the damaged header at all.


// At most this many rival headers come out of one deep rebuild.
inline constexpr std::size_t kMaxDeepCandidates = 8;

// The canonical version-3 header for the allocation table, directory, mini allocation table
// and DIFAT found in the file, or nothing when no consistent structure exists. Reads the
// file (never bytes 0 to 511), never writes it. Throws std::system_error when a read fails.
std::optional<HeaderBytes> DeepRebuildHeader(SectorFile& file);

// The deep rebuild's own pass, fed by a caller that already reads every whole sector of the
// file (sectors 0 to N - 2), so that the file is read once for both rebuilds. What it keeps
// is bounded by the file's sector count in bits plus a fixed amount, whatever the sectors
// hold.
class DeepRebuildCollector {
public:
    explicit DeepRebuildCollector(std::uint64_t fileLength);
    ~DeepRebuildCollector();
    DeepRebuildCollector(const DeepRebuildCollector&) = delete;
    DeepRebuildCollector& operator=(const DeepRebuildCollector&) = delete;

    void Examine(std::uint32_t index, std::span<const std::uint8_t, kSectorSize> sector);
    // Finishes the collection (a partial last sector is read here) and rebuilds: every
    // structure the file holds that stands on its own, as headers, the most complete first
    // (every stream fits its chain), then the most recently written (a writer that saves in
    // place puts its new table and directory after the old ones). `evidence`, the damaged
    // header, only adds its own list of table sectors as one more order to try.
    std::vector<HeaderBytes> Rebuild(SectorFile& file, const HeaderBytes* evidence = nullptr);

private:
    struct Collected;
    std::unique_ptr<Collected> collected_;
};

// How far `candidate` agrees with what a damaged header still says: the number of fields
// that locate or count a structure (and of listed table sectors) holding the same value in
// both, where the damaged value is not one a wipe leaves behind (0 or FREESECT).
int HeaderEvidence(const HeaderBytes& candidate, const HeaderBytes& damaged);

// The highest sector a header names for its table, directory, mini table or DIFAT.
std::uint32_t HeaderRecency(const HeaderBytes& header);

// How a header that opens ranks among rivals: the one that agrees with more of the damaged
// header first, then the most recently written. A default rank is below every real one.
struct HeaderRank {
    int evidence = -1;
    std::uint32_t recency = 0;

    static HeaderRank Of(const HeaderBytes& header, const HeaderBytes& damaged)
    {
        return {HeaderEvidence(header, damaged), HeaderRecency(header)};
    }
    auto operator<=>(const HeaderRank&) const = default;
};

}  // namespace tabulon
