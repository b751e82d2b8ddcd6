#!/usr/bin/env bash
# Builds the watchdog and its tests with Qt 5 and with Qt 6 and runs them all,
# then again under the sanitizers, the probe under Valgrind, the fuzzer, and the
# Windows build, 64-bit and 32-bit, tested under Wine, and whether each
# package builds again to the same bytes. Every stage runs; the script fails
# when any of them fails.
set -euo pipefail
cd "$(dirname "$0")"
# Beyond what run.sh needs: Qt 6; dpkg-shlibdeps, desktop-file-validate, gio and lintian for
# the package test; Valgrind; clang with libFuzzer; locales for a locale with
# non-ASCII digits; for the Windows stages MinGW-w64, NSIS, Python's YAML and
# JSON Schema modules for the winget manifests' check, osslsigncode and openssl
# for the signing test, Wine with its 32-bit
# half (also for the Wine-run program test), an X server with xdotool (also for
# the watch-mode window test, which talks to it through Xlib), and qemu-user
# for machines whose kernel refuses 32-bit programs; ccache.
WATCHDOG_EXTRA_PACKAGES="ccache libx11-dev qt6-base-dev dpkg-dev desktop-file-utils libglib2.0-bin lintian valgrind clang libclang-rt-14-dev g++-mingw-w64-x86-64 g++-mingw-w64-i686 nsis python3-yaml python3-jsonschema osslsigncode openssl wine64 wine32:i386 xvfb xauth xdotool locales qemu-user-static ${WATCHDOG_EXTRA_PACKAGES:-}"
. tools/setup.sh

# The restart log is checked under ar_EG.UTF-8, whose digits are not ASCII.
# Without it the test makes a private copy each run.
if ! locale -a 2>/dev/null | grep -qx 'ar_EG.utf8'; then
    if [ "$(id -u)" = 0 ]; then
        echo "Generating the ar_EG.UTF-8 locale (a few seconds)"
        localedef -i ar_EG -f UTF-8 ar_EG.UTF-8
    else
        echo "ar_EG.UTF-8 is missing; the test makes its own. To add it: sudo localedef -i ar_EG -f UTF-8 ar_EG.UTF-8"
    fi
fi

root=$PWD
jobs=$(nproc)
# A fresh clone builds the sources six times (two Qts, the sanitizers, the
# fuzzer, two Windows targets): through ccache, a run after the first compiles
# only what changed, in another clone too (the sanitizers' build, whose debug
# data names its folder, only in the same folder). Its cache is under
# ${XDG_CACHE_HOME:-~/.cache}/ccache; Qt for Windows is cached by its own script.
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR="$root"

# Qt 5, the main target, keeps the plain build folder that run.sh uses.
linux_suite() {
    local qt="$1" dir="$2"
    shift 2
    cmake -S . -B "$dir" -DBUILD_TESTING=ON -DWATCHDOG_QT_MAJOR="$qt" "$@" &&
        cmake --build "$dir" --parallel "$jobs" || return 1
    local status=0
    # In parallel: the suites mostly wait on processes and timers, and take
    # locks where they must not overlap (the next process id).
    (cd "$dir" && ctest --output-on-failure --timeout 600 --parallel "$jobs") || status=$?
    tests/skips.sh "$dir"
    return "$status"
}

sanitized_suite() {
    ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0 \
    LSAN_OPTIONS=suppressions=$root/tests/lsan.supp \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        linux_suite 5 build-asan -DWATCHDOG_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
}

# Valgrind doesn't know pidfd_open, so the tests that end processes through one are left out.
memcheck() {
    QT_QPA_PLATFORM=offscreen valgrind -q --error-exitcode=99 --leak-check=full \
        --errors-for-leak-kinds=definite --suppressions=tests/valgrind.supp "$@"
}
memcheck_suite() {
    memcheck build/tests/tst_probe findsOnlyTheExactName severalInstancesAndNonAsciiNames \
            longNamesAreMatchedInFull scriptsAreMatchedByTheirOwnName zombiesDoNotCount \
            kernelThreadsDoNotCount &&
        memcheck build/tests/tst_watchpass restartLogFaultsLoseOnlyTheRecord \
            runningInstanceMeansNoRecordAndNoStart
}

fuzz() {
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -DWATCHDOG_FUZZ=ON -DBUILD_TESTING=OFF &&
        cmake --build build-fuzz --parallel "$jobs" --target fuzz_names &&
        mkdir -p build-fuzz/corpus &&
        build-fuzz/tests/fuzz/fuzz_names -max_total_time=30 -max_len=4096 -print_final_stats=1 \
            -artifact_prefix=build-fuzz/ build-fuzz/corpus
}

# Two lanes run side by side, the Linux stages and the Windows ones: most of
# either is waiting on processes, timers and Wine, which leaves a core idle.
# Each stage's output goes to a log of its own, shown whole when the stage
# ends, one stage at a time, and kept to list at the end what it skipped
# ("SKIP: ..." lines); a stage that exits 77 was skipped as a whole.
logs="$(mktemp -d)"
trap 'rm -rf "$logs"' EXIT
: >"$logs/results"
stage() {
    local name="$1" start="$SECONDS" status=0 result
    shift
    local log="$logs/stage-$(printf '%s' "$name" | tr -c 'A-Za-z0-9' _).log"
    echo "== $name: started"
    echo "$name" >>"$logs/started"
    "$@" >"$log" 2>&1 </dev/null || status=$?
    case "$status" in
        0) result="passed in $((SECONDS - start)) s" ;;
        77) result="skipped" ;;
        *) result="FAILED after $((SECONDS - start)) s" ;;
    esac
    (
        flock 9
        echo "== $name"
        cat "$log"
        echo "== $name: $result"
        sed -n "s|^SKIP: |$name: |p" "$log" >>"$logs/skips"
        printf '%s\t%s\n' "$status" "$name" >>"$logs/results"
    ) 9>"$logs/print.lock"
}
# Wine runs i686 programs with its 32-bit half. Where the kernel refuses 32-bit
# programs, root may have them run under qemu-user; without it the i686 stage
# builds everything and lists its runs as skipped.
. tools/i386-emulation.sh
if [ -x "$i386_probe" ] && [ "$(i386_mode)" = none ] && [ "$(id -u)" = 0 ] && [ -x "$i386_qemu" ]; then
    i386_emulation_setup || echo "Could not set up the emulation: the i686 runs will be skipped."
fi

# Qt for Windows is most of a first run. Built from the start in the
# background, both targets one after the other, it is what the Windows lane
# waits for, while the Linux lane runs; the Windows stages find it cached or
# wait on the build's lock for it (and, had it failed here, build it themselves
# and say why). The i686 Qt builds while the x86_64 suites run.
qt_windows_prebuild() {
    local arch
    for arch in x86_64 i686; do
        tools/build-qt-windows.sh "$arch" || true
    done
}
echo "Qt for Windows, where it is not cached yet, builds in the background from now (its logs: ${XDG_CACHE_HOME:-~/.cache}/tallowbrecken-watchdog/qt-windows/build-ARCH.log)"
set -m
qt_windows_prebuild >"$logs/qt-windows" 2>&1 &
prebuild=$!
set +m
trap 'kill -- -"$prebuild" 2>/dev/null || true; rm -rf "$logs"' EXIT

linux_lane() {
    stage "Linux suite, Qt 5" linux_suite 5 build
    stage "Linux suite, Qt 6" linux_suite 6 build-qt6
    stage "Linux suite, Qt 5, ASan and UBSan" sanitized_suite
    stage "Probe and watch passes under Valgrind memcheck" memcheck_suite
    stage "Fuzzing the image name and the /proc decisions" fuzz
    stage "Qt source lookup without deb-src entries" tests/windows/source-guard.sh
    # Not the Linux stage's build/: ccache under CCACHE_BASEDIR hands the compiler
    # relative paths, which -ffile-prefix-map doesn't reach, so its debug data, and
    # with it the ELF build ID, differ from a plain build's.
    stage "Reproducible build, the Debian package" tools/check-reproducible.sh deb
}
windows_lane() {
    stage "Windows build and suites, x86_64, under Wine" tests/windows/run.sh x86_64
    stage "Windows build and suites, i686, under Wine" tests/windows/run.sh i686
    # Each package built again from a clone in another folder, without ccache,
    # against the Windows stage's own dist/ (i686), or, for x86_64, against a
    # clone signed with a throwaway certificate, whose detached signatures the
    # rebuild attaches: about 1.5 min a build.
    stage "Reproducible build, x86_64, signed" tools/check-reproducible.sh x86_64 --signed
    stage "Reproducible build, i686" tools/check-reproducible.sh i686 --reuse
}
linux_lane &
linux=$!
windows_lane &
windows=$!
# A lane that died midway shows as a stage started without a result.
wait "$linux" "$windows" || true

# What the background build said of its end: the prefix and its CPU time, or where it failed.
grep -h -e '^== Qt for Windows' -e '^build-qt-windows.sh: failed' "$logs/qt-windows" || true
if [ -s "$logs/skips" ]; then
    echo "Skipped, so not tested in this run:"
    sed 's/^/  /' "$logs/skips"
fi
passed=0 skipped=0 failed=()
while IFS=$'\t' read -r status name; do
    case "$status" in
        0) passed=$((passed + 1)) ;;
        77) skipped=$((skipped + 1)) ;;
        *) failed+=("$name") ;;
    esac
done <"$logs/results"
while read -r name; do
    grep -qxF "$name" <(cut -f 2 "$logs/results") || failed+=("$name (it never ended)")
done <"$logs/started"
[ ${#failed[@]} -eq 0 ] || printf 'Failed: %s\n' "${failed[@]}"
echo "stages: $passed passed, ${#failed[@]} failed, $skipped skipped"
[ ${#failed[@]} -eq 0 ]
