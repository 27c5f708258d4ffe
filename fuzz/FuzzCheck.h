// What the fuzz targets share: an invariant check that stops the run with the
// broken rule, so libFuzzer keeps the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                                               \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #cond);                        \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)
