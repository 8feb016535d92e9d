// The places that act between two points of the bytes as found, the fixed sectors between them
// keeping their shifts: what every later step of the realign walk decides by (see
// realign_walk.h).
#include <algorithm>
#include <optional>

#include "engine/repair/realign/realign_walk.h"

namespace tabulon::realigning {
namespace {

// A fixed sector that lies between two points, and the shifts it reads under.
using Between = std::vector<std::pair<std::uint32_t, const std::vector<std::int64_t>*>>;

// The places in (at, end], no fixed sector among them, that move the shift from `shift` to
// `target`: the first that may act, taken into `into` (where given). Where more could act than
// do, `open` (where given) takes the choice.
bool PlaceAlong(const Grid& grid, std::uint64_t at, std::int64_t shift, std::uint64_t end, std::int64_t target,
                std::vector<std::uint64_t>* into, std::vector<OpenChoice>* open)
{
    const std::int64_t needed = (target - shift) / grid.step;
    if (needed < 0 || (target - shift) % grid.step != 0 || end < at)
        return false;
    if (needed == 0)
        return true;  // (most records: no place in them acts)
    const std::size_t available = grid.PlacesIn(at, end);
    if (available < static_cast<std::size_t>(needed))
        return false;
    if (into) {
        auto first = std::upper_bound(grid.places.begin(), grid.places.end(), at);
        if (open && available > static_cast<std::size_t>(needed))
            open->push_back({std::vector<std::uint64_t>(first, first + static_cast<std::ptrdiff_t>(available)),
                             static_cast<std::size_t>(needed)});
        for (std::int64_t k = 0; k < needed; ++k)
            into->push_back(*first++);
    }
    return true;
}

// Of the shifts the `i`th sector between reads under, the one furthest along that the places
// before it (from `at`, under `shift`), the sectors after it and the end (`shiftTo`) still allow.
std::optional<std::int64_t> ShiftBetween(
    const Grid& grid, const Between& between, std::size_t i, std::uint64_t at, std::int64_t shift, std::int64_t shiftTo)
{
    const std::int64_t step = grid.step;
    std::int64_t bound = shiftTo;
    for (std::size_t k = i + 1; k < between.size(); ++k)
        if ((between[k].second->back() - bound) * step < 0)
            bound = between[k].second->back();
    std::optional<std::int64_t> chosen;
    for (std::int64_t candidate : *between[i].second) {
        const std::uint64_t start = Grid::SectorAt(between[i].first, candidate);
        if ((candidate - shift) * step < 0 || (candidate - bound) * step > 0 || start < at)
            continue;
        if (grid.PlacesIn(at, start) >= static_cast<std::size_t>((candidate - shift) / step))
            chosen = candidate;
    }
    return chosen;
}

}  // namespace

bool Place(const Grid& grid, const Tables& tables, std::uint64_t from, std::int64_t shiftFrom, std::uint64_t to,
           std::int64_t shiftTo, std::vector<std::uint64_t>* into, std::vector<OpenChoice>* open)
{
    std::uint64_t at = from;
    std::int64_t shift = shiftFrom;
    Between between;
    const auto [near, nearEnd] = tables.FixedNear(from, to);
    for (auto it = near; it != nearEnd; ++it) {
        const auto& [sector, shifts] = *it;
        const std::uint64_t start = Grid::SectorAt(sector, shifts.front());
        if (start > from && start < to)
            between.emplace_back(sector, &shifts);
    }
    for (std::size_t i = 0; i < between.size(); ++i) {
        const std::optional<std::int64_t> chosen = ShiftBetween(grid, between, i, at, shift, shiftTo);
        if (!chosen)
            return false;
        const std::uint64_t start = Grid::SectorAt(between[i].first, *chosen);
        if (!PlaceAlong(grid, at, shift, start, *chosen, into, open))
            return false;
        const auto inside = tables.inside.find(between[i].first);
        if (inside != tables.inside.end() && into)
            into->push_back(inside->second);
        // A place may act at the first byte after it.
        at = start + kSectorSize - (inside != tables.inside.end() ? 1 : 0) - 1;
        shift = tables.After(between[i].first, *chosen);
    }
    return PlaceAlong(grid, at, shift, to, shiftTo, into, open);
}

bool FreePlaces(const Grid& grid, const Tables& tables, std::uint64_t from, std::uint64_t to, std::size_t acting)
{
    std::size_t places = grid.PlacesIn(from, to);
    const auto [near, nearEnd] = tables.FixedNear(from, to);
    for (auto it = near; it != nearEnd; ++it) {
        const auto& [sector, shifts] = *it;
        const std::uint64_t start = Grid::SectorAt(sector, shifts.front());
        if (start <= from || start >= to)
            continue;
        if (shifts.size() != 1)
            return true;
        const bool inside = tables.inside.count(sector) != 0;
        places -= grid.PlacesIn(start, start + kSectorSize - (inside ? 2 : 1));
        if (inside) {
            if (acting == 0)
                return true;
            --acting;
        }
    }
    return acting > 0 && places > acting;
}

}  // namespace tabulon::realigning
