// A set of small whole numbers, a bit each: sectors seen, the places where records start.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tabulon {

// The places 0 to Size() - 1, each in the set or not.
class BitSet {
public:
    static constexpr std::size_t kNone = ~std::size_t{0};

    BitSet() = default;
    explicit BitSet(std::size_t size) : words_((size + 63) / 64, 0), size_(size) {}

    std::size_t Size() const { return size_; }
    bool Test(std::size_t place) const { return (words_[place / 64] >> (place % 64)) & 1u; }
    void Set(std::size_t place) { words_[place / 64] |= Bit(place); }
    void Reset(std::size_t place) { words_[place / 64] &= ~Bit(place); }
    // Sets `place`: false when it was in the set already.
    bool Insert(std::size_t place)
    {
        std::uint64_t& word = words_[place / 64];
        const bool fresh = (word & Bit(place)) == 0;
        word |= Bit(place);
        return fresh;
    }
    // Empties the set; or the 64 places of the word `place` is in, at the cost of one.
    void Clear() { std::fill(words_.begin(), words_.end(), std::uint64_t{0}); }
    void ClearWordOf(std::size_t place) { words_[place / 64] = 0; }
    std::size_t Words() const { return words_.size(); }
    // Places added to the end are not in the set; places past a new end leave it.
    void Resize(std::size_t size)
    {
        words_.resize((size + 63) / 64, 0);
        if (size % 64 != 0)
            words_.back() &= Bit(size) - 1;
        size_ = size;
    }
    // The greatest place below `place` in the set, or kNone: a word at a time.
    std::size_t Before(std::size_t place) const
    {
        place = place < size_ ? place : size_;
        std::size_t word = place / 64;
        std::uint64_t bits = place % 64 == 0 ? 0 : words_[word] & (Bit(place) - 1);
        while (bits == 0) {
            if (word == 0)
                return kNone;
            bits = words_[--word];
        }
        return word * 64 + 63 - static_cast<std::size_t>(std::countl_zero(bits));
    }

private:
    static std::uint64_t Bit(std::size_t place) { return std::uint64_t{1} << (place % 64); }

    std::vector<std::uint64_t> words_;
    std::size_t size_ = 0;
};

}  // namespace tabulon
