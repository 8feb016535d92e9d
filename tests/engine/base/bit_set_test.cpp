// The bit set's search back, against the plain one-place-at-a-time search it stands for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <random>
#include <vector>

#include "engine/base/bit_set.h"

namespace tabulon {
namespace {

// The greatest place below `place` in `bits`, one place at a time.
std::size_t BeforeByPlaces(const std::vector<bool>& bits, std::size_t place)
{
    for (std::size_t k = std::min(place, bits.size()); k-- > 0;) {
        if (bits[k])
            return k;
    }
    return BitSet::kNone;
}

// Sets of every density around the word boundaries, shrunk and grown again: places that left the
// set with the end do not come back with it.
TEST(BitSet, SearchingBackFindsWhatOnePlaceAtATimeDoes)
{
    std::mt19937 random(7);
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{63}, std::size_t{64}, std::size_t{65}, std::size_t{1000}}) {
        for (const unsigned density : {0u, 1u, 20u, 100u}) {
            SCOPED_TRACE(testing::Message() << size << " places, " << density << " % set");
            BitSet set(size);
            std::vector<bool> plain(size, false);
            for (std::size_t k = 0; k < size; ++k) {
                if (random() % 100 < density) {
                    set.Set(k);
                    plain[k] = true;
                }
            }
            for (std::size_t k = 0; k < size; k += 3) {
                if (random() % 2 == 0) {
                    set.Reset(k);
                    plain[k] = false;
                }
            }
            for (std::size_t place = 0; place <= size + 70; ++place)
                ASSERT_EQ(set.Before(place), BeforeByPlaces(plain, place)) << "before " << place;
            const std::size_t shorter = size / 2 + 1;
            set.Resize(shorter);
            set.Resize(size + 70);
            plain.resize(std::min(shorter, size));
            plain.resize(size + 70, false);
            for (std::size_t place = 0; place <= size + 70; ++place) {
                ASSERT_EQ(set.Before(place), BeforeByPlaces(plain, place)) << "grown again, before " << place;
                if (place < plain.size()) {
                    ASSERT_EQ(set.Test(place), plain[place]) << place;
                }
            }
        }
    }
}

}  // namespace
}  // namespace tabulon
