#include "engine/repair/repair.h"

#include <algorithm>
#include <cstring>

#include "engine/base/byte_order.h"
#include "engine/cfb/compound_reader.h"
#include "engine/cfb/sector_probes.h"
#include "engine/repair/deep_rebuild.h"
#include "engine/repair/header_rebuild.h"
#include "engine/repair/record_mend.h"
#include "engine/repair/workbook_file.h"

namespace tabulon {
namespace {

// The file as it reads with another header: bytes 0 to 511 come from `header`.
class HeaderOverlay final : public SectorFile {
public:
    HeaderOverlay(SectorFile& base, const HeaderBytes& header) : base_(base), header_(header) {}
    std::uint64_t Length() override { return std::max<std::uint64_t>(base_.Length(), kHeaderSize); }
    void Seek(std::uint64_t offset) override { position_ = offset; }
    std::size_t Read(std::span<std::uint8_t> buffer) override
    {
        std::size_t done = 0;
        if (position_ < kHeaderSize) {
            done = std::min<std::size_t>(buffer.size(), kHeaderSize - static_cast<std::size_t>(position_));
            std::memcpy(buffer.data(), header_.data() + position_, done);
        }
        if (done < buffer.size()) {
            base_.Seek(position_ + done);
            done += base_.Read(buffer.subspan(done));
        }
        position_ += done;
        return done;
    }
    void Write(std::span<const std::uint8_t, kSectorSize>) override {}

private:
    SectorFile& base_;
    const HeaderBytes& header_;
    std::uint64_t position_ = 0;
};

// What the first bytes say the file is, when it is clearly not a version-3 compound file.
std::optional<NotAWorkbook> RecognizeOtherFormat(const HeaderBytes& header)
{
    if (HasHeaderSignature(header))
        return LoadLe16(header.data() + 30) == 12 || LoadLe16(header.data() + 26) == 4
                   ? std::optional(NotAWorkbook::LargeSectors)
                   : std::nullopt;
    if (header[0] == 'P' && header[1] == 'K' && header[2] == 3 && header[3] == 4)
        return NotAWorkbook::ZipArchive;
    std::size_t start = 0;
    if (header[0] == 0xEF && header[1] == 0xBB && header[2] == 0xBF)
        start = 3;  // a UTF-8 byte order mark
    while (start < 64 && (header[start] == ' ' || header[start] == '\t' || header[start] == '\r' || header[start] == '\n'))
        ++start;
    if (header[start] != '<')
        return std::nullopt;
    std::string text(reinterpret_cast<const char*>(header.data() + start), 64);
    std::transform(text.begin(), text.end(), text.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
    if (text.starts_with("<?xml"))
        return NotAWorkbook::XmlDocument;
    return NotAWorkbook::HtmlDocument;
}

// Tells a watch of a phase as it begins and, however it ends, as it ends.
class PhaseAnnouncement {
public:
    PhaseAnnouncement(RepairWatch* watch, RepairPhase phase) : watch_(watch && watch->phase ? watch : nullptr), phase_(phase)
    {
        if (watch_)
            watch_->phase(phase_, true);
    }
    PhaseAnnouncement(const PhaseAnnouncement&) = delete;
    PhaseAnnouncement& operator=(const PhaseAnnouncement&) = delete;
    ~PhaseAnnouncement()
    {
        if (watch_)
            watch_->phase(phase_, false);
    }

private:
    RepairWatch* watch_;
    RepairPhase phase_;
};

}  // namespace

void AddRecordDamage(SectorFile& file, const HeaderBytes& header, WorkbookCheck& check)
{
    HeaderOverlay overlay(file, header);
    const std::optional<std::vector<std::uint8_t>> stream = ReadWorkbookStream(overlay);
    if (!stream)
        return;
    if (const std::optional<std::uint64_t> damage = FirstRecordDamage(*stream))
        check.findings.push_back({FindingCode::WorkbookRecordsDamaged, Severity::Incorrect,
                                  static_cast<std::uint32_t>(std::min<std::uint64_t>(*damage, 0xFFFF'FFFF)), 0, *damage});
}

WorkbookCheck VerifyWithHeader(SectorFile& file, const HeaderBytes& header)
{
    HeaderOverlay overlay(file, header);
    return VerifyWorkbook(overlay);
}

RepairReport PlanRepair(SectorFile& file, RebuildMode mode, RepairWatch* watch)
{
    // Runs one phase of the repair, telling `watch` as it begins and ends.
    const auto phase = [watch](RepairPhase which, auto&& work) -> decltype(work()) {
        const PhaseAnnouncement announcement(watch, which);
        return work();
    };
    RepairReport report;
    if (mode == RebuildMode::Auto) {
        // A workbook that opens keeps its header: nothing a rebuild finds can be safer.
        WorkbookCheck asFound = phase(RepairPhase::CheckAsFound, [&] { return VerifyWorkbook(file); });
        if (asFound.Opens())
            phase(RepairPhase::RecordCheck, [&] { AddRecordDamage(file, ReadBlockAt(file, 0), asFound); });
        if (asFound.Opens()) {
            report.before = ReadBlockAt(file, 0);
            report.after = report.before;
            report.used = RebuildUsed::Kept;
            report.check = std::move(asFound);
            return report;
        }
    }
    // One pass over the file serves the plain rebuild, the deep rebuild's search and the
    // refusal's question whether anything of a compound file is there.
    DeepRebuildCollector collector(file.Length());
    ScanFacts facts;
    const HeaderRebuild design = phase(RepairPhase::Scan, [&] {
        return mode == RebuildMode::Design
                   ? PlanHeaderRebuild(file)
                   : PlanHeaderRebuild(
                         file, [&collector](std::uint32_t index, SectorView sector) { collector.Examine(index, sector); },
                         facts);
    });
    if (watch)
        watch->facts = facts;
    const auto check = [&](const HeaderBytes& header) {
        return phase(RepairPhase::CheckHeader, [&] { return VerifyWithHeader(file, header); });
    };
    const bool compoundStructure = facts.fatLikeSectors > 0 && facts.rootDirectorySector >= 0;
    report.before = design.before;
    report.after = design.after;
    report.used = RebuildUsed::Design;
    if (mode == RebuildMode::Design) {
        report.check = check(report.after);
        return report;
    }

    std::optional<NotAWorkbook> other = RecognizeOtherFormat(design.before);
    // Only when the sectors hold nothing of a compound file either: a damaged header may start
    // with anything.
    if (other && *other != NotAWorkbook::LargeSectors && compoundStructure)
        other.reset();
    if (other) {
        report.refused = other;
        report.used = RebuildUsed::None;
        report.after = report.before;
        report.check = VerifyWorkbook(file);
        return report;
    }

    // Every header that opens competes: first the one that agrees most with what the damaged
    // header still says, then the most recently written structure, then the plain rebuild.
    report.check = check(report.after);
    HeaderRank best = report.check.Opens() ? HeaderRank::Of(report.after, report.before) : HeaderRank{};
    const std::vector<HeaderBytes> deepHeaders =
        phase(RepairPhase::DeepRebuild, [&] { return collector.Rebuild(file, &design.before); });
    for (const HeaderBytes& deep : deepHeaders) {
        if (deep == design.after)
            continue;
        const HeaderRank rank = HeaderRank::Of(deep, report.before);
        if (rank <= best)
            continue;
        WorkbookCheck deepCheck = check(deep);
        if (!deepCheck.Opens())
            continue;
        report.after = deep;
        report.used = RebuildUsed::Deep;
        report.check = std::move(deepCheck);
        best = rank;
    }
    if (report.check.Opens()) {
        // A header can open the file and the workbook's records still be damaged: a header
        // cannot mend them, a salvage can.
        phase(RepairPhase::RecordCheck, [&] { AddRecordDamage(file, report.after, report.check); });
        return report;
    }
    // Nothing in the file looks like a compound file's table or directory.
    if (!compoundStructure) {
        report.refused = NotAWorkbook::NoCompoundStructure;
        report.used = RebuildUsed::None;
        report.after = report.before;
    }
    return report;
}

RepairReport RepairHeader(SectorFile& file, RebuildMode mode)
{
    RepairReport report = PlanRepair(file, mode);
    WriteRepair(file, report);
    return report;
}

bool NeedsSalvage(const RepairReport& report)
{
    // A compound file whose table and directory are both gone looks like no workbook to the
    // header rebuild; its workbook stream may well be there.
    const bool mayBeWorkbook = !report.refused || *report.refused == NotAWorkbook::NoCompoundStructure;
    return mayBeWorkbook && report.used != RebuildUsed::Kept && report.used != RebuildUsed::Salvaged &&
           !report.check.Opens();
}

RepairReport SalvageRepair(SectorFile& file, const RepairReport& planned, SectorFile& out)
{
    RepairReport report = planned;
    // The damaged header may still know where the table and directory are; the rebuilt one
    // knows where the file's own sectors say they are.
    const HeaderBytes headers[] = {planned.before, planned.after};
    const std::size_t distinct = planned.before == planned.after ? 1 : 2;
    report.salvage = SalvageWorkbook(file, std::span(headers, distinct), out);
    if (!report.salvage->written || !report.salvage->check.Opens())
        return report;
    report.used = RebuildUsed::Salvaged;
    report.refused.reset();
    report.after = ReadBlockAt(out, 0);
    report.check = report.salvage->check;
    return report;
}

bool RepairWrites(const RepairReport& report)
{
    return !report.refused && report.used != RebuildUsed::Kept && report.used != RebuildUsed::Salvaged;
}

void WriteRepair(SectorFile& file, const RepairReport& report)
{
    if (!RepairWrites(report))
        return;
    file.Seek(0);
    file.Write(report.after);
}

}  // namespace tabulon
