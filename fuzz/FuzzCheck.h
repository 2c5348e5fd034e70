// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the fuzz targets share: a check that stops the run on a broken
// invariant, and small helpers for building inputs.

#include <cstdio>
#include <cstdlib>

/// Stops the run with the failed condition and its place; libFuzzer then
/// saves the input as a crash.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond);      \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)
