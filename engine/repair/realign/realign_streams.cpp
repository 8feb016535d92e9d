// Which LFs outside the workbook stream's records get their CR back, where more could than did:
// the grid proves how many CRs a stretch lost, the streams its bytes land in say where. A
// macro project's text (its PROJECT stream) ends every line with CR LF; its caches hold binary
// numbers, where an LF is a byte of a number; compressed source code and streams of other
// kinds have lost a CR where the LF follows text.
#include <algorithm>
#include <limits>
#include <string_view>

#include "engine/base/text.h"
#include "engine/biff/records.h"
#include "engine/biff/vba_container.h"
#include "engine/cfb/compound_reader.h"
#include "engine/io/sector_file.h"
#include "engine/repair/realign/realign_walk.h"

namespace tabulon::realigning {
namespace {

using View = std::span<const std::uint8_t>;

// What the bytes at a place of the new file are, for the CRs that could go there.
enum class Content : std::uint8_t {
    None,   // no stream's (a sector's unused end)
    Lines,  // text whose lines all end with CR LF
    Binary,  // numbers and offsets: an LF there is no line end
    Other,   // as the bytes around the LF look
    Fixed,   // proved by the structure: no CR moves in or out
};

// Larger files hold no macro project worth the look-up, and their choices are many.
constexpr std::size_t kMostFileBytes = 64u << 20;
constexpr std::size_t kMostChoiceWork = 1u << 22;
constexpr std::size_t kMostReadBytes = std::size_t{256} << 20;
constexpr std::size_t kMostSettledPlaces = 1024;
constexpr std::size_t kMostContainerNodes = std::size_t{1} << 14;

Content KindOf(const std::vector<std::u16string>& path)
{
    const std::u16string& name = path.back();
    if (EqualIgnoringAsciiCase(name, u"PROJECT"))
        return Content::Lines;
    if (EqualIgnoringAsciiCase(name, u"PROJECTwm") || EqualIgnoringAsciiCase(name, u"PROJECTlk") ||
        EqualIgnoringAsciiCase(name, u"_VBA_PROJECT") ||
        (name.size() > 6 && EqualIgnoringAsciiCase(std::u16string_view(name).substr(0, 6), u"__SRP_")))
        return Content::Binary;
    return Content::Other;
}

// A byte of text before an LF (an LF itself is not: of two LFs in a row that lost one CR, the
// first lost it as often as the second, and the compressed source below tells them apart).
bool TextByte(std::uint8_t byte)
{
    return (byte >= 0x20 && byte < 0x7F) || byte == '\t';
}

// A stream of a macro project that holds a compressed container, where it lies in the new
// file: the project's "dir" stream, or (`source`) a module, whose source code (text in
// lines) follows its compiled code.
struct Container {
    std::vector<std::pair<std::uint64_t, std::uint32_t>> runs;
    bool source = false;
};

// The bytes of the new file from `from` on, `length` of them, with a CR put back before each
// place of `acted` (in order): the file need not be built to read one stream of it.
void AppendBytes(View b, const std::vector<std::uint64_t>& acted, std::uint64_t from, std::uint64_t length, Bytes& out)
{
    // The first byte of the bytes as found that lands at `from` or past it: a byte lands its
    // own offset and the CRs put back up to it further along.
    const auto lands = [&](std::uint64_t d) {
        return d + static_cast<std::uint64_t>(std::upper_bound(acted.begin(), acted.end(), d) - acted.begin());
    };
    std::uint64_t lo = from > acted.size() ? from - acted.size() : 0, hi = from;
    while (lo < hi) {
        const std::uint64_t mid = lo + (hi - lo) / 2;
        if (lands(mid) >= from)
            hi = mid;
        else
            lo = mid + 1;
    }
    std::uint64_t d = lo;
    // (The CR before `d`, when it acts, lands right before it: at `from` itself, or before.)
    bool crFirst = std::binary_search(acted.begin(), acted.end(), d) && lands(d) - 1 == from;
    auto next = std::upper_bound(acted.begin(), acted.end(), d);  // the next place past `d` that acts
    std::uint64_t left = length;
    while (left > 0) {
        if (crFirst) {
            out.push_back(kCr);
            crFirst = false;
            --left;
            continue;
        }
        // The bytes as found up to the next place that acts, a run at a time.
        const std::uint64_t end = std::min(next != acted.end() ? *next : ~std::uint64_t{0}, d + left);
        const std::uint64_t stop = std::max(d, std::min<std::uint64_t>(end, b.size()));
        out.insert(out.end(), b.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(d, stop)),
                   b.begin() + static_cast<std::ptrdiff_t>(stop));
        out.insert(out.end(), static_cast<std::size_t>(end - stop), std::uint8_t{0});  // past the bytes' end
        left -= end - d;
        d = end;
        if (next != acted.end() && *next == d) {
            crFirst = true;
            ++next;
        }
    }
}

Bytes StreamBytes(View b, const Container& container, const std::vector<std::uint64_t>& acted)
{
    Bytes bytes;
    for (const auto& [at, length] : container.runs)
        AppendBytes(b, acted, at, length, bytes);
    return bytes;
}

// Each byte of the new file by the content of the stream it lands in, where the fixed bytes
// lie, and the macro project's containers.
struct StreamContents {
    // Marks [at, at + length) as `kind`, within the file.
    void Mark(std::uint64_t at, std::uint64_t length, Content kind)
    {
        const std::uint64_t end = std::min<std::uint64_t>(at + length, content.size());
        const std::uint64_t from = std::min<std::uint64_t>(at, end);
        std::fill(content.begin() + static_cast<std::ptrdiff_t>(from), content.begin() + static_cast<std::ptrdiff_t>(end), kind);
    }
    void Fix(std::uint64_t at, std::uint64_t length)
    {
        Mark(at, length, Content::Fixed);
        fixedStretches.emplace_back(at, at + length);
    }
    // Whether a fixed byte lies in [from, to] (once the stretches are merged).
    bool AnyFixed(std::uint64_t from, std::uint64_t to) const
    {
        const auto after = std::upper_bound(fixedStretches.begin(), fixedStretches.end(), from,
                                            [](std::uint64_t at, const auto& stretch) { return at < stretch.second; });
        return after != fixedStretches.end() && after->first <= to;
    }
    // What the byte that lands at `lands` is.
    Content At(std::uint64_t lands) const { return lands < content.size() ? content[static_cast<std::size_t>(lands)] : Content::None; }

    std::vector<Content> content;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> fixedStretches;  // [from, to)
    std::vector<Container> containers;
};

// Marks one stream of the new file (its runs there) by its kind of content; a module of a macro
// project (a stream beside "dir" in its storage) holds compiled code, then the source.
void MarkStream(View b, const StreamLayout& layout, const std::vector<std::uint64_t>& acted, StreamContents& contents)
{
    if (layout.path.size() == 1 && biff::IsWorkbookStreamName(layout.path.front())) {
        for (const auto& [at, length] : layout.runs)
            contents.Fix(at, length);
        return;
    }
    const Content kind = KindOf(layout.path);
    std::optional<std::size_t> source;
    const bool inProject = layout.path.size() >= 2 && EqualIgnoringAsciiCase(layout.path[layout.path.size() - 2], u"VBA");
    if (inProject && kind == Content::Other && !EqualIgnoringAsciiCase(layout.path.back(), u"dir"))
        source = biff::VbaSourceStart(StreamBytes(b, {layout.runs, true}, acted));
    if (inProject && (source || EqualIgnoringAsciiCase(layout.path.back(), u"dir")))
        contents.containers.push_back({layout.runs, source.has_value()});
    std::size_t offset = 0;
    for (const auto& [at, length] : layout.runs) {
        // (The compiled code before a module's source holds numbers.)
        const std::size_t code = source && offset < *source ? std::min<std::size_t>(*source - offset, length) : 0;
        contents.Mark(at, code, Content::Binary);
        contents.Mark(at + code, length - code, kind);
        offset += length;
    }
}

// The new file's bytes (`size` of them) by their streams' content. What the structure proved
// stands: the header, the table, mini table and directory sectors, and the workbook stream,
// whose records decided the places in it.
StreamContents MapContents(View b, const std::vector<StreamLayout>& layouts, const FixedShifts& fixed,
                           const std::vector<std::uint64_t>& acted, std::size_t size)
{
    StreamContents contents;
    contents.content.assign(size, Content::None);
    for (const StreamLayout& layout : layouts)
        if (!layout.path.empty())
            MarkStream(b, layout, acted, contents);
    contents.Fix(0, kHeaderSize);
    for (const auto& [sector, shifts] : fixed)
        contents.Fix(kSectorSize * (std::uint64_t{sector} + 1), kSectorSize);
    // Where the fixed bytes lie, in order, stretches that meet or overlap made one.
    std::vector<std::pair<std::uint64_t, std::uint64_t>>& stretches = contents.fixedStretches;
    std::sort(stretches.begin(), stretches.end());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> merged;
    for (const auto& stretch : stretches) {
        if (!merged.empty() && stretch.first <= merged.back().second)
            merged.back().second = std::max(merged.back().second, stretch.second);
        else
            merged.push_back(stretch);
    }
    stretches = std::move(merged);
    return contents;
}

// A run of places, one after another, whose bytes in the new file hold nothing fixed however
// their CRs are taken (as many CRs as now, which the fixed bytes after them prove).
struct OpenStretch {
    std::vector<std::uint64_t> places;
    std::size_t acting = 0;
    std::size_t ahead = 0;  // CRs that went back before its first place
};

// The open stretches of the places, `acted` the CRs the walk put back.
std::vector<OpenStretch> OpenStretches(const Grid& grid, const StreamContents& contents, const std::vector<std::uint64_t>& acted)
{
    std::vector<OpenStretch> stretches;
    OpenStretch open;
    const auto close = [&] {
        if (open.acting > 0 && open.acting < open.places.size() &&
            !contents.AnyFixed(open.places.front() + open.ahead, open.places.back() + open.ahead + open.acting))
            stretches.push_back(std::move(open));
        open = OpenStretch();
    };
    const std::vector<Content>& content = contents.content;
    std::size_t ahead = 0;  // of acted, before the place
    std::uint64_t lastLands = 0;
    for (const std::uint64_t place : grid.places) {
        while (ahead < acted.size() && acted[ahead] < place)
            ++ahead;
        const bool acts = ahead < acted.size() && acted[ahead] == place;
        const std::uint64_t lands = place + ahead + (acts ? 1 : 0);
        if (lands >= content.size() || content[static_cast<std::size_t>(lands)] == Content::Fixed ||
            (!open.places.empty() && contents.AnyFixed(lastLands + 1, lands))) {
            close();
            if (lands >= content.size() || content[static_cast<std::size_t>(lands)] == Content::Fixed)
                continue;
        }
        if (open.places.empty())
            open.ahead = ahead;
        open.places.push_back(place);
        open.acting += acts ? 1 : 0;
        lastLands = lands;
    }
    close();
    return stretches;
}

// What a CR before the LF at `place` gains, `before` CRs having gone back ahead of it in the
// file (the LF then lands `before` + 1 bytes further along).
int Gain(View b, const StreamContents& contents, std::uint64_t place, std::size_t before)
{
    const std::uint64_t lands = place + before + 1;
    const std::uint8_t previous = b[static_cast<std::size_t>(place - 1)];
    switch (contents.At(lands)) {
    // (A line's end follows its text, or the line end before it where a line is empty.)
    case Content::Lines: return TextByte(previous) || previous == kLf ? 4 : -1;
    case Content::Binary: return -2;
    case Content::Other: return TextByte(previous) ? 1 : -1;
    case Content::None:
    case Content::Fixed: return 0;
    }
    return 0;
}

// The stretch's places that take its CRs so that they gain the most, the first places taking
// them where the streams cannot tell (as the walk has it); nothing where no way takes them all.
std::optional<std::vector<std::uint64_t>> GainingMost(View b, const StreamContents& contents, const OpenStretch& stretch)
{
    const std::size_t n = stretch.places.size(), k = stretch.acting;
    // best[i][j]: the most the places from i on gain with j CRs left for them.
    constexpr int kNever = std::numeric_limits<int>::min() / 2;
    std::vector<int> best((n + 1) * (k + 1), kNever);
    const auto at = [&](std::size_t i, std::size_t j) -> int& { return best[i * (k + 1) + j]; };
    at(n, 0) = 0;
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t j = 0; j <= k && j <= n - i; ++j) {
            int value = at(i + 1, j);
            if (j > 0 && at(i + 1, j - 1) != kNever)
                value = std::max(value, Gain(b, contents, stretch.places[i], stretch.ahead + (k - j)) + at(i + 1, j - 1));
            at(i, j) = value;
        }
    }
    std::vector<std::uint64_t> chosen;
    for (std::size_t i = 0, j = k; i < n && j > 0; ++i) {
        if (at(i + 1, j - 1) != kNever &&
            Gain(b, contents, stretch.places[i], stretch.ahead + (k - j)) + at(i + 1, j - 1) >= at(i + 1, j)) {
            chosen.push_back(stretch.places[i]);
            --j;
        }
    }
    if (chosen.size() != k)
        return std::nullopt;
    return chosen;
}

// Each open stretch's CRs taken again where the content of the streams its bytes land in gains
// the most (the choices' work bounded, all told).
void ChooseByContent(View b, const StreamContents& contents, const std::vector<OpenStretch>& stretches,
                     std::vector<std::uint64_t>& acted)
{
    std::size_t work = 0;
    for (const OpenStretch& stretch : stretches) {
        const std::size_t n = stretch.places.size(), k = stretch.acting;
        if (n * (k + 1) > kMostChoiceWork - work)
            continue;
        work += n * (k + 1);
        const std::optional<std::vector<std::uint64_t>> chosen = GainingMost(b, contents, stretch);
        if (!chosen)
            continue;
        std::erase_if(acted, [&](std::uint64_t place) {
            return std::binary_search(stretch.places.begin(), stretch.places.end(), place);
        });
        acted.insert(acted.end(), chosen->begin(), chosen->end());
        std::sort(acted.begin(), acted.end());
    }
}

// Of `places`, those whose LF lands in the container's compressed bytes (a module's source,
// where its bytes as they stand say it begins).
std::vector<std::uint64_t> PlacesInSource(View b, const Container& container, const std::vector<std::uint64_t>& places,
                                          const std::vector<std::uint64_t>& acted)
{
    const Bytes bytes = StreamBytes(b, container, acted);
    const std::optional<std::size_t> start = container.source ? biff::VbaSourceStart(bytes) : std::optional<std::size_t>(0);
    std::vector<std::uint64_t> inside;
    if (!start)
        return inside;
    for (const std::uint64_t place : places) {
        const auto before = static_cast<std::uint64_t>(std::lower_bound(acted.begin(), acted.end(), place) - acted.begin());
        const std::uint64_t lands = place + before + (std::binary_search(acted.begin(), acted.end(), place) ? 1 : 0);
        std::size_t offset = 0;
        for (const auto& [at, length] : container.runs) {
            if (lands >= at && lands < at + length) {
                if (offset + (lands - at) >= *start)
                    inside.push_back(place);
                break;
            }
            offset += length;
        }
    }
    return inside;
}

// Whether the container reads in `trial` as far as the bytes before `known` (a place of the new
// file) go; all of it when they are all known. `spent` counts the bytes read.
bool ContainerReads(View b, const Container& container, const std::vector<std::uint64_t>& trial, std::uint64_t known,
                    std::size_t& spent)
{
    const Bytes bytes = StreamBytes(b, container, trial);
    spent += bytes.size();
    std::size_t prefix = 0;  // of the stream, the bytes that lie before `known`
    for (const auto& [at, length] : container.runs) {
        prefix += static_cast<std::size_t>(std::min<std::uint64_t>(length, known > at ? known - at : 0));
        if (known < at + length)
            break;
    }
    const bool whole = prefix >= bytes.size();
    const std::optional<std::size_t> start =
        container.source ? biff::VbaSourceStart(Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(prefix)))
                         : std::optional<std::size_t>(0);
    if (!start)
        return !whole;  // (a module's source not reached yet)
    if (!whole && prefix <= *start)
        return true;
    const std::span<const std::uint8_t> packed = std::span(bytes).subspan(*start);
    const std::optional<Bytes> text =
        whole ? biff::DecompressVbaContainer(packed) : biff::DecompressVbaContainerStart(packed, prefix - *start);
    return text && (!container.source || biff::VbaSourceLines(*text, whole));
}

// Where a container has its CRs in doubt: the stretch's places are decided again in the order
// of the file, a CR put back or not at each (the choice by streams first), the decompression of
// what each container it touches holds so far checked at each step (a wrong choice breaks the
// token groups or the lines within a few bytes), until every one of them reads whole with as
// many CRs as the grid proved for the stretch.
void SettleStretch(View b, const std::vector<std::uint64_t>& places, const std::vector<const Container*>& containers,
                   std::vector<std::uint64_t>& acted, std::size_t& spent)
{
    constexpr std::uint64_t kAll = ~std::uint64_t{0};
    const auto allRead = [&](const std::vector<std::uint64_t>& trial, std::uint64_t known) {
        return std::all_of(containers.begin(), containers.end(),
                           [&](const Container* c) { return ContainerReads(b, *c, trial, known, spent); });
    };
    // (The search below goes one level deeper for each place: a stretch of more is left as it
    // is, whatever the thread's stack.)
    if (places.size() > kMostSettledPlaces || allRead(acted, kAll))
        return;
    std::vector<std::uint64_t> trial;
    std::size_t acting = 0;
    for (const std::uint64_t place : acted) {
        if (std::binary_search(places.begin(), places.end(), place))
            ++acting;
        else
            trial.push_back(place);
    }
    std::size_t nodes = 0;
    // Decides the places from `i` on, `left` CRs for them; `trial` holds the decided ones.
    const auto decide = [&](const auto& self, std::size_t i, std::size_t left) -> bool {
        if (left > places.size() - i || ++nodes > kMostContainerNodes || spent > kMostReadBytes)
            return false;
        // What is known: the bytes before the next place's CR would go.
        const std::uint64_t known =
            i == places.size()
                ? kAll
                : places[i] + static_cast<std::uint64_t>(std::lower_bound(trial.begin(), trial.end(), places[i]) - trial.begin());
        if (!allRead(trial, known))
            return false;
        if (i == places.size())
            return left == 0;
        // The way the streams chose first, then the other.
        const std::uint64_t place = places[i];
        const bool acts = std::binary_search(acted.begin(), acted.end(), place);
        for (const bool put : {acts, !acts}) {
            if (put && left == 0)
                continue;
            if (put)
                trial.insert(std::lower_bound(trial.begin(), trial.end(), place), place);
            if (self(self, i + 1, left - (put ? 1 : 0)))
                return true;
            if (put)
                trial.erase(std::lower_bound(trial.begin(), trial.end(), place));
        }
        return false;
    };
    if (decide(decide, 0, acting))
        acted = std::move(trial);
}

// A macro project's compressed containers say more than the bytes around an LF: where one does
// not read whole with the CRs chosen, the stretch's CRs are taken again, place by place (when a
// way makes every container it touches read). Each container's own places first, as many CRs
// among them as the choice by streams gave it; then, where one still does not read, the
// stretch's places all together.
void SettleByContainers(View b, const std::vector<Container>& containers, const std::vector<OpenStretch>& stretches,
                        std::vector<std::uint64_t>& acted)
{
    std::size_t spent = 0;  // bytes of streams read to try ways, all told
    for (const OpenStretch& stretch : stretches) {
        const std::uint64_t from = stretch.places.front() + stretch.ahead;
        const std::uint64_t to = stretch.places.back() + stretch.ahead + stretch.acting + 1;
        std::vector<const Container*> touched;
        for (const Container& container : containers) {
            if (std::any_of(container.runs.begin(), container.runs.end(),
                            [&](const auto& run) { return run.first < to && from < run.first + run.second; }))
                touched.push_back(&container);
        }
        for (const Container* container : touched) {
            const std::vector<std::uint64_t> own = PlacesInSource(b, *container, stretch.places, acted);
            if (!own.empty())
                SettleStretch(b, own, {container}, acted, spent);
        }
        SettleStretch(b, stretch.places, touched, acted, spent);
    }
}

}  // namespace

void ChooseByStreams(const Grid& grid, const FixedShifts& fixed, std::vector<std::uint64_t>& acted)
{
    if (grid.move != Move::LostCr || acted.empty() || grid.bytes.size() > kMostFileBytes)
        return;
    std::sort(acted.begin(), acted.end());
    const std::optional<Bytes> first = Build(grid, acted, 0);
    if (!first)
        return;
    ByteViewFile file(*first);
    const std::optional<std::vector<StreamLayout>> layouts = MapCompoundStreams(file);
    if (!layouts)
        return;
    const StreamContents contents = MapContents(grid.bytes, *layouts, fixed, acted, first->size());
    const std::vector<OpenStretch> stretches = OpenStretches(grid, contents, acted);
    std::vector<std::uint64_t> chosen = acted;
    ChooseByContent(grid.bytes, contents, stretches, chosen);
    SettleByContainers(grid.bytes, contents.containers, stretches, chosen);
    acted = std::move(chosen);
}

}  // namespace tabulon::realigning
