#include "words/report_text.h"

#include <algorithm>

#include "engine/base/byte_order.h"

namespace tabulon {

// Each sentence says first what happened in the words of someone who uses workbooks, then the
// format's own facts in parentheses, for whoever knows the compound file: the allocation table
// and the directory are the file's table of contents, its streams the parts it holds.
std::string DescribeFinding(const Finding& finding)
{
    const std::string where = std::to_string(finding.where);
    const auto contents = [](const std::string& fact) { return "the file's table of contents is damaged (" + fact + ")"; };
    switch (finding.code) {
    case FindingCode::FileTooShort: return "not a workbook: the file is too short to be one";
    case FindingCode::NotCompoundFile:
        return "the file does not begin as a workbook does (its first bytes are not a compound file's signature)";
    case FindingCode::UnsupportedFormat:
        return "the file's header names a kind of file this program cannot repair "
               "(not a version-3 compound file with 512-byte sectors)";
    case FindingCode::HeaderFieldUnusual:
        return "the file's header holds an unusual value (the field at offset " + where + ")";
    case FindingCode::FatCountMismatch: return contents("the header's count of allocation-table sectors is wrong");
    case FindingCode::FatSectorOutOfRange: return contents("allocation-table sector " + where + " lies outside the file");
    case FindingCode::FatSectorNotMarked:
        return "the file's table of contents is not quite in order (sector " + where +
               " of the allocation table or of its list is not marked as one)";
    case FindingCode::DifatChainBroken: return contents("the list of allocation-table sectors is broken");
    case FindingCode::ChainOutOfRange: return "part of the file's data is damaged (a chain of sectors points outside the file)";
    case FindingCode::ChainLoop: return "part of the file's data is damaged (a chain of sectors runs in a loop)";
    case FindingCode::SectorClaimedTwice:
        return "two parts of the file claim the same place (sector " + where + " is used twice)";
    case FindingCode::ChainTooShort:
        return "part of the file's data is missing (the stream of directory entry " + where + " is shorter than its size says)";
    case FindingCode::NoDirectory: return "the file's table of contents cannot be found (no directory)";
    case FindingCode::NoRootEntry: return contents("the directory does not start with a root entry");
    case FindingCode::DirectoryIndexOutOfRange:
        return contents("the directory points at entry " + where + ", which does not exist");
    case FindingCode::DirectoryCycle: return contents("the directory runs in a loop");
    case FindingCode::DirectoryTooLarge:
        return "the file's table of contents is larger than any workbook's, so not all of it was checked "
               "(the directory has more entries than any workbook; entry " + where + " was not checked)";
    case FindingCode::MiniFatInconsistent: return contents("the small-stream table does not fit the small streams");
    case FindingCode::MiniFatCountMismatch: return contents("the header's count of small-stream table sectors is wrong");
    case FindingCode::NoMainStream: return "no workbook data can be found in the file (there is no workbook stream)";
    case FindingCode::MainStreamStartsWrongly:
        return "the start of the workbook's data is damaged (the workbook stream does not begin with a workbook record)";
    case FindingCode::MainStreamDamaged:
        return "part of the workbook's data is damaged (its records, at byte " + where + " of the workbook stream)";
    case FindingCode::FileCutShort: return "the file was cut short (it ends inside sector " + where + ", which is in use)";
    case FindingCode::FatEntryOutOfRange:
        return contents("the allocation table's entry for sector " + where + " points outside the file");
    case FindingCode::DirectoryEntryInvalid:
        return contents("directory entry " + where + ", which the directory's tree leads to, is neither a stream nor a storage");
    }
    return "the file has a fault this program has no words for (finding " + std::to_string(static_cast<int>(finding.code)) + ")";
}


std::string DescribeNotAWorkbook(NotAWorkbook what)
{
    switch (what) {
    case NotAWorkbook::ZipArchive:
        return "This is a zip archive (perhaps a newer .xlsx workbook), not a legacy .xls workbook";
    case NotAWorkbook::HtmlDocument: return "This is an HTML document, not a legacy .xls workbook";
    case NotAWorkbook::XmlDocument: return "This is an XML document, not a legacy .xls workbook";
    case NotAWorkbook::LargeSectors:
        return "This file is of a newer kind than this program repairs (a version-4 compound file with 4096-byte "
               "sectors; only version-3 workbooks can be repaired)";
    case NotAWorkbook::NoCompoundStructure:
        return "This file is not a workbook: it holds no allocation table or directory of one anywhere";
    }
    return "This is not a legacy .xls workbook";
}

namespace {

std::string Plural(std::size_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// A count with a comma between each group of three digits: 2,314.
std::string Grouped(std::uint64_t count)
{
    const std::string digits = std::to_string(count);
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            grouped += ',';
        grouped += digits[i];
    }
    return grouped;
}

std::string GroupedPlural(std::uint64_t count, const char* one, const char* many)
{
    return Grouped(count) + " " + (count == 1 ? one : many);
}

// What a partial sheet lost: its first records, bytes of its records, texts whose shared
// strings went; and the formulas left out.
std::string SheetLoss(const SheetOutcome& sheet)
{
    std::vector<std::string> parts;
    if (sheet.startLost)
        parts.emplace_back("its first records");
    if (sheet.bytesLost > 0)
        parts.push_back(Plural(sheet.bytesLost, "byte", "bytes") + " of its records");
    if (sheet.textsLost > 0)
        parts.push_back(Plural(sheet.textsLost, "text", "texts"));
    std::string loss;
    for (std::size_t i = 0; i < parts.size(); ++i)
        loss += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    if (!parts.empty())
        loss += " lost";
    if (sheet.formulasLeftOut > 0)
        loss += (parts.empty() ? "" : ", ") + Plural(sheet.formulasLeftOut, "formula", "formulas") + " left out";
    return loss;
}

std::string JoinNames(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + Printable(name);
    return text;
}

}  // namespace

std::string Printable(const std::string& name)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            text += "\\x";
            text += kDigits[byte >> 4];
            text += kDigits[byte & 0xF];
        } else {
            text += c;
        }
    }
    return text;
}

std::string StreamName(const std::string& path)
{
    std::string text;
    for (std::size_t at = 0; at <= path.size();) {
        const std::size_t end = std::min(path.find('/', at), path.size());
        std::string part = path.substr(at, end - at);
        if (part.size() > 1 && static_cast<unsigned char>(part[0]) < 0x20)
            part.erase(0, 1);  // the mark of a property set or of an object's own data, which names leave out
        text += (at == 0 ? "" : "/") + Printable(part);
        at = end + 1;
    }
    return text;
}

std::string DescribeSalvage(const SalvageReport& report, bool stands)
{
    if (!report.written)
        return "Nothing could be salvaged: no workbook data was found (no workbook stream)";
    std::string text;
    std::uint64_t globalsLost = 0;
    if (report.outcomes.empty()) {
        // Read back nothing: what the list of sheets says is all there is to tell.
        text = "Salvaged: " + std::to_string(report.sheetsFound) + " of " + Plural(static_cast<std::size_t>(std::max(report.sheets, 0)), "sheet", "sheets");
        if (!report.lostSheets.empty())
            text += "; lost: " + JoinNames(report.lostSheets);
    } else {
        std::size_t complete = 0;
        std::string partial;
        std::vector<std::string> lost;
        for (const SheetOutcome& sheet : report.outcomes) {
            if (sheet.state == SheetState::Complete)
                ++complete;
            else if (sheet.state == SheetState::Lost)
                lost.push_back(sheet.name);
            else
                partial += (partial.empty() ? "" : ", ") + Printable(sheet.name) + " (" + SheetLoss(sheet) + ")";
        }
        if (complete == 0 && partial.empty() && !stands)
            return "Nothing could be salvaged: none of the workbook's " + Plural(report.outcomes.size(), "sheet", "sheets") +
                   " came back";
        text = "Salvaged: " + std::to_string(complete) + " of " + Plural(report.outcomes.size(), "sheet", "sheets");
        if (complete < report.outcomes.size())
            text += " complete";
        if (!partial.empty())
            text += "; partial: " + partial;
        if (!lost.empty())
            text += "; lost: " + JoinNames(lost);
        for (const MendedRegion& region : report.regions)
            globalsLost += region.sheet < 0 ? region.length : 0;
    }
    std::vector<std::string> madeUp;
    for (const SheetOutcome& sheet : report.outcomes) {
        if (sheet.nameMadeUp)
            madeUp.push_back(sheet.name);
    }
    if (!madeUp.empty())
        text += "; names lost: " + Plural(madeUp.size(), "sheet", "sheets") + " named " + Printable(madeUp.front()) +
                (madeUp.size() > 1 ? "\u2013" + Printable(madeUp.back()) : std::string());
    if (globalsLost > 0)
        text += "; damaged data that all sheets share was replaced (" + Plural(globalsLost, "byte", "bytes") +
                " of the workbook's global records)";
    if (const std::size_t asValues = report.formulasAsValues.Total(); asValues > 0)
        text += "; " + Plural(asValues, "formula", "formulas") + " kept as " + (asValues == 1 ? "its value" : "their values") +
                " (what " + (asValues == 1 ? "it refers" : "they refer") + " to was lost)";
    if (const std::size_t leftOut = report.formulasAsValues.leftOut; leftOut > 0)
        text += "; " + Plural(leftOut, "formula", "formulas") + " left out (" +
                (leftOut == 1 ? "it calls a macro or add-in function, shows the file's name or works with such a result, and "
                                "something it needs was lost)"
                              : "they call a macro or add-in function, show the file's name or work with such a result, and "
                                "something they need was lost)");
    if (!report.dropped.empty())
        text += "; " + Plural(report.dropped.size(), "other part", "other parts") + " of the file lost (" +
                Plural(report.dropped.size(), "stream", "streams") + ")";
    if (report.directoryLost)
        text += "; found without the file's table of contents (its directory was lost)";
    return text;
}

std::string DescribeMendedStretch(const MendedRegion& region)
{
    return std::string(region.kind == MendedRegion::Kind::Replaced ? "data damaged and replaced" : "data lost") + " (" +
           Plural(region.length, "byte", "bytes") + " at offset " + std::to_string(region.offset) + " of the workbook stream)";
}

std::string DescribeRealign(const RealignNote& note)
{
    std::string text;
    const auto add = [&text](const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
    if (note.wrapperBytes > 0)
        add("bytes added before the workbook were removed (a " + Grouped(note.wrapperBytes) + "-byte wrapper)");
    if (note.crlfTurnedBack > 0)
        add("line breaks a text-mode copy changed were put back (" +
            GroupedPlural(note.crlfTurnedBack, "CR LF pair", "CR LF pairs") + " turned back into LF)");
    if (note.crRestored > 0)
        add("line breaks a text-mode copy changed were put back (" + GroupedPlural(note.crRestored, "LF", "LFs") +
            " turned back into CR LF)");
    if (note.foreignClusters > 0)
        add("bytes of other files were removed (" + GroupedPlural(note.foreignClusters, "4 KiB cluster", "4 KiB clusters") + ")");
    if (note.cellsLeftOut > 0)
        add("cells whose bytes the damage left in doubt were left out (" + GroupedPlural(note.cellsLeftOut, "cell", "cells") + ")");
    if (!text.empty())
        text[0] = static_cast<char>(text[0] >= 'a' && text[0] <= 'z' ? text[0] - 'a' + 'A' : text[0]);
    return text;
}

std::string SentenceInLine(std::string sentence)
{
    if (!sentence.empty() && sentence[0] >= 'A' && sentence[0] <= 'Z')
        sentence[0] = static_cast<char>(sentence[0] - 'A' + 'a');
    return sentence;
}

namespace {

// Where the repair wrote nothing although the salvage found a workbook: none of its sheets came
// back (or none was found in it). Empty otherwise.
std::string NothingSalvaged(const RepairReport& report)
{
    if (report.refused != NotAWorkbook::NoCompoundStructure || !report.salvage || !report.salvage->written)
        return {};
    const SalvageReport& salvage = *report.salvage;
    if (!std::all_of(salvage.outcomes.begin(), salvage.outcomes.end(), [](const SheetOutcome& sheet) { return sheet.state == SheetState::Lost; }))
        return {};
    return salvage.outcomes.empty() ? "Nothing could be salvaged: no sheet of the workbook came back" : DescribeSalvage(salvage);
}

}  // namespace

std::string DescribeRefusal(const RepairReport& report)
{
    const std::string nothing = NothingSalvaged(report);
    return nothing.empty() ? DescribeNotAWorkbook(*report.refused) : nothing;
}

std::string DescribeSalvageOf(const RepairReport& report)
{
    if (report.refused == NotAWorkbook::NoCompoundStructure && (!report.salvage || !report.salvage->written))
        return "Nothing could be salvaged: this file is not a workbook";
    if (const std::string nothing = NothingSalvaged(report); !nothing.empty())
        return nothing;
    return report.salvage ? DescribeSalvage(*report.salvage) : std::string();
}

std::string DescribeVerdict(const RepairReport& report)
{
    switch (RepairOutcomeOf(report)) {
    case RepairOutcome::Refused:
        return DescribeRefusal(report);
    case RepairOutcome::SalvagedComplete:
    case RepairOutcome::SalvagedPartial:
        return DescribeSalvage(*report.salvage, true) +
               (report.realign ? "; " + SentenceInLine(DescribeRealign(*report.realign)) : std::string());
    case RepairOutcome::Realigned:
        return "Realigned: " + SentenceInLine(DescribeRealign(report.realign ? *report.realign : RealignNote{}));
    case RepairOutcome::Kept:
        return std::string("Kept: ") + kOpensAsItIs;
    case RepairOutcome::Rebuilt:
        return "Opens";
    case RepairOutcome::RebuiltDamageRemains:
    case RepairOutcome::RebuiltUnreadable:
    case RepairOutcome::RealignedDamageRemains:
    case RepairOutcome::Failed:
        break;
    }
    const Finding* problem = report.check.FirstProblem();
    return problem ? "Still damaged: " + DescribeFinding(*problem) : "Opens";
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
        return DescribeRefusal(report) + "; " + kNothingWritten + ".";
    std::string text;
    if (report.used == RebuildUsed::Salvaged) {
        const SalvageReport& salvage = *report.salvage;
        if (report.realign)
            text += "The workbook's bytes had moved: " + SentenceInLine(DescribeRealign(*report.realign)) + ".\n";
        text += "No header made the workbook open, so what survived of it was salvaged into a new file, stream by stream.\n";
        text += "Result: " + DescribeVerdict(report) + "\n";
        if (!salvage.outcomes.empty())
            text += "\nSheets:\n";
        for (const SheetOutcome& sheet : salvage.outcomes) {
            text += "  " + Printable(sheet.name) + ": " +
                    (sheet.state == SheetState::Complete ? std::string("complete")
                     : sheet.state == SheetState::Lost   ? std::string("lost")
                                                         : "partial, " + SheetLoss(sheet)) +
                    " (" + Plural(sheet.cells, "cell", "cells") + ")\n";
        }
        text += "\nParts of the file kept (streams):\n";
        for (const SalvagedStream& stream : salvage.kept) {
            text += "  " + StreamName(stream.path) + ": " + std::to_string(stream.size) + " bytes" +
                    (stream.declaredSize > stream.size ? " of " + std::to_string(stream.declaredSize) : std::string()) +
                    (stream.linksRebuilt > 0 ? ", " + std::to_string(stream.linksRebuilt) + " links rebuilt" : std::string()) +
                    "\n";
        }
        for (const std::string& lost : salvage.dropped)
            text += "  lost: " + StreamName(lost) + "\n";
        if (!salvage.regions.empty())
            text += "\nWhere the workbook's data was damaged:\n";
        for (const MendedRegion& region : salvage.regions) {
            const std::string where = region.sheet >= 0 && static_cast<std::size_t>(region.sheet) < salvage.sheetNames.size()
                                          ? Printable(salvage.sheetNames[static_cast<std::size_t>(region.sheet)])
                                          : std::string("the data all sheets share (the workbook's globals)");
            text += "  in " + where + ": " + DescribeMendedStretch(region) + "\n";
        }
        if (salvage.directoryLost)
            text += "The file's table of contents was lost (its directory): the workbook was found by its first record.\n";
        if (salvage.tableSectorsLost > 0)
            text += "Part of the file's table of contents was lost (" +
                    Plural(salvage.tableSectorsLost, "allocation-table sector", "allocation-table sectors") + ").\n";
        if (!salvage.damage.empty())
            text += "\nFindings in the file as it came:\n";
        for (const Finding& finding : salvage.damage)
            text += "  " + DescribeFinding(finding) + "\n";
        return text;
    }
    if (report.realign)
        text += "The workbook's bytes had moved: " + SentenceInLine(DescribeRealign(*report.realign)) +
                ". They were put back in place and written into a new file; the workbook itself is unchanged.\n";
    text += report.used == RebuildUsed::Realigned ? std::string()
            : report.used == RebuildUsed::Kept && !report.check.Opens()
                ? "The header was kept: it fits the file's table of contents, but damage beyond it remains.\n"
            : report.used == RebuildUsed::Kept ? "The header was kept: the workbook opens as it is, so nothing changed.\n"
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
