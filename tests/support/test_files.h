// Compound files for tests, written and read without the engine's compound-file layer: the
// tests of the workbook records take their streams from real workbooks with this reader, the
// tests above them wrap the streams they build with this writer, and the repair's output is
// read back by a reader that is not its own.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tabulon::test {

struct NamedStream {
    std::u16string name;  // 1 to 31 code units
    std::vector<std::uint8_t> data;
};

// A version-3 compound file (512-byte sectors) holding `streams` under its root, laid out as
// the engine's writer lays out a fresh file: the streams of 4096 bytes or more one after the
// other, the mini stream holding the smaller ones, its table, the directory, the allocation
// table. Throws std::length_error for a file whose table would need DIFAT sectors.
std::vector<std::uint8_t> CompoundFileOf(const std::vector<NamedStream>& streams);

// The bytes of the stream at `path` in `file` (the names of the storages on the way from the
// root, then the stream's; letters' case aside, as readers take names), or nothing where the
// file is no compound file, has no such stream, or its chains do not hold the stream whole.
std::optional<std::vector<std::uint8_t>> StreamOf(std::span<const std::uint8_t> file,
                                                  std::span<const std::u16string_view> path);
std::optional<std::vector<std::uint8_t>> RootStreamOf(std::span<const std::uint8_t> file, std::u16string_view name);

}  // namespace tabulon::test
