#include "engine/biff/globals.h"

#include <algorithm>
#include <optional>

#include "engine/base/byte_order.h"
#include "engine/base/text.h"
#include "engine/biff/number_formats.h"
#include "engine/biff/pieces.h"
#include "engine/biff/strings.h"

namespace tabulon::biff {
namespace {

using Bytes = std::span<const std::uint8_t>;

// Where the workbook globals begin: at the start of an intact stream, else at the first BOF
// record of workbook globals.
std::optional<std::size_t> FindGlobals(Bytes stream)
{
    for (std::size_t offset = 0; offset + kRecordHeaderSize <= stream.size(); ++offset) {
        if (stream[offset] != 0x09 || stream[offset + 1] != 0x08)
            continue;
        const std::optional<Bof> bof = BofAt(stream, offset);
        if (bof && bof->substream == kGlobalsSubstream)
            return offset;
    }
    return std::nullopt;
}

// The strings of the table into `globals`, as texts or (`presence`) as whether each holds a
// character; `places`, when given, gets where each lies in `stream`.
void ReadSharedStrings(Bytes stream, Bytes body, std::vector<Bytes> continuations, bool presence, Globals& globals,
                       StringPlaces* places)
{
    continuations.insert(continuations.begin(), body);
    Pieces pieces(std::move(continuations));
    std::uint32_t total = 0, unique = 0;
    if (!pieces.Le32(total) || !pieces.Le32(unique))
        return;
    // Each string takes three bytes at least: the count is believed only that far.
    const std::size_t expected = std::min<std::size_t>(unique, pieces.Size() / 3);
    if (presence)
        globals.sharedStringHasText.reserve(expected);
    else
        globals.sharedStrings.reserve(expected);
    std::u16string units;
    for (std::uint32_t i = 0; i < unique; ++i) {
        const std::size_t begin = pieces.Settle() ? static_cast<std::size_t>(pieces.Here() - stream.data()) : stream.size();
        std::size_t characters = 0;
        if (!(presence ? SkipUnicodeString(pieces, 2, characters) : ReadUnicodeUnits(pieces, 2, units)))
            break;
        if (presence)
            globals.sharedStringHasText.push_back(characters > 0);
        else
            globals.sharedStrings.push_back(Utf8FromUtf16(units));
        if (places) {
            const std::uint8_t* end = pieces.Here() ? pieces.Here() : stream.data() + stream.size();
            places->emplace_back(begin, static_cast<std::size_t>(end - stream.data()));
        }
    }
}

// The format code of a FORMAT record: after the format's index, a string with a 2-byte length
// in BIFF8 and a 1-byte length in BIFF5.
std::optional<std::string> FormatCode(Bytes body, const Globals& globals, std::vector<Bytes> continuations)
{
    if (globals.biff != 8) {
        const std::size_t count = body[2];
        if (body.size() - 3 < count)
            return std::nullopt;
        return DecodeCodePage(body.subspan(3, count), globals.codePage);
    }
    continuations.insert(continuations.begin(), body.subspan(2));
    Pieces pieces(std::move(continuations));
    return ReadUnicodeString(pieces, 2);
}

}  // namespace

Globals ReadGlobals(Bytes stream, SharedStrings strings, StringPlaces* places)
{
    Globals globals;
    const std::optional<std::size_t> start = FindGlobals(stream);
    if (!start)
        return globals;
    globals.biff = BofAt(stream, *start)->biff;
    RecordCursor walker(stream, *start);
    walker.Next();  // the BOF
    while (const std::optional<BiffRecord> record = walker.Next()) {
        globals.end = std::size_t{record->offset} + kRecordHeaderSize + record->length;
        if (record->type == kEof)
            break;
        if (record->type == kBof) {  // the globals lost their EOF
            globals.end = record->offset;
            break;
        }
        const Bytes body = RecordBody(stream, *record);
        switch (record->type) {
        case kCodePage:
            if (body.size() >= 2)
                globals.codePage = LoadLe16(body.data());
            break;
        case kDateMode:
            if (body.size() >= 2)
                globals.date1904 = LoadLe16(body.data()) == 1;
            break;
        case kFilePass: globals.encrypted = true; break;
        case kBoundSheet:
            if (body.size() >= 6)
                globals.boundSheets.push_back(*record);
            break;
        case kSst:
            if (!globals.encrypted && strings != SharedStrings::None)
                ReadSharedStrings(stream, body, walker.Continuations(), strings == SharedStrings::Presence, globals, places);
            break;
        case kFormat:
            if (!globals.encrypted && body.size() >= 3) {
                if (const std::optional<std::string> code = FormatCode(body, globals, walker.Continuations()))
                    globals.formatIsDate[LoadLe16(body.data())] = IsDateFormatCode(*code);
            }
            break;
        case kXf:
            if (!globals.encrypted && body.size() >= 4)
                globals.xfFormats.push_back(LoadLe16(body.data() + 2));
            break;
        default: break;
        }
    }
    return globals;
}

std::vector<std::pair<std::size_t, Bof>> FindSubstreams(Bytes stream, std::size_t from)
{
    std::vector<std::pair<std::size_t, Bof>> found;
    int depth = 0;
    RecordCursor walker(stream, from);
    while (const std::optional<BiffRecord> record = walker.Next()) {
        if (record->type == kEof) {
            depth = std::max(0, depth - 1);
            continue;
        }
        const std::optional<Bof> bof = ParseBof(stream, *record);
        if (!bof)
            continue;
        if (bof->substream == kChartSubstream && depth > 0) {
            ++depth;
            continue;
        }
        depth = 1;
        // A BIFF4 workbook's globals begin with a workspace BOF, and its sheets follow inside.
        if (bof->substream != kGlobalsSubstream && bof->substream != kWorkspaceSubstream)
            found.emplace_back(record->offset, *bof);
    }
    return found;
}

std::string SheetName(Bytes stream, const BiffRecord& boundSheet, const Globals& globals)
{
    const Bytes name = RecordBody(stream, boundSheet).subspan(6);
    if (globals.biff == 8) {
        Pieces pieces({name});
        return ReadUnicodeString(pieces, 1).value_or(std::string());
    }
    if (name.empty())
        return std::string();
    return DecodeCodePage(name.subspan(1, std::min<std::size_t>(name[0], name.size() - 1)), globals.codePage);
}

std::uint8_t SheetKind(std::uint16_t substream)
{
    switch (substream) {
    case kMacroSubstream: return 1;
    case kChartSubstream: return 2;
    case kVbModuleSubstream: return 6;
    default: return 0;
    }
}

}  // namespace tabulon::biff
