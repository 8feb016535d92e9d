// Little-endian field access on byte buffers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tabulon {

inline std::uint16_t LoadLe16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t LoadLe32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::uint64_t LoadLe64(const std::uint8_t* p)
{
    return LoadLe32(p) | (std::uint64_t{LoadLe32(p + 4)} << 32);
}

inline void StoreLe16(std::uint8_t* p, std::uint16_t value)
{
    p[0] = static_cast<std::uint8_t>(value);
    p[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void StoreLe32(std::uint8_t* p, std::uint32_t value)
{
    p[0] = static_cast<std::uint8_t>(value);
    p[1] = static_cast<std::uint8_t>(value >> 8);
    p[2] = static_cast<std::uint8_t>(value >> 16);
    p[3] = static_cast<std::uint8_t>(value >> 24);
}

inline void StoreLe64(std::uint8_t* p, std::uint64_t value)
{
    StoreLe32(p, static_cast<std::uint32_t>(value));
    StoreLe32(p + 4, static_cast<std::uint32_t>(value >> 32));
}

}  // namespace tabulon
