// The records of a workbook stream (BIFF2 to BIFF8): their types, the lengths each type can
// have, and the one walk over them that everything reading records shares.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/base/text.h"

namespace tabulon {

namespace biff {

// Record types, by the names the published format gives them. Where a record's type changed
// between versions, the older types are named by the version that introduced them (kNumber2:
// BIFF2's NUMBER); readers take each of them in any version's stream.
inline constexpr std::uint16_t kDimensions2 = 0x0000;
inline constexpr std::uint16_t kBlank2 = 0x0001;
inline constexpr std::uint16_t kInteger2 = 0x0002;  // BIFF2 only: a 16-bit unsigned number
inline constexpr std::uint16_t kNumber2 = 0x0003;
inline constexpr std::uint16_t kLabel2 = 0x0004;
inline constexpr std::uint16_t kBoolErr2 = 0x0005;
inline constexpr std::uint16_t kFormula = 0x0006;  // BIFF2, and BIFF5 and later
inline constexpr std::uint16_t kString2 = 0x0007;
inline constexpr std::uint16_t kBof2 = 0x0009;
inline constexpr std::uint16_t kEof = 0x000A;
inline constexpr std::uint16_t kExternCount = 0x0016;
inline constexpr std::uint16_t kExternSheet = 0x0017;
inline constexpr std::uint16_t kName = 0x0018;
inline constexpr std::uint16_t kNote = 0x001C;
inline constexpr std::uint16_t kFormat2 = 0x001E;  // FORMAT of BIFF2 to BIFF4
inline constexpr std::uint16_t kDateMode = 0x0022;  // DATEMODE (1904)
inline constexpr std::uint16_t kExternName = 0x0023;
inline constexpr std::uint16_t kFilePass = 0x002F;
inline constexpr std::uint16_t kFont = 0x0031;
inline constexpr std::uint16_t kContinue = 0x003C;
inline constexpr std::uint16_t kWindow1 = 0x003D;
inline constexpr std::uint16_t kCodePage = 0x0042;
inline constexpr std::uint16_t kDefColWidth = 0x0055;
inline constexpr std::uint16_t kObj = 0x005D;
inline constexpr std::uint16_t kBoundSheet = 0x0085;
inline constexpr std::uint16_t kCountry = 0x008C;
inline constexpr std::uint16_t kPalette = 0x0092;
inline constexpr std::uint16_t kMulRk = 0x00BD;
inline constexpr std::uint16_t kMulBlank = 0x00BE;
inline constexpr std::uint16_t kObjProj = 0x00D3;
inline constexpr std::uint16_t kRString = 0x00D6;
inline constexpr std::uint16_t kDbCell = 0x00D7;
inline constexpr std::uint16_t kXf = 0x00E0;
inline constexpr std::uint16_t kMsoDrawingGroup = 0x00EB;
inline constexpr std::uint16_t kMsoDrawing = 0x00EC;
// The record type the mending writes over damage: defined by no version of the format, so
// readers pass over it.
inline constexpr std::uint16_t kFillerRecord = 0x00EE;
inline constexpr std::uint16_t kSst = 0x00FC;
inline constexpr std::uint16_t kLabelSst = 0x00FD;
inline constexpr std::uint16_t kExtSst = 0x00FF;
inline constexpr std::uint16_t kSupBook = 0x01AE;
inline constexpr std::uint16_t kTxo = 0x01B6;
inline constexpr std::uint16_t kCodeName = 0x01BA;
inline constexpr std::uint16_t kDimensions = 0x0200;
inline constexpr std::uint16_t kBlank = 0x0201;
inline constexpr std::uint16_t kNumber = 0x0203;
inline constexpr std::uint16_t kLabel = 0x0204;
inline constexpr std::uint16_t kBoolErr = 0x0205;
inline constexpr std::uint16_t kFormula3 = 0x0206;
inline constexpr std::uint16_t kString = 0x0207;
inline constexpr std::uint16_t kRow = 0x0208;
inline constexpr std::uint16_t kBof3 = 0x0209;
inline constexpr std::uint16_t kIndex = 0x020B;
inline constexpr std::uint16_t kArray = 0x0221;
inline constexpr std::uint16_t kTable = 0x0236;
inline constexpr std::uint16_t kWindow2 = 0x023E;
inline constexpr std::uint16_t kRk = 0x027E;
inline constexpr std::uint16_t kStyle = 0x0293;
inline constexpr std::uint16_t kFormula4 = 0x0406;
inline constexpr std::uint16_t kBof4 = 0x0409;
inline constexpr std::uint16_t kFormat = 0x041E;
inline constexpr std::uint16_t kSharedFormula = 0x04BC;
inline constexpr std::uint16_t kBof = 0x0809;
inline constexpr std::uint16_t kChart = 0x1002;
inline constexpr std::uint16_t kSiIndex = 0x1065;

// BOF versions and substream types.
inline constexpr std::uint16_t kBiff8Version = 0x0600;
inline constexpr std::uint16_t kBiff5Version = 0x0500;
inline constexpr std::uint16_t kGlobalsSubstream = 0x0005;
inline constexpr std::uint16_t kVbModuleSubstream = 0x0006;
inline constexpr std::uint16_t kWorksheetSubstream = 0x0010;
inline constexpr std::uint16_t kChartSubstream = 0x0020;
inline constexpr std::uint16_t kMacroSubstream = 0x0040;
inline constexpr std::uint16_t kWorkspaceSubstream = 0x0100;
// The substream types writers use.
inline constexpr std::uint16_t kSubstreamTypes[] = {kGlobalsSubstream, kVbModuleSubstream, kWorksheetSubstream,
                                                   kChartSubstream,   kMacroSubstream,    kWorkspaceSubstream};

// Whether a first record of a substream of `kind`, met where `open` substreams are open, begins
// one inside them (a sheet's embedded chart, which ends with an end record of its own before the
// sheet's) rather than one of the outermost level: a sheet holds no substream but charts, and a
// first record of another kind inside one means the one open lost its end. (Readers that skip an
// inner substream up to the next end record, as xlrd does, nest every kind.)
constexpr bool BeginsInsideTheOpenSubstream(std::uint16_t kind, std::size_t open)
{
    return open > 0 && kind == kChartSubstream;
}

// The kind of sheet an entry of the list of sheets (BOUNDSHEET) gives, after the sheet's offset
// and state, for a sheet whose first record is of `kind`: a worksheet (or dialog sheet) 0, a macro
// sheet 1, a chart sheet 2. (A module of Visual Basic, 6, has no substream.)
constexpr std::uint8_t ListedKindOf(std::uint16_t kind)
{
    return kind == kMacroSubstream ? 1 : kind == kChartSubstream ? 2 : 0;
}

// The version a BOF record's version field names, told as readers tell it, by its high byte:
// BIFF8 writes 0x0600, BIFF5 and BIFF7 0x0500, and some programs neither (0x0580, say).
// kBiff8Version or kBiff5Version; 0 for any other.
constexpr std::uint16_t VersionOfBof(std::uint16_t version)
{
    const unsigned high = version >> 8;
    return high == (kBiff8Version >> 8) ? kBiff8Version : high == (kBiff5Version >> 8) ? kBiff5Version : 0;
}

inline constexpr std::size_t kRecordHeaderSize = 4;   // type and body length, 16 bits each
inline constexpr std::uint16_t kMaxRecordBody = 8224;  // the longest record body BIFF8 allows
// Every record type of any version is at most this (charts 0x10xx); below it an unknown type
// may still be a record.
inline constexpr std::uint16_t kHighestRecordType = 0x10FF;
// The range where later versions put the records they added to BIFF8 ("future records"),
// which older readers pass over. (BIFF8's own BOF lies in it too.)
inline constexpr std::uint16_t kFirstFutureRecord = 0x0800;
inline constexpr std::uint16_t kLastFutureRecord = 0x08FF;

// The last column a sheet has (IV): a cell past it is one no writer wrote.
inline constexpr std::uint16_t kLastColumn = 0xFF;

// Whether records of `type` are cells: each begins with the cell's row and column.
constexpr bool IsCellRecord(std::uint16_t type)
{
    switch (type) {
    case kBlank2:
    case kInteger2:
    case kNumber2:
    case kLabel2:
    case kBoolErr2:
    case kFormula:
    case kFormula3:
    case kFormula4:
    case kMulRk:
    case kMulBlank:
    case kRString:
    case kLabelSst:
    case kBlank:
    case kNumber:
    case kLabel:
    case kBoolErr:
    case kRk:
        return true;
    default:
        return false;
    }
}

// Whether `type` is one of the records only a chart's substream holds (a chart sheet's or one
// embedded in a worksheet).
constexpr bool IsChartRecord(std::uint16_t type)
{
    return type >= 0x1001 && type <= kHighestRecordType;
}

// Records only a sheet holds: cells, rows, the sheet's dimensions, window and row index.
constexpr bool IsSheetRecord(std::uint16_t type)
{
    return IsCellRecord(type) || type == kRow || type == kDimensions || type == kWindow2 || type == kDbCell || type == kIndex;
}

// Records only the workbook's globals hold: the list of sheets, shared strings, fonts, cell
// styles, formats, names, external references, code page, country, palette, drawings.
constexpr bool IsGlobalsRecord(std::uint16_t type)
{
    switch (type) {
    case kBoundSheet: case kSst: case kExtSst: case kFont: case kXf: case kFormat: case kStyle:
    case kName: case kExternSheet: case kSupBook: case kCodePage: case kCountry: case kPalette: case kMsoDrawingGroup:
        return true;
    default:
        return false;
    }
}

// The globals' records that no worksheet holds of its own: some writers give a sheet a code page
// and a country record as well, and a BIFF5 sheet has its own list of external sheets.
constexpr bool IsGlobalsOnlyRecord(std::uint16_t type, bool biff8)
{
    return IsGlobalsRecord(type) && type != kCodePage && type != kCountry && (biff8 || type != kExternSheet);
}

// Whether `type` is the BOF record of one of BIFF2 to BIFF8.
constexpr bool IsBofType(std::uint16_t type)
{
    return type == kBof || type == kBof4 || type == kBof3 || type == kBof2;
}

// Whether `type` begins a substream of `stream`: the BOF of any version in a stream of BIFF2 to
// BIFF4 (or one whose start is gone), only BIFF5's and BIFF8's in a stream that begins with
// theirs. No writer puts an older BOF there, and a BLANK or ROW with one bit flipped looks
// like one.
bool IsBofIn(std::span<const std::uint8_t> stream, std::uint16_t type);

// Whether records of `type` hold a cell in BIFF2's layout, whatever the stream's version: a
// 3-byte cell attribute (the XF index in the low six bits of its first byte) after the row
// and column, where later types have a 2-byte XF index.
constexpr bool HasCellAttributes(std::uint16_t type)
{
    return type >= kBlank2 && type <= kBoolErr2;
}

// The stream a workbook is kept in: "Workbook" (BIFF8), or "Book" (BIFF5 and older), in that
// order of preference. Readers take either name in any case of its letters.
inline constexpr std::u16string_view kWorkbookStreamNames[] = {u"Workbook", u"Book"};

// Whether `name` is one of kWorkbookStreamNames, letters' case aside.
bool IsWorkbookStreamName(std::u16string_view name);

// The one of kWorkbookStreamNames that `name` is a single changed bit away from (in one unit),
// letters' case aside; none where it is no such name, or one already.
std::optional<std::u16string_view> WorkbookStreamNameOneBitAway(std::u16string_view name);

// Of `count` entries, the workbook stream readers take: the first named "Workbook", else the
// first named "Book" (letters' case aside). `rootStreamName(i)` gives entry i's name where it
// is a stream directly under the root, and nothing otherwise.
template <class RootStreamName>
std::optional<std::size_t> FindWorkbookStream(std::size_t count, const RootStreamName& rootStreamName)
{
    for (const std::u16string_view name : kWorkbookStreamNames) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::optional<std::u16string_view> own = rootStreamName(i);
            if (own && EqualIgnoringAsciiCase(*own, name))
                return i;
        }
    }
    return std::nullopt;
}

}  // namespace biff

struct BiffRecord {
    std::uint32_t offset;  // of the 4-byte record header
    std::uint16_t type;
    std::uint16_t length;  // of the body that follows the header
};

// One table of the record types of BIFF2 to BIFF8 and the lengths each can have, for every
// version at once, since readers take the older types in any version's stream. It comes from
// the published record layouts and is checked against real workbooks; a few records and
// lengths written by other programs but not in the documentation are in it as well. It
// answers two questions:
//
// Whether a record of `type` and `length` is one readers take: any of the table's.
inline bool KnownRecord(std::uint16_t type, std::uint16_t length);
// Whether the record at `offset`, whose body the stream holds, is one to take in a walk: a
// plausible record, or a known one that the stream's end or a plausible record follows, or two
// more known ones do (the chain of records holds there).
bool KnownInChain(std::span<const std::uint8_t> stream, std::size_t offset);
// Whether it is evidence that records go on where it lies: the table's records but those that
// only BIFF2 to BIFF4 define (types and lengths) and those seen in one workbook only. Where the
// chain of records breaks, the row and column that begin every later cell look like the
// header of one of those (a cell in row 0, column 9 like a BIFF2 DIMENSIONS of 9 bytes), so
// that the walk, the check, the mending and the salvage go on only at plausible records.
inline bool PlausibleRecord(std::uint16_t type, std::uint16_t length);

// (Both are asked of every record of every walk: for the types and lengths most records have,
// every cell record's and row's among them, the answers are bits worked out as the program is
// built, read here without a call.)
namespace record_fit {
inline constexpr std::size_t kTypes = 0x300;
inline constexpr std::size_t kLengths = 64;
inline constexpr std::size_t kWords = kTypes * kLengths / 64;
extern const std::array<std::uint64_t, kWords> kPlausible;
extern const std::array<std::uint64_t, kWords> kKnown;
bool PlausibleBeyond(std::uint16_t type, std::uint16_t length);
bool KnownBeyond(std::uint16_t type, std::uint16_t length);
inline bool Bit(const std::array<std::uint64_t, kWords>& bits, std::uint16_t type, std::uint16_t length)
{
    const std::size_t bit = std::size_t{type} * kLengths + length;
    return (bits[bit / 64] >> (bit % 64)) & 1;
}
}  // namespace record_fit

inline bool PlausibleRecord(std::uint16_t type, std::uint16_t length)
{
    if (type < record_fit::kTypes && length < record_fit::kLengths)
        return record_fit::Bit(record_fit::kPlausible, type, length);
    return record_fit::PlausibleBeyond(type, length);
}

inline bool KnownRecord(std::uint16_t type, std::uint16_t length)
{
    if (type < record_fit::kTypes && length < record_fit::kLengths)
        return record_fit::Bit(record_fit::kKnown, type, length);
    return record_fit::KnownBeyond(type, length);
}

// The record whose header is at `offset`, or nothing when its header or body runs past the
// end of the stream.
std::optional<BiffRecord> RecordAt(std::span<const std::uint8_t> stream, std::uint32_t offset);

// The body of a record of `stream`. (Inline: a record handed to a call by reference is put
// together in memory, which stalls a walk that asks it of every record.)
inline std::span<const std::uint8_t> RecordBody(std::span<const std::uint8_t> stream, const BiffRecord& record)
{
    return stream.subspan(record.offset + biff::kRecordHeaderSize, record.length);
}

// Record after record from a start offset. A record is taken when KnownInChain, or when its
// type and length are within what any record has and a plausible record follows it (a record
// type this reader does not know). Anything else is a break in the chain, and the
// walk goes on where records make sense again: of the places within a window past the break
// where a plausible record follows another, the one that starts the weightiest chain of
// plausible records (records whose type allows few lengths weigh more), the first of equals.
// Copies walk on independently; the work stays in proportion to the stream however often the
// chain breaks.
class RecordCursor {
public:
    using Bytes = std::span<const std::uint8_t>;

    RecordCursor(Bytes stream, std::size_t from) : stream_(stream), position_(from) {}

    // The next record, or nothing at the end of the stream. (Asked of every record of every
    // reading: a plausible record that is no BOF is taken without a call.)
    std::optional<BiffRecord> Next()
    {
        if (position_ + biff::kRecordHeaderSize <= stream_.size() && position_ <= std::numeric_limits<std::uint32_t>::max()) {
            const std::uint16_t type = LoadLe16(stream_.data() + position_);
            const std::uint16_t length = LoadLe16(stream_.data() + position_ + 2);
            if (length <= stream_.size() - position_ - biff::kRecordHeaderSize && PlausibleRecord(type, length) && !biff::IsBofType(type)) {
                const BiffRecord record{static_cast<std::uint32_t>(position_), type, length};
                position_ += biff::kRecordHeaderSize + length;
                return record;
            }
        }
        return NextUncommon();
    }
    // Whether the walk went past a break in the chain.
    bool Resynchronised() const { return resynchronised_; }
    // The record Next would give, without moving on.
    std::optional<BiffRecord> Peek() const;
    // The bodies of the records after the current one while they are CONTINUE records: the
    // cursor stays on the last of them.
    std::vector<Bytes> Continuations();

private:
    struct ChainWeights;

    // Next past its common case.
    std::optional<BiffRecord> NextUncommon();
    std::optional<std::size_t> PlausibleEnd(std::size_t offset) const;
    std::uint32_t Weight(std::size_t offset) const;
    std::size_t Resynchronise(std::size_t from);
    const ChainWeights& Weights(std::size_t first);

    Bytes stream_;
    std::size_t position_;
    bool resynchronised_ = false;
    // Depends on the stream only, so that copies of the cursor share it.
    std::shared_ptr<ChainWeights> weights_;
};

// The records of the stream in order, as a RecordCursor from offset 0 gives them. Bytes no
// record covers (padding after the last one, damaged stretches) are left out.
std::vector<BiffRecord> ListRecords(std::span<const std::uint8_t> stream);

// A BOF record: the BIFF version it starts (8, 5, 4, 3 or 2) and its substream type.
struct Bof {
    int biff = 0;
    std::uint16_t substream = 0;
};

// The BOF `record` is, or nothing for another record (IsBofIn) or one too short. The BIFF2 to BIFF4
// types tell their version; BIFF5 and BIFF8 share a type and are told apart by the version
// field's high byte, as readers tell them, and by the record's length when it says neither.
std::optional<Bof> ParseBof(std::span<const std::uint8_t> stream, const BiffRecord& record);
// The BOF record at `offset`, or nothing.
std::optional<Bof> BofAt(std::span<const std::uint8_t> stream, std::size_t offset);

}  // namespace tabulon
