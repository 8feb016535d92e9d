// Which places acted in the string table's records, where more could than did: the table read
// again, whole, once the realign walk is through, decides (see realign_walk.h).
#include <algorithm>
#include <span>
#include <string>

#include "engine/base/byte_order.h"
#include "engine/biff/records.h"
#include "engine/biff/strings.h"
#include "engine/repair/realign/realign_walk.h"
#include "engine/repair/workbook/workbook.h"

namespace tabulon::realigning {
namespace {

// The strings of the workbook `bytes` hold, where its string table reads whole
// (StringTableReadsWhole); nothing where it does not.
std::optional<std::vector<std::u16string>> StringTableStrings(const Bytes& bytes)
{
    ByteViewFile file(bytes);
    const std::optional<Bytes> stream = ReadWorkbookStream(file);
    if (!stream)
        return std::nullopt;
    std::vector<std::span<const std::uint8_t>> bodies;
    for (const BiffRecord& record : ListRecords(*stream)) {
        if (bodies.empty() ? record.type != biff::kSst : record.type != biff::kContinue) {
            if (bodies.empty())
                continue;
            break;
        }
        bodies.push_back(RecordBody(*stream, record));
    }
    if (bodies.empty() || bodies.front().size() < 8 || !StringTableReadsWhole(bodies))
        return std::nullopt;
    const std::uint32_t count = LoadLe32(bodies.front().data() + 4);
    return ReadTableStrings(std::move(bodies), 8, count);
}

// The ways of taking the string table's choices, tried one after another (kMostWays at most):
// the first after which the table reads whole, and where the others that read whole differ
// from it.
class StringWays {
public:
    StringWays(const Grid& grid, const std::vector<OpenChoice>& choices, std::vector<std::uint64_t> fixed, std::int64_t shift)
        : grid_(grid)
        , choices_(choices)
        , fixed_(std::move(fixed))
        , shift_(shift)
    {
    }

    // Tries each way of taking the choices from `choice` on, those before it taken as `picked_`.
    void TryFrom(std::size_t choice)
    {
        if (!settled_)
            return;
        if (choice == choices_.size()) {
            TryWay();
            return;
        }
        const OpenChoice& open = choices_[choice];
        ForEachChoice(open.places.size(), open.acting, [&](const std::vector<std::size_t>& index) {
            const std::size_t before = picked_.size();
            for (std::size_t k : index)
                picked_.push_back(open.places[k]);
            TryFrom(choice + 1);
            picked_.resize(before);
            return settled_;
        });
    }

    // What the ways tried settle: nothing where too many ways, or ways whose tables differ in
    // their counts of strings, were tried; else the first that read whole, if one did.
    std::optional<SettledStrings> TakeSettled()
    {
        if (!settled_ || !found_)
            return std::nullopt;
        SettledStrings settled;
        settled.acted = std::move(*found_);
        for (std::size_t k = 0; k < doubtful_.size(); ++k)
            if (doubtful_[k])
                settled.doubtful.push_back(static_cast<std::uint32_t>(k));
        return settled;
    }

private:
    static constexpr int kMostWays = 64;

    // The file built with the places picked: the first way that reads whole stands, and what
    // differs between it and another that does is in doubt.
    void TryWay()
    {
        if (++ways_ > kMostWays) {
            settled_ = false;
            return;
        }
        std::vector<std::uint64_t> acted = fixed_;
        acted.insert(acted.end(), picked_.begin(), picked_.end());
        std::sort(acted.begin(), acted.end());
        const std::optional<Bytes> bytes = Build(grid_, acted, shift_);
        std::optional<std::vector<std::u16string>> strings = bytes ? StringTableStrings(*bytes) : std::nullopt;
        if (!strings)
            return;
        if (!found_) {
            found_ = std::move(acted);
            foundStrings_ = std::move(*strings);
            doubtful_.assign(foundStrings_.size(), false);
            return;
        }
        if (strings->size() != foundStrings_.size()) {
            settled_ = false;
            return;
        }
        for (std::size_t k = 0; k < foundStrings_.size(); ++k)
            doubtful_[k] = doubtful_[k] || (*strings)[k] != foundStrings_[k];
    }

    const Grid& grid_;
    const std::vector<OpenChoice>& choices_;
    const std::vector<std::uint64_t> fixed_;  // the places no choice holds
    const std::int64_t shift_;
    std::vector<std::uint64_t> picked_;
    std::optional<std::vector<std::uint64_t>> found_;
    std::vector<std::u16string> foundStrings_;
    std::vector<bool> doubtful_;
    int ways_ = 0;
    bool settled_ = true;
};

}  // namespace

std::optional<SettledStrings> SettleStringChoices(
    const Grid& grid, const std::vector<std::uint64_t>& acted, const std::vector<OpenChoice>& choices, std::int64_t shift)
{
    std::vector<std::uint64_t> fixed;
    for (std::uint64_t at : acted) {
        const bool open = std::any_of(choices.begin(), choices.end(), [at](const OpenChoice& choice) {
            return std::binary_search(choice.places.begin(), choice.places.end(), at);
        });
        if (!open)
            fixed.push_back(at);
    }
    StringWays ways(grid, choices, std::move(fixed), shift);
    ways.TryFrom(0);
    return ways.TakeSettled();
}

}  // namespace tabulon::realigning
