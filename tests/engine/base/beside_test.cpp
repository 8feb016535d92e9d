// Work on a second thread: what it does is there once waited for, what it throws comes back
// to the one who waits, leaving the scope never leaves it running on, and work over too little
// to be worth a thread is done by the one who waits.
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
        Beside work(Beside::kWorthAThread, [&counted] {
            for (int i = 0; i < 1000; ++i)
                ++counted;
        });
        work.Wait();
        EXPECT_EQ(counted, 1000);
    }

    // Work over little is done by the one who waits, when it waits: no thread started for it.
    std::thread::id doer;
    Beside small(Beside::kWorthAThread - 1, [&doer] { doer = std::this_thread::get_id(); });
    EXPECT_EQ(doer, std::thread::id());
    small.Wait();
    EXPECT_EQ(doer, std::this_thread::get_id());

    Beside failing(Beside::kWorthAThread, [] { throw std::runtime_error("no room"); });
    EXPECT_THROW(failing.Wait(), std::runtime_error);

    // Unwinding past it waits for it: nothing it touches is gone while it runs.
    std::atomic<bool> finished = false;
    try {
        Beside slow(Beside::kWorthAThread, [&finished] {
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
