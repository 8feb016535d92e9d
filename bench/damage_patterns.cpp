#include "damage_patterns.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <set>
#include <utility>

#include "tests/support/workbooks.h"

namespace tabulon::bench {

const PatternInfo* FindPattern(std::string_view id)
{
    const auto found = std::find_if(std::begin(kPatterns), std::end(kPatterns), [&](const PatternInfo& p) { return id == p.id; });
    return found == std::end(kPatterns) ? nullptr : &*found;
}

std::mt19937 CaseRandom(std::string_view fileName, int seed, const PatternInfo& pattern)
{
    std::uint32_t nameSeed = 2166136261u;
    for (char c : fileName)
        nameSeed = (nameSeed ^ static_cast<std::uint8_t>(c)) * 16777619u;
    return std::mt19937(static_cast<unsigned>((static_cast<std::uint32_t>(seed) * 7919 + nameSeed) * 31 + pattern.salt));
}

std::optional<Bytes> Damage(const Bytes& original, const CompoundLayout& layout, Pattern pattern, std::mt19937& random)
{
    Bytes damaged = original;
    auto zero = [&](std::uint64_t from, std::uint64_t length) {
        const std::uint64_t to = std::min<std::uint64_t>(from + length, damaged.size());
        std::fill(damaged.begin() + static_cast<std::ptrdiff_t>(from), damaged.begin() + static_cast<std::ptrdiff_t>(to), 0);
    };
    switch (pattern) {
    case Pattern::HeaderWiped:
    case Pattern::HeaderGarbled: {
        // As the damaged-header run does it: "wiped" and "noise" over all 512 bytes.
        const std::string_view name = pattern == Pattern::HeaderWiped ? "wiped" : "noise";
        for (const tabulon::test::HeaderDamage& damage : tabulon::test::kHeaderDamages)
            if (damage.name == name)
                damage.Apply(damaged, random);
        break;
    }
    case Pattern::FirstTableSector:
        if (layout.tableSectors.empty())
            return std::nullopt;
        zero(SectorOffset(layout.tableSectors.front()), 512);
        break;
    case Pattern::TableSector:
        if (layout.tableSectors.empty())
            return std::nullopt;
        zero(SectorOffset(layout.tableSectors[random() % layout.tableSectors.size()]), 512);
        break;
    case Pattern::FirstDirectorySector:
        if (layout.directorySectors.empty())
            return std::nullopt;
        zero(SectorOffset(layout.directorySectors.front()), 512);
        break;
    case Pattern::DirectorySector:
        if (layout.directorySectors.empty())
            return std::nullopt;
        zero(SectorOffset(layout.directorySectors[random() % layout.directorySectors.size()]), 512);
        break;
    case Pattern::Block: {
        const std::size_t blocks = (original.size() - 1) / 4096;  // whole or partial blocks after the first
        if (blocks == 0)
            return std::nullopt;
        zero(4096 * (1 + random() % blocks), 4096);
        break;
    }
    case Pattern::BitFlips: {
        std::set<std::pair<std::size_t, int>> flips;
        while (flips.size() < 16)
            flips.emplace(512 + random() % (original.size() - 512), static_cast<int>(random() % 8));
        for (const auto& [at, bit] : flips)
            damaged[at] ^= static_cast<std::uint8_t>(1u << bit);
        break;
    }
    case Pattern::Truncated: {
        const std::size_t least = original.size() - original.size() / 4;
        damaged.resize(least + random() % (original.size() - least));
        break;
    }
    case Pattern::FirstBlock:
        if (original.size() <= 4096)
            return std::nullopt;
        zero(0, 4096);
        break;
    case Pattern::LfToCrLf: {
        // A text-mode transfer to a system with CR LF line ends: an LF that a CR already
        // precedes stays as it is.
        if (std::find(original.begin(), original.end(), 0x0A) == original.end())
            return std::nullopt;
        damaged.clear();
        for (std::size_t i = 0; i < original.size(); ++i) {
            if (original[i] == 0x0A && (i == 0 || original[i - 1] != 0x0D))
                damaged.push_back(0x0D);
            damaged.push_back(original[i]);
        }
        break;
    }
    case Pattern::CrLfToLf: {
        // The other way: only workbooks that hold a CR LF change.
        damaged.clear();
        for (std::size_t i = 0; i < original.size(); ++i)
            if (!(original[i] == 0x0D && i + 1 < original.size() && original[i + 1] == 0x0A))
                damaged.push_back(original[i]);
        if (damaged.size() == original.size())
            return std::nullopt;
        break;
    }
    case Pattern::Wrapper: {
        Bytes wrapper(128);
        for (std::uint8_t& byte : wrapper)
            byte = static_cast<std::uint8_t>(random());
        damaged.insert(damaged.begin(), wrapper.begin(), wrapper.end());
        break;
    }
    case Pattern::ForeignClusters: {
        // Two clusters of another file at 4 KiB boundaries of the workbook past its first 4 KiB:
        // random bytes, or lines of text.
        const std::size_t blocks = (original.size() - 1) / 4096;
        if (blocks == 0)
            return std::nullopt;
        std::size_t places[2] = {1 + random() % blocks, 1 + random() % blocks};
        std::sort(std::begin(places), std::end(places));
        for (int k = 1; k >= 0; --k) {
            Bytes cluster(4096);
            const bool text = random() % 2 == 0;
            for (std::uint8_t& byte : cluster) {
                const auto r = random();
                byte = static_cast<std::uint8_t>(!text ? r : r % 40 == 0 ? 0x0A : 0x20 + r % 95);
            }
            damaged.insert(damaged.begin() + static_cast<std::ptrdiff_t>(places[k] * 4096), cluster.begin(), cluster.end());
        }
        break;
    }
    case Pattern::ThreeSectors: {
        const std::size_t sectors = (original.size() - 512) / 512;
        if (sectors < 3)
            return std::nullopt;
        std::set<std::size_t> chosen;
        while (chosen.size() < 3)
            chosen.insert(random() % sectors);
        for (std::size_t sector : chosen)
            zero(512 * (sector + 1), 512);
        break;
    }
    case Pattern::HeaderAndBlock: {
        const std::size_t blocks = (original.size() - 1) / 4096;
        if (blocks == 0)
            return std::nullopt;
        zero(0, 512);
        zero(4096 * (1 + random() % blocks), 4096);
        break;
    }
    }
    return damaged;
}

std::vector<bool> DestroyedBytes(const Bytes& original, const Bytes& damaged, Pattern pattern)
{
    std::vector<bool> destroyed(original.size(), false);
    switch (pattern) {
    case Pattern::LfToCrLf:
    case Pattern::Wrapper:
    case Pattern::ForeignClusters:
        break;  // every byte of the original is still there, moved
    case Pattern::CrLfToLf:
        for (std::size_t i = 0; i + 1 < original.size(); ++i)
            destroyed[i] = original[i] == 0x0D && original[i + 1] == 0x0A;
        break;
    default:  // in place, or cut off the end
        for (std::size_t i = 0; i < original.size(); ++i)
            destroyed[i] = i >= damaged.size() || damaged[i] != original[i];
        break;
    }
    return destroyed;
}

}  // namespace tabulon::bench
