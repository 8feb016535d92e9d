// The compressed containers of a workbook's macro project (its "dir" stream, and each module's
// source after the module's compiled code): chunks of up to 4096 bytes, each a header (its
// size less 3, a signature of three bits 011, whether it is compressed), then groups of eight
// tokens, each a literal byte or a copy of earlier bytes of the chunk, a flags byte before each
// group saying which.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tabulon::biff {

// The bytes a container holds, when it reads whole to its last byte: a signature byte of 1,
// then chunks that each end where their header says, every chunk but the last giving 4096
// bytes, and no copy reaching before its chunk's start. Nothing otherwise, and nothing past
// `most` bytes of output.
std::optional<std::vector<std::uint8_t>> DecompressVbaContainer(std::span<const std::uint8_t> container,
                                                               std::size_t most = std::size_t{16} << 20);

// The bytes the first `known` bytes of a container give, as far as they read (the rest of the
// container not yet known): nothing where they already break the container's rules.
std::optional<std::vector<std::uint8_t>> DecompressVbaContainerStart(std::span<const std::uint8_t> container, std::size_t known,
                                                                    std::size_t most = std::size_t{16} << 20);

}  // namespace tabulon::biff
