#!/usr/bin/env bash
# Builds Qt 5 for Windows from Debian's qtbase source with MinGW-w64, once, and
# keeps it outside the repository: tools/build-qt-windows.sh i686|x86_64
# prints the installed prefix as its last line. Only what the watchdog and its
# tests need is built: Core, Gui, Widgets, Test, the windows platform plugin and
# the Windows styles. A later run with the same source, compilers, flags and
# script reuses the prefix; a run cut short leaves nothing that a later one trusts.
set -euo pipefail
arch="${1:-}"
case "$arch" in
    i686 | x86_64) ;;
    *) echo "usage: $0 i686|x86_64" >&2; exit 2 ;;
esac
root="$(cd "$(dirname "$0")/.." && pwd)"
say() { echo "$*" >&2; }
trap 'say "build-qt-windows.sh: failed at line $LINENO: $BASH_COMMAND"' ERR

# This script's own version: bump it when a change to the steps below changes what is built.
recipe=2
cache="${XDG_CACHE_HOME:-$HOME/.cache}/tallowbrecken-watchdog/qt-windows"
cross="$arch-w64-mingw32-"
jobs=$(nproc)

# Debian's repacked source lacks wintab and sqlite: both are configured away.
flags=(
    -xplatform win32-g++ -device-option "CROSS_COMPILE=$cross"
    -opensource -confirm-license -release -shared
    -nomake examples -nomake tests
    -no-opengl -no-dbus -no-icu -no-fontconfig -no-freetype -no-openssl
    -qt-zlib -qt-libpng -no-libjpeg -qt-pcre -qt-harfbuzz
    -no-direct2d -no-feature-tabletevent
    -no-sql-sqlite -no-sql-odbc -no-sql-psql -no-sql-mysql
)

mkdir -p "$cache"
dsc_path="$("$root/tools/fetch-qt-source.sh" | tail -n 1)"
dsc="${dsc_path##*/}"
src="${dsc_path%/*}"
key="$( {
    echo "recipe $recipe" "$dsc" "${flags[*]}"
    "${cross}g++" --version | head -n 1
    g++ --version | head -n 1
} | sha256sum | cut -c1-16)"
prefix="$cache/$arch-$key"

if [ -e "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi

exec 9>"$cache/$arch.lock"
say "Waiting for the lock on $cache/$arch.lock (another build of Qt for $arch may be running)"
flock 9
if [ -e "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi

work="$(mktemp -d "$cache/build-$arch.XXXXXX")"
trap 'rm -rf "$work"' EXIT
# Kept after the build, whatever its end.
log="$cache/build-$arch.log"
: >"$log"
say "The build's log: $log"
say "== Building Qt for Windows ($arch) in $work: about 12 min on 2 cores"
(cd "$work" && dpkg-source --no-check -x "$src/$dsc" qtsrc >&2)
# Debian's MinGW-w64 defaults to Windows threads, whose libstdc++ has no
# std::mutex: Qt Test's watchdog thread, which ends a test that hangs, is left
# out there, as on a Qt without threads (CTest's time-out still applies).
no_gthreads='(!defined(Q_CC_MINGW) || defined(_GLIBCXX_HAS_GTHREADS))'
perl -0pi -e "s/#else \/\/ Integrity\n/#elif $no_gthreads\n/" \
    "$work/qtsrc/src/corelib/thread/qwaitcondition_p.h"
perl -0pi -e "s/#if QT_CONFIG\(thread\)(\n\nclass WatchDog : public QThread)/#if QT_CONFIG(thread) \&\& $no_gthreads\1/" \
    "$work/qtsrc/src/testlib/qtestcase.cpp"
grep -q "_GLIBCXX_HAS_GTHREADS" "$work/qtsrc/src/corelib/thread/qwaitcondition_p.h"
grep -q "_GLIBCXX_HAS_GTHREADS" "$work/qtsrc/src/testlib/qtestcase.cpp"
stage="$work/prefix"
mkdir -p "$work/build"
cd "$work/build"
step() {
    say "-- $*"
    if ! "$@" >>"$log" 2>&1; then
        tail -n 60 "$log" >&2
        say "Qt for Windows ($arch): '$*' failed; the last lines of its log are above, all of it in $log"
        exit 1
    fi
}
step ../qtsrc/configure -prefix "$stage" "${flags[@]}"
# Only the modules and plugins the program uses, not the top-level make.
step make sub-src-qmake_all
step make -C src -j"$jobs" sub-widgets sub-winmain sub-testlib sub-platformsupport
for plugin in platforms/windows styles/windowsvista; do
    step make -C "src/plugins/$plugin" -j"$jobs"
done

step make sub-qmake-qmake-aux-pro-install_subtargets install_mkspecs
step make -C src sub-moc-install_subtargets sub-rcc-install_subtargets sub-uic-install_subtargets \
    sub-corelib-install_subtargets sub-gui-install_subtargets sub-widgets-install_subtargets \
    sub-winmain-install_subtargets sub-testlib-install_subtargets sub-platformsupport-install_subtargets \
    sub-platformheaders-install_subtargets
for plugin in platforms/windows styles/windowsvista; do
    step make -C "src/plugins/$plugin" install
done

mv "$stage" "$prefix"
touch "$prefix/.complete"
say "== Qt for Windows ($arch) is in $prefix ($(du -sh "$prefix" | cut -f1))"
echo "$prefix"
