// One attempt of the salvage at a damaged file through one header, as the salvage by records
// and the salvage through a compound structure that opens both make them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/cfb/compound_reader.h"
#include "engine/cfb/compound_writer.h"
#include "engine/cfb/header.h"
#include "engine/io/sector_file.h"
#include "engine/repair/salvage/salvage.h"
#include "engine/repair/salvage/salvage_chain.h"
#include "engine/repair/workbook/workbook.h"

namespace tabulon::salvage {

// One attempt at the file with one header: the entries to write, and the report so far.
struct Attempt {
    CompoundRoot root;
    std::vector<CompoundEntry> entries;
    SalvageReport report;
    std::uint64_t workbookLength = 0;
    bool found = false;
    bool settled = false;  // the workbook's mending settled
    bool listRepeats = false;  // the header lists a table sector twice: it is made up
};

// Mends the records of a workbook stream found, and lists its sheets into `report`. Gives
// whether the mending settled (mending the result again would change nothing). `mended`: the
// same bytes mended already, by the same names, when they are. `outside`: as the mending
// takes it.
bool MendWorkbook(std::vector<std::uint8_t>& workbook, const std::vector<std::u16string>& summaryNames, SalvageReport& report,
                  const MendedStream* mended = nullptr, DamageOutside outside = DamageOutside::Unknown);

// The attempt's entries written into `out`, the workbook's first; false when nothing could be
// (salvage_write.cpp).
bool WriteAttempt(SectorFile& out, Attempt& best);

// The new file is read back and checked; its workbook stream, when it holds the bytes the
// mending settled on, is not mended once more. `whileChecking` assesses the sheets meanwhile;
// `holdsWorkbook`, when given, says whether the file holds the stream it was written with.
void CheckWritten(SectorFile& out, Attempt& best, const WhileChecking& whileChecking, bool* holdsWorkbook);

// The image read through another header, for the reader and the check; never written.
class HeaderedImage final : public SectorFile {
public:
    HeaderedImage(const Image& image, const HeaderBytes& header) : image_(image), header_(header) {}

    std::uint64_t Length() override { return image_.bytes.size(); }
    void Seek(std::uint64_t offset) override { position_ = offset; }
    std::size_t Read(std::span<std::uint8_t> buffer) override
    {
        std::size_t done = 0;
        while (done < buffer.size() && position_ < image_.bytes.size()) {
            const std::uint8_t* from = position_ < kHeaderSize ? header_.data() + position_ : image_.bytes.data() + position_;
            const std::uint64_t end = position_ < kHeaderSize ? kHeaderSize : image_.bytes.size();
            const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size() - done, end - position_));
            std::copy_n(from, take, buffer.data() + done);
            done += take;
            position_ += take;
        }
        return done;
    }
    void Write(std::span<const std::uint8_t, kBlockSize>) override { throw std::logic_error("the salvage never writes the damaged file"); }

private:
    const Image& image_;
    const HeaderBytes& header_;
    std::uint64_t position_ = 0;
};

// When `header` opens the file's compound structure: every stream it reaches, the workbook's
// records mended.
std::optional<Attempt> ReadStructure(const Image& image, const HeaderBytes& header, const MendedStream* mended);
// Whether two headers lead an attempt to the same structure.
bool SameStructure(const Image& image, const HeaderBytes& a, const HeaderBytes& b);

}  // namespace tabulon::salvage
