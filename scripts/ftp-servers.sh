#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Unpacks Debian's proftpd and pure-ftpd into /var/cache/trelvan-ftpd/ (as
# root), so the tests can run them beside vsftpd: their packages conflict with
# vsftpd's in apt, but their programs do not. Only the runtime libraries they
# link are installed; the packages themselves are unpacked, never installed,
# so no daemon, account or init script comes with them.
#   /var/cache/trelvan-ftpd/proftpd-core/usr/sbin/proftpd   (modules in usr/lib/proftpd)
#   /var/cache/trelvan-ftpd/pure-ftpd/usr/sbin/pure-ftpd    (pure-pw in usr/bin)
# Safe to run again: it does nothing when both are unpacked and start.
set -euo pipefail

root=/var/cache/trelvan-ftpd
packages=(proftpd-core pure-ftpd)
libraries=(
    libacl1 libcap2 libcrypt1 libhiredis0.14 libidn2-0 libmemcached11 libmemcachedutil2
    libncursesw6 libpam0g libpcre2-8-0 libpcre2-posix3 libssl3 libtinfo6 zlib1g libsodium23
)

works() {
    "$root/proftpd-core/usr/sbin/proftpd" --version >/dev/null 2>&1 &&
        "$root/pure-ftpd/usr/sbin/pure-ftpd" --help >/dev/null 2>&1 &&
        [ -x "$root/pure-ftpd/usr/bin/pure-pw" ]
}
works && exit 0

export DEBIAN_FRONTEND=noninteractive
missing=()
for p in "${libraries[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

download=$(mktemp -d)
trap 'rm -rf "$download"' EXIT
# apt's download user must be able to write where the files go.
chmod 0777 "$download"
(cd "$download" && apt-get download -qq "${packages[@]}" 2>/dev/null ||
    { apt-get update -qq && apt-get download -qq "${packages[@]}"; })
for p in "${packages[@]}"; do
    rm -rf "${root:?}/$p"
    mkdir -p "$root/$p"
    dpkg-deb -x "$download/${p}"_*.deb "$root/$p"
done
works || { echo "ftp-servers.sh: the unpacked servers do not start" >&2; exit 1; }
