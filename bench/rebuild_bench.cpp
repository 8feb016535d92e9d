// tabulon-bench: times the header rebuild on generated workbooks against one plain sequential
// read of the same file and against the literal scans, checks that both rebuilds agree, and
// measures the memory the whole repair holds, phase by phase.
//
//   tabulon-bench [--dir DIR] [--sizes 1,64,1024] [--repeat K] [--literal-up-to MIB]

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/biff/records.h"
#include "engine/cfb/consts.h"
#include "engine/cfb/header.h"
#include "engine/cfb/verify.h"
#include "engine/io/os_file.h"
#include "engine/repair/rebuild/rebuild.h"
#include "engine/repair/pipeline/repair.h"
#include "engine/repair/workbook/workbook.h"
#include "heap_count.h"
#include "run_again.h"
#include "tests/support/literal_scans.h"

namespace {

using tabulon::HeaderBytes;
using tabulon::OsFile;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMiB = 1 << 20;
// What a repair may have resident when it holds no workbook stream: a refusal, a workbook kept
// as it is, a header rebuilt alone.
constexpr std::int64_t kBoundKiB = 64 * 1024;
constexpr std::uint32_t kSectorsPerMiB = static_cast<std::uint32_t>(kMiB / tabulon::kSectorSize);
// A file of 2048 MiB would be 2^31 bytes, which the rebuild refuses.
constexpr std::uint32_t kLargestSizeMiB = 2047;

struct Options {
    std::optional<std::filesystem::path> dir;
    std::vector<std::uint32_t> sizesMiB = {1, 64, 1024};
    int repeat = 3;
    std::uint32_t literalUpToMiB = 64;
    bool markdown = false;  // also print the table as docs/performance.md shows it
};

enum class Layout { Typical, Worst, AllFF };

const char* LayoutName(Layout layout)
{
    switch (layout) {
    case Layout::Typical: return "typical";
    case Layout::Worst: return "worst";
    case Layout::AllFF: return "all-FF";
    }
    return "?";
}

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

template <class F>
double ElapsedMs(F&& work)
{
    const Clock::time_point start = Clock::now();
    work();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Times {
    double best = 0;
    double median = 0;
};

Times Summarize(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    const std::size_t middle = samples.size() / 2;
    const double median =
        samples.size() % 2 == 1 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
    return {samples.front(), median};
}

// ---------------------------------------------------------------------------------------
// Test files

// splitmix64: fast, and seeded per file so that every run writes the same bytes.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}

    void Fill(std::span<std::uint8_t> bytes)
    {
        std::size_t i = 0;
        for (; i + 8 <= bytes.size(); i += 8) {
            const std::uint64_t value = Next();
            std::memcpy(bytes.data() + i, &value, 8);
        }
        for (; i < bytes.size(); ++i)
            bytes[i] = static_cast<std::uint8_t>(Next());
    }

private:
    std::uint64_t Next()
    {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    std::uint64_t state_;
};

// The typical layout: the allocation-table sector for sectors 128k .. 128k + 127 is sector
// 128k itself, the DIFAT sectors that list the table past its first 109 sectors lie at the
// end of the file, the directory is sector 1, and one stream (the workbook) chains through
// every other sector from sector 2 on. Its data is random after a BOF record.
constexpr std::uint32_t kFatStride = static_cast<std::uint32_t>(tabulon::kEntriesPerFatSector);
constexpr std::uint32_t kDirectorySector = 1;
constexpr std::uint32_t kFirstDataSector = 2;

std::uint32_t FatSectorCount(std::uint32_t sectorCount)
{
    return (sectorCount + kFatStride - 1) / kFatStride;
}

struct TypicalShape {
    std::uint32_t sectorCount = 0;
    std::uint32_t fatSectors = 0;
    std::vector<std::uint32_t> difat;  // in chain order, ascending; only table sectors between them

    explicit TypicalShape(std::uint32_t sectors) : sectorCount(sectors), fatSectors(FatSectorCount(sectors))
    {
        const std::uint32_t listedInHeader = static_cast<std::uint32_t>(tabulon::kHeaderDifatEntries);
        const std::uint32_t perDifat = static_cast<std::uint32_t>(tabulon::kDifatEntriesPerSector);
        const std::uint32_t needed = fatSectors > listedInHeader ? (fatSectors - listedInHeader + perDifat - 1) / perDifat : 0;
        for (std::uint32_t s = sectorCount - 1; difat.size() < needed; --s) {
            if (s % kFatStride != 0)
                difat.push_back(s);
        }
        std::reverse(difat.begin(), difat.end());
    }

    bool IsDifat(std::uint32_t sector) const
    {
        return !difat.empty() && sector >= difat.front() && sector % kFatStride != 0;
    }

    std::uint32_t DataSectors() const
    {
        return sectorCount - fatSectors - 1 - static_cast<std::uint32_t>(difat.size());
    }

    std::uint32_t FatEntry(std::uint32_t sector) const
    {
        if (sector >= sectorCount)
            return tabulon::kFreeSector;
        if (sector % kFatStride == 0)
            return tabulon::kFatSector;
        if (IsDifat(sector))
            return tabulon::kDifatSector;
        if (sector == kDirectorySector)
            return tabulon::kEndOfChain;
        std::uint32_t next = sector + 1;
        while (next < sectorCount && (next % kFatStride == 0 || IsDifat(next)))
            ++next;
        return next < sectorCount ? next : tabulon::kEndOfChain;
    }

    // Entry k of the table's list: the header holds the first 109, each DIFAT sector 127 more.
    std::uint32_t ListedFatSector(std::uint32_t k) const { return k < fatSectors ? k * kFatStride : tabulon::kFreeSector; }

    void FillDifat(std::uint8_t* bytes, std::size_t i) const
    {
        const std::uint32_t perDifat = static_cast<std::uint32_t>(tabulon::kDifatEntriesPerSector);
        const std::uint32_t first = static_cast<std::uint32_t>(tabulon::kHeaderDifatEntries + i * perDifat);
        for (std::uint32_t j = 0; j < perDifat; ++j)
            tabulon::StoreLe32(bytes + 4 * j, ListedFatSector(first + j));
        tabulon::StoreLe32(bytes + 4 * perDifat, i + 1 < difat.size() ? difat[i + 1] : tabulon::kEndOfChain);
    }
};

void WriteDirectoryEntry(std::uint8_t* entry, std::u16string_view name, std::uint8_t objectType,
                         std::uint32_t child, std::uint32_t startSector, std::uint32_t size)
{
    for (std::size_t i = 0; i < name.size(); ++i)
        tabulon::StoreLe16(entry + 2 * i, static_cast<std::uint16_t>(name[i]));
    tabulon::StoreLe16(entry + tabulon::kEntryNameLengthOffset, static_cast<std::uint16_t>(2 * (name.size() + 1)));
    entry[tabulon::kEntryObjectTypeOffset] = objectType;
    entry[tabulon::kEntryColorFlagOffset] = 1;  // black
    tabulon::StoreLe32(entry + 68, tabulon::kFreeSector);  // left sibling: none
    tabulon::StoreLe32(entry + 72, tabulon::kFreeSector);  // right sibling: none
    tabulon::StoreLe32(entry + 76, child);
    tabulon::StoreLe32(entry + 116, startSector);
    tabulon::StoreLe32(entry + 120, size);
}

void FillTypicalDirectory(std::uint8_t* sector, const TypicalShape& shape)
{
    std::memset(sector, 0, tabulon::kSectorSize);
    for (std::size_t k = 2; k < tabulon::kDirectoryEntriesPerSector; ++k) {
        std::uint8_t* unused = sector + k * tabulon::kDirectoryEntrySize;
        tabulon::StoreLe32(unused + 68, tabulon::kFreeSector);
        tabulon::StoreLe32(unused + 72, tabulon::kFreeSector);
        tabulon::StoreLe32(unused + 76, tabulon::kFreeSector);
    }
    WriteDirectoryEntry(sector, u"Root Entry", tabulon::kObjectTypeRootStorage, 1, tabulon::kEndOfChain, 0);
    WriteDirectoryEntry(sector + tabulon::kDirectoryEntrySize, u"Workbook", 2, tabulon::kFreeSector,
                        kFirstDataSector, shape.DataSectors() * static_cast<std::uint32_t>(tabulon::kSectorSize));
}

// A header whose first 76 bytes are lost (the DIFAT chain's location and length with them)
// and whose list of the first 109 table sectors is intact.
HeaderBytes TypicalHeader(const TypicalShape& shape)
{
    HeaderBytes header{};
    for (std::uint32_t k = 0; k < tabulon::kHeaderDifatEntries; ++k)
        tabulon::StoreLe32(header.data() + tabulon::kHeaderDifatOffset + 4 * k, shape.ListedFatSector(k));
    return header;
}

// Sectors [first, first + count) of the chosen layout into `chunk`.
void FillSectors(Layout layout, std::uint32_t first, std::uint32_t count, const TypicalShape& shape,
                 std::span<std::uint8_t> chunk, Random& random)
{
    if (layout == Layout::AllFF) {
        std::fill(chunk.begin(), chunk.end(), std::uint8_t{0xFF});
        return;
    }
    random.Fill(chunk.first(std::size_t{count} * tabulon::kSectorSize));
    if (layout == Layout::Worst)
        return;
    for (std::uint32_t s = 0; s < count; ++s) {
        const std::uint32_t sector = first + s;
        std::uint8_t* bytes = chunk.data() + std::size_t{s} * tabulon::kSectorSize;
        if (sector % kFatStride == 0) {
            for (std::uint32_t j = 0; j < kFatStride; ++j)
                tabulon::StoreLe32(bytes + 4 * j, shape.FatEntry(sector + j));
        } else if (shape.IsDifat(sector)) {
            const auto at = std::lower_bound(shape.difat.begin(), shape.difat.end(), sector);
            shape.FillDifat(bytes, static_cast<std::size_t>(at - shape.difat.begin()));
        } else if (sector == kDirectorySector) {
            FillTypicalDirectory(bytes, shape);
        } else if (sector == kFirstDataSector) {
            tabulon::StoreLe16(bytes, tabulon::biff::kBof);  // the workbook stream opens with a BOF record
            tabulon::StoreLe16(bytes + 2, 16);
        }
    }
}

// The files this run created, removed at the end whatever happens; the folder too when the
// run made it.
class Workspace {
public:
    explicit Workspace(const std::optional<std::filesystem::path>& given)
    {
        if (given) {
            dir_ = *given;
            std::filesystem::create_directories(dir_);
            return;
        }
        std::random_device device;
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100 && !ownsDir_; ++attempt) {
            dir_ = base / ("tabulon-bench-" + std::to_string(device()));
            ownsDir_ = std::filesystem::create_directory(dir_);
        }
        if (!ownsDir_)
            throw std::system_error(std::make_error_code(std::errc::file_exists), "temporary folder");
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    ~Workspace()
    {
        std::error_code ignored;
        for (const auto& file : files_)
            std::filesystem::remove(file, ignored);
        if (ownsDir_)
            std::filesystem::remove_all(dir_, ignored);
    }

    const std::filesystem::path& Dir() const { return dir_; }
    void Track(const std::filesystem::path& file) { files_.push_back(file); }
    void Forget(const std::filesystem::path& file) { std::erase(files_, file); }
    void Remove(const std::filesystem::path& file)
    {
        std::filesystem::remove(file);
        Forget(file);
    }

private:
    std::filesystem::path dir_;
    bool ownsDir_ = false;
    std::vector<std::filesystem::path> files_;
};

std::filesystem::path WriteTestFile(Workspace& workspace, Layout layout, std::uint32_t sizeMiB)
{
    const std::uint32_t sectorCount = sizeMiB * kSectorsPerMiB - 1;  // block 0 is the header
    const std::filesystem::path target =
        workspace.Dir() / (std::string("tabulon-bench-") + LayoutName(layout) + "-" + std::to_string(sizeMiB) + "MiB.xls");

    std::filesystem::path created;
    OsFile file = OsFile::CreateUnique(workspace.Dir(), created);
    workspace.Track(created);

    const TypicalShape shape(sectorCount);
    HeaderBytes header{};
    if (layout == Layout::Typical)
        header = TypicalHeader(shape);
    else if (layout == Layout::AllFF)
        header.fill(0xFF);
    file.WriteAll(header);
    Random random(std::uint64_t{sizeMiB} * 2 + (layout == Layout::Typical ? 0 : 1));
    std::vector<std::uint8_t> chunk(kMiB);
    for (std::uint32_t first = 0; first < sectorCount; first += kSectorsPerMiB) {
        const std::uint32_t count = std::min(kSectorsPerMiB, sectorCount - first);
        FillSectors(layout, first, count, shape, chunk, random);
        file.WriteAll(std::span(chunk.data(), std::size_t{count} * tabulon::kSectorSize));
    }
    // Flushed now, so that write-back does not run during the timings.
    file.Close();

    tabulon::RenameNoReplace(created, target);
    workspace.Forget(created);
    workspace.Track(target);
    return target;
}

// ---------------------------------------------------------------------------------------
// Measurements

HeaderBytes ReadHeader(OsFile& file)
{
    HeaderBytes header{};
    file.Seek(0);
    file.Read(header);
    return header;
}

std::uint64_t ReadWholeFile(OsFile& file, std::vector<std::uint8_t>& buffer)
{
    file.Seek(0);
    std::uint64_t total = 0;
    for (;;) {
        const std::size_t got = file.Read(buffer);
        if (got == 0)
            break;
        total += got;
    }
    return total;
}

std::string HexField(const HeaderBytes& header, const tabulon::HeaderField& field)
{
    std::string text;
    char digits[3];
    for (std::size_t i = 0; i < field.width; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", header[field.offset + i]);
        text += digits;
    }
    return text;
}

void ReportMismatch(const std::filesystem::path& path, const HeaderBytes& fast, const HeaderBytes& literal)
{
    std::fprintf(stderr, "\n*** HEADER MISMATCH on %s: the rebuild and the literal scans disagree ***\n",
                 tabulon::PathToUtf8(path).c_str());
    for (const tabulon::HeaderField& field : tabulon::ChangedHeaderFields(fast, literal)) {
        std::fprintf(stderr, "  %s\n    rebuild: %s\n    literal: %s\n", std::string(field.name).c_str(),
                     HexField(fast, field).c_str(), HexField(literal, field).c_str());
    }
}

std::uint32_t DifatEntry(const HeaderBytes& header, std::size_t k)
{
    return tabulon::LoadLe32(header.data() + tabulon::kHeaderDifatOffset + 4 * k);
}

// Whether the rebuild took the path the layout is there to time: the typical file keeps its
// allocation-table list and finds the directory; the worst one searches every position in
// vain; in the all-FF one every sector looks like a table sector.
bool TookIntendedPath(Layout layout, const tabulon::HeaderRebuild& plan, const tabulon::ScanFacts& facts,
                      std::uint32_t sectorCount)
{
    if (layout == Layout::Typical)
        return DifatEntry(plan.after, 0) == DifatEntry(plan.before, 0) &&
               tabulon::LoadLe32(plan.after.data() + tabulon::kFirstDirectorySectorOffset) == kDirectorySector;
    if (layout == Layout::AllFF)
        return facts.fatLikeSectors == sectorCount;
    for (std::size_t k = 0; k < tabulon::kHeaderDifatEntries; ++k) {
        if (DifatEntry(plan.after, k) != tabulon::kFreeSector)
            return false;
    }
    return true;
}

// One phase of the repair: its time, and the most heap the repair held while it ran (what
// earlier phases still hold included).
struct Phase {
    bool ran = false;
    double ms = 0;
    std::int64_t peakBytes = 0;
};

struct Memory {
    std::int64_t repairPeakBytes = 0;        // PlanRepair as a whole
    std::optional<std::int64_t> maxRssKiB;  // of a child process that repairs a working copy once
    bool bounded = false;                   // its repair came to one that holds no workbook stream
    Phase verifyAsFound;
    Phase scan;  // the plain rebuild's pass, feeding the deep rebuild's collector
    std::int64_t collectorBytes = 0;  // what the collector holds after the pass
    Phase deep;
    Phase verifyCandidates;
    Phase recordCheck;  // the workbook stream's records under the header that opens the file
    bool phasesMatchRepair = true;
    const char* outcome = "";  // what PlanRepair chose
};

const char* Outcome(const tabulon::RepairReport& report)
{
    if (report.refused)
        return "refused";
    switch (report.used) {
    case tabulon::RebuildUsed::Kept: return "kept";
    case tabulon::RebuildUsed::Design: return report.check.Opens() ? "plain" : "plain, not opening";
    case tabulon::RebuildUsed::Deep: return "deep";
    case tabulon::RebuildUsed::Salvaged: return "salvaged";
    case tabulon::RebuildUsed::Realigned: return "realigned";
    case tabulon::RebuildUsed::None: break;
    }
    return "none";
}

struct Row {
    Times rebuild;
    Times repair;  // the whole repair: plain rebuild, check, deep rebuild when needed, check
    Times read;
    std::optional<Times> literal;
    Memory memory;
    bool headersAgree = true;
    bool intendedPath = true;
};

// PlanRepair once more, each of its phases timed and weighed as it runs (the checks of rebuilt
// headers added up, their peak the highest).
Memory MeasurePhases(tabulon::SectorFile& file, const tabulon::RepairReport& expected, tabulon::ScanFacts& facts)
{
    Memory memory;
    const std::int64_t base = heap::StartWindow();
    std::chrono::steady_clock::time_point started;
    tabulon::RepairWatch watch;
    watch.phase = [&](tabulon::RepairPhase which, bool begins) {
        if (begins) {
            heap::StartWindow();
            started = std::chrono::steady_clock::now();
            return;
        }
        Phase& phase = which == tabulon::RepairPhase::CheckAsFound  ? memory.verifyAsFound
                       : which == tabulon::RepairPhase::Scan        ? memory.scan
                       : which == tabulon::RepairPhase::DeepRebuild ? memory.deep
                       : which == tabulon::RepairPhase::RecordCheck ? memory.recordCheck
                                                                    : memory.verifyCandidates;
        phase.ran = true;
        phase.ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
        phase.peakBytes = std::max(phase.peakBytes, heap::Peak() - base);
        if (which == tabulon::RepairPhase::Scan)
            memory.collectorBytes = heap::Live() - base;
    };
    const tabulon::RepairReport report = tabulon::PlanRepair(file, tabulon::RebuildMode::Auto, &watch);
    facts = watch.facts;
    memory.phasesMatchRepair = report.used == expected.used && report.after == expected.after &&
                               report.check.Opens() == expected.check.Opens();
    return memory;
}

// The program itself, started again to run one repair on its own (see RepairOnce).
constexpr std::string_view kRepairOnceOption = "--repair-once";

// Whether a repair that came to `outcome` holds no workbook stream: a workbook kept or whose
// header alone was rebuilt, its records whole, or a file refused. (Where damage remains, the
// check holds the stream to tell where, for the salvage that follows.)
bool HoldsNoStream(tabulon::RepairOutcome outcome)
{
    return outcome == tabulon::RepairOutcome::Kept || outcome == tabulon::RepairOutcome::Rebuilt ||
           outcome == tabulon::RepairOutcome::Refused;
}

// Repairs a working copy of `path` once ("-": nothing at all), as the command line does one
// in place (opened by its path, lending nothing; a salvage into memory), and prints this
// process's max RSS and whether the repair came to one that holds no workbook stream.
int RepairOnce(const char* path)
{
    bool bounded = true;
    try {
        if (std::string_view(path) != "-") {
            OsFile file = OsFile::Open(tabulon::PathFromUtf8(path), OsFile::Access::Read);
            std::optional<tabulon::MemorySectorFile> made;
            const tabulon::RepairResult result = tabulon::RepairWorkingCopy(
                file, tabulon::RebuildMode::Auto, [&made]() -> tabulon::SectorFile& { return made.emplace(); });
            bounded = HoldsNoStream(result.outcome);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tabulon-bench %s: %s\n", kRepairOnceOption.data(), error.what());
        return 1;
    }
    const std::optional<std::int64_t> kib = OwnMaxRssKiB();
    std::printf("%lld %d\n", kib ? static_cast<long long>(*kib) : -1LL, bounded ? 1 : 0);
    return 0;
}

// The max RSS, in KiB, of a fresh process of this program that repairs `path` once (or, with
// no path, does nothing at all); `bounded`, when given, whether its repair holds no stream.
std::optional<std::int64_t> MaxRssOfRepairKiB(const std::filesystem::path* path, bool* bounded = nullptr)
{
    const std::optional<tabulon::bench::RanAgain> ran =
        tabulon::bench::RunAgain({std::string(kRepairOnceOption), path ? tabulon::PathToUtf8(*path) : "-"});
    if (!ran || !ran->succeeded)
        return std::nullopt;
    long long kib = -1;
    int holdsNoStream = 0;
    if (std::sscanf(ran->output.c_str(), "%lld %d", &kib, &holdsNoStream) != 2)
        return std::nullopt;
    if (bounded)
        *bounded = holdsNoStream != 0;
    return kib >= 0 ? std::optional<std::int64_t>(kib) : std::nullopt;
}

Row Measure(const std::filesystem::path& path, Layout layout, const Options& options, bool runLiteral)
{
    Row row;
    const auto repeat = static_cast<std::size_t>(options.repeat);
    std::vector<double> samples;

    OsFile reader = OsFile::Open(path, OsFile::Access::Read);
    const std::uint64_t length = reader.Length();
    std::vector<std::uint8_t> buffer(kMiB);
    if (ReadWholeFile(reader, buffer) != length)  // warms the page cache
        throw std::runtime_error("short read of " + tabulon::PathToUtf8(path));

    for (std::size_t r = 0; r < repeat; ++r)
        samples.push_back(ElapsedMs([&] { ReadWholeFile(reader, buffer); }));
    row.read = Summarize(samples);

    samples.clear();
    tabulon::HeaderRebuild plan = tabulon::PlanHeaderRebuild(reader);  // untimed, like the warm-up read
    for (std::size_t r = 0; r < repeat; ++r)
        samples.push_back(ElapsedMs([&] { plan = tabulon::PlanHeaderRebuild(reader); }));
    row.rebuild = Summarize(samples);

    samples.clear();
    const std::int64_t base = heap::StartWindow();
    const tabulon::RepairReport report = tabulon::PlanRepair(reader, tabulon::RebuildMode::Auto);
    const std::int64_t repairPeak = heap::Peak() - base;
    for (std::size_t r = 0; r < repeat; ++r)
        samples.push_back(ElapsedMs([&] { tabulon::PlanRepair(reader, tabulon::RebuildMode::Auto); }));
    row.repair = Summarize(samples);

    tabulon::ScanFacts facts;
    row.memory = MeasurePhases(reader, report, facts);
    row.memory.repairPeakBytes = repairPeak;
    row.memory.outcome = Outcome(report);
    row.memory.maxRssKiB = MaxRssOfRepairKiB(&path, &row.memory.bounded);
    row.intendedPath = TookIntendedPath(layout, plan, facts, tabulon::BlockCount(length) - 1);

    if (!runLiteral)
        return row;
    // The literal rebuild writes the header; it is put back after every run so that each run
    // starts from the same file.
    OsFile writer = OsFile::Open(path, OsFile::Access::ReadWrite);
    samples.clear();
    for (std::size_t r = 0; r < repeat; ++r) {
        samples.push_back(ElapsedMs([&] { tabulon::literal::RebuildHeader(writer); }));
        const HeaderBytes written = ReadHeader(writer);
        writer.Seek(0);
        writer.Write(plan.before);
        if (written != plan.after) {
            if (row.headersAgree)
                ReportMismatch(path, plan.after, written);
            row.headersAgree = false;
        }
    }
    row.literal = Summarize(samples);
    return row;
}

// ---------------------------------------------------------------------------------------
// Output

std::string FormatMs(double ms)
{
    char text[32];
    std::snprintf(text, sizeof text, ms >= 100 ? "%.0f" : ms >= 1 ? "%.2f" : "%.3f", ms);
    return text;
}

std::string FormatTimes(const Times& times)
{
    return FormatMs(times.best) + " / " + FormatMs(times.median);
}

std::string FormatRatio(double ratio)
{
    char text[32];
    std::snprintf(text, sizeof text, ratio >= 10 ? "%.0fx" : "%.2fx", ratio);
    return text;
}

std::string FormatMiB(std::int64_t bytes)
{
    char text[32];
    const double mib = static_cast<double>(bytes) / static_cast<double>(kMiB);
    std::snprintf(text, sizeof text, mib >= 100 ? "%.0f" : mib >= 1 ? "%.1f" : "%.3f", mib);
    return text;
}

std::string FormatPhase(const Phase& phase)
{
    return phase.ran ? FormatMs(phase.ms) + " / " + FormatMiB(phase.peakBytes) : "-";
}

// Whether a repair that holds no workbook stream had more resident than the bound allows.
bool OverBound(const Memory& memory)
{
    return memory.bounded && memory.maxRssKiB && *memory.maxRssKiB > kBoundKiB;
}

void PrintPreamble(const Options& options, const Workspace& workspace)
{
    std::printf("Tabulon header rebuild benchmark\n");
    std::printf("  rebuild: PlanHeaderRebuild on the file opened for reading - all the reading work of\n"
                "           RebuildHeader without its final 512-byte write, so the files stay unchanged\n"
                "  read:    one sequential read of the whole file in 1 MiB reads, page cache warm\n"
                "  literal: the literal rebuild (one 512-byte read per sector, a pass per scan), on\n"
                "           files up to %u MiB; it writes the header, which is restored after each run\n",
                options.literalUpToMiB);
    std::printf("  typical: allocation table at every 128th sector, its DIFAT sectors at the end, directory\n"
                "           at sector 1, random data, first 76 header bytes zeroed\n"
                "  worst:   random sectors, all-zero header\n");
    std::printf("  times in ms, best / median of %d runs; ratios from the best times\n", options.repeat);
    std::printf("  files in %s\n\n", tabulon::PathToUtf8(workspace.Dir()).c_str());
    std::printf("  repair:  PlanRepair - the whole checked repair (plain rebuild, check, deep rebuild\n"
                "           when the plain result does not open, check), without its write\n");
    std::printf("  all-FF:  every byte 0xFF, header included: every sector looks like a table sector\n");
    std::printf("  peak heap MiB: the most heap PlanRepair held at once (bytes asked of operator new)\n");
    const std::optional<std::int64_t> idle = MaxRssOfRepairKiB(nullptr);
    std::printf("  max RSS MiB:   of a fresh process of this program repairing the file once as the command\n"
                "                 line repairs a working copy (RepairWorkingCopy: the plan, and a salvage where it\n"
                "                 leads to one), the file opened by its path (the program alone: %s MiB); a\n"
                "                 refusal, a kept workbook or a header rebuilt alone holds no workbook stream and\n"
                "                 stays within %lld MiB (OVER where it does not)\n\n",
                idle ? FormatMiB(*idle * 1024).c_str() : "-", static_cast<long long>(kBoundKiB / 1024));
    std::printf("%-8s %9s %19s %19s %13s %19s %12s %19s %16s %8s %14s %12s\n", "layout", "size", "rebuild ms",
                "read ms", "rebuild/read", "repair ms", "repair/read", "literal ms", "literal/rebuild", "headers",
                "peak heap MiB", "max RSS MiB");
    std::fflush(stdout);
}

void PrintRow(Layout layout, std::uint32_t sizeMiB, const Row& row)
{
    const std::string size = std::to_string(sizeMiB) + " MiB";
    const std::string literal = row.literal ? FormatTimes(*row.literal) : "-";
    const std::string literalRatio = row.literal ? FormatRatio(row.literal->best / row.rebuild.best) : "-";
    const char* headers = !row.literal ? "-" : row.headersAgree ? "same" : "DIFFER";
    const std::string rss = !row.memory.maxRssKiB ? "-"
                            : FormatMiB(*row.memory.maxRssKiB * 1024) + (OverBound(row.memory) ? " OVER" : "");
    std::printf("%-8s %9s %19s %19s %13s %19s %12s %19s %16s %8s %14s %12s\n", LayoutName(layout), size.c_str(),
                FormatTimes(row.rebuild).c_str(), FormatTimes(row.read).c_str(),
                FormatRatio(row.rebuild.best / row.read.best).c_str(), FormatTimes(row.repair).c_str(),
                FormatRatio(row.repair.best / row.read.best).c_str(), literal.c_str(), literalRatio.c_str(), headers,
                FormatMiB(row.memory.repairPeakBytes).c_str(), rss.c_str());
    std::fflush(stdout);
}

struct MemoryLine {
    Layout layout;
    std::uint32_t sizeMiB;
    Memory memory;
    double readMs;
};

// The table of docs/performance.md: best times, the repair against the read, memory.
void PrintMarkdown(const std::vector<std::pair<MemoryLine, Row>>& rows)
{
    std::printf("\n| layout | size | plain rebuild | read | repair | repair / read | peak heap | max RSS |\n"
                "|---|---|---|---|---|---|---|---|\n");
    for (const auto& [line, row] : rows) {
        const std::string size = line.sizeMiB % 1024 == 0 ? std::to_string(line.sizeMiB / 1024) + " GiB"
                                                           : std::to_string(line.sizeMiB) + " MiB";
        char ratio[32];
        std::snprintf(ratio, sizeof ratio, "%.1f\u00d7", row.repair.best / row.read.best);
        const std::string rss = row.memory.maxRssKiB ? FormatMiB(*row.memory.maxRssKiB * 1024) + " MiB" : "-";
        std::printf("| %s | %s | %s | %s | %s | %s | %s MiB | %s |\n", LayoutName(line.layout), size.c_str(),
                    FormatMs(row.rebuild.best).c_str(), FormatMs(row.read.best).c_str(),
                    FormatMs(row.repair.best).c_str(), ratio, FormatMiB(row.memory.repairPeakBytes).c_str(),
                    rss.c_str());
    }
}

void PrintPhases(const std::vector<MemoryLine>& lines)
{
    std::printf("\nThe repair phase by phase, each as ms / peak heap MiB while it ran (what earlier phases\n"
                "still hold included); collector: heap the deep rebuild's collector holds after the pass\n\n");
    std::printf("%-8s %9s %22s %22s %14s %22s %22s %22s %12s  %s\n", "layout", "size", "verify as found",
                "scan + plain rebuild", "collector MiB", "deep rebuild", "verify candidates", "records", "all / read",
                "header used");
    for (const MemoryLine& line : lines) {
        const Memory& m = line.memory;
        const std::string size = std::to_string(line.sizeMiB) + " MiB";
        const double total = m.verifyAsFound.ms + m.scan.ms + m.deep.ms + m.verifyCandidates.ms + m.recordCheck.ms;
        std::printf("%-8s %9s %22s %22s %14s %22s %22s %22s %12s  %s%s\n", LayoutName(line.layout), size.c_str(),
                    FormatPhase(m.verifyAsFound).c_str(), FormatPhase(m.scan).c_str(),
                    m.scan.ran ? FormatMiB(m.collectorBytes).c_str() : "-", FormatPhase(m.deep).c_str(),
                    FormatPhase(m.verifyCandidates).c_str(), FormatPhase(m.recordCheck).c_str(),
                    FormatRatio(total / line.readMs).c_str(), m.outcome,
                    m.phasesMatchRepair ? "" : " (the watched run chose another header)");
    }
}

// ---------------------------------------------------------------------------------------
// Command line

bool ParseCount(std::string_view text, std::uint32_t& value)
{
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc{} && stop == end;
}

bool ParseSizes(std::string_view text, std::vector<std::uint32_t>& sizes)
{
    sizes.clear();
    while (true) {
        const std::size_t comma = text.find(',');
        std::uint32_t size = 0;
        if (!ParseCount(text.substr(0, comma), size) || size == 0 || size > kLargestSizeMiB)
            return false;
        sizes.push_back(size);
        if (comma == std::string_view::npos)
            return true;
        text.remove_prefix(comma + 1);
    }
}

constexpr const char* kUsage =
    "usage: tabulon-bench [--dir DIR] [--sizes MIB,...] [--repeat K] [--literal-up-to MIB] [--markdown]\n"
    "  --dir DIR            where to write the test files (default: a fresh temporary folder)\n"
    "  --sizes 1,64,1024    file sizes in MiB, each 1 to 2047\n"
    "  --repeat 3           timed runs of each measurement\n"
    "  --literal-up-to 64   largest file, in MiB, to time the literal rebuild on\n"
    "  --markdown           at the end, the table again in Markdown (best times), as\n"
    "                       docs/performance.md shows it\n";

std::optional<Options> ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name == "--help" || name == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (name == "--markdown") {
            options.markdown = true;
            continue;
        }
        if (i + 1 >= argc)
            return std::nullopt;
        const std::string_view value = argv[++i];
        std::uint32_t number = 0;
        if (name == "--dir") {
            options.dir = tabulon::PathFromUtf8(std::string(value));
        } else if (name == "--sizes") {
            if (!ParseSizes(value, options.sizesMiB))
                return std::nullopt;
        } else if (name == "--repeat") {
            if (!ParseCount(value, number) || number == 0 || number > 1000)
                return std::nullopt;
            options.repeat = static_cast<int>(number);
        } else if (name == "--literal-up-to") {
            if (!ParseCount(value, number))
                return std::nullopt;
            options.literalUpToMiB = number;
        } else {
            return std::nullopt;
        }
    }
    return options;
}

int Run(const Options& options)
{
    const Clock::time_point runStart = Clock::now();
    Workspace workspace(options.dir);
    PrintPreamble(options, workspace);

    bool failed = false;
    std::vector<MemoryLine> memoryLines;
    std::vector<std::pair<MemoryLine, Row>> markdownRows;
    for (const std::uint32_t sizeMiB : options.sizesMiB) {
        for (const Layout layout : {Layout::Typical, Layout::Worst, Layout::AllFF}) {
            const Clock::time_point writeStart = Clock::now();
            std::fprintf(stderr, "writing %s %u MiB ... ", LayoutName(layout), sizeMiB);
            const std::filesystem::path path = WriteTestFile(workspace, layout, sizeMiB);
            std::fprintf(stderr, "%.1f s; measuring ... ", SecondsSince(writeStart));
            const Clock::time_point measureStart = Clock::now();
            const Row row = Measure(path, layout, options, sizeMiB <= options.literalUpToMiB);
            std::fprintf(stderr, "%.1f s\n", SecondsSince(measureStart));
            PrintRow(layout, sizeMiB, row);
            memoryLines.push_back({layout, sizeMiB, row.memory, row.read.best});
            markdownRows.emplace_back(memoryLines.back(), row);
            if (!row.intendedPath) {
                std::fprintf(stderr, "\n*** LAYOUT CHECK FAILED on %s: the rebuild did not take the path this "
                                     "layout is meant to time ***\n",
                             tabulon::PathToUtf8(path).c_str());
            }
            if (OverBound(row.memory)) {
                std::fprintf(stderr, "\n*** MEMORY BOUND EXCEEDED on %s: a repair that holds no workbook stream had %s MiB "
                                     "resident ***\n",
                             tabulon::PathToUtf8(path).c_str(), FormatMiB(*row.memory.maxRssKiB * 1024).c_str());
            }
            failed = failed || !row.headersAgree || !row.intendedPath || OverBound(row.memory);
            workspace.Remove(path);
        }
    }

    PrintPhases(memoryLines);
    if (options.markdown)
        PrintMarkdown(markdownRows);
    std::printf("\ntotal run time %.1f s, writing the files included\n", SecondsSince(runStart));
    if (failed)
        std::printf("FAILED: see the messages on standard error\n");
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    tabulon::bench::gProgram = argv[0];
    if (argc == 3 && argv[1] == kRepairOnceOption)
        return RepairOnce(argv[2]);
    const std::optional<Options> options = ParseOptions(argc, argv);
    if (!options) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    try {
        return Run(*options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "\ntabulon-bench: %s\n", error.what());
        return 2;
    }
}
