// Fuzz target for the structural check, the deep rebuild, the whole repair and the salvage that
// follows it: the input is the whole file. None of them may crash, hang or allocate by a count read from the file
// (libFuzzer's memory limits catch that); the repair writes bytes 0 to 511 only, nothing at
// all for a file it refuses, that opens as it is or whose own header it keeps, and its verdict
// is the check's verdict on the bytes it wrote. Bytes that moved are put back into a new file
// only, whose verdict is its own.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <vector>

#include "engine/cfb/verify.h"
#include "engine/repair/rebuild/rebuild.h"
#include "engine/repair/pipeline/repair.h"
#include "engine/repair/workbook/workbook.h"

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

    // Signature, CLSID, minor and major version, byte order, sector and mini sector shifts,
    // then zeros: reserved bytes and the directory sector count.
    static const std::uint8_t kVersion3Start[44] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1, 0, 0, 0, 0,
                                                    0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0,
                                                    0x3E, 0,    3,    0,    0xFE, 0xFF, 9,    0,    6, 0};
    tabulon::MemorySectorFile deepFile(input);
    if (const auto header = tabulon::DeepRebuildHeader(deepFile)) {
        if (!std::equal(std::begin(kVersion3Start), std::end(kVersion3Start), header->begin()))
            Fail("deep header is not a version-3 header");
    }
    if (deepFile.Bytes() != input)
        Fail("deep rebuild wrote to the file");

    tabulon::MemorySectorFile repaired(input);
    const tabulon::RepairReport report = tabulon::RepairHeader(repaired, tabulon::RebuildMode::Auto);
    const std::vector<std::uint8_t>& bytes = repaired.Bytes();
    if (report.realign) {
        // Moved bytes put back: never into the file; the verdict is the one on the realigned
        // bytes, and the new file holds them.
        if (bytes != input)
            Fail("realigned bytes were written into the file");
        if (!report.realignedBytes || !report.realign->Any())
            Fail("a realigned report without its bytes or what was undone");
        tabulon::MemorySectorFile moved(*report.realignedBytes);
        if (tabulon::VerifyWorkbook(moved).Opens() != report.check.Opens() || !report.check.Opens())
            Fail("the verdict on realigned bytes differs from a check of them");
        tabulon::MemorySectorFile out;
        const tabulon::RepairReport after = tabulon::SalvageRepair(repaired, report, out);
        if (after.used != tabulon::RebuildUsed::Realigned || repaired.Bytes() != input)
            Fail("realigned bytes did not go into a new file alone");
        if (!std::equal(report.realignedBytes->begin(), report.realignedBytes->end(), out.Bytes().begin()))
            Fail("the new file does not hold the realigned bytes");
        tabulon::MemorySectorFile reread(out.Bytes());
        if (tabulon::VerifyWorkbook(reread).Opens() != after.check.Opens())
            Fail("the realigned file's verdict differs from a check of it");
        return 0;
    }
    if (report.refused || check.Opens() || report.used == tabulon::RebuildUsed::Kept) {
        if (bytes != input)
            Fail(report.refused ? "a refused file was written"
                 : check.Opens() ? "a file that opened was written"
                                 : "a file whose header was kept was written");
        if (check.Opens() != report.check.Opens())
            Fail("the repair's verdict on a file it left alone differs from the check's");
        return 0;
    }
    if (bytes.size() != std::max<std::size_t>(size, 512))
        Fail("the repaired file has the wrong length");
    if (size > 512 && !std::equal(input.begin() + 512, input.end(), bytes.begin() + 512))
        Fail("a byte after the header changed");
    tabulon::MemorySectorFile written(bytes);
    if (tabulon::VerifyWorkbook(written).Opens() != report.check.Opens())
        Fail("the repair's verdict differs from a check of the bytes it wrote");

    // The salvage reads the repaired file and writes a new one, whose verdict is its own.
    if (tabulon::NeedsSalvage(report)) {
        tabulon::MemorySectorFile source(bytes);
        tabulon::MemorySectorFile salvaged;
        const tabulon::RepairReport after = tabulon::SalvageRepair(source, report, salvaged);
        if (source.Bytes() != bytes)
            Fail("the salvage wrote to the file it salvaged");
        if (after.salvage && after.salvage->written) {
            tabulon::MemorySectorFile reread(salvaged.Bytes());
            if (tabulon::VerifyWorkbook(reread).Opens() != after.salvage->check.Opens())
                Fail("the salvage's verdict differs from a check of the file it wrote");
        } else if (!salvaged.Bytes().empty()) {
            Fail("a salvage that found nothing wrote something");
        }
    }
    return 0;
}
