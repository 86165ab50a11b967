// The global operator new of the writer tests: malloc, with an optional injected
// failure counted per thread. Only operator new is counted (std::vector and other
// standard containers); the sinks' malloc/realloc buffers are not.
#include "failing_allocator.hpp"

#include <cstdlib>
#include <new>

namespace {
thread_local long allocations_until_failure = -1;
}

namespace vorlane::testing_support {

void fail_allocation_after(long successes) noexcept { allocations_until_failure = successes; }

}  // namespace vorlane::testing_support

void* operator new(std::size_t size) {
    if (allocations_until_failure == 0) {
        allocations_until_failure = -1;
        throw std::bad_alloc();
    }
    if (allocations_until_failure > 0) --allocations_until_failure;
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
