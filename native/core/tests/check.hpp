// Minimal test support: CHECK records a failure and goes on, so one run shows
// every broken case; main returns check_exit_code().
#pragma once

#include <cstdio>

namespace corvane::testing {

inline int& failure_count() {
    static int count = 0;
    return count;
}

inline int check_exit_code() {
    if (failure_count() != 0) {
        std::fprintf(stderr, "%d check(s) failed\n", failure_count());
        return 1;
    }
    return 0;
}

}  // namespace corvane::testing

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            ++::corvane::testing::failure_count();                                        \
            if (::corvane::testing::failure_count() <= 50)                                \
                std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
        }                                                                                 \
    } while (0)

#define CHECK_THROWS(expr, exc_type)                                                      \
    do {                                                                                  \
        bool caught_ = false;                                                             \
        try {                                                                             \
            (void)(expr);                                                                 \
        } catch (const exc_type&) {                                                       \
            caught_ = true;                                                               \
        }                                                                                 \
        CHECK(caught_ && #expr " throws " #exc_type);                                     \
    } while (0)
