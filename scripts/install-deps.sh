#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what Trelvan needs to build, run and test on Debian 12 (as root).
# Safe to run again: it asks apt only for packages that are missing.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-translations-l10n libqt6svg6
    libgtest-dev libssl-dev zlib1g-dev clang libclang-rt-14-dev clang-format
    python3-pyftpdlib python3-openssl vsftpd curl lftp openssl
    xvfb xauth x11-apps imagemagick time procps iproute2 dbus-daemon
    # bench/run's desktop mode: a window manager, the accessibility bus, a
    # screen reader's library, the mouse, and X's event watcher
    openbox dbus at-spi2-core python3-pyatspi xdotool x11-utils qt6-qpa-plugins
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    # vsftpd's package would start a system daemon on port 21; the tests start
    # their own servers on loopback ports, so keep it from starting.
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
        chmod +x /usr/sbin/policy-rc.d
        trap 'rm -f /usr/sbin/policy-rc.d' EXIT
    fi
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# proftpd and pure-ftpd for the tests, unpacked beside vsftpd (their
# packages conflict with it in apt).
"$(dirname "$0")/ftp-servers.sh"
