// The workbook in its compound file: which stream holds it, and the check of a file as a
// workbook.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/cfb/verify.h"
#include "engine/io/sector_file.h"
#include "engine/repair/mending/mending.h"

namespace tabulon {

// The check of a file as a workbook: the compound file's findings, and those of the workbook's
// records (FindingCode::MainStreamDamaged, at a byte of the workbook stream).
using WorkbookCheck = CompoundCheck;

// Whether the file is an intact workbook: a compound file whose stream named "Workbook" or
// "Book" (any case) begins with a BOF record of BIFF2 to BIFF8, and whose records all read
// (they are read when every problem of the compound file lies beyond its header). The one
// verdict the check, the repair in place and as a copy, and the window give.
WorkbookCheck VerifyWorkbook(SectorFile& file);

// The compound file alone, its records unread: what a header can mend.
WorkbookCheck VerifyWorkbookStructure(SectorFile& file);

// Whether a finding is one a header cannot mend: damage in the sectors, chains or records
// that a header whose table and directory read leaves as it found it.
bool BeyondHeader(FindingCode code);
// Whether every problem `check` found lies beyond the header.
bool OnlyBeyondHeader(const WorkbookCheck& check);

// A workbook stream as the mending left it, and what it was mended from: the check of the
// records mends the stream to find out whether mending would replace anything, and the
// salvage need not mend the same bytes again.
struct MendedStream {
    std::size_t rawSize = 0;         // of the stream as read
    std::size_t rawFingerprint = 0;  // StreamFingerprint of it
    std::vector<std::u16string> names;  // the sheet names the mending went by
    std::vector<std::uint8_t> stream;
    std::vector<MendedRegion> regions;
    bool settled = false;  // mending it again changes nothing
};

// A fingerprint of a stream's bytes, to tell the same bytes read twice.
std::size_t StreamFingerprint(std::span<const std::uint8_t> bytes);

// The sheet names the file's document summary lists (empty when it has none).
std::vector<std::u16string> SummarySheetNames(SectorFile& file);

// Adds to `check` where the workbook stream's records first go wrong (nothing when they all
// read, or when the stream cannot be read at all). `mended`, when given, gets the stream as
// mending leaves it when the check had to mend it to find the damage (else it is reset).
void AddRecordDamage(SectorFile& file, WorkbookCheck& check, std::shared_ptr<const MendedStream>* mended = nullptr);

// VerifyWorkbook's verdict on a file just written with `stream` as its workbook stream, which
// mending left `settled` (mending it again changes nothing): when the file holds those very
// bytes, they are not mended once more to find out. `holdsStream`, when given, says whether
// the file's workbook stream is `stream` byte for byte.
WorkbookCheck VerifyWrittenWorkbook(SectorFile& file, std::span<const std::uint8_t> stream, bool settled,
                                    bool* holdsStream = nullptr);

// The workbook stream: "Workbook" (BIFF8) or else "Book" (BIFF5) directly under the root, names
// compared without regard to case. Nothing when there is neither or the file cannot be read.
// A stream cut short comes back as far as it goes.
std::optional<std::vector<std::uint8_t>> ReadWorkbookStream(SectorFile& file);

}  // namespace tabulon
