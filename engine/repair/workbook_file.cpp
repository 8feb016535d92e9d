#include "engine/repair/workbook_file.h"

#include "engine/biff/records.h"
#include "engine/cfb/compound_reader.h"

namespace tabulon {

WorkbookCheck VerifyWorkbook(SectorFile& file)
{
    static constexpr MainStreamRule kWorkbook{biff::IsWorkbookStreamName, biff::IsBofType};
    return VerifyCompoundFile(file, kWorkbook);
}

std::optional<std::vector<std::uint8_t>> ReadWorkbookStream(SectorFile& file)
{
    return ReadRootStream(file, biff::kWorkbookStreamNames);
}

}  // namespace tabulon
