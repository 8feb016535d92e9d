// tabulon-recovery: how many real workbooks come back after their header is damaged.
//
// Every workbook given (files, or the .xls files of folders) is damaged in memory in seven
// ways, each four times with other random bytes: wiped, noise, identification garbled, counts
// garbled, allocation list wiped, a 64-byte burst, a truncated write. Each damaged copy is
// repaired with the plain rebuild alone and with the whole checked repair; a result counts as
// identical when every byte from offset 44 on equals the original (the first 44 bytes are
// the fixed identification, written canonically). Intact workbooks are repaired too.
#include <cstdio>
#include <filesystem>
#include <random>
#include <vector>

#include "engine/os_file.h"
#include "engine/repair.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void Damage(Bytes& file, int pattern, std::mt19937& random)
{
    auto noise = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i)
            file[i] = static_cast<std::uint8_t>(random());
    };
    auto zero = [&](std::size_t from) { std::fill(file.begin() + static_cast<std::ptrdiff_t>(from), file.begin() + 512, 0); };
    switch (pattern) {
    case 0: zero(0); break;
    case 1: noise(0, 512); break;
    case 2: noise(0, 44); break;
    case 3: noise(44, 76); break;
    case 4: zero(76); break;
    case 5: {
        const std::size_t at = random() % 448;
        noise(at, at + 64);
        break;
    }
    default: zero(100 + random() % 400); break;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> workbooks;
    for (int i = 1; i < argc; ++i) {
        const fs::path given = tabulon::PathFromUtf8(argv[i]);
        if (fs::is_directory(given)) {
            for (const auto& entry : fs::directory_iterator(given))
                if (entry.path().extension() == ".xls")
                    workbooks.push_back(entry.path());
        } else {
            workbooks.push_back(given);
        }
    }
    if (workbooks.empty()) {
        std::fprintf(stderr, "usage: tabulon-recovery WORKBOOK-OR-FOLDER...\n");
        return 2;
    }

    int cases = 0, plainOpens = 0, repairOpens = 0, identical = 0, worse = 0, intactOpen = 0, intactSame = 0;
    for (std::size_t w = 0; w < workbooks.size(); ++w) {
        tabulon::OsFile file = tabulon::OsFile::Open(workbooks[w], tabulon::OsFile::Access::Read);
        Bytes original(static_cast<std::size_t>(file.Length()));
        file.Read(original);
        if (original.size() <= 512)
            continue;
        tabulon::MemorySectorFile intact(original);
        intactOpen += tabulon::RepairHeader(intact, tabulon::RebuildMode::Auto).check.Opens() ? 1 : 0;
        intactSame += intact.Bytes() == original ? 1 : 0;
        for (int round = 0; round < 4; ++round) {
            std::mt19937 random(static_cast<unsigned>(static_cast<std::size_t>(round) * 7919 + w));
            for (int pattern = 0; pattern < 7; ++pattern) {
                Bytes damaged = original;
                Damage(damaged, pattern, random);
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
    std::printf("damaged headers: %d cases from %zu workbooks\n", cases, workbooks.size());
    std::printf("  plain rebuild alone opens   %4d  (%.1f %%)\n", plainOpens, percent(plainOpens));
    std::printf("  checked repair opens        %4d  (%.1f %%)\n", repairOpens, percent(repairOpens));
    std::printf("  ... identical to original   %4d  (%.1f %%)\n", identical, percent(identical));
    std::printf("  worse than the plain rebuild %3d\n", worse);
    std::printf("intact workbooks: %d open after repair, %d byte-identical\n", intactOpen, intactSame);
    return worse == 0 ? 0 : 1;
}
