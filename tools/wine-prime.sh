#!/bin/bash
# Starts Wine's background services and its desktop with nobody capturing their
# output; a test that happened to start them would otherwise keep ctest waiting
# for the end of its output for as long as they run.
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="$root/build/wineprefix" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
/usr/lib/wine/wineserver -p >/dev/null 2>&1 </dev/null
/usr/lib/wine/wine64 cmd /c exit >/dev/null 2>&1 </dev/null
# The desktop comes and goes with the windowed programs unless one holds it: the
# keeper does, until the wineserver is ended (the callers' clean-up).
keeper="$root/build/windows/tests/helpers/desktop-keeper/kal_desktop_keeper.exe"
if [[ -f "$keeper" ]]; then
    setsid /usr/lib/wine/wine64 "$keeper" >/dev/null 2>&1 </dev/null &
fi
