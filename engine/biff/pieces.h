// Reading a record and its CONTINUE records as one, for the cell reader and the mending.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/base/byte_order.h"

namespace tabulon {

// A record body and the CONTINUE records after it, read as one run of bytes. Characters that
// reach the end of one piece go on in the next after a byte that states again whether they
// are one or two bytes wide; everything else simply goes on.
class Pieces {
public:
    using Bytes = std::span<const std::uint8_t>;

    explicit Pieces(std::vector<Bytes> pieces) : pieces_(std::make_shared<const std::vector<Bytes>>(std::move(pieces))) {}
    // The pieces of `pieces` from `first` on, reading from `skip` bytes into that one.
    Pieces(std::shared_ptr<const std::vector<Bytes>> pieces, std::size_t first, std::size_t skip)
        : pieces_(std::move(pieces)), index_(first), position_(skip)
    {
    }

    std::size_t Size() const
    {
        std::size_t size = 0;
        for (const Bytes piece : *pieces_)
            size += piece.size();
        return size;
    }

    bool Byte(std::uint8_t& value)
    {
        if (!Settle())
            return false;
        value = (*pieces_)[index_][position_++];
        return true;
    }

    bool Le16(std::uint16_t& value)
    {
        std::uint8_t low = 0, high = 0;
        if (!Byte(low) || !Byte(high))
            return false;
        value = static_cast<std::uint16_t>(low | (high << 8));
        return true;
    }

    bool Le32(std::uint32_t& value)
    {
        std::uint16_t low = 0, high = 0;
        if (!Le16(low) || !Le16(high))
            return false;
        value = low | (std::uint32_t{high} << 16);
        return true;
    }

    bool Skip(std::size_t count)
    {
        while (count > 0) {
            if (!Settle())
                return false;
            const std::size_t step = std::min(count, (*pieces_)[index_].size() - position_);
            position_ += step;
            count -= step;
        }
        return true;
    }

    // `count` characters, one or two bytes wide, as UTF-16 code units.
    bool Chars(std::size_t count, bool wide, std::u16string& units) { return TakeChars(count, wide, &units); }
    // Past `count` characters, as Chars reads them.
    bool SkipChars(std::size_t count, bool wide) { return TakeChars(count, wide, nullptr); }

    // Moves past used-up pieces; false when none is left.
    bool Settle()
    {
        while (index_ < pieces_->size() && position_ == (*pieces_)[index_].size()) {
            ++index_;
            position_ = 0;
        }
        return index_ < pieces_->size();
    }

    // Where the next byte is (after Settle), or nothing at the end.
    const std::uint8_t* Here() const { return index_ < pieces_->size() ? (*pieces_)[index_].data() + position_ : nullptr; }
    // The piece the next byte is in, and where that piece ends.
    std::size_t Index() const { return index_; }
    const std::uint8_t* PieceEnd() const
    {
        return index_ < pieces_->size() ? (*pieces_)[index_].data() + (*pieces_)[index_].size() : nullptr;
    }

private:
    // Characters go on in the next piece behind a flags byte of their own, which says their
    // width there.
    bool TakeChars(std::size_t count, bool wide, std::u16string* units)
    {
        while (count > 0) {
            if (index_ >= pieces_->size())
                return false;
            if (position_ == (*pieces_)[index_].size()) {
                ++index_;
                position_ = 0;
                if (index_ >= pieces_->size() || (*pieces_)[index_].empty())
                    return false;
                wide = ((*pieces_)[index_][0] & 0x01) != 0;
                position_ = 1;
                continue;
            }
            const Bytes piece = (*pieces_)[index_];
            const std::size_t available = piece.size() - position_;
            const std::size_t take = std::min(count, wide ? available / 2 : available);
            if (take == 0)
                return false;  // half a character before the end of the piece
            if (units) {
                const std::size_t had = units->size();
                units->resize(had + take);
                char16_t* out = units->data() + had;
                const std::uint8_t* in = piece.data() + position_;
                if (wide) {
                    for (std::size_t i = 0; i < take; ++i)
                        out[i] = static_cast<char16_t>(LoadLe16(in + 2 * i));
                } else {
                    for (std::size_t i = 0; i < take; ++i)
                        out[i] = static_cast<char16_t>(in[i]);
                }
            }
            position_ += wide ? 2 * take : take;
            count -= take;
        }
        return true;
    }

    // Shared by copies, which read on from where the original stood.
    std::shared_ptr<const std::vector<Bytes>> pieces_;
    std::size_t index_ = 0;
    std::size_t position_ = 0;
};

}  // namespace tabulon
