#!/bin/bash
# Installs what the build and the tests need (Debian 12, as root) and prepares the
# Wine prefix inside the build tree. Idempotent: a second run installs nothing and
# leaves a ready prefix alone.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

packages=(
    cmake ninja-build g++ zlib1g-dev googletest
    g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
    wine64 fonts-wine xvfb xauth x11-utils imagemagick nsis
    rsync python3-aiosmtpd openssl libssl-dev libgnutls30
    clang libclang-rt-14-dev clang-format
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The Wine prefix of the tests, the demonstration and the screenshots.
bash "$root/tools/wine-prefix.sh" "$root/build/wineprefix"
