#include "engine/repair/workbook_file.h"

#include <algorithm>

#include "engine/biff/records.h"
#include "engine/cfb/compound_reader.h"
#include "engine/repair/record_mend.h"

namespace tabulon {

WorkbookCheck VerifyWorkbookStructure(SectorFile& file)
{
    static constexpr MainStreamRule kWorkbook{biff::IsWorkbookStreamName, biff::IsBofType};
    return VerifyCompoundFile(file, kWorkbook);
}

bool BeyondHeader(FindingCode code)
{
    switch (code) {
    case FindingCode::ChainOutOfRange:
    case FindingCode::ChainLoop:
    case FindingCode::SectorClaimedTwice:
    case FindingCode::ChainTooShort:
    case FindingCode::WorkbookRecordsDamaged:
    case FindingCode::FileCutShort:
    case FindingCode::FatEntryOutOfRange:
        return true;
    default:
        return false;
    }
}

bool OnlyBeyondHeader(const WorkbookCheck& check)
{
    return std::all_of(check.findings.begin(), check.findings.end(), [](const Finding& finding) {
        return finding.severity == Severity::Harmless || BeyondHeader(finding.code);
    });
}

void AddRecordDamage(SectorFile& file, WorkbookCheck& check)
{
    const std::optional<std::vector<std::uint8_t>> stream = ReadWorkbookStream(file);
    if (!stream)
        return;
    if (const std::optional<std::uint64_t> damage = FirstRecordDamage(*stream))
        check.findings.push_back({FindingCode::WorkbookRecordsDamaged, Severity::Incorrect,
                                  static_cast<std::uint32_t>(std::min<std::uint64_t>(*damage, 0xFFFF'FFFF)), 0, *damage});
}

WorkbookCheck VerifyWorkbook(SectorFile& file)
{
    WorkbookCheck check = VerifyWorkbookStructure(file);
    if (OnlyBeyondHeader(check))
        AddRecordDamage(file, check);
    return check;
}

std::optional<std::vector<std::uint8_t>> ReadWorkbookStream(SectorFile& file)
{
    return ReadRootStream(file, biff::kWorkbookStreamNames);
}

}  // namespace tabulon
