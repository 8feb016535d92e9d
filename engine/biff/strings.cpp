#include "engine/biff/strings.h"

#include <limits>

#include "engine/base/byte_order.h"
#include "engine/base/text.h"

namespace tabulon {

std::optional<std::u16string> biff::ReadUnicodeUnits(Pieces& in, int lengthBytes)
{
    std::u16string units;
    if (!ReadUnicodeUnits(in, lengthBytes, units))
        return std::nullopt;
    return units;
}

namespace {

// A BIFF8 string as ReadUnicodeUnits reads it: its characters into `units` where given, else
// passed over; `characters` gets how many it has.
bool TakeUnicodeString(Pieces& in, int lengthBytes, std::u16string* units, std::size_t& characters)
{
    biff::StringHeader header;
    if (!biff::ReadStringHeader(in, lengthBytes, header))
        return false;
    if (!(units ? in.Chars(header.count, header.Wide(), *units) : in.SkipChars(header.count, header.Wide())))
        return false;
    characters = header.count;
    // A string cut short in its runs or far-east data still has all its characters; what
    // follows it is lost, and the next read fails.
    if (!in.Skip(std::size_t{header.runs} * 4) || !in.Skip(header.farEast))
        in.Skip(std::numeric_limits<std::size_t>::max());
    return true;
}

}  // namespace

bool biff::ReadUnicodeUnits(Pieces& in, int lengthBytes, std::u16string& units)
{
    units.clear();
    std::size_t characters = 0;
    return TakeUnicodeString(in, lengthBytes, &units, characters);
}

bool biff::SkipUnicodeString(Pieces& in, int lengthBytes, std::size_t& characters)
{
    return TakeUnicodeString(in, lengthBytes, nullptr, characters);
}

std::optional<std::string> biff::ReadUnicodeString(Pieces& in, int lengthBytes)
{
    const std::optional<std::u16string> units = ReadUnicodeUnits(in, lengthBytes);
    if (!units)
        return std::nullopt;
    return Utf8FromUtf16(*units);
}

std::optional<std::string> biff::ReadByteString(std::span<const std::uint8_t> body, std::uint16_t codePage, int lengthBytes)
{
    const auto prefix = static_cast<std::size_t>(lengthBytes);
    if (body.size() < prefix)
        return std::nullopt;
    const std::size_t count = lengthBytes == 1 ? body[0] : LoadLe16(body.data());
    if (body.size() - prefix < count)
        return std::nullopt;
    return DecodeCodePage(body.subspan(prefix, count), codePage);
}

std::vector<std::u16string> ReadTableStrings(std::vector<std::span<const std::uint8_t>> bodies, std::size_t offset,
                                             std::size_t count)
{
    Pieces pieces(std::move(bodies));
    std::vector<std::u16string> strings;
    if (!pieces.Skip(offset))
        return strings;
    while (strings.size() < count) {
        std::optional<std::u16string> text = biff::ReadUnicodeUnits(pieces, 2);
        if (!text)
            break;
        strings.push_back(std::move(*text));
    }
    return strings;
}

bool StringTableReadsWhole(std::vector<std::span<const std::uint8_t>> bodies)
{
    Pieces pieces(std::move(bodies));
    std::uint32_t total = 0, unique = 0;
    if (!pieces.Le32(total) || !pieces.Le32(unique))
        return false;
    for (std::uint32_t k = 0; k < unique; ++k)
        if (!biff::ReadUnicodeUnits(pieces, 2))
            return false;
    return !pieces.Settle();
}

}  // namespace tabulon
