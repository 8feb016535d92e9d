// tabulon-salvage-bench: how long the salvage of a large damaged workbook takes, and how much
// memory it holds, against one sequential read of the same file.
//
// Workbooks of the sizes asked for are generated (see generated_workbook.h), or given. Each is
// damaged with the patterns of tabulon-recovery that leave a large workbook to the salvage
// (the first or another allocation-table sector zeroed, the first 4 KiB or another 4 KiB block
// zeroed, 16 bits flipped, the file cut in its last quarter), one seed each unless asked. Each
// damaged copy is written to disk and a fresh process of this program repairs it the way the
// command line does: PlanRepair in auto mode, then, when the plan leaves it unreadable,
// SalvageRepair into a new file, its heap keeping freed blocks for reuse as the command
// line's. That process times and weighs each phase: PlanRepair's as its RepairWatch tells
// them (the realignment it tries last is not told: it is what the plan took beyond them), the
// salvage's from its progress ticks. Peak heap is what the repair held
// at once (bytes asked of operator new, what earlier phases still hold included); max RSS is
// that process's own high-water mark. The read is one sequential read of the damaged file,
// whole into a fresh buffer (what a salvage that holds the file cannot do without), page cache
// warm, best of --repeat; beside it one write of as many bytes into a new file (page cache, not
// flushed), which the new file a salvage writes costs whatever it reads. Then the repaired
// file's cells are matched against the original's (CellTable::MatchIn), and against what the
// damage left (the damaged file with its table, directory and header put back): a wrong cell
// the damage did not leave is a fault, unless bits were flipped (a flipped bit in a cell's
// column or value makes a wrong cell no reader can tell, past where the plain reader stops).
//
//   tabulon-salvage-bench [--sizes 1,27,100] [--pattern ID[,ID...]] [--seeds N] [--repeat K]
//                         [--dir DIR [--keep]] [WORKBOOK...]
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "run_again.h"
#if defined(TABULON_BENCH_FORK)
#include <sys/mman.h>
#endif

#include "damage_patterns.h"
#include "engine/io/freed_memory.h"
#include "engine/io/os_file.h"
#include "engine/repair/pipeline/repair.h"
#include "words/report_text.h"
#include "engine/repair/workbook/workbook.h"
#include "generated_workbook.h"
#include "heap_count.h"
#include "recovery_cells.h"

namespace {

namespace fs = std::filesystem;
using tabulon::OsFile;
using tabulon::bench::Bytes;
using tabulon::bench::CellTable;
using tabulon::bench::Pattern;
using tabulon::bench::PatternInfo;
using Clock = std::chrono::steady_clock;

constexpr double kMiB = 1024.0 * 1024.0;
constexpr std::int64_t kLimitAboveStream = 64 << 20;  // what the salvage may hold besides the stream
constexpr std::int64_t kLimitWithoutStream = 64 << 20;  // what a repair that holds no stream may hold

double MsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// ---------------------------------------------------------------------------------------
// One case, in a process of its own

// PlanRepair's phases as its watch tells them, and what it took besides (the realignment).
enum PlanPhase { CheckAsFound, Scan, CheckHeaders, DeepRebuild, RecordCheck, PlanRest, kPlanPhases };
constexpr const char* kPlanPhaseNames[kPlanPhases] = {"check as found", "scan", "check headers",
                                                      "deep rebuild",   "records", "realign"};

// The salvage's phases, by the percent SalvageRepair passes on: SalvageWorkbook's 0, 10, 30,
// 40, 40..70 (an attempt each), 70, 80 and 100 scaled to nine tenths, then 100 once the new
// file is read back and assessed.
enum SalvagePhase { ReadImage, OpenStructure, SalvageDeep, FollowRecords, Write, Verify, Assess, kSalvagePhases };
constexpr const char* kSalvagePhaseNames[kSalvagePhases] = {"read",  "open structure", "deep rebuild", "follow records",
                                                            "write", "verify",         "assess"};

SalvagePhase PhaseFromTick(int percent)
{
    return percent < 9 ? ReadImage : percent < 27 ? OpenStructure : percent < 36 ? SalvageDeep
         : percent < 63 ? FollowRecords : percent < 72 ? Write : percent < 90 ? Verify : Assess;
}

struct PhaseFigure {
    bool ran = false;
    double ms = 0;
    std::int64_t peakBytes = 0;
};

// What the case's process hands back (through a pipe: plain data only).
struct CaseResult {
    bool ok = false;
    double readMs = 0;       // the whole file into one buffer, best of the repeats
    double writeMs = 0;      // as many bytes written whole into a new file, best of the repeats
    double planMs = 0;
    double salvageMs = 0;
    PhaseFigure plan[kPlanPhases];
    PhaseFigure salvage[kSalvagePhases];
    bool salvageRan = false;
    bool holdsNoStream = false;  // refused, kept, or its header alone rebuilt: no stream held
    std::int64_t peakBytes = 0;  // heap, the whole repair
    std::int64_t maxRssKiB = -1;
    enum class Result : std::uint8_t { Nothing, NewFile, AsIs } result = Result::Nothing;  // where the cells are
    char outcome[48] = {};
    char error[160] = {};
};

// A phase window: the time since it began and the most heap held since, over the case's base.
class Window {
public:
    explicit Window(std::int64_t base) : base_(base) { Restart(); }
    void Restart()
    {
        heap::StartWindow();
        start_ = Clock::now();
    }
    void CloseInto(PhaseFigure& figure)
    {
        figure.ran = true;
        figure.ms += MsSince(start_);
        figure.peakBytes = std::max(figure.peakBytes, heap::Peak() - base_);
    }

private:
    std::int64_t base_;
    Clock::time_point start_;
};

// Memory for the reads, taken from the system and given back whole (mapped where there is
// mmap): each read of the whole file fills pages never touched before, as the salvage's own
// read does in its fresh process, and the allocator's state is left as the repair finds it in
// the command line (freeing a large block moves glibc's threshold for mapping blocks).
class FreshMemory {
public:
    explicit FreshMemory(std::size_t size) : size_(size)
    {
#if defined(TABULON_BENCH_FORK)
        void* mapped = mmap(nullptr, std::max<std::size_t>(size_, 1), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED)
            throw std::bad_alloc();
        bytes_ = static_cast<std::uint8_t*>(mapped);
#else
        bytes_ = new std::uint8_t[size_];
#endif
    }
    ~FreshMemory()
    {
#if defined(TABULON_BENCH_FORK)
        munmap(bytes_, std::max<std::size_t>(size_, 1));
#else
        delete[] bytes_;
#endif
    }
    FreshMemory(const FreshMemory&) = delete;
    FreshMemory& operator=(const FreshMemory&) = delete;
    std::span<std::uint8_t> Bytes() { return {bytes_, size_}; }

private:
    std::size_t size_;
    std::uint8_t* bytes_ = nullptr;
};

const char* OutcomeOf(const tabulon::RepairReport& report)
{
    if (report.refused)
        return "refused";
    switch (report.used) {
    case tabulon::RebuildUsed::Kept: return report.check.Opens() ? "kept" : "kept, damaged";
    case tabulon::RebuildUsed::Design: return report.check.Opens() ? "plain rebuild" : "plain, not opening";
    case tabulon::RebuildUsed::Deep: return report.check.Opens() ? "deep rebuild" : "deep, not opening";
    case tabulon::RebuildUsed::Salvaged: return "salvaged";
    case tabulon::RebuildUsed::Realigned: return "realigned";
    case tabulon::RebuildUsed::None: break;
    }
    return "nothing";
}

CaseResult RunCase(const fs::path& damagedPath, const fs::path& outPath, int repeat)
{
    CaseResult result;
    // The heap kept as the command line keeps it, and given back after the workbook as it does.
    tabulon::KeepFreedMemory();
    struct GivenBackAtEnd {
        ~GivenBackAtEnd() { tabulon::GiveBackFreedMemory(); }
    } givenBack;
    // The repair works on a private copy of the damaged file, as the command line's and the
    // window's do (the copying is not timed).
    struct RemovedAtEnd {
        fs::path path;
        ~RemovedAtEnd()
        {
            std::error_code ignored;
            if (!path.empty())
                fs::remove(path, ignored);
        }
    } copyPath;
    OsFile file = [&] {
        OsFile source = OsFile::Open(damagedPath, OsFile::Access::Read);
        OsFile copy = OsFile::CreateUnique(outPath.has_parent_path() ? outPath.parent_path() : fs::path("."), copyPath.path);
        tabulon::CopyFileContents(source, copy);
        return copy;
    }();
    {
        // Whole into a fresh buffer of the file's size, left uninitialised, as a salvage that
        // holds the file must (1 MiB reads first, to warm the page cache).
        const std::uint64_t length = file.Length();
        FreshMemory chunkMemory(1 << 20);
        const std::span<std::uint8_t> chunk = chunkMemory.Bytes();
        auto readChunks = [&] {
            file.Seek(0);
            while (file.Read(chunk) != 0) {
            }
        };
        auto readWhole = [&] {
            FreshMemory bytes(static_cast<std::size_t>(length));
            std::span<std::uint8_t> left = bytes.Bytes();
            file.Seek(0);
            while (!left.empty()) {
                const std::size_t got = file.Read(left);
                if (got == 0)
                    break;
                left = left.subspan(got);
            }
        };
        readChunks();  // warms the page cache
        for (int r = 0; r < repeat; ++r) {
            const Clock::time_point start = Clock::now();
            readWhole();
            const double whole = MsSince(start);
            result.readMs = r == 0 ? whole : std::min(result.readMs, whole);
        }
        // A salvage writes a new file about as large, which no reading spares: one write of
        // the file's size into a new file beside the output (into the page cache, not flushed).
        const fs::path scratch = outPath.string() + ".write";
        FreshMemory bytes(static_cast<std::size_t>(length));
        std::fill(bytes.Bytes().begin(), bytes.Bytes().end(), std::uint8_t{0x5A});
        for (int r = 0; r < repeat; ++r) {
            std::error_code ignored;
            fs::remove(scratch, ignored);
            OsFile written = OsFile::CreateNew(scratch);
            const Clock::time_point start = Clock::now();
            written.WriteAll(bytes.Bytes());
            const double ms = MsSince(start);
            result.writeMs = r == 0 ? ms : std::min(result.writeMs, ms);
        }
        std::error_code ignored;
        fs::remove(scratch, ignored);
    }

    const std::int64_t base = heap::StartWindow();
    std::int64_t peak = base;
    Window window(base);
    double watched = 0;
    tabulon::RepairWatch watch;
    watch.phase = [&](tabulon::RepairPhase which, bool begins) {
        if (begins) {
            window.Restart();
            return;
        }
        const PlanPhase phase = which == tabulon::RepairPhase::CheckAsFound ? CheckAsFound
                                : which == tabulon::RepairPhase::Scan       ? Scan
                                : which == tabulon::RepairPhase::CheckHeader ? CheckHeaders
                                : which == tabulon::RepairPhase::DeepRebuild ? DeepRebuild
                                                                             : RecordCheck;
        const double before = result.plan[phase].ms;
        window.CloseInto(result.plan[phase]);
        watched += result.plan[phase].ms - before;
        peak = std::max(peak, heap::Peak());
    };
    heap::StartWindow();
    const Clock::time_point planStart = Clock::now();
    tabulon::RepairReport report = tabulon::PlanRepair(file, tabulon::RebuildMode::Auto, &watch);
    result.planMs = MsSince(planStart);
    peak = std::max(peak, heap::Peak());
    result.plan[PlanRest] = {result.planMs - watched > 0.05, result.planMs - watched, peak - base};

    if (tabulon::NeedsSalvage(report)) {
        result.salvageRan = true;
        OsFile out = OsFile::CreateNew(outPath);
        SalvagePhase current = ReadImage;
        window.Restart();
        const Clock::time_point salvageStart = Clock::now();
        const tabulon::SalvageProgress progress = [&](int percent) {
            const SalvagePhase next = PhaseFromTick(percent);
            if (next == current)
                return;
            window.CloseInto(result.salvage[current]);
            peak = std::max(peak, heap::Peak());
            current = next;
            window.Restart();
        };
        report = tabulon::SalvageRepair(file, report, out, progress);
        window.CloseInto(result.salvage[current]);
        peak = std::max(peak, heap::Peak());
        result.salvageMs = MsSince(salvageStart);
        out.Close();
        if (tabulon::WroteNewFile(report))
            result.result = CaseResult::Result::NewFile;
    }
    result.peakBytes = peak - base;
    result.maxRssKiB = OwnMaxRssKiB().value_or(-1);
    std::snprintf(result.outcome, sizeof result.outcome, "%s", OutcomeOf(report));
    result.holdsNoStream = !result.salvageRan && !report.realign && (report.refused || report.check.Opens());

    // What the command line would leave, for the cells (untimed): a header written into a copy,
    // or the file as it is when its own header stands.
    if (result.result == CaseResult::Result::Nothing && !report.refused) {
        if (tabulon::RepairWrites(report) && (report.check.Opens() || report.headerMakesWhole)) {
            std::error_code ignored;
            fs::remove(outPath, ignored);
            fs::copy_file(damagedPath, outPath);
            OsFile copy = OsFile::Open(outPath, OsFile::Access::ReadWrite);
            tabulon::WriteRepair(copy, report);
            copy.Close();
            result.result = CaseResult::Result::NewFile;
        } else if (report.used == tabulon::RebuildUsed::Kept) {
            result.result = CaseResult::Result::AsIs;
        }
    }
    result.ok = true;
    return result;
}

constexpr std::string_view kCaseOption = "--case";

// Runs in the process started for one case: prints its result to standard output.
int CaseMain(const char* damaged, const char* out, const char* repeat)
{
    CaseResult result;
    try {
        result = RunCase(tabulon::PathFromUtf8(damaged), tabulon::PathFromUtf8(out), std::max(1, std::atoi(repeat)));
    } catch (const std::exception& error) {
        std::snprintf(result.error, sizeof result.error, "%s", error.what());
    }
    return std::fwrite(&result, sizeof result, 1, stdout) == 1 && std::fflush(stdout) == 0 ? 0 : 1;
}

// The case in a fresh process of this program, so that its max RSS is its own; where there
// is no fork, in this one.
CaseResult MeasureCase(const fs::path& damaged, const fs::path& out, int repeat)
{
#if defined(TABULON_BENCH_FORK)
    CaseResult result;
    const std::optional<tabulon::bench::RanAgain> ran = tabulon::bench::RunAgain(
        {std::string(kCaseOption), tabulon::PathToUtf8(damaged), tabulon::PathToUtf8(out), std::to_string(repeat)});
    if (ran && ran->output.size() == sizeof result)
        std::memcpy(&result, ran->output.data(), sizeof result);
    else
        std::snprintf(result.error, sizeof result.error, "the case's process ended with status %d", ran ? ran->status : -1);
    return result;
#else
    return RunCase(damaged, out, repeat);
#endif
}

// ---------------------------------------------------------------------------------------
// The run

struct Options {
    std::vector<std::uint32_t> sizesMb = {1, 27, 100};
    std::vector<const PatternInfo*> patterns;
    int seeds = 1;
    int repeat = 3;
    std::optional<fs::path> dir;
    bool keep = false;
    std::vector<fs::path> workbooks;
};

constexpr Pattern kSalvagePatterns[] = {Pattern::FirstTableSector, Pattern::TableSector, Pattern::FirstBlock,
                                        Pattern::Block,            Pattern::BitFlips,    Pattern::Truncated};

constexpr const char* kUsage =
    "usage: tabulon-salvage-bench [--sizes 1,27,100] [--pattern ID[,ID...]] [--seeds N] [--repeat K]\n"
    "                             [--dir DIR [--keep]] [WORKBOOK...]\n"
    "  --sizes     generated workbooks of about these many MB (2^20 bytes; 1 to 1900); ignored when\n"
    "              workbooks are given\n"
    "  --pattern   damage patterns (default: first-table-sector, table-sector, first-block, block,\n"
    "              bit-flips, truncated; any of tabulon-recovery's)\n"
    "  --seeds 1   cases per pattern that depends on its random numbers\n"
    "  --repeat 3  reads of the file, the best one counts\n"
    "  --dir DIR   where the generated and damaged files go (default: a temporary folder, removed)\n"
    "  --keep      leave them there (with --dir)\n";

bool ParseNumber(std::string_view text, long least, long most, long& value)
{
    char* end = nullptr;
    const std::string copy(text);
    value = std::strtol(copy.c_str(), &end, 10);
    return !copy.empty() && *end == '\0' && value >= least && value <= most;
}

std::optional<Options> ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (arg == "--keep") {
            options.keep = true;
            continue;
        }
        if (!arg.starts_with("--")) {
            options.workbooks.push_back(tabulon::PathFromUtf8(argv[i]));
            continue;
        }
        if (i + 1 >= argc)
            return std::nullopt;
        std::string_view value = argv[++i];
        long number = 0;
        if (arg == "--sizes" || arg == "--pattern") {
            if (arg == "--sizes")
                options.sizesMb.clear();
            while (!value.empty()) {
                const std::string_view item = value.substr(0, value.find(','));
                value.remove_prefix(std::min(value.size(), item.size() + 1));
                if (arg == "--pattern") {
                    const PatternInfo* pattern = tabulon::bench::FindPattern(item);
                    if (!pattern)
                        return std::nullopt;
                    options.patterns.push_back(pattern);
                } else {
                    if (!ParseNumber(item, 1, 1900, number))
                        return std::nullopt;
                    options.sizesMb.push_back(static_cast<std::uint32_t>(number));
                }
            }
        } else if (arg == "--seeds" && ParseNumber(value, 1, 1000, number)) {
            options.seeds = static_cast<int>(number);
        } else if (arg == "--repeat" && ParseNumber(value, 1, 1000, number)) {
            options.repeat = static_cast<int>(number);
        } else if (arg == "--dir") {
            options.dir = tabulon::PathFromUtf8(std::string(value));
        } else {
            return std::nullopt;
        }
    }
    if (options.sizesMb.empty() || (options.keep && !options.dir))
        return std::nullopt;
    if (options.patterns.empty())
        for (Pattern pattern : kSalvagePatterns)
            for (const PatternInfo& info : tabulon::bench::kPatterns)
                if (info.pattern == pattern)
                    options.patterns.push_back(&info);
    return options;
}

Bytes ReadWhole(const fs::path& path)
{
    OsFile file = OsFile::Open(path, OsFile::Access::Read);
    return tabulon::ReadFileBytes(file, file.Length());
}

void WriteWhole(const fs::path& path, const Bytes& bytes)
{
    OsFile file = OsFile::CreateNew(path);
    file.WriteAll(bytes);
    file.Close();
}

std::string Figure(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, value >= 100 ? "%.0f" : value >= 1 ? "%.1f" : "%.2f", value);
    return text;
}

std::string Phase(const PhaseFigure& figure)
{
    return figure.ran ? Figure(figure.ms) + " / " + Figure(static_cast<double>(figure.peakBytes) / kMiB) : "-";
}

struct Line {
    std::string workbook, pattern;
    CaseResult result;
};

// The folder the files go into; a temporary one is removed at the end, whatever happens.
class Folder {
public:
    explicit Folder(const std::optional<fs::path>& given)
        : path_(given ? *given : tabulon::CreatePrivateFolder(fs::temp_directory_path())), owned_(!given)
    {
        fs::create_directories(path_);
    }
    ~Folder()
    {
        std::error_code ignored;
        if (owned_)
            fs::remove_all(path_, ignored);
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    const fs::path& Path() const { return path_; }

private:
    fs::path path_;
    bool owned_;
};

int Run(const Options& options)
{
    const Clock::time_point runStart = Clock::now();
    Folder folder(options.dir);
    std::error_code ignored;
    std::printf("Tabulon salvage benchmark: the repair as the command line runs it on a damaged workbook no header\n"
                "opens (PlanRepair, then SalvageRepair into a new file), against one sequential read of the file\n");
    std::printf("  read:       the damaged file read whole into a fresh buffer, page cache warm, best of %d\n"
                "  write:      as many bytes written whole into a new file (page cache, not flushed), best\n"
                "              of the same repeats: the new file a salvage writes costs about that\n",
                options.repeat);
    std::printf("  all / read: PlanRepair and SalvageRepair together, over the read (the whole one)\n");
    std::printf("  peak heap:  the most the repair held at once (bytes asked of operator new); limit: the\n"
                "              workbook stream + 64 MiB, and 64 MiB where the repair holds no stream (a\n"
                "              workbook refused, kept, or its header alone rebuilt)\n");
    std::printf("  max RSS:    of the process that ran the case (this program alone included)\n");
    std::printf("  cells:      of the original's non-empty cells, those the repaired file holds; wrong: cells it\n"
                "              holds that the original does not (tabulon-recovery's measure); a fault where\n"
                "              more than the damage itself left wrong (bit flips aside: they make wrong cells);\n"
                "              cells left: those the damaged file holds with its table, directory and header\n"
                "              put back (what the damage left)\n");
    std::printf("  files in %s\n\n", tabulon::PathToUtf8(folder.Path()).c_str());

    struct Input {
        fs::path path;
        std::optional<std::uint64_t> cells;  // of a generated workbook: every one non-empty
    };
    std::vector<Input> inputs;
    bool failed = false;
    if (options.workbooks.empty()) {
        for (std::uint32_t mb : options.sizesMb) {
            const fs::path path = folder.Path() / ("generated-" + std::to_string(mb) + "mb.xls");
            fs::remove(path, ignored);
            const Clock::time_point start = Clock::now();
            std::fprintf(stderr, "generating %u MB ... ", mb);
            const tabulon::bench::GeneratedWorkbook made =
                tabulon::bench::WriteGeneratedWorkbook(path, std::uint64_t{mb} << 20, mb);
            std::fprintf(stderr, "%.1f s\n", MsSince(start) / 1000);
            std::printf("generated %s: %.1f MiB, workbook stream %.1f MiB, %d sheet%s of %u columns, %llu cells, %llu "
                        "shared strings\n",
                        path.filename().string().c_str(), static_cast<double>(made.fileBytes) / kMiB,
                        static_cast<double>(made.streamBytes) / kMiB, made.sheets, made.sheets == 1 ? "" : "s",
                        tabulon::bench::kGeneratedColumns, static_cast<unsigned long long>(made.cells),
                        static_cast<unsigned long long>(made.strings));
            inputs.push_back({path, made.cells});
        }
    } else {
        for (const fs::path& path : options.workbooks)
            inputs.push_back({path, std::nullopt});
    }
    std::printf("\n");

    std::vector<Line> lines;
    std::printf("%-22s %9s %9s  %-32s %-18s %9s %9s %10s %10s %10s %10s %9s %9s %5s %8s %11s %6s %11s\n", "workbook",
                "file MiB", "stream", "pattern", "outcome", "read ms", "write ms", "plan ms", "salvage ms", "all ms",
                "all / read", "peak heap", "limit", "", "max RSS", "cells", "wrong", "cells left");
    for (const Input& input : inputs) {
        const std::string name = input.path.filename().string();
        Bytes original = ReadWhole(input.path);
        std::uint64_t streamBytes = 0;
        {
            tabulon::MemorySectorFile memory(original);
            if (const auto stream = tabulon::ReadWorkbookStream(memory))
                streamBytes = stream->size();
            const tabulon::WorkbookCheck check = tabulon::VerifyWorkbook(memory);
            if (!check.Opens()) {
                std::printf("%s does not open as it is: %s\n", name.c_str(), tabulon::DescribeFinding(*check.FirstProblem()).c_str());
                failed = true;
                continue;
            }
        }
        const Clock::time_point cellsStart = Clock::now();
        const CellTable originalCells = tabulon::bench::ReadCells(original);
        std::fprintf(stderr, "%s: %zu cells read in %.1f s\n", name.c_str(), originalCells.Size(), MsSince(cellsStart) / 1000);
        if (input.cells && originalCells.Size() != *input.cells) {
            std::printf("%s: the project's reader reads %zu cells of the %llu written\n", name.c_str(), originalCells.Size(),
                        static_cast<unsigned long long>(*input.cells));
            failed = true;
        }
        const tabulon::bench::CompoundLayout layout = tabulon::bench::ReadLayout(original);
        const double fileMiB = static_cast<double>(original.size()) / kMiB;
        for (const PatternInfo* pattern : options.patterns) {
            const int seeds = pattern->seeded ? options.seeds : 1;
            for (int seed = 0; seed < seeds; ++seed) {
                std::mt19937 random = tabulon::bench::CaseRandom(name, seed, *pattern);
                const std::string stem = input.path.stem().string() + "." + pattern->id + "." + std::to_string(seed);
                const fs::path damagedPath = folder.Path() / (stem + ".damaged.xls");
                const fs::path outPath = folder.Path() / (stem + ".repaired.xls");
                fs::remove(damagedPath, ignored);
                fs::remove(outPath, ignored);
                {
                    std::optional<Bytes> damaged = tabulon::bench::Damage(original, layout, pattern->pattern, random);
                    if (!damaged)
                        continue;
                    WriteWhole(damagedPath, *damaged);
                }
                std::fprintf(stderr, "  %s, seed %d ... ", pattern->name, seed);
                const Clock::time_point start = Clock::now();
                Line line{name, std::string(pattern->name) + (seeds > 1 ? " #" + std::to_string(seed) : ""),
                          MeasureCase(damagedPath, outPath, options.repeat)};
                std::fprintf(stderr, "%.1f s\n", MsSince(start) / 1000);
                const CaseResult& r = line.result;
                if (!r.ok) {
                    std::printf("%-22s %9.1f %9s  %-32s FAILED: %s\n", name.c_str(), fileMiB, "", line.pattern.c_str(), r.error);
                    failed = true;
                    continue;
                }
                CellTable::Match match;
                if (r.result != CaseResult::Result::Nothing)
                    match = originalCells.MatchIn(tabulon::bench::ReadCells(
                        ReadWhole(r.result == CaseResult::Result::NewFile ? outPath : damagedPath)));
                // What the damage left: the damaged file with its structure put back. Cells the
                // damage itself changed (a flipped bit in a number) are wrong in any repair.
                // Read only where the repair lost or changed a cell: at 500 MB a read of the
                // cells takes half a minute.
                CellTable::Match left = match;
                if (match.wrong > 0 || match.recovered < originalCells.Size()) {
                    const Bytes damaged = ReadWhole(damagedPath);
                    left = originalCells.MatchIn(
                        tabulon::bench::ReadCells(tabulon::bench::StructureRestored(original, damaged, layout)));
                }
                const std::size_t wrongLeft = left.wrong;
                // A flipped bit in a cell's row, column or value makes a cell no reader can tell
                // from the original's, and the plain reader of the file as the damage left it
                // may stop before it; any other pattern only zeroes or cuts bytes.
                const bool flips = pattern->pattern == Pattern::BitFlips;
                const bool fault = match.wrong > wrongLeft && !flips;
                failed = failed || fault;
                const double all = r.planMs + r.salvageMs;
                const std::int64_t limit =
                    r.holdsNoStream ? kLimitWithoutStream : static_cast<std::int64_t>(streamBytes) + kLimitAboveStream;
                const auto share = [&](std::size_t recovered) {
                    char text[32];
                    std::snprintf(text, sizeof text, "%.2f %%",
                                  originalCells.Empty() ? 0.0
                                                        : 100.0 * static_cast<double>(recovered) /
                                                              static_cast<double>(originalCells.Size()));
                    return std::string(text);
                };
                std::printf("%-22s %9.1f %9.1f  %-32s %-18s %9s %9s %10s %10s %10s %9.1fx %9s %9s %5s %8s %11s %6zu %11s\n",
                            name.c_str(), fileMiB, static_cast<double>(streamBytes) / kMiB, line.pattern.c_str(), r.outcome,
                            Figure(r.readMs).c_str(), Figure(r.writeMs).c_str(), Figure(r.planMs).c_str(), r.salvageRan ? Figure(r.salvageMs).c_str() : "-",
                            Figure(all).c_str(), all / r.readMs, Figure(static_cast<double>(r.peakBytes) / kMiB).c_str(),
                            Figure(static_cast<double>(limit) / kMiB).c_str(), r.peakBytes > limit ? "OVER" : "ok",
                            r.maxRssKiB >= 0 ? Figure(static_cast<double>(r.maxRssKiB) / 1024).c_str() : "-",
                            share(match.recovered).c_str(), match.wrong, share(left.recovered).c_str());
                std::fflush(stdout);
                if (match.wrong > 0)
                    std::printf("    %zu wrong where the damage left %zu (the file with its structure put back)%s; first: %s\n",
                                match.wrong, wrongLeft,
                                fault ? ": MORE"
                                : flips ? " (flipped bits change cells the plain reader may not reach)"
                                        : "",
                                match.firstWrong.c_str());
                lines.push_back(std::move(line));
                if (!options.keep) {
                    fs::remove(damagedPath, ignored);
                    fs::remove(outPath, ignored);
                }
            }
        }
        if (input.cells && !options.keep)
            fs::remove(input.path, ignored);
    }

    std::printf("\nPhase by phase, each as ms / peak heap MiB while it ran (what earlier phases still hold included).\n"
                "PlanRepair: as its watch tells them (realign: the rest of it, unwatched). SalvageRepair: by its\n"
                "progress; read: the file into memory; open structure: the headers given tried as they are;\n"
                "deep rebuild: its scan of the image; follow records: the attempts that follow what survives;\n"
                "write: the new compound file; verify: its check; assess: reading it back, sheet by sheet.\n"
                "sum: the phases added up, against the repair's own time.\n\n");
    std::printf("%-22s %-32s", "workbook", "pattern");
    for (const char* phase : kPlanPhaseNames)
        std::printf(" %16s", phase);
    std::printf(" |");
    for (const char* phase : kSalvagePhaseNames)
        std::printf(" %16s", phase);
    std::printf(" %17s\n", "sum / all ms");
    for (const Line& line : lines) {
        const CaseResult& r = line.result;
        std::printf("%-22s %-32s", line.workbook.c_str(), line.pattern.c_str());
        double sum = 0;
        for (const PhaseFigure& figure : r.plan) {
            std::printf(" %16s", Phase(figure).c_str());
            sum += figure.ms;
        }
        std::printf(" |");
        for (const PhaseFigure& figure : r.salvage) {
            std::printf(" %16s", Phase(figure).c_str());
            sum += figure.ms;
        }
        std::printf(" %17s\n", (Figure(sum) + " / " + Figure(r.planMs + r.salvageMs)).c_str());
    }
    std::printf("\ntotal run time %.1f s, generating and checking the files included\n", MsSince(runStart) / 1000);
    if (failed)
        std::printf("FAILED: see above\n");
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    tabulon::bench::gProgram = argv[0];
    if (argc == 5 && argv[1] == kCaseOption)
        return CaseMain(argv[2], argv[3], argv[4]);
    const std::optional<Options> options = ParseOptions(argc, argv);
    if (!options) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    try {
        return Run(*options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "\ntabulon-salvage-bench: %s\n", error.what());
        return 2;
    }
}
