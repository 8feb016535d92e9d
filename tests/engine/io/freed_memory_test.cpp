// The heap keeps a large block freed for the next one, and gives it back when asked.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

#include "engine/io/freed_memory.h"

#if defined(__GLIBC__) && defined(__linux__)
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace tabulon {
namespace {

#if defined(__GLIBC__) && defined(__linux__)
std::uint8_t* volatile gEscaped = nullptr;  // (so that no block is optimised away)

long MinorFaults()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

long ResidentPages()
{
    long size = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> size >> resident;
    return resident;
}

bool UnderSanitizer()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}
#endif

// A repair holds blocks as large as the workbook's stream one after another: the next must not
// fault its pages in afresh, on the repair's thread or another, and a program that goes on
// running must not keep them.
TEST(FreedMemory, KeptForTheNextLargeBlockThenGivenBack)
{
#if defined(__GLIBC__) && defined(__linux__)
    if (UnderSanitizer())
        GTEST_SKIP() << "a sanitizer's allocator stands in for glibc's here";
    KeepFreedMemory();
    // (Larger than a thread's own heap can be: the window repairs on a thread of its own.)
    constexpr std::size_t kSize = 96 << 20;
    const long pages = static_cast<long>(kSize / static_cast<std::size_t>(sysconf(_SC_PAGESIZE)));
    const auto block = [](std::uint8_t fill) {
        std::vector<std::uint8_t> bytes(kSize, fill);
        gEscaped = bytes.data();
    };
    block(1);
    long before = MinorFaults();
    block(2);
    EXPECT_LT(MinorFaults() - before, pages / 4) << "the freed block was not used again";
    before = MinorFaults();  // (counts the whole process's faults, other threads' too)
    std::thread([&] { block(3); }).join();
    EXPECT_LT(MinorFaults() - before, pages / 4) << "another thread did not use the freed block again";
    const long kept = ResidentPages();
    GiveBackFreedMemory();
    EXPECT_GE(kept - ResidentPages(), pages * 3 / 4) << "the freed block stayed with the program";
    gEscaped = nullptr;
#else
    GTEST_SKIP() << "the heap is kept only by glibc's allocator, on Linux";
#endif
}

}  // namespace
}  // namespace tabulon
