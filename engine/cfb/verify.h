// A structural check of a compound file as a careful reader makes it before it trusts one.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/io/sector_file.h"

namespace tabulon {

enum class Severity {
    Harmless,   // readers accept it
    Incorrect,  // strict readers refuse it
    Fatal,      // no reader can make sense of the file
};

enum class FindingCode {
    FileTooShort,
    NotCompoundFile,           // wrong signature
    UnsupportedFormat,         // not version 3 with 512-byte sectors
    HeaderFieldUnusual,        // a fixed field with another value
    FatCountMismatch,          // the header's table count differs from the sectors listed
    FatSectorOutOfRange,       // a listed table sector lies outside the file
    FatSectorNotMarked,        // a table or DIFAT sector not marked as such in the table
    DifatChainBroken,
    ChainOutOfRange,           // a chain points outside the file or the table
    ChainLoop,
    SectorClaimedTwice,
    ChainTooShort,             // a stream's chain holds fewer sectors than its size needs
    NoDirectory,
    NoRootEntry,
    DirectoryIndexOutOfRange,
    DirectoryCycle,
    DirectoryTooLarge,         // a reference past the entries the check reads (2^18)
    MiniFatInconsistent,       // location or presence does not fit the mini stream
    MiniFatCountMismatch,
    NoMainStream,              // no stream by the main stream's name
    MainStreamStartsWrongly,   // the main stream does not begin as it must
    MainStreamDamaged,         // the main stream's own content is damaged (its reader adds this; `where`: the byte)
    FileCutShort,              // the file ends inside a sector that is in use
    FatEntryOutOfRange,        // a table entry, used or not, that is neither a sector of the file nor a marker
    DirectoryEntryInvalid,     // an entry the tree reaches that is neither a stream nor a storage
};

struct Finding {
    FindingCode code;
    Severity severity;
    std::uint32_t where = 0;     // the sector, directory entry or header offset concerned
    std::uint64_t expected = 0;
    std::uint64_t found = 0;
};

// What the check found, and so whether the file opens. (The file's main stream's own reader may
// add what it finds in the stream.)
struct CompoundCheck {
    // In the order found; past 1000, only while none of them is a problem.
    std::vector<Finding> findings;
    // No finding is fatal or incorrect.
    bool Opens() const;
    // The first fatal or incorrect finding, or nullptr.
    const Finding* FirstProblem() const;
};

// What the check asks of the stream the file is for (a workbook's, say): the names it goes by
// (the first stream of such a name is taken), the first 16 bits it may begin with, and the value
// a finding that it begins otherwise names as expected.
struct MainStreamRule {
    bool (*isName)(std::u16string_view name) = nullptr;
    bool (*startsWell)(std::uint16_t first) = nullptr;
    std::uint16_t expectedFirst = 0;
};

// Reads the file (never writes it). Every walk is bounded by the file's sector count, and a
// stream's chain ends where it runs into a sector another chain used, so that no sector is
// walked over and over. No allocation is sized by a count read from the file: the check holds
// the allocation table (4 bytes a sector), a few bits a sector and a mini sector, at most
// 2^18 directory entries and about 1000 findings.
CompoundCheck VerifyCompoundFile(SectorFile& file, const MainStreamRule& main);

}  // namespace tabulon
