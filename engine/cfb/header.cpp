#include "engine/cfb/header.h"

#include <algorithm>

#include "engine/base/byte_order.h"

namespace tabulon {

HeaderBytes MakeHeader(const HeaderLayout& layout)
{
    HeaderBytes header{};
    std::copy(kVersion3HeaderStart.begin(), kVersion3HeaderStart.end(), header.begin());
    const auto set = [&](std::size_t offset, std::uint32_t value) { StoreLe32(header.data() + offset, value); };
    set(kNumFatSectorsOffset, layout.numFatSectors);
    set(kFirstDirectorySectorOffset, layout.firstDirectorySector);
    set(kMiniStreamCutoffOffset, kMiniStreamCutoff);
    set(kFirstMiniFatSectorOffset, layout.firstMiniFatSector);
    set(kNumMiniFatSectorsOffset, layout.numMiniFatSectors);
    set(kFirstDifatSectorOffset, layout.firstDifatSector);
    set(kNumDifatSectorsOffset, layout.numDifatSectors);
    for (std::size_t k = 0; k < kHeaderDifatEntries; ++k)
        set(kHeaderDifatOffset + 4 * k, layout.headerDifat[k]);
    return header;
}

std::vector<HeaderField> ChangedHeaderFields(const HeaderBytes& before, const HeaderBytes& after)
{
    std::vector<HeaderField> changed;
    for (const HeaderField& field : kHeaderFields) {
        const auto offset = static_cast<std::ptrdiff_t>(field.offset);
        const auto width = static_cast<std::ptrdiff_t>(field.width);
        if (!std::equal(before.begin() + offset, before.begin() + offset + width, after.begin() + offset))
            changed.push_back(field);
    }
    return changed;
}

std::uint32_t HeaderInteger(const HeaderBytes& header, const HeaderField& field)
{
    const std::uint8_t* p = header.data() + field.offset;
    return field.width == 2 ? LoadLe16(p) : LoadLe32(p);
}

}  // namespace tabulon
