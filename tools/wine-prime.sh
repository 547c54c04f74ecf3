#!/bin/bash
# Starts Wine's background services with nobody capturing their output; a test
# that happened to be the first Wine process would otherwise keep ctest waiting
# for end of file forever.
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="$root/build/wineprefix" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
/usr/lib/wine/wineserver -p >/dev/null 2>&1 </dev/null
/usr/lib/wine/wine64 cmd /c exit >/dev/null 2>&1 </dev/null
