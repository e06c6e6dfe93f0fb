// Shared by the fuzz targets: a failed check is reported and aborts, which
// libFuzzer records as a crash together with the input that caused it.
#ifndef TESSEL_FUZZ_CHECK_H
#define TESSEL_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define CHECK(cond)                                                           \
    do {                                                                      \
        if (!(cond)) {                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__,      \
                         __LINE__, #cond);                                    \
            std::abort();                                                     \
        }                                                                     \
    } while (0)

#endif
