// The one-pass scans and probes against the reference that walks the file once per scan, on
// many generated files and random sectors.
#include <gtest/gtest.h>

#include <random>

#include "engine/cfb/sector_probes.h"
#include "tests/support/generated_files.h"
#include "tests/support/literal_scans.h"
#include "tests/support/sector_builder.h"

namespace tabulon {
namespace {

using test::FileGenerator;
using test::SetEntry;

TEST(Differential, ScansMatchReferenceOnGeneratedFiles)
{
    FileGenerator generator(7);
    const std::int32_t positions[] = {-2, -1, 0, 1, 2, 3, 5, 64, 107, 108, 109, 110, 127, 128, 255, 0x7FFF'FFFF};
    for (int round = 0; round < 800; ++round) {
        MemorySectorFile file(generator.Next());
        const SectorScan scan = SectorScan::Run(file);
        ASSERT_EQ(static_cast<std::int32_t>(scan.CountFatLikeSectors()), literal::CountFatLikeSectors(file)) << round;
        ASSERT_EQ(scan.FindRootDirectorySector(), literal::FindRootDirectorySector(file)) << round;
        for (const std::int32_t n : positions) {
            for (const bool skipFirst : {false, true}) {
                ASSERT_EQ(scan.FindFatSector(n, skipFirst), literal::FindFatSector(file, n, skipFirst))
                    << "round " << round << ", n " << n << ", skipFirst " << skipFirst;
            }
        }
    }
}

TEST(Differential, ProbesMatchReferenceOnRandomSectors)
{
    std::mt19937 random(99);
    for (int round = 0; round < 20000; ++round) {
        SectorBytes sector{};
        // Narrow value ranges make chains, markers and small entries common.
        const std::uint32_t spread = 1u << (random() % 32);
        const std::uint32_t base = random() % 4 == 0 ? 0xFFFF'FFF0u : random() % 1024;
        for (std::size_t j = 0; j < 128; ++j)
            SetEntry(sector, j, random() % 3 == 0 ? base + static_cast<std::uint32_t>(j) : base + static_cast<std::uint32_t>(random() % spread));
        if (random() % 4 == 0)
            sector = test::RootDirectorySector();
        for (int flips = static_cast<int>(random() % 8); flips > 0; --flips)
            sector[random() % 512] = static_cast<std::uint8_t>(random());
        const auto n = static_cast<std::int32_t>(random() % 4 == 0 ? random() : random() % 130);
        ASSERT_EQ(IsFatLikeSector(sector), literal::IsFatLikeSector(sector)) << round;
        ASSERT_EQ(EstimateFatIndex(sector, n), literal::EstimateFatIndex(sector, n)) << round << " n " << n;
        ASSERT_EQ(IsDirectorySector(sector), literal::IsDirectorySector(sector)) << round;
    }
}

}  // namespace
}  // namespace tabulon
