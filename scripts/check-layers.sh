#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks that includes in src/ run downwards only. The folders are layers,
# bottom first: ftp < state < upload < folders < shell < app. A file may
# include headers of its own folder and of the folders below it, never of
# one above; src/ftp includes nothing of Qt. Prints each include that breaks
# the order and exits 1 if there is any.
#
# Windows (U*.h, with their .ui forms) are put together by the main window
# and start-up: below src/shell a file includes no window of another folder
# and is handed an interface instead.
set -euo pipefail
cd "$(dirname "$0")/.."

layers=(ftp state upload folders shell app)
declare -A rank
for i in "${!layers[@]}"; do
    rank[${layers[$i]}]=$i
done

bad=0
while IFS= read -r -d '' file; do
    own=${file#src/}
    own=${own%%/*}
    [ -n "${rank[$own]+set}" ] || continue
    while IFS=: read -r line text; do
        target=$(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*["<]\([^">]*\)[">].*/\1/p' <<<"$text")
        [ -n "$target" ] || continue
        folder=${target%%/*}
        if [ "$own" = ftp ] && [[ $target == Q* || $folder == Qt* ]]; then
            echo "$file:$line: includes <$target>: src/ftp uses no Qt"
            bad=1
        elif [ "$folder" != "$target" ] && [ -n "${rank[$folder]+set}" ] &&
            [ "${rank[$folder]}" -gt "${rank[$own]}" ]; then
            echo "$file:$line: includes \"$target\": $own may not include $folder (order: ${layers[*]})"
            bad=1
        elif [ "$folder" != "$own" ] && [ -n "${rank[$folder]+set}" ] &&
            [ "${rank[$own]}" -lt "${rank[shell]}" ] && [[ ${target##*/} == U[A-Z]*.h ]]; then
            echo "$file:$line: includes \"$target\": a window of another folder is for shell and app only"
            bad=1
        fi
    done < <(grep -n '^[[:space:]]*#[[:space:]]*include' "$file" || true)
done < <(find src -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z)

if [ "$bad" -ne 0 ]; then
    echo "check-layers: includes run the wrong way (see above)" >&2
    exit 1
fi
echo "check-layers: every include runs downwards"
