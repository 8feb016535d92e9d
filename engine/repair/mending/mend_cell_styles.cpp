// Cell styles (XF records), which cells name by their place in the globals' list: default ones
// made for places that went, and the places of those that survive a hole in the list proven
// again, so that every cell names a style that exists and most keep their own.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/biff/records.h"
#include "engine/repair/mending/mend_parts.h"
#include "engine/repair/mending/mending.h"

namespace tabulon::mending {

using namespace biff;

// Cell styles `from` to `to` of the list, as default ones: the first 15 a style's, the rest a
// cell's, all of them the general number format.
void AppendCellStyles(std::vector<std::uint8_t>& globals, std::size_t from, std::size_t to, bool biff8)
{
    static constexpr std::uint8_t kStyle8[] = {0, 0, 0, 0, 0xf5, 0xff, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xc0, 0x20};
    static constexpr std::uint8_t kCell8[] = {0, 0, 0, 0, 0x01, 0x00, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xc0, 0x20};
    static constexpr std::uint8_t kStyle5[] = {0, 0, 0, 0, 0xf5, 0xff, 0x20, 0, 0xc0, 0x20, 0, 0, 0, 0, 0, 0};
    static constexpr std::uint8_t kCell5[] = {0, 0, 0, 0, 0x01, 0x00, 0x20, 0, 0xc0, 0x20, 0, 0, 0, 0, 0, 0};
    for (std::size_t k = from; k < to; ++k)
        AppendRecord(globals, kXf, k < 15 ? (biff8 ? Bytes(kStyle8) : Bytes(kStyle5)) : (biff8 ? Bytes(kCell8) : Bytes(kCell5)));
}

std::size_t CellStylesNamed(Bytes stream, std::size_t from, bool toItsEnd)
{
    std::size_t named = 0;
    for (std::size_t k = from; k + kHeader + 6 <= stream.size() && Reads(stream, k);) {
        const std::uint16_t type = U16(stream, k);
        if (type == kEof && toItsEnd)
            break;
        const std::size_t length = U16(stream, k + 2);
        if ((type == kNumber || type == kRk || type == kLabelSst || type == kBlank || type == kLabel || type == kRString ||
             type == kBoolErr || type == kFormula) && length >= 6)
            named = std::max<std::size_t>(named, U16(stream, k + kHeader + 4) + 1u);
        // A run's style for each of its cells: a style and a number each (a style alone in
        // a run of blank cells), between the first column and the last.
        const std::size_t step = type == kMulRk ? 6 : type == kMulBlank ? 2 : 0;
        for (std::size_t at = k + kHeader + 4; step > 0 && at + 2 + 2 <= k + kHeader + length; at += step)
            named = std::max<std::size_t>(named, U16(stream, at) + 1u);
        k += kHeader + length;
    }
    return named;
}

// Whether the XF record at `at` is a style's rather than a cell's.
bool StyleXf(Bytes stream, std::size_t at)
{
    return (U16(stream, at + kHeader + 4) & 0x0004) != 0;
}

// How many cell styles (XF records) the globals lost before the first of `xfs` that survive,
// as the survivors prove it: a cell's style names the style it derives from, and the list of
// named styles names theirs (the built-in percent style's shows whole percentages), each of
// them a style's XF, never a cell's. The one count under which every reference that lands on
// a survivor lands on a style of the right kind, and enough of them do, and every style's XF
// that survives has a named style that names it; none when no count or more than one would do.
std::optional<std::size_t> LostCellStyles(Bytes stream, const std::vector<std::size_t>& xfs, const std::vector<std::size_t>& styles)
{
    struct Reference {
        std::size_t index;
        bool percent;  // the built-in percent style: whole percentages
    };
    std::vector<Reference> references;
    std::set<std::size_t> named;  // the places the named styles give their XFs
    for (const std::size_t style : styles)
        named.insert(U16(stream, style + kHeader) & 0x0FFFu);
    for (const std::size_t xf : xfs) {
        const std::size_t parent = U16(stream, xf + kHeader + 4) >> 4;
        if (!StyleXf(stream, xf) && parent != 0xFFF)
            references.push_back({parent, false});
    }
    for (const std::size_t style : styles) {
        const std::uint16_t field = U16(stream, style + kHeader);
        const bool builtIn = (field & 0x8000) != 0 && U16(stream, style + 2) >= 4;
        references.push_back({field & 0x0FFFu, builtIn && stream[style + kHeader + 2] == 5});
    }
    constexpr std::size_t kEnoughLandings = 3;
    constexpr std::size_t kMostXfs = 4050;
    std::optional<std::size_t> found;
    for (std::size_t lost = 0; lost + xfs.size() <= kMostXfs; ++lost) {
        std::size_t landed = 0;
        bool fits = true;
        for (const Reference& reference : references) {
            if (reference.index < lost)
                continue;  // a style that went with the rest
            if (reference.index >= lost + xfs.size()) {
                fits = false;
                break;
            }
            const std::size_t xf = xfs[reference.index - lost];
            fits = StyleXf(stream, xf) && (!reference.percent || U16(stream, xf + kHeader + 2) == 9);
            if (!fits)
                break;
            ++landed;
        }
        // And every style's XF that survives is one a named style names, at its place.
        for (std::size_t k = 0; k < xfs.size() && fits; ++k)
            fits = !StyleXf(stream, xfs[k]) || named.count(lost + k) != 0;
        if (!fits || landed < kEnoughLandings)
            continue;
        if (found)
            return std::nullopt;  // two counts would do: neither is proven
        found = lost;
    }
    return found;
}

namespace {

// The most cell styles a workbook holds.
constexpr std::size_t kMostCellStyles = 4050;

// The globals' cell styles and named styles, where they end, and whether a hole (filler) comes
// right before the first cell style; nothing for an encrypted workbook or one whose globals do
// not end.
struct StyleList {
    std::vector<std::size_t> xfs, styles;
    std::size_t globalsEnd = kNoPlace;
    std::size_t fillerBeforeFirst = kNoPlace;  // where that filler begins
};

std::optional<StyleList> ReadStyleList(Bytes stream)
{
    StyleList list;
    std::size_t filler = kNoPlace;
    for (std::size_t at = 0; at + kHeader <= stream.size() && Reads(stream, at);) {
        const std::uint16_t type = U16(stream, at);
        if (type == kFilePass)
            return std::nullopt;
        if (type == kEof) {
            list.globalsEnd = at;
            return list;
        }
        if (type == kXf && list.xfs.empty())
            list.fillerBeforeFirst = filler;
        if (type == kXf)
            list.xfs.push_back(at);
        else if (type == kStyle)
            list.styles.push_back(at);
        filler = type != kFillerRecord ? kNoPlace : filler == kNoPlace ? at : filler;
        at += kHeader + U16(stream, at + 2);
    }
    return std::nullopt;
}

}  // namespace

void CellStylesTheCellsNameComeBack(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions)
{
    if (stream.size() < kHeader + 4 || U16(stream, 0) != kBof || U16(stream, 2) < 4)
        return;
    const std::optional<StyleList> list = ReadStyleList(stream);
    if (!list || std::none_of(regions.begin(), regions.end(), [&](const MendedRegion& r) { return r.offset < list->globalsEnd; }))
        return;  // (globals as they were written)
    const bool biff8 = U16(stream, kHeader) >= kBiff8Version;
    // Those before the first survivor, where the list lost its start to a hole and the
    // survivors prove how many went; then as many after the last as the cells name.
    std::size_t lost = 0;
    if (list->fillerBeforeFirst != kNoPlace && !list->xfs.empty())
        lost = LostCellStyles(stream, list->xfs, list->styles).value_or(0);
    const std::size_t named = std::min(CellStylesNamed(stream, list->globalsEnd, false), kMostCellStyles);
    const std::size_t have = lost + list->xfs.size();
    if (named > have) {
        const std::size_t after = list->xfs.empty() ? list->globalsEnd : list->xfs.back() + kHeader + U16(stream, list->xfs.back() + 2);
        std::vector<std::uint8_t> more;
        AppendCellStyles(more, have, named, biff8);
        ReplaceInGlobals(stream, regions, regions.size(), after, after, more);
    }
    if (lost == 0)
        return;
    std::vector<std::uint8_t> front;
    AppendCellStyles(front, 0, lost, biff8);
    // Into the hole, at its end, where they fit with room for filler before them or none.
    const std::size_t first = list->xfs.front(), room = first - list->fillerBeforeFirst;
    if (room == front.size() || room >= front.size() + kHeader) {
        if (room > front.size())
            WriteFiller(stream, nullptr, list->fillerBeforeFirst, first - front.size());
        std::copy(front.begin(), front.end(), stream.begin() + static_cast<std::ptrdiff_t>(first - front.size()));
        Cover(regions, first - front.size(), first);
    } else {
        ReplaceInGlobals(stream, regions, regions.size(), first, first, front);
    }
}

}  // namespace tabulon::mending
