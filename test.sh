#!/usr/bin/env bash
# Builds the watchdog and its tests with Qt 5 and with Qt 6 and runs them all;
# fails when any fails.
set -euo pipefail
cd "$(dirname "$0")"
WATCHDOG_EXTRA_PACKAGES="qt6-base-dev ${WATCHDOG_EXTRA_PACKAGES:-}"
. tools/setup.sh

for qt in 5 6; do
    # Qt 5, the main target, keeps the plain build folder that run.sh uses.
    dir=build
    [ "$qt" = 5 ] || dir=build-qt$qt
    echo "== Linux suite, Qt $qt ($dir)"
    cmake -S . -B "$dir" -DBUILD_TESTING=ON -DWATCHDOG_QT_MAJOR="$qt"
    cmake --build "$dir" --parallel "$(nproc)"
    (cd "$dir" && ctest --output-on-failure --timeout 300)
done
