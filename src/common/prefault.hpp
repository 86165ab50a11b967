// Maps in, in one call, the pages of a fresh block that is about to be written from
// end to end, instead of taking one page fault per page as the writes reach them.
// Only a hint: where the kernel does not know the request, the writes fault as usual.
#pragma once
#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vorlane {

// Whether prefault_for_writing can do anything on this build.
constexpr bool kernel_can_populate() noexcept {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    return true;
#else
    return false;
#endif
}

inline void prefault_for_writing(void* block, std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    constexpr std::uintptr_t kPage = 4096;
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (start + kPage - 1) & ~(kPage - 1);
    const std::uintptr_t last = (start + size) & ~(kPage - 1);
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#else
    (void)block;
    (void)size;
#endif
}

}  // namespace vorlane
