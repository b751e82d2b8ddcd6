#!/usr/bin/env bash
# Builds the benchmarks if needed, runs them all and prints the tables
# (Markdown) with the machine they ran on. Details of the probe benchmarks go
# to build-bench/bench_probe.log. Takes about three minutes.
#   BENCH_BUILD_DIR      build folder (build-bench)
#   BENCH_POPULATIONS    machine sizes for the probe ("75 400 2000")
#   BENCH_PROBE_ARGS     extra Google Benchmark flags for bench_probe
#   BENCH_WATCH_ARGS     flags for bench_watch, e.g. "--cpu-seconds=60 --reactions=31"
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/setup.sh

build="${BENCH_BUILD_DIR:-build-bench}"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DBUILD_TESTING=OFF -DWATCHDOG_BENCH=ON >/dev/null
fi
cmake --build "$build" --parallel "$(nproc)" --target bench_probe bench_watch >/dev/null
if [ ! -x "$build/bench/bench_probe" ]; then
    echo "bench/ was not built: is Google Benchmark (libbenchmark-dev) installed?" >&2
    exit 1
fi

echo "## Benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
echo
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), Linux $(uname -r), $(ls /proc | grep -c '^[0-9]') processes at the start."
echo
status=0
# shellcheck disable=SC2086
"$build/bench/bench_probe" ${BENCH_PROBE_ARGS:-} 2>"$build/bench_probe.log" || status=1
echo
# shellcheck disable=SC2086
"$build/bench/bench_watch" ${BENCH_WATCH_ARGS:-} || status=1
exit $status
