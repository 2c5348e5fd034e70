#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds Trelvan (Release) and starts it. Without a display it starts a
# virtual one (Xvfb :99), so the program can be looked at with a screenshot.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRELVAN_TESTS=OFF \
    -DTRELVAN_AUTOMATION=OFF >/dev/null
cmake --build build -j"$(nproc)" --target trelvan
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    Xvfb :99 -screen 0 1024x768x24 >/dev/null 2>&1 &
    export DISPLAY=:99
    sleep 1
    echo "No display: Trelvan runs on the virtual display :99 (screenshot: DISPLAY=:99 import -window root shot.png)"
fi
exec build/src/trelvan "$@"
