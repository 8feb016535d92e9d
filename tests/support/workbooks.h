// Files for tests: whole-file reads and writes, the real workbooks in tests/data, the ways
// their headers get damaged, and a file that is no workbook.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace tabulon::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes ReadFirstBytes(const std::filesystem::path& path, std::size_t count)
{
    Bytes bytes(count);
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

// Empty when the file cannot be read.
inline Bytes ReadWholeFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteWholeFile(const std::filesystem::path& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

#ifdef TABULON_TEST_DATA
inline std::filesystem::path TestWorkbookPath(const std::string& name)
{
    return std::filesystem::path(TABULON_TEST_DATA) / name;
}

// The names of the workbooks in tests/data, sorted.
inline std::vector<std::string> TestWorkbookNames()
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(TABULON_TEST_DATA)) {
        if (entry.path().extension() == ".xls")
            names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A workbook of tests/data; throws when it is missing, so that no check passes on nothing.
inline Bytes TestWorkbook(const std::string& name = "readxl__mtcars.xls")
{
    Bytes bytes = ReadWholeFile(TestWorkbookPath(name));
    if (bytes.size() <= 512)
        throw std::runtime_error("test workbook " + TestWorkbookPath(name).string() + " is missing or too short");
    return bytes;
}
#endif

// The first offset from `from` on where `a` and `b` differ (the shorter length when one ends
// first), or nothing when they agree from there on. From 44 on, a repaired workbook is its
// original again: bytes 0 to 43 are the fixed identification, which a repair writes as the
// standard values.
inline std::optional<std::size_t> FirstDifference(const Bytes& a, const Bytes& b, std::size_t from)
{
    const std::size_t end = std::min(a.size(), b.size());
    for (std::size_t i = from; i < end; ++i) {
        if (a[i] != b[i])
            return i;
    }
    return a.size() == b.size() ? std::nullopt : std::optional(end);
}

// The ways headers get damaged: bytes `from` to `to` zeroed, or garbled with random bytes.
struct HeaderDamage {
    const char* name;
    std::size_t from, to;
    bool garbled;

    void Apply(Bytes& file, std::mt19937& random) const
    {
        for (std::size_t i = from; i < to; ++i)
            file[i] = garbled ? static_cast<std::uint8_t>(random()) : 0;
    }
};

inline constexpr HeaderDamage kHeaderDamages[] = {
    {"wiped", 0, 512, false},
    {"noise", 0, 512, true},
    {"identification garbled", 0, 44, true},
    {"counts garbled", 44, 76, true},
    {"allocation list wiped", 76, 512, false},
    {"64-byte burst", 30, 94, true},
    {"truncated write", 200, 512, false},
};

// A zip archive's opening bytes (a newer .xlsx workbook, say) and then `fill`.
inline Bytes ZipArchive(std::size_t size = 4096, std::uint8_t fill = 0)
{
    Bytes bytes(size, fill);
    const std::uint8_t start[] = {'P', 'K', 3, 4};
    std::copy(std::begin(start), std::end(start), bytes.begin());
    return bytes;
}

}  // namespace tabulon::test
