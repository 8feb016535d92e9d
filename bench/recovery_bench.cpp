// tabulon-recovery: how much of real workbooks comes back after they are damaged.
//
// Damaged headers. Every workbook given (files, or the .xls files of folders) is damaged in
// memory in seven ways, each four times with other random bytes: wiped, noise, identification
// garbled, counts garbled, allocation list wiped, a 64-byte burst, a truncated write. Each
// damaged copy is repaired with the plain rebuild alone and with the whole checked repair; a
// result counts as identical when every byte from offset 44 on equals the original (the first
// 44 bytes are the fixed identification, written canonically). Intact workbooks are repaired
// too.
//
// Damage past the header, which is left intact: an allocation-table sector zeroed, the first
// directory sector zeroed, another sector of the directory chain zeroed, a 4096-byte block at
// a 4 KiB boundary zeroed, 16 single bits flipped, the file cut short in its last quarter;
// each with --seeds seeds (4), drawn from the file's name and the seed. Each damaged copy goes
// through the whole repair as the program runs it (kept, rebuilt header, deep rebuild, salvage
// into a new file; a refused file gives nothing) and is measured by its cells: the share of
// the original's non-empty cells read back with the same value at the same sheet, row and
// column. Against it stand the cells the damaged file gives when read as it is, and the cells
// the damage left (the damaged file with its table and directory put back).
//
// --judge libreoffice (or gnumeric) reads the cells with that spreadsheet program as well (see
// spreadsheet_judge.h), for up to --judge-limit cases of each pattern. --list prints a line
// per case, --keep DIR writes each damaged copy and its repair there.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/cfb/verify.h"
#include "engine/io/os_file.h"
#include "engine/repair/repair.h"
#include "engine/repair/workbook_file.h"
#include "recovery_cells.h"
#include "spreadsheet_judge.h"
#include "tests/support/workbooks.h"

namespace {

namespace fs = std::filesystem;
using tabulon::bench::Bytes;
using tabulon::bench::CellTable;

struct Options {
    std::vector<fs::path> workbooks;
    int seeds = 4;
    std::optional<tabulon::bench::JudgeProgram> judge;
    int judgeLimit = -1;  // cases per pattern; -1: all
    int judgeSeconds = 60;
    bool list = false;  // a line per case
    fs::path keep;      // when set, each case's damaged and repaired copies go there
};

void Usage()
{
    std::fprintf(stderr,
                 "usage: tabulon-recovery [--list] [--keep DIR] [--seeds N] [--judge libreoffice|gnumeric [--judge-limit N] [--judge-timeout S]]\n"
                 "                        WORKBOOK-OR-FOLDER...\n");
}

std::optional<Options> ParseOptions(int argc, char** argv)
{
    Options options;
    auto number = [&](int& i, int& into, int least) {
        if (i + 1 >= argc)
            return false;
        char* end = nullptr;
        const long value = std::strtol(argv[++i], &end, 10);
        if (*end != '\0' || value < least || value > 1'000'000)
            return false;
        into = static_cast<int>(value);
        return true;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--list") {
            options.list = true;
        } else if (arg == "--keep") {
            if (i + 1 >= argc)
                return std::nullopt;
            options.keep = tabulon::PathFromUtf8(argv[++i]);
        } else if (arg == "--seeds") {
            if (!number(i, options.seeds, 1))
                return std::nullopt;
        } else if (arg == "--judge") {
            const std::string_view program = i + 1 < argc ? std::string_view(argv[++i]) : std::string_view();
            if (program == "libreoffice")
                options.judge = tabulon::bench::JudgeProgram::LibreOffice;
            else if (program == "gnumeric")
                options.judge = tabulon::bench::JudgeProgram::Gnumeric;
            else
                return std::nullopt;
        } else if (arg == "--judge-limit") {
            if (!number(i, options.judgeLimit, 0))
                return std::nullopt;
        } else if (arg == "--judge-timeout") {
            if (!number(i, options.judgeSeconds, 1))
                return std::nullopt;
        } else if (arg.starts_with("--")) {
            return std::nullopt;
        } else {
            const fs::path given = tabulon::PathFromUtf8(argv[i]);
            if (fs::is_directory(given)) {
                std::vector<fs::path> found;
                for (const auto& entry : fs::directory_iterator(given))
                    if (entry.path().extension() == ".xls")
                        found.push_back(entry.path());
                std::sort(found.begin(), found.end());
                options.workbooks.insert(options.workbooks.end(), found.begin(), found.end());
            } else {
                options.workbooks.push_back(given);
            }
        }
    }
    if (options.workbooks.empty())
        return std::nullopt;
    return options;
}

Bytes ReadWorkbook(const fs::path& path)
{
    tabulon::OsFile file = tabulon::OsFile::Open(path, tabulon::OsFile::Access::Read);
    Bytes bytes(static_cast<std::size_t>(file.Length()));
    file.Read(bytes);
    return bytes;
}

bool Opens(const Bytes& bytes)
{
    tabulon::MemorySectorFile file(bytes);
    return tabulon::VerifyWorkbook(file).Opens();
}

// ---- damaged headers ----

struct HeaderResult {
    bool worse = false;
    bool intactLost = false;  // an intact workbook no longer opens after its repair
};

HeaderResult RunDamagedHeaders(const std::vector<Bytes>& originals)
{
    int cases = 0, plainOpens = 0, repairOpens = 0, identical = 0, worse = 0, intactOpen = 0, intactSame = 0,
        intactCount = 0;
    for (std::size_t w = 0; w < originals.size(); ++w) {
        const Bytes& original = originals[w];
        if (original.size() <= 512)
            continue;
        ++intactCount;
        tabulon::MemorySectorFile intact(original);
        intactOpen += tabulon::RepairHeader(intact, tabulon::RebuildMode::Auto).check.Opens() ? 1 : 0;
        intactSame += intact.Bytes() == original ? 1 : 0;
        for (int round = 0; round < 4; ++round) {
            std::mt19937 random(static_cast<unsigned>(static_cast<std::size_t>(round) * 7919 + w));
            for (tabulon::test::HeaderDamage damage : tabulon::test::kHeaderDamages) {
                Bytes damaged = original;
                // The burst and the end of the truncated write fall anywhere.
                if (std::string_view(damage.name) == "64-byte burst") {
                    damage.from = random() % 448;
                    damage.to = damage.from + 64;
                } else if (std::string_view(damage.name) == "truncated write") {
                    damage.from = 100 + random() % 400;
                }
                damage.Apply(damaged, random);
                ++cases;
                tabulon::MemorySectorFile plain(damaged);
                const bool plainOk = tabulon::RepairHeader(plain, tabulon::RebuildMode::Design).check.Opens();
                tabulon::MemorySectorFile repaired(damaged);
                const bool ok = tabulon::RepairHeader(repaired, tabulon::RebuildMode::Auto).check.Opens();
                plainOpens += plainOk ? 1 : 0;
                repairOpens += ok ? 1 : 0;
                worse += plainOk && !ok ? 1 : 0;
                identical += ok && std::equal(original.begin() + 44, original.end(), repaired.Bytes().begin() + 44) ? 1 : 0;
            }
        }
    }
    auto percent = [cases](int n) { return cases ? 100.0 * n / cases : 0.0; };
    std::printf("damaged headers: %d cases from %zu workbooks\n", cases, originals.size());
    std::printf("  plain rebuild alone opens   %4d  (%.1f %%)\n", plainOpens, percent(plainOpens));
    std::printf("  checked repair opens        %4d  (%.1f %%)\n", repairOpens, percent(repairOpens));
    std::printf("  ... identical to original   %4d  (%.1f %%)\n", identical, percent(identical));
    std::printf("  worse than the plain rebuild %3d\n", worse);
    std::printf("intact workbooks: %d open after repair, %d byte-identical\n", intactOpen, intactSame);
    return {worse != 0, intactOpen != intactCount};
}

// ---- damage past the header ----

enum class Pattern { TableSector, FirstDirectorySector, DirectorySector, Block, BitFlips, Truncated, FirstBlock };

struct PatternInfo {
    Pattern pattern;
    const char* name;
    bool seeded;  // false: the damage is the same whatever the seed, so one case per workbook
};

constexpr PatternInfo kPatterns[] = {
    {Pattern::TableSector, "table sector zeroed", true},
    {Pattern::FirstDirectorySector, "first directory sector zeroed", false},
    {Pattern::DirectorySector, "directory sector zeroed", true},
    {Pattern::Block, "4 KiB block zeroed", true},
    {Pattern::BitFlips, "16 bits flipped", true},
    {Pattern::Truncated, "cut in the last quarter", true},
    {Pattern::FirstBlock, "first 4 KiB zeroed (header too)", false},
};

// The damaged copy, or nothing when the workbook has nothing the pattern can hit.
std::optional<Bytes> Damage(const Bytes& original, const tabulon::bench::CompoundLayout& layout, Pattern pattern,
                            std::mt19937& random)
{
    Bytes damaged = original;
    auto zero = [&](std::uint64_t from, std::uint64_t length) {
        const std::uint64_t to = std::min<std::uint64_t>(from + length, damaged.size());
        std::fill(damaged.begin() + static_cast<std::ptrdiff_t>(from), damaged.begin() + static_cast<std::ptrdiff_t>(to), 0);
    };
    switch (pattern) {
    case Pattern::TableSector:
        if (layout.tableSectors.empty())
            return std::nullopt;
        zero(tabulon::bench::SectorOffset(layout.tableSectors[random() % layout.tableSectors.size()]), 512);
        break;
    case Pattern::FirstDirectorySector:
        if (layout.directorySectors.empty())
            return std::nullopt;
        zero(tabulon::bench::SectorOffset(layout.directorySectors.front()), 512);
        break;
    case Pattern::DirectorySector:
        if (layout.directorySectors.empty())
            return std::nullopt;
        zero(tabulon::bench::SectorOffset(layout.directorySectors[random() % layout.directorySectors.size()]), 512);
        break;
    case Pattern::Block: {
        const std::size_t blocks = (original.size() - 1) / 4096;  // whole or partial blocks after the first
        if (blocks == 0)
            return std::nullopt;
        zero(4096 * (1 + random() % blocks), 4096);
        break;
    }
    case Pattern::BitFlips: {
        std::set<std::pair<std::size_t, int>> flips;
        while (flips.size() < 16)
            flips.emplace(512 + random() % (original.size() - 512), static_cast<int>(random() % 8));
        for (const auto& [at, bit] : flips)
            damaged[at] ^= static_cast<std::uint8_t>(1u << bit);
        break;
    }
    case Pattern::Truncated: {
        const std::size_t least = original.size() - original.size() / 4;
        damaged.resize(least + random() % (original.size() - least));
        break;
    }
    case Pattern::FirstBlock:
        if (original.size() <= 4096)
            return std::nullopt;
        zero(0, 4096);
        break;
    }
    return damaged;
}

struct Repaired {
    const char* how = "threw";
    bool usable = false;  // false: refused, or the repair failed
    bool opens = false;
    bool salvaged = false;
    Bytes bytes;
};

// The whole repair as the program runs it on a copy: keep, plain rebuild, deep rebuild (all in
// RepairHeader), then the salvage into a new file when the result still does not open.
Repaired Repair(const Bytes& damaged)
{
    Repaired result;
    tabulon::MemorySectorFile repaired(damaged);
    const tabulon::RepairReport report = tabulon::RepairHeader(repaired, tabulon::RebuildMode::Auto);
    switch (report.used) {
    case tabulon::RebuildUsed::Kept: result.how = "kept"; break;
    case tabulon::RebuildUsed::Design: result.how = "plain rebuild"; break;
    case tabulon::RebuildUsed::Deep: result.how = "deep rebuild"; break;
    default: result.how = "no header"; break;
    }
    if (tabulon::NeedsSalvage(report)) {
        tabulon::MemorySectorFile out;
        const tabulon::RepairReport salvage = tabulon::SalvageRepair(repaired, report, out);
        if (salvage.used == tabulon::RebuildUsed::Salvaged) {
            result = {"salvaged", true, Opens(out.Bytes()), true, out.Bytes()};
            return result;
        }
        result.how = salvage.salvage && salvage.salvage->written ? "salvage does not open" : "salvage found nothing";
    }
    // A refused file is left as it was: nothing comes out of the repair.
    if (report.refused) {
        result.how = report.salvage || tabulon::NeedsSalvage(report) ? "refused after the salvage" : "refused";
        return result;
    }
    result.usable = true;
    result.bytes = repaired.Bytes();
    result.opens = Opens(result.bytes);
    return result;
}

struct Shares {
    int cases = 0;      // measured, whether or not the original has cells
    int withCells = 0;  // of them, those whose original has cells: the shares are over these
    double repaired = 0, asIs = 0, left = 0;  // sums of shares
    int belowAsIs = 0;  // the repair reads fewer cells than the damaged file as it is

    void Add(const CellTable& original, std::size_t repairedFound, std::size_t asIsFound, std::size_t leftFound)
    {
        ++cases;
        if (original.Empty())
            return;
        ++withCells;
        const double total = static_cast<double>(original.Size());
        repaired += static_cast<double>(repairedFound) / total;
        asIs += static_cast<double>(asIsFound) / total;
        left += static_cast<double>(leftFound) / total;
        belowAsIs += repairedFound < asIsFound ? 1 : 0;
    }
    void Add(const Shares& other)
    {
        cases += other.cases;
        withCells += other.withCells;
        repaired += other.repaired;
        asIs += other.asIs;
        left += other.left;
        belowAsIs += other.belowAsIs;
    }
    double Mean(double sum) const { return withCells ? 100.0 * sum / withCells : 0.0; }
};

struct Tally {
    int opensAsIs = 0, opens = 0, salvaged = 0, failed = 0;
    Shares own, judged;

    void Add(const Tally& other)
    {
        opensAsIs += other.opensAsIs;
        opens += other.opens;
        salvaged += other.salvaged;
        failed += other.failed;
        own.Add(other.own);
        judged.Add(other.judged);
    }
};

// One damaged copy, kept until the judge has judged it.
struct Case {
    std::size_t pattern;
    int seed;
    Repaired result;
    Bytes damaged, restored;  // restored: its structure put back (see StructureRestored)
};

void PrintOwn(const char* name, const Tally& tally)
{
    const Shares& s = tally.own;
    auto percent = [&](int n) { return s.cases ? 100.0 * n / s.cases : 0.0; };
    std::printf("  %-30s %5d %7.1f %% %7.1f %% %8d %7.1f %% %7.1f %% %7.1f %% %6d\n", name, s.cases,
                percent(tally.opensAsIs), percent(tally.opens), tally.salvaged, s.Mean(s.repaired), s.Mean(s.asIs),
                s.Mean(s.left), s.belowAsIs);
}

void PrintJudged(const char* name, const Shares& s)
{
    std::printf("  %-30s %5d %6d %7.1f %% %7.1f %% %7.1f %% %6d\n", name, s.cases, s.withCells, s.Mean(s.repaired),
                s.Mean(s.asIs), s.Mean(s.left), s.belowAsIs);
}

void RunDamagePastHeader(const Options& options, const std::vector<Bytes>& originals)
{
    std::optional<tabulon::bench::SpreadsheetJudge> judge =
        options.judge ? tabulon::bench::SpreadsheetJudge::Find(*options.judge, 2, options.judgeSeconds) : std::nullopt;
    if (options.judge && !judge) {
        const bool libreOffice = *options.judge == tabulon::bench::JudgeProgram::LibreOffice;
        std::printf("judge: %s unavailable (no %s on PATH that answers --version); cells by the project's reader only\n",
                    libreOffice ? "LibreOffice" : "Gnumeric", libreOffice ? "soffice" : "ssconvert");
    }
    const auto start = std::chrono::steady_clock::now();
    constexpr std::size_t kPatternCount = std::size(kPatterns);
    std::vector<Tally> tallies(kPatternCount);
    int workbooks = 0, withCells = 0, judgedWorkbooks = 0, judgedWithCells = 0;
    std::size_t cells = 0;
    for (std::size_t w = 0; w < originals.size(); ++w) {
        const Bytes& original = originals[w];
        if (original.size() <= 512 || !Opens(original))
            continue;
        const std::size_t place = static_cast<std::size_t>(workbooks++);
        // The damage follows from the file's name, so that a workbook run alone is damaged as in a
        // run over its folder.
        std::uint32_t nameSeed = 2166136261u;
        for (char c : options.workbooks[w].filename().string())
            nameSeed = (nameSeed ^ static_cast<std::uint8_t>(c)) * 16777619u;
        const CellTable originalCells = tabulon::bench::ReadCells(original);
        withCells += originalCells.Empty() ? 0 : 1;
        cells += originalCells.Size();
        const tabulon::bench::CompoundLayout layout = tabulon::bench::ReadLayout(original);
        std::vector<Case> toJudge;
        for (std::size_t p = 0; p < kPatternCount; ++p) {
            const int seeds = kPatterns[p].seeded ? options.seeds : 1;
            for (int seed = 0; seed < seeds; ++seed) {
                std::mt19937 random(static_cast<unsigned>((static_cast<std::uint32_t>(seed) * 7919 + nameSeed) * 31 + p));
                std::optional<Bytes> damaged = Damage(original, layout, kPatterns[p].pattern, random);
                if (!damaged)
                    continue;
                Tally& tally = tallies[p];
                Case one{p, seed, {}, std::move(*damaged), {}};
                try {
                    one.result = Repair(one.damaged);
                } catch (const std::exception& error) {
                    ++tally.failed;
                    std::fprintf(stderr, "%s, %s, seed %d: the repair threw: %s\n", kPatterns[p].name,
                                 options.workbooks[w].filename().string().c_str(), seed, error.what());
                }
                one.restored = tabulon::bench::StructureRestored(original, one.damaged, layout);
                tally.opensAsIs += Opens(one.damaged) ? 1 : 0;
                tally.opens += one.result.opens ? 1 : 0;
                tally.salvaged += one.result.salvaged ? 1 : 0;
                const std::size_t repairedFound =
                    one.result.usable ? originalCells.FoundIn(tabulon::bench::ReadCells(one.result.bytes)) : 0;
                const std::size_t asIsFound = originalCells.FoundIn(tabulon::bench::ReadCells(one.damaged));
                const std::size_t leftFound = originalCells.FoundIn(tabulon::bench::ReadCells(one.restored));
                tally.own.Add(originalCells, repairedFound, asIsFound, leftFound);
                if (!options.keep.empty()) {
                    std::string name = options.workbooks[w].stem().string() + "." + kPatterns[p].name + "." +
                                       std::to_string(seed);
                    std::replace(name.begin(), name.end(), ' ', '-');
                    fs::create_directories(options.keep);
                    tabulon::test::WriteWholeFile(options.keep / (name + ".damaged.xls"), one.damaged);
                    if (one.result.usable)
                        tabulon::test::WriteWholeFile(options.keep / (name + ".repaired.xls"), one.result.bytes);
                }
                if (options.list)
                    std::printf("%s | %s | seed %d | %s%s | cells %zu of %zu, as is %zu, left %zu\n",
                                options.workbooks[w].filename().string().c_str(), kPatterns[p].name, seed,
                                one.result.how, one.result.opens ? ", opens" : "", repairedFound, originalCells.Size(),
                                asIsFound, leftFound);
                // Judged seed by seed across the workbooks, so that a limit still spreads over them.
                const std::size_t order = static_cast<std::size_t>(seed) * originals.size() + place;
                if (judge && (options.judgeLimit < 0 || order < static_cast<std::size_t>(options.judgeLimit)))
                    toJudge.push_back(std::move(one));
            }
        }
        if (!judge || toJudge.empty())
            continue;
        std::vector<const Bytes*> files{&original};
        for (const Case& one : toJudge) {
            files.push_back(&one.damaged);
            files.push_back(&one.restored);
            if (one.result.usable)
                files.push_back(&one.result.bytes);
        }
        const std::vector<tabulon::bench::Conversion> converted = judge->Convert(files);
        const CellTable& judgedOriginal = converted[0].cells;
        ++judgedWorkbooks;
        judgedWithCells += judgedOriginal.Empty() ? 0 : 1;
        std::size_t next = 1;
        for (const Case& one : toJudge) {
            const CellTable& asIs = converted[next++].cells;
            const CellTable& restored = converted[next++].cells;
            const std::size_t repairedFound = one.result.usable ? judgedOriginal.FoundIn(converted[next++].cells) : 0;
            const std::size_t asIsFound = judgedOriginal.FoundIn(asIs), leftFound = judgedOriginal.FoundIn(restored);
            tallies[one.pattern].judged.Add(judgedOriginal, repairedFound, asIsFound, leftFound);
            if (options.list)
                std::printf("%s | %s | seed %d | %s | cells %zu of %zu, as is %zu, left %zu\n",
                            options.workbooks[w].filename().string().c_str(), kPatterns[one.pattern].name, one.seed,
                            judge->Version().c_str(), repairedFound, judgedOriginal.Size(), asIsFound, leftFound);
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    Tally all;
    for (const Tally& tally : tallies)
        all.Add(tally);
    std::printf("\ndamage past the header (header intact but in the last pattern): %d cases from %d workbooks, %d "
                "seeds (the first directory sector and the first 4 KiB once)\n",
                all.own.cases, workbooks, options.seeds);
    std::printf("cells by the project's reader: %d workbooks with cells (%zu cells); shares are means over the %d "
                "cases of those\n",
                withCells, cells, all.own.withCells);
    std::printf("  %-30s %5s %9s %9s %8s %9s %9s %9s %6s\n", "", "", "opens", "opens", "", "cells", "cells", "cells",
                "below");
    std::printf("  %-30s %5s %9s %9s %8s %9s %9s %9s %6s\n", "pattern", "cases", "as is", "repaired", "salvaged",
                "repaired", "as is", "left", "as is");
    for (std::size_t p = 0; p < kPatternCount; ++p)
        PrintOwn(kPatterns[p].name, tallies[p]);
    PrintOwn("all", all);
    if (all.failed)
        std::printf("  the repair threw in %d cases (counted as nothing recovered)\n", all.failed);

    if (judge) {
        std::printf("\ncells by %s: ", judge->Version().c_str());
        if (options.judgeLimit >= 0)
            std::printf("up to %d cases per pattern, ", options.judgeLimit);
        std::printf("%d cases from %d workbooks, %d of them with cells; shares are means over the %d cases of those\n",
                    all.judged.cases, judgedWorkbooks, judgedWithCells, all.judged.withCells);
        std::printf("  %-30s %5s %6s %9s %9s %9s %6s\n", "", "", "with", "cells", "cells", "cells", "below");
        std::printf("  %-30s %5s %6s %9s %9s %9s %6s\n", "pattern", "cases", "cells", "repaired", "as is", "left",
                    "as is");
        for (std::size_t p = 0; p < kPatternCount; ++p)
            PrintJudged(kPatterns[p].name, tallies[p].judged);
        PrintJudged("all", all.judged);
        std::printf("  %d conversions (%d past the %d s limit), %.0f s\n", judge->Conversions(), judge->TimedOut(),
                    options.judgeSeconds, judge->Seconds());
    }
    std::printf("time: %.1f s\n", seconds);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::optional<Options> options = ParseOptions(argc, argv);
    if (!options) {
        Usage();
        return 2;
    }
    std::vector<Bytes> originals;
    for (const fs::path& path : options->workbooks)
        originals.push_back(ReadWorkbook(path));
    const HeaderResult header = RunDamagedHeaders(originals);
    RunDamagePastHeader(*options, originals);
    return header.worse || header.intactLost ? 1 : 0;
}
