#include "engine/cfb/header.h"

#include <algorithm>

#include "engine/base/byte_order.h"

namespace tabulon {

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
