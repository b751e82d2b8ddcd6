#!/usr/bin/env bash
# The check that dist/windows-ARCH holds every DLL the program loads
# (tools/check-dist.sh, which tools/build-windows.sh runs): it passes on a copy
# of the folder and fails on copies each lacking one file. Then, under Wine,
# the copy without Qt5Core.dll must not start: the stage's Wine finds DLLs only
# beside the program and in Windows' own folders, even where the caller's
# WINEPATH names Qt's, so a folder that lacks one can't pass for complete.
# Usage: tests/windows/dist-check.sh x86_64|i686 [files], after tools/build-windows.sh
# ARCH; with "files", no Wine run (where a start takes minutes). About 10 s.
set -euo pipefail
arch="${1:-}"
part="${2:-all}"
case "$arch/$part" in
    i686/all | x86_64/all | i686/files | x86_64/files) ;;
    *) echo "usage: $0 x86_64|i686 [files]" >&2; exit 2 ;;
esac
root="$(cd "$(dirname "$0")/../.." && pwd)"
. "$root/tests/windows/wine.sh"
wine_isolate "$@"

dist="$root/dist/windows-$arch"
[ -f "$dist/watchdog.exe" ] || { say "$dist is missing: run tests/windows/run.sh $arch"; exit 1; }
mkdir -p "$root/build-wine"
work="$(mktemp -d "$root/build-wine/dist-check-$arch.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# A copy of dist/windows-ARCH in $work/copy, without the file $1 if named.
copy_without() {
    rm -rf "$work/copy"
    cp -r "$dist" "$work/copy"
    [ -z "${1:-}" ] || rm "$work/copy/$1"
}
fails() { ! "$@" 2>/dev/null; }

echo "== dist/windows-$arch: the check of its DLLs"
copy_without ""
check "it passes on a complete copy" "$root/tools/check-dist.sh" "$arch" "$work/copy"
# A Qt DLL, the compiler's runtime, a plugin.
for file in Qt5Core.dll libstdc++-6.dll platforms/qwindows.dll; do
    copy_without "$file"
    check "it fails without $file" fails "$root/tools/check-dist.sh" "$arch" "$work/copy"
done

if [ "$part" = all ]; then
    echo "== dist/windows-$arch: under Wine, a copy without Qt5Core.dll"
    wine_prefix
    copy_without Qt5Core.dll
    mkdir "$work/run"
    wine_session "$work/run" "$work"
    qt="$(sed -n 's/^WATCHDOG_WINDOWS_QT:[A-Z]*=//p' "$root/build-windows-$arch/CMakeCache.txt")"
    # As the stage starts a program, from a caller whose WINEPATH names Qt's DLLs.
    # It must end with an error, not reach its dialog and wait there.
    status=0
    WINEPATH="$(windows_path "$qt/bin")" root="$root" work="$work" timeout 30 bash -c '
        . "$root/tests/windows/wine.sh"
        cd "$work/run" && exec "$wine" "$(windows_path "$work/copy/watchdog.exe")"' >/dev/null 2>&1 || status=$?
    failed_to_start() { [ "$status" != 0 ] && [ "$status" != 124 ]; }
    check "it does not start, whatever WINEPATH the caller has" failed_to_start
fi

[ "$failed" = 0 ] || { echo "dist/windows-$arch: $failed checks failed"; exit 1; }
echo "dist/windows-$arch: all checks passed"
