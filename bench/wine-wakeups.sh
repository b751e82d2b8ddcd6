#!/usr/bin/env bash
# Wake-ups of the Windows watchdog.exe under Wine, each beside the floor
# measured in the same run: an empty Qt window (qtfloor.cpp) built with the
# same Qt for Windows. Context switches, voluntary or not, summed over all the
# threads of each process, over the same window of time:
#   1. while an instance of the watched program runs that the watchdog didn't start;
#   2. during the hold, the instance its own.
# Prints a Markdown table. About a minute.
# Usage: bench/wine-wakeups.sh [x86_64|i686] [SECONDS (20)], after tests/windows/run.sh ARCH
set -euo pipefail
trap 'echo "bench/wine-wakeups.sh: failed at line $LINENO: $BASH_COMMAND" >&2' ERR
arch="${1:-x86_64}"
seconds="${2:-20}"
case "$arch" in
    i686 | x86_64) ;;
    *) echo "usage: $0 [x86_64|i686] [seconds]" >&2; exit 2 ;;
esac
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
. tests/windows/wine.sh

dist="$root/dist/windows-$arch"
helper="$root/build-windows-$arch/tests/windows/probe_helper.exe"
for file in "$dist/watchdog.exe" "$helper"; do
    [ -f "$file" ] || { say "$file is missing: run tests/windows/run.sh $arch first"; exit 1; }
done

say "== Building the empty Qt window for $arch with the same Qt (seconds, with Qt cached)"
qt="$(tools/build-qt-windows.sh "$arch" | tail -n 1)"
build="$root/build-bench-windows-$arch"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/tests/windows/mingw.cmake" \
    -DMINGW_ARCH="$arch" -DWATCHDOG_WINDOWS_QT="$qt" -DWATCHDOG_QT_MAJOR=5 \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DWATCHDOG_BENCH=ON >/dev/null
cmake --build "$build" --target bench_qtfloor >/dev/null

wine_prefix
work="$(mktemp -d "$root/build-wine/wakeups-$arch.XXXXXX")"
wine_session "$work"
# The floor runs from a copy of dist/, so that both find the same DLLs beside them.
cp -a "$dist" "$work/app"
cp "$build/bench/bench_qtfloor.exe" "$work/app/"
mkdir "$work/run"
cp "$helper" "$work/run/Quillbarrow.exe"
printf '[General]\r\nVORTELIN_PATH=%s\r\n' "$(windows_path "$work/run/Quillbarrow.exe" | tr '\\' /)" >"$work/run/sys.ini"

# Starts a Windows program in the folder $1; its Linux pid in $started.
start_in() {
    local dir="$1"
    shift
    (cd "$dir" && exec "$wine" "$@" >>"$work/wine.log" 2>&1) &
    started=$!
}
# Context switches of process $1: all its threads, and its main thread alone.
switches() {
    cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches/ { s += $2 } END { print s + 0 }'
}
main_switches() {
    awk '/ctxt_switches/ { s += $2 } END { print s + 0 }' /proc/"$1"/task/"$1"/status
}
# Measures the watchdog $1 and the floor $2 over the same $seconds; one table row for each.
measure() {
    local what="$1" dog="$2" floor="$3" d0 m0 f0 d1 m1 f1
    d0=$(switches "$dog") m0=$(main_switches "$dog") f0=$(switches "$floor")
    sleep "$seconds"
    kill -0 "$dog" && kill -0 "$floor" || { say "a process ended while measured ($what)"; return 1; }
    d1=$(switches "$dog") m1=$(main_switches "$dog") f1=$(switches "$floor")
    echo "| $what | **$((d1 - d0))** ($((m1 - m0)) on its main thread) | $((f1 - f0)) | $(awk -v a=$((d1 - d0)) -v b=$((f1 - f0)) 'BEGIN { if (b) printf "%.2f", a / b; else printf "—" }') |"
}
window_up() { has_window Tallowbrecken_VRTN; }

echo "## Wake-ups under $("$wine" --version), $arch, ${seconds} s, commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
echo
echo "| watchdog.exe | context switches | empty Qt window, same ${seconds} s | ratio |"
echo "|---|---:|---:|---:|"

start_in "$work/app" "$(windows_path "$work/app/bench_qtfloor.exe")"
floor=$started
start_in "$work/run" "$(windows_path "$work/run/Quillbarrow.exe")" 600
outside=$started
sleep 3
start_in "$work/run" "$(windows_path "$work/app/watchdog.exe")"
dog=$started
wait_until 60 window_up || { say "watchdog.exe showed no window in 60 s (its log: $work/wine.log)"; exit 1; }
sleep 3
[ ! -e "$work/run/restart_vortelin_recored.txt" ] || { say "the watchdog started a second instance"; exit 1; }
measure "while an instance it didn't start runs" "$dog" "$floor"

# Its end wakes the watchdog, which starts its own and holds it.
kill "$outside"
wait_until 60 test -s "$work/run/restart_vortelin_recored.txt" || { say "no restart after the instance ended"; exit 1; }
sleep 3
measure "during the hold" "$dog" "$floor"
