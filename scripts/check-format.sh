#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks that the C++ sources of src/, tests/, bench/ and fuzz/ are laid out
# as .clang-format says, and names every file that is not. With --fix it
# formats them in place instead:
#
#   scripts/check-format.sh --fix
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -d '' files < <(find src tests bench fuzz -type f \( -name '*.cpp' -o -name '*.h' \) \
    -print0 | sort -z)

if [ "${1:-}" = --fix ]; then
    clang-format -i "${files[@]}"
    exit 0
fi

if ! out=$(clang-format --dry-run --Werror "${files[@]}" 2>&1); then
    # One "file:line:col: error: code should be clang-formatted" per place.
    grep -E '^[^ :]+:[0-9]+:[0-9]+: (error|warning):' <<<"$out" | cut -d: -f1 | uniq -c |
        awk '{ print "check-format: " $2 ": " $1 " places off" }'
    echo "check-format: run scripts/check-format.sh --fix" >&2
    exit 1
fi
echo "check-format: ${#files[@]} files follow .clang-format"
