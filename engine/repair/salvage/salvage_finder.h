// Finding the workbook stream by its own records, when its directory entry leads nowhere,
// and reading the list of sheets of what was found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/io/sector_file.h"
#include "engine/repair/salvage/salvage_chain.h"

namespace tabulon::salvage {

// Whether the file holds anything a workbook stream is found from: the name of a workbook
// stream (as a directory entry holds it) or a sheet's first record at any byte, a workbook's
// first record at any unit, the rest of a sheet in any sector (see SheetRecordsRunIn). Read a
// piece at a time, the last sector filled out with zeros: a file that holds none (the same
// byte over and over, random bytes) is refused without being read whole.
bool HoldsTraceOfWorkbook(SectorFile& file);

// Whether `bytes` (a sector, or a sector and the next) hold what is taken for the rest of a
// sheet: from the first place in the first sector where records run on, records that read for
// eight, cells or rows among them and none of the globals' kinds.
bool SheetRecordsRunIn(std::span<const std::uint8_t> bytes);

// Whether a workbook's first record (the globals' BOF) starts here; its BIFF version if so.
std::optional<std::uint16_t> GlobalsBofAt(const std::uint8_t* p, std::size_t room);

// The sheets a workbook stream lists, and how many of them begin where the list says.
struct ListedSheet {
    std::string name;
    bool found = false;  // its first record is where the list says
};

struct SheetBof {
    std::size_t offset;
    std::uint16_t version;
};

// The first worksheet BOF record anywhere in `size` bytes, if they hold one.
std::optional<SheetBof> FirstSheetBof(const std::uint8_t* bytes, std::size_t size);

// The sheets a workbook stream lists, by name, and whether each begins where the list says.
std::vector<ListedSheet> ListSheets(const std::vector<std::uint8_t>& stream);

// What is left of a sheet whose first records went, in `gathered` from its first record that
// reads on (within its first sector's length): into `data`, after a worksheet's first record of
// the version its text records fit (`version`). False where nothing reads there, or what reads
// is a chart's.
bool SheetFromItsRecords(std::span<const std::uint8_t> gathered, std::vector<std::uint8_t>& data, std::uint16_t& version);

// The same from the first place, 64 bytes at a time, of a stream whose globals and sheets'
// first records are gone where a sheet's own records run on (SheetRecordsRunIn). Gives that
// place, if any.
std::optional<std::size_t> SheetRecordsRunInStream(std::span<const std::uint8_t> stream, std::vector<std::uint8_t>& data,
                                                   std::uint16_t& version);

// Searches the file's sectors that nothing else holds for the workbook stream.
class StreamFinder {
public:
    StreamFinder(Space& main, const std::vector<bool>& miniContainer, Budget& budget, std::vector<std::int8_t>& fragmentStarts)
        : main_(main), miniContainer_(miniContainer), budget_(budget), fragmentStarts_(fragmentStarts)
    {
    }

    // The workbook stream found by its first record: in the file's sectors, then at the
    // mini stream's 64-byte granularity anywhere in the file; the longest one stands.
    bool FindByBof(std::vector<std::uint8_t>& data, std::uint16_t& version, std::uint32_t& rebuilt, bool& inMini);

    // When the globals are gone as well: what is left of the workbook starts in the first free
    // sector that holds a worksheet's first record; the mending gives it new globals.
    bool FindBySheetBof(std::vector<std::uint8_t>& data, std::uint16_t& version, std::uint32_t& rebuilt);

    // When no sheet's first record survives either: what is left of the workbook starts in
    // the first free sector where a sheet's own records (cells, rows) run on, and it gets a
    // first record of a worksheet of the version its text records fit; the mending gives it
    // new globals.
    bool FindBySheetRecords(std::vector<std::uint8_t>& data, std::uint16_t& version, std::uint32_t& rebuilt);

    // Whether what the last of the two searches above found comes right after a sector of
    // zeros: the workbook's start went with wiped bytes, not changed ones.
    bool FoundAfterZeros() const { return afterZeros_; }

private:
    // The first sector of the stream whose records run on, one sector into the next, to the
    // record that starts at `recordStart` (in the file's sectors' bytes): back along the
    // surviving links where one leads into `sector`, else among the free sectors before it in
    // the file; else `sector`.
    std::uint32_t SectorsRunningInto(std::uint32_t sector, std::uint64_t recordStart) const;
    // The sector whose surviving link, and no other's, leads into `sector`.
    std::optional<std::uint32_t> LinkedBefore(std::uint32_t sector) const;
    // Whether the sector before `sector` (the one whose link leads into it, else the one before
    // it in the file) holds nothing but zeros.
    bool ZerosBefore(std::uint32_t sector) const;

    Space& main_;
    const std::vector<bool>& miniContainer_;  // the file's sectors that hold the mini stream
    Budget& budget_;
    std::vector<std::int8_t>& fragmentStarts_;
    bool afterZeros_ = false;
    // The unit whose surviving link leads into each one (kFreeSector: none; kEndOfChain: more
    // than one), made when first asked.
    mutable std::vector<std::uint32_t> linkedFrom_;
};

}  // namespace tabulon::salvage
