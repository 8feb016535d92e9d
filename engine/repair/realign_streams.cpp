// Which LFs outside the workbook stream's records get their CR back, where more could than did:
// the grid proves how many CRs a stretch lost, the streams its bytes land in say where. A
// macro project's text (its PROJECT stream) ends every line with CR LF; its caches hold binary
// numbers, where an LF is a byte of a number; compressed source code and streams of other
// kinds have lost a CR where the LF follows text.
#include <algorithm>
#include <limits>
#include <string_view>

#include "engine/base/text.h"
#include "engine/biff/vba_container.h"
#include "engine/cfb/compound_reader.h"
#include "engine/io/sector_file.h"
#include "engine/repair/realign_walk.h"

namespace tabulon::realigning {
namespace {

// What the bytes at a place of the new file are, for the CRs that could go there.
enum class Content : std::uint8_t {
    None,   // no stream's (a sector's unused end)
    Lines,  // text whose lines all end with CR LF
    Binary,  // numbers and offsets: an LF there is no line end
    Other,   // as the bytes around the LF look
};

// Larger files hold no macro project worth the look-up, and their choices are many.
constexpr std::size_t kMostFileBytes = 64u << 20;
constexpr std::size_t kMostChoiceWork = 1u << 22;
constexpr std::size_t kMostBuiltBytes = std::size_t{1} << 30;

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

// Where a module's compressed source begins in its stream: after the compiled code, a
// compressed container (a signature byte 1, a chunk header) whose first token group, all
// literal (a zero flags byte), opens with "Attribut" (every module's source opens with its
// "Attribute VB_Name" line). Nothing when the stream holds no such start.
std::optional<std::size_t> SourceStart(const std::vector<std::uint8_t>& stream)
{
    static constexpr std::string_view kOpening("\0Attribut", 9);
    const auto found = std::search(stream.begin(), stream.end(), kOpening.begin(), kOpening.end());
    if (found == stream.end() || found - stream.begin() < 3)
        return std::nullopt;
    return static_cast<std::size_t>(found - stream.begin()) - 3;
}

// A byte of text before an LF (an LF itself is not: of two LFs in a row that lost one CR, the
// first lost it as often as the second, and the compressed source below tells them apart).
bool TextByte(std::uint8_t byte)
{
    return (byte >= 0x20 && byte < 0x7F) || byte == '\t';
}

}  // namespace

void GridWalk::ChooseByStreams()
{
    if (otherChoices_.empty() || b_.size() > kMostFileBytes)
        return;
    std::sort(acted_.begin(), acted_.end());
    const std::optional<Bytes> first = Build(acted_, 0);
    if (!first)
        return;
    ByteViewFile file(*first);
    const std::optional<std::vector<StreamLayout>> layouts = MapCompoundStreams(file);
    if (!layouts)
        return;
    // Each byte of the new file by the content of the stream it lands in.
    std::vector<Content> content(first->size(), Content::None);
    std::vector<Container> containers;
    for (const StreamLayout& layout : *layouts) {
        if (layout.path.empty())
            continue;
        Content kind = KindOf(layout.path);
        // A module of a macro project (a stream beside "dir" in its storage): compiled code,
        // then the source.
        std::optional<std::size_t> source;
        const bool inProject =
            layout.path.size() >= 2 && EqualIgnoringAsciiCase(layout.path[layout.path.size() - 2], u"VBA");
        if (inProject && kind == Content::Other && !EqualIgnoringAsciiCase(layout.path.back(), u"dir")) {
            std::vector<std::uint8_t> bytes;
            for (const auto& [at, length] : layout.runs)
                bytes.insert(bytes.end(), first->begin() + static_cast<std::ptrdiff_t>(at),
                             first->begin() + static_cast<std::ptrdiff_t>(at + length));
            source = SourceStart(bytes);
        }
        if (inProject && (source || EqualIgnoringAsciiCase(layout.path.back(), u"dir")))
            containers.push_back({layout.runs, source.has_value()});
        std::size_t offset = 0;
        for (const auto& [at, length] : layout.runs) {
            for (std::uint32_t k = 0; k < length; ++k, ++offset)
                content[static_cast<std::size_t>(at) + k] = source && offset < *source ? Content::Binary : kind;
        }
    }
    // What a CR before the LF at `place` gains, `before` CRs having gone back ahead of it in the
    // file (the LF then lands `before` + 1 bytes further along).
    const auto gain = [&](std::uint64_t place, std::size_t before) -> int {
        const std::uint64_t lands = place + before + 1;
        switch (lands < content.size() ? content[static_cast<std::size_t>(lands)] : Content::None) {
        case Content::Lines: return 4;
        case Content::Binary: return -2;
        case Content::Other: return TextByte(b_[static_cast<std::size_t>(place - 1)]) ? 1 : -1;
        case Content::None: return 0;
        }
        return 0;
    };
    std::vector<std::uint64_t> acted = acted_;
    std::size_t work = 0;  // of the choices below, all told
    for (const OpenChoice& choice : otherChoices_) {
        const std::size_t n = choice.places.size(), k = choice.acting;
        if (n == 0 || k == 0 || k > n || n * (k + 1) > kMostChoiceWork - work)
            continue;
        work += n * (k + 1);
        // CRs that went back before the stretch (its first place is no acting place yet).
        const auto lower = std::lower_bound(acted.begin(), acted.end(), choice.places.front());
        const std::size_t ahead = static_cast<std::size_t>(lower - acted.begin());
        // best[i][j]: the most the places from i on gain with j CRs left for them.
        constexpr int kNever = std::numeric_limits<int>::min() / 2;
        std::vector<int> best((n + 1) * (k + 1), kNever);
        const auto at = [&](std::size_t i, std::size_t j) -> int& { return best[i * (k + 1) + j]; };
        at(n, 0) = 0;
        for (std::size_t i = n; i-- > 0;) {
            for (std::size_t j = 0; j <= k && j <= n - i; ++j) {
                int value = at(i + 1, j);
                if (j > 0 && at(i + 1, j - 1) != kNever)
                    value = std::max(value, gain(choice.places[i], ahead + (k - j)) + at(i + 1, j - 1));
                at(i, j) = value;
            }
        }
        // The first places take the CRs where the streams cannot tell (as the walk has it).
        std::vector<std::uint64_t> chosen;
        for (std::size_t i = 0, j = k; i < n && j > 0; ++i) {
            if (at(i + 1, j - 1) != kNever && gain(choice.places[i], ahead + (k - j)) + at(i + 1, j - 1) >= at(i + 1, j)) {
                chosen.push_back(choice.places[i]);
                --j;
            }
        }
        if (chosen.size() != k)
            continue;
        std::erase_if(acted, [&](std::uint64_t place) {
            return std::binary_search(choice.places.begin(), choice.places.end(), place);
        });
        acted.insert(acted.end(), chosen.begin(), chosen.end());
        std::sort(acted.begin(), acted.end());
    }
    // A macro project's compressed containers say more than the bytes around an LF: where they
    // do not read whole with the CRs chosen, the CRs that went back into one move among its LFs
    // until it does (when one way does).
    std::size_t built = 0;  // bytes of files built to try ways, all told
    for (const Container& container : containers)
        SettleContainer(container, acted, built);
    acted_ = std::move(acted);
}

// Whether the container reads whole in `file`; a module's source also as its text does: every
// line ending with CR LF.
bool GridWalk::ContainerReads(const Bytes& file, const Container& container) const
{
    Bytes bytes;
    for (const auto& [at, length] : container.runs) {
        if (at + length > file.size())
            return false;
        bytes.insert(bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(at), file.begin() + static_cast<std::ptrdiff_t>(at + length));
    }
    // (A module's source begins where its bytes as they now stand say.)
    const std::optional<std::size_t> start = container.source ? SourceStart(bytes) : std::size_t{0};
    if (!start)
        return false;
    const std::optional<Bytes> text = biff::DecompressVbaContainer(std::span(bytes).subspan(*start));
    if (!text)
        return false;
    if (!container.source)
        return true;
    for (std::size_t i = 0; i < text->size(); ++i) {
        const bool crBefore = i > 0 && (*text)[i - 1] == kCr;
        const bool lfAfter = i + 1 < text->size() && (*text)[i + 1] == kLf;
        if (((*text)[i] == kLf && !crBefore) || ((*text)[i] == kCr && !lfAfter))
            return false;
    }
    return true;
}

void GridWalk::SettleContainer(const Container& container, std::vector<std::uint64_t>& acted, std::size_t& spent) const
{
    // (Each way tried builds the file anew, and the places are gone through once: fewer ways,
    // and fewer containers, for a larger file.)
    if (spent > kMostBuiltBytes)
        return;
    spent += 2 * b_.size();
    std::optional<Bytes> built = Build(acted, 0);
    if (!built || ContainerReads(*built, container))
        return;
    // The places whose LF lands in the container as the CRs stand.
    const auto inside = [&](std::uint64_t lands) {
        return std::any_of(container.runs.begin(), container.runs.end(),
                           [lands](const auto& run) { return lands >= run.first && lands < run.first + run.second; });
    };
    std::vector<std::uint64_t> candidates;
    std::size_t acting = 0;
    for (const std::uint64_t place : places_) {
        const auto before = static_cast<std::size_t>(std::lower_bound(acted.begin(), acted.end(), place) - acted.begin());
        const bool acts = std::binary_search(acted.begin(), acted.end(), place);
        if (!inside(place + before + (acts ? 1 : 0)))
            continue;
        candidates.push_back(place);
        acting += acts ? 1 : 0;
    }
    if (acting == 0 || candidates.size() > kMostContainerPlaces)
        return;
    std::vector<std::uint64_t> others;
    for (const std::uint64_t place : acted)
        if (!std::binary_search(candidates.begin(), candidates.end(), place))
            others.push_back(place);
    std::size_t tried = 0;
    std::optional<std::vector<std::uint64_t>> found;
    ForEachChoice(candidates.size(), acting, [&](const std::vector<std::size_t>& index) {
        if (++tried > kMostContainerTries || spent > kMostBuiltBytes)
            return false;
        spent += b_.size();
        std::vector<std::uint64_t> trial = others;
        for (const std::size_t k : index)
            trial.push_back(candidates[k]);
        std::sort(trial.begin(), trial.end());
        built = Build(trial, 0);
        if (built && ContainerReads(*built, container))
            found = std::move(trial);
        return !found;
    });
    if (found)
        acted = std::move(*found);
}

}  // namespace tabulon::realigning
