#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds Trelvan with its tests and runs every test: first the format and
# layer checks, then a Release build, then the whole suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer. The builds treat warnings
# as errors.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

# How long each step took, for keeping the whole under CI's limit.
step() { echo "== $1 (at ${SECONDS} s)"; }

step "format and layers"
scripts/check-format.sh
scripts/check-layers.sh

step "Release build and tests"
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRELVAN_WERROR=ON >/dev/null
cmake --build build-test -j"$jobs"
(cd build-test && ctest --output-on-failure -j"$jobs")

# Ten seconds of each fuzz target (a clang build of its own in build-fuzz/).
step "fuzz"
TRELVAN_WERROR=ON fuzz/run 10

if [ "${TRELVAN_SKIP_SANITIZERS:-0}" != 1 ]; then
    step "sanitizer build and tests"
    cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTRELVAN_SANITIZE=ON \
        -DTRELVAN_WERROR=ON >/dev/null
    cmake --build build-asan -j"$jobs"
    (cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --output-on-failure -j"$jobs")
fi
step "done"
