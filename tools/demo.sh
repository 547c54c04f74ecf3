#!/bin/bash
# demo.sh <Kalvaren.exe of a Windows build>
#
# What a new user does first, done by itself under Wine: a fresh copy of the
# program (with the rsync bridge as Bin\RSync.exe and the default local
# destination "C:\Kalvaren Backup\") gets a profile, a folder and a Backup, all
# through its window. Prints where the backup landed and where the screenshots are.
# Expects a display and a primed Wine prefix (tools/run.sh provides both).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exe=$(realpath "${1:?usage: $0 <Kalvaren.exe>}")
build=$(cd "$(dirname "$exe")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$root/build/wineprefix}" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"

bridge=$(dirname "$exe")/Bin/RSync.exe
driver=$build/tests/e2e/kal_demo.exe
for f in "$bridge" "$driver"; do
    [[ -f $f ]] || { echo "demo: $f is missing; build rsync-bridge and kal_demo" >&2; exit 1; }
done

winpath() { printf 'Z:%s' "${1//\//\\}"; }

demo=$root/build/demo
rm -rf "$demo"
mkdir -p "$demo/Bin" "$demo/My Files/Holiday photos"
cp "$exe" "$demo/Kalvaren.exe"
cp "$bridge" "$demo/Bin/RSync.exe"
echo "Backed up by Kalvaren on $(date -u '+%Y-%m-%d %H:%M UTC')" >"$demo/My Files/read me.txt"
head -c 20000 /dev/urandom >"$demo/My Files/Holiday photos/beach 1.jpg"
shots=$demo/screenshots

echo "demo: Kalvaren creates a profile, adds \"My Files\" and backs it up"
/usr/lib/wine/wine64 "$driver" "$(winpath "$demo/Kalvaren.exe")" \
    "$(winpath "$demo/My Files")" "$(winpath "$shots")"

landed="$WINEPREFIX/drive_c/Kalvaren Backup/Demo/My Files"
if ! diff -r "$demo/My Files" "$landed" >/dev/null; then
    echo "demo: the backup at $landed differs from the source" >&2
    exit 1
fi
echo "demo: the backup landed in $landed (C:\\Kalvaren Backup\\Demo\\My Files):"
(cd "$landed" && find . -type f | sed 's|^\./|    |')
echo "demo: screenshots of each step are in $shots"
