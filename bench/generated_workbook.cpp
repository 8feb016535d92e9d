#include "generated_workbook.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/biff/records.h"
#include "engine/cfb/compound_writer.h"
#include "engine/io/os_file.h"

namespace tabulon::bench {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kRowsPerSheet = 65536;
constexpr std::uint32_t kRowsPerBlock = 32;
constexpr std::uint32_t kVocabulary = 500;
constexpr std::uint16_t kGeneralXf = 15;   // the first cell XF; the 15 before it are style XFs
constexpr std::uint16_t kDecimalXf = 16;   // a cell XF with the format "0.0000"
constexpr std::uint16_t kDecimalFormat = 164;  // the first number format a workbook defines

// splitmix64: fast, and the same numbers for the same seed everywhere.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next()
    {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(Next() % n); }

private:
    std::uint64_t state_;
};

void Put16(Bytes& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}
void Put32(Bytes& out, std::uint32_t value)
{
    Put16(out, static_cast<std::uint16_t>(value));
    Put16(out, static_cast<std::uint16_t>(value >> 16));
}
void PutBytes(Bytes& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

// Starts a record; EndRecord fills in the length of its body.
std::size_t BeginRecord(Bytes& out, std::uint16_t type)
{
    const std::size_t at = out.size();
    Put16(out, type);
    Put16(out, 0);
    return at;
}
void EndRecord(Bytes& out, std::size_t at)
{
    const std::size_t body = out.size() - at - 4;
    out[at + 2] = static_cast<std::uint8_t>(body);
    out[at + 3] = static_cast<std::uint8_t>(body >> 8);
}

void PutBof(Bytes& out, std::uint16_t substream)
{
    const std::size_t at = BeginRecord(out, biff::kBof);
    Put16(out, biff::kBiff8Version);
    Put16(out, substream);
    Put16(out, 0x0DBB);  // build
    Put16(out, 0x07CC);  // year
    Put32(out, 0x00000041);  // file history flags
    Put32(out, 0x00000006);  // lowest version that can read it: BIFF8
    EndRecord(out, at);
}

void PutEof(Bytes& out) { EndRecord(out, BeginRecord(out, biff::kEof)); }

// An 8-bit string with a one-byte character count (sheet and font names).
void PutShortString(Bytes& out, std::string_view text)
{
    out.push_back(static_cast<std::uint8_t>(text.size()));
    out.push_back(0);
    PutBytes(out, text);
}

// The cells of one sheet, row block by row block. Each row's values follow from the random
// numbers in order, so the same seed writes the same rows however the sheet is cut.
class SheetWriter {
public:
    SheetWriter(Bytes& out, int sheet, std::uint64_t seed, std::uint32_t fixedStrings)
        : out_(out), sheet_(sheet), seed_(seed), fixedStrings_(fixedStrings), random_(seed * 1000003 + static_cast<std::uint64_t>(sheet))
    {
    }

    // BOF and DIMENSIONS for a sheet of `rows` rows (in the first pass, any number: only the
    // sizes of the records count there).
    void Begin(std::uint32_t rows)
    {
        PutBof(out_, biff::kWorksheetSubstream);
        const std::size_t at = BeginRecord(out_, biff::kDimensions);
        Put32(out_, 0);
        Put32(out_, rows);
        Put16(out_, 0);
        Put16(out_, static_cast<std::uint16_t>(kGeneratedColumns));
        Put16(out_, 0);
        EndRecord(out_, at);
    }

    // Rows [first, first + count): their ROW records, their cells, the block's DBCELL. Texts
    // unique to their cell get the next shared-string index from `nextUnique`; when `strings`
    // is given, they are appended to it as the shared-string table holds them.
    void Block(std::uint32_t first, std::uint32_t count, std::uint32_t& nextUnique, Bytes* strings, std::uint64_t& textCells)
    {
        const std::size_t rowsAt = out_.size();
        for (std::uint32_t r = first; r < first + count; ++r) {
            const std::size_t at = BeginRecord(out_, biff::kRow);
            Put16(out_, static_cast<std::uint16_t>(r));
            Put16(out_, 0);
            Put16(out_, static_cast<std::uint16_t>(kGeneratedColumns));
            Put16(out_, 0x00FF);      // height in twips, the default one
            Put16(out_, 0);
            Put16(out_, 0);
            Put32(out_, 0x000F0100);  // XF 15, and the bit that is always set
            EndRecord(out_, at);
        }
        std::vector<std::size_t> firstCells;
        for (std::uint32_t r = first; r < first + count; ++r) {
            firstCells.push_back(out_.size());
            for (std::uint32_t c = 0; c < kGeneratedColumns; ++c)
                Cell(r, c, nextUnique, strings, textCells);
        }
        const std::size_t at = BeginRecord(out_, biff::kDbCell);
        Put32(out_, static_cast<std::uint32_t>(at - rowsAt));
        // The first row's cells from the start of the second ROW record, each other row's
        // from the previous row's first cell.
        std::size_t from = rowsAt + 20;
        for (std::size_t firstCell : firstCells) {
            Put16(out_, static_cast<std::uint16_t>(firstCell - from));
            from = firstCell;
        }
        EndRecord(out_, at);
    }

    void End(bool selected)
    {
        const std::size_t at = BeginRecord(out_, biff::kWindow2);
        Put16(out_, selected ? 0x06B6 : 0x00B6);  // grid, headers, zeros, outline; selected and shown
        Put16(out_, 0);
        Put16(out_, 0);
        Put32(out_, 0x40);  // grid colour: the default
        Put16(out_, 0);
        Put16(out_, 0);
        Put32(out_, 0);
        EndRecord(out_, at);
        PutEof(out_);
    }

private:
    void CellStart(std::uint16_t type, std::uint32_t row, std::uint32_t column, std::uint16_t xf)
    {
        Put16(out_, type);
        Put16(out_, type == biff::kNumber ? 14 : 10);
        Put16(out_, static_cast<std::uint16_t>(row));
        Put16(out_, static_cast<std::uint16_t>(column));
        Put16(out_, xf);
    }

    void Cell(std::uint32_t row, std::uint32_t column, std::uint32_t& nextUnique, Bytes* strings, std::uint64_t& textCells)
    {
        if (row == 0) {  // the header row: "col0", "col1", ... after the vocabulary
            CellStart(biff::kLabelSst, row, column, kGeneralXf);
            Put32(out_, kVocabulary + column);
            ++textCells;
            return;
        }
        switch (column % 4) {
        case 0: {  // a whole number below a million, as RK: the integer shifted, flag 2
            CellStart(biff::kRk, row, column, kGeneralXf);
            Put32(out_, random_.Below(1'000'000) << 2 | 2);
            break;
        }
        case 1: {  // four decimals, -50000 to 50000
            CellStart(biff::kNumber, row, column, kDecimalXf);
            const double value = static_cast<double>(random_.Below(1'000'000'000)) / 1e4 - 50000.0;
            const auto bits = std::bit_cast<std::uint64_t>(value);
            Put32(out_, static_cast<std::uint32_t>(bits));
            Put32(out_, static_cast<std::uint32_t>(bits >> 32));
            break;
        }
        case 2: {  // a text of its own
            CellStart(biff::kLabelSst, row, column, kGeneralXf);
            Put32(out_, fixedStrings_ + nextUnique++);
            ++textCells;
            if (strings) {
                std::string text = "s";
                for (const std::string& part : {std::to_string(seed_), std::string("-"), std::to_string(sheet_ + 1),
                                                std::string("-r"), std::to_string(row), std::string("-c"),
                                                std::to_string(column)})
                    text += part;
                Put16(*strings, static_cast<std::uint16_t>(text.size()));
                strings->push_back(0);
                PutBytes(*strings, text);
            }
            break;
        }
        default:  // a word of the vocabulary
            CellStart(biff::kLabelSst, row, column, kGeneralXf);
            Put32(out_, random_.Below(kVocabulary));
            ++textCells;
            break;
        }
    }

    Bytes& out_;
    int sheet_;
    std::uint64_t seed_;
    std::uint32_t fixedStrings_;
    Random random_;
};

// The shared-string table: SST, then CONTINUE records, each body at most 8224 bytes. A string
// never splits inside its 3-byte header; one whose characters go on in the next record
// repeats its option byte there. EXTSST after it: a bucket for every `perBucket` strings
// naming where its first string starts in the stream and within its record.
void PutStringTable(Bytes& out, const Bytes& strings, std::uint32_t count, std::uint32_t references)
{
    const std::uint32_t perBucket = std::max<std::uint32_t>(8, (count + 127) / 128);
    Bytes index;
    std::size_t at = BeginRecord(out, biff::kSst);
    Put32(out, references);
    Put32(out, count);
    const auto room = [&] { return biff::kMaxRecordBody - (out.size() - at - 4); };
    std::size_t p = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t length = std::size_t{strings[p]} | std::size_t{strings[p + 1]} << 8;
        if (room() < 3 + std::min<std::size_t>(length, 1)) {
            EndRecord(out, at);
            at = BeginRecord(out, biff::kContinue);
        }
        if (i % perBucket == 0) {
            Put32(index, static_cast<std::uint32_t>(out.size()));
            Put16(index, static_cast<std::uint16_t>(out.size() - at));
            Put16(index, 0);
        }
        out.insert(out.end(), strings.begin() + static_cast<std::ptrdiff_t>(p), strings.begin() + static_cast<std::ptrdiff_t>(p + 3));
        const std::uint8_t options = strings[p + 2];
        p += 3;
        std::size_t left = length;
        while (left > 0) {
            const std::size_t take = std::min(left, room());
            out.insert(out.end(), strings.begin() + static_cast<std::ptrdiff_t>(p), strings.begin() + static_cast<std::ptrdiff_t>(p + take));
            p += take;
            left -= take;
            if (left > 0) {
                EndRecord(out, at);
                at = BeginRecord(out, biff::kContinue);
                out.push_back(options);
            }
        }
    }
    EndRecord(out, at);
    at = BeginRecord(out, biff::kExtSst);
    Put16(out, static_cast<std::uint16_t>(perBucket));
    out.insert(out.end(), index.begin(), index.end());
    EndRecord(out, at);
}

void PutFont(Bytes& out, std::uint16_t weight)
{
    const std::size_t at = BeginRecord(out, biff::kFont);
    Put16(out, 200);  // 10 points, in twentieths
    Put16(out, 0);
    Put16(out, 0x7FFF);  // the window's text colour
    Put16(out, weight);
    Put16(out, 0);
    out.insert(out.end(), {0, 0, 0, 0});  // underline, family, character set, reserved
    PutShortString(out, "Arial");
    EndRecord(out, at);
}

void PutXf(Bytes& out, std::uint16_t font, std::uint16_t format, bool style)
{
    const std::size_t at = BeginRecord(out, biff::kXf);
    Put16(out, font);
    Put16(out, format);
    Put16(out, style ? 0xFFF5 : 0x0001);  // locked; a style XF has no parent
    out.push_back(0x20);                  // aligned at the bottom
    out.push_back(0);
    out.push_back(0);
    out.push_back(style && font != 0 ? 0xF4 : 0x00);  // which attributes it sets itself
    Put32(out, 0);
    Put32(out, 0);
    Put16(out, 0x20C0);  // pattern colours: the window's
    EndRecord(out, at);
}

// Everything before the sheets; each sheet at the offset `sheetSizes` give it, one after the
// other right after the globals.
Bytes Globals(const std::vector<std::uint64_t>& sheetSizes, const Bytes& strings, std::uint32_t stringCount,
              std::uint32_t references)
{
    Bytes out;
    PutBof(out, biff::kGlobalsSubstream);
    std::size_t at = BeginRecord(out, biff::kCodePage);
    Put16(out, 1200);  // UTF-16
    EndRecord(out, at);
    at = BeginRecord(out, biff::kWindow1);
    for (const std::uint16_t value : std::initializer_list<std::uint16_t>{0x0168, 0x001E, 0x3A98, 0x1D4C, 0x0038, 0, 0, 1, 0x0258})
        Put16(out, value);
    EndRecord(out, at);
    for (const std::uint16_t weight : std::initializer_list<std::uint16_t>{400, 400, 400, 400, 700})
        PutFont(out, weight);
    at = BeginRecord(out, biff::kFormat);
    Put16(out, kDecimalFormat);
    const std::string_view code = "0.0000";
    Put16(out, static_cast<std::uint16_t>(code.size()));
    out.push_back(0);
    PutBytes(out, code);
    EndRecord(out, at);
    PutXf(out, 0, 0, true);
    for (std::uint16_t k = 1; k < kGeneralXf; ++k)
        PutXf(out, k <= 2 ? 1 : k <= 4 ? 2 : 0, 0, true);
    PutXf(out, 0, 0, false);
    PutXf(out, 0, kDecimalFormat, false);
    at = BeginRecord(out, biff::kStyle);
    Put16(out, 0x8000);  // built in, XF 0
    out.push_back(0);    // Normal
    out.push_back(0xFF);
    EndRecord(out, at);
    std::vector<std::size_t> offsets;
    for (std::size_t s = 0; s < sheetSizes.size(); ++s) {
        at = BeginRecord(out, biff::kBoundSheet);
        offsets.push_back(out.size());
        Put32(out, 0);
        out.push_back(0);  // visible
        out.push_back(0);  // a worksheet
        PutShortString(out, "Sheet" + std::to_string(s + 1));
        EndRecord(out, at);
    }
    PutStringTable(out, strings, stringCount, references);
    PutEof(out);
    std::uint64_t sheetAt = out.size();
    for (std::size_t s = 0; s < sheetSizes.size(); ++s) {
        const auto offset = static_cast<std::uint32_t>(sheetAt);
        std::memcpy(out.data() + offsets[s], &offset, 4);  // little-endian hosts only, like the rest of the bench
        sheetAt += sheetSizes[s];
    }
    return out;
}

}  // namespace

GeneratedWorkbook WriteGeneratedWorkbook(const std::filesystem::path& path, std::uint64_t targetBytes, std::uint64_t seed)
{
    static_assert(std::endian::native == std::endian::little);
    // The compound file adds a table entry of 4 bytes for every 512, the header and directory.
    const std::uint64_t streamTarget = targetBytes > 4096 ? (targetBytes - 2048) / 513 * 509 : 2048;
    Bytes strings;  // the shared strings as the table holds them, the fixed ones first
    for (std::uint32_t k = 0; k < kVocabulary; ++k) {
        const std::string word = "word" + std::to_string(k);
        Put16(strings, static_cast<std::uint16_t>(word.size()));
        strings.push_back(0);
        PutBytes(strings, word);
    }
    for (std::uint32_t c = 0; c < kGeneratedColumns; ++c) {
        const std::string name = "col" + std::to_string(c);
        Put16(strings, static_cast<std::uint16_t>(name.size()));
        strings.push_back(0);
        PutBytes(strings, name);
    }
    const std::uint32_t fixedStrings = kVocabulary + kGeneratedColumns;

    // First pass: how many rows each sheet takes to reach the size, and the shared strings.
    // Each sheet is written into a scratch buffer and thrown away; the second pass writes the
    // same rows again into the stream.
    constexpr std::uint64_t kGlobalsBesidesStrings = 2048;
    std::vector<std::uint32_t> sheetRows;
    std::vector<std::uint64_t> sheetSizes;
    std::uint32_t unique = 0;
    std::uint64_t textCells = 0;
    std::uint64_t sheetsBytes = 0;
    Bytes scratch;
    const auto estimate = [&](std::uint64_t current) {
        return kGlobalsBesidesStrings + strings.size() + strings.size() / 8224 * 5 + sheetsBytes + current;
    };
    while (sheetRows.empty() || estimate(0) < streamTarget) {
        scratch.clear();
        SheetWriter writer(scratch, static_cast<int>(sheetRows.size()), seed, fixedStrings);
        writer.Begin(kRowsPerSheet);
        std::uint32_t rows = 0;
        while (rows < kRowsPerSheet && (rows == 0 || estimate(scratch.size() + 50) < streamTarget)) {
            writer.Block(rows, kRowsPerBlock, unique, &strings, textCells);
            rows += kRowsPerBlock;
        }
        writer.End(sheetRows.empty());
        sheetRows.push_back(rows);
        sheetSizes.push_back(scratch.size());
        sheetsBytes += scratch.size();
    }
    Bytes().swap(scratch);

    Bytes stream = Globals(sheetSizes, strings, fixedStrings + unique, static_cast<std::uint32_t>(textCells));
    GeneratedWorkbook made;
    made.strings = fixedStrings + unique;
    Bytes().swap(strings);
    stream.reserve(stream.size() + sheetsBytes);
    std::uint32_t again = 0;
    std::uint64_t ignored = 0;
    for (std::size_t s = 0; s < sheetRows.size(); ++s) {
        const std::size_t start = stream.size();
        SheetWriter writer(stream, static_cast<int>(s), seed, fixedStrings);
        writer.Begin(sheetRows[s]);
        for (std::uint32_t row = 0; row < sheetRows[s]; row += kRowsPerBlock)
            writer.Block(row, kRowsPerBlock, again, nullptr, ignored);
        writer.End(s == 0);
        if (stream.size() - start != sheetSizes[s])
            throw std::logic_error("the generated sheet came out another size the second time");
        made.cells += std::uint64_t{sheetRows[s]} * kGeneratedColumns;
    }
    made.sheets = static_cast<int>(sheetRows.size());
    made.streamBytes = stream.size();

    std::vector<CompoundEntry> entries(1);
    entries[0].name = u"Workbook";
    entries[0].data = std::move(stream);
    OsFile file = OsFile::CreateNew(path);
    WriteCompoundFile(file, {}, entries);
    made.fileBytes = file.Length();
    file.Close();
    return made;
}

}  // namespace tabulon::bench
