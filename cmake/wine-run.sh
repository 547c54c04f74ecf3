#!/bin/sh
# Runs a Windows executable under Wine with the build's own prefix; used by ctest
# as CMAKE_CROSSCOMPILING_EMULATOR. The prefix lives in the build tree.
here=$(CDPATH= cd -- "$(dirname -- "$0")/.." && pwd)
: "${WINEPREFIX:=$here/build/wineprefix}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export WINEARCH=win64

# Now and then Wine fails before the program has started, silently: its loader
# dies by a signal, or it gives up within a few milliseconds (a warm start of
# the smallest program takes 20 ms or more). That is no verdict on the program,
# so such a start is tried again; anything the program itself ends with passes
# through untouched.
attempt=1
while :; do
    started=$(date +%s%N)
    /usr/lib/wine/wine64 "$@"
    rc=$?
    elapsed_ms=$((($(date +%s%N) - started) / 1000000))
    if [ "$rc" -ne 0 ] && [ "$attempt" -lt 3 ] &&
        { [ "$elapsed_ms" -lt 10 ] || { [ "$rc" -ge 128 ] && [ "$elapsed_ms" -lt 1000 ]; }; }; then
        echo "wine-run: Wine failed at start (code $rc after $elapsed_ms ms); starting again" >&2
        attempt=$((attempt + 1))
        continue
    fi
    [ "$rc" -ne 0 ] && echo "wine-run: $1 ended with code $rc after $elapsed_ms ms" >&2
    exit "$rc"
done
