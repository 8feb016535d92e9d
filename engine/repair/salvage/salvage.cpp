#include "engine/repair/salvage/salvage.h"

#include <algorithm>
#include <optional>
#include <tuple>
#include <unordered_set>

#include "engine/base/byte_order.h"
#include "engine/base/text.h"
#include "engine/biff/property_set.h"
#include "engine/biff/records.h"
#include "engine/biff/vba_container.h"
#include "engine/cfb/compound_reader.h"
#include "engine/cfb/directory_entry.h"
#include "engine/cfb/sector_probes.h"
#include "engine/repair/rebuild/rebuild.h"
#include "engine/repair/mending/mending.h"
#include "engine/repair/salvage/salvage_chain.h"
#include "engine/repair/salvage/salvage_attempt.h"
#include "engine/repair/salvage/salvage_finder.h"
#include "engine/repair/salvage/salvage_formulas.h"
#include "engine/repair/workbook/workbook.h"

namespace tabulon {
namespace salvage {
namespace {

using namespace biff;

// Walks longer than this many links, directories longer than this many sectors: no workbook has them.
constexpr std::uint32_t kMaxDirectorySectors = 1u << 16;
constexpr std::uint32_t kMaxTableSectors = 1u << 16;

// What stands for an entry that does not read: no type, no name, no links.
const DirectoryEntry kUnreadableEntry = [] {
    DirectoryEntry entry;
    entry.start = 0;
    return entry;
}();

// Whether a stream begins as streams of its name do, where the name (and, in a macro project,
// the storage it lies in) tells: a property set (its name begins with 5) with its byte order, a
// section inside it and properties inside that; an OLE object's CompObj with its fixed start; a
// macro project's streams as their own bytes prove them (the caches "__SRP_" prove nothing).
// Nothing for other streams.
std::optional<bool> BeginsAsItsKind(std::u16string_view name, std::u16string_view storage, const std::vector<std::uint8_t>& data)
{
    const std::size_t size = data.size();
    if (!name.empty() && name.front() == u'\u0005')
        return PropertySetHoldsTogether(data);
    if (name == u"\u0001CompObj")
        return size >= 28 && LoadLe32(data.data()) == 0xFFFE'0001u;
    const auto named = [](std::u16string_view a, std::u16string_view b) { return CompareEntryNames(a, b) == 0; };
    if (storage.starts_with(u"_VBA_PROJECT") && named(name, u"PROJECT"))
        return VbaStreamHoldsTogether(VbaStream::ProjectText, data);
    if (!named(storage, u"VBA") || name.starts_with(u"__SRP_"))
        return std::nullopt;
    if (named(name, u"_VBA_PROJECT"))  // (only its start proves anything: a longer one's cache may be another's bytes)
        return data.size() <= kMiniSectorSize && VbaStreamHoldsTogether(VbaStream::ProjectCache, data);
    return VbaStreamHoldsTogether(named(name, u"dir") ? VbaStream::Dir : VbaStream::Module, data);
}

// An attempt made already that found every sheet it lists where the directory says: another
// can take its place only with a longer workbook stream (or as long, where this one's header
// lists a table sector twice and the other's does not).
struct Rival {
    std::uint64_t workbookLength;
    bool listRepeats;
};

class Salvager {
public:
    Salvager(const Image& image, const HeaderBytes& header, std::optional<Rival> rival = std::nullopt)
        : header_(header), rival_(rival)
    {
        miniContainer_.assign(image.sectors, false);
        main_.base = image.bytes.data() + kHeaderSize;
        main_.unit = kSectorSize;
        main_.Resize(image.sectors);
        budget_.left = 64 * std::uint64_t{image.sectors} + (1u << 20);
        fragmentStarts_.assign(image.sectors, -1);
    }

    Attempt Run()
    {
        Attempt attempt;
        LoadMainTable(attempt.report);
        attempt.listRepeats = listRepeats_;
        ReadDirectory();
        const std::vector<std::uint32_t> miniTable = FollowMiniTable();
        MarkHeads(main_, false);
        LoadMiniStream(miniTable);
        MarkHeads(mini_, true);
        ClaimUnlistedTableSectors();

        WorkbookFound workbook;
        workbook.entry = WorkbookEntry();
        StreamsData data = FollowOtherStreams(workbook.entry, attempt.report);
        MendOtherCopies(data);
        // The workbook's own entry, when its chain begins as a workbook does; else the stream
        // found by its first record; else what the entry's chain holds after all.
        if (workbook.entry)
            FollowWorkbookEntry(workbook, true, attempt.report);
        if (workbook.entry && !workbook.data.empty())
            GatherSmallWorkbookByRecords(workbook, attempt.report);
        // (Any other way to the workbook loses its directory: it could not win either.)
        if (outdone_)
            return attempt;
        if (workbook.data.empty())
            FindWorkbookByRecords(workbook, attempt.report);
        if (workbook.data.empty())
            return attempt;

        attempt.found = true;
        attempt.workbookLength = workbook.data.size();
        if (lostEntries_)
            attempt.report.dropped.push_back(kLostEntriesStreams);
        const std::vector<std::u16string> summaryNames = SummaryNames(data, attempt.report.directoryLost);
        // The chains are followed: what they were followed through goes before the mending,
        // which holds the workbook stream and what it needs beside it.
        LetGoOfChains();
        workbook.entryUnits = std::vector<std::uint32_t>();
        // A name a bit off tells that the damage changed bits; else the workbook's start may
        // have gone with zeroed sectors.
        const bool nameChanged = workbook.entry && !IsWorkbookStreamName(entries_[tree_[*workbook.entry].entry].name);
        const DamageOutside outside = bitsChanged_ || nameChanged ? DamageOutside::BitsChanged
                                      : workbook.startWiped    ? DamageOutside::StartWiped
                                                               : DamageOutside::Unknown;
        attempt.settled = MendWorkbook(workbook.data, summaryNames, attempt.report, nullptr, outside);
        attempt.report.linksRebuilt = workbook.rebuilt;
        if (rootEntry_) {
            attempt.root.clsid = rootEntry_->clsid;
            attempt.root.created = rootEntry_->created;
            attempt.root.modified = rootEntry_->modified;
        }
        if (attempt.report.directoryLost)
            KeepWorkbookAlone(attempt, workbook);
        else
            KeepTree(attempt, data, workbook);
        return attempt;
    }

private:
    // Each stream's bytes by its place in the tree, where its chain was followed.
    using StreamsData = std::vector<std::optional<std::vector<std::uint8_t>>>;

    // The workbook stream as found: its entry in the tree (none when it was found by its
    // records), its bytes and name, the links of its chain rebuilt, the units its entry's
    // chain was followed through, and whether its start went with zeroed bytes that `data`
    // no longer holds (the rest of it was found after them).
    struct WorkbookFound {
        std::optional<std::size_t> entry;
        std::vector<std::uint8_t> data;
        std::u16string name = u"Workbook";
        std::uint32_t rebuilt = 0;
        std::vector<std::uint32_t> entryUnits;
        bool startWiped = false;
    };

    // The workbook stream readers take: "Workbook" before "Book" (some writers keep both, a
    // BIFF8 copy and a BIFF5 one). Where no entry has either name, one whose name a changed
    // bit took from it.
    std::optional<std::size_t> WorkbookEntry() const
    {
        const auto rootStreamName = [&](std::size_t i) -> std::optional<std::u16string_view> {
            const DirectoryEntry& entry = entries_[tree_[i].entry];
            if (tree_[i].parent < 0 && entry.type == kObjectTypeStream)
                return entry.name;
            return std::nullopt;
        };
        if (const auto named = FindWorkbookStream(tree_.size(), rootStreamName))
            return named;
        return FindWorkbookStream(tree_.size(), [&](std::size_t i) -> std::optional<std::u16string_view> {
            const auto name = rootStreamName(i);
            return name ? WorkbookStreamNameOneBitAway(*name) : std::nullopt;
        });
    }

    // Every stream but the workbook, by the table alone, so that the workbook's rebuilt links
    // never take a sector that belongs to them; those that are not sure are listed as dropped.
    StreamsData FollowOtherStreams(std::optional<std::size_t> workbook, SalvageReport& report)
    {
        StreamsData data(tree_.size());
        std::vector<std::vector<std::uint32_t>> units(tree_.size());
        for (std::size_t i = 0; i < tree_.size(); ++i) {
            const DirectoryEntry& entry = entries_[tree_[i].entry];
            if (entry.type != kObjectTypeStream || (workbook && i == *workbook))
                continue;
            data[i] = FollowStream(entry, false, nullptr, false, &units[i]);
        }
        // A small stream in a sector of the mini stream that a guessed link reached is kept
        // only when its own bytes bear the guess out (it begins as streams of its kind do); none
        // is when the guesses ran the mini stream's chain into another chain.
        const auto pastGuess = [&](std::size_t i) {
            constexpr std::uint32_t kPerSector = kSectorSize / kMiniSectorSize;
            return data[i] && entries_[tree_[i].entry].size < kMiniStreamCutoff &&
                   std::any_of(units[i].begin(), units[i].end(), [&](std::uint32_t u) {
                       return u / kPerSector >= miniProven_.size() || !miniProven_[u / kPerSector];
                   });
        };
        for (std::size_t i = 0; i < tree_.size(); ++i) {
            const int parent = tree_[i].parent;
            const std::u16string_view storage = parent >= 0 ? std::u16string_view(entries_[tree_[static_cast<std::size_t>(parent)].entry].name) : std::u16string_view();
            if (pastGuess(i) && (miniGuessWrong_ || BeginsAsItsKind(entries_[tree_[i].entry].name, storage, *data[i]) != true))
                data[i].reset();
            if (entries_[tree_[i].entry].type == kObjectTypeStream && (!workbook || i != *workbook) && !data[i])
                report.dropped.push_back(PathOf(i));
        }
        return data;
    }

    // The workbook's own entry's chain, taken when it reads (`requireBof`: only when it begins
    // as a workbook does).
    void FollowWorkbookEntry(WorkbookFound& workbook, bool requireBof, SalvageReport& report)
    {
        const DirectoryEntry& entry = entries_[tree_[*workbook.entry].entry];
        if (auto followed = FollowStream(entry, true, &workbook.rebuilt, requireBof, &workbook.entryUnits)) {
            workbook.data = std::move(*followed);
            workbook.name = WorkbookStreamNameOneBitAway(entry.name).value_or(entry.name);
            report.workbookBytesLost = entry.size > workbook.data.size() ? entry.size - workbook.data.size() : 0;
            report.workbookInMiniStream = entry.size < kMiniStreamCutoff;
        }
    }

    // A workbook in the mini stream whose entry's chain ran short where the mini stream's own
    // chain was guessed (its links went with the table): the guess put another sector's bytes
    // in its place. The same workbook gathered by its records, 64 bytes at a time wherever they
    // go on, stands where it is longer, under its own entry.
    void GatherSmallWorkbookByRecords(WorkbookFound& workbook, SalvageReport& report)
    {
        if (!report.workbookInMiniStream || report.workbookBytesLost == 0 ||
            std::all_of(miniProven_.begin(), miniProven_.end(), [](bool proven) { return proven; }))
            return;
        StreamFinder finder(main_, miniContainer_, budget_, fragmentStarts_);
        std::vector<std::uint8_t> found;
        std::uint16_t version = 0;
        std::uint32_t rebuilt = 0;
        bool inMini = false;
        const auto sameStart = [&] {
            const auto start = std::min<std::ptrdiff_t>(kMiniSectorSize, std::ssize(workbook.data));
            return std::equal(workbook.data.begin(), workbook.data.begin() + start, found.begin());
        };
        if (!finder.FindByBof(found, version, rebuilt, inMini) || !inMini || found.size() <= workbook.data.size() || !sameStart())
            return;
        const std::uint64_t declared = workbook.data.size() + report.workbookBytesLost;
        if (found.size() > declared)
            found.resize(declared);
        report.workbookBytesLost = declared - found.size();
        workbook.data = std::move(found);
        workbook.rebuilt += rebuilt;
    }

    // The workbook stream found by its first record, where its entry's chain does not begin as
    // a workbook does; else what is left of it. Either way without its directory, unless what
    // the entry's chain holds stands.
    void FindWorkbookByRecords(WorkbookFound& workbook, SalvageReport& report)
    {
        StreamFinder finder(main_, miniContainer_, budget_, fragmentStarts_);
        std::uint16_t version = kBiff8Version;
        if (finder.FindByBof(workbook.data, version, workbook.rebuilt, report.workbookInMiniStream)) {
            workbook.name = version == kBiff5Version ? u"Book" : u"Workbook";
            report.directoryLost = true;
            workbook.entry.reset();
        } else {
            FindWorkbookWithoutItsStart(finder, version, workbook, report);
        }
        if (workbook.data.empty() || !workbook.entry)
            report.directoryLost = true;
    }

    // The workbook's start is gone. What its entry's chain holds keeps the rest of the globals
    // (the shared strings among them) when a sheet survives in it; else what is left starts at
    // the first sector that holds a sheet.
    void FindWorkbookWithoutItsStart(StreamFinder& finder, std::uint16_t& version, WorkbookFound& workbook, SalvageReport& report)
    {
        if (workbook.entry)
            FollowWorkbookEntry(workbook, false, report);
        if (FirstSheetBof(workbook.data.data(), workbook.data.size()))
            return;
        std::vector<std::uint8_t> sheets;
        std::uint32_t sheetsRebuilt = 0;
        for (const std::uint32_t u : workbook.entryUnits)
            (report.workbookInMiniStream ? mini_ : main_).claimed[u] = false;
        bool found = finder.FindBySheetBof(sheets, version, sheetsRebuilt);
        if (!found) {
            found = finder.FindBySheetRecords(sheets, version, sheetsRebuilt);
            report.firstSheetStartLost = found;
        }
        // A small workbook's rest lies in the mini stream, which no search of free sectors sees:
        // it is found in what the entry's chain holds, under the entry.
        if (!found && report.workbookInMiniStream) {
            if (const auto rest = SheetRecordsRunInStream(workbook.data, sheets, version)) {
                report.firstSheetStartLost = true;
                report.workbookBytesLost = 0;
                workbook.startWiped = mending::ZeroedUnitIn(workbook.data, 0, *rest, true);
                workbook.data = std::move(sheets);
            }
            return;
        }
        if (!found)
            return;
        workbook.startWiped = finder.FoundAfterZeros();
        workbook.data = std::move(sheets);
        workbook.rebuilt = sheetsRebuilt;
        workbook.name = version == kBiff5Version ? u"Book" : u"Workbook";
        report.workbookInMiniStream = false;
        report.workbookBytesLost = 0;
        workbook.entry.reset();
    }

    // The document summary names the sheets, for a workbook whose own list of them is gone.
    std::vector<std::u16string> SummaryNames(const StreamsData& data, bool directoryLost) const
    {
        std::vector<std::u16string> names;
        for (std::size_t i = 0; i < tree_.size() && !directoryLost; ++i) {
            if (tree_[i].parent < 0 && data[i] &&
                CompareEntryNames(entries_[tree_[i].entry].name, u"\u0005DocumentSummaryInformation") == 0)
                names = SheetNamesFromSummary(*data[i]);
        }
        return names;
    }

    // What the chains were followed through.
    void LetGoOfChains()
    {
        main_ = Space();
        mini_ = Space();
        miniBytes_ = std::vector<std::uint8_t>();
        miniProven_ = std::vector<bool>();
        miniContainer_ = std::vector<bool>();
        fragmentStarts_ = std::vector<std::int8_t>();
        miniFragmentStarts_ = std::vector<std::int8_t>();
    }

    // The tree as it was, less the streams that could not be followed; the workbook's entry
    // holds the stream found.
    void KeepTree(Attempt& attempt, StreamsData& data, WorkbookFound& workbook)
    {
        std::vector<int> placed(tree_.size(), -1);
        for (std::size_t i = 0; i < tree_.size(); ++i) {
            const DirectoryEntry& entry = entries_[tree_[i].entry];
            const int parent = tree_[i].parent < 0 ? -1 : placed[static_cast<std::size_t>(tree_[i].parent)];
            if (tree_[i].parent >= 0 && parent < 0)
                continue;  // its storage was left out
            const bool isWorkbook = workbook.entry && i == *workbook.entry;
            if (entry.type == kObjectTypeStream && !isWorkbook && !data[i])
                continue;
            CompoundEntry out = EntryAsItWas(entry, parent);
            if (isWorkbook) {
                out.name = workbook.name;
                out.data = std::move(workbook.data);  // (one entry is the workbook)
            }
            else if (data[i])
                out.data = std::move(*data[i]);
            SalvagedStream kept{PathOf(i), entry.size, out.data.size(), isWorkbook ? workbook.rebuilt : 0};
            if (entry.type == kObjectTypeStream)
                attempt.report.kept.push_back(kept);
            placed[i] = static_cast<int>(attempt.entries.size());
            attempt.entries.push_back(std::move(out));
        }
    }

    // An entry to write as the directory's `entry` was, under `parent`, without its bytes.
    static CompoundEntry EntryAsItWas(const DirectoryEntry& entry, int parent)
    {
        CompoundEntry out;
        out.name = entry.name;
        out.type = entry.type;
        out.parent = parent;
        out.clsid = entry.clsid;
        out.stateBits = entry.stateBits;
        out.created = entry.created;
        out.modified = entry.modified;
        return out;
    }

    // The workbook stream alone, where it was found without its directory.
    static void KeepWorkbookAlone(Attempt& attempt, WorkbookFound& workbook)
    {
        CompoundEntry out;
        out.name = workbook.name;
        out.data = std::move(workbook.data);
        attempt.report.kept.push_back({Utf8FromUtf16(workbook.name), 0, out.data.size(), workbook.rebuilt});
        attempt.entries.push_back(std::move(out));
    }

    // A second copy of the workbook beside the one salvaged (a BIFF5 "Book" beside a BIFF8
    // "Workbook") is mended as well: a reader that takes it would show its damage as values.
    void MendOtherCopies(StreamsData& data) const
    {
        for (std::size_t i = 0; i < tree_.size(); ++i) {
            if (data[i] && tree_[i].parent < 0 && IsWorkbookStreamName(entries_[tree_[i].entry].name))
                MendWorkbookStream(*data[i]);
        }
    }

    struct Placed {
        std::uint32_t entry;
        int parent;  // index into tree_, -1 for the root
    };


    void LoadMainTable(SalvageReport& report)
    {
        std::vector<std::uint32_t> listed;
        const std::uint32_t count = std::min(HeaderField32(header_, kNumFatSectorsOffset), kMaxTableSectors);
        std::uint32_t steps = 0;
        WalkTableList(
            header_.data(),
            [&](std::uint32_t difat) -> const std::uint8_t* {
                if (listed.size() >= count || difat >= main_.count || steps++ >= kMaxTableSectors)
                    return nullptr;
                main_.claimed[difat] = true;
                return main_.At(difat);
            },
            [&](std::uint32_t entry) {
                if (listed.size() >= count)
                    return false;
                listed.push_back(entry);
                return listed.size() < count;
            });
        // A sector listed twice is one table sector at most: past its first place in the list
        // (a made-up header may list one sector at every place), it counts as lost.
        std::unordered_set<std::uint32_t> seen;
        for (std::uint32_t& sector : listed) {
            if (sector < main_.count && !seen.insert(sector).second) {
                sector = kFreeSector;
                listRepeats_ = true;
            }
        }
        report.tableSectorsLost = LoadTable(main_, listed, main_);
        // A listed sector that reads as no table (wiped, or a header's wrong guess) is left to
        // the streams: a stream whose entry starts there still needs it.
        const std::uint64_t capacity = std::uint64_t{listed.size()} * kEntriesPerFatSector;
        for (const std::uint32_t sector : listed) {
            if (sector < main_.count && SurvivingEntries(main_.At(sector), capacity))
                main_.claimed[sector] = true;
        }
        for (std::uint32_t u = 0; u < main_.count; ++u) {
            if (main_.known[u] && (main_.next[u] == kFatSector || main_.next[u] == kDifatSector))
                main_.claimed[u] = true;
        }
        main_.NotePredecessors();
    }

    // A table sector whose own entry was lost and that the header does not list is told by its
    // entries (each a marker or a sector of the file, many of them chains' links): writers put
    // table sectors among a stream's, and a lost link must step over them as the stream's
    // chain did. Once the mini table and the directory hold theirs, which read the same way.
    void ClaimUnlistedTableSectors()
    {
        // Runs of links, each to the next entry's sector, as a stream written in one piece has
        // them: a sector of nothing but free markers reads the same as a white picture's.
        const auto links = [&](const std::uint8_t* sector) {
            std::size_t count = 0;
            for (std::size_t j = 0; j + 1 < kEntriesPerFatSector; ++j) {
                const std::uint32_t value = LoadLe32(sector + 4 * j);
                count += value < main_.count && value + 1 == LoadLe32(sector + 4 * j + 4) ? 1u : 0u;
            }
            return count;
        };
        constexpr std::size_t kFewestLinks = 32;
        for (std::uint32_t u = 0; u < main_.count; ++u) {
            if (!main_.claimed[u] && !main_.known[u] && !main_.hasPredecessor[u] && !main_.head[u] &&
                IsFatLikeSector(SectorView(main_.At(u), kSectorSize)) && SurvivingEntries(main_.At(u), main_.count) &&
                links(main_.At(u)) >= kFewestLinks)
                main_.claimed[u] = true;
        }
    }

    // Follows a structure's chain through the table; where a link is lost, on to the next
    // sector that `looksRight` accepts as the structure's sector at that place in its chain.
    template <typename Accept>
    std::vector<std::uint32_t> FollowStructure(std::uint32_t start, std::uint32_t limit, Accept looksRight)
    {
        std::vector<std::uint32_t> chain;
        // Its first sector as the header names it; as a header without its signature (wiped or
        // garbled) names it, only when it reads as one: a wiped header names sector 0 for every
        // structure, which holds a stream's first bytes as often as not.
        if (start < main_.count && !HasHeaderSignature(header_) && !looksRight(main_.At(start), 0))
            return chain;
        std::uint32_t sector = start;
        while (sector < main_.count && !main_.claimed[sector] && chain.size() < limit) {
            chain.push_back(sector);
            main_.claimed[sector] = true;
            if (main_.known[sector]) {
                sector = main_.next[sector];
                continue;
            }
            // A lost link: the next sector of that kind that no surviving link claims, the one
            // after first (structures too are mostly written in one piece).
            std::uint32_t next = sector + 1;
            while (next < main_.count &&
                   (main_.claimed[next] || main_.hasPredecessor[next] || !looksRight(main_.At(next), chain.size())))
                ++next;
            sector = next;
        }
        return chain;
    }

    // The mini table's chain. Where a link is lost, the next sector that reads as a table and
    // agrees with the directory at that place (each small stream's chain as its size needs it,
    // where writers put it: one mini sector after the other) more than it disagrees: a sector
    // of a stream that happens to read as a table would give the small streams wrong bytes.
    std::vector<std::uint32_t> FollowMiniTable()
    {
        const std::uint32_t count = std::min(HeaderField32(header_, kNumMiniFatSectorsOffset), kMaxTableSectors);
        // What each mini sector's entry is expected to be, as far as the directory tells.
        const std::uint64_t units =
            rootEntry_ ? std::min<std::uint64_t>((rootEntry_->size + kMiniSectorSize - 1) / kMiniSectorSize,
                                                 std::uint64_t{count} * kEntriesPerFatSector)
                       : 0;
        std::vector<std::uint32_t> expected(static_cast<std::size_t>(units), kFreeSector);
        for (const Placed& placed : tree_) {
            const DirectoryEntry& entry = entries_[placed.entry];
            if (entry.type != kObjectTypeStream || entry.size == 0 || entry.size >= kMiniStreamCutoff)
                continue;
            const std::uint64_t length = (entry.size + kMiniSectorSize - 1) / kMiniSectorSize;
            for (std::uint64_t k = 0; k < length && entry.start + k < units; ++k)
                expected[static_cast<std::size_t>(entry.start + k)] =
                    k + 1 < length ? static_cast<std::uint32_t>(entry.start + k + 1) : kEndOfChain;
        }
        return FollowStructure(HeaderField32(header_, kFirstMiniFatSectorOffset), count,
                               [&](const std::uint8_t* sector, std::size_t position) {
                                   if (!IsFatLikeSector(SectorView(sector, kSectorSize)))
                                       return false;
                                   int agree = 0, disagree = 0;
                                   for (std::size_t j = 0; j < kEntriesPerFatSector; ++j) {
                                       const std::uint64_t unit = position * kEntriesPerFatSector + j;
                                       if (unit >= expected.size() || expected[static_cast<std::size_t>(unit)] == kFreeSector)
                                           continue;
                                       (LoadLe32(sector + 4 * j) == expected[static_cast<std::size_t>(unit)] ? agree : disagree) += 1;
                                   }
                                   return agree > disagree || agree + disagree == 0;
                               });
    }

    void ReadDirectory()
    {
        // Every entry of a directory sector reads as one, or is unused.
        const auto directoryLike = [](const std::uint8_t* sector, std::size_t) { return DirectorySectorReads(sector); };
        const std::vector<std::uint32_t> sectors =
            FollowStructure(HeaderField32(header_, kFirstDirectorySectorOffset), kMaxDirectorySectors, directoryLike);
        for (const std::uint32_t sector : sectors) {
            for (std::size_t k = 0; k < kDirectoryEntriesPerSector; ++k) {
                const std::uint8_t* raw = main_.At(sector) + k * kDirectoryEntrySize;
                const std::optional<DirectoryEntry> entry = ReadDirectoryEntry(raw, EntryReading::StrictButOneBit);
                // (An entry read only with a bit of its name's length or null put back tells that
                // the damage changed bits.)
                bitsChanged_ = bitsChanged_ || (entry && !ReadDirectoryEntry(raw, EntryReading::Strict));
                entries_.push_back(entry.value_or(kUnreadableEntry));
            }
        }
        if (entries_.empty() || entries_[0].type != kObjectTypeRootStorage)
            return;
        rootEntry_ = entries_[0];
        // The tree under the root, each entry once.
        std::vector<bool> seen(entries_.size(), false);
        std::vector<std::pair<std::uint32_t, int>> pending{{entries_[0].child, -1}};
        while (!pending.empty()) {
            const auto [index, parent] = pending.back();
            pending.pop_back();
            // An entry in a directory sector that did not survive, or one the tree leads to that
            // holds no entry (a zeroed sector the chain still lists: no writer links an unused one).
            if (index != kNoStream && (index >= entries_.size() || entries_[index].type == 0))
                lostEntries_ = true;
            if (index >= entries_.size() || seen[index] || entries_[index].type == 0 ||
                entries_[index].type == kObjectTypeRootStorage)
                continue;
            seen[index] = true;
            const DirectoryEntry& entry = entries_[index];
            pending.emplace_back(entry.left, parent);
            pending.emplace_back(entry.right, parent);
            tree_.push_back({index, parent});
            if (entry.type == 1)
                pending.emplace_back(entry.child, static_cast<int>(tree_.size() - 1));
        }
        // Storages before what they hold, as the writer wants them.
        std::vector<Placed> ordered;
        std::vector<int> newIndex(tree_.size(), -1);
        std::vector<bool> done(tree_.size(), false);
        for (bool progress = true; progress;) {
            progress = false;
            for (std::size_t i = 0; i < tree_.size(); ++i) {
                if (done[i] || (tree_[i].parent >= 0 && !done[static_cast<std::size_t>(tree_[i].parent)]))
                    continue;
                done[i] = true;
                progress = true;
                newIndex[i] = static_cast<int>(ordered.size());
                ordered.push_back({tree_[i].entry, tree_[i].parent < 0 ? -1 : newIndex[static_cast<std::size_t>(tree_[i].parent)]});
            }
        }
        tree_ = std::move(ordered);
    }

    // Where the directory says streams begin, in the file's sectors or in the mini stream.
    void MarkHeads(Space& space, bool mini)
    {
        if (mini && rootEntry_ && rootEntry_->start < main_.count)
            main_.head[rootEntry_->start] = true;
        for (const Placed& placed : tree_) {
            const DirectoryEntry& entry = entries_[placed.entry];
            if (entry.type == kObjectTypeStream && entry.size != 0 && (entry.size < kMiniStreamCutoff) == mini &&
                entry.start < space.count) {
                space.head[entry.start] = true;
                space.headLength[entry.start] = static_cast<std::uint32_t>((entry.size + space.unit - 1) / space.unit);
            }
        }
    }

    void LoadMiniStream(const std::vector<std::uint32_t>& miniTable)
    {
        if (!rootEntry_ || rootEntry_->size == 0)
            return;
        const std::uint32_t start = rootEntry_->start;
        ChainBuilder container(main_, false, rootEntry_->size, budget_, fragmentStarts_);
        container.Build(start);
        const std::vector<std::uint32_t>& sectors = container.Units();
        miniProven_.assign(sectors.size(), false);
        for (std::size_t k = 0; k < sectors.size(); ++k)
            miniProven_[k] = container.ProvenAt(k);
        miniGuessWrong_ = container.Guessed() && !sectors.empty() && main_.known[sectors.back()] &&
                          main_.next[sectors.back()] != kEndOfChain;
        miniBytes_ = Gather(main_, container.Units(), rootEntry_->size);
        for (const std::uint32_t u : container.Units())
            miniContainer_[u] = true;
        mini_.base = miniBytes_.data();
        mini_.unit = kMiniSectorSize;
        mini_.Resize(static_cast<std::uint32_t>(miniBytes_.size() / kMiniSectorSize));
        miniFragmentStarts_.assign(mini_.count, -1);
        LoadTable(mini_, miniTable, main_);
        mini_.NotePredecessors();
    }

    // A stream's bytes, or nothing when its chain does not reach its size (a workbook keeps
    // what survives).
    std::optional<std::vector<std::uint8_t>> FollowStream(const DirectoryEntry& entry, bool workbook, std::uint32_t* rebuilt,
                                                          bool requireBof = false, std::vector<std::uint32_t>* units = nullptr)
    {
        if (entry.size == 0)
            return std::vector<std::uint8_t>{};
        const bool inMini = entry.size < kMiniStreamCutoff;
        Space& space = inMini ? mini_ : main_;
        if (inMini && !rootEntry_)
            return std::nullopt;
        ChainBuilder chain(space, workbook, entry.size, budget_, inMini ? miniFragmentStarts_ : fragmentStarts_);
        chain.Build(entry.start);
        if (rebuilt)
            *rebuilt = chain.Rebuilt();
        const std::uint64_t length = chain.Length();
        if (!workbook && (length < entry.size || chain.Guessed())) {
            chain.Release();
            return std::nullopt;
        }
        // A workbook stream that cannot take the rival's place is not gathered (nor mended).
        if (workbook && rival_ &&
            !(length > rival_->workbookLength || (length == rival_->workbookLength && rival_->listRepeats && !listRepeats_))) {
            chain.Release();
            outdone_ = true;
            return std::nullopt;
        }
        if (length == 0 || (requireBof && !GlobalsBofAt(space.At(chain.Units().front()), space.unit))) {
            chain.Release();
            return std::nullopt;
        }
        if (units)
            *units = chain.Units();
        return chain.Gathered();
    }

    std::string PathOf(std::size_t index) const
    {
        std::string path = Utf8FromUtf16(entries_[tree_[index].entry].name);
        for (int parent = tree_[index].parent; parent >= 0; parent = tree_[static_cast<std::size_t>(parent)].parent)
            path = Utf8FromUtf16(entries_[tree_[static_cast<std::size_t>(parent)].entry].name) + "/" + path;
        return path;
    }

    const HeaderBytes& header_;
    std::optional<Rival> rival_;
    bool outdone_ = false;  // the workbook's own entry cannot beat the rival
    Space main_;
    Space mini_;
    std::vector<std::uint8_t> miniBytes_;
    std::vector<bool> miniProven_;  // for each sector of the mini stream: reached without a guess
    bool miniGuessWrong_ = false;
    bool listRepeats_ = false;  // the header lists a table sector more than once
    std::vector<bool> miniContainer_;  // the file's sectors that hold the mini stream
    Budget budget_{0};
    std::vector<std::int8_t> fragmentStarts_;
    std::vector<std::int8_t> miniFragmentStarts_;
    std::vector<DirectoryEntry> entries_;
    std::optional<DirectoryEntry> rootEntry_;
    std::vector<Placed> tree_;
    bool lostEntries_ = false;  // the tree leads to entries no surviving directory sector holds
    bool bitsChanged_ = false;  // an entry read only with a changed bit put back
};

}  // namespace

// Mends the records of a workbook stream found, and lists its sheets into `report`. Gives
// whether the mending settled (mending the result again would change nothing). `mended`: the
// same bytes mended already, by the same names, when they are.
bool MendWorkbook(std::vector<std::uint8_t>& workbook, const std::vector<std::u16string>& summaryNames, SalvageReport& report,
                  const MendedStream* mended, DamageOutside outside)
{
    bool settled = false;
    if (mended && mended->rawSize == workbook.size() && mended->names == summaryNames &&
        mended->rawFingerprint == StreamFingerprint(workbook)) {
        workbook = mended->stream;
        report.regions = mended->regions;
        settled = mended->settled;
    } else {
        report.regions = MendWorkbookStream(workbook, summaryNames, &settled, outside);
    }
    for (const ListedSheet& sheet : ListSheets(workbook)) {
        ++report.sheets;
        report.sheetsFound += sheet.found ? 1 : 0;
        report.sheetNames.push_back(sheet.name);
        if (!sheet.found)
            report.lostSheets.push_back(sheet.name);
    }
    FormulasWhoseNeedsWentBecomeValues(workbook, report);
    // (A stream whose formulas changed is mended again when it is checked.)
    return settled && report.formulasAsValues.places.empty();
}

namespace {

// Tells `progress`, when given, how far the salvage has come.
void Tell(const SalvageProgress& progress, int percent)
{
    if (progress)
        progress(percent);
}

// The deep rebuild's headers, made from the image: each is tried for a structure that opens
// (into `best`, while none has), and the first two that lead to a structure not tried yet join
// `candidates`, the attempts that follow what survives.
void TryDeepRebuild(const Image& image, std::span<const HeaderBytes> headers, const MendedStream* mended, std::optional<Attempt>& best,
                    std::vector<HeaderBytes>& candidates)
{
    constexpr std::size_t kDeepAttempts = 2;
    const HeaderBytes evidence = headers.empty() ? HeaderBytes{} : headers.front();
    HeaderedImage whole(image, evidence);
    DeepRebuildCollector collector(whole.Length());
    SectorScan::Run(whole, {}, [&collector](std::uint32_t index, SectorView sector) { collector.Examine(index, sector); });
    for (const HeaderBytes& header : collector.Rebuild(whole, headers.empty() ? nullptr : &headers.front())) {
        if (!best)
            best = ReadStructure(image, header, mended);
        const bool tried = std::any_of(candidates.begin(), candidates.end(),
                                       [&](const HeaderBytes& other) { return SameStructure(image, header, other); });
        if (!tried && candidates.size() < headers.size() + kDeepAttempts)
            candidates.push_back(header);
    }
}

// The share of its listed sheets found where the list says, then the directory, then the
// length: a file may hold another workbook (an embedded object's) with more sheets. Between
// equals, a header whose list of table sectors is made up comes last.
auto Rank(const Attempt& a)
{
    const double found = a.report.sheets == 0 ? 0.0 : double(a.report.sheetsFound) / double(a.report.sheets);
    return std::tuple(found, !a.report.directoryLost, a.workbookLength, !a.listRepeats);
}

// An attempt through each of `headers` at what survives; the one that ranks highest stands
// in `best`.
void SalvageThroughEach(const Image& image, std::span<const HeaderBytes> headers, std::optional<Attempt>& best,
                        const SalvageProgress& progress)
{
    for (std::size_t k = 0; k < headers.size(); ++k) {
        Tell(progress, 40 + static_cast<int>(30 * k / headers.size()));
        // Where the best so far found all its sheets in its own directory, only a longer stream
        // can beat it: one shorter is not gathered, which would hold two workbooks at once.
        std::optional<Rival> rival;
        if (best && std::get<0>(Rank(*best)) == 1.0 && !best->report.directoryLost)
            rival = Rival{best->workbookLength, best->listRepeats};
        Attempt attempt = Salvager(image, headers[k], rival).Run();
        if (!attempt.found)
            continue;
        if (!best || Rank(attempt) > Rank(*best))
            best = std::move(attempt);
    }
}

}  // namespace

}  // namespace salvage

SalvageReport SalvageWorkbook(SectorFile& file, std::span<const HeaderBytes> headers, SectorFile& out,
                              const SalvageProgress& progress, bool* holdsWorkbook, const MendedStream* mended,
                              const WhileChecking& whileChecking)
{
    if (holdsWorkbook)
        *holdsWorkbook = false;
    salvage::Tell(progress, 0);
    if (!salvage::HoldsTraceOfWorkbook(file))
        return {};
    salvage::Image image = salvage::ReadImage(file);
    salvage::Tell(progress, 10);
    std::optional<salvage::Attempt> best;
    // A header that opens the compound structure gives every stream as it stands: the first
    // that does (the file's own header before a rebuilt one; the deep rebuild's in its order,
    // a whole structure before a partial one, the newest first).
    for (const HeaderBytes& header : headers) {
        if (!best)
            best = salvage::ReadStructure(image, header, mended);
    }
    // The headers given were checked against the file as it is: one cut short inside a sector
    // in use opens with none of them, though its structure stands whole in the image (its last
    // sector filled out). The deep rebuild's headers, made from the image, are tried as well,
    // and its first two join the attempts that follow what survives.
    salvage::Tell(progress, 30);
    std::vector<HeaderBytes> candidates(headers.begin(), headers.end());
    if (!best && image.sectors > 0)
        salvage::TryDeepRebuild(image, headers, mended, best, candidates);
    salvage::Tell(progress, 40);
    const std::span<const HeaderBytes> attempts = best ? std::span<const HeaderBytes>() : std::span<const HeaderBytes>(candidates);
    salvage::SalvageThroughEach(image, attempts, best, progress);
    salvage::Tell(progress, 70);
    // What is written comes from the attempt's own copies: the file's bytes go before the new
    // file is written and checked.
    image = {};
    if (!best || !salvage::WriteAttempt(out, *best))
        return {};
    best->report.written = true;
    salvage::Tell(progress, 80);
    salvage::CheckWritten(out, *best, whileChecking, holdsWorkbook);
    salvage::Tell(progress, 100);
    return best->report;
}

}  // namespace tabulon
