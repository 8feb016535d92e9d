#include "verify.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "byte_order.h"
#include "consts.h"
#include "header.h"
#include "sector_probes.h"

namespace tabulon {
namespace {


struct DirectoryEntry {
    std::uint8_t type = 0;
    bool workbookName = false;  // "Workbook" or "Book", in any case
    std::uint32_t left = kNoStream;
    std::uint32_t right = kNoStream;
    std::uint32_t child = kNoStream;
    std::uint32_t start = kEndOfChain;
    std::uint32_t size = 0;
};

bool IsWorkbookName(const std::uint8_t* entry)
{
    const std::size_t units = std::min<std::size_t>(LoadLe16(entry + kEntryNameLengthOffset) / 2, 32);
    std::string name;
    for (std::size_t i = 0; i < units; ++i) {
        const std::uint16_t unit = LoadLe16(entry + 2 * i);
        if (unit == 0)
            break;
        if (unit > 0x7F)
            return false;
        name += static_cast<char>(std::tolower(static_cast<unsigned char>(unit)));
    }
    return name == "workbook" || name == "book";
}

struct Chain {
    std::vector<std::uint32_t> sectors;
};

class Checker {
public:
    explicit Checker(SectorFile& file) : file_(file) {}

    WorkbookCheck Run()
    {
        CheckAll();
        return std::move(result_);
    }

private:
    void Add(FindingCode code, Severity severity, std::uint64_t where = 0, std::uint64_t expected = 0,
             std::uint64_t found = 0)
    {
        result_.findings.push_back({code, severity, static_cast<std::uint32_t>(where), expected, found});
    }

    SectorBytes ReadSector(std::uint32_t index) { return tabulon::ReadSector(file_, index); }

    std::uint32_t Header32(std::size_t offset) const { return LoadLe32(header_.data() + offset); }
    std::uint16_t Header16(std::size_t offset) const { return LoadLe16(header_.data() + offset); }

    bool CheckHeader()
    {
        if (!HasHeaderSignature(header_)) {
            Add(FindingCode::NotCompoundFile, Severity::Fatal);
            return false;
        }
        if (Header16(26) != 3 || Header16(30) != 9) {
            Add(FindingCode::UnsupportedFormat, Severity::Fatal, 26, 3u << 16 | 9u,
                static_cast<std::uint64_t>(Header16(26)) << 16 | Header16(30));
            return false;
        }
        auto unusual = [this](std::size_t offset, std::uint64_t expected, std::uint64_t found, Severity severity) {
            if (expected != found)
                Add(FindingCode::HeaderFieldUnusual, severity, offset, expected, found);
        };
        unusual(24, 0x3E, Header16(24), Severity::Harmless);
        unusual(28, 0xFFFE, Header16(28), Severity::Incorrect);
        unusual(32, 6, Header16(32), Severity::Incorrect);
        unusual(34, 0, LoadLe32(header_.data() + 34) | LoadLe16(header_.data() + 38), Severity::Harmless);
        unusual(kNumDirectorySectorsOffset, 0, Header32(kNumDirectorySectorsOffset), Severity::Incorrect);
        unusual(kMiniStreamCutoffOffset, kMiniStreamCutoff, Header32(kMiniStreamCutoffOffset), Severity::Incorrect);
        return true;
    }

    // The allocation table's sectors from the header's list and the DIFAT chain.
    bool ReadAllocationTable()
    {
        std::vector<std::uint32_t> listed;
        for (std::size_t k = 0; k < kHeaderDifatEntries; ++k) {
            const std::uint32_t entry = Header32(kHeaderDifatOffset + 4 * k);
            if (entry != kFreeSector)
                listed.push_back(entry);
        }
        std::uint32_t difat = Header32(kFirstDifatSectorOffset);
        std::uint32_t difatCount = 0;
        while (difat != kEndOfChain && difat != kFreeSector) {
            if (difat >= sectorCount_ || difatCount >= sectorCount_) {
                Add(FindingCode::DifatChainBroken, Severity::Fatal, difat);
                return false;
            }
            difatSectors_.push_back(difat);
            const SectorBytes sector = ReadSector(difat);
            for (std::size_t j = 0; j < kDifatEntriesPerSector; ++j) {
                const std::uint32_t entry = LoadLe32(sector.data() + 4 * j);
                if (entry != kFreeSector)
                    listed.push_back(entry);
            }
            difat = LoadLe32(sector.data() + 4 * kDifatEntriesPerSector);
            ++difatCount;
        }
        if (difatCount != Header32(kNumDifatSectorsOffset))
            Add(FindingCode::DifatChainBroken, Severity::Incorrect, kNumDifatSectorsOffset,
                Header32(kNumDifatSectorsOffset), difatCount);
        if (listed.size() != Header32(kNumFatSectorsOffset))
            Add(FindingCode::FatCountMismatch, Severity::Incorrect, kNumFatSectorsOffset,
                Header32(kNumFatSectorsOffset), listed.size());
        if (listed.empty()) {
            Add(FindingCode::FatCountMismatch, Severity::Fatal, kNumFatSectorsOffset, 1, 0);
            return false;
        }

        // Only the table sectors that describe sectors of the file matter; the rest of a
        // crafted list is never read.
        const std::size_t needed = (sectorCount_ + kEntriesPerFatSector - 1) / kEntriesPerFatSector;
        listed.resize(std::min(listed.size(), std::max<std::size_t>(needed, 1)));
        fat_.reserve(listed.size() * kEntriesPerFatSector);
        for (const std::uint32_t sector : listed) {
            if (sector >= sectorCount_) {
                Add(FindingCode::FatSectorOutOfRange, Severity::Fatal, sector, sectorCount_, sector);
                return false;
            }
            const SectorBytes bytes = ReadSector(sector);
            for (std::size_t j = 0; j < kEntriesPerFatSector; ++j)
                fat_.push_back(LoadLe32(bytes.data() + 4 * j));
        }
        bool unmarkedReported = false;
        auto expectMark = [&](std::uint32_t sector, std::uint32_t mark) {
            const bool marked = sector < fat_.size() && fat_[sector] == mark;
            if (!marked && !unmarkedReported) {
                Add(FindingCode::FatSectorNotMarked, Severity::Harmless, sector, mark,
                    sector < fat_.size() ? fat_[sector] : kFreeSector);
                unmarkedReported = true;
            }
            Claim(sector);
        };
        for (const std::uint32_t sector : listed)
            expectMark(sector, kFatSector);
        for (const std::uint32_t sector : difatSectors_)
            expectMark(sector, kDifatSector);
        return true;
    }

    // Marks a sector as used; false when another structure uses it already.
    bool Claim(std::uint32_t sector)
    {
        if (sector >= claimed_.size())
            return true;
        if (claimed_[sector])
            return false;
        claimed_[sector] = 1;
        return true;
    }

    // Follows a chain through `table`, bounded by `limit` (the number of sectors the chain may
    // address). Reports what goes wrong; `severity` grades it by what the chain serves.
    Chain Walk(std::uint32_t start, const std::vector<std::uint32_t>& table, std::uint32_t limit, bool claim,
               Severity severity, std::uint32_t owner)
    {
        Chain chain;
        ++walkId_;
        // Regular and mini chains each have their own record of sectors seen in this walk.
        std::vector<std::uint32_t>& visited = &table == &fat_ ? visited_ : miniVisited_;
        std::uint32_t sector = start;
        bool twiceReported = false;
        while (sector != kEndOfChain) {
            if (sector >= limit || sector >= table.size() || sector >= visited.size()) {
                Add(FindingCode::ChainOutOfRange, severity, owner, limit, sector);
                break;
            }
            if (visited[sector] == walkId_) {
                Add(FindingCode::ChainLoop, Severity::Fatal, owner, 0, sector);
                break;
            }
            visited[sector] = walkId_;
            if (claim && !Claim(sector) && !twiceReported) {
                Add(FindingCode::SectorClaimedTwice, Severity::Incorrect, sector, 0, owner);
                twiceReported = true;
            }
            chain.sectors.push_back(sector);
            sector = table[sector];
        }
        return chain;
    }

    bool ReadDirectory()
    {
        const std::uint32_t start = Header32(kFirstDirectorySectorOffset);
        if (start == kEndOfChain || start >= sectorCount_) {
            Add(FindingCode::NoDirectory, Severity::Fatal, kFirstDirectorySectorOffset, 0, start);
            return false;
        }
        const Chain chain = Walk(start, fat_, sectorCount_, true, Severity::Fatal, kFirstDirectorySectorOffset);
        if (chain.sectors.empty())
            return false;
        for (const std::uint32_t sector : chain.sectors) {
            const SectorBytes bytes = ReadSector(sector);
            for (std::size_t k = 0; k < kDirectoryEntriesPerSector; ++k) {
                const std::uint8_t* raw = bytes.data() + k * kDirectoryEntrySize;
                DirectoryEntry entry;
                entry.type = raw[kEntryObjectTypeOffset];
                entry.workbookName = IsWorkbookName(raw);
                entry.left = LoadLe32(raw + kEntryLeftSiblingOffset);
                entry.right = LoadLe32(raw + kEntryRightSiblingOffset);
                entry.child = LoadLe32(raw + kEntryChildOffset);
                entry.start = LoadLe32(raw + kEntryStartSectorOffset);
                entry.size = LoadLe32(raw + kEntryStreamSizeOffset);
                directory_.push_back(entry);
            }
        }
        if (directory_.empty() || directory_[0].type != kObjectTypeRootStorage) {
            Add(FindingCode::NoRootEntry, Severity::Fatal, chain.sectors.front());
            return false;
        }
        return true;
    }

    // The entries reachable from the root through the directory's trees.
    bool CollectStreams()
    {
        std::vector<std::uint8_t> seen(directory_.size(), 0);
        std::vector<std::uint32_t> pending = {directory_[0].child};
        seen[0] = 1;
        while (!pending.empty()) {
            const std::uint32_t index = pending.back();
            pending.pop_back();
            if (index == kNoStream)
                continue;
            if (index >= directory_.size()) {
                Add(FindingCode::DirectoryIndexOutOfRange, Severity::Incorrect, index, directory_.size(), index);
                continue;
            }
            if (seen[index]) {
                Add(FindingCode::DirectoryCycle, Severity::Fatal, index);
                return false;
            }
            seen[index] = 1;
            const DirectoryEntry& entry = directory_[index];
            if (entry.type == kObjectTypeStream)
                streams_.push_back(index);
            pending.push_back(entry.left);
            pending.push_back(entry.right);
            pending.push_back(entry.child);
        }
        return true;
    }

    void CheckMiniStream()
    {
        const DirectoryEntry& root = directory_[0];
        const std::uint32_t cutoff = kMiniStreamCutoff;
        const bool smallStreams = std::any_of(streams_.begin(), streams_.end(), [&](std::uint32_t index) {
            return directory_[index].size > 0 && directory_[index].size < cutoff;
        });
        const std::uint32_t miniFatStart = Header32(kFirstMiniFatSectorOffset);
        const std::uint32_t miniFatCount = Header32(kNumMiniFatSectorsOffset);

        if (root.size > 0 && root.start != kEndOfChain)
            miniStream_ = Walk(root.start, fat_, sectorCount_, true, Severity::Incorrect, 0).sectors;

        if (miniFatStart == kEndOfChain) {
            if (smallStreams)
                Add(FindingCode::MiniFatInconsistent, Severity::Incorrect, kFirstMiniFatSectorOffset, 0, miniFatStart);
            if (miniFatCount != 0)
                Add(FindingCode::MiniFatCountMismatch, Severity::Incorrect, kNumMiniFatSectorsOffset, 0, miniFatCount);
            return;
        }
        const Chain miniFat =
            Walk(miniFatStart, fat_, sectorCount_, true, Severity::Incorrect, kFirstMiniFatSectorOffset);
        if (miniFat.sectors.size() != miniFatCount)
            Add(FindingCode::MiniFatCountMismatch, Severity::Incorrect, kNumMiniFatSectorsOffset, miniFat.sectors.size(),
                miniFatCount);
        if (miniStream_.empty() && !miniFat.sectors.empty())
            Add(FindingCode::MiniFatInconsistent, Severity::Incorrect, kFirstMiniFatSectorOffset, kEndOfChain,
                miniFatStart);
        for (const std::uint32_t sector : miniFat.sectors) {
            const SectorBytes bytes = ReadSector(sector);
            for (std::size_t j = 0; j < kEntriesPerFatSector; ++j)
                miniFat_.push_back(LoadLe32(bytes.data() + 4 * j));
        }
        miniVisited_.assign(miniFat_.size(), 0);
    }

    void CheckStreams()
    {
        const auto miniSectors =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(directory_[0].size / kMiniSectorSize + 1,
                                                               miniStream_.size() * (kSectorSize / kMiniSectorSize)));
        for (const std::uint32_t index : streams_) {
            const DirectoryEntry& entry = directory_[index];
            if (entry.size == 0)
                continue;
            const bool mini = entry.size < kMiniStreamCutoff;
            const std::uint32_t unit = mini ? kMiniSectorSize : static_cast<std::uint32_t>(kSectorSize);
            const Chain chain = mini ? Walk(entry.start, miniFat_, miniSectors, false, Severity::Incorrect, index)
                                     : Walk(entry.start, fat_, sectorCount_, true, Severity::Incorrect, index);
            const std::uint64_t needed = (static_cast<std::uint64_t>(entry.size) + unit - 1) / unit;
            if (chain.sectors.size() < needed)
                Add(FindingCode::ChainTooShort, Severity::Incorrect, index, needed, chain.sectors.size());
        }
    }

    std::optional<std::uint16_t> FirstRecordId(const DirectoryEntry& entry)
    {
        if (entry.size < 2)
            return std::nullopt;
        if (entry.size >= kMiniStreamCutoff) {
            if (entry.start >= sectorCount_)
                return std::nullopt;
            return LoadLe16(ReadSector(entry.start).data());
        }
        const std::uint64_t offset = static_cast<std::uint64_t>(entry.start) * kMiniSectorSize;
        const std::uint64_t sectorIndex = offset / kSectorSize;
        if (entry.start == kEndOfChain || sectorIndex >= miniStream_.size())
            return std::nullopt;
        return LoadLe16(ReadSector(miniStream_[sectorIndex]).data() + offset % kSectorSize);
    }

    void CheckWorkbookStream()
    {
        const auto workbook = std::find_if(streams_.begin(), streams_.end(),
                                           [&](std::uint32_t index) { return directory_[index].workbookName; });
        if (workbook == streams_.end()) {
            Add(FindingCode::NoWorkbookStream, Severity::Fatal);
            return;
        }
        // BOF records of BIFF2 to BIFF8.
        const std::optional<std::uint16_t> record = FirstRecordId(directory_[*workbook]);
        const bool bof = record && (*record == 0x0809 || *record == 0x0409 || *record == 0x0209 || *record == 0x0009);
        if (!bof)
            Add(FindingCode::WorkbookWithoutBof, Severity::Incorrect, *workbook, 0x0809, record.value_or(0));
    }

    void CheckAll()
    {
        const std::uint64_t length = file_.Length();
        if (length < 2 * kSectorSize) {
            Add(FindingCode::FileTooShort, Severity::Fatal, 0, 2 * kSectorSize, length);
            return;
        }
        // Sectors that begin inside the file; a partial last one reads as padded with zeros.
        sectorCount_ = static_cast<std::uint32_t>(
            std::min<std::uint64_t>((length - kSectorSize + kSectorSize - 1) / kSectorSize, 0xFFFF'FFF0u));
        claimed_.assign(sectorCount_, 0);
        visited_.assign(sectorCount_, 0);
        header_ = ReadBlockAt(file_, 0);
        if (!CheckHeader() || !ReadAllocationTable() || !ReadDirectory() || !CollectStreams())
            return;
        CheckMiniStream();
        CheckStreams();
        CheckWorkbookStream();
    }

    SectorFile& file_;
    WorkbookCheck result_;
    HeaderBytes header_{};
    std::uint32_t sectorCount_ = 0;
    std::vector<std::uint32_t> difatSectors_;
    std::vector<std::uint32_t> fat_;
    std::vector<std::uint32_t> miniFat_;
    std::vector<std::uint32_t> miniStream_;
    std::vector<std::uint8_t> claimed_;
    std::vector<std::uint32_t> visited_;
    std::vector<std::uint32_t> miniVisited_;
    std::uint32_t walkId_ = 0;
    std::vector<DirectoryEntry> directory_;
    std::vector<std::uint32_t> streams_;
};

}  // namespace

bool WorkbookCheck::Opens() const
{
    return FirstProblem() == nullptr;
}

const Finding* WorkbookCheck::FirstProblem() const
{
    for (const Finding& finding : findings) {
        if (finding.severity != Severity::Harmless)
            return &finding;
    }
    return nullptr;
}

WorkbookCheck VerifyWorkbook(SectorFile& file)
{
    return Checker(file).Run();
}

std::string DescribeFinding(const Finding& finding)
{
    const std::string where = std::to_string(finding.where);
    switch (finding.code) {
    case FindingCode::FileTooShort: return "the file is too short to be a workbook";
    case FindingCode::NotCompoundFile: return "the file does not start like a compound file";
    case FindingCode::UnsupportedFormat: return "the file is not a version-3 compound file with 512-byte sectors";
    case FindingCode::HeaderFieldUnusual: return "the header field at offset " + where + " has an unusual value";
    case FindingCode::FatCountMismatch: return "the header's count of allocation-table sectors is wrong";
    case FindingCode::FatSectorOutOfRange: return "an allocation-table sector lies outside the file";
    case FindingCode::FatSectorNotMarked: return "an allocation-table sector is not marked as one";
    case FindingCode::DifatChainBroken: return "the list of allocation-table sectors is broken";
    case FindingCode::ChainOutOfRange: return "a chain of sectors points outside the file";
    case FindingCode::ChainLoop: return "a chain of sectors runs in a loop";
    case FindingCode::SectorClaimedTwice: return "sector " + where + " is used twice";
    case FindingCode::ChainTooShort: return "a stream is shorter than its size says";
    case FindingCode::NoDirectory: return "the directory cannot be found";
    case FindingCode::NoRootEntry: return "the directory does not start with a root entry";
    case FindingCode::DirectoryIndexOutOfRange: return "the directory points at an entry that does not exist";
    case FindingCode::DirectoryCycle: return "the directory runs in a loop";
    case FindingCode::MiniFatInconsistent: return "the small-stream table does not fit the small streams";
    case FindingCode::MiniFatCountMismatch: return "the header's count of small-stream table sectors is wrong";
    case FindingCode::NoWorkbookStream: return "there is no workbook stream";
    case FindingCode::WorkbookWithoutBof: return "the workbook stream does not begin with a workbook record";
    }
    return "unknown finding";
}

}  // namespace tabulon
