#include "engine/biff/vba_container.h"

#include <algorithm>
#include <bit>

#include "engine/base/byte_order.h"

namespace tabulon::biff {
namespace {

constexpr std::size_t kChunkOutput = 4096;

// Reads the container, its first `known` bytes at least (all of it when `known` is its size);
// `whole` says whether it must end where its last chunk does.
std::optional<std::vector<std::uint8_t>> Decompress(std::span<const std::uint8_t> container, std::size_t known, bool whole,
                                                    std::size_t most)
{
    if (container.empty() || container[0] != 1)
        return std::nullopt;
    std::vector<std::uint8_t> out;
    std::size_t at = 1;
    bool lastWasShort = false;  // a chunk that gave fewer than 4096 bytes must be the last
    known = std::min(known, container.size());
    while (at < container.size()) {
        if (!whole && at + 2 > known)
            return out;
        if (lastWasShort || container.size() - at < 2)
            return std::nullopt;
        const std::uint16_t header = LoadLe16(container.data() + at);
        const std::size_t size = (header & 0x0FFFu) + 3;
        if (((header >> 12) & 0x7u) != 0x3u || (whole && size > container.size() - at))
            return std::nullopt;
        const std::size_t end = std::min(at + size, container.size());
        if (!whole && end > known && (header & 0x8000u) == 0)
            return out;
        const std::size_t chunkStart = out.size();
        at += 2;
        if ((header & 0x8000u) == 0) {
            // Stored as it is: 4096 bytes.
            if (size != kChunkOutput + 2)
                return std::nullopt;
            out.insert(out.end(), container.begin() + static_cast<std::ptrdiff_t>(at), container.begin() + static_cast<std::ptrdiff_t>(end));
        } else {
            while (at < end) {
                if (!whole && at >= known)
                    return out;
                const std::uint8_t flags = container[at++];
                for (int bit = 0; bit < 8 && at < end; ++bit) {
                    if (!whole && at + ((flags >> bit & 1u) ? 2 : 1) > known)
                        return out;
                    if ((flags >> bit & 1u) == 0) {
                        out.push_back(container[at++]);
                    } else {
                        if (end - at < 2)
                            return std::nullopt;
                        const std::uint16_t token = LoadLe16(container.data() + at);
                        at += 2;
                        // The split between offset and length bits grows with the bytes the
                        // chunk has given so far.
                        const std::size_t done = out.size() - chunkStart;
                        const int bits = std::max(4, static_cast<int>(std::bit_width(done > 0 ? done - 1 : 0)));
                        const unsigned lengthMask = 0xFFFFu >> bits;
                        const std::size_t length = (token & lengthMask) + 3;
                        const std::size_t offset = (static_cast<unsigned>(token) >> (16 - bits)) + 1;
                        if (done == 0 || offset > done)
                            return std::nullopt;
                        for (std::size_t k = 0; k < length; ++k)
                            out.push_back(out[out.size() - offset]);
                    }
                    if (out.size() - chunkStart > kChunkOutput)
                        return std::nullopt;
                }
            }
        }
        if (out.size() > most)
            return std::nullopt;
        lastWasShort = out.size() - chunkStart < kChunkOutput;
        at = end;
    }
    return out;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> DecompressVbaContainer(std::span<const std::uint8_t> container, std::size_t most)
{
    return Decompress(container, container.size(), true, most);
}

std::optional<std::vector<std::uint8_t>> DecompressVbaContainerStart(std::span<const std::uint8_t> container, std::size_t known,
                                                                    std::size_t most)
{
    return Decompress(container, known, false, most);
}

std::optional<std::size_t> VbaSourceStart(std::span<const std::uint8_t> stream)
{
    static constexpr std::string_view kOpening("\0Attribut", 9);
    const auto found = std::search(stream.begin(), stream.end(), kOpening.begin(), kOpening.end());
    if (found == stream.end() || found - stream.begin() < 3)
        return std::nullopt;
    return static_cast<std::size_t>(found - stream.begin()) - 3;
}

bool VbaSourceLines(std::span<const std::uint8_t> text, bool whole)
{
    constexpr std::uint8_t kCr = 0x0D, kLf = 0x0A;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] < 0x20 && text[i] != '\t' && text[i] != kCr && text[i] != kLf)
            return false;
        const bool crBefore = i > 0 && text[i - 1] == kCr;
        const bool lfAfter = i + 1 < text.size() ? text[i + 1] == kLf : !whole;
        if ((text[i] == kLf && !crBefore) || (text[i] == kCr && !lfAfter))
            return false;
    }
    return true;
}

bool VbaStreamHoldsTogether(VbaStream kind, std::span<const std::uint8_t> data)
{
    // The dir stream's first record (the kind of system, 4 bytes long) and its terminator.
    static constexpr std::uint8_t kDirOpening[] = {0x01, 0x00, 0x04, 0x00, 0x00, 0x00};
    static constexpr std::uint8_t kDirEnd[] = {0x10, 0x00, 0x00, 0x00, 0x00, 0x00};
    switch (kind) {
    case VbaStream::ProjectCache:
        return data.size() >= 7 && data[0] == 0xCC && data[1] == 0x61 && data[4] == 0x00;
    case VbaStream::ProjectText: {
        static constexpr std::string_view kId("ID=\"{");
        return data.size() >= kId.size() && std::equal(kId.begin(), kId.end(), data.begin()) &&
               std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b >= 0x20 || b == '\t' || b == 0x0D || b == 0x0A; });
    }
    case VbaStream::Dir: {
        const auto text = DecompressVbaContainer(data);
        return text && text->size() >= sizeof kDirOpening + sizeof kDirEnd &&
               std::equal(std::begin(kDirOpening), std::end(kDirOpening), text->begin()) &&
               std::equal(std::begin(kDirEnd), std::end(kDirEnd), text->end() - static_cast<std::ptrdiff_t>(sizeof kDirEnd));
    }
    case VbaStream::Module: {
        const auto start = VbaSourceStart(data);
        const auto text = start ? DecompressVbaContainer(data.subspan(*start)) : std::nullopt;
        return text && VbaSourceLines(*text, true);
    }
    }
    return false;
}

}  // namespace tabulon::biff
