#include "report.h"

#include <cstdio>

#include "engine/base/byte_order.h"
#include "engine/io/os_file.h"
#include "words/report_text.h"
#include "engine/repair/salvage/salvage.h"

namespace tabulon::cli {
namespace {

std::string HeaderToJson(const HeaderBytes& header)
{
    std::string json = "{";
    for (const HeaderField& field : kHeaderFields) {
        if (json.size() > 1)
            json += ",";
        json += JsonString(std::string(field.name));
        json += ':';
        const std::uint8_t* bytes = header.data() + field.offset;
        switch (field.kind) {
        case HeaderFieldKind::Bytes:
            json += JsonString(HeaderFieldText(header, field));
            break;
        case HeaderFieldKind::Integer:
            json += HeaderFieldText(header, field);
            break;
        case HeaderFieldKind::SectorList:
            json += "[";
            for (std::size_t k = 0; k < field.width / 4; ++k) {
                if (k > 0)
                    json += ',';
                json += std::to_string(LoadLe32(bytes + 4 * k));
            }
            json += "]";
            break;
        }
    }
    return json + "}";
}

// Length of the UTF-8 sequence starting at text[i], or 0 when it is not valid UTF-8.
std::size_t Utf8SequenceLength(const std::string& text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    std::uint32_t minimum = 0;
    std::uint32_t codePoint = 0;
    if (lead < 0x80)
        return 1;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, minimum = 0x80, codePoint = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, minimum = 0x800, codePoint = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, minimum = 0x10000, codePoint = lead & 0x07u;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        codePoint = (codePoint << 6) | (byte(i + k) & 0x3Fu);
    }
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    return codePoint < minimum || codePoint > 0x10FFFF || surrogate ? 0 : length;
}

}  // namespace

std::string JsonString(const std::string& text)
{
    std::string json = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t length = Utf8SequenceLength(text, i);
        if (length == 0) {
            json += "\\ufffd";
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            json += '\\';
            json += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            json += escaped;
        } else {
            json.append(text, i, length);
        }
        i += length;
    }
    return json + "\"";
}

std::string DescribeResult(const WorkbookResult& result)
{
    const std::string source = PathToUtf8(result.source);
    if (result.outcome == Outcome::Checked) {
        const Finding* problem = result.check->FirstProblem();
        return problem ? "does not open: " + source + ": " + DescribeFinding(*problem) : "opens: " + source;
    }
    if (result.outcome == Outcome::Kept)
        return "kept " + source + ": " + kOpensAsItIs;
    const RepairReport& report = *result.report;
    const bool inPlace = result.output && *result.output == result.source;
    const bool dryRun = result.outcome == Outcome::DryRun;
    // What was put back in place before anything else, when the bytes had moved.
    std::string realigned = report.realign ? DescribeRealign(*report.realign) : std::string();
    if (!realigned.empty())
        realigned = "; " + SentenceInLine(realigned);
    const RepairOutcome outcome = RepairOutcomeOf(report);
    if (outcome == RepairOutcome::SalvagedComplete || outcome == RepairOutcome::SalvagedPartial)
        return (dryRun ? "would salvage " : "salvaged ") + source + " into " + PathToUtf8(*result.output) + ": " +
               DescribeSalvage(*report.salvage, true) + realigned;
    if (outcome == RepairOutcome::Realigned || outcome == RepairOutcome::RealignedDamageRemains)
        return (dryRun ? "would realign " : "realigned ") + source + " into " + PathToUtf8(*result.output) + realigned +
               (outcome == RepairOutcome::Realigned ? "; the workbook opens"
                                                    : "; still damaged: " + DescribeFinding(*report.check.FirstProblem()));
    const std::string changes = ChangedFieldNames(report);
    std::string line = (dryRun ? "would repair " : "repaired ") + source +
                       (inPlace ? " in place" : " into " + PathToUtf8(*result.output));
    if (report.used == RebuildUsed::Deep)
        line += " (deep rebuild)";
    line += changes.empty() ? (dryRun ? "; no header field would change" : "; no header field changed")
                            : (dryRun ? "; would change: " : "; changed: ") + changes;
    const Finding* problem = report.check.FirstProblem();
    if (outcome == RepairOutcome::RebuiltDamageRemains)
        return line + "; header rebuilt; damage beyond it remains: " + DescribeFinding(*problem) +
               (inPlace ? "; run without --in-place to salvage it into a copy" : "");
    return line + (problem ? "; still damaged: " + DescribeFinding(*problem) : "; the workbook opens");
}

namespace {

std::string FindingsToJson(const std::vector<Finding>& findings)
{
    static constexpr const char* kSeverities[] = {"harmless", "incorrect", "fatal"};
    std::string json = "[";
    for (const Finding& finding : findings) {
        if (json.size() > 1)
            json += ',';
        json += "{\"code\":" + std::to_string(static_cast<int>(finding.code));
        json += ",\"severity\":\"";
        json += kSeverities[static_cast<int>(finding.severity)];
        json += "\",\"where\":" + std::to_string(finding.where);
        json += ",\"expected\":" + std::to_string(finding.expected);
        json += ",\"found\":" + std::to_string(finding.found);
        json += ",\"text\":" + JsonString(DescribeFinding(finding)) + "}";
    }
    return json + "]";
}

std::string TextsToJson(const std::vector<std::string>& texts)
{
    std::string json = "[";
    for (const std::string& text : texts) {
        if (json.size() > 1)
            json += ',';
        json += JsonString(text);
    }
    return json + "]";
}

std::string SalvageToJson(const RepairReport& report)
{
    const SalvageReport& salvage = *report.salvage;
    std::string json = "{\"written\":" + std::string(salvage.written ? "true" : "false");
    json += ",\"text\":" + JsonString(DescribeSalvageOf(report));
    json += ",\"sheets\":" + std::to_string(salvage.sheets);
    json += ",\"sheetsFound\":" + std::to_string(salvage.sheetsFound);
    json += ",\"workbookBytesLost\":" + std::to_string(salvage.workbookBytesLost);
    json += ",\"directoryLost\":" + std::string(salvage.directoryLost ? "true" : "false");
    json += ",\"tableSectorsLost\":" + std::to_string(salvage.tableSectorsLost);
    json += ",\"linksRebuilt\":" + std::to_string(salvage.linksRebuilt);
    json += ",\"kept\":[";
    for (std::size_t i = 0; i < salvage.kept.size(); ++i) {
        const SalvagedStream& stream = salvage.kept[i];
        json += (i > 0 ? ",{\"path\":" : "{\"path\":") + JsonString(stream.path);
        json += ",\"size\":" + std::to_string(stream.size);
        json += ",\"declaredSize\":" + std::to_string(stream.declaredSize);
        json += ",\"linksRebuilt\":" + std::to_string(stream.linksRebuilt) + "}";
    }
    json += "],\"dropped\":" + TextsToJson(salvage.dropped);
    json += ",\"sheetNames\":" + TextsToJson(salvage.sheetNames);
    json += ",\"lostSheets\":" + TextsToJson(salvage.lostSheets);
    json += ",\"complete\":" + std::string(SalvageComplete(salvage) ? "true" : "false");
    json += ",\"namesMadeUp\":" + std::string(salvage.namesMadeUp ? "true" : "false");
    json += ",\"formulasAsValues\":{\"needingGlobals\":" + std::to_string(salvage.formulasAsValues.needingGlobals) +
            ",\"needingCells\":" + std::to_string(salvage.formulasAsValues.needingCells) +
            ",\"leftOut\":" + std::to_string(salvage.formulasAsValues.leftOut) + "}";
    static constexpr const char* kStates[] = {"complete", "partial", "lost"};
    json += ",\"sheetOutcomes\":[";
    for (std::size_t i = 0; i < salvage.outcomes.size(); ++i) {
        const SheetOutcome& sheet = salvage.outcomes[i];
        json += std::string(i > 0 ? "," : "") + "{\"name\":" + JsonString(sheet.name) + ",\"state\":\"" +
                kStates[static_cast<int>(sheet.state)] + "\",\"bytesLost\":" + std::to_string(sheet.bytesLost) + ",\"textsLost\":" + std::to_string(sheet.textsLost) +
                ",\"startLost\":" + (sheet.startLost ? "true" : "false") + ",\"formulasLeftOut\":" + std::to_string(sheet.formulasLeftOut) +
                ",\"cells\":" + std::to_string(sheet.cells) + "}";
    }
    json += "]";
    // The stretches of the workbook stream that were mended, by their place in it.
    json += ",\"regions\":[";
    for (std::size_t i = 0; i < salvage.regions.size(); ++i) {
        const MendedRegion& region = salvage.regions[i];
        json += std::string(i > 0 ? "," : "") + "{\"kind\":\"" +
                (region.kind == MendedRegion::Kind::Replaced ? "replaced" : "lost") + "\",\"offset\":" +
                std::to_string(region.offset) + ",\"length\":" + std::to_string(region.length) +
                ",\"sheet\":" + (region.sheet < 0 ? std::string("null") : std::to_string(region.sheet)) + "}";
    }
    return json + "]}";
}

}  // namespace

std::string ResultToJson(const WorkbookResult& result)
{
    static constexpr const char* kOutcomeNames[] = {"repaired", "dry-run", "kept", "checked", "failed"};
    static constexpr const char* kRebuildNames[] = {"design", "deep", "kept", "none", "salvaged", "realigned"};
    std::string json = "{\"path\":" + JsonString(PathToUtf8(result.source));
    json += ",\"outcome\":\"" + std::string(kOutcomeNames[static_cast<int>(result.outcome)]) + "\"";
    json += ",\"error\":" + (result.outcome == Outcome::Failed ? JsonString(result.error) : std::string("null"));
    json += ",\"output\":" + (result.output ? JsonString(PathToUtf8(*result.output)) : std::string("null"));
    const WorkbookCheck* check = result.check ? &*result.check : result.report ? &result.report->check : nullptr;
    json += ",\"opens\":" + std::string(check && !(result.report && result.report->refused) ? (check->Opens() ? "true" : "false") : "null");
    json += ",\"rebuild\":";
    if (result.report) {
        json += '"';
        json += kRebuildNames[static_cast<int>(result.report->used)];
        json += '"';
    } else {
        json += "null";
    }
    // A salvaged copy's own check is clean: its findings are those of the file as it came.
    std::vector<Finding> findings;
    if (result.report && result.report->used == RebuildUsed::Salvaged && result.report->salvage)
        findings = result.report->salvage->damage;
    if (check)
        findings.insert(findings.end(), check->findings.begin(), check->findings.end());
    json += ",\"findings\":" + (check ? FindingsToJson(findings) : std::string("null"));
    json += ",\"changed\":";
    if (result.report && !result.report->refused && result.outcome != Outcome::Failed) {
        json += "[";
        bool first = true;
        for (const HeaderField& field : ChangedHeaderFields(result.report->before, result.report->after)) {
            if (!first)
                json += ',';
            json += JsonString(std::string(field.name));
            first = false;
        }
        json += "],\"before\":" + HeaderToJson(result.report->before);
        json += ",\"after\":" + HeaderToJson(result.report->after);
    } else {
        json += "null,\"before\":null,\"after\":null";
    }
    json += ",\"salvage\":" + (result.report && result.report->salvage ? SalvageToJson(*result.report) : std::string("null"));
    json += ",\"realign\":";
    if (result.report && result.report->realign) {
        const RealignNote& note = *result.report->realign;
        json += "{\"wrapperBytes\":" + std::to_string(note.wrapperBytes) +
                ",\"crlfTurnedBack\":" + std::to_string(note.crlfTurnedBack) +
                ",\"crRestored\":" + std::to_string(note.crRestored) +
                ",\"foreignClusters\":" + std::to_string(note.foreignClusters) +
                ",\"cellsLeftOut\":" + std::to_string(note.cellsLeftOut) +
                ",\"text\":" + JsonString(DescribeRealign(note)) + "}";
    } else {
        json += "null";
    }
    return json + "}";
}

}  // namespace tabulon::cli
