#!/bin/bash
# Builds the Windows program with the rsync bridge as its Bin\RSync.exe and starts
# it under Wine with the build's own prefix; backups go to the default local
# destination "C:\Kalvaren Backup\" inside that prefix. Without a display it runs
# under a virtual one and plays a new user's first backup by itself (tools/demo.sh).
# KAL_BUILD_DIR chooses the build folder (default build/windows).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash tools/setup.sh
build=${KAL_BUILD_DIR:-build/windows}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build" -j "$(nproc)" --target Kalvaren rsync-bridge kal_demo

export WINEPREFIX="$root/build/wineprefix" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
exe="$(cd "$build" && pwd)/app/Kalvaren.exe"
[[ -f "$(dirname "$exe")/Bin/RSync.exe" ]] || { echo "run: no Bin/RSync.exe beside $exe" >&2; exit 1; }

if [[ -n "${DISPLAY:-}" ]] && xdpyinfo >/dev/null 2>&1; then
    echo "run: starting $exe under Wine on $DISPLAY"
    echo "run: backups go to C:\\Kalvaren Backup\\, which is $WINEPREFIX/drive_c/Kalvaren Backup"
    exec /usr/lib/wine/wine64 "$exe" "$@"
fi

display=:$((500 + RANDOM % 400))
echo "run: no display found; starting a virtual one ($display)"
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
# Wine's services go with the virtual display they were started on.
trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true; kill $xvfb_pid 2>/dev/null || true' EXIT
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
bash tools/wine-prime.sh
bash "$root/tools/demo.sh" "$exe"
