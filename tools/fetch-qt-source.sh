#!/usr/bin/env bash
# Fetches Debian's qtbase source package once into the cache and prints the
# path of its .dsc as the last line. Where apt has no source entries it adds
# deb-src entries for the machine's own suites (as root), in a file of ours.
# apt's configuration is read through apt-config, so APT_CONFIG may point at a
# private one (tests/windows/source-guard.sh does).
set -euo pipefail
say() { echo "$*" >&2; }
trap 'say "fetch-qt-source.sh: failed at line $LINENO: $BASH_COMMAND"' ERR

cache="${XDG_CACHE_HOME:-$HOME/.cache}/tallowbrecken-watchdog/qt-windows"
mkdir -p "$cache"
# test.sh's background Qt build and a Windows stage may both get here first on a
# new machine: one fetch at a time, or the second wipes the first's download.
exec 8>"$cache/source.lock"
flock 8
eval "$(apt-config shell parts Dir::Etc::sourceparts/d list Dir::Etc::sourcelist/f)"

# Which source apt would fetch: its .dsc name carries the exact version. apt
# fails when it has no source entries at all; that is an empty answer here.
source_dsc() {
    local uris
    uris="$(cd "$cache" && apt-get source --print-uris qtbase-opensource-src 2>/dev/null)" || true
    sed -n "s/^'[^']*' \(qtbase-opensource-src_[^ ]*\.dsc\) .*/\1/p" <<<"$uris"
}

dsc="$(source_dsc)"
if [ -z "$dsc" ]; then
    # Debian's sources come from the same suites as its packages: deb-src
    # entries beside the deb ones.
    srclist="${parts%/}/tallowbrecken-watchdog-src.sources"
    if [ "$(id -u)" != 0 ]; then
        say "apt has no source entries. As root, add deb-src entries for the suites in"
        say "$parts (or run this script as root, which does it), then run it again."
        exit 1
    fi
    say "== Adding deb-src entries to $srclist and updating apt's lists"
    for f in "${parts%/}"/*.sources; do
        [ -e "$f" ] && [ "$f" != "$srclist" ] || continue
        sed 's/^Types: deb$/Types: deb-src/' "$f"
        echo
    done >"$srclist"
    if [ -f "$list" ]; then
        sed -n 's/^deb \(.*\)/deb-src \1/p' "$list" >"${srclist%.sources}.list"
    fi
    if ! grep -q '^Types: deb-src' "$srclist" && ! [ -s "${srclist%.sources}.list" ]; then
        say "No deb entries found in $parts or $list to derive source entries from."
        rm -f "$srclist" "${srclist%.sources}.list"
        exit 1
    fi
    # A third-party suite without sources makes apt fail; Debian's may still answer.
    apt-get update -q >&2 || say "apt-get update reported errors (above)"
    dsc="$(source_dsc)"
    if [ -z "$dsc" ]; then
        say "apt still finds no source package for qtbase-opensource-src (entries in $srclist)."
        exit 1
    fi
fi

# Fetched once, unpacked afresh for each build.
src="$cache/source/${dsc%.dsc}"
if [ ! -e "$src/.complete" ]; then
    say "== Fetching Debian's Qt source ($dsc, about 50 MB)"
    rm -rf "$src"
    mkdir -p "$src"
    (cd "$src" && apt-get source --download-only qtbase-opensource-src >&2)
    [ -f "$src/$dsc" ]
    touch "$src/.complete"
fi
echo "$src/$dsc"
