// Comments and text boxes whose parts the damage took: a text box (TXO) holds its text and its
// formatting runs in the CONTINUE records that follow it, and belongs to the drawing object
// (OBJ) before it; a comment (NOTE) names its author in a string its record holds exactly.
// Readers that take these as they are written (xlrd) refuse a workbook where they do not hold
// together; the objects' cells are untouched.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/biff/records.h"
#include "engine/repair/mending/mend_parts.h"

namespace tabulon::mending {

using namespace biff;

namespace {

// Where the text box at `at` (of `length`) ends with the records of its text and its runs, as
// long as they hold together; kNoPlace where they do not.
std::size_t TextBoxEnd(Bytes stream, std::size_t at, std::size_t length)
{
    if (length < 14)
        return kNoPlace;
    const std::size_t characters = U16(stream, at + kHeader + 10), runBytes = U16(stream, at + kHeader + 12);
    std::size_t next = at + kHeader + length;
    // The text: each record a flags byte (8-bit or 16-bit characters), then whole characters.
    for (std::size_t read = 0; read < characters;) {
        if (next + kHeader > stream.size() || U16(stream, next) != kContinue || U16(stream, next + 2) < 1)
            return kNoPlace;
        const std::size_t bytes = U16(stream, next + 2) - 1u, width = (stream[next + kHeader] & 0x01) ? 2 : 1;
        if (bytes % width != 0)
            return kNoPlace;
        read += bytes / width;
        next += kHeader + U16(stream, next + 2);
    }
    // The runs: eight bytes each.
    for (std::size_t read = 0; read < runBytes;) {
        if (next + kHeader > stream.size() || U16(stream, next) != kContinue || U16(stream, next + 2) % 8 != 0 ||
            U16(stream, next + 2) == 0)
            return kNoPlace;
        read += U16(stream, next + 2);
        next += kHeader + U16(stream, next + 2);
    }
    return next;
}

// Whether the comment record at `at` (of `length`, BIFF8's) holds its author's name exactly: a
// cell's place, options and object (8 bytes), the name's length and flags, its characters, and
// at most one byte of padding.
bool CommentHoldsTogether(Bytes stream, std::size_t at, std::size_t length)
{
    if (length < 11)
        return false;
    const std::size_t characters = U16(stream, at + kHeader + 8), width = (stream[at + kHeader + 10] & 0x01) ? 2 : 1;
    const std::size_t end = 11 + characters * width;
    return end == length || end + 1 == length;
}

}  // namespace

void CommentsAndTextBoxesHoldTogether(std::vector<std::uint8_t>& stream, std::vector<MendedRegion>& regions)
{
    if (regions.empty() || stream.size() < kHeader + 2 || U16(stream, 0) != kBof || U16(stream, kHeader) < kBiff8Version)
        return;
    std::vector<std::pair<std::size_t, std::size_t>> gone;
    bool object = false;  // a drawing object came before in the sheet
    int depth = 0;        // substreams open: a sheet's records at 1 (an embedded chart's, which readers pass over, deeper)
    for (std::size_t at = 0; at + kHeader <= stream.size() && Reads(stream, at);) {
        const std::uint16_t type = U16(stream, at);
        const std::size_t length = U16(stream, at + 2);
        std::size_t end = at + kHeader + length;
        if (type == kFilePass)
            return;  // (their bodies are the cipher's bytes)
        if (type == kBof) {
            object = object && depth > 0;
            ++depth;
        } else if (type == kEof) {
            depth -= depth > 0 ? 1 : 0;
            object = object && depth > 0;
        } else if (depth != 1) {
            // (the globals' records, or an embedded chart's)
        } else if (type == kObj) {
            object = true;
        } else if (type == kTxo) {
            const std::size_t boxEnd = TextBoxEnd(stream, at, length);
            if (!object || boxEnd == kNoPlace) {
                // It goes with the records of its text that follow it.
                while (end + kHeader <= stream.size() && U16(stream, end) == kContinue)
                    end += kHeader + U16(stream, end + 2);
                gone.emplace_back(at, end);
            } else {
                end = boxEnd;
            }
        } else if (type == kNote && !CommentHoldsTogether(stream, at, length)) {
            gone.emplace_back(at, end);
        }
        at = end;
    }
    for (const auto& [from, to] : gone) {
        WriteFiller(stream, nullptr, from, to);
        Cover(regions, from, to);
    }
}

}  // namespace tabulon::mending
