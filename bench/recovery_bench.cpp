// tabulon-recovery: how much of real workbooks comes back after they are damaged.
//
// Damaged headers. Every workbook given (files, or the .xls files of folders) is damaged in
// memory in seven ways, each four times with other random bytes: wiped, noise, identification
// garbled, counts garbled, allocation list wiped, a 64-byte burst, a truncated write. Each
// damaged copy is repaired with the plain rebuild alone and with the whole checked repair; a
// result counts as identical when every byte from offset 44 on equals the original (the first
// 44 bytes are the fixed identification, written canonically), and identical from byte 512
// when the file past its header is the original's (of the cases of workbooks that open as
// they are: the others' own damage stays). Intact workbooks are repaired too.
//
// Damage past the header, and to the header alone, measured by cells: the header wiped or
// garbled; the first allocation-table sector zeroed, or another one the header lists; the
// first directory sector zeroed, or another of the directory chain; a 4096-byte block at a
// 4 KiB boundary zeroed; 16 single bits flipped; the file cut short in its last quarter; the
// first 4 KiB zeroed, header and all. Each with --seeds seeds (4; once where the damage is the
// same whatever the seed), drawn from the file's name and the seed; --pattern picks some. Each
// damaged copy goes through the whole repair as the program runs it (kept, rebuilt header,
// deep rebuild, salvage into a new file; a refused file gives nothing) and is measured by its
// cells (see CellTable::MatchIn): the share of the original's non-empty cells it holds with
// the same value at the same row and column of the sheet it pairs with (recovered), and the
// share of cells it holds that the original does not have there (wrong). Against them stand
// the cells the damaged file gives when read as it is, the cells the damage left (the
// damaged file with its table and directory put back, read as it is), and the limit: the
// share of the original's cells whose records, and shared strings, the damage left untouched
// (see UntouchedCells; bytes that only moved count as untouched). A case whose repair names
// nothing lost while cells were lost is a silent loss.
//
// --judge libreoffice, gnumeric or both reads the cells with those spreadsheet programs as well
// (see spreadsheet_judge.h), for up to --judge-limit cases of each pattern; values are compared
// as stored, and "other format" is the share of the original's cells that came back with their
// value but shown in another number format (a date as its serial number, say). --list prints a
// line per case, --keep DIR writes each damaged copy and its repair there, --by-workbook a table
// per workbook (as for the large ones of bench/make_large_workbooks.sh, one a size and writer).
// Under the project's reader's table, the patterns whose cells repaired fall short of their limit,
// the largest gap first: the work to do next.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <system_error>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "engine/cfb/verify.h"
#include "engine/io/os_file.h"
#include "engine/repair/pipeline/repair.h"
#include "engine/repair/salvage/salvage.h"
#include "words/report_text.h"
#include "engine/repair/workbook/workbook.h"
#include "damage_patterns.h"
#include "recovery_cells.h"
#include "spreadsheet_judge.h"
#include "tests/support/workbooks.h"

namespace {

namespace fs = std::filesystem;
using tabulon::bench::Bytes;
using tabulon::bench::CellTable;
using tabulon::bench::kPatterns;

struct Options {
    std::vector<fs::path> workbooks;
    int seeds = 4;
    std::vector<tabulon::bench::JudgeProgram> judges;  // in the order given, each once
    std::vector<std::string> patterns;                  // ids of the patterns to run; empty: all
    int judgeLimit = -1;  // cases per pattern; -1: all
    int judgeSeconds = 60;
    bool list = false;  // a line per case
    bool byWorkbook = false;  // a table per workbook
    fs::path keep;      // when set, each case's damaged and repaired copies go there
};

void Usage()
{
    std::fprintf(stderr,
                 "usage: tabulon-recovery [--list] [--by-workbook] [--keep DIR] [--seeds N] [--pattern ID[,ID...]]\n"
                 "                        [--judge libreoffice|gnumeric|both [--judge-limit N] [--judge-timeout S]]\n"
                 "                        WORKBOOK-OR-FOLDER...\n"
                 "  --judge may be given twice; --pattern (repeatable) runs only those patterns of the damage past\n"
                 "  the header:");
    for (const auto& pattern : kPatterns)
        std::fprintf(stderr, " %s", pattern.id);
    std::fprintf(stderr, "\n");
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
        } else if (arg == "--by-workbook") {
            options.byWorkbook = true;
        } else if (arg == "--keep") {
            if (i + 1 >= argc)
                return std::nullopt;
            options.keep = tabulon::PathFromUtf8(argv[++i]);
        } else if (arg == "--seeds") {
            if (!number(i, options.seeds, 1))
                return std::nullopt;
        } else if (arg == "--judge") {
            using tabulon::bench::JudgeProgram;
            const std::string_view program = i + 1 < argc ? std::string_view(argv[++i]) : std::string_view();
            std::vector<JudgeProgram> named;
            if (program == "libreoffice")
                named = {JudgeProgram::LibreOffice};
            else if (program == "gnumeric")
                named = {JudgeProgram::Gnumeric};
            else if (program == "both")
                named = {JudgeProgram::LibreOffice, JudgeProgram::Gnumeric};
            else
                return std::nullopt;
            for (JudgeProgram judge : named)
                if (std::find(options.judges.begin(), options.judges.end(), judge) == options.judges.end())
                    options.judges.push_back(judge);
        } else if (arg == "--pattern") {
            if (i + 1 >= argc)
                return std::nullopt;
            std::string_view ids = argv[++i];
            while (!ids.empty()) {
                const std::string_view id = ids.substr(0, ids.find(','));
                ids.remove_prefix(std::min(ids.size(), id.size() + 1));
                if (!tabulon::bench::FindPattern(id))
                    return std::nullopt;
                options.patterns.emplace_back(id);
            }
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
    int cases = 0, plainOpens = 0, repairOpens = 0, identical = 0, body = 0, worse = 0, intactOpen = 0, intactSame = 0,
        intactCount = 0, openCases = 0;
    for (std::size_t w = 0; w < originals.size(); ++w) {
        const Bytes& original = originals[w];
        if (original.size() <= 512)
            continue;
        ++intactCount;
        tabulon::MemorySectorFile intact(original);
        const bool opensAsIs = tabulon::RepairHeader(intact, tabulon::RebuildMode::Auto).check.Opens();
        intactOpen += opensAsIs ? 1 : 0;
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
                openCases += opensAsIs ? 1 : 0;
                tabulon::MemorySectorFile plain(damaged);
                const bool plainOk = tabulon::RepairHeader(plain, tabulon::RebuildMode::Design).check.Opens();
                tabulon::MemorySectorFile repaired(damaged);
                const bool ok = tabulon::RepairHeader(repaired, tabulon::RebuildMode::Auto).check.Opens();
                plainOpens += plainOk ? 1 : 0;
                repairOpens += ok ? 1 : 0;
                worse += plainOk && !ok ? 1 : 0;
                identical += ok && std::equal(original.begin() + 44, original.end(), repaired.Bytes().begin() + 44) ? 1 : 0;
                body += ok && repaired.Bytes().size() == original.size() &&
                                std::equal(original.begin() + 512, original.end(), repaired.Bytes().begin() + 512)
                            ? 1
                            : 0;
            }
        }
    }
    auto percent = [cases](int n) { return cases ? 100.0 * n / cases : 0.0; };
    std::printf("damaged headers: %d cases from %zu workbooks\n", cases, originals.size());
    std::printf("  plain rebuild alone opens   %4d  (%.1f %%)\n", plainOpens, percent(plainOpens));
    std::printf("  checked repair opens        %4d  (%.1f %%)\n", repairOpens, percent(repairOpens));
    std::printf("  ... identical to original   %4d  (%.1f %%)\n", identical, percent(identical));
    std::printf("  ... identical from byte 512 %4d  (%.1f %%; of the %d cases of workbooks that open as they are)\n", body,
                percent(body), openCases);
    std::printf("  worse than the plain rebuild %3d\n", worse);
    std::printf("intact workbooks: %d open after repair, %d byte-identical\n", intactOpen, intactSame);
    return {worse != 0, intactOpen != intactCount};
}

// ---- damage past the header ----

struct Repaired {
    const char* how = "threw";
    bool usable = false;  // false: refused, or the repair failed
    bool opens = false;
    bool salvaged = false;
    // The report names nothing lost: a salvage of all the sheets it lists with no bytes, sheets,
    // streams or records lost or replaced ("Salvaged: N of N sheets" alone), or a rebuilt or
    // kept file that opens ("Opens").
    enum class Claim { Loss, SalvagedWhole, Opens } claim = Claim::Loss;
    std::string verdict;  // the report's verdict, as the window's Check column shows it
    Bytes bytes;
};

// The salvage's own word that nothing was lost (what makes the command line exit with 0).
bool NamesNoLoss(const tabulon::SalvageReport& salvage)
{
    return tabulon::SalvageComplete(salvage);
}

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
        if (tabulon::WroteNewFile(salvage)) {
            result.how = salvage.used == tabulon::RebuildUsed::Realigned ? "realigned" : "salvaged";
            result.usable = result.salvaged = true;
            result.bytes = out.Bytes();
            result.opens = Opens(result.bytes);
            // (A realignment that left cells out names that loss.)
            const bool leftOut = salvage.realign && salvage.realign->cellsLeftOut > 0;
            result.claim = !salvage.salvage ? (result.opens && !leftOut ? Repaired::Claim::Opens : Repaired::Claim::Loss)
                           : NamesNoLoss(*salvage.salvage) ? Repaired::Claim::SalvagedWhole
                                                           : Repaired::Claim::Loss;
            result.verdict = tabulon::DescribeVerdict(salvage);
            return result;
        }
        result.how = salvage.salvage && salvage.salvage->written ? "salvage does not open" : "salvage found nothing";
        result.verdict = tabulon::DescribeVerdict(salvage);
    }
    // A copy that no header makes readable and no salvage brings back is not written (unless
    // its header makes the compound file whole): nothing comes out of the repair.
    if (tabulon::NeedsSalvage(report) && !report.headerMakesWhole && !report.refused) {
        result.how = result.how == std::string_view("salvaged") ? "salvaged" : "nothing written";
        return result;
    }
    // A refused file is left as it was: nothing comes out of the repair.
    if (report.refused) {
        result.how = report.salvage || tabulon::NeedsSalvage(report) ? "refused after the salvage" : "refused";
        if (result.verdict.empty())
            result.verdict = tabulon::DescribeVerdict(report);
        return result;
    }
    result.usable = true;
    result.bytes = repaired.Bytes();
    result.opens = Opens(result.bytes);
    result.claim = result.opens && !tabulon::NeedsSalvage(report) ? Repaired::Claim::Opens : Repaired::Claim::Loss;
    if (result.verdict.empty())
        result.verdict = tabulon::DescribeVerdict(report);
    return result;
}

struct Shares {
    int cases = 0;      // measured, whether or not the original has cells
    int withCells = 0;  // of them, those whose original has cells: the shares are over these
    double repaired = 0, wrong = 0, asIs = 0, left = 0, limit = 0;  // sums of shares of the original's cells
    double reformatted = 0;  // of the repaired: shown in another number format (a judge's)
    int belowAsIs = 0;  // the repair reads fewer cells than the damaged file as it is
    // Fewer cells than the original while the report names nothing lost: a salvage that says
    // "Salvaged: N of N sheets" and no more, a rebuilt or kept file that says "Opens".
    int silentSalvaged = 0, silentOpens = 0;
    int withWrong = 0;  // cases with a wrong cell, whether or not the original has cells

    void Add(std::size_t originalCells, tabulon::bench::CellTable::Match repairedMatch, std::size_t asIsFound,
             std::size_t leftFound, double limitShare, Repaired::Claim claim)
    {
        ++cases;
        withWrong += repairedMatch.wrong > 0 ? 1 : 0;
        if (originalCells == 0)
            return;
        ++withCells;
        const double total = static_cast<double>(originalCells);
        repaired += static_cast<double>(repairedMatch.recovered) / total;
        wrong += static_cast<double>(repairedMatch.wrong) / total;
        reformatted += static_cast<double>(repairedMatch.reformatted) / total;
        asIs += static_cast<double>(asIsFound) / total;
        left += static_cast<double>(leftFound) / total;
        limit += limitShare;
        belowAsIs += repairedMatch.recovered < asIsFound ? 1 : 0;
        const bool lost = repairedMatch.recovered < originalCells;
        silentSalvaged += lost && claim == Repaired::Claim::SalvagedWhole ? 1 : 0;
        silentOpens += lost && claim == Repaired::Claim::Opens ? 1 : 0;
    }
    void Add(const Shares& other)
    {
        cases += other.cases;
        withCells += other.withCells;
        repaired += other.repaired;
        wrong += other.wrong;
        reformatted += other.reformatted;
        asIs += other.asIs;
        left += other.left;
        limit += other.limit;
        belowAsIs += other.belowAsIs;
        silentSalvaged += other.silentSalvaged;
        silentOpens += other.silentOpens;
        withWrong += other.withWrong;
    }
    double Mean(double sum) const { return withCells ? 100.0 * sum / withCells : 0.0; }
};

struct Tally {
    int opensAsIs = 0, opens = 0, salvaged = 0, failed = 0;
    Shares own;
    std::vector<Shares> judged;  // one per judge

    explicit Tally(std::size_t judges = 0) : judged(judges) {}
    void Add(const Tally& other)
    {
        opensAsIs += other.opensAsIs;
        opens += other.opens;
        salvaged += other.salvaged;
        failed += other.failed;
        own.Add(other.own);
        for (std::size_t j = 0; j < judged.size(); ++j)
            judged[j].Add(other.judged[j]);
    }
};

// One damaged copy, kept until the judges have judged it.
struct Case {
    std::size_t pattern;
    int seed;
    Repaired result;
    Bytes damaged, restored;  // restored: its structure put back (see StructureRestored)
    double limitShare = 0;    // of the original's cells (the project's reader), those the damage left untouched
};

void PrintOwn(const char* name, const Tally& tally)
{
    const Shares& s = tally.own;
    auto percent = [&](int n) { return s.cases ? 100.0 * n / s.cases : 0.0; };
    std::printf("  %-32s %5d %7.1f %% %7.1f %% %8d %7.1f %% %7.2f %% %6d %7.1f %% %7.1f %% %7.1f %% %6d %8d %6d\n", name,
                s.cases, percent(tally.opensAsIs), percent(tally.opens), tally.salvaged, s.Mean(s.repaired),
                s.Mean(s.wrong), s.withWrong, s.Mean(s.asIs), s.Mean(s.left), s.Mean(s.limit), s.belowAsIs, s.silentSalvaged,
                s.silentOpens);
}

void PrintJudged(const char* name, const Shares& s)
{
    std::printf("  %-32s %5d %6d %7.1f %% %7.2f %% %6d %7.2f %% %7.1f %% %7.1f %% %7.1f %% %6d %8d %6d\n", name, s.cases, s.withCells,
                s.Mean(s.repaired), s.Mean(s.wrong), s.withWrong, s.Mean(s.reformatted), s.Mean(s.asIs), s.Mean(s.left), s.Mean(s.limit), s.belowAsIs,
                s.silentSalvaged, s.silentOpens);
}

// The patterns whose cells repaired fall short of their limit by a tenth of a point or more,
// the largest gap first.
void PrintGaps(const std::vector<Tally>& tallies, const std::vector<bool>& chosen)
{
    std::vector<std::pair<double, std::size_t>> gaps;
    for (std::size_t p = 0; p < tallies.size(); ++p) {
        const Shares& s = tallies[p].own;
        if (chosen[p] && s.withCells > 0 && s.Mean(s.limit) - s.Mean(s.repaired) >= 0.1)
            gaps.emplace_back(s.Mean(s.limit) - s.Mean(s.repaired), p);
    }
    std::sort(gaps.begin(), gaps.end(), std::greater<>());
    std::printf("  below the limit, the largest gap first:");
    for (std::size_t k = 0; k < gaps.size(); ++k)
        std::printf("%s %s %.1f points", k ? ";" : "", kPatterns[gaps[k].second].name, gaps[k].first);
    std::printf("%s\n", gaps.empty() ? " none" : "");
}

// Each workbook's own table: per pattern, its cases, cells repaired and wrong by the project's
// reader, the limit and the gap to it, then each judge's cells repaired and wrong.
void PrintByWorkbook(const std::vector<std::string>& names, const std::vector<std::vector<Tally>>& byWorkbook,
                     const std::vector<bool>& chosen, const std::vector<tabulon::bench::SpreadsheetJudge>& judges)
{
    std::printf("\nby workbook: cases, cells repaired, cells wrong, limit and gap (the project's reader)");
    for (const auto& judge : judges)
        std::printf("; cells repaired and wrong by %s", judge.Version().c_str());
    std::printf("\n");
    for (std::size_t w = 0; w < byWorkbook.size(); ++w) {
        std::printf("  %s\n", names[w].c_str());
        for (std::size_t p = 0; p < byWorkbook[w].size(); ++p) {
            const Shares& s = byWorkbook[w][p].own;
            if (!chosen[p] || s.cases == 0)
                continue;
            std::printf("    %-32s %3d %7.1f %% %7.2f %% %7.1f %% %6.1f", kPatterns[p].name, s.cases, s.Mean(s.repaired),
                        s.Mean(s.wrong), s.Mean(s.limit), s.Mean(s.limit) - s.Mean(s.repaired));
            for (const Shares& judged : byWorkbook[w][p].judged)
                std::printf("   %7.1f %% %7.2f %%", judged.Mean(judged.repaired), judged.Mean(judged.wrong));
            std::printf("\n");
        }
    }
}

void RunDamagePastHeader(const Options& options, const std::vector<Bytes>& originals)
{
    std::vector<tabulon::bench::SpreadsheetJudge> judges;
    judges.reserve(options.judges.size());
    for (tabulon::bench::JudgeProgram program : options.judges) {
        if (auto judge = tabulon::bench::SpreadsheetJudge::Find(program, 2, options.judgeSeconds)) {
            judges.push_back(std::move(*judge));
            continue;
        }
        const bool libreOffice = program == tabulon::bench::JudgeProgram::LibreOffice;
        std::printf("judge: %s unavailable (no %s on PATH that answers --version); cells by the project's reader only\n",
                    libreOffice ? "LibreOffice" : "Gnumeric", libreOffice ? "soffice (or unzip)" : "ssconvert (or unzip)");
    }
    const auto start = std::chrono::steady_clock::now();
    constexpr std::size_t kPatternCount = std::size(kPatterns);
    std::vector<Tally> tallies(kPatternCount, Tally(judges.size()));
    std::vector<bool> chosen(kPatternCount);  // the patterns run
    for (std::size_t p = 0; p < kPatternCount; ++p)
        chosen[p] = options.patterns.empty() ||
                    std::find(options.patterns.begin(), options.patterns.end(), kPatterns[p].id) != options.patterns.end();
    std::vector<std::vector<Tally>> byWorkbook;  // [workbook][pattern]
    std::vector<std::string> names;
    int workbooks = 0, withCells = 0;
    std::vector<int> judgedWorkbooks(judges.size(), 0), judgedWithCells(judges.size(), 0);
    std::size_t cells = 0;
    for (std::size_t w = 0; w < originals.size(); ++w) {
        const Bytes& original = originals[w];
        if (original.size() <= 512 || !Opens(original))
            continue;
        const std::size_t place = static_cast<std::size_t>(workbooks++);
        const std::string fileName = options.workbooks[w].filename().string();
        names.push_back(fileName);
        byWorkbook.emplace_back(kPatternCount, Tally(judges.size()));
        const CellTable originalCells = tabulon::bench::ReadCells(original);
        withCells += originalCells.Empty() ? 0 : 1;
        cells += originalCells.Size();
        const tabulon::bench::CompoundLayout layout = tabulon::bench::ReadLayout(original);
        const tabulon::bench::UntouchedCells untouchedCells(original, layout);
        std::vector<Case> toJudge;
        for (std::size_t p = 0; p < kPatternCount; ++p) {
            if (!chosen[p])
                continue;
            const int seeds = kPatterns[p].seeded ? options.seeds : 1;
            for (int seed = 0; seed < seeds; ++seed) {
                std::mt19937 random = tabulon::bench::CaseRandom(fileName, seed, kPatterns[p]);
                std::optional<Bytes> damaged = tabulon::bench::Damage(original, layout, kPatterns[p].pattern, random);
                if (!damaged)
                    continue;
                Tally& tally = tallies[p];
                Case one{p, seed, {}, std::move(*damaged), {}};
                try {
                    one.result = Repair(one.damaged);
                } catch (const std::exception& error) {
                    ++tally.failed;
                    std::fprintf(stderr, "%s, %s, seed %d: the repair threw: %s\n", kPatterns[p].name,
                                 fileName.c_str(), seed, error.what());
                }
                one.restored = tabulon::bench::StructureRestored(original, one.damaged, layout);
                tally.opensAsIs += Opens(one.damaged) ? 1 : 0;
                tally.opens += one.result.opens ? 1 : 0;
                tally.salvaged += one.result.salvaged ? 1 : 0;
                const CellTable::Match repairedMatch = one.result.usable
                                                           ? originalCells.MatchIn(tabulon::bench::ReadCells(one.result.bytes))
                                                           : CellTable::Match{};
                const std::size_t asIsFound = originalCells.MatchIn(tabulon::bench::ReadCells(one.damaged)).recovered;
                const std::size_t leftFound = originalCells.MatchIn(tabulon::bench::ReadCells(one.restored)).recovered;
                const std::size_t untouched =
                    untouchedCells.Count(tabulon::bench::DestroyedBytes(original, one.damaged, kPatterns[p].pattern));
                one.limitShare = originalCells.Empty() ? 0.0 : static_cast<double>(untouched) / static_cast<double>(originalCells.Size());
                for (Tally* into : {&tally, &byWorkbook[place][p]})
                    into->own.Add(originalCells.Size(), repairedMatch, asIsFound, leftFound, one.limitShare, one.result.claim);
                if (!options.keep.empty()) {
                    std::string name = options.workbooks[w].stem().string() + "." + kPatterns[p].id + "." +
                                       std::to_string(seed);
                    fs::create_directories(options.keep);
                    tabulon::test::WriteWholeFile(options.keep / (name + ".damaged.xls"), one.damaged);
                    if (one.result.usable)
                        tabulon::test::WriteWholeFile(options.keep / (name + ".repaired.xls"), one.result.bytes);
                }
                if (options.list)
                    std::printf("%s | %s | seed %d | %s%s | cells %zu of %zu, wrong %zu, as is %zu, left %zu, untouched %zu | %s%s%s\n",
                                fileName.c_str(), kPatterns[p].name, seed, one.result.how,
                                one.result.opens ? ", opens" : "", repairedMatch.recovered, originalCells.Size(),
                                repairedMatch.wrong, asIsFound, leftFound, untouched, one.result.verdict.c_str(),
                                repairedMatch.wrong ? " | first wrong: " : "", repairedMatch.firstWrong.c_str());
                // Judged seed by seed across the workbooks, so that a limit still spreads over them.
                const std::size_t order = static_cast<std::size_t>(seed) * originals.size() + place;
                if (!judges.empty() && (options.judgeLimit < 0 || order < static_cast<std::size_t>(options.judgeLimit)))
                    toJudge.push_back(std::move(one));
            }
        }
        if (toJudge.empty())
            continue;
        std::vector<const Bytes*> files{&original};
        for (const Case& one : toJudge) {
            files.push_back(&one.damaged);
            files.push_back(&one.restored);
            if (one.result.usable)
                files.push_back(&one.result.bytes);
        }
        for (std::size_t j = 0; j < judges.size(); ++j) {
            const std::vector<tabulon::bench::Conversion> converted = judges[j].Convert(files);
            const CellTable& judgedOriginal = converted[0].cells;
            ++judgedWorkbooks[j];
            judgedWithCells[j] += judgedOriginal.Empty() ? 0 : 1;
            std::size_t next = 1;
            for (const Case& one : toJudge) {
                const CellTable& asIs = converted[next++].cells;
                const CellTable& restored = converted[next++].cells;
                const CellTable::Match repairedMatch =
                    one.result.usable ? judgedOriginal.MatchIn(converted[next++].cells) : CellTable::Match{};
                const std::size_t asIsFound = judgedOriginal.MatchIn(asIs).recovered;
                const std::size_t leftFound = judgedOriginal.MatchIn(restored).recovered;
                for (Tally* into : {&tallies[one.pattern], &byWorkbook[place][one.pattern]})
                    into->judged[j].Add(judgedOriginal.Size(), repairedMatch, asIsFound, leftFound, one.limitShare,
                                        one.result.claim);
                if (options.list)
                    std::printf("%s | %s | seed %d | %s | cells %zu of %zu, wrong %zu, other format %zu, as is %zu, left %zu%s%s\n",
                                fileName.c_str(), kPatterns[one.pattern].name, one.seed, judges[j].Version().c_str(),
                                repairedMatch.recovered, judgedOriginal.Size(), repairedMatch.wrong, repairedMatch.reformatted, asIsFound,
                                leftFound, repairedMatch.wrong ? " | first wrong: " : "",
                                repairedMatch.firstWrong.c_str());
            }
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    Tally all(judges.size());
    for (const Tally& tally : tallies)
        all.Add(tally);
    std::printf("\ndamage past the header (and to the header alone): %d cases from %d workbooks, %d seeds (the "
                "header wiped, the first table and directory sector and the first 4 KiB once)\n",
                all.own.cases, workbooks, options.seeds);
    std::printf("cells by the project's reader: %d workbooks with cells (%zu cells); shares of the original's cells "
                "are means over the %d cases of those\n",
                withCells, cells, all.own.withCells);
    std::printf("  %-32s %5s %9s %9s %8s %9s %9s %6s %9s %9s %9s %6s %8s %6s\n", "", "", "opens", "opens", "", "cells",
                "cells", "cases", "cells", "cells", "", "below", "silent:", "silent:");
    std::printf("  %-32s %5s %9s %9s %8s %9s %9s %6s %9s %9s %9s %6s %8s %6s\n", "pattern", "cases", "as is", "repaired",
                "salvaged", "repaired", "wrong", "wrong", "as is", "left", "limit", "as is", "salvaged", "opens");
    for (std::size_t p = 0; p < kPatternCount; ++p)
        if (chosen[p])
            PrintOwn(kPatterns[p].name, tallies[p]);
    PrintOwn("all", all);
    PrintGaps(tallies, chosen);
    if (all.failed)
        std::printf("  the repair threw in %d cases (counted as nothing recovered)\n", all.failed);

    for (std::size_t j = 0; j < judges.size(); ++j) {
        const Shares& total = all.judged[j];
        std::printf("\ncells by %s: ", judges[j].Version().c_str());
        if (options.judgeLimit >= 0)
            std::printf("up to %d cases per pattern, ", options.judgeLimit);
        std::printf("%d cases from %d workbooks, %d of them with cells; shares are means over the %d cases of those\n",
                    total.cases, judgedWorkbooks[j], judgedWithCells[j], total.withCells);
        std::printf("  %-32s %5s %6s %9s %9s %6s %9s %9s %9s %9s %6s %8s %6s\n", "", "", "with", "cells", "cells", "cases",
                    "other", "cells", "cells", "", "below", "silent:", "silent:");
        std::printf("  %-32s %5s %6s %9s %9s %6s %9s %9s %9s %9s %6s %8s %6s\n", "pattern", "cases", "cells", "repaired",
                    "wrong", "wrong", "format", "as is", "left", "limit", "as is", "salvaged", "opens");
        for (std::size_t p = 0; p < kPatternCount; ++p)
            if (chosen[p])
                PrintJudged(kPatterns[p].name, tallies[p].judged[j]);
        PrintJudged("all", total);
        std::printf("  %d conversions (%d past the %d s limit), %.0f s\n", judges[j].Conversions(),
                    judges[j].TimedOut(), options.judgeSeconds, judges[j].Seconds());
    }
    if (options.byWorkbook)
        PrintByWorkbook(names, byWorkbook, chosen, judges);
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
    for (const fs::path& path : options->workbooks) {
        try {
            originals.push_back(ReadWorkbook(path));
        } catch (const std::system_error& error) {
            std::fprintf(stderr, "tabulon-recovery: %s: %s\n", tabulon::PathToUtf8(path).c_str(), error.what());
            return 2;
        }
    }
    const HeaderResult header = RunDamagedHeaders(originals);
    RunDamagePastHeader(*options, originals);
    return header.worse || header.intactLost ? 1 : 0;
}
