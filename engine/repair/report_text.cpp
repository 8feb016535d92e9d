#include "engine/repair/report_text.h"

#include "engine/base/byte_order.h"

namespace tabulon {

std::string DescribeNotAWorkbook(NotAWorkbook what)
{
    switch (what) {
    case NotAWorkbook::ZipArchive:
        return "This is a zip archive (perhaps a newer .xlsx workbook), not a legacy .xls workbook";
    case NotAWorkbook::HtmlDocument: return "This is an HTML document, not a legacy .xls workbook";
    case NotAWorkbook::XmlDocument: return "This is an XML document, not a legacy .xls workbook";
    case NotAWorkbook::LargeSectors:
        return "This compound file uses 4096-byte sectors (version 4); only version-3 workbooks can be repaired";
    case NotAWorkbook::NoCompoundStructure:
        return "This file holds no allocation table or directory of a workbook anywhere";
    }
    return "This is not a legacy .xls workbook";
}

std::string DescribeSalvage(const SalvageReport& report)
{
    if (!report.written)
        return "Nothing could be salvaged: no workbook stream was found";
    std::string text = "Salvaged: " + std::to_string(report.sheetsFound) + " of " + std::to_string(report.sheets) +
                       (report.sheets == 1 ? " sheet" : " sheets");
    if (report.workbookBytesLost > 0)
        text += "; " + std::to_string(report.workbookBytesLost) + " bytes of the workbook lost";
    if (!report.lostSheets.empty()) {
        text += "; lost: ";
        for (std::size_t i = 0; i < report.lostSheets.size(); ++i)
            text += (i > 0 ? ", " : "") + report.lostSheets[i];
    }
    // What was mended, sheet by sheet.
    std::vector<std::uint64_t> replaced(report.sheetNames.size() + 1, 0);
    std::uint64_t cut = 0;
    for (const MendedRegion& region : report.regions) {
        if (region.kind == MendedRegion::Kind::Lost)
            cut += region.length;
        else
            replaced[region.sheet < 0 || static_cast<std::size_t>(region.sheet) >= report.sheetNames.size()
                         ? report.sheetNames.size()
                         : static_cast<std::size_t>(region.sheet)] += region.length;
    }
    std::string mended;
    for (std::size_t i = 0; i < replaced.size(); ++i) {
        if (replaced[i] == 0)
            continue;
        mended += (mended.empty() ? "" : ", ") + (i < report.sheetNames.size() ? report.sheetNames[i] : std::string("the workbook's globals")) +
                  " (" + std::to_string(replaced[i]) + " bytes)";
    }
    if (!mended.empty())
        text += "; damaged records replaced in " + mended;
    if (cut > 0)
        text += "; " + std::to_string(cut) + " bytes cut off after the last whole record";
    if (!report.dropped.empty())
        text += "; " + std::to_string(report.dropped.size()) + (report.dropped.size() == 1 ? " stream" : " streams") + " lost";
    if (report.directoryLost)
        text += "; found without its directory";
    return text;
}

std::string DescribeVerdict(const RepairReport& report)
{
    if (report.refused)
        return DescribeNotAWorkbook(*report.refused);
    if (report.used == RebuildUsed::Salvaged)
        return DescribeSalvage(*report.salvage);
    if (const Finding* problem = report.check.FirstProblem())
        return "Still damaged: " + DescribeFinding(*problem);
    return "Opens";
}

std::string ChangedFieldNames(const RepairReport& report)
{
    std::string list;
    for (const HeaderField& field : ChangedHeaderFields(report.before, report.after)) {
        if (!list.empty())
            list += ", ";
        list += field.name;
    }
    return list;
}

std::string HeaderFieldText(const HeaderBytes& header, const HeaderField& field)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    const std::uint8_t* bytes = header.data() + field.offset;
    switch (field.kind) {
    case HeaderFieldKind::Integer:
        return std::to_string(HeaderInteger(header, field));
    case HeaderFieldKind::Bytes: {
        std::string text;
        for (std::size_t i = 0; i < field.width; ++i) {
            text += kDigits[bytes[i] >> 4];
            text += kDigits[bytes[i] & 0xF];
        }
        return text;
    }
    case HeaderFieldKind::SectorList: {
        std::string text;
        int shown = 0;
        for (std::size_t k = 0; k < field.width / 4 && shown < 6; ++k, ++shown) {
            const std::uint32_t entry = LoadLe32(bytes + 4 * k);
            if (entry == kFreeSector)
                break;
            text += (text.empty() ? "" : ", ") + std::to_string(entry);
        }
        return text.empty() ? "(empty)" : text;
    }
    }
    return {};
}

std::string DescribeRepair(const RepairReport& report)
{
    if (report.refused)
        return DescribeNotAWorkbook(*report.refused) + "; nothing was written.";
    std::string text;
    if (report.used == RebuildUsed::Salvaged) {
        const SalvageReport& salvage = *report.salvage;
        text += "No header made the workbook open, so its streams were salvaged into a new file.\n";
        text += "Result: " + DescribeVerdict(report) + "\n\nStreams kept:\n";
        for (const SalvagedStream& stream : salvage.kept) {
            text += "  " + stream.path + ": " + std::to_string(stream.size) + " bytes" +
                    (stream.declaredSize > stream.size ? " of " + std::to_string(stream.declaredSize) : std::string()) +
                    (stream.linksRebuilt > 0 ? ", " + std::to_string(stream.linksRebuilt) + " links rebuilt" : std::string()) +
                    "\n";
        }
        for (const std::string& lost : salvage.dropped)
            text += "  lost: " + lost + "\n";
        if (!salvage.regions.empty())
            text += "\nMended in the workbook stream:\n";
        for (const MendedRegion& region : salvage.regions) {
            const std::string where = region.sheet >= 0 && static_cast<std::size_t>(region.sheet) < salvage.sheetNames.size()
                                          ? salvage.sheetNames[static_cast<std::size_t>(region.sheet)]
                                          : std::string("the workbook's globals");
            text += std::string("  ") + (region.kind == MendedRegion::Kind::Replaced ? "replaced" : "lost") + " " +
                    std::to_string(region.length) + " bytes at byte " + std::to_string(region.offset) + ", in " + where + "\n";
        }
        if (salvage.directoryLost)
            text += "The directory was lost: the workbook was found by its first record.\n";
        if (salvage.tableSectorsLost > 0)
            text += "Allocation-table sectors lost: " + std::to_string(salvage.tableSectorsLost) + "\n";
        return text;
    }
    text += report.used == RebuildUsed::Kept   ? "The header was kept: the workbook opens as it is, so nothing changed.\n"
            : report.used == RebuildUsed::Deep ? "The deep rebuild from the file's own structure stood.\n"
                                               : "The plain rebuild stood.\n";
    text += "Result: " + DescribeVerdict(report) + "\n\nHeader fields, before -> after:\n";
    for (const HeaderField& field : kHeaderFields) {
        const std::string before = HeaderFieldText(report.before, field);
        const std::string after = HeaderFieldText(report.after, field);
        text += "  " + std::string(field.name) + ": " + (before == after ? before + " (kept)" : before + " -> " + after) + "\n";
    }
    text += "\nFindings:\n";
    if (report.check.findings.empty())
        text += "  none\n";
    for (const Finding& finding : report.check.findings)
        text += "  " + DescribeFinding(finding) + "\n";
    return text;
}

}  // namespace tabulon
