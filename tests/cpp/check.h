// The one assertion of the C++ tests: reports the failed condition with its
// place and counts it, so that a test goes on to its end and exits non-zero.
#pragma once

#include <cstdio>

namespace test_support {
inline int failures = 0;
}  // namespace test_support

#define CHECK(...)                                                                                 \
    do {                                                                                           \
        if (!(__VA_ARGS__)) {                                                                      \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #__VA_ARGS__); \
            ++test_support::failures;                                                              \
        }                                                                                          \
    } while (0)
