#!/bin/sh
# Runs a Windows executable under Wine with the build's own prefix; used by ctest
# as CMAKE_CROSSCOMPILING_EMULATOR. The prefix lives in the build tree.
here=$(CDPATH= cd -- "$(dirname -- "$0")/.." && pwd)
: "${WINEPREFIX:=$here/build/wineprefix}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export WINEARCH=win64

# Now and then Wine's loader dies by a signal before the program has started
# (an address-space collision at load), silently. That is no verdict on the
# program, so such a start is tried again; anything the program itself ends
# with, or a death after it has run a while, passes through untouched.
attempt=1
while :; do
    started=$(date +%s%N)
    /usr/lib/wine/wine64 "$@"
    rc=$?
    elapsed_ms=$((($(date +%s%N) - started) / 1000000))
    if [ "$rc" -ge 128 ] && [ "$elapsed_ms" -lt 1000 ] && [ "$attempt" -lt 3 ]; then
        echo "wine-run: Wine died at start (code $rc after $elapsed_ms ms); starting again" >&2
        attempt=$((attempt + 1))
        continue
    fi
    [ "$rc" -ne 0 ] && echo "wine-run: $1 ended with code $rc after $elapsed_ms ms" >&2
    exit "$rc"
done
