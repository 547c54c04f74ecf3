#!/bin/bash
# wine-prefix.sh <folder>
#
# Makes <folder> a ready 64-bit Wine prefix: created once without Mono or Gecko
# prompts, windows unmanaged (with no window manager under Xvfb every close
# would otherwise stall two seconds), and Wine's own fonts in its Fonts folder.
# Idempotent. Every Wine process started here has its output sent nowhere, so
# the services it leaves running hold no caller's pipe.
set -euo pipefail
export WINEPREFIX
WINEPREFIX=$(realpath -m "${1:?usage: $0 <prefix folder>}")
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d" WINEARCH=win64
wine=/usr/lib/wine/wine64

if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    mkdir -p "$WINEPREFIX"
    "$wine" wineboot -i >/dev/null 2>&1 </dev/null || true
    "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null
    /usr/lib/wine/wineserver -w
fi

# Debian's Wine does not find the fonts of fonts-wine in its data folder; in the
# prefix's Fonts folder it does. Without them dialogs fall back to a wider font
# (captions look clipped) and caption buttons lack their Marlett glyphs.
fonts="$WINEPREFIX/drive_c/windows/Fonts"
if [[ -d /usr/share/wine/fonts ]]; then
    mkdir -p "$fonts"
    cp -n /usr/share/wine/fonts/* "$fonts/"
fi
