// The realign walk over the workbook stream's records: where each record's header lies once the
// places in the body before it acted, and what proves which places acted (the records after
// it, a cell's own fields, the string table read whole). See realign_walk.h.
#include <algorithm>
#include <span>

#include "engine/base/byte_order.h"
#include "engine/biff/records.h"
#include "engine/biff/strings.h"
#include "engine/repair/realign/realign_walk.h"
#include "engine/repair/workbook/workbook.h"

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
// version's future record (0x0800 to 0x08FF), which are many in such workbooks. A header read
// after an undo decides that undo: any type a record can have would decide too easily.
bool ReadableAfterPlace(std::uint16_t type, std::uint16_t length)
{
    return KnownRecord(type, length) || (type >= 0x0800 && type <= 0x08FF && length <= biff::kMaxRecordBody);
}

// The strings of the workbook `bytes` hold, where its string table reads whole
// (StringTableReadsWhole); nothing where it does not.
std::optional<std::vector<std::u16string>> StringTableStrings(const Bytes& bytes)
{
    ByteViewFile file(bytes);
    const std::optional<Bytes> stream = ReadWorkbookStream(file);
    if (!stream)
        return std::nullopt;
    std::vector<std::span<const std::uint8_t>> bodies;
    for (const BiffRecord& record : ListRecords(*stream)) {
        if (bodies.empty() ? record.type != biff::kSst : record.type != biff::kContinue) {
            if (bodies.empty())
                continue;
            break;
        }
        bodies.push_back(RecordBody(*stream, record));
    }
    if (bodies.empty() || bodies.front().size() < 8 || !StringTableReadsWhole(bodies))
        return std::nullopt;
    const std::uint32_t count = LoadLe32(bodies.front().data() + 4);
    return ReadTableStrings(std::move(bodies), 8, count);
}

}  // namespace

// The record after `record`, its header read with `inBody` places acted on in `record`'s body
// and, when `inHeader` is set, one more at that place inside the header itself (a CR among its
// four bytes, a cluster that begins inside them). Nothing when the places are not there, or the
// header is none a reader takes.
std::optional<GridWalk::Cursor> GridWalk::Next(
    const Cursor& record, int inBody, std::optional<std::uint64_t> inHeader, int jump) const
{
    const std::uint64_t offset = record.offset + biff::kRecordHeaderSize + record.length;
    if (offset + biff::kRecordHeaderSize > streamSize_)
        return std::nullopt;
    const bool split = !HeaderInOneRun(offset);
    if (split ? inHeader.has_value() : jump != 0 && !(inHeader && move_ == Move::ForeignCluster))
        return std::nullopt;
    Cursor next;
    next.offset = offset;
    next.shift = record.shift + inBody * step_;
    const std::int64_t at = static_cast<std::int64_t>(StreamOffsetInFile(offset)) - next.shift;
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
        const std::uint64_t k = unit_ - offset % unit_;
        const std::int64_t shift = next.shift + jump * step_;
        const std::int64_t second = static_cast<std::int64_t>(StreamOffsetInFile(offset + k)) - shift;
        if (k == 0 || k >= biff::kRecordHeaderSize || second < 0 || !Inside(next.header, k) ||
            !Inside(static_cast<std::uint64_t>(second), biff::kRecordHeaderSize - k) ||
            !Place(next.header + k - 1, next.shift, static_cast<std::uint64_t>(second), shift, nullptr))
            return std::nullopt;
        for (std::uint64_t i = 0; i < biff::kRecordHeaderSize; ++i)
            header[i] = i < k ? b_[next.header + i] : b_[static_cast<std::uint64_t>(second) + i - k];
        next.split = Cursor::Split{next.header + k - 1, next.shift, static_cast<std::uint64_t>(second)};
        next.body = static_cast<std::uint64_t>(second) + biff::kRecordHeaderSize - k;
        next.shift = shift;
    } else if (!inHeader) {
        if (!Inside(next.header, biff::kRecordHeaderSize))
            return std::nullopt;
        std::copy_n(b_.begin() + static_cast<std::ptrdiff_t>(next.header), biff::kRecordHeaderSize, header);
        next.body = next.header + biff::kRecordHeaderSize;
    } else {
        const std::uint64_t k = *inHeader - next.header;  // the place's byte in the header
        if (move_ == Move::LostCr) {
            if (k > 3 || !Inside(next.header, 3))
                return std::nullopt;
            for (std::uint64_t i = 0, from = next.header; i < biff::kRecordHeaderSize; ++i)
                header[i] = i == k ? kCr : b_[from++];
            next.body = next.header + 3;
        } else {
            const std::uint64_t resume = *inHeader + kClusterSize * static_cast<std::uint64_t>(1 + jump);
            if (k == 0 || k > 3 || !Inside(next.header, k) || !Inside(resume, 4 - k))
                return std::nullopt;
            next.inHeaderRun = 1 + jump;
            for (std::uint64_t i = 0; i < biff::kRecordHeaderSize; ++i)
                header[i] = i < k ? b_[next.header + i] : b_[resume + i - k];
            next.body = resume + 4 - k;
        }
        next.shift += step_ * next.inHeaderRun;
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
std::vector<std::uint64_t> GridWalk::HeaderPlaces(const Cursor& record, int inBody) const
{
    std::vector<std::uint64_t> found;
    const std::uint64_t offset = record.offset + biff::kRecordHeaderSize + record.length;
    if (offset >= streamSize_)
        return found;
    const std::int64_t at = static_cast<std::int64_t>(StreamOffsetInFile(offset)) - (record.shift + inBody * step_);
    if (at < 0)
        return found;
    const std::uint64_t header = static_cast<std::uint64_t>(at);
    auto place = std::lower_bound(places_.begin(), places_.end(), header);
    for (; place != places_.end() && *place <= header + 3; ++place)
        found.push_back(*place);
    return found;
}

// Whether the records after `record` read, to `depth` records, allowing for places among them.
bool GridWalk::Check(const Cursor& record, int depth) const
{
    if (!Spend())
        return false;
    const std::uint64_t offset = record.offset + biff::kRecordHeaderSize + record.length;
    if (depth == 0 || offset + biff::kRecordHeaderSize > streamSize_ || !HeaderInOneRun(offset) ||
        RunOf(offset) != RunOf(record.offset))
        return true;
    const int most = MostIn(record);
    for (int j = 0; j <= most; ++j) {
        if (const std::optional<Cursor> next = Next(record, j, std::nullopt); next && Check(*next, depth - 1))
            return true;
        for (std::uint64_t place : HeaderPlaces(record, j))
            for (int run = 0; run < (move_ == Move::ForeignCluster ? 2 : 1); ++run)
                if (const std::optional<Cursor> next = Next(record, j, place, run); next && Check(*next, depth - 1))
                    return true;
    }
    // Past a substream's EOF the stream may hold whatever its writer left (zeros, mostly).
    return record.type == biff::kEof;
}

// Walks the workbook stream's records from its first, deciding the places inside each record (and
// in the stretches of other sectors the stream jumps over) by the records that follow.
bool GridWalk::WalkRecords(std::uint64_t& done, std::int64_t& shift)
{
    // Where the stream begins: its first record is a BOF.
    Cursor record;
    {
        const std::uint64_t inFile = StreamOffsetInFile(0);
        bool found = false;
        for (int k = 0; k <= 64 && !found; ++k) {
            const std::int64_t to = shift + k * step_;
            const std::int64_t at = static_cast<std::int64_t>(inFile) - to;
            if (at < 0 || !Inside(static_cast<std::uint64_t>(at), biff::kRecordHeaderSize) ||
                !Place(done, shift, static_cast<std::uint64_t>(at), to, nullptr))
                continue;
            Cursor first;
            first.header = static_cast<std::uint64_t>(at);
            first.body = first.header + biff::kRecordHeaderSize;
            first.shift = to;
            first.type = LoadLe16(b_.data() + first.header);
            first.length = LoadLe16(b_.data() + first.header + 2);
            if (!biff::IsBofType(first.type) || !Readable(first.type, first.length) || !Check(first, kLookahead))
                continue;
            Place(done, shift, first.header, to, &acted_);
            record = first;
            found = true;
            if (detour_)
                detour_->firstShift = to;
        }
        if (!found)
            return false;
    }
    bool continuesValues = false;  // the last record before CONTINUE records holds values
    bool continuesStrings = false;  // it is the string table
    CellContext cells;
    std::uint16_t lastType = 0;
    for (;;) {
        const std::uint64_t offset = record.offset + biff::kRecordHeaderSize + record.length;
        if (offset + biff::kRecordHeaderSize > streamSize_)
            break;
        const bool sameRun = RunOf(offset) == RunOf(record.offset);
        const int most = sameRun ? MostIn(record) : 2 * kMostInOneRecord;
        const bool splitHeader = !HeaderInOneRun(offset);
        const bool holdsValues = record.type == biff::kContinue ? continuesValues : HoldsValues(record.type);
        // Into the detour's run or out of it: its own steps.
        // (By the header's last byte: a header split between the runs is one of these steps.)
        const auto detouring = [&] {
            if (!detour_ || detour_->left)
                return false;
            const std::size_t nextRun = RunOf(std::min(offset + biff::kRecordHeaderSize - 1, streamSize_ - 1));
            return detour_->entered ? RunOf(record.offset) == detour_->run && nextRun != detour_->run : nextRun >= detour_->run;
        };
        if (detouring()) {
            const std::optional<Cursor> next = DetourStep(record, offset, holdsValues);
            if (!next)
                return false;
            if (record.type != biff::kContinue) {
                continuesValues = holdsValues;
                continuesStrings = record.type == biff::kSst;
            }
            if (record.type == biff::kLabelSst)
                sharedStringCells_.push_back(record.header);
            if (biff::IsBofType(record.type))
                cells = {};
            lastType = record.type;
            record = *next;
            continue;
        }
        // A next record the table knows outweighs one it does not: a header of any type and length
        // reads almost anywhere (a row of 2,573 begins with CR LF; without its CR, the next
        // header read one byte early is some type a reader would skip).
        std::optional<Cursor> chosen;
        for (int pass = 0; pass < 2 && !chosen; ++pass) {
            const auto fits = [&](const std::optional<Cursor>& next) {
                return next && (pass == 1 || KnownRecord(next->type, next->length)) && Check(*next, kLookahead);
            };
            for (int j = 0; j <= most && !chosen; ++j) {
                for (int jump = 0; jump <= (splitHeader ? 2 * kMostInOneRecord : 0) && !chosen; ++jump)
                    if (std::optional<Cursor> next = Next(record, j, std::nullopt, jump); fits(next))
                        chosen = next;
                if (chosen)
                    break;
                for (std::uint64_t place : HeaderPlaces(record, j))
                    for (int run = 0; run < (move_ == Move::ForeignCluster ? 2 : 1) && !chosen; ++run)
                        if (std::optional<Cursor> next = Next(record, j, place, run); fits(next))
                            chosen = next;
                if (chosen)
                    break;
            }
        }
        if (!chosen && record.type == biff::kEof && Next(record, 0, std::nullopt) == std::nullopt) {
            // Past the last substream's EOF the stream may hold whatever its writer left.
            break;
        }
        if (!chosen) {
            // The stream's last sector may hold bytes past its last record; no place lies there
            // (no CR lost, no cluster begun before the stream's end).
            const std::uint64_t streamEnd = StreamOffsetInFile(streamSize_ - 1) + 1;
            const std::int64_t endAt = static_cast<std::int64_t>(streamEnd) - record.shift;
            const std::uint64_t reach = static_cast<std::uint64_t>(endAt) + (move_ == Move::ForeignCluster ? kClusterSize : 0);
            if (RunOf(offset) + 1 == runs_.size() && endAt > 0 &&
                PlacesIn(BodyFrom(record), std::min<std::uint64_t>(reach, b_.size())) == 0)
                break;
            return false;
        }
        const std::uint64_t bodyFrom = BodyFrom(record);
        const std::int64_t bodyShift =
            chosen->split ? chosen->split->shift : chosen->shift - (chosen->inHeader ? step_ * chosen->inHeaderRun : 0);
        // The records prove how many places acted in a body, never which of more: the record's
        // bytes would differ with each choice, so the undo is not proven.
        const std::size_t acting = static_cast<std::size_t>((bodyShift - record.shift) / step_);
        if (record.type != biff::kContinue)
            continuesValues = holdsValues;
        const std::size_t before = acted_.size();
        bool leftOut = false;  // (its fields, not proved, tell the cells after it nothing)
        const bool inStringTable = record.type == biff::kSst || (record.type == biff::kContinue && continuesStrings);
        if (record.type != biff::kContinue)
            continuesStrings = record.type == biff::kSst;
        const bool inDoubt = acting > 0 && holdsValues && FreePlaces(bodyFrom, chosen->header, acting);
        if (inDoubt && inStringTable && sameRun) {
            // Which places acted in the string table, the whole table read again decides, once
            // the walk is through (see SettleStringChoices).
            const auto first = std::upper_bound(places_.begin(), places_.end(), bodyFrom);
            stringChoices_.push_back(
                {std::vector<std::uint64_t>(first, first + static_cast<std::ptrdiff_t>(PlacesIn(bodyFrom, chosen->header))), acting});
            Place(bodyFrom, record.shift, chosen->header, bodyShift, &acted_);
        } else if (inDoubt) {
            // Which of more places acted, only a cell's own fields may prove: where one choice
            // alone gives a cell that follows the one before it, that choice stands.
            const std::optional<std::vector<std::uint64_t>> proven =
                sameRun ? OnlyCellReading(record, chosen->header, acting, cells) : std::nullopt;
            if (proven) {
                acted_.insert(acted_.end(), proven->begin(), proven->end());
            } else if (sameRun && biff::IsCellRecord(record.type) && !record.inHeader && !record.split &&
                       leftOut_.size() < kMostLeftOut) {
                // The records after it prove how many places acted in it, not which: the cell is
                // left out, and the walk goes on.
                Place(bodyFrom, record.shift, chosen->header, bodyShift, &acted_);
                leftOut_.push_back(record.header);
                leftOut = true;
            } else {
                return false;
            }
        } else {
            Place(bodyFrom, record.shift, chosen->header, bodyShift, &acted_);
        }
        if (record.type == biff::kLabelSst && !leftOut)
            sharedStringCells_.push_back(record.header);
        if (biff::IsBofType(record.type)) {
            cells = {};
        } else if ((biff::IsCellRecord(record.type) || record.type == biff::kRow) && sameRun && move_ == Move::LostCr && !leftOut) {
            const std::vector<std::uint64_t> inBody(acted_.begin() + static_cast<std::ptrdiff_t>(before), acted_.end());
            const Bytes body = BodyWith(record, chosen->header, inBody);
            if (body.size() >= 4 && record.type == biff::kRow) {
                if (lastType != biff::kRow)
                    cells.rows.clear();
                cells.rows.push_back(LoadLe16(body.data()));
            } else if (body.size() >= 4) {
                cells.lastCell = CellKey{LoadLe16(body.data()), LoadLe16(body.data() + 2)};
            }
        }
        lastType = record.type;
        if (chosen->split)
            Place(chosen->split->firstEnd, chosen->split->shift, chosen->split->second, chosen->shift, &acted_);
        for (int k = 0; chosen->inHeader && k < chosen->inHeaderRun; ++k)
            acted_.push_back(*chosen->inHeader + kClusterSize * static_cast<std::uint64_t>(k));
        record = *chosen;
    }
    done = record.body + record.length;
    shift = record.shift;
    if (detour_ && detour_->entered && !detour_->left) {
        // The stream ended in the detour's run: the rest of it holds as many places as its end's
        // shift asks, and the walk goes on after the first run.
        if (!Place(done - 1, shift, RunStartFound(0, detour_->firstShift), detour_->firstShift, &acted_))
            return false;
        done = detour_->firstEnd;
        shift = detour_->endShift;
    }
    return true;
}

std::optional<GridWalk::Cursor> GridWalk::DetourStep(const Cursor& record, std::uint64_t offset, bool holdsValues)
{
    Detour& d = *detour_;
    // The header's bytes before its run ends, where it is split between two runs.
    const std::uint64_t split = HeaderInOneRun(offset) ? 0 : unit_ - offset % unit_;
    const std::uint64_t bodyFrom = BodyFrom(record);
    // The record's body up to where its run ends, and the next header from where the run it lies
    // in begins: each with its own count of places.
    std::uint64_t endAt = 0;       // where the record's run ends in the file
    std::int64_t resumeShift = 0;  // at the start of what the next header's run continues
    std::uint64_t resumeFrom = 0;  // places after this one count toward the next header
    std::vector<std::int64_t> endShifts;
    if (!d.entered) {
        if (RunOf(offset + split) != d.run || RunOf(record.offset) != 0)
            return std::nullopt;
        // The first run's end: any count of places in the record's body there.
        const std::uint64_t firstEnd = runs_[0].first + runs_[0].count * unit_;
        for (int j = 0; j <= 2 * kMostInOneRecord; ++j)
            endShifts.push_back(record.shift + j * step_);
        resumeShift = d.startShift;
        resumeFrom = RunStartFound(d.run, d.startShift) - 1;
        endAt = firstEnd;
    } else {
        // Out of the detour's run: its end is the first run's start, with the shift found there.
        endShifts.push_back(d.firstShift);
        resumeShift = d.endShift;
        resumeFrom = d.firstEnd;
        endAt = runs_[0].first;
    }
    std::optional<Cursor> chosen;
    std::int64_t chosenEndShift = 0;
    for (int pass = 0; pass < 2 && !chosen; ++pass) {
        for (const std::int64_t shiftAtEnd : endShifts) {
            if ((shiftAtEnd - record.shift) % step_ != 0 || (shiftAtEnd - record.shift) / step_ < 0)
                continue;
            const std::int64_t endFound = static_cast<std::int64_t>(endAt) - shiftAtEnd;
            if (endFound < static_cast<std::int64_t>(split) ||
                !Place(bodyFrom, record.shift, static_cast<std::uint64_t>(endFound), shiftAtEnd, nullptr) ||
                (split > 0 && PlacesIn(static_cast<std::uint64_t>(endFound) - split, static_cast<std::uint64_t>(endFound)) > 0))
                continue;
            for (int j = 0; j <= 2 * kMostInOneRecord && !chosen; ++j) {
                Cursor next;
                next.offset = offset;
                next.shift = resumeShift + j * step_;
                const std::int64_t at = static_cast<std::int64_t>(StreamOffsetInFile(offset + split)) - next.shift;
                if (at < 0 || !Inside(static_cast<std::uint64_t>(at), biff::kRecordHeaderSize - split))
                    continue;
                if (!Place(resumeFrom, resumeShift, static_cast<std::uint64_t>(at), next.shift, nullptr))
                    continue;
                std::uint8_t header[biff::kRecordHeaderSize];
                const std::uint64_t first = static_cast<std::uint64_t>(endFound) - split;
                for (std::uint64_t i = 0; i < biff::kRecordHeaderSize; ++i)
                    header[i] = i < split ? b_[first + i] : b_[static_cast<std::uint64_t>(at) + i - split];
                next.header = split > 0 ? first : static_cast<std::uint64_t>(at);
                next.body = static_cast<std::uint64_t>(at) + biff::kRecordHeaderSize - split;
                if (split > 0)
                    next.split = Cursor::Split{static_cast<std::uint64_t>(endFound) - 1, shiftAtEnd, static_cast<std::uint64_t>(at)};
                next.type = LoadLe16(header);
                next.length = LoadLe16(header + 2);
                const bool known = KnownRecord(next.type, next.length);
                if ((pass == 0 ? !known : !Readable(next.type, next.length)) || !Check(next, kLookahead))
                    continue;
                chosen = next;
                chosenEndShift = shiftAtEnd;
            }
            if (chosen)
                break;
        }
    }
    if (!chosen)
        return std::nullopt;
    // Which places acted in a record holding values, where more lie there than acted, no
    // record after it says.
    const std::uint64_t endFound = static_cast<std::uint64_t>(static_cast<std::int64_t>(endAt) - chosenEndShift);
    const auto inDoubt = [&](std::uint64_t from, std::uint64_t to, std::int64_t shiftFrom, std::int64_t shiftTo) {
        const auto acting = static_cast<std::size_t>((shiftTo - shiftFrom) / step_);
        return acting > 0 && PlacesIn(from, to) > acting;
    };
    const std::uint64_t resumeAt = chosen->split ? chosen->split->second : chosen->header;
    if (holdsValues && (inDoubt(bodyFrom, endFound, record.shift, chosenEndShift) ||
                        inDoubt(resumeFrom, resumeAt, resumeShift, chosen->shift)))
        return std::nullopt;
    if (!d.entered) {
        // The places the stream's first record took in the detour's run go: its records decide them.
        const std::uint64_t from = RunStartFound(d.run, d.startShift), to = RunStartFound(0, d.firstShift);
        acted_.erase(std::remove_if(acted_.begin(), acted_.end(), [&](std::uint64_t at) { return at >= from && at < to; }),
                     acted_.end());
        d.entered = true;
        d.endShift = chosenEndShift;
        d.firstEnd = endFound;
    } else {
        d.left = true;
    }
    Place(bodyFrom, record.shift, endFound, chosenEndShift, &acted_);
    Place(resumeFrom, resumeShift, resumeAt, chosen->shift, &acted_);
    return chosen;
}

// Whether more places lie in (from, to] than the `acting` there, some acting, those inside the
// fixed sectors between (a table sector the stream jumps over) aside: theirs the sectors decide.
bool GridWalk::FreePlaces(std::uint64_t from, std::uint64_t to, std::size_t acting) const
{
    std::size_t places = PlacesIn(from, to);
    const auto [near, nearEnd] = FixedNear(from, to);
    for (auto it = near; it != nearEnd; ++it) {
        const auto& [sector, shifts] = *it;
        const std::uint64_t start = SectorAt(sector, shifts.front());
        if (start <= from || start >= to)
            continue;
        if (shifts.size() != 1)
            return true;
        const bool inside = inside_.count(sector) != 0;
        places -= PlacesIn(start, start + kSectorSize - (inside ? 2 : 1));
        if (inside) {
            if (acting == 0)
                return true;
            --acting;
        }
    }
    return acting > 0 && places > acting;
}

// The body of `record`, which ends where the bytes as found reach `end`, with a CR put back before
// each of `places` (sorted, each in the body or at `end`).
Bytes GridWalk::BodyWith(const Cursor& record, std::uint64_t end, const std::vector<std::uint64_t>& places) const
{
    Bytes body;
    if (end < record.body || end > b_.size())
        return body;
    body.reserve(static_cast<std::size_t>(end - record.body + places.size()));
    std::uint64_t from = record.body;
    for (std::uint64_t at : places) {
        if (at < from || at > end)
            return {};
        body.insert(body.end(), b_.begin() + static_cast<std::ptrdiff_t>(from), b_.begin() + static_cast<std::ptrdiff_t>(at));
        body.push_back(kCr);
        from = at;
    }
    body.insert(body.end(), b_.begin() + static_cast<std::ptrdiff_t>(from), b_.begin() + static_cast<std::ptrdiff_t>(end));
    return body;
}

// Of the ways `acting` of the places in a cell record's body can have lost their CRs, the one way
// that gives a cell a writer could have written where it stands: its column within a sheet's,
// after the last cell in row and column order, in a row its block's ROW records name, a row of
// cells (MULRK, MULBLANK) as long as its columns say. Nothing where none or more than one does
// (blank cells aside, whose readings may differ in their formats).
std::optional<std::vector<std::uint64_t>> GridWalk::OnlyCellReading(
    const Cursor& record, std::uint64_t end, std::size_t acting, const CellContext& context) const
{
    constexpr std::uint64_t kMostReadings = 256;
    constexpr std::uint16_t kColumns = 256;
    if (move_ != Move::LostCr || !biff::IsCellRecord(record.type) || record.length < 4)
        return std::nullopt;
    const auto first = std::upper_bound(places_.begin(), places_.end(), BodyFrom(record));
    const auto last = std::upper_bound(places_.begin(), places_.end(), end);
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
        if (!Spend())
            return proven = false;
        std::vector<std::uint64_t> picked;
        for (std::size_t k : index)
            picked.push_back(places[k]);
        const Bytes body = BodyWith(record, end, picked);
        if (body.size() == record.length) {
            const CellKey key{LoadLe16(body.data()), LoadLe16(body.data() + 2)};
            bool fits = key.second < kColumns && (!context.lastCell || key > *context.lastCell) &&
                        (context.rows.empty() ||
                            std::find(context.rows.begin(), context.rows.end(), key.first) != context.rows.end());
            if (fits && (record.type == biff::kMulRk || record.type == biff::kMulBlank)) {
                const std::uint16_t lastColumn = LoadLe16(body.data() + body.size() - 2);
                const std::size_t each = record.type == biff::kMulRk ? 6 : 2;
                fits = body.size() >= 6 && lastColumn < kColumns && lastColumn >= key.second &&
                       (body.size() - 6) % each == 0 && (body.size() - 6) / each == std::size_t{lastColumn} - key.second + 1u;
            }
            if (fits) {
                // Blank cells hold no value: readings that differ only in their formats, not in
                // where the cells are, put the same cells back.
                const bool blank = record.type == biff::kMulBlank || record.type == biff::kBlank;
                const std::uint16_t lastColumn = LoadLe16(body.data() + body.size() - 2);
                if (found && !(blank && foundKey == key && foundLast == lastColumn))
                    return proven = false;
                if (!found) {
                    found = std::move(picked);
                    foundKey = key;
                    foundLast = lastColumn;
                }
            }
        }
        return true;
    });
    return proven ? found : std::nullopt;
}

// The places that act, the string table's choices settled: the one way of taking them after
// which the table reads whole. Nothing where none or more than one does, or too many ways.
std::optional<std::vector<std::uint64_t>> GridWalk::SettleStringChoices(std::int64_t shift) const
{
    constexpr int kMostWays = 64;
    std::vector<std::uint64_t> fixed;
    for (std::uint64_t at : acted_) {
        const bool open = std::any_of(stringChoices_.begin(), stringChoices_.end(), [at](const OpenChoice& choice) {
            return std::binary_search(choice.places.begin(), choice.places.end(), at);
        });
        if (!open)
            fixed.push_back(at);
    }
    std::optional<std::vector<std::uint64_t>> found;
    std::vector<std::u16string> foundStrings;
    std::vector<bool> doubtful;
    int ways = 0;
    bool settled = true;
    std::vector<std::uint64_t> picked;
    const auto tryFrom = [&](const auto& self, std::size_t choice) -> void {
        if (!settled)
            return;
        if (choice == stringChoices_.size()) {
            if (++ways > kMostWays) {
                settled = false;
                return;
            }
            std::vector<std::uint64_t> acted = fixed;
            acted.insert(acted.end(), picked.begin(), picked.end());
            std::sort(acted.begin(), acted.end());
            const std::optional<Bytes> bytes = Build(acted, shift);
            std::optional<std::vector<std::u16string>> strings = bytes ? StringTableStrings(*bytes) : std::nullopt;
            if (!strings)
                return;
            if (!found) {
                found = std::move(acted);
                foundStrings = std::move(*strings);
                doubtful.assign(foundStrings.size(), false);
                return;
            }
            // Another way reads whole as well: what differs between them is in doubt.
            if (strings->size() != foundStrings.size()) {
                settled = false;
                return;
            }
            for (std::size_t k = 0; k < foundStrings.size(); ++k)
                doubtful[k] = doubtful[k] || (*strings)[k] != foundStrings[k];
            return;
        }
        const OpenChoice& open = stringChoices_[choice];
        ForEachChoice(open.places.size(), open.acting, [&](const std::vector<std::size_t>& index) {
            const std::size_t before = picked.size();
            for (std::size_t k : index)
                picked.push_back(open.places[k]);
            self(self, choice + 1);
            picked.resize(before);
            return settled;
        });
    };
    tryFrom(tryFrom, 0);
    doubtfulStrings_.clear();
    for (std::size_t k = 0; k < doubtful.size(); ++k)
        if (doubtful[k])
            doubtfulStrings_.push_back(static_cast<std::uint32_t>(k));
    return settled ? found : std::nullopt;
}

}  // namespace tabulon::realigning
