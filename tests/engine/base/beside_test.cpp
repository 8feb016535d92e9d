// Work on a second thread: what it does is there once waited for, what it throws comes back
// to the one who waits, and leaving the scope never leaves it running on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "engine/base/beside.h"

namespace tabulon {
namespace {

TEST(Beside, TheWorkIsDoneWhenWaitedForAndWhatItThrowsComesBack)
{
    int counted = 0;
    {
        Beside work([&counted] {
            for (int i = 0; i < 1000; ++i)
                ++counted;
        });
        work.Wait();
        EXPECT_EQ(counted, 1000);
    }

    Beside failing([] { throw std::runtime_error("no room"); });
    EXPECT_THROW(failing.Wait(), std::runtime_error);

    // Unwinding past it waits for it: nothing it touches is gone while it runs.
    std::atomic<bool> finished = false;
    try {
        Beside slow([&finished] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            finished = true;
        });
        throw std::logic_error("the caller fails meanwhile");
    } catch (const std::logic_error&) {
        EXPECT_TRUE(finished);
    }
}

}  // namespace
}  // namespace tabulon
