#!/usr/bin/env bash
# The installer of dist/ under Wine: a silent install under Program Files, the
# Start-menu shortcut that starts the program in the user's own folder, the
# installed program reaching selection mode, and a silent uninstall that
# removes all it installed but leaves the user's folder and its sys.ini.
# Usage: tests/windows/installer.sh x86_64|i686, after tools/build-windows.sh
# ARCH and the test build (tests/windows/run.sh does both). About 40 s.
set -euo pipefail
arch="${1:-}"
# Where each program belongs on 64-bit Windows: its Program Files and registry view.
case "$arch" in
    x86_64) program_files="Program Files" view=/reg:64 ;;
    i686) program_files="Program Files (x86)" view=/reg:32 ;;
    *) echo "usage: $0 x86_64|i686" >&2; exit 2 ;;
esac
root="$(cd "$(dirname "$0")/../.." && pwd)"
. "$root/tests/windows/wine.sh"

dist="$root/dist/windows-$arch"
setup="$(ls "$root"/dist/tallowbrecken-watchdog-*-windows-"$arch"-setup.exe 2>/dev/null | tail -n 1)"
helper="$root/build-windows-$arch/tests/windows/probe_helper.exe"
for file in "$setup" "$dist/watchdog.exe" "$helper"; do
    [ -f "$file" ] || { say "${file:-the installer} is missing: run tests/windows/run.sh $arch"; exit 1; }
done
wine_prefix

work="$(mktemp -d "$root/build-wine/installer-$arch.XXXXXX")"
drive_c="$WINEPREFIX/drive_c"
installed="$drive_c/$program_files/Tallowbrecken Watchdog"
installed_windows="C:\\$program_files\\Tallowbrecken Watchdog"
menu="$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Tallowbrecken Watchdog"
shortcut="$menu/Tallowbrecken Watchdog.lnk"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tallowbrecken Watchdog'
active_setup_key='HKLM\Software\Microsoft\Active Setup\Installed Components\TallowbreckenWatchdog'
apps="$drive_c/apps"
# The display first: Wine's desktop, made by the first process that needs one,
# serves every later process of the session.
wine_session "$work" "$apps"

# A key of the program's own registry view; none left in either view.
registry_has() { "$wine" reg query "$1" "$view" >/dev/null 2>&1; }
registry_has_any() {
    "$wine" reg query "$1" /reg:32 >/dev/null 2>&1 || "$wine" reg query "$1" /reg:64 >/dev/null 2>&1
}
registry_lacks() { ! registry_has_any "$1"; }
registry_delete() {
    local view
    for view in /reg:32 /reg:64; do
        "$wine" reg delete "$1" /f "$view" >/dev/null 2>&1 || true
    done
}

# What a run cut short left installed goes first, so that the checks see only this run.
if [ -e "$installed" ] || [ -e "$menu" ] || registry_has_any "$uninstall_key"; then
    say "Removing an earlier test install"
    rm -rf "$installed" "$menu"
    registry_delete "$uninstall_key"
    registry_delete "$active_setup_key"
fi

# The installing user's folder, as Windows names it and where it lies here.
local_app_data="$("$wine" cmd /c echo '%LOCALAPPDATA%' | tr -d '\r')"
user_dir="$("$wine" winepath -u "$local_app_data\\Tallowbrecken Watchdog" | tr -d '\r')"
user_dir="${user_dir%/}"
rm -rf "$user_dir"

echo "== Installer ($arch): silent install of ${setup##*/}"
# The machine type in a PE file's header: 8664 for x86-64, 14c for i386.
pe_machine() {
    local at
    at="$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')"
    od -An -tx2 -j$((at + 4)) -N2 "$1" | tr -d ' '
}
if [ "$arch" = x86_64 ]; then
    # It must run where 32-bit programs can't.
    check "the installer is a 64-bit program" [ "$(pe_machine "$setup")" = 8664 ]
fi
status=0
"$wine" "$(windows_path "$setup")" /S || status=$?
check "the installer succeeds" [ "$status" = 0 ]

# Every file of dist/windows-ARCH, of the same size (stripping again stamps a
# new time into a DLL's header), and the uninstaller.
listing() { (cd "$1" && find . -type f -printf '%p %s\n') | LC_ALL=C sort; }
same_files() {
    diff <(listing "$dist") <(listing "$installed" | grep -v '^\./Uninstall\.exe ') >&2 &&
        [ -f "$installed/Uninstall.exe" ]
}
check "it installs every file under C:\\$program_files\\Tallowbrecken Watchdog" same_files
check "the Start-menu shortcut exists" [ -f "$shortcut" ]
check "the user's folder exists" [ -d "$user_dir" ]
check "the uninstaller is registered in the $arch registry view" registry_has "$uninstall_key"
# What Active Setup runs at each other user's next logon.
stub_path() {
    "$wine" reg query "$active_setup_key" /v StubPath "$view" 2>/dev/null | tr -d '\r' |
        sed -n 's/^ *StubPath  *REG_EXPAND_SZ  *//p'
}
check "Active Setup makes each other user's folder" \
    [ "$(stub_path)" = '%SystemRoot%\System32\cmd.exe /d /c mkdir "%LOCALAPPDATA%\Tallowbrecken Watchdog"' ]

# The shortcut's target and working directory, read from the link itself.
lnk_field() {
    python3 - "$shortcut" "$1" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
flags = struct.unpack_from("<I", data, 20)[0]
pos = 76
if flags & 0x1:  # a target ID list
    pos += 2 + struct.unpack_from("<H", data, pos)[0]
fields = {}
if flags & 0x2:  # link info: the target's local path
    size, header, _, _, base = struct.unpack_from("<5I", data, pos)
    end = data.index(b"\0", pos + base)
    fields["target"] = data[pos + base:end].decode("latin-1")
    pos += size
unicode = flags & 0x80
for bit, name in ((0x4, "name"), (0x8, "relative"), (0x10, "workdir"), (0x20, "arguments"), (0x40, "icon")):
    if flags & bit:
        count = struct.unpack_from("<H", data, pos)[0]
        width = 2 if unicode else 1
        raw = data[pos + 2:pos + 2 + count * width]
        fields[name] = raw.decode("utf-16-le" if unicode else "latin-1")
        pos += 2 + count * width
print(fields.get(sys.argv[2], "").rstrip("\0"))
EOF
}
if [ -f "$shortcut" ]; then
    check "the shortcut's working directory is %LOCALAPPDATA%\\Tallowbrecken Watchdog, unexpanded" \
        [ "$(lnk_field workdir)" = '%LOCALAPPDATA%\Tallowbrecken Watchdog' ]
    # Windows paths ignore case.
    starts_installed() { [ "$(lnk_field target | tr A-Z a-z)" = "$(printf %s "$installed_windows\\watchdog.exe" | tr A-Z a-z)" ]; }
    check "the shortcut starts the installed watchdog.exe" starts_installed
fi

echo "== Installer ($arch): the installed program, started from its shortcut"
mkdir -p "$apps"
cp "$helper" "$apps/Quillbarrow.exe"
"$wine" start "$(printf '%s' "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Tallowbrecken Watchdog\\Tallowbrecken Watchdog.lnk")" || true
check "it reaches selection mode" wait_until 60 has_window "选择程序"
{ keys_to "选择程序" xdotool key Home shift+End &&
    keys_to "选择程序" xdotool type --delay 30 'C:\apps\Quillbarrow.exe' &&
    keys_to "选择程序" xdotool key Return; } || say "could not type into the dialog"
stored() { tr -d '\r' <"$user_dir/sys.ini" | grep -qx 'VORTELIN_PATH=C:/apps/Quillbarrow.exe'; }
check "it runs in the user's folder: sys.ini is stored there" wait_until 20 stored
keys_to "Tallowbrecken_VRTN" xdotool key alt+F4 || say "could not close the window"
check "closing its window ends it" wait_until 20 no_window "Tallowbrecken_VRTN"
wine_stop
# The user's own file stays: the one stored above, or after a failure there, one put there.
[ -f "$user_dir/sys.ini" ] || printf '[General]\r\nVORTELIN_PATH=C:/apps/Quillbarrow.exe\r\n' >"$user_dir/sys.ini"
cp "$user_dir/sys.ini" "$work/sys.ini"

echo "== Installer ($arch): silent uninstall"
# As a user's uninstall runs: it copies itself aside and removes the folder with
# itself. Wine's server ends once that copy has ended and nothing else runs.
status=0
"$wine" "$installed_windows\\Uninstall.exe" /S || status=$?
check "the uninstaller starts" [ "$status" = 0 ]
check "the uninstaller ends within 2 min" timeout 120 "$wineserver" -w
check "it removes every installed file and the folder" [ ! -e "$installed" ]
# The copies that the uninstaller ran from, which Windows would remove at the next start.
rm -rf "$drive_c"/users/*/Temp/~nsu*.tmp
check "it removes the shortcut and its folder" [ ! -e "$menu" ]
check "it unregisters itself" registry_lacks "$uninstall_key"
check "it removes the Active Setup entry" registry_lacks "$active_setup_key"
check "it leaves the user's folder and sys.ini as they were" cmp -s "$user_dir/sys.ini" "$work/sys.ini"
rm -rf "$user_dir"

[ "$failed" = 0 ] || { echo "Installer ($arch): $failed checks failed"; exit 1; }
echo "Installer ($arch): all checks passed"
