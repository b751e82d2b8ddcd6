#!/usr/bin/env bash
# Builds the watchdog and its tests with Qt 5 and with Qt 6 and runs them all,
# then the Windows process layer's tests under Wine. Every stage runs; the
# script fails when any of them fails.
set -euo pipefail
cd "$(dirname "$0")"
# Beyond what run.sh needs: Qt 6; dpkg-shlibdeps and desktop-file-validate for
# the package test; MinGW-w64 and Wine for the Windows suite.
WATCHDOG_EXTRA_PACKAGES="qt6-base-dev dpkg-dev desktop-file-utils g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64 ${WATCHDOG_EXTRA_PACKAGES:-}"
. tools/setup.sh

# Qt 5, the main target, keeps the plain build folder that run.sh uses.
linux_suite() {
    local qt="$1" dir="$2"
    cmake -S . -B "$dir" -DBUILD_TESTING=ON -DWATCHDOG_QT_MAJOR="$qt" &&
        cmake --build "$dir" --parallel "$(nproc)" &&
        (cd "$dir" && ctest --output-on-failure --timeout 300)
}

passed=0
failed=()
stage() {
    local name="$1" start="$SECONDS"
    shift
    echo "== $name"
    if "$@"; then
        passed=$((passed + 1))
        echo "== $name: passed in $((SECONDS - start)) s"
    else
        failed+=("$name")
        echo "== $name: FAILED after $((SECONDS - start)) s"
    fi
}

stage "Linux suite, Qt 5" linux_suite 5 build
stage "Linux suite, Qt 6" linux_suite 6 build-qt6
stage "Windows suite under Wine" tests/windows/run.sh

[ ${#failed[@]} -eq 0 ] || printf 'Failed: %s\n' "${failed[@]}"
echo "stages: $passed passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
