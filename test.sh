#!/usr/bin/env bash
# Builds the watchdog and its tests and runs every stage; fails when any fails.
set -euo pipefail
cd "$(dirname "$0")"
WATCHDOG_EXTRA_PACKAGES="valgrind clang libclang-rt-14-dev" . tools/setup.sh

jobs=$(nproc)
root=$PWD
passed=0
stage() {
    echo
    echo "=== $1"
}
trap 'echo; echo "test.sh: $passed passed, 1 failed"' ERR

stage "Tests"
cmake -S . -B build -DBUILD_TESTING=ON
cmake --build build --parallel "$jobs"
(cd build && ctest --output-on-failure --timeout 300)
passed=$((passed + 1))

stage "Tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DBUILD_TESTING=ON -DWATCHDOG_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build build-asan --parallel "$jobs"
(cd build-asan &&
    ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0 \
    LSAN_OPTIONS=suppressions=$root/tests/lsan.supp \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --output-on-failure --timeout 600)
passed=$((passed + 1))

stage "The probe and watch passes under Valgrind memcheck"
# Valgrind doesn't know pidfd_open, so the tests that end processes through one are left out.
memcheck() {
    QT_QPA_PLATFORM=offscreen valgrind -q --error-exitcode=99 --leak-check=full \
        --errors-for-leak-kinds=definite --suppressions=tests/valgrind.supp "$@"
}
memcheck build/tests/tst_probe findsOnlyTheExactName severalInstancesAndNonAsciiNames \
    longNamesAreMatchedInFull scriptsAreMatchedByTheirOwnName zombiesDoNotCount kernelThreadsDoNotCount
memcheck build/tests/tst_watchpass passRecordsStartsHoldsAndEnds runningInstanceMeansNoRecordAndNoStart
passed=$((passed + 1))

stage "Fuzzing the image name and the /proc decisions"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DWATCHDOG_FUZZ=ON -DBUILD_TESTING=OFF
cmake --build build-fuzz --parallel "$jobs" --target fuzz_names
mkdir -p build-fuzz/corpus
build-fuzz/tests/fuzz/fuzz_names -max_total_time=30 -max_len=4096 -print_final_stats=1 \
    -artifact_prefix=build-fuzz/ build-fuzz/corpus
passed=$((passed + 1))

echo
echo "test.sh: $passed passed, 0 failed"
