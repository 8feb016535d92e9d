// Compound files generated at random for the comparisons of the engine with the reference
// in literal_scans: what the probes and the rebuild are sensitive to (chains, markers, counts
// near the thresholds, root entries, and header fields at and around N) is favoured.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "tests/support/sector_builder.h"

namespace tabulon::test {

class FileGenerator {
public:
    explicit FileGenerator(std::uint32_t seed) : random_(seed) {}

    std::vector<std::uint8_t> Next()
    {
        const std::uint32_t blocks = Pick(4) == 0 ? Uniform(0, 400) : Uniform(0, 40);
        std::vector<std::uint8_t> file;
        const HeaderBytes header = Header(blocks);
        file.insert(file.end(), header.begin(), header.end());
        for (std::uint32_t i = 1; i < blocks; ++i) {
            const SectorBytes sector = Sector(i - 1);
            file.insert(file.end(), sector.begin(), sector.end());
        }
        if (Pick(3) == 0 && !file.empty())
            file.resize(file.size() - Uniform(1, 511));  // short header or partial last block
        else if (Pick(3) == 0)
            file.resize(file.size() + Uniform(1, 511), static_cast<std::uint8_t>(Pick(2) ? 0xFF : 0));
        return file;
    }

private:
    std::uint32_t Uniform(std::uint32_t low, std::uint32_t high)
    {
        return std::uniform_int_distribution<std::uint32_t>(low, high)(random_);
    }
    std::uint32_t Pick(std::uint32_t choices) { return Uniform(0, choices - 1); }

    // A sector index or count of interest for a file of `blocks` blocks.
    std::uint32_t Index(std::uint32_t blocks)
    {
        switch (Pick(7)) {
        case 0: return 0;
        case 1: return 1;
        case 2: return blocks > 0 ? blocks - 1 : 0;
        case 3: return blocks;
        case 4: return blocks + 1;
        case 5: return kFreeSector - Pick(4);
        default: return Uniform(0, blocks + 2);
        }
    }

    HeaderBytes Header(std::uint32_t blocks)
    {
        HeaderBytes header{};
        if (Pick(6) == 0) {
            for (auto& byte : header)
                byte = static_cast<std::uint8_t>(Pick(256));
            return header;
        }
        const std::uint32_t listed = Pick(4) == 0 ? 109 : Uniform(0, 12);
        for (std::uint32_t k = 0; k < 109; ++k)
            SetEntry(reinterpret_cast<SectorBytes&>(header), 19 + k, k < listed ? Index(blocks) : kFreeSector);
        auto set = [&](std::size_t offset, std::uint32_t value) { test::SetHeaderField32(header, offset, value); };
        set(kNumFatSectorsOffset, Pick(3) == 0 ? Index(blocks) : Uniform(0, 4));
        set(kNumMiniFatSectorsOffset, Pick(3) == 0 ? Index(blocks) : Uniform(0, 2));
        set(kFirstMiniFatSectorOffset, Index(blocks));
        set(kFirstDirectorySectorOffset, Index(blocks));
        set(kFirstDifatSectorOffset, Pick(2) ? kEndOfChain : Index(blocks));
        set(kNumDifatSectorsOffset, Uniform(0, 3));
        return header;
    }

    SectorBytes Sector(std::uint32_t index)
    {
        switch (Pick(11)) {
        case 0: return test::DataSector(static_cast<std::uint8_t>(Pick(256)));
        case 1: return SectorBytes{};
        case 2: return test::FilledSector(kFreeSector - Pick(4));
        case 3: return test::ChainSector(Pick(2) ? 128 * index + 1 : Uniform(0, 700));
        case 4: return test::RootDirectorySector();
        case 5: return NearThreshold();
        case 6: return MostlyLarge();
        case 7: {
            SectorBytes sector = test::RootDirectorySector();
            sector[Uniform(0, 511)] = static_cast<std::uint8_t>(Pick(256));
            return sector;
        }
        case 8: {
            SectorBytes sector{};  // directory-like zero sector with a root type
            sector[66] = 5;
            return sector;
        }
        case 9: return Table(Uniform(0, 3));
        default: return test::ChainSector(Uniform(0, 0xFFFF'FFFF));
        }
    }

    // 50 to 60 marked entries, the rest unmarked small or large values.
    SectorBytes NearThreshold()
    {
        SectorBytes sector{};
        const std::uint32_t marks = Uniform(50, 60);
        for (std::uint32_t j = 0; j < 128; ++j)
            SetEntry(sector, j, j < marks ? kEndOfChain : (Pick(2) ? 2 * j + 5 : 1000 + 3 * j));
        return sector;
    }

    // Special values with a few small entries: estimates near 128 large entries.
    SectorBytes MostlyLarge()
    {
        SectorBytes sector = test::FilledSector(kFreeSector);
        const std::uint32_t small = Uniform(0, 6);
        for (std::uint32_t s = 0; s < small; ++s)
            SetEntry(sector, Pick(128), Uniform(0, 511));
        return sector;
    }

    // A plausible allocation-table sector for table position p.
    SectorBytes Table(std::uint32_t p)
    {
        SectorBytes sector{};
        for (std::uint32_t j = 0; j < 128; ++j) {
            const std::uint32_t next = 128 * p + j + 1;
            SetEntry(sector, j, Pick(8) == 0 ? kEndOfChain : (Pick(10) == 0 ? kFreeSector : next));
        }
        return sector;
    }

    std::mt19937 random_;
};

}  // namespace tabulon::test
