#!/usr/bin/env bash
# Runs the test suites again and again with every core busy, to show that no
# bound in them holds only on a quiet machine: the Linux suites (Qt 5, Qt 6,
# ASan) LINUX_RUNS times (20), then the Windows x86_64 suites and the real
# watchdog.exe under Wine WINDOWS_RUNS times (5). Each core gets a spinning
# process, at nice -5 when run as root, so the tests get less than a core each.
# Uses the build folders that ./test.sh made; CI doesn't run this. Each Linux
# round takes about 5 min on a busy machine, each Windows one about 4.
# Usage: tools/stress-tests.sh [LINUX_RUNS [WINDOWS_RUNS]]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
linux_runs="${1:-20}"
windows_runs="${2:-5}"

folders=(build build-qt6 build-asan)
[ "$windows_runs" = 0 ] || folders+=(build-windows-x86_64)
for dir in "${folders[@]}"; do
    [ -f "$dir/CTestTestfile.cmake" ] || { echo "$dir has no tests: run ./test.sh first" >&2; exit 1; }
done

spinners=()
stop_spinners() {
    [ ${#spinners[@]} -eq 0 ] || kill "${spinners[@]}" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap stop_spinners EXIT
priority=0
[ "$(id -u)" != 0 ] || priority=-5
for _ in $(seq "$(nproc)"); do
    nice -n "$priority" bash -c 'while :; do :; done' &
    spinners+=($!)
done
echo "$(nproc) spinning processes at nice $priority; load from now on: see uptime"

logs="$root/build-stress"
mkdir -p "$logs"
declare -A runs failures
count() {
    local name="$1" log="$2"
    shift 2
    runs[$name]=$((${runs[$name]:-0} + 1))
    if "$@" >"$log" 2>&1; then
        echo "  $name: passed"
    else
        failures[$name]=$((${failures[$name]:-0} + 1))
        echo "  $name: FAILED (log kept: $log)"
        cp "$log" "$log.failed-${runs[$name]}"
    fi
}

# As test.sh runs them: as many at a time as there are cores.
suite() { (cd "$1" && ctest --output-on-failure --timeout 600 --parallel "$(nproc)" </dev/null); }
asan_suite() {
    ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0 LSAN_OPTIONS=suppressions=$root/tests/lsan.supp \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 suite build-asan
}

for i in $(seq "$linux_runs"); do
    echo "== Linux round $i of $linux_runs ($(uptime | sed 's/.*load/load/'))"
    count "Qt 5" "$logs/qt5.log" suite build
    count "Qt 6" "$logs/qt6.log" suite build-qt6
    count "ASan" "$logs/asan.log" asan_suite
done

if [ "$windows_runs" != 0 ]; then
    # As run.sh runs them: in a process-id namespace of their own (tests/isolated.sh).
    windows_suites() {
        tests/isolated.sh bash -c 'root=$PWD && . tests/windows/wine.sh && wine_prefix &&
            (cd build-windows-x86_64 && ctest --output-on-failure --timeout 300 </dev/null); status=$?; wine_stop; exit "$status"'
    }
    for i in $(seq "$windows_runs"); do
        echo "== Windows x86_64 round $i of $windows_runs ($(uptime | sed 's/.*load/load/'))"
        count "Windows suites, x86_64" "$logs/windows-suites.log" windows_suites
        count "watchdog.exe, x86_64" "$logs/windows-program.log" tests/windows/program.sh x86_64
    done
fi

total=0 failed=0
for name in "${!runs[@]}"; do
    echo "$name: ${runs[$name]} runs, ${failures[$name]:-0} failed"
    total=$((total + runs[$name]))
    failed=$((failed + ${failures[$name]:-0}))
done
echo "stress: $((total - failed)) passed, $failed failed"
[ "$failed" = 0 ]
