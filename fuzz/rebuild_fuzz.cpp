// Differential fuzz target: the header rebuild and its scans, engine against the slow
// reference in tests/support, on the same bytes.
//
// The input is the whole file, with one exception that makes allocation-table and directory
// sectors reachable (random bytes almost never form them): when byte 0 is 'S' and there are
// 42 bytes or more, bytes 1..41 hold stamps. The rebuild overwrites bytes 0..43 without reading them, so using them costs
// the fuzzer nothing.
//   byte 1           number of stamps, modulo 9
//   bytes 2+5i..6+5i stamp i: sector s, kind k, a, b, c
// Stamps apply in order. A stamp rewrites sector s (offset (s + 1) * 512; a trailing partial
// sector only as far as the file goes; a sector past the end not at all). The table kinds
// write entries 0 .. 127 - c % 128 and leave the rest as they were:
//   k % 5 == 0  chain          entry j = (a | b << 8) + j
//   k % 5 == 1  markers        entry j = 0xFFFFFFFC + a % 4
//   k % 5 == 2  small values   entry j = (a + j * b) % 512
//   k % 5 == 3  directory      a root entry ("Root Entry", name length 22, type 5, colour 1)
//                              followed by three zero entries, the whole sector
//   k % 5 == 4  root entry     the root entry alone, over the sector's first 128 bytes
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <span>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/cfb/consts.h"
#include "engine/cfb/sector_probes.h"
#include "engine/io/sector_file.h"
#include "engine/repair/rebuild/rebuild.h"
#include "tests/support/literal_scans.h"

namespace {

using tabulon::kSectorSize;

// Rebuilds are compared up to this length; the scans, which the reference answers with one
// pass per question, only up to the smaller one, to keep executions fast.
constexpr std::size_t kMaxInput = 1 << 20;
constexpr std::size_t kMaxScannedInput = 128 << 10;  // as far as stamps reach

constexpr std::uint8_t kStampMode = 'S';
constexpr std::size_t kStampRecordSize = 5;
constexpr std::size_t kMaxStamps = 8;
constexpr std::size_t kStampProgramEnd = 2 + kStampRecordSize * kMaxStamps;

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "rebuild_fuzz: %s\n", what);
    std::abort();
}

template <typename A, typename B>
void ExpectEqual(A engine, B literal, const char* what, long long detail = -1, long long detail2 = -1)
{
    if (static_cast<long long>(engine) == static_cast<long long>(literal))
        return;
    std::fprintf(stderr, "rebuild_fuzz: %s (%lld, %lld): engine %lld, reference %lld\n", what, detail, detail2,
                 static_cast<long long>(engine), static_cast<long long>(literal));
    std::abort();
}

void WriteRootEntry(std::uint8_t* entry)
{
    std::fill_n(entry, tabulon::kDirectoryEntrySize, std::uint8_t{0});
    constexpr char kName[] = "Root Entry";
    for (std::size_t i = 0; kName[i] != '\0'; ++i)
        entry[2 * i] = static_cast<std::uint8_t>(kName[i]);
    tabulon::StoreLe16(entry + tabulon::kEntryNameLengthOffset, 22);
    entry[tabulon::kEntryObjectTypeOffset] = tabulon::kObjectTypeRootStorage;
    entry[tabulon::kEntryColorFlagOffset] = 1;
}

void ApplyStamps(std::vector<std::uint8_t>& bytes)
{
    if (bytes.size() < kStampProgramEnd || bytes[0] != kStampMode)
        return;
    const std::size_t stamps = bytes[1] % (kMaxStamps + 1);
    for (std::size_t i = 0; i < stamps; ++i) {
        const std::uint8_t* record = bytes.data() + 2 + kStampRecordSize * i;
        const std::uint8_t kind = static_cast<std::uint8_t>(record[1] % 5);
        const std::uint32_t a = record[2];
        const std::uint32_t b = record[3];
        const std::size_t count = tabulon::kEntriesPerFatSector - record[4] % tabulon::kEntriesPerFatSector;
        const std::size_t offset = (std::size_t{record[0]} + 1) * kSectorSize;
        if (offset >= bytes.size())
            continue;
        const std::size_t available = std::min(kSectorSize, bytes.size() - offset);

        tabulon::SectorBytes sector{};
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), available, sector.begin());
        for (std::uint32_t j = 0; j < count && kind <= 2; ++j) {
            std::uint32_t value = 0;
            if (kind == 0)
                value = (a | b << 8) + j;
            else if (kind == 1)
                value = tabulon::kFirstSpecialValue + a % 4;
            else
                value = (a + j * b) % 512;
            tabulon::StoreLe32(sector.data() + 4 * j, value);
        }
        if (kind == 3)
            sector.fill(0);
        if (kind >= 3)
            WriteRootEntry(sector.data());
        std::copy_n(sector.begin(), available, bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    }
}

// Every 512-byte block of the file, the header and a zero-padded trailing block included: the
// probes accept any bytes, and the rebuild also probes blocks that are not whole sectors.
void CompareProbes(const std::vector<std::uint8_t>& bytes, std::span<const std::int32_t> ns)
{
    for (std::size_t offset = 0; offset < bytes.size(); offset += kSectorSize) {
        tabulon::SectorBytes sector{};
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), std::min(kSectorSize, bytes.size() - offset),
                    sector.begin());
        const auto block = static_cast<long long>(offset / kSectorSize);
        ExpectEqual(tabulon::IsFatLikeSector(sector), tabulon::literal::IsFatLikeSector(sector), "IsFatLikeSector",
                    block);
        ExpectEqual(tabulon::IsDirectorySector(sector), tabulon::literal::IsDirectorySector(sector),
                    "IsDirectorySector", block);
        for (std::size_t k = 0; k < tabulon::kDirectoryEntriesPerSector; ++k) {
            const std::size_t start = k * tabulon::kDirectoryEntrySize;
            ExpectEqual(tabulon::CountNameUnits(std::span<const std::uint8_t>(sector).subspan(start)),
                        tabulon::literal::CountNameUnits(sector.data() + start, sector.data() + sector.size()),
                        "CountNameUnits (block, entry)", block, static_cast<long long>(k));
        }
        for (const std::int32_t n : ns)
            ExpectEqual(tabulon::EstimateFatIndex(tabulon::SectorView(sector), n),
                        tabulon::literal::EstimateFatIndex(sector, n), "EstimateFatIndex (block, n)", block, n);
    }
}

void CompareScans(const std::vector<std::uint8_t>& bytes, std::span<const std::int32_t> ns)
{
    tabulon::MemorySectorFile engineFile(bytes);
    tabulon::MemorySectorFile literalFile(bytes);
    const tabulon::SectorScan scan = tabulon::SectorScan::Run(engineFile);
    ExpectEqual(scan.CountFatLikeSectors(), tabulon::literal::CountFatLikeSectors(literalFile), "CountFatLikeSectors");
    ExpectEqual(scan.FindRootDirectorySector(), tabulon::literal::FindRootDirectorySector(literalFile),
                "FindRootDirectorySector");
    for (const std::int32_t n : ns) {
        for (const bool skipFirst : {false, true})
            ExpectEqual(scan.FindFatSector(n, skipFirst), tabulon::literal::FindFatSector(literalFile, n, skipFirst),
                        "FindFatSector (n, skipFirst)", n, skipFirst);
    }
}

void CompareRebuilds(const std::vector<std::uint8_t>& bytes)
{
    tabulon::MemorySectorFile engineFile(bytes);
    tabulon::MemorySectorFile literalFile(bytes);
    tabulon::HeaderRebuild result;
    try {
        result = tabulon::RebuildHeader(engineFile);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "rebuild_fuzz: RebuildHeader threw: %s\n", e.what());
        std::abort();
    }
    try {
        tabulon::literal::RebuildHeader(literalFile);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "rebuild_fuzz: literal::RebuildHeader threw: %s\n", e.what());
        std::abort();
    }

    const std::vector<std::uint8_t>& out = engineFile.Bytes();
    if (out.size() != std::max(bytes.size(), kSectorSize))
        Fail("the rebuilt file's length is not max(input length, 512)");
    if (engineFile.Position() != kSectorSize)
        Fail("the position after the rebuild is not 512");
    if (!std::equal(out.begin() + kSectorSize, out.end(),
                    bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), kSectorSize))))
        Fail("the rebuild changed bytes past the header");
    constexpr std::array<std::uint8_t, 8> kSignature = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    if (!std::equal(kSignature.begin(), kSignature.end(), out.begin()))
        Fail("the rebuilt header does not start with the signature");
    tabulon::HeaderBytes before{};
    std::copy_n(bytes.begin(), std::min(bytes.size(), kSectorSize), before.begin());
    if (result.before != before)
        Fail("HeaderRebuild.before differs from the header as read");

    // A preview must not touch the file.
    tabulon::MemorySectorFile previewFile(bytes);
    tabulon::PlanHeaderRebuild(previewFile);
    if (previewFile.Bytes() != bytes)
        Fail("PlanHeaderRebuild changed the file");

    const std::vector<std::uint8_t>& expected = literalFile.Bytes();
    if (out.size() != expected.size())
        Fail("the rebuilt file's length differs from the reference's");
    const auto mismatch = std::mismatch(out.begin(), out.end(), expected.begin());
    if (mismatch.first != out.end()) {
        const auto at = static_cast<std::size_t>(mismatch.first - out.begin());
        const std::size_t field = at & ~std::size_t{3};
        std::fprintf(stderr,
                     "rebuild_fuzz: the rebuilt header differs from the reference's at byte %zu: "
                     "engine %08x, reference %08x in the 4 bytes at %zu\n",
                     at, tabulon::LoadLe32(out.data() + field), tabulon::LoadLe32(expected.data() + field), field);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > kMaxInput)
        return -1;  // not added to the corpus
    std::vector<std::uint8_t> bytes(data, data + size);
    ApplyStamps(bytes);

    // Table positions the header can name (0 .. 108) and their edges, negative and huge values
    // whose sums wrap, and two values taken from the input.
    std::vector<std::int32_t> ns = {std::numeric_limits<std::int32_t>::min(), -16384, -1, 0, 1, 2, 54, 107, 108, 109,
                                    128, 4096, std::numeric_limits<std::int32_t>::max()};
    if (size >= 4) {
        const auto tail = static_cast<std::int32_t>(tabulon::LoadLe32(bytes.data() + size - 4));
        ns.push_back(tail);
        ns.push_back(tail & 0x7F);
    }

    if (size <= kMaxScannedInput) {
        CompareProbes(bytes, ns);
        CompareScans(bytes, ns);
    }
    CompareRebuilds(bytes);
    return 0;
}
