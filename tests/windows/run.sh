#!/usr/bin/env bash
# The Windows stage. For each target (x86_64 and i686 unless named) it builds
# watchdog.exe with its ZIP and installer (tools/build-windows.sh, into dist/)
# and the Windows tests, all in build-windows-ARCH/, checks the winget manifests
# it wrote (winget-check.py), then runs under Wine, in a
# private prefix (build-wine/prefix, made once): the check of dist/'s DLLs
# (dist-check.sh), the test suites through CTest, the real program (program.sh),
# the installer (installer.sh) and signing (signing.sh). Every Wine
# process of the prefix is ended at the end, however the stage ends.
# Usage: tests/windows/run.sh [x86_64] [i686]
set -euo pipefail
trap 'echo "tests/windows/run.sh: failed at line $LINENO: $BASH_COMMAND" >&2' ERR
root="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$root"
# Wine's server away from the other processes of this machine: see tests/isolated.sh.
[ -n "${WATCHDOG_ISOLATED:-}" ] || exec tests/isolated.sh "$0" "$@"

archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=(x86_64 i686)
for arch in "${archs[@]}"; do
    case "$arch" in
        x86_64 | i686) ;;
        *) echo "usage: $0 [x86_64] [i686]" >&2; exit 2 ;;
    esac
done

# Wine with its 32-bit half, which the 64-bit prefix runs 32-bit programs
# with; a display of our own and keys for it; NSIS for the installers; the C
# library's locales, whose language Wine gives the installer; Debian's YAML
# reader and JSON Schema validator for the winget manifests' check;
# osslsigncode and openssl for the signing test.
WATCHDOG_EXTRA_PACKAGES="wine64 wine32:i386 xvfb xauth xdotool nsis locales python3-yaml python3-jsonschema osslsigncode openssl ${WATCHDOG_EXTRA_PACKAGES:-}"
. tools/setup.sh
. tests/windows/wine.sh
trap wine_stop EXIT
trap 'exit 1' INT TERM

failures=()
step() {
    local name="$1" start="$SECONDS"
    shift
    echo "== $name"
    if "$@"; then
        echo "== $name: passed in $((SECONDS - start)) s"
    else
        failures+=("$name")
        echo "== $name: FAILED after $((SECONDS - start)) s"
        return 1
    fi
}

build() {
    local arch="$1"
    say "Building watchdog.exe, its ZIP, its installer and the Windows tests for $arch: about 2 min"
    say "(Qt for Windows is built first when it is not cached yet: about 12 min)"
    tools/build-windows.sh "$arch" -DBUILD_TESTING=ON \
        -DCMAKE_CROSSCOMPILING_EMULATOR="$wine" -DWATCHDOG_WINEPREFIX="$WINEPREFIX"
}

suites() {
    say "Running the Windows test suites under $("$wine" --version): about 1 min"
    local status=0
    wine_prefix || return 1
    (cd "build-windows-$1" && ctest --output-on-failure --timeout 300 </dev/null) || status=$?
    tests/skips.sh "build-windows-$1"
    wine_stop
    return "$status"
}

# Wine runs i686 programs with its 32-bit half: natively, or under qemu-user
# where the kernel refuses 32-bit programs (test.sh sets that up as root). Under
# emulation a program takes minutes to start, so only the first watch pass of
# the real program is run there.
runs() {
    local arch="$1" mode=native
    [ "$arch" = x86_64 ] || mode="$(i386_mode)"
    case "$mode" in
        native)
            step "dist/ check ($arch)" tests/windows/dist-check.sh "$arch"
            step "Test suites ($arch) under Wine" suites "$arch"
            step "watchdog.exe ($arch) under Wine" tests/windows/program.sh "$arch"
            step "Installer ($arch) under Wine" tests/windows/installer.sh "$arch"
            step "Signing ($arch), with a throwaway certificate" tests/windows/signing.sh "$arch"
            ;;
        emulated)
            step "dist/ check ($arch), without Wine" tests/windows/dist-check.sh "$arch" files
            step "watchdog.exe ($arch) under Wine and qemu-user: the first watch pass" \
                tests/windows/program.sh "$arch" watch
            for run in "the test suites" "selection mode of watchdog.exe" "the installer" "the dist/ copy lacking a DLL" "signing"; do
                echo "SKIP: $run ($arch): too slow where 32-bit programs run under qemu-user"
            done
            ;;
        none)
            step "dist/ check ($arch), without Wine" tests/windows/dist-check.sh "$arch" files
            local why="this machine runs no 32-bit programs (as root, ./test.sh runs them under qemu-user)"
            [ -x "$i386_probe" ] || why="Wine's 32-bit half (wine32:i386) is not installed"
            for run in "the test suites" "watchdog.exe" "the installer" "the dist/ copy lacking a DLL" "signing"; do
                echo "SKIP: $run ($arch): $why"
            done
            ;;
    esac
}

for arch in "${archs[@]}"; do
    if step "Build for $arch" build "$arch"; then
        step "winget manifests of dist/ (after $arch)" /usr/bin/python3 tests/windows/winget-check.py dist \
            "$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "build-windows-$arch/CMakeCache.txt")" || true
        runs "$arch" || true
    fi
done

[ ${#failures[@]} -eq 0 ] || { printf 'Failed: %s\n' "${failures[@]}"; exit 1; }
echo "Windows stage (${archs[*]}): all passed"
