#include "engine/repair/realign/realign.h"

#include <algorithm>
#include <functional>
#include <span>

#include "engine/base/byte_order.h"
#include "engine/cfb/consts.h"
#include "engine/cfb/header.h"
#include "engine/repair/realign/realign_grid.h"
#include "engine/repair/workbook/workbook.h"

namespace tabulon {
namespace {

using Bytes = std::vector<std::uint8_t>;
using View = std::span<const std::uint8_t>;
using namespace realigning;

// How far before the signature a wrapper may reach: mail and MacBinary headers, the start of a
// download that kept some other bytes, are far shorter.
constexpr std::uint64_t kLongestWrapper = 64 * 1024;

// The bytes with the CR before every LF taken out, and how many went.
std::pair<Bytes, std::uint64_t> WithoutCrBeforeLf(View bytes)
{
    Bytes out;
    out.reserve(bytes.size());
    std::uint64_t removed = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == kCr && i + 1 < bytes.size() && bytes[i + 1] == kLf) {
            ++removed;
            continue;
        }
        out.push_back(bytes[i]);
    }
    return {std::move(out), removed};
}

// Whether every LF of the bytes has a CR before it, and there is one at least: what a transfer
// that turned each LF into CR LF leaves.
bool EveryLfAfterCr(View bytes)
{
    bool any = false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != kLf)
            continue;
        if (i == 0 || bytes[i - 1] != kCr)
            return false;
        any = true;
    }
    return any;
}

// Where the compound file begins in a file of `length` bytes whose first bytes are `first`
// (kLongestWrapper + 8 of them, or all there are): 0 where the signature starts the file; past
// a wrapper, where the signature follows it with a table long enough for all that follows (a
// compound file embedded in another is followed by the rest of that one); nothing where
// neither is.
std::optional<std::uint64_t> CompoundFileStart(View first, std::uint64_t length)
{
    if (SignatureAt(first, 0))
        return 0;
    const std::size_t reach = std::min<std::size_t>(first.size(), kLongestWrapper + 8);
    for (std::size_t at = 1; at + kHeaderSize <= reach; ++at) {
        if (!SignatureAt(first, at))
            continue;
        const std::uint32_t fatCount = LoadLe32(first.data() + at + kNumFatSectorsOffset);
        const std::uint64_t covered = std::uint64_t{fatCount} * kEntriesPerFatSector * kSectorSize + kHeaderSize;
        if (length - at > covered)
            continue;
        return at;
    }
    return std::nullopt;
}

// The file's bytes past a wrapper: read where the file lends them, else held here.
struct Source {
    View bytes;
    Bytes held;

    // The bytes as a buffer of their own, for a result.
    Bytes Own() { return held.data() == bytes.data() ? std::move(held) : Bytes(bytes.begin(), bytes.end()); }
};

// The undoings of damage past a wrapper, each tried on the bytes after it; `again` gives those
// bytes once more, for the undoings after one that let them go to keep memory low.
std::optional<Realigned> RealignGrid(Source source, RealignNote note, const std::function<Source()>& again)
{
    if (note.Any() && Opens(source.bytes))
        return Realigned{source.Own(), note};
    // Every LF turned into CR LF: each CR before an LF goes, then those the original held come
    // back where the grid and the records say. (A large file is not held twice meanwhile.)
    if (EveryLfAfterCr(source.bytes)) {
        auto [fewer, removed] = WithoutCrBeforeLf(source.bytes);
        source = {};
        if (Opens(fewer)) {
            note.crlfTurnedBack = removed;
            return Realigned{std::move(fewer), note};
        }
        if (std::optional<GridResult> original = PutBackOnGrid(fewer, Move::LostCr); original && Opens(original->bytes)) {
            note.crlfTurnedBack = removed - original->acted;
            note.cellsLeftOut = original->cellsLeftOut;
            return Realigned{std::move(original->bytes), note};
        }
        Bytes().swap(fewer);
        source = again();
    }
    const View bytes = source.bytes;
    // Every CR LF turned into LF: the file is off its grid by the CRs lost.
    if (bytes.size() % kSectorSize != 0) {
        if (std::optional<GridResult> original = PutBackOnGrid(bytes, Move::LostCr, true);
            original && original->acted > 0 && Opens(original->bytes)) {
            note.crRestored = original->acted;
            note.cellsLeftOut = original->cellsLeftOut;
            return Realigned{std::move(original->bytes), note};
        }
    }
    // Clusters of another file stitched in.
    if (bytes.size() >= kHeaderSize + 2 * kClusterSize) {
        if (std::optional<GridResult> original = PutBackOnGrid(bytes, Move::ForeignCluster, true);
            original && original->acted > 0 && Opens(original->bytes)) {
            note.foreignClusters = static_cast<std::uint32_t>(original->acted);
            note.cellsLeftOut = original->cellsLeftOut;
            return Realigned{std::move(original->bytes), note};
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<Realigned> Realign(SectorFile& file, bool knownNotToOpen)
{
    const std::uint64_t length = file.Length();
    if (length > kMaxFileLength || length < kHeaderSize)
        return std::nullopt;
    // Where the compound file begins is told from the first bytes alone: a file with no
    // signature within a wrapper's reach of its start has nothing to put back, and is not read
    // whole to find that out.
    const std::optional<std::uint64_t> start = CompoundFileStart(ReadFileBytes(file, kLongestWrapper + 8), length);
    if (!start)
        return std::nullopt;
    // The file's bytes from `skip` on: where it lends them, a view; else read into memory.
    const auto read = [&file, length](std::uint64_t skip) {
        Source source;
        if (const std::optional<LentBytes> lent = file.Lend(); lent && lent->bytes.size() == length) {
            source.bytes = lent->bytes.subspan(static_cast<std::size_t>(std::min<std::uint64_t>(skip, length)));
            return source;
        }
        source.held = ReadFileBytes(file, length);
        source.held.erase(source.held.begin(),
                          source.held.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(skip, source.held.size())));
        source.bytes = source.held;
        return source;
    };
    Source source = read(0);
    if (!knownNotToOpen && Opens(source.bytes))
        return std::nullopt;
    RealignNote note;
    note.wrapperBytes = *start;
    if (*start > 0) {
        const auto at = static_cast<std::size_t>(std::min<std::uint64_t>(*start, source.bytes.size()));
        if (source.held.empty()) {
            source.bytes = source.bytes.subspan(at);
        } else {
            source.held.erase(source.held.begin(), source.held.begin() + static_cast<std::ptrdiff_t>(at));
            source.bytes = source.held;
        }
    }
    const auto again = [&read, &note] { return read(note.wrapperBytes); };
    return RealignGrid(std::move(source), note, again);
}

}  // namespace tabulon
