// A replacement of the global operator new for the writer tests that can be told to
// fail the Nth allocation on the calling thread from now on.
#pragma once

namespace vorlane::testing_support {

// Makes the allocation after `successes` more successful ones throw std::bad_alloc
// on this thread (once); a negative count turns failing off.
void fail_allocation_after(long successes) noexcept;

// Scope that arms the failure and disarms it on exit.
class AllocationFailure {
public:
    explicit AllocationFailure(long successes) noexcept { fail_allocation_after(successes); }
    ~AllocationFailure() { fail_allocation_after(-1); }
    AllocationFailure(const AllocationFailure&) = delete;
    AllocationFailure& operator=(const AllocationFailure&) = delete;
};

}  // namespace vorlane::testing_support
