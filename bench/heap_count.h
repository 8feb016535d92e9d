// The memory a benchmark program uses: the heap it has asked for (every operator new and
// delete of the program counted) and the most it has had resident.
//
// The replacement operators below are defined here, not merely declared: include this header
// in exactly one source file of a program.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/resource.h>
#endif
#if defined(_WIN32)
#include <malloc.h>
#endif

// Heap accounting: every operator new and delete of this program goes through these, which
// count the bytes asked for. Each block carries its size just before the bytes handed out.

namespace heap {

inline std::atomic<std::int64_t> live{0};
inline std::atomic<std::int64_t> peak{0};

constexpr std::size_t kRoom = alignof(std::max_align_t);

inline std::size_t RoomFor(std::size_t align)
{
    return std::max(align, kRoom);
}

inline void* Allocate(std::size_t size, std::size_t align) noexcept
{
    const std::size_t room = RoomFor(align);
    if (size > SIZE_MAX - 2 * room)
        return nullptr;
    void* base = nullptr;
    if (align <= kRoom) {
        base = std::malloc(size + room);
    } else {
#if defined(_WIN32)
        base = _aligned_malloc(size + room, align);
#else
        base = std::aligned_alloc(align, (size + room + align - 1) / align * align);
#endif
    }
    if (base == nullptr)
        return nullptr;
    unsigned char* user = static_cast<unsigned char*>(base) + room;
    std::memcpy(user - sizeof size, &size, sizeof size);
    const std::int64_t now = live.fetch_add(static_cast<std::int64_t>(size), std::memory_order_relaxed) +
                             static_cast<std::int64_t>(size);
    std::int64_t highest = peak.load(std::memory_order_relaxed);
    while (now > highest && !peak.compare_exchange_weak(highest, now, std::memory_order_relaxed)) {
    }
    return user;
}

inline void Release(void* pointer, std::size_t align) noexcept
{
    if (pointer == nullptr)
        return;
    unsigned char* user = static_cast<unsigned char*>(pointer);
    std::size_t size = 0;
    std::memcpy(&size, user - sizeof size, sizeof size);
    live.fetch_sub(static_cast<std::int64_t>(size), std::memory_order_relaxed);
    void* base = user - RoomFor(align);
    if (align <= kRoom) {
        std::free(base);
    } else {
#if defined(_WIN32)
        _aligned_free(base);
#else
        std::free(base);
#endif
    }
}

inline void* AllocateOrThrow(std::size_t size, std::size_t align)
{
    void* pointer = Allocate(size, align);
    if (pointer == nullptr)
        throw std::bad_alloc();
    return pointer;
}

// The live bytes now; the peak starts again from here.
inline std::int64_t StartWindow()
{
    const std::int64_t now = live.load(std::memory_order_relaxed);
    peak.store(now, std::memory_order_relaxed);
    return now;
}

inline std::int64_t Peak()
{
    return peak.load(std::memory_order_relaxed);
}

inline std::int64_t Live()
{
    return live.load(std::memory_order_relaxed);
}

}  // namespace heap

void* operator new(std::size_t size) { return heap::AllocateOrThrow(size, 0); }
void* operator new[](std::size_t size) { return heap::AllocateOrThrow(size, 0); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return heap::Allocate(size, 0); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return heap::Allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t align)
{
    return heap::AllocateOrThrow(size, static_cast<std::size_t>(align));
}
void* operator new[](std::size_t size, std::align_val_t align)
{
    return heap::AllocateOrThrow(size, static_cast<std::size_t>(align));
}
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept
{
    return heap::Allocate(size, static_cast<std::size_t>(align));
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept
{
    return heap::Allocate(size, static_cast<std::size_t>(align));
}
void operator delete(void* pointer) noexcept { heap::Release(pointer, 0); }
void operator delete[](void* pointer) noexcept { heap::Release(pointer, 0); }
void operator delete(void* pointer, std::size_t) noexcept { heap::Release(pointer, 0); }
void operator delete[](void* pointer, std::size_t) noexcept { heap::Release(pointer, 0); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { heap::Release(pointer, 0); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { heap::Release(pointer, 0); }
void operator delete(void* pointer, std::align_val_t align) noexcept
{
    heap::Release(pointer, static_cast<std::size_t>(align));
}
void operator delete[](void* pointer, std::align_val_t align) noexcept
{
    heap::Release(pointer, static_cast<std::size_t>(align));
}
void operator delete(void* pointer, std::size_t, std::align_val_t align) noexcept
{
    heap::Release(pointer, static_cast<std::size_t>(align));
}
void operator delete[](void* pointer, std::size_t, std::align_val_t align) noexcept
{
    heap::Release(pointer, static_cast<std::size_t>(align));
}
void operator delete(void* pointer, std::align_val_t align, const std::nothrow_t&) noexcept
{
    heap::Release(pointer, static_cast<std::size_t>(align));
}
void operator delete[](void* pointer, std::align_val_t align, const std::nothrow_t&) noexcept
{
    heap::Release(pointer, static_cast<std::size_t>(align));
}

// The most memory this process has had resident, in KiB. Linux keeps the figure of the
// process that started it across exec in getrusage; the address space's own high-water mark
// does not carry it.
inline std::optional<std::int64_t> OwnMaxRssKiB()
{
#if defined(__linux__)
    if (std::FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        long long kib = -1;
        while (std::fgets(line, sizeof line, status)) {
            if (std::sscanf(line, "VmHWM: %lld kB", &kib) == 1)
                break;
        }
        std::fclose(status);
        if (kib >= 0)
            return kib;
    }
#endif
#if defined(__unix__) || defined(__APPLE__)
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) == 0)
#if defined(__APPLE__)
        return static_cast<std::int64_t>(usage.ru_maxrss) / 1024;  // bytes there
#else
        return static_cast<std::int64_t>(usage.ru_maxrss);
#endif
#endif
    return std::nullopt;
}
