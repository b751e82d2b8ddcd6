#!/usr/bin/env bash
# Builds the watchdog and its tests and runs them all; fails when any fails.
set -euo pipefail
cd "$(dirname "$0")"
. tools/setup.sh

cmake -S . -B build -DBUILD_TESTING=ON
cmake --build build --parallel "$(nproc)"
cd build
ctest --output-on-failure --timeout 300
