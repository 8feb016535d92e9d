// A second, deeper rebuild of the header: every derivable field worked out from the file's
// own structure, without reading the damaged header at all.
#pragma once

#include <memory>
#include <optional>
#include <span>

#include "header.h"
#include "sector_file.h"

namespace tabulon {

// The canonical version-3 header for the allocation table, directory, mini allocation table
// and DIFAT found in the file, or nothing when no consistent structure exists. Reads the
// file (never bytes 0 to 511), never writes it. Throws std::system_error when a read fails.
std::optional<HeaderBytes> DeepRebuildHeader(SectorFile& file);

// The deep rebuild's own pass, fed by a caller that already reads every whole sector of the
// file (sectors 0 to N - 2), so that the file is read once for both rebuilds.
class DeepRebuildCollector {
public:
    explicit DeepRebuildCollector(std::uint64_t fileLength);
    ~DeepRebuildCollector();
    DeepRebuildCollector(const DeepRebuildCollector&) = delete;
    DeepRebuildCollector& operator=(const DeepRebuildCollector&) = delete;

    void Examine(std::uint32_t index, std::span<const std::uint8_t, kSectorSize> sector);
    // Finishes the collection (a partial last sector is read here) and rebuilds.
    std::optional<HeaderBytes> Rebuild(SectorFile& file);

private:
    struct Collected;
    std::unique_ptr<Collected> collected_;
};

}  // namespace tabulon
