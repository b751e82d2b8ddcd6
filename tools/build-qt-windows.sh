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
# Which source apt would fetch: its .dsc name carries the exact version.
source_dsc() {
    (cd "$cache" && apt-get source --print-uris qtbase-opensource-src 2>/dev/null |
        sed -n "s/^'[^']*' \(qtbase-opensource-src_[^ ]*\.dsc\) .*/\1/p")
}
dsc="$(source_dsc)"
if [ -z "$dsc" ]; then
    # Debian's sources come from the same suites as its packages: deb-src
    # entries beside the deb ones, in a file of our own.
    srclist=/etc/apt/sources.list.d/tallowbrecken-watchdog-src.sources
    if [ "$(id -u)" != 0 ]; then
        say "apt has no source entries. As root, add deb-src entries for the suites in"
        say "/etc/apt/sources.list.d/ (or run this script as root, which does it), then run it again."
        exit 1
    fi
    say "== Adding deb-src entries to $srclist and updating apt's lists"
    {
        for f in /etc/apt/sources.list.d/*.sources; do
            [ "$f" = "$srclist" ] || sed 's/^Types: deb$/Types: deb-src/' "$f"
            echo
        done
    } >"$srclist"
    if [ -f /etc/apt/sources.list ]; then
        sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list >"${srclist%.sources}.list"
    fi
    apt-get update -q >&2
    dsc="$(source_dsc)"
    if [ -z "$dsc" ]; then
        say "apt still finds no source package for qtbase-opensource-src."
        exit 1
    fi
fi
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

# The source: fetched once, unpacked afresh for each build.
src="$cache/source/${dsc%.dsc}"
if [ ! -e "$src/.complete" ]; then
    say "== Fetching Debian's Qt source ($dsc, about 50 MB)"
    rm -rf "$src"
    mkdir -p "$src"
    (cd "$src" && apt-get source --download-only qtbase-opensource-src >&2)
    touch "$src/.complete"
fi

work="$(mktemp -d "$cache/build-$arch.XXXXXX")"
trap 'rm -rf "$work"' EXIT
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
log="$work/build.log"
step() {
    say "-- $*"
    if ! "$@" >>"$log" 2>&1; then
        tail -n 60 "$log" >&2
        say "Qt for Windows ($arch): '$*' failed; the last lines of its log are above."
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
