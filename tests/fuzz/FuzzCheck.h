#pragma once
#include <cstdio>
#include <cstdlib>

// A finding that is no crash: a reader returned something its contract rules out.
#define KEL_FUZZ_CHECK(condition)                                                                  \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__);    \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)
