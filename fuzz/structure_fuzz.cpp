// Fuzz target for the structural check, the deep rebuild and the whole repair: the input is
// the whole file. None of them may crash, hang or allocate by a count read from the file
// (libFuzzer's memory limits catch that); the repair writes bytes 0 to 511 only, and nothing
// at all for a file it refuses or that opens as it is.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "engine/deep_rebuild.h"
#include "engine/repair.h"
#include "engine/verify.h"

namespace {

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "structure fuzz: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > (1u << 20))
        return -1;
    const std::vector<std::uint8_t> input(data, data + size);

    tabulon::MemorySectorFile verified(input);
    const tabulon::WorkbookCheck check = tabulon::VerifyWorkbook(verified);
    if (check.Opens() != (check.FirstProblem() == nullptr))
        Fail("Opens and FirstProblem disagree");

    tabulon::MemorySectorFile deepFile(input);
    if (const auto header = tabulon::DeepRebuildHeader(deepFile)) {
        if ((*header)[0] != 0xD0 || (*header)[26] != 3)
            Fail("deep header is not a version-3 header");
    }
    if (deepFile.Bytes() != input)
        Fail("deep rebuild wrote to the file");

    tabulon::MemorySectorFile repaired(input);
    const tabulon::RepairReport report = tabulon::RepairHeader(repaired, tabulon::RebuildMode::Auto);
    const std::vector<std::uint8_t>& bytes = repaired.Bytes();
    if (report.refused || check.Opens()) {
        if (bytes != input)
            Fail(report.refused ? "a refused file was written" : "a file that opened was written");
        return 0;
    }
    if (bytes.size() != std::max<std::size_t>(size, 512))
        Fail("the repaired file has the wrong length");
    if (size > 512 && !std::equal(input.begin() + 512, input.end(), bytes.begin() + 512))
        Fail("a byte after the header changed");
    if (!std::equal(report.after.begin(), report.after.end(), bytes.begin()))
        Fail("the report's header is not what was written");
    return 0;
}
