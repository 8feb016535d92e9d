#include "engine/cfb/verify.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>

#include "engine/base/bit_set.h"
#include "engine/base/byte_order.h"
#include "engine/cfb/consts.h"
#include "engine/cfb/directory_entry.h"
#include "engine/cfb/header.h"
#include "engine/cfb/sector_probes.h"

namespace tabulon {
namespace {

// Directory entries the check reads. A crafted directory chain may span the whole file;
// no real file comes near this many entries.
constexpr std::uint32_t kMaxDirectoryEntries = 1u << 18;
// Findings are kept up to this many once a problem is among them: enough for any report a
// person reads.
constexpr std::size_t kMaxFindings = 1000;

// What the check keeps of a directory entry (decoded by the codec): a few fields, not the name,
// since it holds up to 2^18 entries.
struct Entry {
    std::uint8_t type = 0;
    bool main = false;  // by its name, the stream the file is for
    std::uint32_t left = kNoStream;
    std::uint32_t right = kNoStream;
    std::uint32_t child = kNoStream;
    std::uint32_t start = kEndOfChain;
    std::uint32_t size = 0;
};

// The sectors one walk has been through, forgotten when it ends at no more cost than the walk
// itself: short walks clear the words they touched, long ones the whole set.
class WalkMarks {
public:
    void Assign(std::uint32_t size)
    {
        bits_ = BitSet(size);
        touched_.clear();
    }
    std::uint32_t Size() const { return static_cast<std::uint32_t>(bits_.Size()); }
    // False when the walk has been through `index` already.
    bool Mark(std::uint32_t index)
    {
        if (!bits_.Insert(index))
            return false;
        if (touched_.size() < bits_.Words())
            touched_.push_back(index);
        else
            overflowed_ = true;
        return true;
    }
    void Forget()
    {
        if (overflowed_)
            bits_.Clear();
        else
            for (const std::uint32_t index : touched_)
                bits_.ClearWordOf(index);
        touched_.clear();
        overflowed_ = false;
    }

private:
    BitSet bits_;
    std::vector<std::uint32_t> touched_;
    bool overflowed_ = false;
};

class Checker {
public:
    Checker(SectorFile& file, const MainStreamRule& main) : file_(file), main_(main) {}

    CompoundCheck Run()
    {
        CheckAll();
        return std::move(result_);
    }

private:
    void Add(FindingCode code, Severity severity, std::uint64_t where = 0, std::uint64_t expected = 0,
             std::uint64_t found = 0)
    {
        // A crafted file can make findings by the hundred thousand; the verdict and the first
        // problem are settled long before.
        if (result_.findings.size() >= kMaxFindings && hasProblem_)
            return;
        hasProblem_ = hasProblem_ || severity != Severity::Harmless;
        result_.findings.push_back({code, severity, static_cast<std::uint32_t>(where), expected, found});
    }

    SectorBytes ReadSector(std::uint32_t index) { return tabulon::ReadSector(file_, index); }

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
        unusual(kNumDirectorySectorsOffset, 0, HeaderField32(header_, kNumDirectorySectorsOffset), Severity::Incorrect);
        unusual(kMiniStreamCutoffOffset, kMiniStreamCutoff, HeaderField32(header_, kMiniStreamCutoffOffset),
                Severity::Incorrect);
        return true;
    }

    // The allocation table's sectors from the header's list and the DIFAT chain.
    bool ReadAllocationTable()
    {
        // Only the table sectors that describe sectors of the file matter; the rest of a
        // crafted list is counted, never kept or read.
        const std::size_t needed =
            std::max<std::size_t>((sectorCount_ + kEntriesPerFatSector - 1) / kEntriesPerFatSector, 1);
        std::vector<std::uint32_t> listed;
        std::uint64_t listedCount = 0;
        auto list = [&](std::uint32_t entry) {
            if (entry == kFreeSector)
                return;
            if (listed.size() < needed)
                listed.push_back(entry);
            ++listedCount;
        };
        std::uint32_t difatCount = 0;
        bool broken = false;
        SectorBytes difatSector{};
        WalkTableList(
            header_.data(),
            [&](std::uint32_t difat) -> const std::uint8_t* {
                if (difat == kEndOfChain || difat == kFreeSector)
                    return nullptr;
                // (A chain that comes back to a sector it went through never ends: it breaks
                // there, not after as many sectors as the file has, each read on its own.)
                if (difat >= sectorCount_ || difatCount >= sectorCount_ || !Claim(difat)) {
                    Add(FindingCode::DifatChainBroken, Severity::Fatal, difat);
                    broken = true;
                    return nullptr;
                }
                ++difatCount;
                difatSector = ReadSector(difat);
                return difatSector.data();
            },
            [&](std::uint32_t entry) {
                list(entry);
                return true;
            });
        if (broken)
            return false;
        if (difatCount != HeaderField32(header_, kNumDifatSectorsOffset))
            Add(FindingCode::DifatChainBroken, Severity::Incorrect, kNumDifatSectorsOffset,
                HeaderField32(header_, kNumDifatSectorsOffset), difatCount);
        if (listedCount != HeaderField32(header_, kNumFatSectorsOffset))
            Add(FindingCode::FatCountMismatch, Severity::Incorrect, kNumFatSectorsOffset,
                HeaderField32(header_, kNumFatSectorsOffset), listedCount);
        if (listed.empty()) {
            Add(FindingCode::FatCountMismatch, Severity::Fatal, kNumFatSectorsOffset, 1, 0);
            return false;
        }

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
        // Every entry, in use or not, is a sector of the file or a marker: readers that load
        // the whole table (Gnumeric's among them) refuse the file otherwise.
        for (std::size_t k = 0; k < fat_.size(); ++k) {
            if (fat_[k] >= sectorCount_ && fat_[k] < kDifatSector) {
                Add(FindingCode::FatEntryOutOfRange, Severity::Incorrect, static_cast<std::uint32_t>(k), sectorCount_, fat_[k]);
                break;
            }
        }
        // Only the first sector not marked as what it is gets reported.
        auto unmarked = [&](std::uint32_t sector, std::uint32_t mark) {
            if (sector < fat_.size() && fat_[sector] == mark)
                return false;
            Add(FindingCode::FatSectorNotMarked, Severity::Harmless, sector, mark,
                sector < fat_.size() ? fat_[sector] : kFreeSector);
            return true;
        };
        bool reported = false;
        for (const std::uint32_t sector : listed) {
            Claim(sector);
            reported = reported || unmarked(sector, kFatSector);
        }
        // The DIFAT sectors, claimed as the chain was read, are looked up in the table by a
        // second walk rather than kept: a real chain is short, a crafted one as long as the file.
        std::uint32_t difat = HeaderField32(header_, kFirstDifatSectorOffset);
        for (std::uint32_t k = 0; k < difatCount && !reported; ++k) {
            reported = unmarked(difat, kDifatSector);
            difat = LoadLe32(ReadSector(difat).data() + 4 * kDifatEntriesPerSector);
        }
        return true;
    }

    // Marks a sector as used; false when another structure uses it already.
    bool Claim(std::uint32_t sector) { return sector >= claimed_.Size() || claimed_.Insert(sector); }

    // What a walk does on reaching a sector an earlier walk went through.
    enum class Reuse {
        Report,         // a structure's chain: the first such sector is a finding; walk on
        ReportAndStop,  // a stream's chain: the finding settles the verdict; the walk ends there
        Join,           // a mini chain: the walk ends there silently, `joined` set
    };

    struct WalkResult {
        std::uint32_t length = 0;
        bool clean = true;     // ended at ENDOFCHAIN (or joined an earlier walk)
        bool cutShort = false;  // ended early on a sector used before: `length` is not the chain's
        std::uint32_t joined = 0;
    };

    // Follows a chain from `start` through `next`, bounded by `reach` (`limit` is the bound the
    // findings report), handing each sector to `visit` with its position in the chain.
    // `severity` grades what goes wrong by what the chain serves; `used` holds the sectors
    // earlier walks went through.
    template <class Next, class Visit>
    WalkResult Walk(std::uint32_t start, std::uint32_t limit, std::uint32_t reach, WalkMarks& marks, BitSet& used,
                    Reuse reuse, Severity severity, std::uint32_t owner, Next&& next, Visit&& visit)
    {
        WalkResult result;
        std::uint32_t sector = start;
        bool twiceReported = false;
        while (sector != kEndOfChain) {
            if (sector >= reach) {
                Add(FindingCode::ChainOutOfRange, severity, owner, limit, sector);
                result.clean = false;
                break;
            }
            if (!marks.Mark(sector)) {
                Add(FindingCode::ChainLoop, Severity::Fatal, owner, 0, sector);
                result.clean = false;
                break;
            }
            if (!used.Insert(sector)) {
                if (reuse == Reuse::Join) {
                    result.cutShort = true;
                    result.joined = sector;
                    break;
                }
                if (!twiceReported)
                    Add(FindingCode::SectorClaimedTwice, Severity::Incorrect, sector, 0, owner);
                twiceReported = true;
                result.cutShort = reuse == Reuse::ReportAndStop;
            }
            visit(result.length, sector);
            ++result.length;
            if (result.cutShort)
                break;
            sector = next(sector);
        }
        marks.Forget();
        return result;
    }

    // A chain through the allocation table; every sector on it is claimed.
    template <class Visit>
    WalkResult WalkFat(std::uint32_t start, Reuse reuse, Severity severity, std::uint32_t owner, Visit&& visit)
    {
        const auto reach = static_cast<std::uint32_t>(std::min<std::size_t>(sectorCount_, fat_.size()));
        return Walk(start, sectorCount_, reach, visited_, claimed_, reuse, severity, owner,
                    [this](std::uint32_t sector) { return fat_[sector]; }, visit);
    }

    // A stream's chain of mini sectors through the mini table, which is read as the walk needs
    // it. `needed` is the length the stream's size asks for.
    //
    // A chain that runs into one an earlier mini walk went through goes on as that one did.
    // While every earlier walk ended well, that is to ENDOFCHAIN with nothing to report, so
    // only its length is counted, and only as far as `needed`; otherwise the verdict stands
    // already and the walk ends there. Either way every mini sector is walked once, however
    // many streams share it.
    WalkResult WalkMini(std::uint32_t start, std::uint32_t owner, std::uint64_t needed)
    {
        auto next = [this](std::uint32_t sector) { return MiniFatEntry(sector); };
        WalkResult result = Walk(start, miniSectors_, miniVisited_.Size(), miniVisited_, miniUsed_, Reuse::Join,
                                 Severity::Incorrect, owner, next, [](std::uint32_t, std::uint32_t) {});
        if (result.cutShort && miniWalksClean_) {
            for (std::uint32_t sector = result.joined; sector != kEndOfChain && result.length < needed; sector = next(sector))
                ++result.length;
            result.cutShort = false;
        }
        miniWalksClean_ = miniWalksClean_ && result.clean;
        return result;
    }

    std::uint32_t MiniFatEntry(std::uint32_t miniSector)
    {
        const auto ordinal = static_cast<std::uint32_t>(miniSector / kEntriesPerFatSector);
        CachedSector& cached = miniFatCache_[ordinal % miniFatCache_.size()];
        if (cached.ordinal != ordinal) {
            cached.bytes = ReadSector(miniFatSectors_[ordinal]);
            cached.ordinal = ordinal;
        }
        return LoadLe32(cached.bytes.data() + 4 * (miniSector % kEntriesPerFatSector));
    }

    bool ReadDirectory()
    {
        const std::uint32_t start = HeaderField32(header_, kFirstDirectorySectorOffset);
        if (start == kEndOfChain || start >= sectorCount_) {
            Add(FindingCode::NoDirectory, Severity::Fatal, kFirstDirectorySectorOffset, 0, start);
            return false;
        }
        const std::uint32_t sectors =
            WalkFat(start, Reuse::Report, Severity::Fatal, kFirstDirectorySectorOffset,
                    [this](std::uint32_t, std::uint32_t sector) { ReadEntries(sector); })
                .length;
        if (sectors == 0)
            return false;
        directoryEntries_ = std::uint64_t{sectors} * kDirectoryEntriesPerSector;
        if (directory_.empty() || directory_[0].type != kObjectTypeRootStorage) {
            Add(FindingCode::NoRootEntry, Severity::Fatal, start);
            return false;
        }
        return true;
    }

    void ReadEntries(std::uint32_t sector)
    {
        if (directory_.size() >= kMaxDirectoryEntries)
            return;
        const SectorBytes bytes = ReadSector(sector);
        for (std::size_t k = 0; k < kDirectoryEntriesPerSector; ++k) {
            const DirectoryEntry read =
                *ReadDirectoryEntry(bytes.data() + k * kDirectoryEntrySize, EntryReading::Covered);
            Entry entry;
            entry.type = read.type;
            entry.main = main_.isName(read.name);
            entry.left = read.left;
            entry.right = read.right;
            entry.child = read.child;
            entry.start = read.start;
            entry.size = static_cast<std::uint32_t>(read.size);
            directory_.push_back(entry);
        }
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
                if (index < directoryEntries_)
                    Add(FindingCode::DirectoryTooLarge, Severity::Incorrect, index, directory_.size(), index);
                else
                    Add(FindingCode::DirectoryIndexOutOfRange, Severity::Incorrect, index, directoryEntries_, index);
                continue;
            }
            if (seen[index]) {
                Add(FindingCode::DirectoryCycle, Severity::Fatal, index);
                return false;
            }
            seen[index] = 1;
            const Entry& entry = directory_[index];
            if (entry.type != kObjectTypeStream && entry.type != kObjectTypeStorage) {
                // Bytes of something else where the tree leads (an unused entry, a sector that
                // no longer holds the directory): readers refuse the file, and its links lead
                // nowhere to follow.
                Add(FindingCode::DirectoryEntryInvalid, Severity::Incorrect, index, kObjectTypeStream, entry.type);
                continue;
            }
            if (entry.type == kObjectTypeStream)
                streams_.push_back(index);
            pending.push_back(entry.left);
            pending.push_back(entry.right);
            pending.push_back(entry.child);
        }
        return true;
    }

    const Entry* MainEntry() const
    {
        const auto main = std::find_if(streams_.begin(), streams_.end(), [&](std::uint32_t index) { return directory_[index].main; });
        return main == streams_.end() ? nullptr : &directory_[*main];
    }

    static bool InMiniStream(const Entry& entry) { return entry.size < kMiniStreamCutoff; }

    void CheckMiniStream()
    {
        const Entry& root = directory_[0];
        const std::uint32_t cutoff = kMiniStreamCutoff;
        const bool smallStreams = std::any_of(streams_.begin(), streams_.end(), [&](std::uint32_t index) {
            return directory_[index].size > 0 && directory_[index].size < cutoff;
        });
        const std::uint32_t miniFatStart = HeaderField32(header_, kFirstMiniFatSectorOffset);
        const std::uint32_t miniFatCount = HeaderField32(header_, kNumMiniFatSectorsOffset);

        // Of the mini stream's chain only its length is kept, and the sector the main stream
        // begins in when it is small.
        std::uint64_t mainPosition = ~std::uint64_t{0};
        if (const Entry* main = MainEntry(); main && main->start != kEndOfChain)
            mainPosition = std::uint64_t{main->start} * kMiniSectorSize / kSectorSize;
        std::uint32_t miniStreamSectors = 0;
        if (root.size > 0 && root.start != kEndOfChain)
            miniStreamSectors = WalkFat(root.start, Reuse::Report, Severity::Incorrect, 0,
                                        [&](std::uint32_t position, std::uint32_t sector) {
                                            if (position == mainPosition)
                                                mainMiniSector_ = sector;
                                        })
                                    .length;
        miniStreamSectors_ = miniStreamSectors;
        miniSectors_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(
            root.size / kMiniSectorSize + 1, std::uint64_t{miniStreamSectors} * (kSectorSize / kMiniSectorSize)));

        if (miniFatStart == kEndOfChain) {
            if (smallStreams)
                Add(FindingCode::MiniFatInconsistent, Severity::Incorrect, kFirstMiniFatSectorOffset, 0, miniFatStart);
            // A count with no table: readers follow the table's chain, which is empty, and only a
            // small stream would miss it.
            if (miniFatCount != 0)
                Add(FindingCode::MiniFatCountMismatch, smallStreams ? Severity::Incorrect : Severity::Harmless,
                    kNumMiniFatSectorsOffset, 0, miniFatCount);
            return;
        }
        // Only the mini table's sectors that describe mini sectors of the mini stream are kept.
        const std::size_t useful = (std::size_t{miniSectors_} + kEntriesPerFatSector - 1) / kEntriesPerFatSector;
        const std::uint32_t miniFatSectors =
            WalkFat(miniFatStart, Reuse::Report, Severity::Incorrect, kFirstMiniFatSectorOffset,
                    [&](std::uint32_t, std::uint32_t sector) {
                        if (miniFatSectors_.size() < useful)
                            miniFatSectors_.push_back(sector);
                    })
                .length;
        if (miniFatSectors != miniFatCount)
            Add(FindingCode::MiniFatCountMismatch, Severity::Incorrect, kNumMiniFatSectorsOffset, miniFatSectors,
                miniFatCount);
        // A table for small streams when there is no mini stream harms only the small streams:
        // without any (some writers leave a table of free entries behind), readers read the file
        // as it is.
        if (miniStreamSectors == 0 && miniFatSectors != 0 && smallStreams)
            Add(FindingCode::MiniFatInconsistent, Severity::Incorrect, kFirstMiniFatSectorOffset, kEndOfChain,
                miniFatStart);
        const auto reach = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(miniSectors_, std::uint64_t{miniFatSectors_.size()} * kEntriesPerFatSector));
        miniVisited_.Assign(reach);
        miniUsed_ = BitSet(reach);
    }

    void CheckStreams()
    {
        for (const std::uint32_t index : streams_) {
            const Entry& entry = directory_[index];
            if (entry.size == 0)
                continue;
            const bool mini = InMiniStream(entry);
            const std::uint32_t unit = mini ? kMiniSectorSize : static_cast<std::uint32_t>(kSectorSize);
            const std::uint64_t needed = (static_cast<std::uint64_t>(entry.size) + unit - 1) / unit;
            const WalkResult chain = mini ? WalkMini(entry.start, index, needed)
                                          : WalkFat(entry.start, Reuse::ReportAndStop, Severity::Incorrect, index,
                                                    [](std::uint32_t, std::uint32_t) {});
            if (!chain.cutShort && chain.length < needed)
                Add(FindingCode::ChainTooShort, Severity::Incorrect, index, needed, chain.length);
        }
    }

    std::optional<std::uint16_t> FirstSixteenBits(const Entry& entry)
    {
        if (entry.size < 2)
            return std::nullopt;
        if (!InMiniStream(entry)) {
            if (entry.start >= sectorCount_)
                return std::nullopt;
            return LoadLe16(ReadSector(entry.start).data());
        }
        const std::uint64_t offset = static_cast<std::uint64_t>(entry.start) * kMiniSectorSize;
        if (entry.start == kEndOfChain || offset / kSectorSize >= miniStreamSectors_)
            return std::nullopt;
        return LoadLe16(ReadSector(mainMiniSector_).data() + offset % kSectorSize);
    }

    void CheckMainStream()
    {
        const auto main = std::find_if(streams_.begin(), streams_.end(), [&](std::uint32_t index) { return directory_[index].main; });
        if (main == streams_.end()) {
            Add(FindingCode::NoMainStream, Severity::Fatal);
            return;
        }
        const std::optional<std::uint16_t> record = FirstSixteenBits(directory_[*main]);
        if (!record || !main_.startsWell(*record))
            Add(FindingCode::MainStreamStartsWrongly, Severity::Incorrect, *main, main_.expectedFirst, record.value_or(0));
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
        header_ = ReadBlockAt(file_, 0);
        if (!CheckHeader())
            return;
        claimed_ = BitSet(sectorCount_);
        visited_.Assign(sectorCount_);
        if (!ReadAllocationTable() || !ReadDirectory() || !CollectStreams())
            return;
        CheckMiniStream();
        CheckStreams();
        CheckMainStream();
        // A file whose last sector, in use, is cut short: readers read the bytes it holds and
        // pad the rest with zeros. Where bytes of the main stream, the table or the directory are
        // missing there, readers that read whole sectors (Gnumeric's among them) refuse it; where
        // only another stream's bytes are (which a reader then goes without) or the padding after
        // the main stream's end, every reader reads the file as it is.
        if (const std::uint32_t last = sectorCount_ - 1; length % kSectorSize != 0 && last < fat_.size() && fat_[last] != kFreeSector) {
            const std::uint32_t held = static_cast<std::uint32_t>(length % kSectorSize);
            Add(FindingCode::FileCutShort, NeededBytesIn(last) <= held ? Severity::Harmless : Severity::Incorrect, last, kSectorSize, held);
        }
    }

    // How many bytes of the mini stream's sector at `place` (its place in the mini stream's chain)
    // hold bytes of `main`, a stream in the mini stream, from the sector's start: up to the end
    // of the last of its mini sectors there.
    std::uint32_t MainBytesInMiniStream(const Entry& main, std::uint64_t place)
    {
        constexpr std::uint32_t kPerSector = kSectorSize / kMiniSectorSize;
        std::uint32_t needed = 0;
        std::uint64_t offset = 0;
        for (std::uint32_t mini = main.start, steps = 0; mini < miniSectors_ && mini / kEntriesPerFatSector < miniFatSectors_.size() &&
                                                         steps < miniSectors_ && offset < main.size;
             mini = MiniFatEntry(mini), ++steps, offset += kMiniSectorSize) {
            if (mini / kPerSector == place) {
                const std::uint64_t held = std::min<std::uint64_t>(kMiniSectorSize, main.size - offset);
                needed = std::max<std::uint32_t>(needed, static_cast<std::uint32_t>((mini % kPerSector) * kMiniSectorSize + held));
            }
        }
        return needed;
    }

    // How many bytes of `sector` a reader needs to read the main stream: those of the main stream
    // in its sector (in the mini stream's sector, those of its mini sectors there), none of another
    // stream's, a whole sector of the table's or the directory's.
    std::uint32_t NeededBytesIn(std::uint32_t sector)
    {
        const Entry* main = MainEntry();
        const bool mainIsSmall = main && InMiniStream(*main);
        std::vector<std::uint32_t> chains = {0};  // the root's: the mini stream
        for (const std::uint32_t index : streams_) {
            if (!InMiniStream(directory_[index]))
                chains.push_back(index);
        }
        // (Chains that hold together reach each sector once: the walks together take no more
        // steps than there are sectors, however the chains loop or cross.)
        std::uint64_t steps = 0;
        for (const std::uint32_t index : chains) {
            const Entry& entry = directory_[index];
            std::uint64_t offset = 0;
            std::uint32_t at = entry.start;
            for (; at < fat_.size() && steps < sectorCount_; ++steps, at = fat_[at], offset += kSectorSize) {
                if (at != sector)
                    continue;
                if (index == 0)
                    return mainIsSmall ? MainBytesInMiniStream(*main, offset / kSectorSize) : 0;
                if (!entry.main)
                    return 0;
                return static_cast<std::uint32_t>(std::min<std::uint64_t>(kSectorSize, entry.size > offset ? entry.size - offset : 0));
            }
        }
        return kSectorSize;
    }

    struct CachedSector {
        std::uint32_t ordinal = ~std::uint32_t{0};
        SectorBytes bytes{};
    };

    SectorFile& file_;
    const MainStreamRule& main_;
    CompoundCheck result_;
    bool hasProblem_ = false;
    HeaderBytes header_{};
    std::uint32_t sectorCount_ = 0;
    std::vector<std::uint32_t> fat_;
    BitSet claimed_;
    WalkMarks visited_;
    std::vector<Entry> directory_;  // the first kMaxDirectoryEntries at most
    std::uint64_t directoryEntries_ = 0;     // all the entries of the directory's chain
    std::vector<std::uint32_t> streams_;
    std::uint32_t miniStreamSectors_ = 0;
    std::uint32_t mainMiniSector_ = 0;
    std::uint32_t miniSectors_ = 0;  // mini sectors the mini stream holds
    std::vector<std::uint32_t> miniFatSectors_;
    std::array<CachedSector, 64> miniFatCache_{};
    WalkMarks miniVisited_;
    BitSet miniUsed_;  // mini sectors any walk went through
    bool miniWalksClean_ = true;
};

}  // namespace

bool CompoundCheck::Opens() const
{
    return FirstProblem() == nullptr;
}

const Finding* CompoundCheck::FirstProblem() const
{
    for (const Finding& finding : findings) {
        if (finding.severity != Severity::Harmless)
            return &finding;
    }
    return nullptr;
}

CompoundCheck VerifyCompoundFile(SectorFile& file, const MainStreamRule& main)
{
    return Checker(file, main).Run();
}

}  // namespace tabulon
