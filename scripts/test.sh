#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds Trelvan with its tests and runs every test: first the format and
# layer checks, then a Release build, then the program as people get it
# (checked to hold no test hook), then the whole suite again under
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
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRELVAN_WERROR=ON \
    -DTRELVAN_AUTOMATION=ON >/dev/null
cmake --build build-test -j"$jobs"
(cd build-test && ctest --output-on-failure -j"$jobs")

# The program as scripts/run.sh builds it for people carries none of the
# hooks the tests drive: it answers nothing by itself, and reads no password
# or certificate authority from its environment.
step "program without test hooks"
cmake -S . -B build-plain -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRELVAN_WERROR=ON \
    -DTRELVAN_TESTS=OFF -DTRELVAN_AUTOMATION=OFF >/dev/null
cmake --build build-plain -j"$jobs" --target trelvan
for hook in TRELVAN_AUTOMATION TRELVAN_PASSWORD TRELVAN_CA_FILE TRELVAN_TEST_REPORT; do
    if grep -q -a "$hook" build-plain/src/trelvan; then
        echo "test.sh: build-plain/src/trelvan still holds $hook" >&2
        exit 1
    fi
done

# Ten seconds of each fuzz target (a clang build of its own in build-fuzz/).
step "fuzz"
TRELVAN_WERROR=ON fuzz/run 10

if [ "${TRELVAN_SKIP_SANITIZERS:-0}" != 1 ]; then
    step "sanitizer build and tests"
    cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTRELVAN_SANITIZE=ON \
        -DTRELVAN_WERROR=ON -DTRELVAN_AUTOMATION=ON >/dev/null
    cmake --build build-asan -j"$jobs"
    (cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --output-on-failure -j"$jobs")
fi
step "done"
