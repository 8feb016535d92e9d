#include "engine/io/os_file.h"

#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

namespace tabulon {
namespace {

constexpr std::size_t kCopyChunk = 1 << 20;

}  // namespace

OsFile::OsFile(OsFile&& other) noexcept : handle_(other.handle_), ours_(other.ours_)
{
    other.Unmap();
    other.handle_ = kNoHandle;
}

OsFile& OsFile::operator=(OsFile&& other) noexcept
{
    Unmap();
    other.Unmap();
    std::swap(handle_, other.handle_);
    std::swap(ours_, other.ours_);
    return *this;
}

void CopyFileContents(OsFile& source, OsFile& destination)
{
    std::vector<std::uint8_t> chunk(kCopyChunk);
    source.Seek(0);
    destination.Seek(0);
    for (;;) {
        const std::size_t got = source.Read(chunk);
        if (got == 0)
            break;
        destination.WriteAll(std::span(chunk.data(), got));
    }
}

std::string UniqueTemporaryName()
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::random_device random;
    std::string name = ".tabulon-";
    for (int i = 0; i < 16; ++i)
        name += kDigits[random() % 16];
    return name + ".tmp";
}

void OsFile::Write(std::span<const std::uint8_t, kBlockSize> block)
{
    WriteAll(block);
}

std::optional<LentBytes> OsFile::Lend()
{
    if (!ours_)
        return std::nullopt;
    if (mapped_ == nullptr && !Map())
        return std::nullopt;
    // (A file of ours that grew by another handle is not ours alone: the mapping stands for
    // the length it was made with.)
    return LentBytes{std::span(mapped_, mappedLength_), mappedZeros_};
}

void OsFile::WriteBlocks(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() % kBlockSize != 0)
        throw std::invalid_argument("WriteBlocks takes whole blocks");
    WriteAll(bytes);
}

}  // namespace tabulon
