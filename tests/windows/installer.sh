#!/usr/bin/env bash
# The installer of dist/ under Wine, in three groups:
#  - per user (the default), with /AUTOSTART: the files in the user's programs
#    folder, the entry under HKCU, the shortcut starting the program in the
#    user's working folder, the log-on entry starting it there in watch mode;
#    a reinstall into another folder, whose entry and shortcuts the first
#    folder's uninstaller leaves alone; an uninstall removing all that and
#    keeping the user's files;
#    then, run as deployment tools run it (an exact command line through
#    CreateProcess, in a job that kills what is left in it), into folders
#    named with & ^ % ! ( ) ' ; , =, spaces and other letters: the install and
#    the entry's quiet uninstall succeed, leave nothing in their job, and the
#    uninstall leaves nothing behind, even with Uninstall.exe read-only;
#  - for all users (/AllUsers): the files under Program Files, the entry under
#    HKLM, the Active Setup command making a working folder; an interactive
#    upgrade taking every default keeps that mode and its log-on entry;
#  - while the installed watchdog runs in watch mode (from that install): the
#    installer's and the uninstaller's first page and their question before
#    closing it in Windows' display language, a row per Wine locale; each
#    asks first, and cancelled changes nothing (exit code 1); a silent upgrade
#    in place, in a job, ends it, replaces every file and starts it again in
#    its working folder outside the job, also when it was started through the
#    folder's short (8.3) name, and one working in a drive root (exit code 4
#    when it can't); an upgrade that fails after closing it starts it again;
#    another program holding a DLL of the folder makes an upgrade and an
#    uninstall fail (exit code 2), keeps the entry and leaves the watchdog
#    running; the entry's quiet uninstall,
#    waited for, ends it and removes every file. The program it watches, the
#    user's files and a watchdog.exe running from elsewhere are left alone.
#    Both modes at once fail with exit code 2.
# Usage: tests/windows/installer.sh x86_64|i686, after tools/build-windows.sh
# ARCH and the test build (tests/windows/run.sh does both). About 4 min.
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
wine_isolate "$@"

dist="$root/dist/windows-$arch"
setup="$(ls "$root"/dist/tallowbrecken-watchdog-*-windows-"$arch"-setup.exe 2>/dev/null | tail -n 1)"
helper="$root/build-windows-$arch/tests/windows/probe_helper.exe"
windowprobe="$root/build-windows-$arch/tests/windows/windowprobe.exe"
probe="$(windows_path "$windowprobe")"
for file in "$setup" "$dist/watchdog.exe" "$helper" "$windowprobe"; do
    [ -f "$file" ] || { say "${file:-the installer} is missing: run tests/windows/run.sh $arch"; exit 1; }
done
version="${setup##*/tallowbrecken-watchdog-}"
version="${version%%-windows-*}"
wine_prefix

work="$(mktemp -d "$root/build-wine/installer-$arch.XXXXXX")"
drive_c="$WINEPREFIX/drive_c"
other="$drive_c/other"
# The display first: Wine's desktop, made by the first process that needs one,
# serves every later process of the session.
wine_session "$work" "$other"

name="Tallowbrecken Watchdog"
uninstall_key="Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$name"
active_setup_key='HKLM\Software\Microsoft\Active Setup\Installed Components\TallowbreckenWatchdog'
# The folders as Windows names them (a_* for all users), and where they lie here.
IFS='|' read -r local_app_data app_data program_data < <("$wine" cmd /c 'echo %LOCALAPPDATA%^|%APPDATA%^|%ProgramData%' | tr -d '\r')
work_dir_w="$local_app_data\\$name"
user_programs_w="$local_app_data\\Programs\\$name"
a_programs_w="C:\\$program_files\\$name"
menu_w="$app_data\\Microsoft\\Windows\\Start Menu\\Programs"
a_menu_w="$program_data\\Microsoft\\Windows\\Start Menu\\Programs"
unix_path() { "$wine" winepath -u "$1" | tr -d '\r' | sed 's:/$::'; }
work_dir="$(unix_path "$work_dir_w")"
user_programs="$(unix_path "$user_programs_w")"
a_programs="$(unix_path "$a_programs_w")"
menu="$(unix_path "$menu_w")"
a_menu="$(unix_path "$a_menu_w")"
startup="$menu/StartUp"
a_startup="$a_menu/StartUp"

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
# The values of a key in the program's view, as "name=value" lines.
registry_values() {
    "$wine" reg query "$1" "$view" 2>/dev/null | tr -d '\r' |
        sed -n 's/^    \(.*[^ ]\)    REG_[A-Z_]*    \(.*\)$/\1=\2/p'
}

for folder in "$work_dir" "$user_programs" "$a_programs" "$menu" "$a_menu"; do
    [[ "$folder" == "$WINEPREFIX"/?*/?* ]] || { say "Wine named no such folder: '$folder'"; exit 1; }
done
# What a run cut short left installed goes first, so that the checks see only this run.
moved_w='C:\Moved'
moved="$drive_c/Moved"
rm -rf "$moved" "$user_programs" "$a_programs" "$menu/$name" "$a_menu/$name" "$startup/$name.lnk" "$a_startup/$name.lnk" "$work_dir"
for hive in HKCU HKLM; do
    registry_delete "$hive\\$uninstall_key"
done
registry_delete "$active_setup_key"

# This prefix's processes, one a line: the kernel's name for it, a tab, and
# its Windows command line (for a program started by its path, that path).
wine_processes() {
    local pid comm command
    for pid in $(grep -lsxF "WINEPREFIX=$WINEPREFIX" -z /proc/[0-9]*/environ | cut -d/ -f3); do
        { read -r comm </proc/"$pid"/comm && read -r -d '' command </proc/"$pid"/cmdline; } 2>/dev/null || continue
        printf '%s\t%s\n' "$comm" "$command"
    done
}
# Whether a process started from the file $1 (a Windows path; case is ignored) runs.
runs() { wine_processes | cut -f2 | grep -qixF "$1"; }
ended() { ! runs "$1"; }
# The Linux pids of the processes started from the file $1 (as for runs).
pids_of() {
    local pid command
    for pid in $(grep -lsxF "WINEPREFIX=$WINEPREFIX" -z /proc/[0-9]*/environ | cut -d/ -f3); do
        { read -r -d '' command </proc/"$pid"/cmdline; } 2>/dev/null || continue
        [ "${command,,}" != "${1,,}" ] || echo "$pid"
    done
}
# Kills, as a crash would, the processes whose kernel name is $1.
kill_named() {
    local pid comm
    for pid in $(grep -lsxF "WINEPREFIX=$WINEPREFIX" -z /proc/[0-9]*/environ | cut -d/ -f3); do
        { read -r comm </proc/"$pid"/comm; } 2>/dev/null || continue
        [ "$comm" != "$1" ] || kill -9 "$pid" 2>/dev/null || true
    done
}

# Starts the Windows command line that follows in the background, in the
# environment "${in_locale[@]}" sets, if any, through the window probe, which
# says the exit code that Windows gives it; its process is "$started".
# windows_status waits for the process $1 and puts that code in "$status".
# Not Wine's own status: under load Wine's server kills a process that is
# already ending, and Linux then sees 137 whatever the code.
in_locale=()
declare -A said_by=()
started=""
windows_start() {
    local out="$work/exit-$((${#said_by[@]} + 1)).txt"
    ${in_locale[@]+"${in_locale[@]}"} "$wine" "$probe" run "$@" >"$out" 2>/dev/null &
    started=$!
    said_by[$started]="$out"
}
status=0
windows_status() {
    wait "$1" 2>/dev/null || true
    status="$(tr -d '\r' <"${said_by[$1]}" | sed -n 's/^exit //p' | tail -n 1)"
    [ -n "$status" ] || status="unknown (the window probe said no exit code)"
}

# Runs the installer or uninstaller $1 silently with the switches that follow;
# "$status" is its exit code. An uninstaller runs from a copy in the temporary
# folder, which it starts and leaves: that copy is waited for (2 min at most).
no_uninstaller_copy() { ! wine_processes | cut -f2 | grep -qF '\~nsu'; }
run_silently() {
    windows_start "$1" /S "${@:2}"
    windows_status "$started"
    wait_until 120 no_uninstaller_copy || say "the uninstaller's copy still runs after 2 min"
    # Windows removes those copies at its next start.
    rm -rf "$drive_c"/users/*/Temp/~nsu*.tmp
}
# Runs the Windows command line $1 as deployment tools do: exactly as written,
# through CreateProcess, inside a job that kills what is left in it once
# closed. "$status" is its exit code, "$left" how many processes were still in
# the job when it returned.
left=""
deploy() {
    printf '%s\r\n' "$1" >"$work/command.txt"
    # Into a file: under Wine what the installer starts keeps the output it was
    # given open, so a pipe would not end while a restarted watchdog runs.
    "$wine" "$(windows_path "$helper")" --job "$(windows_path "$work/command.txt")" >"$work/job.txt" 2>&1 || true
    status="$(tr -d '\r' <"$work/job.txt" | sed -n 's/^exit code: //p')"
    left="$(tr -d '\r' <"$work/job.txt" | sed -n 's/^left in the job: //p')"
    [ -n "$left" ] || say "the job runner said: $(cat "$work/job.txt")"
}
# A run by a deployment tool that succeeded: exit code 0 and nothing left in its job.
deployed() { [ "$status" = 0 ] && [ "$left" = 0 ]; }

# Starts the uninstaller of the folder $1 (Windows path) in place, as
# "Uninstall.exe SWITCHES _?=FOLDER", with the switches that follow, in the
# background, in the environment "${in_locale[@]}" sets, if any; in_place_wait
# puts its exit code in "$status". Through cmd: Wine would quote a _?= holding
# a space, and it must not be quoted.
in_place_start() {
    local folder="$1"
    shift
    printf '@"%s\\Uninstall.exe" %s _?=%s\r\n@exit /b %%ERRORLEVEL%%\r\n' "$folder" "$*" "$folder" >"$work/in-place.cmd"
    windows_start cmd /d /c "$(windows_path "$work/in-place.cmd")"
    in_place_pid=$started
}
in_place_ended() { ! kill -0 "$in_place_pid" 2>/dev/null; }
in_place_wait() { windows_status "$in_place_pid"; }

# Every file of dist/windows-ARCH in $1, of the same size (stripping again
# stamps a new time into a DLL's header), and the uninstaller.
listing() { (cd "$1" && find . -type f -printf '%p %s\n') | LC_ALL=C sort; }
same_files() {
    diff <(listing "$dist") <(listing "$1" | grep -v '^\./Uninstall\.exe ') >&2 && [ -f "$1/Uninstall.exe" ]
}

# The uninstall entry under $1 (HKCU or HKLM) in the program's view, for the install in $2 (Windows path).
entry_is_complete() {
    local values size_kib
    values="$(registry_values "$1\\$uninstall_key")"
    value() { sed -n "s/^$1=//p" <<<"$values"; }
    size_kib=$(find "$3" -type f -printf '%s\n' | awk '{ sum += $1 } END { print int(sum / 1024) }')
    [ "$(value DisplayName)" = "$name" ] && [ "$(value DisplayVersion)" = "$version" ] &&
        [ "$(value Publisher)" = Tallowbrecken ] && [ "$(value DisplayIcon)" = "$2\\watchdog.exe" ] &&
        [ "$(value InstallLocation)" = "$2" ] && [ "$(value UninstallString)" = "\"$2\\Uninstall.exe\"" ] &&
        # In KiB, as Windows shows it: the folder's size, give or take a file system's rounding.
        [ $(($(value EstimatedSize))) -gt $((size_kib * 95 / 100)) ] &&
        [ $(($(value EstimatedSize))) -le $((size_kib * 105 / 100)) ] || { echo "$values" >&2; return 1; }
}

# A field of the shortcut $1: its target or its working directory.
lnk_field() {
    python3 - "$1" "$2" <<'EOF'
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
# The shortcut $1 starts $2\watchdog.exe (case is ignored) in the user's working
# folder, kept unexpanded so that it expands for whoever starts it.
shortcut_starts() {
    [ -f "$1" ] && [ "$(lnk_field "$1" target | tr A-Z a-z)" = "$(printf %s "$2\\watchdog.exe" | tr A-Z a-z)" ] &&
        [ "$(lnk_field "$1" workdir)" = "%LOCALAPPDATA%\\$name" ]
}
# Wine's start fails now and then ("Internal error"): once more then.
start_shortcut() { "$wine" start "$1" || "$wine" start "$1" || say "could not start $1"; }

# The program the installed watchdog watches, in its working folder: started
# by its bare name, it is found there. Each start of it is reported in
# $work/reports: its pid, then its path.
mkdir "$work/reports"
export WATCHDOG_HELPER_REPORTS
WATCHDOG_HELPER_REPORTS="$(windows_path "$work/reports")"
put_watched_program() {
    mkdir -p "$work_dir"
    cp "$helper" "$work_dir/Quillbarrow.exe"
    printf '[General]\r\nVORTELIN_PATH=C:/apps/Quillbarrow.exe\r\n' >"$work_dir/sys.ini"
}
started_from_work_dir() {
    local report
    for report in "$work/reports"/Quillbarrow.exe-*.txt; do
        [ "$(sed -n 2p "$report" 2>/dev/null | tr A-Z a-z)" = "$(printf %s "$work_dir_w\\Quillbarrow.exe" | tr A-Z a-z)" ] &&
            return 0
    done
    return 1
}
watched_runs() { wine_processes | cut -f1 | grep -qxF Quillbarrow.exe; }
records() { [ -f "$work_dir/restart_vortelin_recored.txt" ] && wc -l <"$work_dir/restart_vortelin_recored.txt" || echo 0; }

echo "== Installer ($arch): per user, silent, with /AUTOSTART: ${setup##*/}"
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
# Wine has no UAC; what Windows reads from the installer's manifest shows it.
check "it asks for no administrator rights" grep -aq 'requestedExecutionLevel level="asInvoker"' "$setup"
run_silently "$(windows_path "$setup")" /CurrentUser /AllUsers
nothing_installed() { [ ! -e "$user_programs" ] && [ ! -e "$a_programs" ]; }
check "both modes at once: exit code 2, and nothing installed" eval '[ "$status" = 2 ] && nothing_installed'
# What a silent install in one mode leaves: its files, its complete uninstall
# entry in hive $1, and nothing of the other mode (hive $4, folder $5).
installed_in() {
    check "the installer succeeds" [ "$status" = 0 ]
    check "it installs every file under $3" same_files "$2"
    check "nothing goes in the other mode's folder" [ ! -e "$5" ]
    check "the uninstall entry under $1 ($arch view) is complete" entry_is_complete "$1" "$3" "$2"
    check "none under $4" registry_lacks "$4\\$uninstall_key"
}
run_silently "$(windows_path "$setup")" /AUTOSTART
installed_in HKCU "$user_programs" "$user_programs_w" HKLM "$a_programs"
check "no Active Setup entry" registry_lacks "$active_setup_key"
check "the user's working folder exists" [ -d "$work_dir" ]
check "the user's Start-menu shortcut starts watchdog.exe in the working folder" \
    shortcut_starts "$menu/$name/$name.lnk" "$user_programs_w"
check "the user's log-on entry starts watchdog.exe in the working folder" \
    shortcut_starts "$startup/$name.lnk" "$user_programs_w"

echo "== Installer ($arch): the installed program, from the Start-menu shortcut"
mkdir -p "$drive_c/apps"
cp "$helper" "$drive_c/apps/Quillbarrow.exe"
start_shortcut "$menu_w\\$name\\$name.lnk"
check "it reaches selection mode" wait_until 60 has_window "选择程序"
{ keys_to "选择程序" xdotool key Home shift+End &&
    keys_to "选择程序" xdotool type --delay 30 'C:\apps\Quillbarrow.exe' &&
    keys_to "选择程序" xdotool key Return; } || say "could not type into the dialog"
stored() { tr -d '\r' <"$work_dir/sys.ini" | grep -qx 'VORTELIN_PATH=C:/apps/Quillbarrow.exe'; }
check "it runs in the user's working folder: sys.ini is stored there" wait_until 60 stored
keys_to "Tallowbrecken_VRTN" xdotool key alt+F4 || say "could not close the window"
check "closing its window ends it" wait_until 60 no_window "Tallowbrecken_VRTN"
rm -rf "$drive_c/apps"

echo "== Installer ($arch): the installed program, from the log-on entry"
put_watched_program
start_shortcut "$menu_w\\Startup\\$name.lnk"
check "it watches from the user's working folder: the program is recorded and started there" \
    wait_until 60 started_from_work_dir
check "one record" [ "$(records)" = 1 ]
keys_to "Tallowbrecken_VRTN" xdotool key alt+F4 || say "could not close the window"
check "closing its window ends it" wait_until 60 ended "$user_programs_w\\watchdog.exe"
cp "$work_dir/sys.ini" "$work/sys.ini"

echo "== Installer ($arch): per user, a reinstall into another folder"
# A folder without spaces: /D= takes it unquoted, and Wine would quote it.
run_silently "$(windows_path "$setup")" /AUTOSTART "/D=$moved_w"
installed_in HKCU "$moved" "$moved_w" HKLM "$a_programs"
run_silently "$user_programs_w\\Uninstall.exe"
check "the first folder's uninstaller succeeds" [ "$status" = 0 ]
check "it removes that folder" [ ! -e "$user_programs" ]
check "it leaves the new install's entry" entry_is_complete HKCU "$moved_w" "$moved"
check "and its Start-menu shortcut and log-on entry" eval \
    'shortcut_starts "$menu/$name/$name.lnk" "$moved_w" && shortcut_starts "$startup/$name.lnk" "$moved_w"'

echo "== Installer ($arch): per user, silent uninstall"
run_silently "$moved_w\\Uninstall.exe"
check "the uninstaller succeeds" [ "$status" = 0 ]
check "it removes every installed file and the folder" [ ! -e "$moved" ]
check "it removes the Start-menu shortcut and its folder" [ ! -e "$menu/$name" ]
check "it removes the log-on entry" [ ! -e "$startup/$name.lnk" ]
check "it removes its entry" registry_lacks "HKCU\\$uninstall_key"
check "it keeps the user's working folder and sys.ini" cmp -s "$work_dir/sys.ini" "$work/sys.ini"

echo "== Installer ($arch): per user, as deployment tools run it, into folders named as organisations name them"
# The entry's quiet uninstall command, whatever its letters: reg query gives
# them in the console's code page, an exported file in UTF-16.
quiet_command() {
    rm -f "$work/entry.reg"
    "$wine" reg export "HKCU\\$uninstall_key" "$(windows_path "$work/entry.reg")" "$view" /y >/dev/null 2>&1 || true
    iconv -f UTF-16 -t UTF-8 "$work/entry.reg" | tr -d '\r' |
        sed -n 's/^"QuietUninstallString"="\(.*\)"$/\1/p' | perl -pe 's/\\(.)/$1/g'
}
# Rows: the folder, then whether its Uninstall.exe is read-only.
while IFS='|' read -r folder_w read_only; do
    folder="$drive_c/$(tr '\\' / <<<"${folder_w#C:\\}")"
    deploy "\"$(windows_path "$setup")\" /S /D=$folder_w"
    check "$folder_w: the installer succeeds, leaving nothing in its job" eval 'deployed && same_files "$folder"'
    [ "$read_only" = no ] || chmod a-w "$folder/Uninstall.exe"
    deploy "$(quiet_command)"
    check "its quiet uninstall succeeds, leaving nothing in its job" deployed
    check "and has removed its entry" registry_lacks "HKCU\\$uninstall_key"
    # Uninstall.exe, and then the folder, go once it has ended.
    check "and every file and the folder" wait_until 30 test ! -e "$folder"
    rm -rf "$folder" "$drive_c/R&D Tools"
done <<'ROWS'
C:\R&D Tools\Watchdog|no
C:\A^B %OS% !OS! (x) 'q'; a,b=c Ärger 监视|no
C:\Plain|yes
ROWS
wine_stop

echo "== Installer ($arch): for all users, silent"
rm -rf "$work_dir"
run_silently "$(windows_path "$setup")" /AllUsers
installed_in HKLM "$a_programs" "$a_programs_w" HKCU "$user_programs"
check "the installing user's working folder exists" [ -d "$work_dir" ]
check "the common Start-menu shortcut starts watchdog.exe in the working folder" \
    shortcut_starts "$a_menu/$name/$name.lnk" "$a_programs_w"
check "no log-on entry without /AUTOSTART" [ ! -e "$a_startup/$name.lnk" ]
# What Active Setup runs at each user's next log-on, run as a line of a batch
# file, where cmd expands the variables as Active Setup does.
stub_path() { registry_values "$active_setup_key" | sed -n 's/^StubPath=//p'; }
check "Active Setup has the command that makes each user's working folder" \
    [ "$(stub_path)" = '%SystemRoot%\System32\cmd.exe /d /c mkdir "%LOCALAPPDATA%\Tallowbrecken Watchdog"' ]
rm -rf "$work_dir"
printf '%s\r\n' "$(stub_path)" >"$work/stub.cmd"
"$wine" cmd /d /c "$(windows_path "$work/stub.cmd")" >/dev/null 2>&1 || true
check "that command makes the working folder" [ -d "$work_dir" ]

echo "== Installer ($arch): for all users, an interactive upgrade taking every default"
run_silently "$(windows_path "$setup")" /AllUsers /AUTOSTART
check "a silent upgrade with /AUTOSTART adds the common log-on entry" \
    shortcut_starts "$a_startup/$name.lnk" "$a_programs_w"
# Return on the wizard (Next, Install, then Close) until it ends.
accept_defaults() {
    local id try
    for try in $(seq 90); do
        kill -0 "$1" 2>/dev/null || return 0
        for id in $(xdotool search --onlyvisible --name "^$name Setup" 2>/dev/null); do
            xdotool windowfocus --sync "$id" key Return 2>/dev/null || true
        done
        sleep 1
    done
    return 1
}
windows_start "$(windows_path "$setup")"
accept_defaults "$started" || say "the wizard still runs after 90 s"
windows_status "$started"
check "it succeeds" [ "$status" = 0 ]
check "it keeps the mode: no copy for the current user" eval '[ ! -e "$user_programs" ] && registry_lacks "HKCU\\$uninstall_key"'
check "and the common log-on entry" shortcut_starts "$a_startup/$name.lnk" "$a_programs_w"
check "the entry under HKLM is complete" entry_is_complete HKLM "$a_programs_w" "$a_programs"

echo "== Installer ($arch): with the installed watchdog running"
put_watched_program
start_shortcut "$a_menu_w\\$name\\$name.lnk"
installed_watchdog_watches() { runs "$a_programs_w\\watchdog.exe" && watched_runs; }
check "the installed watchdog runs, and the program it watches" wait_until 60 installed_watchdog_watches
# A copy of the program running from elsewhere, with a working folder of its own.
cp -r "$dist" "$other"
mkdir "$work/other"
printf '[General]\r\nVORTELIN_PATH=C:/other/Absent.exe\r\n' >"$work/other/sys.ini"
(cd "$work/other" && exec "$wine" 'C:\other\watchdog.exe' >/dev/null 2>&1) &
check "a copy runs from another folder" wait_until 60 test -s "$work/other/restart_vortelin_recored.txt"
still_running() {
    check "the program it watches still runs" watched_runs
    check "the copy from another folder still runs" runs 'C:\other\watchdog.exe'
}

# Both windows shown first: Wine may leave a wizard started meanwhile unpainted.
two_windows() { [ "$(xdotool search --onlyvisible --name '^Tallowbrecken_VRTN$' 2>/dev/null | wc -l)" = 2 ]; }
wait_until 30 two_windows || say "the watchdogs' windows are not both shown"

echo "== Installer ($arch): in Windows' display language, asking before it closes the watchdog"
# What each language shows: the wizards' titles, the installer's first page,
# the question, and the uninstaller's first page (NSIS's own words).
declare -A setup_title=([en]="$name Setup" [zh]="$name 安装")
declare -A uninstall_title=([en]="$name Uninstall" [zh]="$name 卸载")
declare -A first_page=([en]="Who uses $name on this computer?" [zh]="为这台电脑上的哪些用户安装 $name？")
declare -A question=([en]="It will be closed; the program it watches keeps running."
    [zh]="将被关闭；它监视的程序会继续运行。")
declare -A uninstall_page=([en]="Remove $name from your computer." [zh]="从本机卸载 $name")
# Wine takes Windows' display language from the locale: private copies of the
# C library's, so that nothing is added to the machine.
locales="$root/build-wine/locales"
mkdir -p "$locales"
for locale in en_US zh_CN zh_TW de_DE; do
    [ -e "$locales/$locale.UTF-8" ] || localedef -i "$locale" -f UTF-8 "$locales/$locale.UTF-8" ||
        { say "could not make the locale $locale.UTF-8 (package locales)"; exit 1; }
done
# Whether a window of ours shows the text $1, read by the window probe.
texts() { "$wine" "$probe" texts "$name" 2>/dev/null; }
shows() { texts | grep -qF "$1"; }
# What the windows show, for a failure's message.
said() { texts | tr '\n' '|'; }
hidden() { ! shows "$1"; }
gone() { ! kill -0 "$1" 2>/dev/null; }
# Presses the key $2 in the window titled $1 until the check that follows
# holds (30 s at most): a window may take keys only some time after it is
# shown. Never once it holds, where the key would do more.
press_until() {
    local title="$1" key="$2" _
    shift 2
    for _ in $(seq 10); do
        "$@" && return 0
        keys_to "$title" xdotool key "$key" || true
        wait_until 3 "$@" && return 0
    done
    return 1
}
# Answers Cancel to the question titled $1 that shows the text $2, closing
# it as its close button does: X's focus may still be on the wizard it blocks.
cancel() {
    "$wine" "$probe" close "$1" >/dev/null 2>&1 && wait_until 20 hidden "$2" || say "could not cancel: $(said)"
}
# One row: Wine's locale, the language the wizards must speak (en or zh), and
# any switches. "first" rows look at the installer's first page and cancel
# there; the others go on to the question, cancel it, and do the same with the
# uninstaller: either ends with exit code 1 and changes nothing.
kill_setup() { kill $(pids_of "$(windows_path "$setup")") 2>/dev/null || true; }
speaks() {
    local run="$1" locale="$2" lang="$3" pid
    shift 3
    local title="${setup_title[$lang]}" what="$locale${*:+ $*}"
    in_locale=(env LANG="$locale" LC_ALL="$locale" LOCPATH="$locales")
    windows_start "$(windows_path "$setup")" "$@"
    pid=$started
    check "$what: the installer's first page speaks $lang" wait_until 60 shows "${first_page[$lang]}"
    if [ "$run" = first ]; then
        press_until "$title" Escape gone "$pid" || { say "the installer still runs: $(said)"; kill_setup; }
        wait "$pid" || true
        in_locale=()
        return
    fi
    # Next: the folder's page, whose title ends in a blank page caption; then Install.
    keys_to "$title" xdotool key Return || true
    wait_until 30 has_window "$title " || say "no folder page"
    check "$what: the installer asks, in $lang, before it closes the watchdog" \
        press_until "$title " Return shows "${question[$lang]}"
    cancel "$title" "${question[$lang]}"
    # Its focused button (Close once aborted) takes Return only then.
    press_until "$title " Return gone "$pid" || { say "the installer still runs: $(said)"; kill_setup; }
    windows_status "$pid"
    check "$what: cancelling it ends the installer with exit code 1" [ "$status" = 1 ]

    title="${uninstall_title[$lang]}"
    in_place_start "$a_programs_w" "$@"
    check "$what: the uninstaller's first page speaks $lang" wait_until 60 shows "${uninstall_page[$lang]}"
    # Its Uninstall button: Alt+U in both languages.
    check "$what: the uninstaller asks, in $lang, before it closes the watchdog" \
        press_until "$title " alt+u shows "${question[$lang]}"
    cancel "$title" "${question[$lang]}"
    press_until "$title " Return gone "$in_place_pid" ||
        { say "the uninstaller still runs: $(said)"; kill_named Uninstall.exe; }
    in_place_wait
    in_locale=()
    check "$what: cancelling it ends the uninstaller with exit code 1" [ "$status" = 1 ]
    check "$what: both leave the watchdog running" runs "$a_programs_w\\watchdog.exe"
    check "$what: and every file in place" same_files "$a_programs"
}
speaks all en_US.UTF-8 en
speaks all zh_CN.UTF-8 zh
# Any other Chinese locale takes Chinese; any other language English.
speaks first zh_TW.UTF-8 zh
speaks first de_DE.UTF-8 en
speaks first en_US.UTF-8 zh /LANG=2052

# The files as an earlier version left them: longer by a byte. Wine lets
# Linux write them even while Windows programs have them open.
make_old() {
    local file
    for file in $(cd "$a_programs" && find . -type f); do
        printf x >>"$a_programs/$file"
    done
}
# Whether none of the Linux processes $1 runs any more.
all_ended() {
    local pid
    for pid in $1; do
        ! kill -0 "$pid" 2>/dev/null || return 1
    done
}
# A silent upgrade, run as deployment tools run it, while the watchdog started
# from $1 runs: it is ended, every file is replaced, and it is started again
# from the install folder, outside the installer's job (which has been closed).
upgrade_restarts() {
    local before
    before="$(pids_of "$1")"
    make_old
    deploy "\"$(windows_path "$setup")\" /S /AllUsers"
    check "an upgrade in place succeeds, leaving nothing in its job" deployed
    check "it ends the watchdog" eval '[ -n "$before" ] && wait_until 60 all_ended "$before"'
    check "it replaces every file" same_files "$a_programs"
    check "it starts the watchdog again" wait_until 30 runs "$a_programs_w\\watchdog.exe"
}
echo "== Installer ($arch): an upgrade with the watchdog running, and another in a drive root"
# "C:\" as a working folder: "C:" would be the current folder on C:.
printf '[General]\r\nVORTELIN_PATH=C:/other/Absent.exe\r\n' >"$drive_c/sys.ini"
(cd "$drive_c" && exec "$wine" "$a_programs_w\\watchdog.exe" >/dev/null 2>&1) &
root_records() { [ -f "$drive_c/restart_vortelin_recored.txt" ] && wc -l <"$drive_c/restart_vortelin_recored.txt" || echo 0; }
records_grow() { [ "$(root_records)" -gt "$1" ]; }
wait_until 60 records_grow 0 || say "the watchdog in C:\\ did not start"
# Counted before the upgrade: started again, it records at once, and then
# not for two hours.
root_before="$(root_records)"
upgrade_restarts "$a_programs_w\\watchdog.exe"
still_running
check "the one in the drive root is started again there: it records the program's starts there" \
    wait_until 60 records_grow "$root_before"
# Started again in its working folder, it restarts the program it watches there.
rm -f "$work/reports"/*
records_before="$(records)"
kill_named Quillbarrow.exe
check "started again in the working folder: it records the program's start there, and starts it from there" \
    eval 'wait_until 60 started_from_work_dir && [ "$(records)" = $((records_before + 1)) ]'

echo "== Installer ($arch): an upgrade with the watchdog started through the folder's short name"
# The folder's 8.3 name, as cmd gives it.
printf '@for %%%%I in ("%s") do @echo %%%%~sI\r\n' "$a_programs_w" >"$work/short.cmd"
short_w="$("$wine" cmd /d /c "$(windows_path "$work/short.cmd")" | tr -d '\r')"
check "Wine gives the folder a short name" eval '[ -n "$short_w" ] && [ "${short_w,,}" != "${a_programs_w,,}" ]'
for pid in $(pids_of "$a_programs_w\\watchdog.exe"); do
    kill -9 "$pid"
done
(cd "$work_dir" && exec "$wine" "$short_w\\watchdog.exe" >/dev/null 2>&1) &
rm -f "$drive_c/sys.ini" "$drive_c/restart_vortelin_recored.txt"
wait_until 60 runs "$short_w\\watchdog.exe" || say "the watchdog did not start through $short_w"
upgrade_restarts "$short_w\\watchdog.exe"

echo "== Installer ($arch): an upgrade that can't start a watchdog again"
# A second watchdog, whose working folder is gone by the time it is to start again.
mkdir "$work/gone"
printf '[General]\r\nVORTELIN_PATH=C:/other/Absent.exe\r\n' >"$work/gone/sys.ini"
(cd "$work/gone" && exec "$wine" "$a_programs_w\\watchdog.exe" >/dev/null 2>&1) &
wait_until 60 test -s "$work/gone/restart_vortelin_recored.txt" || say "the second watchdog did not start"
rm -rf "$work/gone"
run_silently "$(windows_path "$setup")" /AllUsers
check "it installs, and says so with exit code 4" eval '[ "$status" = 4 ] && same_files "$a_programs"'
check "the other watchdog runs again" wait_until 30 runs "$a_programs_w\\watchdog.exe"

echo "== Installer ($arch): an upgrade that fails once the watchdog is closed"
installed_runs() {
    runs "$a_programs_w\\watchdog.exe" || start_shortcut "$a_menu_w\\$name\\$name.lnk"
    check "the installed watchdog runs" wait_until 60 runs "$a_programs_w\\watchdog.exe"
}
installed_runs
# The last file it writes can't be: a folder has its name.
mv "$a_programs/Uninstall.exe" "$work/Uninstall.exe"
mkdir "$a_programs/Uninstall.exe"
deploy "\"$(windows_path "$setup")\" /S /AllUsers"
check "it fails with exit code 2, leaving nothing in its job" eval '[ "$status" = 2 ] && [ "$left" = 0 ]'
check "and starts the watchdog again" wait_until 30 runs "$a_programs_w\\watchdog.exe"
rmdir "$a_programs/Uninstall.exe"
mv "$work/Uninstall.exe" "$a_programs/Uninstall.exe"

echo "== Installer ($arch): another program holding a DLL of the install folder"
# The watched program beside the watchdog, sharing its DLLs: a copy of the watchdog.
cp "$a_programs/watchdog.exe" "$a_programs/Holder.exe"
mkdir "$work/holder"
printf '[General]\r\nVORTELIN_PATH=C:/other/Absent.exe\r\n' >"$work/holder/sys.ini"
(cd "$work/holder" && exec "$wine" "$a_programs_w\\Holder.exe" >/dev/null 2>&1) &
wait_until 60 test -s "$work/holder/restart_vortelin_recored.txt" || say "Holder.exe did not start"
# The entry as an earlier version left it.
# Its status may be Wine's 137 (see windows_status): the checks below read the value back.
"$wine" reg add "HKLM\\$uninstall_key" /v DisplayVersion /d 0 /f "$view" >/dev/null 2>&1 || true
entry_version() { registry_values "HKLM\\$uninstall_key" | sed -n 's/^DisplayVersion=//p'; }
installed_runs
deploy "\"$(windows_path "$setup")\" /S /AllUsers"
check "a silent upgrade that can't replace the DLLs fails with exit code 2, leaving nothing in its job" \
    eval '[ "$status" = 2 ] && [ "$left" = 0 ]'
check "and leaves the earlier install registered" [ "$(entry_version)" = 0 ]
check "and the watchdog running" wait_until 15 runs "$a_programs_w\\watchdog.exe"
in_place_start "$a_programs_w" /S
in_place_wait
check "a silent uninstall that can't remove them fails with exit code 2" [ "$status" = 2 ]
check "and keeps its entry and its uninstaller" eval '[ "$(entry_version)" = 0 ] && [ -f "$a_programs/Uninstall.exe" ]'
check "and the watchdog running" wait_until 15 runs "$a_programs_w\\watchdog.exe"
kill_named Holder.exe
wait_until 60 ended "$a_programs_w\\Holder.exe" || say "Holder.exe still runs"
rm -f "$a_programs/Holder.exe"
run_silently "$(windows_path "$setup")" /AllUsers
check "once it has ended, an upgrade succeeds and replaces every file" eval '[ "$status" = 0 ] && same_files "$a_programs"'

start_shortcut "$a_menu_w\\$name\\$name.lnk"
check "the installed watchdog runs again" wait_until 60 runs "$a_programs_w\\watchdog.exe"
cp "$work_dir/sys.ini" "$work/sys.ini"
cp "$work_dir/restart_vortelin_recored.txt" "$work/records.txt"
deploy "$(registry_values "HKLM\\$uninstall_key" | sed -n 's/^QuietUninstallString=//p')"
check "the entry's quiet uninstall succeeds, leaving nothing in its job; once it returns:" deployed
check "it ends the installed watchdog" ended "$a_programs_w\\watchdog.exe"
check "it removes every installed file and the folder" wait_until 30 test ! -e "$a_programs"
check "it removes the Start-menu shortcut and its folder" [ ! -e "$a_menu/$name" ]
check "it removes the log-on entry" [ ! -e "$a_startup/$name.lnk" ]
check "it removes its entry" registry_lacks "HKLM\\$uninstall_key"
check "it removes the Active Setup entry" registry_lacks "$active_setup_key"
user_files_kept() {
    cmp -s "$work_dir/sys.ini" "$work/sys.ini" && cmp -s "$work_dir/restart_vortelin_recored.txt" "$work/records.txt"
}
check "it keeps the user's sys.ini and restart log" user_files_kept
still_running
wine_stop
rm -rf "$work_dir"
# The user's programs folder, made for the per-user install, if nothing else is in it.
rmdir "${user_programs%/*}" 2>/dev/null || true

[ "$failed" = 0 ] || { echo "Installer ($arch): $failed checks failed"; exit 1; }
echo "Installer ($arch): all checks passed"
