// The random-access file the engine works on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>


namespace tabulon {

// The unit a SectorFile writes: one sector of the compound files the engine repairs.
inline constexpr std::size_t kBlockSize = 512;

// A file's bytes read where they already lie (held in memory, or mapped from disk), without a
// copy. `bytes` is the whole file; where `zerosToBlockEnd`, the bytes after its end up to the
// next multiple of kBlockSize may be read too, and read as zeros.
struct LentBytes {
    std::span<const std::uint8_t> bytes;
    bool zerosToBlockEnd = false;
};

// Four operations, and a fifth that files able to write many blocks at once faster override.
// Implementations report failures by throwing std::system_error; reaching the end of the file
// is not a failure.
class SectorFile {
public:
    virtual ~SectorFile() = default;

    virtual std::uint64_t Length() = 0;
    // Sets the position to an absolute offset; positions past the end are allowed.
    virtual void Seek(std::uint64_t offset) = 0;
    // Reads up to buffer.size() bytes at the position and advances it by the count read.
    // Gives fewer bytes only at the end of the file.
    virtual std::size_t Read(std::span<std::uint8_t> buffer) = 0;
    // Writes one block at the position and advances it.
    virtual void Write(std::span<const std::uint8_t, kBlockSize> block) = 0;
    // Writes whole blocks (`bytes` a multiple of kBlockSize long) as Write does one by one.
    virtual void WriteBlocks(std::span<const std::uint8_t> bytes);
    // The whole file's bytes, where the file can lend them without reading them into a buffer
    // of the caller's; they stay valid until the file is next written, moved or closed.
    // Nothing where it cannot.
    virtual std::optional<LentBytes> Lend() { return std::nullopt; }
};

// The first `most` bytes of the file (all of it when shorter), read from its start.
std::vector<std::uint8_t> ReadFileBytes(SectorFile& file, std::uint64_t most);

// A file held in memory, for tests, fuzzing and callers that already hold the bytes.
class MemorySectorFile final : public SectorFile {
public:
    MemorySectorFile() = default;
    explicit MemorySectorFile(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

    std::uint64_t Length() override { return bytes_.size(); }
    void Seek(std::uint64_t offset) override { position_ = offset; }
    std::size_t Read(std::span<std::uint8_t> buffer) override;
    void Write(std::span<const std::uint8_t, kBlockSize> block) override;
    void WriteBlocks(std::span<const std::uint8_t> bytes) override;
    std::optional<LentBytes> Lend() override { return LentBytes{bytes_, false}; }

    const std::vector<std::uint8_t>& Bytes() const { return bytes_; }
    std::uint64_t Position() const { return position_; }

private:
    std::vector<std::uint8_t> bytes_;
    std::uint64_t position_ = 0;
};

// Bytes a caller holds, read where they are (no copy); writing them fails.
class ByteViewFile final : public SectorFile {
public:
    explicit ByteViewFile(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::uint64_t Length() override { return bytes_.size(); }
    void Seek(std::uint64_t offset) override { position_ = offset; }
    std::size_t Read(std::span<std::uint8_t> buffer) override;
    void Write(std::span<const std::uint8_t, kBlockSize> block) override;
    std::optional<LentBytes> Lend() override { return LentBytes{bytes_, false}; }

private:
    std::span<const std::uint8_t> bytes_;
    std::uint64_t position_ = 0;
};

}  // namespace tabulon
