#include "engine/biff/property_set.h"

#include <algorithm>
#include <map>
#include <optional>

#include "engine/base/byte_order.h"

namespace tabulon {

namespace {

constexpr std::uint16_t kByteOrderMark = 0xFFFE;
constexpr std::size_t kVersionAt = 2;
constexpr std::size_t kSectionCountAt = 24;
constexpr std::size_t kFirstSectionAt = 44;  // the first section's offset, after its format identifier
constexpr std::size_t kHeaderWithOneSection = 48;
constexpr std::size_t kSectionListAt = 28;   // each section a 16-byte identifier and a 4-byte offset
constexpr std::size_t kSectionListEntry = 20;

}  // namespace

std::optional<std::size_t> FirstSectionOffset(std::span<const std::uint8_t> set)
{
    if (set.size() < kHeaderWithOneSection || LoadLe16(set.data()) != kByteOrderMark)
        return std::nullopt;
    return LoadLe32(set.data() + kFirstSectionAt);
}

bool PropertySetHoldsTogether(std::span<const std::uint8_t> set)
{
    const std::size_t size = set.size();
    const std::optional<std::size_t> first = FirstSectionOffset(set);
    if (!first || LoadLe16(set.data() + kVersionAt) > 1)
        return false;
    const std::uint32_t sets = LoadLe32(set.data() + kSectionCountAt);
    const std::uint64_t section = *first;
    if (sets < 1 || sets > 2 || section < kSectionListAt + kSectionListEntry * std::uint64_t{sets} || section + 8 > size)
        return false;
    const std::uint64_t length = LoadLe32(set.data() + section);
    const std::uint64_t properties = LoadLe32(set.data() + section + 4);
    if (length < 8 + 8 * properties || section + length > size)
        return false;
    for (std::uint64_t k = 0; k < properties; ++k) {
        const std::uint64_t offset = LoadLe32(set.data() + section + 12 + 8 * k);
        if (offset < 8 + 8 * properties || offset + 4 > length)
            return false;
    }
    return true;
}

std::vector<std::u16string> SheetNamesFromSummary(std::span<const std::uint8_t> summary)
{
    constexpr std::uint32_t kCodePageProperty = 1;
    constexpr std::uint32_t kHeadingPairsProperty = 12;
    constexpr std::uint32_t kDocumentPartsProperty = 13;
    constexpr std::uint16_t kShort = 0x0002, kLong = 0x0003, kString = 0x001E, kWideString = 0x001F;
    constexpr std::uint16_t kVariant = 0x000C, kVector = 0x1000;
    constexpr std::uint16_t kUtf16CodePage = 1200;
    const std::size_t size = summary.size();
    auto u32 = [&](std::size_t at) -> std::optional<std::uint32_t> {
        if (at > size || size - at < 4)
            return std::nullopt;
        return LoadLe32(summary.data() + at);
    };
    const std::optional<std::size_t> first = FirstSectionOffset(summary);
    if (!first)
        return {};
    const std::size_t set = *first;
    const std::optional<std::uint32_t> count = u32(set + 4);
    if (!count)
        return {};
    std::map<std::uint32_t, std::size_t> where;  // property → offset of its type
    for (std::uint32_t i = 0; i < *count && i < 256; ++i) {
        const auto id = u32(set + 8 + 8 * std::size_t{i});
        const auto offset = u32(set + 12 + 8 * std::size_t{i});
        if (!id || !offset)
            return {};
        where[*id] = set + *offset;
    }
    std::uint16_t codePage = 1252;
    if (const auto it = where.find(kCodePageProperty); it != where.end()) {
        if (const auto type = u32(it->second); type && (*type & 0xFFFF) == kShort && u32(it->second + 4))
            codePage = LoadLe16(summary.data() + it->second + 4);
    }
    // A string of `type` at `at`, which moves past it. Single-byte strings are read when the
    // code page agrees with Latin-1 wherever they use it.
    auto readString = [&](std::uint16_t type, std::size_t& at) -> std::optional<std::u16string> {
        const std::optional<std::uint32_t> length = u32(at);
        if (!length || *length > 4096)
            return std::nullopt;
        at += 4;
        const bool wide = type == kWideString || codePage == kUtf16CodePage;
        const std::size_t bytes = type == kWideString ? 2 * std::size_t{*length} : *length;
        if (size - at < bytes)
            return std::nullopt;
        std::u16string text;
        for (std::size_t k = 0; k < bytes; k += wide ? 2 : 1) {
            const std::uint8_t* c = summary.data() + at + k;
            if (wide) {
                if (k + 1 < bytes)
                    text.push_back(static_cast<char16_t>(LoadLe16(c)));
            } else if (*c < 0x80 || (*c >= 0xA0 && (codePage == 1252 || codePage == 28591))) {
                text.push_back(*c);
            } else {
                return std::nullopt;
            }
        }
        at += wide ? (bytes + 3) / 4 * 4 : bytes;
        while (!text.empty() && text.back() == 0)
            text.pop_back();
        return text;
    };

    // The first heading counts the worksheets, which come first among the parts.
    std::optional<std::uint32_t> worksheets;
    if (const auto it = where.find(kHeadingPairsProperty); it != where.end()) {
        std::size_t at = it->second;
        const auto type = u32(at);
        const auto pairs = u32(at + 4);
        at += 8;
        if (type && (*type & 0xFFFF) == (kVector | kVariant) && pairs && *pairs >= 2) {
            const auto labelType = u32(at);
            at += 4;
            if (labelType && ((*labelType & 0xFFFF) == kString || (*labelType & 0xFFFF) == kWideString) &&
                readString(static_cast<std::uint16_t>(*labelType), at)) {
                const auto valueType = u32(at);
                if (valueType && (*valueType & 0xFFFF) == kLong)
                    worksheets = u32(at + 4);
            }
        }
    }
    const auto it = where.find(kDocumentPartsProperty);
    if (it == where.end())
        return {};
    std::size_t at = it->second;
    const auto type = u32(at);
    const auto parts = u32(at + 4);
    at += 8;
    if (!type || !parts || ((*type & 0xFFFF) != (kVector | kString) && (*type & 0xFFFF) != (kVector | kWideString)))
        return {};
    std::vector<std::u16string> names;
    const std::uint32_t wanted = std::min(*parts, worksheets.value_or(*parts));
    for (std::uint32_t i = 0; i < wanted && i < 65536; ++i) {
        std::optional<std::u16string> name = readString(static_cast<std::uint16_t>(*type & 0xFFF), at);
        if (!name || name->empty() || name->size() > 31)
            return {};
        names.push_back(std::move(*name));
    }
    return names;
}

}  // namespace tabulon
