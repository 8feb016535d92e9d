// The realign walk over the workbook stream's records, from its first BOF to its end: where each
// record's header lies once the places in the body before it acted, what proves which places
// acted (the records after it, a cell's own fields; the string table read whole, in
// realign_strings.cpp), and the way into and out of a run that goes back along the file (see
// realign_walk.h).
#include <algorithm>

#include "engine/base/byte_order.h"
#include "engine/biff/records.h"
#include "engine/repair/realign/realign_walk.h"

namespace tabulon::realigning {
namespace {

// Whether records of `type` hold what a reader shows of the cells (their values, the shared
// strings, the sheets, the formats and code page that tell how values read): in them the places
// must be proven one by one. In the others (pictures, drawings, charts, names, fonts, views) a
// choice among equal places changes no cell.
bool HoldsValues(std::uint16_t type)
{
    using namespace biff;
    switch (type) {
    case kSst:
    case kString:
    case kString2:
    case kBoundSheet:
    case kFormat:
    case kFormat2:  // FORMAT of BIFF2 to BIFF4
    case kXf:
    case kCodePage:
    case kDateMode:
    case kFilePass:
    case kExternSheet:
        return true;
    default:
        return IsCellRecord(type) || IsBofType(type);
    }
}

// Whether a record header reads as one a reader takes: a record the table knows, or any type and
// length a record can have (toolbar, chart and later versions' records the table lacks), which
// readers skip by their length (type 0 too where it has a body: a record some tools blank, such
// as a FILEPASS record after decrypting; four zero bytes are no record). The records after it
// must read too (kLookahead).
bool Readable(std::uint16_t type, std::uint16_t length)
{
    return KnownRecord(type, length) ||
           ((type != 0 || length != 0) && type <= biff::kHighestRecordType && length <= biff::kMaxRecordBody);
}

// What a header must be where a place acted just before it: a record the table knows, or a later
// version's future record (of their range of types), which are many in such workbooks. A header
// read after an undo decides that undo: any type a record can have would decide too easily.
bool ReadableAfterPlace(std::uint16_t type, std::uint16_t length)
{
    return KnownRecord(type, length) ||
           (type >= biff::kFirstFutureRecord && type <= biff::kLastFutureRecord && length <= biff::kMaxRecordBody);
}

// A record of the workbook stream as the walk reads it.
struct Cursor {
    std::uint64_t offset = 0;  // of its header in the stream
    std::uint64_t header = 0;  // where its header begins in the bytes as found
    std::uint64_t body = 0;  // where its body begins there
    std::int64_t shift = 0;  // at its body
    std::uint16_t type = 0;
    std::uint16_t length = 0;
    std::optional<std::uint64_t> inHeader;  // a place that acted inside its header
    int inHeaderRun = 1;  // clusters one after another there
    // A header split between two runs of the stream's sectors: where its first part ends in
    // the bytes as found, the shift there, and where its second part begins.
    struct Split {
        std::uint64_t firstEnd;
        std::int64_t shift;
        std::uint64_t second;
    };
    std::optional<Split> split;
};

using CellKey = std::pair<std::uint16_t, std::uint16_t>;  // row, column

// What the cells read so far say of the next: the last cell's row and column, and the rows
// the ROW records of its block of rows name (empty where the writer wrote none).
struct CellContext {
    std::optional<CellKey> lastCell;
    std::vector<std::uint16_t> rows;
};

// Whether `body` (of a cell record of `type`) gives a cell a writer could have written where it
// stands: its column within a sheet's, after the last cell in row and column order, in a row its
// block's ROW records name, a row of cells (MULRK, MULBLANK) as long as its columns say.
bool CellFits(std::uint16_t type, const Bytes& body, const CellContext& context)
{
    constexpr std::uint16_t kColumns = 256;
    const CellKey key{LoadLe16(body.data()), LoadLe16(body.data() + 2)};
    bool fits = key.second < kColumns && (!context.lastCell || key > *context.lastCell) &&
                (context.rows.empty() || std::find(context.rows.begin(), context.rows.end(), key.first) != context.rows.end());
    if (fits && (type == biff::kMulRk || type == biff::kMulBlank)) {
        const std::uint16_t lastColumn = LoadLe16(body.data() + body.size() - 2);
        const std::size_t each = type == biff::kMulRk ? 6 : 2;
        fits = body.size() >= 6 && lastColumn < kColumns && lastColumn >= key.second && (body.size() - 6) % each == 0 &&
               (body.size() - 6) / each == std::size_t{lastColumn} - key.second + 1u;
    }
    return fits;
}

// The workbook stream's records read on the grid: where a record's header lies once places acted
// before it, and whether the records after it read.
struct RecordReader {
    // Where the places of a record's body begin, for PlacesIn: a CR lost at its very first byte
    // (a row or column of 2,573, 0x0A0D, begins many bodies with CR LF) is one of them, unless
    // the header's last byte was that place already.
    std::uint64_t BodyFrom(const Cursor& record) const
    {
        if (grid.move == Move::LostCr && record.inHeader && *record.inHeader == record.body)
            return record.body;
        return record.body - 1;
    }
    // How many places may act in a record's body: those there are, up to kMostInOneRecord.
    int MostIn(const Cursor& record) const
    {
        if (grid.move == Move::LostCr)
            return static_cast<int>(
                std::min<std::size_t>(grid.PlacesIn(BodyFrom(record), record.body + record.length), kMostInOneRecord));
        // Each cluster taken out brings the next 4096 bytes into the record's reach.
        int k = 0;
        while (k < kMostInOneRecord &&
            grid.PlacesIn(record.body - 1, record.body + record.length + kClusterSize * static_cast<std::uint64_t>(k + 1)) >
                static_cast<std::size_t>(k))
            ++k;
        return k;
    }
    bool Place(std::uint64_t from, std::int64_t shiftFrom, std::uint64_t to, std::int64_t shiftTo,
               std::vector<std::uint64_t>* into, std::vector<OpenChoice>* open = nullptr) const
    {
        return realigning::Place(grid, tables, from, shiftFrom, to, shiftTo, into, open);
    }
    // The next record with `inBody` places acted in `record`'s body; `inHeader` one inside its
    // header; `jump` places jumped over: in the sectors between when its header is split between
    // two runs, or further clusters right after one inside its header.
    std::optional<Cursor> Next(const Cursor& record, int inBody, std::optional<std::uint64_t> inHeader, int jump = 0) const;
    std::vector<std::uint64_t> HeaderPlaces(const Cursor& record, int inBody) const;
    bool Check(const Cursor& record, int depth) const;
    std::optional<Cursor> ChooseNext(const Cursor& record, int most, bool splitHeader) const;
    Bytes BodyWith(const Cursor& record, std::uint64_t end, const std::vector<std::uint64_t>& places) const;
    std::optional<std::vector<std::uint64_t>> OnlyCellReading(
        const Cursor& record, std::uint64_t end, std::size_t acting, const CellContext& context) const;

    const Grid& grid;
    const Tables& tables;
    const StreamChain& chain;
};

// The record after `record`, its header read with `inBody` places acted on in `record`'s body
// and, when `inHeader` is set, one more at that place inside the header itself (a CR among its
// four bytes, a cluster that begins inside them). Nothing when the places are not there, or the
// header is none a reader takes.
std::optional<Cursor> RecordReader::Next(const Cursor& record, int inBody, std::optional<std::uint64_t> inHeader, int jump) const
{
    const std::uint64_t offset = record.offset + biff::kRecordHeaderSize + record.length;
    if (offset + biff::kRecordHeaderSize > chain.size)
        return std::nullopt;
    const bool split = !chain.HeaderInOneRun(offset);
    if (split ? inHeader.has_value() : jump != 0 && !(inHeader && grid.move == Move::ForeignCluster))
        return std::nullopt;
    const auto b = grid.bytes;
    Cursor next;
    next.offset = offset;
    next.shift = record.shift + inBody * grid.step;
    const std::int64_t at = static_cast<std::int64_t>(chain.InFile(offset)) - next.shift;
    if (at < 0)
        return std::nullopt;
    next.header = static_cast<std::uint64_t>(at);
    const std::uint64_t bodyFrom = BodyFrom(record);
    if (!Place(bodyFrom, record.shift, next.header, next.shift, nullptr))
        return std::nullopt;
    std::uint8_t header[biff::kRecordHeaderSize];
    if (split) {
        // The first bytes at the end of one run, the rest at the start of the next, the places in
        // the sectors between (other streams', the table's) deciding the shift there.
        const std::uint64_t k = chain.unit - offset % chain.unit;
        const std::int64_t shift = next.shift + jump * grid.step;
        const std::int64_t second = static_cast<std::int64_t>(chain.InFile(offset + k)) - shift;
        if (k == 0 || k >= biff::kRecordHeaderSize || second < 0 || !grid.Inside(next.header, k) ||
            !grid.Inside(static_cast<std::uint64_t>(second), biff::kRecordHeaderSize - k) ||
            !Place(next.header + k - 1, next.shift, static_cast<std::uint64_t>(second), shift, nullptr))
            return std::nullopt;
        for (std::uint64_t i = 0; i < biff::kRecordHeaderSize; ++i)
            header[i] = i < k ? b[next.header + i] : b[static_cast<std::uint64_t>(second) + i - k];
        next.split = Cursor::Split{next.header + k - 1, next.shift, static_cast<std::uint64_t>(second)};
        next.body = static_cast<std::uint64_t>(second) + biff::kRecordHeaderSize - k;
        next.shift = shift;
    } else if (!inHeader) {
        if (!grid.Inside(next.header, biff::kRecordHeaderSize))
            return std::nullopt;
        std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(next.header), biff::kRecordHeaderSize, header);
        next.body = next.header + biff::kRecordHeaderSize;
    } else {
        const std::uint64_t k = *inHeader - next.header;  // the place's byte in the header
        if (grid.move == Move::LostCr) {
            if (k > 3 || !grid.Inside(next.header, 3))
                return std::nullopt;
            for (std::uint64_t i = 0, from = next.header; i < biff::kRecordHeaderSize; ++i)
                header[i] = i == k ? kCr : b[from++];
            next.body = next.header + 3;
        } else {
            const std::uint64_t resume = *inHeader + kClusterSize * static_cast<std::uint64_t>(1 + jump);
            if (k == 0 || k > 3 || !grid.Inside(next.header, k) || !grid.Inside(resume, 4 - k))
                return std::nullopt;
            next.inHeaderRun = 1 + jump;
            for (std::uint64_t i = 0; i < biff::kRecordHeaderSize; ++i)
                header[i] = i < k ? b[next.header + i] : b[resume + i - k];
            next.body = resume + 4 - k;
        }
        next.shift += grid.step * next.inHeaderRun;
        next.inHeader = inHeader;
    }
    next.type = LoadLe16(header);
    next.length = LoadLe16(header + 2);
    const bool afterPlace = inBody > 0 || inHeader || jump > 0;
    if (afterPlace ? !ReadableAfterPlace(next.type, next.length) : !Readable(next.type, next.length))
        return std::nullopt;
    return next;
}

// The places that may lie in the next record's header once `inBody` act in `record`'s body.
std::vector<std::uint64_t> RecordReader::HeaderPlaces(const Cursor& record, int inBody) const
{
    std::vector<std::uint64_t> found;
    const std::uint64_t offset = record.offset + biff::kRecordHeaderSize + record.length;
    if (offset >= chain.size)
        return found;
    const std::int64_t at = static_cast<std::int64_t>(chain.InFile(offset)) - (record.shift + inBody * grid.step);
    if (at < 0)
        return found;
    const std::uint64_t header = static_cast<std::uint64_t>(at);
    auto place = std::lower_bound(grid.places.begin(), grid.places.end(), header);
    for (; place != grid.places.end() && *place <= header + 3; ++place)
        found.push_back(*place);
    return found;
}

// Whether the records after `record` read, to `depth` records, allowing for places among them.
bool RecordReader::Check(const Cursor& record, int depth) const
{
    if (!grid.Spend())
        return false;
    const std::uint64_t offset = record.offset + biff::kRecordHeaderSize + record.length;
    if (depth == 0 || offset + biff::kRecordHeaderSize > chain.size || !chain.HeaderInOneRun(offset) ||
        chain.RunOf(offset) != chain.RunOf(record.offset))
        return true;
    const int most = MostIn(record);
    for (int j = 0; j <= most; ++j) {
        if (const std::optional<Cursor> next = Next(record, j, std::nullopt); next && Check(*next, depth - 1))
            return true;
        for (std::uint64_t place : HeaderPlaces(record, j))
            for (int run = 0; run < (grid.move == Move::ForeignCluster ? 2 : 1); ++run)
                if (const std::optional<Cursor> next = Next(record, j, place, run); next && Check(*next, depth - 1))
                    return true;
    }
    // Past a substream's EOF the stream may hold whatever its writer left (zeros, mostly).
    return record.type == biff::kEof;
}

// The record after `record` that the records after it prove, with up to `most` places in its
// body. A next record the table knows outweighs one it does not: a header of any type and length
// reads almost anywhere (a row of 2,573 begins with CR LF; without its CR, the next header read
// one byte early is some type a reader would skip).
std::optional<Cursor> RecordReader::ChooseNext(const Cursor& record, int most, bool splitHeader) const
{
    for (int pass = 0; pass < 2; ++pass) {
        const auto fits = [&](const std::optional<Cursor>& next) {
            return next && (pass == 1 || KnownRecord(next->type, next->length)) && Check(*next, kLookahead);
        };
        for (int j = 0; j <= most; ++j) {
            for (int jump = 0; jump <= (splitHeader ? 2 * kMostInOneRecord : 0); ++jump)
                if (std::optional<Cursor> next = Next(record, j, std::nullopt, jump); fits(next))
                    return next;
            for (std::uint64_t place : HeaderPlaces(record, j))
                for (int run = 0; run < (grid.move == Move::ForeignCluster ? 2 : 1); ++run)
                    if (std::optional<Cursor> next = Next(record, j, place, run); fits(next))
                        return next;
        }
    }
    return std::nullopt;
}

// The body of `record`, which ends where the bytes as found reach `end`, with a CR put back before
// each of `places` (sorted, each in the body or at `end`).
Bytes RecordReader::BodyWith(const Cursor& record, std::uint64_t end, const std::vector<std::uint64_t>& places) const
{
    const auto b = grid.bytes;
    Bytes body;
    if (end < record.body || end > b.size())
        return body;
    body.reserve(static_cast<std::size_t>(end - record.body + places.size()));
    std::uint64_t from = record.body;
    for (std::uint64_t at : places) {
        if (at < from || at > end)
            return {};
        body.insert(body.end(), b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(at));
        body.push_back(kCr);
        from = at;
    }
    body.insert(body.end(), b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(end));
    return body;
}

// Of the ways `acting` of the places in a cell record's body can have lost their CRs, the one way
// that gives a cell a writer could have written where it stands (CellFits). Nothing where none or
// more than one does (blank cells aside, whose readings may differ in their formats).
std::optional<std::vector<std::uint64_t>> RecordReader::OnlyCellReading(
    const Cursor& record, std::uint64_t end, std::size_t acting, const CellContext& context) const
{
    constexpr std::uint64_t kMostReadings = 256;
    if (grid.move != Move::LostCr || !biff::IsCellRecord(record.type) || record.length < 4)
        return std::nullopt;
    const auto first = std::upper_bound(grid.places.begin(), grid.places.end(), BodyFrom(record));
    const auto last = std::upper_bound(grid.places.begin(), grid.places.end(), end);
    const std::vector<std::uint64_t> places(first, last);
    if (acting == 0 || acting > places.size())
        return std::nullopt;
    std::uint64_t readings = 1;  // how many ways there are to choose
    for (std::size_t k = 0; k < acting; ++k) {
        readings = readings * (places.size() - k) / (k + 1);
        if (readings > kMostReadings)
            return std::nullopt;
    }
    std::optional<std::vector<std::uint64_t>> found;
    CellKey foundKey;
    std::uint16_t foundLast = 0;
    bool proven = true;
    ForEachChoice(places.size(), acting, [&](const std::vector<std::size_t>& index) {
        if (!grid.Spend())
            return proven = false;
        std::vector<std::uint64_t> picked;
        for (std::size_t k : index)
            picked.push_back(places[k]);
        const Bytes body = BodyWith(record, end, picked);
        if (body.size() != record.length || !CellFits(record.type, body, context))
            return true;
        // Blank cells hold no value: readings that differ only in their formats, not in where the
        // cells are, put the same cells back.
        const CellKey key{LoadLe16(body.data()), LoadLe16(body.data() + 2)};
        const bool blank = record.type == biff::kMulBlank || record.type == biff::kBlank;
        const std::uint16_t lastColumn = LoadLe16(body.data() + body.size() - 2);
        if (found && !(blank && foundKey == key && foundLast == lastColumn))
            return proven = false;
        if (!found) {
            found = std::move(picked);
            foundKey = key;
            foundLast = lastColumn;
        }
        return true;
    });
    return proven ? found : std::nullopt;
}

// The detour's progress as the walk goes into its run and back out.
struct DetourProgress {
    std::int64_t firstShift = 0;  // at the first run's start (the stream's first record)
    std::int64_t endShift = 0;    // at the first run's end, as the walk left it
    std::uint64_t firstEnd = 0;   // where the first run ends in the bytes as found
    bool entered = false;
    bool left = false;
};

// One step into the detour's run or out of it: the record's body up to where its run ends, and
// the next header from where the run it lies in begins, each with its own count of places.
struct DetourLeg {
    std::uint64_t endAt = 0;       // where the record's run ends in the file
    std::int64_t resumeShift = 0;  // at the start of what the next header's run continues
    std::uint64_t resumeFrom = 0;  // places after this one count toward the next header
    std::vector<std::int64_t> endShifts;  // the shifts the record's run may end under
};

// A record's body as the next record's header bounds it.
struct Body {
    std::uint64_t from = 0;  // where its places begin (BodyFrom)
    std::int64_t shift = 0;  // at its end
    std::size_t acting = 0;  // places that acted in it
};

// The walk over the workbook stream's records, from its first BOF to its end: the places it
// decides, and what it carries from one record to the next.
class RecordWalk {
public:
    RecordWalk(const Grid& grid, const Tables& tables, const StreamChain& chain) : reader_{grid, tables, chain}
    {
        if (chain.detour)
            detour_.emplace();
    }

    bool Walk();
    WalkedRecords walked;

private:
    std::optional<Cursor> FirstRecord();
    bool Detouring(const Cursor& record, std::uint64_t offset) const;
    void NoteDetoured(const Cursor& record, bool holdsValues);
    bool StreamEndsAfter(const Cursor& record, std::uint64_t offset) const;
    Body BodyBefore(const Cursor& record, const Cursor& next) const;
    bool TakeBody(const Cursor& record, const Cursor& next, bool sameRun, bool holdsValues);
    bool TakeDoubtfulBody(const Cursor& record, const Cursor& next, const Body& body, bool sameRun, bool inStringTable,
                          bool& leftOut);
    void NoteCells(const Cursor& record, const Cursor& next, bool sameRun, bool leftOut, std::size_t before);
    void TakeHeader(const Cursor& next);
    bool EndWalk(const Cursor& record);
    std::optional<Cursor> DetourStep(const Cursor& record, std::uint64_t offset, bool holdsValues);
    std::optional<DetourLeg> LegOf(const Cursor& record, std::uint64_t offset, std::uint64_t split) const;
    std::optional<std::pair<Cursor, std::int64_t>> HeaderAcross(
        const Cursor& record, std::uint64_t offset, std::uint64_t split, std::uint64_t bodyFrom, const DetourLeg& leg) const;
    std::optional<Cursor> HeaderResumed(std::uint64_t offset, std::uint64_t split, const DetourLeg& leg,
                                        std::uint64_t endFound, std::int64_t shiftAtEnd, int pass) const;
    bool InDoubt(std::uint64_t from, std::uint64_t to, std::int64_t shiftFrom, std::int64_t shiftTo) const;
    void TakeLeg(const Cursor& record, const Cursor& next, const DetourLeg& leg, std::uint64_t bodyFrom,
                 std::uint64_t endFound, std::int64_t endShift);

    RecordReader reader_;
    std::optional<DetourProgress> detour_;  // where the chain has a detour
    bool continuesValues_ = false;  // the last record before CONTINUE records holds values
    bool continuesStrings_ = false;  // it is the string table
    CellContext cells_;
    std::uint16_t lastType_ = 0;
};

// Walks the records from the stream's first to its end, each record's places decided once the
// next is chosen; false where no next record reads, or which places acted is not proved.
bool RecordWalk::Walk()
{
    std::optional<Cursor> first = FirstRecord();
    if (!first)
        return false;
    Cursor record = *first;
    const StreamChain& chain = reader_.chain;
    for (;;) {
        const std::uint64_t offset = record.offset + biff::kRecordHeaderSize + record.length;
        if (offset + biff::kRecordHeaderSize > chain.size)
            break;
        const bool sameRun = chain.RunOf(offset) == chain.RunOf(record.offset);
        const bool holdsValues = record.type == biff::kContinue ? continuesValues_ : HoldsValues(record.type);
        // Into the detour's run or out of it: its own steps.
        if (Detouring(record, offset)) {
            const std::optional<Cursor> next = DetourStep(record, offset, holdsValues);
            if (!next)
                return false;
            NoteDetoured(record, holdsValues);
            record = *next;
            continue;
        }
        const int most = sameRun ? reader_.MostIn(record) : 2 * kMostInOneRecord;
        const std::optional<Cursor> chosen = reader_.ChooseNext(record, most, !chain.HeaderInOneRun(offset));
        if (!chosen) {
            if (StreamEndsAfter(record, offset))
                break;
            return false;
        }
        if (!TakeBody(record, *chosen, sameRun, holdsValues))
            return false;
        TakeHeader(*chosen);
        record = *chosen;
    }
    return EndWalk(record);
}

// Where the stream begins: its first record is a BOF, and the records after it read.
std::optional<Cursor> RecordWalk::FirstRecord()
{
    const Grid& grid = reader_.grid;
    const std::uint64_t done = walked.done;
    const std::int64_t shift = walked.shift;
    const std::uint64_t inFile = reader_.chain.InFile(0);
    for (int k = 0; k <= 64; ++k) {
        const std::int64_t to = shift + k * grid.step;
        const std::int64_t at = static_cast<std::int64_t>(inFile) - to;
        if (at < 0 || !grid.Inside(static_cast<std::uint64_t>(at), biff::kRecordHeaderSize) ||
            !reader_.Place(done, shift, static_cast<std::uint64_t>(at), to, nullptr))
            continue;
        Cursor first;
        first.header = static_cast<std::uint64_t>(at);
        first.body = first.header + biff::kRecordHeaderSize;
        first.shift = to;
        first.type = LoadLe16(grid.bytes.data() + first.header);
        first.length = LoadLe16(grid.bytes.data() + first.header + 2);
        if (!biff::IsBofType(first.type) || !Readable(first.type, first.length) || !reader_.Check(first, kLookahead))
            continue;
        reader_.Place(done, shift, first.header, to, &walked.acted,
                      grid.move == Move::ForeignCluster ? &walked.choicesBefore : nullptr);
        if (detour_)
            detour_->firstShift = to;
        return first;
    }
    return std::nullopt;
}

// Whether the next record's header lies across the detour's way in or out. (By the header's last
// byte: a header split between the runs is one of these steps.)
bool RecordWalk::Detouring(const Cursor& record, std::uint64_t offset) const
{
    if (!detour_ || detour_->left)
        return false;
    const StreamChain& chain = reader_.chain;
    const std::size_t run = chain.detour->run;
    const std::size_t nextRun = chain.RunOf(std::min(offset + biff::kRecordHeaderSize - 1, chain.size - 1));
    return detour_->entered ? chain.RunOf(record.offset) == run && nextRun != run : nextRun >= run;
}

// What a record the walk stepped past into or out of the detour tells the records after it.
void RecordWalk::NoteDetoured(const Cursor& record, bool holdsValues)
{
    if (record.type != biff::kContinue) {
        continuesValues_ = holdsValues;
        continuesStrings_ = record.type == biff::kSst;
    }
    if (record.type == biff::kLabelSst)
        walked.sharedStringCells.push_back(record.header);
    if (biff::IsBofType(record.type))
        cells_ = {};
    lastType_ = record.type;
}

// Whether the stream may end after `record`, where no next record reads: past the last
// substream's EOF the stream may hold whatever its writer left, and the stream's last sector may
// hold bytes past its last record where no place lies (no CR lost, no cluster begun before the
// stream's end).
bool RecordWalk::StreamEndsAfter(const Cursor& record, std::uint64_t offset) const
{
    if (record.type == biff::kEof && !reader_.Next(record, 0, std::nullopt))
        return true;
    const Grid& grid = reader_.grid;
    const StreamChain& chain = reader_.chain;
    const std::uint64_t streamEnd = chain.InFile(chain.size - 1) + 1;
    const std::int64_t endAt = static_cast<std::int64_t>(streamEnd) - record.shift;
    const std::uint64_t reach = static_cast<std::uint64_t>(endAt) + (grid.move == Move::ForeignCluster ? kClusterSize : 0);
    return chain.RunOf(offset) + 1 == chain.runs.size() && endAt > 0 &&
           grid.PlacesIn(reader_.BodyFrom(record), std::min<std::uint64_t>(reach, grid.bytes.size())) == 0;
}

// `record`'s body as `next` bounds it: the shift at its end is the next header's, less the
// places inside that header.
Body RecordWalk::BodyBefore(const Cursor& record, const Cursor& next) const
{
    const std::int64_t step = reader_.grid.step;
    Body body;
    body.from = reader_.BodyFrom(record);
    body.shift = next.split ? next.split->shift : next.shift - (next.inHeader ? step * next.inHeaderRun : 0);
    body.acting = static_cast<std::size_t>((body.shift - record.shift) / step);
    return body;
}

// Takes the places that acted in `record`'s body, now that `next` says how many. The records
// prove how many places acted in a body, never which of more: in a record holding values, where
// more could have, the choice must be proved (TakeDoubtfulBody). False where it cannot be.
bool RecordWalk::TakeBody(const Cursor& record, const Cursor& next, bool sameRun, bool holdsValues)
{
    const Body body = BodyBefore(record, next);
    if (record.type != biff::kContinue)
        continuesValues_ = holdsValues;
    const std::size_t before = walked.acted.size();
    bool leftOut = false;  // (its fields, not proved, tell the cells after it nothing)
    const bool inStringTable = record.type == biff::kSst || (record.type == biff::kContinue && continuesStrings_);
    if (record.type != biff::kContinue)
        continuesStrings_ = record.type == biff::kSst;
    const bool inDoubt = body.acting > 0 && holdsValues &&
                         FreePlaces(reader_.grid, reader_.tables, body.from, next.header, body.acting);
    if (inDoubt) {
        if (!TakeDoubtfulBody(record, next, body, sameRun, inStringTable, leftOut))
            return false;
    } else {
        reader_.Place(body.from, record.shift, next.header, body.shift, &walked.acted);
    }
    if (record.type == biff::kLabelSst && !leftOut)
        walked.sharedStringCells.push_back(record.header);
    NoteCells(record, next, sameRun, leftOut, before);
    lastType_ = record.type;
    return true;
}

// Which of more places acted in a record holding values: in the string table, the whole table
// read again decides, once the walk is through (see SettleStringChoices), each stretch of the
// record between the sectors the stream jumps over a choice of its own; in a cell, only its own
// fields may prove it, where one choice alone gives a cell that follows the one before it. A
// cell nothing proves is left out (`leftOut`), and the walk goes on. False where neither holds.
bool RecordWalk::TakeDoubtfulBody(
    const Cursor& record, const Cursor& next, const Body& body, bool sameRun, bool inStringTable, bool& leftOut)
{
    if (inStringTable)
        return reader_.Place(body.from, record.shift, next.header, body.shift, &walked.acted, &walked.stringChoices);
    const std::optional<std::vector<std::uint64_t>> proven =
        sameRun ? reader_.OnlyCellReading(record, next.header, body.acting, cells_) : std::nullopt;
    if (proven) {
        walked.acted.insert(walked.acted.end(), proven->begin(), proven->end());
        return true;
    }
    if (sameRun && biff::IsCellRecord(record.type) && !record.inHeader && !record.split &&
        walked.leftOut.size() < kMostLeftOut) {
        // The records after it prove how many places acted in it, not which.
        reader_.Place(body.from, record.shift, next.header, body.shift, &walked.acted);
        walked.leftOut.push_back(record.header);
        leftOut = true;
        return true;
    }
    return false;
}

// What a record, its places taken (those from `before` on), tells of the cells after it: a BOF
// starts afresh, a ROW names a row of the block, a cell is the last cell.
void RecordWalk::NoteCells(const Cursor& record, const Cursor& next, bool sameRun, bool leftOut, std::size_t before)
{
    if (biff::IsBofType(record.type)) {
        cells_ = {};
        return;
    }
    if (!((biff::IsCellRecord(record.type) || record.type == biff::kRow) && sameRun &&
          reader_.grid.move == Move::LostCr && !leftOut))
        return;
    const std::vector<std::uint64_t> inBody(walked.acted.begin() + static_cast<std::ptrdiff_t>(before), walked.acted.end());
    const Bytes body = reader_.BodyWith(record, next.header, inBody);
    if (body.size() >= 4 && record.type == biff::kRow) {
        if (lastType_ != biff::kRow)
            cells_.rows.clear();
        cells_.rows.push_back(LoadLe16(body.data()));
    } else if (body.size() >= 4) {
        cells_.lastCell = CellKey{LoadLe16(body.data()), LoadLe16(body.data() + 2)};
    }
}

// Takes the places of `next`'s own header: in the sectors between the two runs it is split
// between, or inside it.
void RecordWalk::TakeHeader(const Cursor& next)
{
    if (next.split)
        reader_.Place(next.split->firstEnd, next.split->shift, next.split->second, next.shift, &walked.acted);
    for (int k = 0; next.inHeader && k < next.inHeaderRun; ++k)
        walked.acted.push_back(*next.inHeader + kClusterSize * static_cast<std::uint64_t>(k));
}

// Where the walk leaves the bytes after its last record. The stream may end in the detour's run:
// the rest of it holds as many places as its end's shift asks, and the walk goes on after the
// first run.
bool RecordWalk::EndWalk(const Cursor& record)
{
    walked.done = record.body + record.length;
    walked.shift = record.shift;
    if (detour_ && detour_->entered && !detour_->left) {
        if (!reader_.Place(walked.done - 1, walked.shift, reader_.chain.RunStartFound(0, detour_->firstShift),
                           detour_->firstShift, &walked.acted))
            return false;
        walked.done = detour_->firstEnd;
        walked.shift = detour_->endShift;
    }
    return true;
}

// The next record's header where the stream goes back into the detour's run (from the first
// run) or out of it (past the first run): its places decided and taken, or nothing where no
// reading fits or which places acted in a record holding values is in doubt.
std::optional<Cursor> RecordWalk::DetourStep(const Cursor& record, std::uint64_t offset, bool holdsValues)
{
    const StreamChain& chain = reader_.chain;
    // The header's bytes before its run ends, where it is split between two runs.
    const std::uint64_t split = chain.HeaderInOneRun(offset) ? 0 : chain.unit - offset % chain.unit;
    const std::uint64_t bodyFrom = reader_.BodyFrom(record);
    const std::optional<DetourLeg> leg = LegOf(record, offset, split);
    if (!leg)
        return std::nullopt;
    const std::optional<std::pair<Cursor, std::int64_t>> found = HeaderAcross(record, offset, split, bodyFrom, *leg);
    if (!found)
        return std::nullopt;
    const auto& [chosen, endShift] = *found;
    // Which places acted in a record holding values, where more lie there than acted, no
    // record after it says.
    const std::uint64_t endFound = static_cast<std::uint64_t>(static_cast<std::int64_t>(leg->endAt) - endShift);
    const std::uint64_t resumeAt = chosen.split ? chosen.split->second : chosen.header;
    if (holdsValues && (InDoubt(bodyFrom, endFound, record.shift, endShift) ||
                        InDoubt(leg->resumeFrom, resumeAt, leg->resumeShift, chosen.shift)))
        return std::nullopt;
    TakeLeg(record, chosen, *leg, bodyFrom, endFound, endShift);
    return chosen;
}

// The leg the walk takes from `record`: into the detour's run from the first run, where the first
// run's end may come after any count of places in the record's body; or out of it, where its end
// is the first run's start, with the shift found there.
std::optional<DetourLeg> RecordWalk::LegOf(const Cursor& record, std::uint64_t offset, std::uint64_t split) const
{
    const StreamChain& chain = reader_.chain;
    const DetourRun& run = *chain.detour;
    DetourLeg leg;
    if (!detour_->entered) {
        if (chain.RunOf(offset + split) != run.run || chain.RunOf(record.offset) != 0)
            return std::nullopt;
        const std::uint64_t firstEnd = chain.runs[0].first + chain.runs[0].count * chain.unit;
        for (int j = 0; j <= 2 * kMostInOneRecord; ++j)
            leg.endShifts.push_back(record.shift + j * reader_.grid.step);
        leg.resumeShift = run.startShift;
        leg.resumeFrom = chain.RunStartFound(run.run, run.startShift) - 1;
        leg.endAt = firstEnd;
    } else {
        leg.endShifts.push_back(detour_->firstShift);
        leg.resumeShift = detour_->endShift;
        leg.resumeFrom = detour_->firstEnd;
        leg.endAt = chain.runs[0].first;
    }
    return leg;
}

// The next record's header across `leg`, a record the table knows first, and the shift at the
// end of the record's run it was read under: the first end shift whose places the record's body
// holds, its bytes before the split holding none.
std::optional<std::pair<Cursor, std::int64_t>> RecordWalk::HeaderAcross(
    const Cursor& record, std::uint64_t offset, std::uint64_t split, std::uint64_t bodyFrom, const DetourLeg& leg) const
{
    const Grid& grid = reader_.grid;
    for (int pass = 0; pass < 2; ++pass) {
        for (const std::int64_t shiftAtEnd : leg.endShifts) {
            if ((shiftAtEnd - record.shift) % grid.step != 0 || (shiftAtEnd - record.shift) / grid.step < 0)
                continue;
            const std::int64_t endFound = static_cast<std::int64_t>(leg.endAt) - shiftAtEnd;
            if (endFound < static_cast<std::int64_t>(split) ||
                !reader_.Place(bodyFrom, record.shift, static_cast<std::uint64_t>(endFound), shiftAtEnd, nullptr) ||
                (split > 0 &&
                 grid.PlacesIn(static_cast<std::uint64_t>(endFound) - split, static_cast<std::uint64_t>(endFound)) > 0))
                continue;
            if (std::optional<Cursor> next =
                    HeaderResumed(offset, split, leg, static_cast<std::uint64_t>(endFound), shiftAtEnd, pass))
                return std::pair{*next, shiftAtEnd};
        }
    }
    return std::nullopt;
}

// The next record's header where its run resumes, its first `split` bytes before `endFound`
// (where the record's run ends under `shiftAtEnd`): the first count of places before it that
// reads, as a record the table knows (pass 0) or any a reader takes (pass 1), the records after
// it reading too.
std::optional<Cursor> RecordWalk::HeaderResumed(std::uint64_t offset, std::uint64_t split, const DetourLeg& leg,
                                                std::uint64_t endFound, std::int64_t shiftAtEnd, int pass) const
{
    const Grid& grid = reader_.grid;
    for (int j = 0; j <= 2 * kMostInOneRecord; ++j) {
        Cursor next;
        next.offset = offset;
        next.shift = leg.resumeShift + j * grid.step;
        const std::int64_t at = static_cast<std::int64_t>(reader_.chain.InFile(offset + split)) - next.shift;
        if (at < 0 || !grid.Inside(static_cast<std::uint64_t>(at), biff::kRecordHeaderSize - split))
            continue;
        if (!reader_.Place(leg.resumeFrom, leg.resumeShift, static_cast<std::uint64_t>(at), next.shift, nullptr))
            continue;
        std::uint8_t header[biff::kRecordHeaderSize];
        const std::uint64_t first = endFound - split;
        for (std::uint64_t i = 0; i < biff::kRecordHeaderSize; ++i)
            header[i] = i < split ? grid.bytes[first + i] : grid.bytes[static_cast<std::uint64_t>(at) + i - split];
        next.header = split > 0 ? first : static_cast<std::uint64_t>(at);
        next.body = static_cast<std::uint64_t>(at) + biff::kRecordHeaderSize - split;
        if (split > 0)
            next.split = Cursor::Split{endFound - 1, shiftAtEnd, static_cast<std::uint64_t>(at)};
        next.type = LoadLe16(header);
        next.length = LoadLe16(header + 2);
        const bool known = KnownRecord(next.type, next.length);
        if ((pass == 0 ? !known : !Readable(next.type, next.length)) || !reader_.Check(next, kLookahead))
            continue;
        return next;
    }
    return std::nullopt;
}

// Whether more places lie in (from, to] than the shifts at its two ends say acted, some acting.
bool RecordWalk::InDoubt(std::uint64_t from, std::uint64_t to, std::int64_t shiftFrom, std::int64_t shiftTo) const
{
    const auto acting = static_cast<std::size_t>((shiftTo - shiftFrom) / reader_.grid.step);
    return acting > 0 && reader_.grid.PlacesIn(from, to) > acting;
}

// Takes the places of a leg: in the record's body up to its run's end (`endFound`, under
// `endShift`), and from where the next header's run resumes. Into the detour's run, the places
// the stream's first record took there go first: its records decide them.
void RecordWalk::TakeLeg(const Cursor& record, const Cursor& next, const DetourLeg& leg, std::uint64_t bodyFrom,
                         std::uint64_t endFound, std::int64_t endShift)
{
    DetourProgress& d = *detour_;
    if (!d.entered) {
        const StreamChain& chain = reader_.chain;
        const std::uint64_t from = chain.RunStartFound(chain.detour->run, chain.detour->startShift);
        const std::uint64_t to = chain.RunStartFound(0, d.firstShift);
        std::vector<std::uint64_t>& acted = walked.acted;
        acted.erase(std::remove_if(acted.begin(), acted.end(), [&](std::uint64_t at) { return at >= from && at < to; }),
                    acted.end());
        d.entered = true;
        d.endShift = endShift;
        d.firstEnd = endFound;
    } else {
        d.left = true;
    }
    const std::uint64_t resumeAt = next.split ? next.split->second : next.header;
    reader_.Place(bodyFrom, record.shift, endFound, endShift, &walked.acted);
    reader_.Place(leg.resumeFrom, leg.resumeShift, resumeAt, next.shift, &walked.acted);
}

}  // namespace

std::optional<WalkedRecords> WalkRecords(const Grid& grid, const Tables& tables, const StreamChain& chain)
{
    RecordWalk walk(grid, tables, chain);
    if (!walk.Walk())
        return std::nullopt;
    return std::move(walk.walked);
}

}  // namespace tabulon::realigning
