// Work done on a second thread while the caller goes on with its own.
#pragma once

#include <cstddef>
#include <future>
#include <system_error>
#include <utility>

namespace tabulon {

// Runs `work` on a thread of its own, for work that only reads what nobody writes until Wait()
// returns; `reads` is about how many bytes it goes over. Where that is too little to be worth
// starting a thread (one costs tens of microseconds), or no thread can be had, Wait() does the
// work itself. Wait() gives back what the work threw. Leaving the scope waits as well (what was
// thrown then is dropped: the caller is unwinding already).
class Beside {
public:
    static constexpr std::size_t kWorthAThread = 256 << 10;

    template <typename Work>
    Beside(std::size_t reads, Work work)
    {
        if (reads >= kWorthAThread) {
            try {
                done_ = std::async(std::launch::async, work);
                return;
            } catch (const std::system_error&) {
            }
        }
        done_ = std::async(std::launch::deferred, std::move(work));
    }
    Beside(const Beside&) = delete;
    Beside& operator=(const Beside&) = delete;
    ~Beside()
    {
        if (done_.valid())
            done_.wait();
    }

    void Wait()
    {
        if (done_.valid())
            done_.get();
    }

private:
    std::future<void> done_;
};

}  // namespace tabulon
