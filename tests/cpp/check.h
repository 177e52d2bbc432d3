// The checks the C++ test programs share: each failed check is printed and
// counted, and finish() turns the count into the exit status. CHECK names
// the failed condition and its place itself.
#pragma once

#include <cstdio>
#include <string>

namespace test_support {

inline int failures = 0;

inline void check(bool ok, const std::string& what) {
    if (!ok) {
        ++failures;
        std::fprintf(stderr, "FAIL: %s\n", what.c_str());
    }
}

inline int finish(const char* program) {
    if (failures != 0) {
        std::fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    std::printf("%s: all checks passed\n", program);
    return 0;
}

}  // namespace test_support

#define CHECK(...)                                                                                 \
    do {                                                                                           \
        if (!(__VA_ARGS__)) {                                                                      \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #__VA_ARGS__); \
            ++test_support::failures;                                                              \
        }                                                                                          \
    } while (0)
