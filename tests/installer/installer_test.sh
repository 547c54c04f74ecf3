#!/bin/bash
# installer_test.sh <Kalvaren-Setup.exe> <work folder>
#
# What a standard user does with the installer, under Wine in a fresh prefix of
# its own: a silent install into %LOCALAPPDATA%\Programs\Kalvaren, the installed
# program started from there at logon (it keeps its run-at-logon entry) until its
# window shows and closed as a user closes it (it writes Data.dat), then a silent
# uninstall, which must remove the program and every run-at-logon entry that
# names it and keep Data.dat and Settings.ini. Needs a display.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
setup=$(realpath "${1:?usage: $0 <Kalvaren-Setup.exe> <work folder>}")
work=$(realpath -m "${2:?usage: $0 <Kalvaren-Setup.exe> <work folder>}")

export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
wine=/usr/lib/wine/wine64

fail() {
    echo "installer test: $*" >&2
    exit 1
}
# Polls up to 60 s for a condition (a command).
within_a_minute() {
    for _ in $(seq 600); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}
# Wine's processes get no output of ours: the services they leave behind would
# otherwise hold ctest's pipe open.
quietly() { "$@" >/dev/null 2>&1 </dev/null; }

echo "installer test: Kalvaren-Setup.exe is $(stat -c %s "$setup") bytes ($(($(stat -c %s "$setup") / 1024)) KiB)"

rm -rf "$work"
mkdir -p "$work"
trap 'quietly /usr/lib/wine/wineserver -k || true' EXIT
bash "$root/tools/wine-prefix.sh" "$WINEPREFIX"

quietly "$wine" "$setup" /S || fail "the silent install failed"
user_profile=$(ls -d "$WINEPREFIX"/drive_c/users/*/AppData/Local/Programs/Kalvaren 2>/dev/null | head -1)
[[ -n $user_profile ]] || fail "nothing was installed under %LOCALAPPDATA%\\Programs\\Kalvaren"
folder=$user_profile
profile=${folder%/AppData/Local/Programs/Kalvaren}
shortcut="$profile/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Kalvaren.lnk"
for f in Kalvaren.exe Uninstall.exe Bin; do
    [[ -e $folder/$f ]] || fail "$f is missing in $folder"
done
[[ -f $shortcut ]] || fail "no Start-menu shortcut at $shortcut"
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Kalvaren'
entry=$("$wine" reg query "$uninstall_key" 2>/dev/null </dev/null | tr -d '\r')
for value in "DisplayName.*Kalvaren" "DisplayVersion" "Publisher" "DisplayIcon.*Kalvaren.exe" \
    "UninstallString.*Uninstall.exe"; do
    grep -q "$value" <<<"$entry" || fail "the uninstall entry lacks $value: $entry"
done
version=$(sed -n 's/.*DisplayVersion[[:space:]]*REG_SZ[[:space:]]*//p' <<<"$entry")
echo "installer test: installed version $version in $folder"

# An earlier version, as far as the upgrade below can tell: the same program
# with a few bytes more at its end.
cp "$folder/Kalvaren.exe" "$work/new.exe"
printf 'earlier version' >>"$folder/Kalvaren.exe"

# Started from its folder at logon, as Windows starts it from the Run entry.
winfolder=$("$wine" winepath -w "$folder" 2>/dev/null </dev/null | tr -d '\r')
(cd "$folder" && exec "$wine" "$winfolder\\Kalvaren.exe" -startup >/dev/null 2>&1 </dev/null) &
program=$!
# Other tests may show windows named so on the same display: the one sought
# belongs to this process.
shows_window() {
    local window
    for window in $(xwininfo -root -tree 2>/dev/null | awk '/"Kalvaren":/ {print $1}'); do
        xprop -id "$window" _NET_WM_PID 2>/dev/null | grep -q "= $program\$" && return 0
    done
    return 1
}
within_a_minute shows_window || fail "the installed program showed no window"
echo "installer test: the installed program shows its window"
exited() { ! kill -0 "$program" 2>/dev/null; }

# An upgrade over the running program closes it, replaces it and starts it again.
quietly "$wine" "$setup" /S || fail "the silent upgrade over the running program failed ($?)"
within_a_minute exited || fail "the upgrade left the earlier program running"
cmp -s "$folder/Kalvaren.exe" "$work/new.exe" ||
    fail "the upgrade reported success and left the earlier Kalvaren.exe"
# The program's processes in this prefix, but for `$1`.
programs_but() {
    local pid
    for pid in $(pgrep -f 'Kalvaren\.exe'); do
        [[ $pid != "$1" ]] && tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null |
            grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "$pid"
    done
    return 0
}
restarted() { [[ -n $(programs_but "$program") ]]; }
within_a_minute restarted || fail "the upgrade did not start the program again"
program=$(programs_but "$program" | head -1)
within_a_minute shows_window || fail "the program started again showed no window"
echo "installer test: upgraded over the running program, which runs again"

# Closing the window ends the program, which writes Data.dat.
quietly "$wine" taskkill /im Kalvaren.exe || true
within_a_minute exited || fail "the program did not end when its window was closed"
[[ -f $folder/Data.dat ]] || fail "the program wrote no Data.dat"
printf '[Header]\r\nSubTitle=Office\r\n' >"$folder/Settings.ini"
run_key='Software\Microsoft\Windows\CurrentVersion\Run'
run_entries() {
    local root
    for root in HKCU HKLM; do
        "$wine" reg query "$root\\$run_key" /v Kalvaren 2>/dev/null </dev/null | tr -d '\r' |
            grep -i 'Kalvaren.exe' | sed "s/^/$root: /" || true
    done
}
grep -q '^HKCU: .*-startup' <<<"$(run_entries)" || fail "no run-at-logon entry of the user's: $(run_entries)"
# As an earlier version left it where the machine's key took the write (Wine's does).
quietly "$wine" reg add "HKLM\\$run_key" /v Kalvaren /d "\"$winfolder\\Kalvaren.exe\" -startup" /f

quietly "$wine" "$winfolder\\Uninstall.exe" /S || fail "the silent uninstall failed"
# The uninstaller works on from a copy of itself in the temporary folder.
removed() { [[ ! -e $folder/Uninstall.exe && ! -e $folder/Kalvaren.exe ]]; }
within_a_minute removed || fail "the uninstall left the program in $folder: $(ls "$folder")"
quietly /usr/lib/wine/wineserver -w || true
[[ ! -e $folder/Bin ]] || fail "the uninstall left Bin"
[[ ! -e $shortcut ]] || fail "the uninstall left the Start-menu shortcut"
if quietly "$wine" reg query "$uninstall_key"; then fail "the uninstall entry is still registered"; fi
[[ -z $(run_entries) ]] || fail "the uninstall left run-at-logon entries: $(run_entries)"
[[ -f $folder/Data.dat && -f $folder/Settings.ini ]] ||
    fail "the uninstall did not keep Data.dat and Settings.ini: $(ls -A "$folder")"
echo "installer test: uninstalled; $(ls "$folder" | tr '\n' ' ')kept"
# The prefix's server writes its registry files as it ends: not while they go.
quietly /usr/lib/wine/wineserver -k || true
rm -rf "$work"
