#include "engine/io/freed_memory.h"

#include <cstdlib>  // (tells __GLIBC__)
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tabulon {

void KeepFreedMemory()
{
#if defined(__GLIBC__)
    // glibc maps each block above a threshold (128 KiB at first, moving up to 32 MiB as such
    // blocks are freed) on its own and unmaps it when it is freed, and it gives back the top
    // of the heap once more than twice that lies free there. Blocks of up to 1 GiB come from
    // the heap instead, and what is freed stays there until it is given back below. Every
    // thread takes them from the one heap: another thread's heap of its own holds 64 MiB at
    // most, and the window repairs on a thread of its own.
    constexpr int kLargest = 1 << 30;
    mallopt(M_MMAP_THRESHOLD, kLargest);
    mallopt(M_TRIM_THRESHOLD, kLargest);
    mallopt(M_ARENA_MAX, 1);
#endif
}

void GiveBackFreedMemory()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

}  // namespace tabulon
