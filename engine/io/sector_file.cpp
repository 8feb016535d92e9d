#include "engine/io/sector_file.h"

#include <algorithm>
#include <stdexcept>
#include <system_error>

namespace tabulon {

std::vector<std::uint8_t> ReadFileBytes(SectorFile& file, std::uint64_t most)
{
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::min(file.Length(), most)));
    file.Seek(0);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::size_t read = file.Read(std::span(bytes).subspan(done));
        if (read == 0)
            break;
        done += read;
    }
    bytes.resize(done);
    return bytes;
}

namespace {

// Up to buffer.size() of `bytes` from `position`, which moves on past them.
std::size_t ReadHeld(std::span<const std::uint8_t> bytes, std::uint64_t& position, std::span<std::uint8_t> buffer)
{
    if (position >= bytes.size())
        return 0;
    const auto available = static_cast<std::size_t>(bytes.size() - position);
    const std::size_t count = std::min(available, buffer.size());
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(position), count, buffer.begin());
    position += count;
    return count;
}

}  // namespace

std::size_t MemorySectorFile::Read(std::span<std::uint8_t> buffer)
{
    return ReadHeld(bytes_, position_, buffer);
}

std::size_t ByteViewFile::Read(std::span<std::uint8_t> buffer)
{
    return ReadHeld(bytes_, position_, buffer);
}

void ByteViewFile::Write(std::span<const std::uint8_t, kBlockSize>)
{
    throw std::system_error(std::make_error_code(std::errc::read_only_file_system), "these bytes are only read");
}

void SectorFile::WriteBlocks(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() % kBlockSize != 0)
        throw std::invalid_argument("WriteBlocks takes whole blocks");
    for (std::size_t at = 0; at < bytes.size(); at += kBlockSize)
        Write(bytes.subspan(at).first<kBlockSize>());
}

void MemorySectorFile::Write(std::span<const std::uint8_t, kBlockSize> block)
{
    WriteBlocks(block);
}

void MemorySectorFile::WriteBlocks(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() % kBlockSize != 0)
        throw std::invalid_argument("WriteBlocks takes whole blocks");
    const auto end = position_ + bytes.size();
    if (end > bytes_.size())
        bytes_.resize(static_cast<std::size_t>(end));  // a gap left by a seek past the end reads as zeros
    std::copy(bytes.begin(), bytes.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(position_));
    position_ = end;
}

}  // namespace tabulon
