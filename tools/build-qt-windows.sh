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
recipe=7
cache="${XDG_CACHE_HOME:-$HOME/.cache}/tallowbrecken-watchdog/qt-windows"
cross="$arch-w64-mingw32-"
jobs=$(nproc)

# Debian's repacked source lacks wintab and sqlite: both are configured away.
# The host tools (qmake, moc, rcc, uic) are Debian's own, built from the same
# source; so only the libraries are built here. Left out: features that
# neither the program (a main window, the file dialog, the Windows styles) nor
# its tests use, and the text shaping engine for complex scripts.
hostbin=/usr/lib/qt5/bin
flags=(
    -xplatform win32-g++ -device-option "CROSS_COMPILE=$cross"
    -external-hostbindir "$hostbin"
    -opensource -confirm-license -release -shared
    -nomake examples -nomake tests
    -no-opengl -no-dbus -no-icu -no-fontconfig -no-freetype -no-openssl
    -qt-zlib -qt-libpng -no-libjpeg -qt-pcre -no-harfbuzz
    -no-direct2d -no-feature-tabletevent -no-feature-vulkan
    -no-sql-sqlite -no-sql-odbc -no-sql-psql -no-sql-mysql
    -no-feature-graphicsview -no-feature-graphicseffect -no-feature-mdiarea
    -no-feature-calendarwidget -no-feature-datetimeedit -no-feature-colordialog
    -no-feature-fontdialog -no-feature-wizard -no-feature-undocommand
    -no-feature-undostack -no-feature-undogroup -no-feature-undoview
    -no-feature-style-stylesheet -no-feature-textodfwriter
    -no-feature-textmarkdownreader -no-feature-textmarkdownwriter
    -no-feature-statemachine -no-feature-big_codecs -no-feature-lcdnumber
    -no-feature-dial -no-feature-keysequenceedit -no-feature-syntaxhighlighter
    -no-feature-fontcombobox -no-feature-systemtrayicon -no-feature-movie
    -no-feature-sharedmemory -no-feature-systemsemaphore -no-feature-splashscreen
    -no-feature-commandlinkbutton -no-feature-tablewidget -no-feature-pdf
    -no-feature-printer
)
# The libraries and plugins, in the order they need each other.
modules=(
    3rdparty/pcre2 corelib winmain 3rdparty/libpng gui platformheaders widgets
    testlib platformsupport plugins/platforms/windows plugins/styles/windowsvista
)
# Optimised, but only at -Og: nothing here is bound by Qt's speed, and it
# compiles in about half the time of Qt's -O2 and -O3 (a tenth less than -O1).
optimise='s/^\(QMAKE_CFLAGS_OPTIMIZE\(_FULL\)\? *=\) -O[23]$/\1 -Og/'

mkdir -p "$cache"
dsc_path="$("$root/tools/fetch-qt-source.sh" | tail -n 1)"
dsc="${dsc_path##*/}"
src="${dsc_path%/*}"
key="$( {
    echo "recipe $recipe" "$dsc" "${flags[*]}" "${modules[*]}" "$optimise"
    dpkg-query -W qtbase5-dev-tools
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
sed -i "$optimise" "$work/qtsrc/mkspecs/common/gcc-base.conf"
[ "$(grep -c '^QMAKE_CFLAGS_OPTIMIZE\(_FULL\)\? *= -Og$' "$work/qtsrc/mkspecs/common/gcc-base.conf")" = 2 ]
# configure builds a qmake of its own even when it then runs Debian's: not here.
perl -0pi -e 's/(\n# build qmake\n)(    echo "Creating qmake...")/$1if [ -z "\$CFG_HOST_QT_TOOLS_PATH" ]; then\n$2/;
    s/(\n        echo "Done."\n    fi\n)/$1fi\n/' "$work/qtsrc/configure"
grep -q '^if \[ -z "\$CFG_HOST_QT_TOOLS_PATH" \]; then$' "$work/qtsrc/configure"
# The windows platform plugin has no precompiled header, and its time goes to
# parsing <windows.h> and the shell's headers in every file: give it one. The
# pointer handler asks for a later Windows than the rest, so it goes without.
plugin="$work/qtsrc/src/plugins/platforms/windows"
printf '%s\n' '#include "../../../gui/kernel/qt_gui_pch.h"' '#if defined __cplusplus' \
    '#include <QtCore/qt_windows.h>' '#include <shlobj.h>' '#endif' >"$plugin/qt_windows_pch.h"
perl -0pi -e 's/\nload\(qt_plugin\)\n/\nPRECOMPILED_HEADER = qt_windows_pch.h
SOURCES -= \$\$PWD\/qwindowspointerhandler.cpp
NO_PCH_SOURCES += \$\$PWD\/qwindowspointerhandler.cpp
load(qt_plugin)\n/' "$plugin/windows.pro"
grep -q '^PRECOMPILED_HEADER = qt_windows_pch.h$' "$plugin/windows.pro"
# The DLLs keep source paths (__FILE__): the temporary source folder is
# mapped away, so that a build anywhere gives the same DLLs. Qt's .pc and .prl
# files keep the prefix: a fixed one, installed under a staging root.
configured_prefix=/opt/tallowbrecken-qt-windows
stage="$work/root$configured_prefix"
printf 'QMAKE_%s += -ffile-prefix-map=%s=.\n' CFLAGS "$work" CXXFLAGS "$work" \
    >>"$work/qtsrc/mkspecs/win32-g++/qmake.conf"
# Every link takes MinGW's libraries from the build's library folder (below).
printf 'QMAKE_LFLAGS += -L%s/build/lib\n' "$work" >>"$work/qtsrc/mkspecs/win32-g++/qmake.conf"
# The linker writes the build's time into each DLL's headers and export
# table: the source's own date there, as Debian's packages do.
SOURCE_DATE_EPOCH="$(dpkg-parsechangelog -l "$work/qtsrc/debian/changelog" -STimestamp)"
export SOURCE_DATE_EPOCH
# The linker orders a DLL's imports by the paths of the libraries it took them
# from: Qt's own, from wherever Qt is built or cached, and MinGW's, under /usr.
# A Qt built, or a program linked, in a folder that sorts after /usr got
# another import table than one before it (Qt5Gui.dll differed in 63,000 bytes
# between caches under /root and /work). Links to MinGW's libraries beside
# Qt's, in the build and in the prefix, put them all in one folder, where only
# their names decide; the programs link through the prefix's (mingw.cmake).
link_mingw_libraries() {
    local dir lib
    # In gcc's order of search: an earlier folder's library replaces a later one's.
    for dir in $("${cross}gcc" -print-search-dirs | sed -n 's/^libraries: =//p' | tr ':' '\n' | tac); do
        [ -d "$dir" ] || continue
        for lib in "$dir"/*.a; do
            [ ! -e "$lib" ] || ln -sfn "$(realpath "$lib")" "$1/"
        done
    done
    [ -L "$1/libkernel32.a" ]
}
mkdir -p "$work/build/lib"
link_mingw_libraries "$work/build/lib"
cd "$work/build"
step() {
    say "-- $*"
    if ! "$@" >>"$log" 2>&1; then
        tail -n 60 "$log" >&2
        say "Qt for Windows ($arch): '$*' failed; the last lines of its log are above, all of it in $log"
        exit 1
    fi
}
# The compilers' memory in huge pages (tools/hugepages.c): where the kernel
# gives them only on request, it cut the kernel's share here to a third and the
# whole CPU time by a tenth; without it the build is only slower.
if gcc -O2 -shared -fPIC -o "$work/hugepages.so" "$root/tools/hugepages.c" -ldl >>"$log" 2>&1; then
    export LD_PRELOAD="$work/hugepages.so${LD_PRELOAD:+:$LD_PRELOAD}"
    export GLIBC_TUNABLES="glibc.malloc.hugetlb=1${GLIBC_TUNABLES:+:$GLIBC_TUNABLES}"
else
    say "Could not build tools/hugepages.c (see $log): building without it"
fi
# configure runs its tests in parallel.
step env MAKEFLAGS="-j$jobs" ../qtsrc/configure -prefix "$configured_prefix" "${flags[@]}"
step make sub-src-qmake_all
for module in "${modules[@]}"; do
    step make -C "src/$module" -j"$jobs"
done
step make install_mkspecs INSTALL_ROOT="$work/root"
for module in "${modules[@]}"; do
    case "$module" in
        3rdparty/*) ;;
        *) step make -C "src/$module" install INSTALL_ROOT="$work/root" ;;
    esac
done
link_mingw_libraries "$stage/lib"
# Where Qt's CMake files look for its tools.
mkdir -p "$stage/bin"
for tool in qmake moc rcc uic; do
    ln -s "$hostbin/$tool" "$stage/bin/$tool"
done

mv "$stage" "$prefix"
touch "$prefix/.complete"
# CPU time of the build's commands (user, then system), for the README's figures.
times >"$work/times"
say "== Qt for Windows ($arch) is in $prefix ($(du -sh "$prefix" | cut -f1)); CPU time: $(tail -n 1 "$work/times")" 2>&1 |
    tee -a "$log" >&2
echo "$prefix"
