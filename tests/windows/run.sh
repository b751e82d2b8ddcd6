#!/usr/bin/env bash
# The Windows process layer, cross-compiled with MinGW-w64: the 64-bit build is
# tested under Wine (build-win64/), the 32-bit one compiled only (build-win32/).
# test.sh runs this after the Linux suites and installs what it needs.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$root"

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
[ -x "$wine" ] || wine="$(command -v wine64 || command -v wine)"
[ -x "$wineserver" ] || wineserver="$(command -v wineserver64 || command -v wineserver)"

export WINEPREFIX="$root/build-win64/wineprefix"
export WINEDEBUG=-all
# No wine-mono or Gecko: without a display their install prompts would wait for
# ever. No menu builder: it writes desktop entries into the user's home.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
# The same run with or without a display: nothing here needs a window.
unset DISPLAY WAYLAND_DISPLAY

echo "== Windows suite: build for x86_64 and i686 with MinGW-w64"
cmake -S tests/windows -B build-win64 \
    -DCMAKE_TOOLCHAIN_FILE="$root/tests/windows/mingw.cmake" -DMINGW_ARCH=x86_64 \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$wine"
cmake --build build-win64 --parallel "$(nproc)"
# 32-bit Windows is the real target: its build checks the Tool Help record size.
cmake -S tests/windows -B build-win32 \
    -DCMAKE_TOOLCHAIN_FILE="$root/tests/windows/mingw.cmake" -DMINGW_ARCH=i686
cmake --build build-win32 --parallel "$(nproc)"

# Whatever happens below, no Wine process of this prefix outlives the stage.
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT

# A prefix whose creation was cut short is made afresh.
if [ ! -e "$WINEPREFIX/.complete" ]; then
    echo "== Creating the Wine prefix $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    log="$root/build-win64/wineboot.log"
    # It reports the 32-bit parts that wine64 alone lacks; only a failure is shown.
    if ! "$wine" wineboot --init </dev/null >"$log" 2>&1 || ! "$wineserver" -w; then
        cat "$log" >&2
        exit 1
    fi
    touch "$WINEPREFIX/.complete"
fi

echo "== Windows suite: run under Wine ($("$wine" --version))"
cd build-win64
ctest --verbose --timeout 300 </dev/null
