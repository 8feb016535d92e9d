#include "engine/repair/pipeline/repair.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "engine/base/byte_order.h"
#include "engine/biff/biff_cells.h"
#include "engine/cfb/compound_reader.h"
#include "engine/cfb/sector_probes.h"
#include "engine/repair/rebuild/rebuild.h"
#include "engine/repair/mending/mending.h"
#include "engine/repair/salvage/salvage.h"
#include "engine/repair/workbook/workbook.h"

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

WorkbookCheck VerifyWithHeader(SectorFile& file, const HeaderBytes& header)
{
    HeaderOverlay overlay(file, header);
    return VerifyWorkbook(overlay);
}

namespace {

// Whether a check finds nothing worse than a file that ends inside its last sector, in use:
// readers read such a file.
bool CutShortAtMost(const WorkbookCheck& check)
{
    return std::all_of(check.findings.begin(), check.findings.end(), [](const Finding& finding) {
        return finding.severity == Severity::Harmless || finding.code == FindingCode::FileCutShort;
    });
}

// The report that keeps the file's own header, its records read under it.
template <typename Phase>
RepairReport KeepOwnHeader(SectorFile& file, WorkbookCheck structure, const Phase& phase)
{
    RepairReport report;
    report.before = ReadBlockAt(file, 0);
    report.after = report.before;
    report.used = RebuildUsed::Kept;
    report.check = std::move(structure);
    if (OnlyBeyondHeader(report.check))
        phase(RepairPhase::RecordCheck, [&] { AddRecordDamage(file, report.check, &report.mended); });
    return report;
}

}  // namespace

namespace {

RepairReport PlanAsFound(SectorFile& file, RebuildMode mode, RepairWatch* watch)
{
    // Runs one phase of the repair, telling `watch` as it begins and ends.
    const auto phase = [watch](RepairPhase which, auto&& work) -> decltype(work()) {
        const PhaseAnnouncement announcement(watch, which);
        return work();
    };
    RepairReport report;
    std::optional<WorkbookCheck> ownCheck;  // the file's own header, when its only damage lies beyond it
    if (mode == RebuildMode::Auto) {
        // A header that makes the compound file whole stays: nothing a rebuild finds can be
        // safer. Damaged records are the salvage's to mend, never a header's.
        WorkbookCheck asFound = phase(RepairPhase::CheckAsFound, [&] { return VerifyWorkbookStructure(file); });
        // Nor does one whose file merely ends inside its last sector: another structure the
        // rebuild finds in the sectors could be an older one.
        if (CutShortAtMost(asFound))
            return KeepOwnHeader(file, std::move(asFound), phase);
        if (OnlyBeyondHeader(asFound))
            ownCheck = std::move(asFound);
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
    // Each header competes on its compound file alone; the records are read once, under the
    // header that stands.
    const auto check = [&](const HeaderBytes& header) {
        return phase(RepairPhase::CheckHeader, [&] {
            HeaderOverlay overlay(file, header);
            return VerifyWorkbookStructure(overlay);
        });
    };
    const auto addRecordDamage = [&] {
        if (!OnlyBeyondHeader(report.check))
            return;
        phase(RepairPhase::RecordCheck, [&] {
            HeaderOverlay overlay(file, report.after);
            AddRecordDamage(overlay, report.check, &report.mended);
        });
    };
    const bool compoundStructure = facts.fatLikeSectors > 0 && facts.rootDirectorySector >= 0;
    report.before = design.before;
    report.after = design.after;
    report.used = RebuildUsed::Design;
    if (mode == RebuildMode::Design) {
        report.check = check(report.after);
        addRecordDamage();
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
    // A header under which the file merely ends inside its last sector competes as one that
    // opens (readers read such files); where none does, one that reads the compound file with
    // other damage beyond it left stands, chosen the same way.
    const auto tier = [](const WorkbookCheck& candidate) {
        return CutShortAtMost(candidate) ? 2 : OnlyBeyondHeader(candidate) ? 1 : 0;
    };
    report.check = check(report.after);
    auto best = std::pair(tier(report.check), HeaderRank::Of(report.after, report.before));
    const std::vector<HeaderBytes> deepHeaders =
        phase(RepairPhase::DeepRebuild, [&] { return collector.Rebuild(file, &design.before); });
    for (const HeaderBytes& deep : deepHeaders) {
        if (deep == design.after)
            continue;
        const HeaderRank rank = HeaderRank::Of(deep, report.before);
        if (best.first == 2 && rank <= best.second)
            continue;
        WorkbookCheck deepCheck = check(deep);
        const auto candidate = std::pair(tier(deepCheck), rank);
        if (candidate.first == 0 || candidate <= best)
            continue;
        report.after = deep;
        report.used = RebuildUsed::Deep;
        report.check = std::move(deepCheck);
        best = candidate;
    }
    if (best.first == 2) {
        // A header can open the compound file and the workbook's records still be damaged: a
        // header cannot mend them, a salvage can.
        addRecordDamage();
        report.headerMakesWhole = true;
        return report;
    }
    // No header opens it, but the file's own may still read its table, directory and workbook
    // stream with damage beyond it: it stays. Else a rebuilt header that reads them is worth
    // writing.
    if (ownCheck)
        return KeepOwnHeader(file, std::move(*ownCheck), phase);
    if (best.first == 1 && report.after != report.before && compoundStructure) {
        addRecordDamage();
        report.headerMakesWhole = true;
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

}  // namespace

RepairReport PlanRepair(SectorFile& file, RebuildMode mode, RepairWatch* watch)
{
    RepairReport report = PlanAsFound(file, mode, watch);
    if (mode != RebuildMode::Auto || report.check.Opens())
        return report;
    // Bytes that moved put back first: all the rest then works on them. (The file as it is
    // does not open: its own header would have been kept.)
    std::optional<Realigned> realigned = Realign(file, true);
    if (!realigned)
        return report;
    auto bytes = std::make_shared<const std::vector<std::uint8_t>>(std::move(realigned->bytes));
    ByteViewFile moved(*bytes);
    RepairReport after = PlanAsFound(moved, mode, nullptr);
    after.realign = realigned->note;
    after.realignedBytes = std::move(bytes);
    return after;
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
    if (WroteNewFile(report))
        return false;
    if (report.realign)
        return true;
    const bool mayBeWorkbook = !report.refused || *report.refused == NotAWorkbook::NoCompoundStructure;
    return mayBeWorkbook && !report.check.Opens();
}

bool WroteNewFile(const RepairReport& report)
{
    return report.used == RebuildUsed::Salvaged || report.used == RebuildUsed::Realigned;
}

namespace {

// Whether the copy the plan alone makes (the file under the header it chose) shows a cell whose
// record touches a zeroed unit of the stream: a record whose body a hole took reads as a cell
// holding zeros, a value the workbook never held (the mending takes such records out).
bool PlannedCopyShowsCellOverZeros(SectorFile& file, const RepairReport& planned)
{
    HeaderOverlay overlay(file, planned.after);
    const std::optional<std::vector<std::uint8_t>> stream = ReadWorkbookStream(overlay);
    if (!stream)
        return false;
    for (const SheetCells& sheet : ReadWorkbookCells(*stream).sheets) {
        for (const CellValue& cell : sheet.cells) {
            if (std::size_t{cell.offset} + 4 > stream->size())
                continue;
            const std::size_t end = std::min<std::size_t>(stream->size(), std::size_t{cell.offset} + 4 + LoadLe16(stream->data() + cell.offset + 2));
            if (mending::ZeroedUnitIn(*stream, cell.offset, end))
                return true;
        }
    }
    return false;
}

// The realigned bytes into `out`, the header the plan chose for them in front; a last block
// that the bytes do not fill is filled with zeros.
RepairReport WriteRealigned(const RepairReport& planned, SectorFile& out)
{
    RepairReport report = planned;
    report.mended.reset();
    const std::vector<std::uint8_t>& bytes = *planned.realignedBytes;
    std::array<std::uint8_t, kBlockSize> block{};
    for (std::size_t at = 0; at < bytes.size(); at += kBlockSize) {
        block.fill(0);
        const std::size_t n = std::min(kBlockSize, bytes.size() - at);
        std::memcpy(block.data(), bytes.data() + at, n);
        const bool rebuilt = planned.used == RebuildUsed::Design || planned.used == RebuildUsed::Deep;
        if (at == 0 && rebuilt && !planned.refused)
            std::memcpy(block.data(), planned.after.data(), kHeaderSize);
        out.Seek(at);
        out.Write(block);
    }
    report.used = RebuildUsed::Realigned;
    report.refused.reset();
    report.after = ReadBlockAt(out, 0);
    report.check = VerifyWorkbook(out);
    return report;
}

}  // namespace

RepairReport SalvageRepair(SectorFile& file, const RepairReport& planned, SectorFile& out, const SalvageProgress& progress)
{
    if (planned.realign && planned.realignedBytes) {
        // The realigned bytes opened (or the plan for them mended their header): they are the
        // new file. Where they still need a salvage, it salvages them, not the bytes as found.
        RepairReport inner = planned;
        inner.realign.reset();
        if (!NeedsSalvage(inner))
            return WriteRealigned(planned, out);
        ByteViewFile moved(*planned.realignedBytes);
        RepairReport salvaged = SalvageRepair(moved, inner, out, progress);
        salvaged.realign = planned.realign;
        salvaged.realignedBytes = planned.realignedBytes;
        return salvaged;
    }
    RepairReport report = planned;
    report.mended.reset();  // (taken by the salvage below, not held with what it comes to)
    // The damaged header may still know where the table and directory are; the rebuilt one
    // knows where the file's own sectors say they are.
    const HeaderBytes headers[] = {planned.before, planned.after};
    const std::size_t distinct = planned.before == planned.after ? 1 : 2;
    // The salvage itself takes most of the time; reading the new file back, the rest.
    const auto scaled = [&progress](int percent) {
        if (progress)
            progress(percent * 9 / 10);
    };
    bool holds = false;  // the new file holds the workbook stream it was written with
    // The new file's sheets are assessed while the file is checked, from the stream it was
    // written with; that stands where the check finds the file holding that stream.
    std::optional<SalvageReport> assessed;
    const WhileChecking assess = [&assessed](const SalvageReport& salvage, std::span<const std::uint8_t> stream,
                                             const std::vector<std::u16string>& names) {
        assessed = salvage;
        AssessSalvage(*assessed, stream, names);
    };
    report.salvage = SalvageWorkbook(file, std::span(headers, distinct), out, scaled, &holds, planned.mended.get(), assess);
    SalvageReport& salvage = *report.salvage;
    if (!salvage.written) {
        if (progress)
            progress(100);
        return report;
    }
    if (holds && assessed) {
        assessed->check = std::move(salvage.check);
        salvage = std::move(*assessed);
    } else if (const std::optional<std::vector<std::uint8_t>> stream = ReadWorkbookStream(out)) {
        AssessSalvage(salvage, *stream, SummarySheetNames(out));
    }
    salvage.damage = planned.check.findings;
    if (progress)
        progress(100);
    // The new file stands when its compound file is whole; records the mending could not make
    // read are counted as lost, not a reason to throw the rest away.
    const bool whole = std::all_of(salvage.check.findings.begin(), salvage.check.findings.end(), [](const Finding& finding) {
        return finding.severity == Severity::Harmless || finding.code == FindingCode::MainStreamDamaged;
    });
    const bool anySheet = std::any_of(salvage.outcomes.begin(), salvage.outcomes.end(),
                                      [](const SheetOutcome& sheet) { return sheet.state != SheetState::Lost; });
    // A salvage that brought no sheet back gives way to the copy the plan makes with its rebuilt
    // header, unless that copy would show a value the workbook never held.
    if (!whole || (!anySheet && !(planned.headerMakesWhole && PlannedCopyShowsCellOverZeros(file, planned))))
        return report;
    report.used = RebuildUsed::Salvaged;
    report.refused.reset();
    report.after = ReadBlockAt(out, 0);
    report.check = salvage.check;
    return report;
}

bool RepairWrites(const RepairReport& report)
{
    return !report.refused && !report.realign && report.used != RebuildUsed::Kept && !WroteNewFile(report);
}

void WriteRepair(SectorFile& file, const RepairReport& report)
{
    if (!RepairWrites(report))
        return;
    file.Seek(0);
    file.Write(report.after);
}

RepairOutcome RepairOutcomeOf(const RepairReport& report)
{
    // A file refused as no workbook stays refused unless a salvage found one in it after all
    // (which clears the refusal).
    if (report.refused)
        return RepairOutcome::Refused;
    switch (report.used) {
    case RebuildUsed::Salvaged:
        return report.salvage && SalvageComplete(*report.salvage) ? RepairOutcome::SalvagedComplete
                                                                   : RepairOutcome::SalvagedPartial;
    case RebuildUsed::Realigned:
        return report.check.Opens() ? RepairOutcome::Realigned : RepairOutcome::RealignedDamageRemains;
    case RebuildUsed::Kept:
        // Its records damaged, the file's own header still stands: no header can mend them,
        // and no salvage did.
        return report.check.Opens() ? RepairOutcome::Kept : RepairOutcome::Failed;
    case RebuildUsed::Design:
    case RebuildUsed::Deep:
        if (report.check.Opens())
            return RepairOutcome::Rebuilt;
        return report.headerMakesWhole ? RepairOutcome::RebuiltDamageRemains : RepairOutcome::RebuiltUnreadable;
    case RebuildUsed::None:
        break;
    }
    return RepairOutcome::Failed;  // (None is set with a refusal alone)
}

RepairResult RepairWorkingCopy(SectorFile& working, RebuildMode mode, const NewFileMaker& newFile,
                               const SalvageProgress& progress)
{
    RepairResult result;
    result.report = PlanRepair(working, mode);
    // Only auto mode goes beyond a header; the plain rebuild alone is exactly that.
    if (mode == RebuildMode::Auto && NeedsSalvage(result.report))
        result.report = SalvageRepair(working, result.report, newFile(), progress);
    result.outcome = RepairOutcomeOf(result.report);
    return result;
}

}  // namespace tabulon
