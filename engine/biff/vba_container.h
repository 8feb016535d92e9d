// The compressed containers of a workbook's macro project (its "dir" stream, and each module's
// source after the module's compiled code): chunks of up to 4096 bytes, each a header (its
// size less 3, a signature of three bits 011, whether it is compressed), then groups of eight
// tokens, each a literal byte or a copy of earlier bytes of the chunk, a flags byte before each
// group saying which.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
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

// Where a module's compressed source begins in its stream: after the compiled code, a
// compressed container (a signature byte 1, a chunk header) whose first token group, all
// literal (a zero flags byte), opens with "Attribut" (every module's source opens with its
// "Attribute VB_Name" line). Nothing when the stream holds no such start.
std::optional<std::size_t> VbaSourceStart(std::span<const std::uint8_t> stream);

// Whether a module's source text reads as one: no control character but a tab, every line
// ending with CR LF (`whole` false: a CR that ends what is known yet may still have its LF to
// come).
bool VbaSourceLines(std::span<const std::uint8_t> text, bool whole);

// The streams of a macro project's storage whose own bytes tell whether they hold together.
enum class VbaStream {
    ProjectCache,  // "_VBA_PROJECT": its fixed start (the compiled cache after it may be anything)
    ProjectText,   // "PROJECT": lines of text that open with the project's ID
    Dir,           // "dir": a container that reads whole, from the project's first record to its last
    Module,        // any other stream beside "dir": compiled code, then a container of source lines
};
bool VbaStreamHoldsTogether(VbaStream kind, std::span<const std::uint8_t> data);

}  // namespace tabulon::biff
