#include "engine/cfb/directory_entry.h"

#include <algorithm>
#include <bit>

#include "engine/base/byte_order.h"

namespace tabulon {
namespace {

constexpr std::size_t kClsidOffset = 80;
constexpr std::size_t kStateBitsOffset = 96;
constexpr std::size_t kCreationTimeOffset = 100;
constexpr std::size_t kModifiedTimeOffset = 108;

// Whether the name at `raw` ends where `nameBytes` says, as a writer makes it: 1 to 31 units,
// no null among them, then its null (`nullOneBitOff`: or a unit one bit away from one).
bool NameEndsAtItsLength(const std::uint8_t* raw, std::uint16_t nameBytes, bool nullOneBitOff)
{
    if (nameBytes < 4 || nameBytes > 2 * (kMaxEntryNameLength + 1) || nameBytes % 2 != 0)
        return false;
    for (std::size_t i = 0; i + 1 < nameBytes / 2u; ++i) {
        if (LoadLe16(raw + 2 * i) == 0)
            return false;
    }
    const unsigned end = LoadLe16(raw + nameBytes - 2);
    return end == 0 || (nullOneBitOff && std::popcount(end) == 1);
}

// The name length the first null of the name at `raw` gives, where `nameBytes` is one bit away
// from it; else `nameBytes`.
std::uint16_t NameLengthOneBitAway(const std::uint8_t* raw, std::uint16_t nameBytes)
{
    for (std::size_t i = 1; i <= kMaxEntryNameLength; ++i) {
        if (LoadLe16(raw + 2 * i) == 0) {
            const auto byNull = static_cast<std::uint16_t>(2 * (i + 1));
            return std::popcount(static_cast<unsigned>(byNull ^ nameBytes)) == 1 ? byNull : nameBytes;
        }
    }
    return nameBytes;
}

}  // namespace

std::optional<DirectoryEntry> ReadDirectoryEntry(const std::uint8_t* raw, EntryReading reading)
{
    DirectoryEntry entry;
    entry.type = raw[kEntryObjectTypeOffset];
    std::uint16_t nameBytes = LoadLe16(raw + kEntryNameLengthOffset);
    // (A name that ends where its length says, its null a bit away from one, keeps that length.)
    const bool oneBitAway = reading == EntryReading::StrictButOneBit;
    if (oneBitAway && !NameEndsAtItsLength(raw, nameBytes, true))
        nameBytes = NameLengthOneBitAway(raw, nameBytes);
    if (reading == EntryReading::Strict || reading == EntryReading::StrictButOneBit) {
        if (entry.type != kObjectTypeStorage && entry.type != kObjectTypeStream && entry.type != kObjectTypeRootStorage)
            return std::nullopt;
        if (!NameEndsAtItsLength(raw, nameBytes, oneBitAway))
            return std::nullopt;
        for (std::size_t i = 0; i + 1 < nameBytes / 2u; ++i)
            entry.name.push_back(static_cast<char16_t>(LoadLe16(raw + 2 * i)));
    } else {
        const std::size_t units = reading == EntryReading::Covered
                                      ? std::min<std::size_t>(nameBytes / 2, kMaxEntryNameLength + 1)
                                  : nameBytes >= 2 ? std::min<std::size_t>(nameBytes / 2 - 1, kMaxEntryNameLength)
                                                   : 0;
        for (std::size_t i = 0; i < units; ++i) {
            const char16_t unit = static_cast<char16_t>(LoadLe16(raw + 2 * i));
            if (unit == 0)
                break;
            entry.name.push_back(unit);
        }
    }
    entry.colour = raw[kEntryColorFlagOffset];
    entry.left = LoadLe32(raw + kEntryLeftSiblingOffset);
    entry.right = LoadLe32(raw + kEntryRightSiblingOffset);
    entry.child = LoadLe32(raw + kEntryChildOffset);
    std::copy_n(raw + kClsidOffset, entry.clsid.size(), entry.clsid.begin());
    entry.stateBits = LoadLe32(raw + kStateBitsOffset);
    entry.created = LoadLe64(raw + kCreationTimeOffset);
    entry.modified = LoadLe64(raw + kModifiedTimeOffset);
    entry.start = LoadLe32(raw + kEntryStartSectorOffset);
    entry.size = LoadLe32(raw + kEntryStreamSizeOffset);
    return entry;
}

void WriteDirectoryEntry(std::uint8_t* raw, const DirectoryEntry& entry)
{
    const std::size_t units = std::min(entry.name.size(), kMaxEntryNameLength);
    for (std::size_t i = 0; i < units; ++i)
        StoreLe16(raw + 2 * i, entry.name[i]);
    StoreLe16(raw + kEntryNameLengthOffset, static_cast<std::uint16_t>(2 * (units + 1)));
    raw[kEntryObjectTypeOffset] = entry.type;
    raw[kEntryColorFlagOffset] = entry.colour;
    StoreLe32(raw + kEntryLeftSiblingOffset, entry.left);
    StoreLe32(raw + kEntryRightSiblingOffset, entry.right);
    StoreLe32(raw + kEntryChildOffset, entry.child);
    std::copy(entry.clsid.begin(), entry.clsid.end(), raw + kClsidOffset);
    StoreLe32(raw + kStateBitsOffset, entry.stateBits);
    StoreLe64(raw + kCreationTimeOffset, entry.created);
    StoreLe64(raw + kModifiedTimeOffset, entry.modified);
    StoreLe32(raw + kEntryStartSectorOffset, entry.start);
    StoreLe64(raw + kEntryStreamSizeOffset, entry.size);
}

}  // namespace tabulon
