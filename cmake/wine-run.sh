#!/bin/sh
# Runs a Windows executable under Wine with the build's own prefix; used by ctest
# as CMAKE_CROSSCOMPILING_EMULATOR. The prefix lives in the build tree.
here=$(CDPATH= cd -- "$(dirname -- "$0")/.." && pwd)
: "${WINEPREFIX:=$here/build/wineprefix}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export WINEARCH=win64
exec /usr/lib/wine/wine64 "$@"
