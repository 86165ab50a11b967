// Hands the pages of a large array back to the system while a front-to-back reader
// is still working through it: the part it has finished with is never read again, so
// its memory can go before the array itself is freed. No interpreter.
#pragma once
#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace vorlane {

class ConsumedPages {
public:
    // `data` points to `bytes` bytes of heap memory whose owner frees it later as usual.
    ConsumedPages(const void* data, std::size_t bytes) noexcept
        : next_(align_up(reinterpret_cast<std::uintptr_t>(data))),
          end_(reinterpret_cast<std::uintptr_t>(data) + bytes),
          base_(reinterpret_cast<std::uintptr_t>(data)) {}

    // The reader is done with the first `consumed` bytes. Whole pages among them go
    // back in steps of at least kStep bytes; the page holding the array's first byte
    // (which the allocator's own bookkeeping may share) is never touched.
    void consume(std::size_t consumed) noexcept {
#if defined(__linux__) && defined(MADV_DONTNEED)
        const std::uintptr_t until = align_down(base_ + consumed);
        if (until > end_ || until < next_ + kStep) return;
        ::madvise(reinterpret_cast<void*>(next_), until - next_, MADV_DONTNEED);
        next_ = until;
#else
        (void)consumed;
#endif
    }

private:
    static constexpr std::uintptr_t kStep = std::uintptr_t{256} << 10;

    static std::uintptr_t page_size() noexcept {
#if defined(__linux__)
        static const std::uintptr_t size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
        return size;
#else
        return 4096;
#endif
    }
    static std::uintptr_t align_up(std::uintptr_t address) noexcept {
        const std::uintptr_t page = page_size();
        return (address + page - 1) / page * page;
    }
    static std::uintptr_t align_down(std::uintptr_t address) noexcept { return address / page_size() * page_size(); }

    std::uintptr_t next_;  // the first page not given back yet
    std::uintptr_t end_;
    std::uintptr_t base_;
};

}  // namespace vorlane
