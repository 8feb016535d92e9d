#include "engine/repair/record_mend.h"

#include <algorithm>
#include <bit>
#include <map>
#include <string>
#include <string_view>

#include "engine/biff/biff_cells.h"
#include "engine/biff/pieces.h"
#include "engine/biff/records.h"
#include "engine/base/byte_order.h"

namespace tabulon {
namespace {

using namespace biff;
constexpr std::size_t kHeader = kRecordHeaderSize;
constexpr std::size_t kMaxBody = kMaxRecordBody;
constexpr std::size_t kNoPlace = ~std::size_t{0};

using Bytes = std::span<const std::uint8_t>;

std::uint16_t U16(Bytes stream, std::size_t at)
{
    return LoadLe16(stream.data() + at);
}

bool Known(std::uint16_t type, std::uint16_t length)
{
    return type == kFillerRecord ? length <= kMaxBody : PlausibleRecord(type, length);
}

// Whether a record that reads starts at `at`: a known type of fitting length whose body the
// stream holds, or an unknown type of a possible length followed by a known record.
bool Reads(Bytes stream, std::size_t at)
{
    if (at + kHeader > stream.size())
        return false;
    const std::uint16_t type = U16(stream, at);
    const std::uint16_t length = U16(stream, at + 2);
    if (at + kHeader + length > stream.size())
        return false;
    if (Known(type, length))
        return true;
    const std::size_t next = at + kHeader + length;
    return type <= kHighestRecordType && length <= kMaxBody && next + kHeader <= stream.size() &&
           next + kHeader + U16(stream, next + 2) <= stream.size() && Known(U16(stream, next), U16(stream, next + 2));
}

// Whether a record of a known type and fitting length, whose body the stream holds, starts at `at`.
bool ReadsKnown(Bytes stream, std::size_t at)
{
    return at + kHeader <= stream.size() && at + kHeader + U16(stream, at + 2) <= stream.size() &&
           Known(U16(stream, at), U16(stream, at + 2));
}

// Whether `count` records of known types follow one another from `at` (fewer when the stream
// or a sheet ends first): where the records are picked up again after damage, bytes that only
// happen to look like records of some unknown type must not do.
bool RunAt(Bytes stream, std::size_t at, int count)
{
    for (int i = 0; i < count; ++i) {
        if (at == stream.size())
            return i > 0;
        if (!ReadsKnown(stream, at))
            return false;
        if (U16(stream, at) == kEof && i > 0)
            return true;
        at += kHeader + U16(stream, at + 2);
    }
    return true;
}

// The first place from `from` on, and before `before`, where three records follow one another.
std::size_t Resync(Bytes stream, std::size_t from, std::size_t before = kNoPlace)
{
    for (std::size_t at = from; at + kHeader <= stream.size() && at < before; ++at) {
        if (RunAt(stream, at, 3))
            return at;
    }
    return kNoPlace;
}

struct Walk {
    std::vector<bool> boundary;  // a record that reads starts here
    std::vector<std::pair<std::size_t, std::size_t>> holes;
    std::size_t end = 0;         // where the records end (the stream's size, or a cut)
    bool cut = false;            // a record runs past the end, or bytes that read as none
    std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> overwritten;  // what the filler went over
};

}  // namespace

namespace {

// A BOF record's version or substream type that no writer uses, one bit away from exactly one
// value that is used: where it lies and what it should be.
std::optional<std::pair<std::size_t, std::uint16_t>> OddBofField(Bytes stream, std::size_t at)
{
    constexpr std::uint16_t kVersions[] = {kBiff5Version, kBiff8Version};
    constexpr std::uint16_t kSubstreams[] = {kGlobalsSubstream, kVbModuleSubstream, kWorksheetSubstream, kChartSubstream, kMacroSubstream, kWorkspaceSubstream};
    if (U16(stream, at) != kBof || U16(stream, at + 2) < 4)
        return std::nullopt;
    auto check = [&](std::size_t field, std::span<const std::uint16_t> used) -> std::optional<std::pair<std::size_t, std::uint16_t>> {
        const std::uint16_t value = U16(stream, field);
        if (std::find(used.begin(), used.end(), value) != used.end())
            return std::nullopt;
        std::optional<std::uint16_t> near;
        for (const std::uint16_t candidate : used) {
            if (std::popcount(static_cast<unsigned>(value ^ candidate)) == 1) {
                if (near)
                    return std::nullopt;
                near = candidate;
            }
        }
        return near ? std::optional(std::pair{field, *near}) : std::nullopt;
    };
    if (auto version = check(at + kHeader, kVersions))
        return version;
    return check(at + kHeader + 2, kSubstreams);
}

std::optional<std::uint64_t> FirstBrokenRecord(std::span<const std::uint8_t> stream)
{
    const std::size_t size = stream.size();
    if (size < 8 || U16(stream, 0) != kBof)
        return 0;
    std::vector<bool> boundary(size + 1, false);
    std::vector<std::uint32_t> sheets;
    bool inGlobals = true;
    bool closed = false;  // the last substream ended with its EOF
    std::size_t at = 0;
    while (at < size) {
        if (!Reads(stream, at)) {
            // Filler after the last sheet's end is no damage.
            if (closed && Resync(stream, at) == kNoPlace)
                break;
            return at;
        }
        boundary[at] = true;
        const std::uint16_t type = U16(stream, at);
        const std::uint16_t length = U16(stream, at + 2);
        if (const auto odd = OddBofField(stream, at))
            return odd->first;
        if (inGlobals && type == kBoundSheet && length >= 4)
            sheets.push_back(LoadLe32(stream.data() + at + kHeader));
        if (type == kEof)
            inGlobals = false;
        closed = type == kEof;
        at += kHeader + length;
    }
    for (const std::uint32_t sheet : sheets) {
        if (sheet >= size || !boundary[sheet] || U16(stream, sheet) != kBof)
            return sheet;
    }
    if (!closed)
        return size;
    return std::nullopt;
}
}  // namespace

namespace {

// Writes filler records over [from, to), at least 4 bytes.
void WriteFiller(std::vector<std::uint8_t>& stream, std::vector<bool>& boundary, std::size_t from, std::size_t to)
{
    while (from < to) {
        const std::size_t room = to - from;
        std::size_t body = std::min(room - kHeader, kMaxBody);
        const std::size_t left = room - kHeader - body;
        if (left > 0 && left < kHeader)
            body -= kHeader - left;  // leave room for one more header
        StoreLe16(stream.data() + from, kFillerRecord);
        StoreLe16(stream.data() + from + 2, static_cast<std::uint16_t>(body));
        std::fill_n(stream.begin() + static_cast<std::ptrdiff_t>(from + kHeader), body, std::uint8_t{0});
        boundary[from] = true;
        from += kHeader + body;
    }
}

void WriteRecord(std::vector<std::uint8_t>& stream, std::size_t at, std::uint16_t type, Bytes body)
{
    StoreLe16(stream.data() + at, type);
    StoreLe16(stream.data() + at + 2, static_cast<std::uint16_t>(body.size()));
    std::copy(body.begin(), body.end(), stream.begin() + static_cast<std::ptrdiff_t>(at + kHeader));
}

// The one change of a single bit in the record's type or length at `at` that makes it and the
// records after it read; nothing when there is none or more than one.
std::optional<std::pair<std::size_t, std::uint16_t>> OneFlippedBit(Bytes stream, std::size_t at)
{
    std::optional<std::pair<std::size_t, std::uint16_t>> found;
    int count = 0;
    const std::uint16_t type = U16(stream, at);
    const std::uint16_t length = U16(stream, at + 2);
    for (int bit = 0; bit < 16 && count < 2; ++bit) {
        const auto flipped = static_cast<std::uint16_t>(1u << bit);
        const std::uint16_t otherLength = length ^ flipped;
        if (Known(type, otherLength) && type != kFillerRecord && at + kHeader + otherLength <= stream.size() &&
            RunAt(stream, at + kHeader + otherLength, 3)) {
            found = {at + 2, otherLength};
            ++count;
        }
        const std::uint16_t otherType = type ^ flipped;
        if (Known(otherType, length) && otherType != kFillerRecord && at + kHeader + length <= stream.size() &&
            RunAt(stream, at + kHeader + length, 3)) {
            found = {at, otherType};
            ++count;
        }
    }
    return count == 1 ? found : std::nullopt;
}

// The record at `at` with one set bit of its length cleared, where records read after it, one
// after another, past `broken` (where the longer length led): the shortest such length,
// which keeps the most of what the longer one swallowed.
std::optional<std::uint16_t> ShorterByOneBit(Bytes stream, std::size_t at, std::size_t broken)
{
    const std::uint16_t type = U16(stream, at);
    const std::uint16_t length = U16(stream, at + 2);
    // Records read one after another up to `broken`, or up to a sheet's end after which no
    // records follow before it (padding).
    auto readsPast = [&](std::size_t from) {
        bool ended = false;
        while (from < broken && Reads(stream, from)) {
            ended = U16(stream, from) == kEof;
            from += kHeader + U16(stream, from + 2);
        }
        return from >= broken || (ended && Resync(stream, from, broken) == kNoPlace);
    };
    std::optional<std::uint16_t> shortest;
    for (int bit = 0; bit < 16; ++bit) {
        const auto other = static_cast<std::uint16_t>(length & ~(1u << bit));
        if (other != length && type != kFillerRecord && Known(type, other) && RunAt(stream, at + kHeader + other, 3) &&
            readsPast(at + kHeader + other) && (!shortest || other < *shortest))
            shortest = other;
    }
    return shortest;
}

Walk WalkAndFill(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions)
{
    Walk walk;
    walk.boundary.assign(stream.size() + 1, false);
    std::size_t at = 0;
    std::size_t previous = kNoPlace;
    bool afterEof = false;
    while (at < stream.size()) {
        if (Reads(stream, at)) {
            walk.boundary[at] = true;
            afterEof = U16(stream, at) == kEof;
            if (const auto odd = OddBofField(stream, at)) {
                StoreLe16(stream.data() + odd->first, odd->second);
                regions.push_back({MendedRegion::Kind::Replaced, odd->first, 2, -1});
            }
            if (U16(stream, at) == kFillerRecord) {
                // Filler written earlier (over globals that were rebuilt) is room as well.
                const std::size_t end = at + kHeader + U16(stream, at + 2);
                if (!walk.holes.empty() && walk.holes.back().second == at)
                    walk.holes.back().second = end;
                else
                    walk.holes.emplace_back(at, end);
            }
            previous = at;
            at += kHeader + U16(stream, at + 2);
            continue;
        }
        const std::size_t next = at + kHeader <= stream.size() ? Resync(stream, at + 1) : kNoPlace;
        // A length grown by a flipped bit reads as well, but swallows the records after it and
        // leads here, where nothing reads (or past the end): the record before gets the one
        // shorter length a bit away after which records read. (A shorter length than the
        // record's would land inside it, which a hole right after a record cannot be told
        // from.) Bytes after the last sheet's end are no such place.
        if (previous != kNoPlace && !(next == kNoPlace && afterEof)) {
            if (const auto shorter = ShorterByOneBit(stream, previous, at)) {
                StoreLe16(stream.data() + previous + 2, *shorter);
                regions.push_back({MendedRegion::Kind::Replaced, previous + 2, 2, -1});
                at = previous;
                previous = kNoPlace;
                continue;
            }
        }
        if (next == kNoPlace) {
            // Nothing reads from here on: filler after the last sheet's end, or a cut.
            walk.cut = !afterEof;
            walk.end = at;
            return walk;
        }
        if (const auto fix = OneFlippedBit(stream, at)) {
            StoreLe16(stream.data() + fix->first, fix->second);
            regions.push_back({MendedRegion::Kind::Replaced, fix->first, 2, -1});
            continue;
        }
        std::size_t from = at;
        if (next - from < kHeader && previous != kNoPlace) {
            from = previous;  // too little room for a header: the record before goes too
            walk.boundary[previous] = false;
        }
        if (next - from < kHeader) {
            walk.cut = true;
            walk.end = at;
            return walk;
        }
        walk.overwritten.emplace_back(from, std::vector<std::uint8_t>(stream.begin() + static_cast<std::ptrdiff_t>(from),
                                                                     stream.begin() + static_cast<std::ptrdiff_t>(next)));
        WriteFiller(stream, walk.boundary, from, next);
        if (!walk.holes.empty() && walk.holes.back().second >= from)
            walk.holes.back() = {std::min(walk.holes.back().first, from), next};
        else
            walk.holes.emplace_back(from, next);
        regions.push_back({MendedRegion::Kind::Replaced, from, next - from, -1});
        afterEof = false;
        at = next;
    }
    walk.end = stream.size();
    return walk;
}

}  // namespace

namespace {

void Append(std::vector<std::uint8_t>& out, std::uint16_t type, Bytes body)
{
    const std::size_t at = out.size();
    out.resize(at + kHeader + body.size());
    WriteRecord(out, at, type, body);
}

// Bytes written as pairs of hexadecimal digits; blanks are for reading only.
std::vector<std::uint8_t> Hex(std::string_view text)
{
    auto digit = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (const char c : text) {
        if (c == ' ')
            continue;
        if (high < 0) {
            high = digit(c);
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + digit(c)));
            high = -1;
        }
    }
    return bytes;
}

// Records only a sheet holds: cells, rows, the sheet's dimensions, window and row index.
bool IsSheetRecord(std::uint16_t type)
{
    return IsCellRecord(type) || type == 0x0208 || type == 0x0200 || type == 0x023E || type == 0x00D7 ||
           type == 0x020B;
}

// Records only the workbook's globals hold: the list of sheets, shared strings, fonts, cell
// styles, formats, names, external references, code page, country, palette, drawings.
bool IsGlobalsRecord(std::uint16_t type)
{
    switch (type) {
    case 0x0085: case 0x00FC: case 0x00FF: case 0x0031: case 0x00E0: case 0x041E: case 0x0293:
    case 0x0018: case 0x0017: case 0x01AE: case 0x0042: case 0x008C: case 0x0092: case 0x00EB:
        return true;
    default:
        return false;
    }
}

// A name for a sheet whose entry in the list was lost: "Sheet" and the lowest number that no
// entry of the list (`entries`, where their records start) and none of `taken` has.
std::string UnusedSheetName(Bytes stream, const std::vector<std::size_t>& entries, bool biff8, const std::vector<std::string>& taken)
{
    for (int number = 1;; ++number) {
        const std::string candidate = "Sheet" + std::to_string(number);
        bool used = std::find(taken.begin(), taken.end(), candidate) != taken.end();
        for (const std::size_t entry : entries) {
            if (U16(stream, entry + 2) < 8)
                continue;  // too short to hold a name
            const std::size_t body = entry + kHeader;
            const std::size_t length = stream[body + 6];
            const std::size_t chars = body + (biff8 ? 8 : 7);
            used = used || (length == candidate.size() && chars + length <= stream.size() &&
                            std::equal(candidate.begin(), candidate.end(), stream.begin() + static_cast<std::ptrdiff_t>(chars)));
        }
        if (!used)
            return candidate;
    }
}

// The body of a list entry for a visible worksheet that starts at `offset`.
std::vector<std::uint8_t> SheetEntry(std::size_t offset, std::u16string_view name, bool biff8)
{
    name = name.substr(0, 31);  // the longest name a sheet may have
    std::vector<std::uint8_t> body(4, 0);
    StoreLe32(body.data(), static_cast<std::uint32_t>(offset));
    body.push_back(0);  // visible
    body.push_back(0);  // a worksheet
    body.push_back(static_cast<std::uint8_t>(name.size()));
    const bool wide = biff8 && std::any_of(name.begin(), name.end(), [](char16_t c) { return c > 0xFF; });
    if (biff8)
        body.push_back(wide ? 1 : 0);  // two bytes a character, or one
    for (const char16_t c : name) {
        body.push_back(static_cast<std::uint8_t>(c <= 0xFF || wide ? c & 0xFF : '_'));
        if (wide)
            body.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return body;
}

std::u16string Wide(std::string_view ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

// The records a workbook's globals need before its sheets can be shown: code page, window,
// the default fonts, as many cell styles as the cells of `sheets` name, and the normal style.
void AppendFormatting(std::vector<std::uint8_t>& globals, Bytes stream, const std::vector<std::size_t>& sheets, bool biff8)
{
    // The highest cell style the cells use, so that every one they name exists.
    std::size_t styles = 0;
    for (const std::size_t sheet : sheets) {
        for (std::size_t k = sheet; k + kHeader + 6 <= stream.size() && Reads(stream, k);) {
            const std::uint16_t type = U16(stream, k);
            if (type == kEof)
                break;
            if ((type == 0x0203 || type == 0x027E || type == 0x00FD || type == 0x0201 || type == 0x0204 ||
                 type == 0x0205 || type == 0x0006) && U16(stream, k + 2) >= 6)
                styles = std::max<std::size_t>(styles, U16(stream, k + kHeader + 4));
            k += kHeader + U16(stream, k + 2);
        }
    }
    styles = std::min<std::size_t>(std::max<std::size_t>(styles + 1, 16), 4000);
    Append(globals, kCodePage, Hex(biff8 ? "b004" : "e404"));
    Append(globals, kWindow1, Hex("6801 0e01 5c3a be23 3800 0000 0000 0100 5802"));
    const std::vector<std::uint8_t> font =
        biff8 ? Hex("c800 0000 ff7f 9001 0000 0000 0000 0500 4172 6961 6c") : Hex("c800 0000 ff7f 9001 0000 0000 0000 0541 7269 616c");
    for (int k = 0; k < 5; ++k)
        Append(globals, kFont, font);
    const std::vector<std::uint8_t> styleXf =
        biff8 ? Hex("0000 0000 f5ff 2000 0000 0000 0000 0000 0000 c020") : Hex("0000 0000 f5ff 2000 c020 0000 0000 0000");
    const std::vector<std::uint8_t> cellXf =
        biff8 ? Hex("0000 0000 0100 2000 0000 0000 0000 0000 0000 c020") : Hex("0000 0000 0100 2000 c020 0000 0000 0000");
    for (std::size_t k = 0; k < styles; ++k)
        Append(globals, kXf, k < 15 ? styleXf : cellXf);
    Append(globals, kStyle, Hex("0080 00ff"));
}

// The body of a BOF for the globals, made from a sheet's: the version the records have (a
// BIFF5 BOF is 8 bytes long, whatever version some writers put in it), and the globals' type.
std::vector<std::uint8_t> GlobalsBof(Bytes stream, std::size_t sheet, bool& biff8)
{
    std::vector<std::uint8_t> body(stream.begin() + static_cast<std::ptrdiff_t>(sheet + kHeader),
                                   stream.begin() + static_cast<std::ptrdiff_t>(sheet + kHeader + U16(stream, sheet + 2)));
    biff8 = body.size() >= 16 && LoadLe16(body.data()) >= kBiff8Version;
    if (!biff8)
        StoreLe16(body.data(), kBiff5Version);
    StoreLe16(body.data() + 2, kGlobalsSubstream);
    return body;
}

// A record's body as far as it was not wiped, for a record that a hole follows: a wipe that
// began inside it left zeros at its end (one zero may be half of a character, and stays).
Bytes Unwiped(Bytes body)
{
    while (body.size() >= 2 && body[body.size() - 1] == 0 && body[body.size() - 2] == 0)
        body = body.first(body.size() - 1);
    return body;
}

// When the shared-string table lost its start with the globals, or its middle to a hole, what
// survives of it after the damage (its CONTINUE records, in [from, to)) is read again from the
// places the table's index (EXTSST) names, where each bucket's first string begins; `known`
// are the strings read from its start when that survives, and `declared` how many it says
// it holds. The index counts from the stream's old start, which may be gone too: of the
// differences that put buckets in CONTINUE records, the one under which the buckets begin
// with the most strings that read as text stands. The table comes back as long as the index
// says, strings that are gone as empty ones, and the records it was read from become filler.
// Gives the new table's records, or nothing when there is nothing to go by.
std::vector<std::uint8_t> RebuildStringTable(std::vector<std::uint8_t>& stream, std::size_t from, std::size_t to,
                                             std::vector<MendedRegion>& regions, const std::vector<std::u16string>& known = {},
                                             std::size_t declared = 0, std::optional<Bytes> unmended = std::nullopt)
{
    // Strings are read from the bytes as they were found: filler over a hole may have taken
    // the end of a record whose header went.
    const Bytes found = unmended.value_or(Bytes(stream));
    struct Piece {
        std::size_t at;  // a CONTINUE record
        std::size_t run;  // the run of them, one after another, that it belongs to
    };
    std::vector<Piece> pieces;
    std::optional<std::size_t> index;
    std::size_t runs = 0;
    bool inRun = false;
    for (std::size_t at = from; at + kHeader <= to;) {
        if (!Reads(stream, at)) {
            at = Resync(stream, at + 1);
            if (at == kNoPlace)
                break;
            inRun = false;
            continue;
        }
        const std::uint16_t type = U16(stream, at);
        if (type == kSst)
            return {};  // the table's start survives
        if (type == kContinue) {
            runs += inRun ? 0 : 1;
            pieces.push_back({at, runs - 1});
        } else if (type == kExtSst && U16(stream, at + 2) >= 10) {
            index = at;
        }
        inRun = type == kContinue;
        at += kHeader + U16(stream, at + 2);
    }
    if (!index || pieces.empty())
        return {};
    const std::uint8_t* entries = stream.data() + *index + kHeader;
    const std::size_t perBucket = LoadLe16(entries);
    const std::size_t buckets = (U16(stream, *index + 2) - 2u) / 8;
    if (perBucket == 0 || buckets * pieces.size() > (std::size_t{1} << 22))
        return {};
    auto bucketStart = [&](std::size_t k) { return std::int64_t{LoadLe32(entries + 2 + 8 * k)}; };
    auto bucketOffset = [&](std::size_t k) { return std::int64_t{LoadLe16(entries + 6 + 8 * k)}; };
    std::map<std::int64_t, int> votes;
    for (std::size_t k = 0; k < buckets; ++k) {
        for (const Piece& piece : pieces)
            ++votes[bucketStart(k) - bucketOffset(k) - static_cast<std::int64_t>(piece.at)];
    }
    // The strings of bucket k under difference d: from where its first string lies, read
    // through the CONTINUE records of its run. A bucket whose record lost its header with the
    // damage (the table's first, often) is read from its place up to the next record that
    // survives. Nothing when no string starts there.
    std::vector<bool> used(runs, false);
    auto readBucket = [&](std::size_t k, std::int64_t d, bool use) -> std::vector<std::u16string> {
        const std::int64_t at = bucketStart(k) - d;
        const std::int64_t record = at - bucketOffset(k);
        if (at < 0 || record + static_cast<std::int64_t>(kHeader) > at || static_cast<std::size_t>(at) + 3 > to)
            return {};
        const std::size_t position = static_cast<std::size_t>(at);
        if (position + 3 > found.size() || (found[position] | found[position + 1] | found[position + 2]) == 0 ||
            (found[position + 2] & ~0x0D) != 0)
            return {};  // wiped, or no string starts there
        std::vector<Bytes> bodies;
        std::optional<std::size_t> ownRun;  // of the record it lies in, when that survives
        auto next = std::upper_bound(pieces.begin(), pieces.end(), position,
                                     [](std::size_t a, const Piece& p) { return a < p.at; });
        if (next != pieces.begin() && std::prev(next)->at == static_cast<std::size_t>(record)) {
            const auto piece = std::prev(next);
            const std::size_t end = piece->at + kHeader + U16(stream, piece->at + 2);
            if (position >= end)
                return {};
            bodies.emplace_back(found.data() + position, end - position);
            ownRun = piece->run;
            next = piece + 1;
            if (next != pieces.end() && next->run != piece->run)
                next = pieces.end();
        } else {
            if (next == pieces.end() || next->at - position > kMaxBody)
                return {};
            if (next->at > found.size())
                return {};
            bodies.emplace_back(found.data() + position, next->at - position);
        }
        if (next != pieces.end()) {
            const std::size_t run = next->run;
            std::size_t end = 0;  // of the run's last record
            for (auto p = next; p != pieces.end() && p->run == run; ++p) {
                bodies.emplace_back(stream.data() + p->at + kHeader, U16(stream, p->at + 2));
                end = p->at + kHeader + U16(stream, p->at + 2);
            }
            if (end + kHeader <= stream.size() && U16(stream, end) == kFillerRecord)
                bodies.back() = Unwiped(bodies.back());
            if (use)
                used[run] = true;
        }
        if (use && ownRun)
            used[*ownRun] = true;
        return ReadTableStrings(bodies, 0, perBucket);
    };
    // How many strings that read as text (no control characters) each bucket begins with:
    // the right difference reads whole buckets, a wrong one stray bytes.
    auto score = [&](std::int64_t d) {
        std::size_t textual = 0;
        for (std::size_t k = 0; k < buckets; ++k) {
            for (const std::u16string& text : readBucket(k, d, false)) {
                if (std::any_of(text.begin(), text.end(), [](char16_t c) { return c < 0x20 && c != '\t' && c != '\n' && c != '\r'; }))
                    break;
                ++textual;
            }
        }
        return textual;
    };
    std::vector<std::pair<int, std::int64_t>> candidates;
    for (const auto& [d, count] : votes)
        candidates.emplace_back(count, d);
    std::partial_sort(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(8, candidates.size())),
                      candidates.end(), std::greater<>());
    candidates.resize(std::min<std::size_t>(8, candidates.size()));
    std::int64_t best = 0;
    std::size_t bestScore = 0;
    for (const auto& candidate : candidates) {
        const std::size_t textual = score(candidate.second);
        if (textual > bestScore) {
            bestScore = textual;
            best = candidate.second;
        }
    }
    if (bestScore == 0)
        return {};

    std::vector<std::optional<std::u16string>> strings;
    for (std::size_t k = 0; k < buckets; ++k) {
        const std::vector<std::u16string> read = readBucket(k, best, true);
        if (strings.size() < k * perBucket + read.size())
            strings.resize(k * perBucket + read.size());
        for (std::size_t i = 0; i < read.size(); ++i)
            strings[k * perBucket + i] = read[i];
    }
    // As many strings as the cells name, within what the index counts.
    std::size_t named = 0;
    for (std::size_t at = to; at + kHeader + 10 <= stream.size() && Reads(stream, at);) {
        if (U16(stream, at) == kLabelSst && U16(stream, at + 2) == 10)
            named = std::max<std::size_t>(named, std::size_t{LoadLe32(stream.data() + at + kHeader + 6)} + 1);
        at += kHeader + U16(stream, at + 2);
    }
    if (strings.size() < known.size())
        strings.resize(known.size());
    std::copy(known.begin(), known.end(), strings.begin());
    strings.resize(std::max(strings.size(), std::min(named, std::max(buckets * perBucket, declared))));

    // The new table: each string whole in one record where it fits, else its characters go on
    // in the next with a flags byte of their own, as the format has it.
    std::vector<std::uint8_t> records;
    std::vector<std::uint8_t> body(8, 0);
    StoreLe32(body.data(), static_cast<std::uint32_t>(strings.size()));
    StoreLe32(body.data() + 4, static_cast<std::uint32_t>(strings.size()));
    std::uint16_t type = kSst;
    auto flush = [&] {
        Append(records, type, body);
        body.clear();
        type = kContinue;
    };
    for (const std::optional<std::u16string>& text : strings) {
        const std::u16string units = text.value_or(std::u16string());
        const bool wide = std::any_of(units.begin(), units.end(), [](char16_t c) { return c > 0xFF; });
        const std::size_t width = wide ? 2 : 1;
        if (body.size() + 3 + (units.empty() ? 0 : width) > kMaxBody)
            flush();
        body.push_back(static_cast<std::uint8_t>(units.size() & 0xFF));
        body.push_back(static_cast<std::uint8_t>(units.size() >> 8));
        body.push_back(wide ? 1 : 0);
        for (std::size_t i = 0; i < units.size();) {
            if (body.size() + width > kMaxBody) {
                flush();
                body.push_back(wide ? 1 : 0);
            }
            body.push_back(static_cast<std::uint8_t>(units[i] & 0xFF));
            if (wide)
                body.push_back(static_cast<std::uint8_t>(units[i] >> 8));
            ++i;
        }
    }
    flush();

    // What it was read from, and the index, which no longer fits, become filler.
    std::vector<bool> boundary(stream.size() + 1, false);
    auto neutralise = [&](std::size_t at) {
        const std::size_t end = at + kHeader + U16(stream, at + 2);
        WriteFiller(stream, boundary, at, end);
        regions.push_back({MendedRegion::Kind::Replaced, at, end - at, -1});
    };
    for (const Piece& piece : pieces) {
        if (used[piece.run])
            neutralise(piece.at);
    }
    neutralise(*index);
    return records;
}

// When the start of the stream is gone (the globals: fonts, formats, cell styles, the list
// of sheets), the sheets that survive get new globals in front of them: the few fonts and
// cell styles readers need, one entry per sheet in stream order (named by `names` when they
// are enough, else "Sheet1", "Sheet2", ...) and the shared strings that can be read again.
// Where the list survives, only what is missing comes back. The new globals go into the
// destroyed stretch when it has room, so that no offset moves; otherwise the stream is
// written anew behind them. Gives whether there was anything to hold together.
bool RebuildGlobals(std::vector<std::uint8_t>& stream, const std::vector<std::u16string>& names, std::vector<MendedRegion>& regions)
{
    const std::size_t resumed = Resync(stream, 0);
    if (resumed == kNoPlace)
        return false;
    // The sheets: worksheet BOF records at record boundaries from there on.
    std::vector<std::size_t> sheets;
    std::vector<std::size_t> listEntries;  // entries of the list of sheets that survive
    std::size_t at = resumed;
    bool globalsEnded = false;  // an EOF comes before the first sheet
    bool stylesSurvive = false;  // cell styles come before it
    while (at < stream.size()) {
        if (!Reads(stream, at)) {
            const std::size_t next = Resync(stream, at + 1);
            if (next == kNoPlace)
                break;
            at = next;
            continue;
        }
        const std::uint16_t type = U16(stream, at);
        if (type == kBof && U16(stream, at + 2) >= 4 && U16(stream, at + kHeader + 2) == kWorksheetSubstream &&
            (sheets.empty() || (at >= 4 && U16(stream, at - 4) == kEof)))
            sheets.push_back(at);
        if (type == kEof && sheets.empty())
            globalsEnded = true;
        if (type == kBoundSheet && sheets.empty() && !globalsEnded && U16(stream, at + 2) >= 4)
            listEntries.push_back(at);
        if (type == 0x00E0 && sheets.empty())
            stylesSurvive = true;
        at += kHeader + U16(stream, at + 2);
    }
    if (sheets.empty())
        return false;

    if (!listEntries.empty()) {
        // Only the first records went: the globals' BOF comes back. When the stream's first
        // sectors went with them, the list's offsets count bytes that are no longer there: the
        // difference most of the list agrees on. Sheets whose entries went get new ones, right
        // after the BOF (their entries came first when the list lost its start).
        std::map<std::int64_t, int> votes;
        for (const std::size_t entry : listEntries) {
            for (const std::size_t sheet : sheets)
                ++votes[std::int64_t{LoadLe32(stream.data() + entry + kHeader)} - static_cast<std::int64_t>(sheet)];
        }
        const std::int64_t lost =
            std::max_element(votes.begin(), votes.end(), [](const auto& a, const auto& b) { return a.second < b.second; })->first;
        auto leadsTo = [&](std::size_t entry) -> std::optional<std::size_t> {
            const std::int64_t sheet = std::int64_t{LoadLe32(stream.data() + entry + kHeader)} - lost;
            if (std::find(sheets.begin(), sheets.end(), static_cast<std::size_t>(sheet)) == sheets.end())
                return std::nullopt;
            return static_cast<std::size_t>(sheet);
        };
        std::vector<std::size_t> unlisted;
        for (const std::size_t sheet : sheets) {
            if (std::none_of(listEntries.begin(), listEntries.end(), [&](std::size_t entry) { return leadsTo(entry) == sheet; }))
                unlisted.push_back(sheet);
        }
        bool biff8 = false;
        std::vector<std::uint8_t> front;
        Append(front, kBof, GlobalsBof(stream, sheets.front(), biff8));
        if (!stylesSurvive)
            AppendFormatting(front, stream, sheets, biff8);
        std::vector<std::size_t> newEntries;
        std::vector<std::string> newNames;
        for (const std::size_t sheet : unlisted) {
            newNames.push_back(UnusedSheetName(stream, listEntries, biff8, newNames));
            newEntries.push_back(front.size());
            Append(front, kBoundSheet, SheetEntry(sheet, Wide(newNames.back()), biff8));
        }
        const std::size_t tableRegions = regions.size();
        const std::vector<std::uint8_t> table = RebuildStringTable(stream, resumed, sheets.front(), regions);
        const std::size_t tableRegionsEnd = regions.size();
        front.insert(front.end(), table.begin(), table.end());
        std::vector<std::optional<std::size_t>> targets;
        for (const std::size_t entry : listEntries)
            targets.push_back(leadsTo(entry));
        std::size_t shift = 0;
        if (front.size() == resumed || front.size() + kHeader <= resumed) {
            std::copy(front.begin(), front.end(), stream.begin());
            std::vector<bool> boundary(stream.size() + 1, false);
            if (front.size() < resumed)
                WriteFiller(stream, boundary, front.size(), resumed);
            regions.push_back({MendedRegion::Kind::Replaced, 0, resumed, -1});
        } else {
            shift = front.size() - resumed;
            std::vector<std::uint8_t> rebuilt = front;
            rebuilt.insert(rebuilt.end(), stream.begin() + static_cast<std::ptrdiff_t>(resumed), stream.end());
            stream = std::move(rebuilt);
            regions.push_back({MendedRegion::Kind::Replaced, 0, front.size(), -1});
        }
        for (std::size_t i = tableRegions; i < tableRegionsEnd; ++i)
            regions[i].offset += shift;
        for (std::size_t i = 0; i < unlisted.size(); ++i)
            StoreLe32(stream.data() + newEntries[i] + kHeader, static_cast<std::uint32_t>(unlisted[i] + shift));
        for (std::size_t i = 0; i < listEntries.size(); ++i) {
            if (!targets[i])
                continue;  // it led elsewhere; the sheet it names is not found
            const std::size_t entry = listEntries[i] + shift;
            StoreLe32(stream.data() + entry + kHeader, static_cast<std::uint32_t>(*targets[i] + shift));
            if (lost != 0)
                regions.push_back({MendedRegion::Kind::Replaced, entry + kHeader, 4, -1});
        }
        return true;
    }

    bool biff8 = false;
    std::vector<std::uint8_t> globals;
    Append(globals, kBof, GlobalsBof(stream, sheets.front(), biff8));
    AppendFormatting(globals, stream, sheets, biff8);
    // The names the summary lists, when it lists at least as many as were found: the sheets
    // lost with the start came first, and come back empty (their entries lead past the end).
    const std::size_t lostSheets = names.size() >= sheets.size() ? names.size() - sheets.size() : 0;
    for (std::size_t i = 0; i < lostSheets; ++i)
        Append(globals, kBoundSheet, SheetEntry(0xFFFFFFFF, names[i], biff8));
    std::vector<std::size_t> entries;
    for (std::size_t i = 0; i < sheets.size(); ++i) {
        entries.push_back(globals.size());
        const std::u16string name = names.size() >= sheets.size() ? names[lostSheets + i] : Wide("Sheet" + std::to_string(i + 1));
        Append(globals, kBoundSheet, SheetEntry(0, name, biff8));
    }
    const std::size_t tableRegions = regions.size();
    const std::vector<std::uint8_t> table = RebuildStringTable(stream, resumed, sheets.front(), regions);
    const std::size_t tableRegionsEnd = regions.size();
    globals.insert(globals.end(), table.begin(), table.end());
    if (!globalsEnded)
        Append(globals, kEof, {});

    // In place when the destroyed stretch has room; else the stream is written anew.
    std::size_t shift = 0;
    if (globals.size() == resumed || globals.size() + kHeader <= resumed) {
        std::copy(globals.begin(), globals.end(), stream.begin());
        if (globals.size() < resumed) {
            std::vector<bool> boundary(stream.size() + 1, false);
            WriteFiller(stream, boundary, globals.size(), resumed);
        }
        regions.push_back({MendedRegion::Kind::Replaced, 0, resumed, -1});
    } else {
        std::vector<std::uint8_t> rebuilt = globals;
        rebuilt.insert(rebuilt.end(), stream.begin() + static_cast<std::ptrdiff_t>(resumed), stream.end());
        shift = globals.size() - resumed;
        stream = std::move(rebuilt);
        regions.push_back({MendedRegion::Kind::Replaced, 0, globals.size(), -1});
    }
    for (std::size_t i = tableRegions; i < tableRegionsEnd; ++i)
        regions[i].offset += shift;
    for (std::size_t i = 0; i < sheets.size(); ++i)
        StoreLe32(stream.data() + entries[i] + kHeader, static_cast<std::uint32_t>(sheets[i] + shift));
    return true;
}

// The string table read as one run of bytes (see Pieces), with where in the stream the reading
// stands.
class ChainCursor {
public:
    ChainCursor(std::vector<Bytes> bodies, const std::uint8_t* stream) : pieces_(std::move(bodies)), stream_(stream) {}

    // Moves past a body's end to the next; false when none is left.
    bool Settle() { return pieces_.Settle(); }
    std::size_t Position() const { return static_cast<std::size_t>(pieces_.Here() - stream_); }
    // Where the body the next byte is in ends.
    std::size_t PieceEnd() const { return static_cast<std::size_t>(pieces_.PieceEnd() - stream_); }

    bool Byte(std::uint8_t& value) { return pieces_.Byte(value); }
    bool Le16(std::uint16_t& value) { return pieces_.Le16(value); }
    bool Skip(std::size_t count) { return pieces_.Skip(count); }

    // Past one string of the table: length, flags, run count and far-east size as the flags
    // say, characters, runs, far-east data. `strict` also holds the far-east data to its own
    // layout (a reserved 1, then the size of the rest).
    bool String(bool strict = false)
    {
        std::uint16_t count = 0, runs = 0;
        std::uint8_t flags = 0;
        std::uint32_t farEast = 0;
        std::u16string characters;
        if (!(pieces_.Le16(count) && pieces_.Byte(flags) && (flags & ~0x0D) == 0 && (!(flags & 0x08) || pieces_.Le16(runs)) &&
              (!(flags & 0x04) || pieces_.Le32(farEast)) && pieces_.Chars(count, flags & 0x01, characters) &&
              pieces_.Skip(std::size_t{runs} * 4)))
            return false;
        if (!strict || farEast == 0)
            return pieces_.Skip(farEast);
        std::uint16_t reserved = 0, rest = 0;
        return farEast >= 4 && pieces_.Le16(reserved) && pieces_.Le16(rest) && reserved == 1 && rest == farEast - 4 &&
               pieces_.Skip(farEast - 4);
    }

private:
    Pieces pieces_;
    const std::uint8_t* stream_;
};

int BitsApart(std::uint32_t a, std::uint32_t b)
{
    return std::popcount(a ^ b);
}

// Counts inside records that their lengths contradict, mended where exactly one change of
// a bit agrees with the length: a sheet name's length in the list of sheets, the count of an
// external-reference list, and the lengths of the shared strings, which the table's index
// (EXTSST) checks, since each bucket it names begins exactly where the strings before it end.
void MendCounts(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions)
{
    if (stream.size() < 8)
        return;
    const bool biff8 = U16(stream, 2) >= 16 && U16(stream, kHeader) >= kBiff8Version;
    std::vector<std::pair<std::size_t, std::size_t>> table;  // the string table's bodies
    std::size_t index = kNoPlace;
    for (std::size_t at = 0; at + kHeader <= stream.size() && Reads(stream, at);) {
        const std::uint16_t type = U16(stream, at);
        const std::size_t length = U16(stream, at + 2);
        std::uint8_t* body = stream.data() + at + kHeader;
        if (type == kEof || type == kFilePass)
            break;
        if (type == kBoundSheet && length >= (biff8 ? 8u : 7u)) {
            const std::uint8_t count = body[6];
            const std::uint8_t flags = biff8 ? body[7] : 0;
            const std::size_t chars = length - (biff8 ? 8 : 7);
            const bool agrees = biff8 ? (flags & ~1) == 0 && chars == std::size_t{count} * ((flags & 1) ? 2 : 1) : chars == count;
            if (!agrees) {
                std::vector<std::pair<std::uint8_t, std::uint8_t>> readings;
                for (const std::uint8_t wide : {std::uint8_t{0}, std::uint8_t{1}}) {
                    if ((!biff8 && wide) || (wide && chars % 2 != 0))
                        continue;
                    const std::size_t other = wide ? chars / 2 : chars;
                    if (other >= 1 && other <= 31 && BitsApart(count, static_cast<std::uint32_t>(other)) + BitsApart(flags, wide) == 1)
                        readings.emplace_back(static_cast<std::uint8_t>(other), wide);
                }
                if (readings.size() == 1) {
                    body[6] = readings[0].first;
                    if (biff8)
                        body[7] = readings[0].second;
                    regions.push_back({MendedRegion::Kind::Replaced, at + kHeader + 6, biff8 ? 2u : 1u, -1});
                }
            }
        }
        if (type == kExternSheet && biff8 && length >= 2 && (length - 2) % 6 == 0) {
            const std::uint16_t count = LoadLe16(body);
            const std::size_t other = (length - 2) / 6;
            if (count != other && BitsApart(count, static_cast<std::uint32_t>(other)) == 1) {
                StoreLe16(body, static_cast<std::uint16_t>(other));
                regions.push_back({MendedRegion::Kind::Replaced, at + kHeader, 2, -1});
            }
        }
        if (type == kSst && table.empty() && length >= 8) {
            table.emplace_back(at + kHeader, at + kHeader + length);
            for (std::size_t next = at + kHeader + length;
                 next + kHeader <= stream.size() && Reads(stream, next) && U16(stream, next) == kContinue;
                 next += kHeader + U16(stream, next + 2))
                table.emplace_back(next + kHeader, next + kHeader + U16(stream, next + 2));
        }
        if (type == kExtSst && length >= 10)
            index = at;
        at += kHeader + length;
    }
    if (!biff8 || table.empty() || index == kNoPlace)
        return;
    const std::uint8_t* entries = stream.data() + index + kHeader;
    const std::size_t perBucket = LoadLe16(entries);
    const std::size_t buckets = (U16(stream, index + 2) - 2u) / 8;
    // The search for a changed bit reads a bucket once for each bit of each string's header:
    // in time that grows with the square of the bucket, which large tables make long.
    constexpr std::size_t kLongestBucketSearched = 512;
    if (perBucket == 0 || perBucket > kLongestBucketSearched)
        return;
    // Where bucket k's strings begin, by the index, and where the strings before them end.
    auto bucketStart = [&](std::size_t k) -> std::size_t { return LoadLe32(entries + 2 + 8 * k); };
    std::vector<Bytes> bodies;
    for (const auto& [from, to] : table)
        bodies.emplace_back(stream.data() + from, to - from);
    ChainCursor cursor(bodies, stream.data());
    if (!cursor.Skip(8))  // the counts
        return;
    for (std::size_t k = 0; k + 1 < buckets; ++k) {
        if (!cursor.Settle() || cursor.Position() != bucketStart(k))
            return;  // out of step already: nothing here to go by
        const ChainCursor bucket = cursor;
        bool whole = true;
        for (std::size_t i = 0; i < perBucket && whole; ++i)
            whole = cursor.String();
        if (whole && cursor.Settle() && cursor.Position() == bucketStart(k + 1))
            continue;
        // The one changed bit in a string's length, flags, run count or far-east size that
        // makes this bucket end where the next begins.
        // When two readings agree with the index (a shorter text and a longer far-east block),
        // the one whose far-east data has its own layout stands.
        struct Fix {
            std::size_t offset;
            std::uint8_t value;
            bool strict;
        };
        std::vector<Fix> fixes;
        constexpr std::size_t kMostFixes = 4;
        ChainCursor walk = bucket;
        for (std::size_t i = 0; i < perBucket && fixes.size() < kMostFixes; ++i) {
            if (!walk.Settle())
                break;
            const ChainCursor at = walk;
            std::uint16_t count = 0;
            std::uint8_t flags = 0;
            if (!walk.Le16(count) || !walk.Byte(flags))
                break;
            const std::size_t header = at.Position();
            const std::size_t extra = ((flags & 0x08) ? 2 : 0) + ((flags & 0x04) ? 4 : 0);
            if (header + 3 + extra > at.PieceEnd())
                break;  // a header split between records: not looked into
            for (std::size_t byte = 0; byte < 3 + extra && fixes.size() < kMostFixes; ++byte) {
                for (int bit = 0; bit < 8 && fixes.size() < kMostFixes; ++bit) {
                    const std::size_t where = header + byte;
                    stream[where] ^= static_cast<std::uint8_t>(1u << bit);
                    auto lands = [&](bool strict) {
                        ChainCursor probe = at;
                        bool reads = true;
                        for (std::size_t j = i; j < perBucket && reads; ++j)
                            reads = probe.String(strict);
                        return reads && probe.Settle() && probe.Position() == bucketStart(k + 1);
                    };
                    if (lands(false))
                        fixes.push_back({where, stream[where], lands(true)});
                    stream[where] ^= static_cast<std::uint8_t>(1u << bit);
                }
            }
            walk = at;
            if (!walk.String())
                break;
        }
        if (fixes.size() > 1)
            std::erase_if(fixes, [](const Fix& fix) { return !fix.strict; });
        if (fixes.size() != 1)
            return;
        stream[fixes[0].offset] = fixes[0].value;
        regions.push_back({MendedRegion::Kind::Replaced, fixes[0].offset, 1, -1});
        cursor = bucket;
        for (std::size_t i = 0; i < perBucket; ++i)
            cursor.String();
    }
}

// A hole in the shared-string table loses every string after it to readers, which read the
// table from its start. The strings after the hole are read again from the places the
// table's index names, and the table is written anew where it was; the offsets after it move
// along (the list of sheets, the sheets' row indexes). Not for an encrypted workbook, whose
// bytes depend on where they are.
void MendStringTableHole(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions,
                         const std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>>& overwritten)
{
    std::size_t table = kNoPlace, tableEnd = 0, globalsEnd = kNoPlace;
    std::vector<Bytes> bodies;
    for (std::size_t at = 0; at + kHeader <= stream.size() && Reads(stream, at);) {
        const std::uint16_t type = U16(stream, at);
        const std::size_t next = at + kHeader + U16(stream, at + 2);
        if (type == kEof) {
            globalsEnd = at;
            break;
        }
        if (type == kFilePass)
            return;
        if (type == kSst && table == kNoPlace && U16(stream, at + 2) >= 8) {
            table = at;
            bodies.emplace_back(stream.data() + at + kHeader, U16(stream, at + 2));
            tableEnd = next;
            while (tableEnd + kHeader <= stream.size() && Reads(stream, tableEnd) && U16(stream, tableEnd) == kContinue) {
                bodies.emplace_back(stream.data() + tableEnd + kHeader, U16(stream, tableEnd + 2));
                tableEnd += kHeader + U16(stream, tableEnd + 2);
            }
            if (tableEnd + kHeader > stream.size() || U16(stream, tableEnd) != kFillerRecord)
                return;  // whole, as far as anything tells
            bodies.back() = Unwiped(bodies.back());
        }
        at = next;
    }
    if (table == kNoPlace || globalsEnd == kNoPlace || globalsEnd < tableEnd)
        return;
    const std::size_t declared = LoadLe32(stream.data() + table + kHeader + 4);
    const std::vector<std::u16string> known = ReadTableStrings(bodies, 8, declared);
    std::vector<std::uint8_t> unmended(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(globalsEnd));
    for (const auto& [at, bytes] : overwritten) {
        if (at < globalsEnd)
            std::copy_n(bytes.begin(), std::min(bytes.size(), globalsEnd - at), unmended.begin() + static_cast<std::ptrdiff_t>(at));
    }
    const std::vector<std::uint8_t> rebuilt =
        RebuildStringTable(stream, tableEnd, globalsEnd, regions, known, declared, Bytes(unmended));
    if (rebuilt.empty())
        return;
    const std::int64_t delta = static_cast<std::int64_t>(rebuilt.size()) - static_cast<std::int64_t>(tableEnd - table);
    auto moved = [&](std::uint64_t offset) { return offset >= tableEnd ? offset + static_cast<std::uint64_t>(delta) : offset; };
    std::vector<std::uint8_t> written(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(table));
    written.insert(written.end(), rebuilt.begin(), rebuilt.end());
    written.insert(written.end(), stream.begin() + static_cast<std::ptrdiff_t>(tableEnd), stream.end());
    stream = std::move(written);
    for (MendedRegion& region : regions)
        region.offset = moved(region.offset);
    regions.push_back({MendedRegion::Kind::Replaced, table, rebuilt.size(), -1});
    bool pastGlobals = false;
    for (std::size_t at = 0; at + kHeader <= stream.size();) {
        if (!Reads(stream, at)) {
            at = Resync(stream, at + 1);
            if (at == kNoPlace)
                break;
            continue;
        }
        const std::uint16_t type = U16(stream, at);
        const std::size_t length = U16(stream, at + 2);
        std::uint8_t* body = stream.data() + at + kHeader;
        if (type == kBoundSheet && length >= 4 && !pastGlobals)
            StoreLe32(body, static_cast<std::uint32_t>(moved(LoadLe32(body))));
        pastGlobals = pastGlobals || type == kEof;
        if (type == kIndex && length >= 16) {
            for (std::size_t k = 16; k + 4 <= length; k += 4)
                StoreLe32(body + k, static_cast<std::uint32_t>(moved(LoadLe32(body + k))));
        }
        at += kHeader + length;
    }
}

}  // namespace

std::optional<std::uint64_t> FirstRecordDamage(std::span<const std::uint8_t> stream)
{
    if (const std::optional<std::uint64_t> broken = FirstBrokenRecord(stream))
        return broken;
    // Counts a length contradicts live in the globals: a copy of them is mended to find out.
    std::size_t globalsEnd = 0;
    while (globalsEnd + kHeader <= stream.size() && U16(stream, globalsEnd) != kEof)
        globalsEnd += kHeader + U16(stream, globalsEnd + 2);
    std::vector<std::uint8_t> globals(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(std::min(globalsEnd, stream.size())));
    std::vector<MendedRegion> regions;
    MendCounts(globals, regions);
    if (regions.empty())
        return std::nullopt;
    return std::min_element(regions.begin(), regions.end(), [](const auto& a, const auto& b) { return a.offset < b.offset; })->offset;
}

std::vector<MendedRegion> MendWorkbookStream(std::vector<std::uint8_t>& stream, const std::vector<std::u16string>& names)
{
    std::vector<MendedRegion> regions;
    if (stream.size() < 8 || U16(stream, 0) != kBof || U16(stream, 2) < 8) {
        // The workbook's start is gone: new globals hold the surviving sheets together.
        if (!RebuildGlobals(stream, names, regions))
            return regions;
    }
    Walk walk = WalkAndFill(stream, regions);
    if (walk.end < stream.size()) {
        if (walk.cut)
            regions.push_back({MendedRegion::Kind::Lost, walk.end, stream.size() - walk.end, -1});
        stream.resize(walk.end);
        walk.boundary.resize(walk.end + 1);
    }

    // The first record of a sheet: the globals' own, as a worksheet's.
    const std::uint16_t bofLength = U16(stream, 2);
    std::vector<std::uint8_t> sheetBof(stream.begin() + kHeader, stream.begin() + static_cast<std::ptrdiff_t>(kHeader + bofLength));
    StoreLe16(sheetBof.data() + 2, kWorksheetSubstream);

    // The list of sheets, in the globals.
    struct Listed {
        std::size_t record;
        std::uint32_t offset;
    };
    std::vector<Listed> listed;
    std::size_t globalsEnd = stream.size();
    for (std::size_t at = 0; at + kHeader <= stream.size() && walk.boundary[at];) {
        const std::uint16_t type = U16(stream, at);
        if (type == kEof) {
            globalsEnd = at;
            break;
        }
        if (type == kBoundSheet && U16(stream, at + 2) >= 4)
            listed.push_back({at, LoadLe32(stream.data() + at + kHeader)});
        at += kHeader + U16(stream, at + 2);
    }
    const bool biff8 = U16(stream, kHeader) >= kBiff8Version;

    // The record that starts last before `at`.
    auto recordBefore = [&](std::size_t at) -> std::size_t {
        for (std::size_t k = at; k-- > 0;) {
            if (walk.boundary[k])
                return k;
        }
        return kNoPlace;
    };
    auto endsWithEof = [&](std::size_t at) {  // the record that ends at `at` is an EOF
        const std::size_t before = recordBefore(at);
        return before != kNoPlace && U16(stream, before) == kEof && before + kHeader == at;
    };

    std::vector<Listed> pastTheEnd;
    for (const Listed& sheet : listed) {
        const std::size_t offset = sheet.offset;
        if (offset < stream.size() && walk.boundary[offset] && U16(stream, offset) == kBof)
            continue;
        if (offset >= stream.size()) {
            pastTheEnd.push_back(sheet);
            continue;
        }
        // Its first record was in a hole: written back there, with the end record of the
        // sheet before it when that one lost its own.
        const auto hole = std::find_if(walk.holes.begin(), walk.holes.end(),
                                       [&](const auto& h) { return h.first <= offset && offset < h.second; });
        if (hole == walk.holes.end())
            continue;
        const auto [from, to] = *hole;
        const std::size_t bofEnd = offset + kHeader + bofLength;
        const std::size_t before = offset - from;
        // The sheet before lost its end with the damage: an end record goes right before, in
        // room that is either exactly one or leaves filler room in front of it.
        const bool needEof = before == kHeader || before >= 2 * kHeader;
        const std::size_t eofAt = needEof ? offset - kHeader : offset;
        const bool fits = (before == 0 || before >= kHeader) && bofEnd <= to && (to == bofEnd || to - bofEnd >= kHeader);
        if (!fits)
            continue;
        for (std::size_t k = from; k < to; ++k)
            walk.boundary[k] = false;
        if (eofAt > from)
            WriteFiller(stream, walk.boundary, from, eofAt);
        if (needEof) {
            WriteRecord(stream, eofAt, kEof, {});
            walk.boundary[eofAt] = true;
        }
        WriteRecord(stream, offset, kBof, sheetBof);
        walk.boundary[offset] = true;
        if (to > bofEnd)
            WriteFiller(stream, walk.boundary, bofEnd, to);
    }

    // A sheet whose first record went with the end of the globals (and its entry in the list
    // with them): records of a sheet's own kinds follow the damage, before the first end
    // record. Its first record goes back at the end of the damaged stretch, after an end
    // record for the globals; the list gets it back below.
    const auto lastHole = std::find_if(walk.holes.rbegin(), walk.holes.rend(), [&](const auto& h) { return h.second <= globalsEnd; });
    if (lastHole != walk.holes.rend() && globalsEnd < stream.size()) {
        auto& [from, to] = *lastHole;
        bool sheetRecords = false;
        bool globalsRecords = false;
        for (std::size_t at = to; at < globalsEnd && walk.boundary[at] && !globalsRecords;) {
            const std::uint16_t type = U16(stream, at);
            sheetRecords = sheetRecords || IsSheetRecord(type);
            globalsRecords = IsGlobalsRecord(type) || type == kBof;
            at += kHeader + U16(stream, at + 2);
        }
        const bool listedThere =
            std::any_of(listed.begin(), listed.end(), [from = from, to = to](const Listed& l) { return from <= l.offset && l.offset <= to; });
        const std::size_t need = 2 * kHeader + bofLength;
        if (sheetRecords && !globalsRecords && !listedThere && (to - from == need || to - from >= need + kHeader)) {
            const std::size_t eofAt = to - need;
            for (std::size_t k = from; k < to; ++k)
                walk.boundary[k] = false;
            if (eofAt > from)
                WriteFiller(stream, walk.boundary, from, eofAt);
            WriteRecord(stream, eofAt, kEof, {});
            walk.boundary[eofAt] = true;
            WriteRecord(stream, eofAt + kHeader, kBof, sheetBof);
            walk.boundary[eofAt + kHeader] = true;
            to = eofAt;
            globalsEnd = eofAt;
        }
    }

    // A sheet whose entry in the list was destroyed: the list gets it back in the damaged
    // stretch of the globals, under a name of its own ("Sheet" and a number none has).
    std::vector<std::size_t> orphans;
    for (std::size_t at = globalsEnd; at + kHeader + 4 <= stream.size(); ++at) {
        if (!walk.boundary[at] || U16(stream, at) != kBof || U16(stream, at + kHeader + 2) != kWorksheetSubstream)
            continue;
        const std::size_t before = recordBefore(at);
        const bool topLevel = before == kNoPlace || U16(stream, before) == kEof || U16(stream, before) == kFillerRecord;
        const bool isListed = std::any_of(listed.begin(), listed.end(), [&](const Listed& l) { return l.offset == at; });
        if (topLevel && !isListed)
            orphans.push_back(at);
    }
    for (const std::size_t orphan : orphans) {
        std::vector<std::size_t> entries;
        for (const Listed& sheet : listed)
            entries.push_back(sheet.record);
        const std::vector<std::uint8_t> body = SheetEntry(orphan, Wide(UnusedSheetName(stream, entries, biff8, {})), biff8);
        const std::size_t need = kHeader + body.size();
        auto hole = std::find_if(walk.holes.begin(), walk.holes.end(), [&](const auto& h) {
            const std::size_t room = h.second - h.first;
            return h.second <= globalsEnd && (room == need || room >= need + kHeader);
        });
        if (hole == walk.holes.end())
            continue;
        for (std::size_t k = hole->first; k < hole->second; ++k)
            walk.boundary[k] = false;
        WriteRecord(stream, hole->first, kBoundSheet, body);
        walk.boundary[hole->first] = true;
        listed.push_back({hole->first, static_cast<std::uint32_t>(orphan)});
        if (hole->second > hole->first + need)
            WriteFiller(stream, walk.boundary, hole->first + need, hole->second);
        hole->first += need;
        if (hole->first == hole->second)
            walk.holes.erase(hole);
    }
    std::sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) { return a.record < b.record; });

    // What follows the end of the last sheet is no part of the workbook (a stream found by its
    // records may run on into other data, which reads as damage): it goes.
    std::size_t lastSheet = 0;
    for (const Listed& sheet : listed) {
        if (sheet.offset < stream.size() && walk.boundary[sheet.offset] && U16(stream, sheet.offset) == kBof)
            lastSheet = std::max<std::size_t>(lastSheet, sheet.offset);
    }
    if (lastSheet > 0) {
        int depth = 0;
        std::size_t at = lastSheet;
        while (at + kHeader <= stream.size() && walk.boundary[at]) {
            const std::uint16_t type = U16(stream, at);
            depth += type == kBof ? 1 : type == kEof ? -1 : 0;
            at += kHeader + U16(stream, at + 2);
            if (depth == 0)
                break;
        }
        bool sheetsAfter = false;
        for (std::size_t k = at; k + kHeader <= stream.size() && !sheetsAfter; ++k)
            sheetsAfter = walk.boundary[k] && U16(stream, k) == kBof;
        if (depth == 0 && at < stream.size() && !sheetsAfter) {
            std::erase_if(regions, [&](const MendedRegion& r) { return r.offset >= at; });
            for (MendedRegion& region : regions)
                region.length = std::min<std::uint64_t>(region.length, at - region.offset);
            stream.resize(at);
            walk.boundary.resize(at + 1);
        }
    }

    // The open sheet gets its end; sheets past the cut come back empty, under their names.
    auto append = [&](std::uint16_t type, Bytes body) {
        const std::size_t at = stream.size();
        stream.resize(at + kHeader + body.size());
        walk.boundary.resize(stream.size() + 1, false);
        WriteRecord(stream, at, type, body);
        walk.boundary[at] = true;
        return at;
    };
    const std::size_t closedAt = stream.size();
    if (!endsWithEof(stream.size()))
        append(kEof, {});
    for (const Listed& sheet : pastTheEnd) {
        const std::size_t offset = append(kBof, sheetBof);
        append(kEof, {});
        StoreLe32(stream.data() + sheet.record + kHeader, static_cast<std::uint32_t>(offset));
        regions.push_back({MendedRegion::Kind::Replaced, sheet.record + kHeader, 4, -1});
    }
    if (stream.size() > closedAt)
        regions.push_back({MendedRegion::Kind::Replaced, closedAt, stream.size() - closedAt, -1});

    MendCounts(stream, regions);
    MendStringTableHole(stream, regions, walk.overwritten);

    // Each region's sheet: the last sheet that begins at or before it.
    std::vector<std::uint32_t> starts;
    for (std::size_t at = 0; at + kHeader <= stream.size() && Reads(stream, at) && U16(stream, at) != kEof;) {
        if (U16(stream, at) == kBoundSheet && U16(stream, at + 2) >= 4)
            starts.push_back(LoadLe32(stream.data() + at + kHeader));
        at += kHeader + U16(stream, at + 2);
    }
    for (MendedRegion& region : regions) {
        int sheet = -1;
        std::uint32_t best = 0;
        for (std::size_t i = 0; i < starts.size(); ++i) {
            if (starts[i] <= region.offset && starts[i] >= best) {
                best = starts[i];
                sheet = static_cast<int>(i);
            }
        }
        region.sheet = sheet;
    }
    return regions;
}

}  // namespace tabulon
