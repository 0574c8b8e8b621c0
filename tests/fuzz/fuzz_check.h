// Invariant checks for fuzz targets. Unlike assert, they stay on in release
// builds (the replay tests run in the release build too); a violation prints
// what broke and aborts, which the fuzzer records as a crash with its input.
#ifndef KEL_TESTS_FUZZ_CHECK_H
#define KEL_TESTS_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

namespace kel::fuzz {

[[noreturn]] inline void check_failed(const char *condition, const char *what, const char *file, int line)
{
    std::fprintf(stderr, "%s:%d: invariant broken: %s (%s)\n", file, line, what, condition);
    std::abort();
}

}  // namespace kel::fuzz

#define FUZZ_CHECK(condition, what)                                                                                    \
    ((condition) ? static_cast<void>(0) : ::kel::fuzz::check_failed(#condition, what, __FILE__, __LINE__))

#endif  // KEL_TESTS_FUZZ_CHECK_H
