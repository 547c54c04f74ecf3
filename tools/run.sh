#!/bin/bash
# Builds the Windows program and starts it. On Linux it runs under Wine with the
# build's own prefix; without a display it runs under a virtual one and saves a
# screenshot.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash tools/setup.sh
cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build build/windows -j "$(nproc)" --target Kalvaren

export WINEPREFIX="$root/build/wineprefix" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
exe="$root/build/windows/app/Kalvaren.exe"

if [[ -n "${DISPLAY:-}" ]] && xdpyinfo >/dev/null 2>&1; then
    echo "run: starting $exe under Wine on $DISPLAY"
    exec /usr/lib/wine/wine64 "$exe" "$@"
fi

display=:$((500 + RANDOM % 400))
echo "run: no display found; starting a virtual one ($display)"
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
trap 'kill $xvfb_pid 2>/dev/null; /usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
bash tools/wine-prime.sh
if [[ -f "$root/tools/demo.sh" ]]; then
    exec bash "$root/tools/demo.sh" "$exe"
fi
/usr/lib/wine/wine64 "$exe" "$@" &
sleep 8
shot="$root/build/kalvaren-run.png"
import -display "$display" -window root "$shot"
echo "run: Kalvaren ran under Wine on the virtual display; screenshot saved to $shot"
/usr/lib/wine/wineserver -k 2>/dev/null || true
