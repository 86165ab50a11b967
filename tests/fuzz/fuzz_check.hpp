// FUZZ_CHECK: the one way a fuzz target reports a broken property. It prints the
// property and where it was checked, then aborts, which libFuzzer records as a
// crash together with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace vorlane::fuzzing {

[[noreturn]] inline void fail_check(const char* property, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, property);
    std::abort();
}

}  // namespace vorlane::fuzzing

#define FUZZ_CHECK(property) \
    ((property) ? static_cast<void>(0) : ::vorlane::fuzzing::fail_check(#property, __FILE__, __LINE__))
