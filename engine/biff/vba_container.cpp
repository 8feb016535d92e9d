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

}  // namespace tabulon::biff
