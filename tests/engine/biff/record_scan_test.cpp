// Where records resume after damage, in each reading's tolerance: streams built to tell the
// readings apart, and the workbooks of tests/data with a stretch of each damaged.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/biff/record_scan.h"
#include "engine/biff/records.h"
#include "tests/support/biff_builder.h"
#include "tests/support/workbooks.h"

namespace tabulon {
namespace {

using test::Bytes;
using test::Le16;
using test::Record;
using test::operator+;
using biff::kNoPlace;

// Bytes that read as no record in any tolerance, wherever a header is taken to start in them.
Bytes Junk(std::size_t count)
{
    return Bytes(count, 0xFF);
}

// A number cell; its body is of no matter to where records resume (type and length decide).
Bytes Number()
{
    return Record(biff::kNumber, Junk(14));
}

Bytes Filler(std::size_t length)
{
    return Record(biff::kFillerRecord, Bytes(length, 0));
}

// The chain of sectors reads its bytes one at a time: no quick way past zeros.
struct ByteAtATime {
    std::span<const std::uint8_t> bytes;
    std::uint64_t Size() const { return bytes.size(); }
    std::uint16_t U16(std::uint64_t at) const { return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8)); }
};

struct Resumed {
    std::uint64_t reading, mending, chain;
    bool operator==(const Resumed&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Resumed& r)
{
    const auto place = [](std::uint64_t at) { return at == kNoPlace ? std::string("none") : std::to_string(at); };
    return out << "{reading " << place(r.reading) << ", mending " << place(r.mending) << ", chain " << place(r.chain) << "}";
}

Resumed ResumeEach(const Bytes& stream)
{
    const biff::SpanBytes span{stream};
    return {biff::FirstRun<biff::kReadingRun>(span, 0), biff::FirstRun<biff::kMendingRun>(span, 0),
            biff::FirstRun<biff::kChainRun>(ByteAtATime{stream}, 0)};
}

TEST(RecordScan, EachReadingResumesAtTheFirstRunOfItsOwnKindOfRecords)
{
    ASSERT_FALSE(PlausibleRecord(biff::kFillerRecord, 8)) << "filler would count in every reading";
    const std::uint64_t junk = 7;
    // Filler counts in the mending alone, which wrote it.
    EXPECT_EQ(ResumeEach(Junk(junk) + Filler(8) + Filler(8) + Number() + Number() + Number()),
              (Resumed{junk + 24, junk, junk + 24}));
    // The chain has the records' headers before it has their bodies.
    EXPECT_EQ(ResumeEach(Junk(junk) + Number() + Number() + Le16(biff::kNumber) + Le16(14)), (Resumed{junk, kNoPlace, junk}));
    // The stream's end, after a record, completes a run where the stream is whole; the chain may
    // yet go on.
    EXPECT_EQ(ResumeEach(Junk(junk) + Number() + Number()), (Resumed{junk, junk, kNoPlace}));
    // A sheet may end after a record or two: an end record completes the mending's run.
    EXPECT_EQ(ResumeEach(Junk(junk) + Number() + Record(biff::kEof, {}) + Junk(8)), (Resumed{junk, junk, kNoPlace}));
    // Zeros are no records in any reading, whether passed over at once or a place at a time.
    EXPECT_EQ(ResumeEach(Bytes(4096, 0) + Number() + Number() + Number()), (Resumed{4096, 4096, 4096}));
    EXPECT_EQ(ResumeEach(Bytes(4096, 0) + Bytes{0x03}), (Resumed{kNoPlace, kNoPlace, kNoPlace}));
}

TEST(RecordScan, FromAndBeforeBoundTheSearch)
{
    const Bytes stream = Junk(7) + Number() + Number() + Number() + Number();
    const biff::SpanBytes span{stream};
    EXPECT_EQ(biff::FirstRun<biff::kMendingRun>(span, 8), 7u + 18);
    EXPECT_EQ(biff::FirstRun<biff::kMendingRun>(span, 0, 7), kNoPlace);
    EXPECT_EQ(biff::FirstRun<biff::kMendingRun>(span, 0, 8), 7u);
    EXPECT_EQ(biff::FirstRun<biff::kMendingRun>(span, stream.size()), kNoPlace);
}

TEST(RecordScan, TheMendingLooksInsideTheFirstRecordOfItsRun)
{
    // The last bytes of a record cut by damage read as the header of a long one that runs over
    // four true records: they resume at the first of those, not at the false header.
    const Bytes inside = Number() + Number() + Number() + Number();
    const Bytes falseStart = Junk(7) + Record(biff::kContinue, inside) + Number() + Number();
    EXPECT_EQ(biff::FirstRun<biff::kMendingRun>(biff::SpanBytes{falseStart}, 0), 7u);
    EXPECT_EQ(biff::Resync(falseStart, 0), 7u + 4);
    // A short record is not suspected: records read by chance in a few bytes.
    const Bytes shortRecord = Junk(7) + Record(biff::kContinue, Number() + Number()) + Number() + Number();
    EXPECT_EQ(biff::Resync(shortRecord, 0), 7u);

    // A worksheet's first record inside the run, with records after it, is where records resume.
    const Bytes sheetInside = Junk(7) + Record(biff::kContinue, Junk(2) + test::BofRecord(8, biff::kWorksheetSubstream) + Number()) +
                              Number() + Number();
    EXPECT_EQ(biff::Resync(sheetInside, 0), 7u + 4 + 2);
}

// The record starts of an intact stream.
std::set<std::size_t> RecordStarts(const Bytes& stream)
{
    std::set<std::size_t> starts;
    for (const BiffRecord& record : ListRecords(stream))
        starts.insert(record.offset);
    return starts;
}

TEST(RecordScan, RealStreamsResumeAtATrueRecordSoonAfterTheDamage)
{
    int streams = 0;
    for (const std::string& name : test::TestWorkbookNames()) {
        const std::optional<Bytes> stream = test::WorkbookStreamOf(test::TestWorkbook(name));
        if (!stream || stream->size() < 4096)
            continue;
        ++streams;
        const std::set<std::size_t> starts = RecordStarts(*stream);
        ASSERT_EQ(biff::FirstRun<biff::kMendingRun>(biff::SpanBytes{*stream}, 0), 0u) << name;
        ASSERT_EQ(biff::FirstRun<biff::kReadingRun>(biff::SpanBytes{*stream}, 0), 0u) << name;
        // A stretch in the middle of the stream garbled, one byte in three spared.
        Bytes damaged = *stream;
        const std::size_t from = stream->size() / 2, to = from + 300;
        for (std::size_t k = from; k < to; ++k)
            damaged[k] = k % 3 == 0 ? damaged[k] : 0xFF;
        const std::size_t firstAfter = *starts.lower_bound(to);
        // Each reading resumes where the damage ends, and loses no true record after it: at the
        // first true record, or in what is left of the record the damage cut, whose bytes may
        // read as records by chance (the mending's walk tells those apart).
        const auto resumesAfterTheDamage = [&](std::uint64_t at) { return at != kNoPlace && at + 3 >= to && at <= firstAfter; };
        EXPECT_PRED1(resumesAfterTheDamage, biff::Resync(damaged, from)) << name;
        EXPECT_PRED1(resumesAfterTheDamage, biff::FirstRun<biff::kChainRun>(ByteAtATime{damaged}, from)) << name;
        RecordCursor cursor(damaged, from);
        std::optional<BiffRecord> record;
        while ((record = cursor.Next()) && record->offset < to - 3) {
        }
        ASSERT_TRUE(record) << name;
        EXPECT_PRED1(resumesAfterTheDamage, record->offset) << name;
        // Past the cut record the cursor reads the true records one by one.
        while (record && record->offset < firstAfter)
            record = cursor.Next();
        for (int i = 0; i < 50 && record; ++i, record = cursor.Next())
            EXPECT_TRUE(starts.contains(record->offset)) << name << " at " << record->offset;
    }
    EXPECT_GE(streams, 5);
}

}  // namespace
}  // namespace tabulon
