#!/usr/bin/env bash
# Builds the artefacts of one target twice from this repository's last commit,
# from two clones in two folders of different depth and at two different
# times, and compares every artefact's SHA-256, naming each file that differs.
# The second build runs in another time zone, with another umask, and without
# the compiler cache (CCACHE_DISABLE=1), which would otherwise hand back the
# first build's objects and hide how they are compiled.
#   tools/check-reproducible.sh x86_64|i686|deb [--reuse]
#   tools/check-reproducible.sh x86_64|i686 --signed
#   tools/check-reproducible.sh x86_64|i686 --qt-cache DIR
# x86_64, i686: dist/windows-ARCH/ file by file, the ZIP and the installer
#               (tools/build-windows.sh); the ZIP must hold dist/'s very files.
# deb:          the Debian package (cpack in build/, as the README makes it).
# --reuse: this tree's own last build is the first of the two (./test.sh runs
# the check right after its stages built it); where the tree has changes that
# are not committed, both builds are made from clones instead.
# --signed: the first build is signed with a throwaway certificate made here,
# and the second, unsigned, attaches the first's detached signatures
# (dist/signatures-ARCH/), as anyone checks a signed release: then too every
# artefact, nested signed files included, must be the same.
# --qt-cache DIR: the second build takes Qt for Windows from the cache under
# DIR (its XDG_CACHE_HOME), and builds it there first when it is not in it:
# two Qt builds, in two folders and at two times, must give the same files.
set -euo pipefail
trap 'echo "tools/check-reproducible.sh: failed at line $LINENO: $BASH_COMMAND" >&2' ERR
target="${1:-}"
case "$target" in
    x86_64 | i686 | deb) ;;
    *) echo "usage: $0 x86_64|i686|deb [--reuse] | x86_64|i686 --signed | x86_64|i686 --qt-cache DIR" >&2; exit 2 ;;
esac
reuse="${2:-}"
case "$target/$reuse/$#" in
    */1 | */--reuse/2 | x86_64/--signed/2 | i686/--signed/2 | x86_64/--qt-cache/3 | i686/--qt-cache/3) ;;
    *) echo "usage: $0 x86_64|i686|deb [--reuse] | x86_64|i686 --signed | x86_64|i686 --qt-cache DIR" >&2; exit 2 ;;
esac
root="$(cd "$(dirname "$0")/.." && pwd)"
commit="$(git -C "$root" rev-parse HEAD)"
start=$SECONDS
tmp="$(mktemp -d "${TMPDIR:-/tmp}/check-reproducible.XXXXXX")"
trap 'rm -rf "$tmp"' EXIT
trap 'exit 1' INT TERM

# Builds TREE's artefacts of the target, its output in LOG.
build() {
    local tree="$1" log="$2"
    if [ "$target" = deb ]; then
        cmake -S "$tree" -B "$tree/build" -DWATCHDOG_QT_MAJOR=5 -DBUILD_TESTING=OFF -DWATCHDOG_BENCH=OFF &&
            cmake --build "$tree/build" --parallel "$(nproc)" &&
            (cd "$tree/build" && cpack -G DEB)
    else
        "$tree/tools/build-windows.sh" "$target"
    fi >"$log" 2>&1
}

# Lists "SHA-256  name" for each artefact of TREE's last build. For --reuse,
# the .deb is packed again from build/.
artefacts() {
    local tree="$1" out="$2"
    if [ "$target" = deb ]; then
        local dir="$tree/build"
        if [ "$tree" = "$root" ]; then
            dir="$tmp/packed"
            cpack --config "$tree/build/CPackConfig.cmake" -G DEB -B "$dir" >"$tmp/cpack.log" 2>&1 ||
                { cat "$tmp/cpack.log" >&2; return 1; }
        fi
        (cd "$dir" && sha256sum ./*.deb) >"$out"
    else
        (cd "$tree/dist" &&
            sha256sum ./*-windows-"$target".zip ./*-windows-"$target"-setup.exe &&
            find "windows-$target" -type f -print0 | sort -z | xargs -0 sha256sum) >"$out"
    fi
}

# A clone of the last commit in DIR, with the given umask for its files.
clone() {
    (umask "$2" && git clone -q --no-checkout "$root" "$1" && git -C "$1" -c advice.detachedHead=false checkout -q --detach "$commit")
}

if [ "$target" = deb ]; then
    duration="about 2 min"
else
    duration="about 1.5 min; Qt for Windows first where it is not cached: about 12 min"
fi
first_env=() second_env=()
if [ "$reuse" = --signed ]; then
    printf 'throwaway\n' >"$tmp/password"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$tmp/key.pem" -out "$tmp/cert.pem" -days 2 \
        -subj "/CN=Tallowbrecken reproducibility check" \
        -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature 2>/dev/null
    openssl pkcs12 -export -inkey "$tmp/key.pem" -in "$tmp/cert.pem" -out "$tmp/cert.p12" \
        -passout "file:$tmp/password"
    first_env=(WATCHDOG_SIGN_PKCS12="$tmp/cert.p12" WATCHDOG_SIGN_PASSWORD_FILE="$tmp/password")
    second_env=(WATCHDOG_SIGNATURES="$tmp/one/watchdog/dist/signatures-$target" WATCHDOG_SIGN_CAFILE="$tmp/cert.pem")
fi
if [ "$reuse" = --qt-cache ]; then
    mkdir -p "$3"
    second_env=(XDG_CACHE_HOME="$(cd "$3" && pwd)")
    duration="$duration; the second build's Qt, where DIR has none yet: about 12 min"
fi
if [ "$reuse" = --reuse ] && [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
    echo "This tree has changes that are not committed: both builds are made from clones of $commit."
    reuse=""
fi
first="$root"
if [ "$reuse" = --reuse ]; then
    made="$root/dist/windows-$target"
    [ "$target" = deb ] && made="$root/build/CPackConfig.cmake"
    if [ ! -e "$made" ]; then
        echo "FAIL: --reuse, but this tree has no build of $target ($made is missing)" >&2
        exit 1
    fi
    echo "== First build of $target: this tree's own, from $first"
else
    first="$tmp/one/watchdog"
    echo "== First build of $target, from a clone in $first: $duration"
    clone "$first" 022
    if ! ( [ ${#first_env[@]} -eq 0 ] || export "${first_env[@]}"
        TZ=Pacific/Pago_Pago build "$first" "$tmp/first.log"); then
        tail -n 40 "$tmp/first.log"
        echo "FAIL: the first build of $target failed (its last lines are above)" >&2
        exit 1
    fi
fi
artefacts "$first" "$tmp/first.sums"
# Signed indeed, each signed file with its detached signature: else the check proves nothing.
if [ "$reuse" = --signed ]; then
    for name in watchdog.exe setuphelper.exe Uninstall.exe "$(basename "$first"/dist/*-windows-"$target"-setup.exe)"; do
        if [ ! -s "$first/dist/signatures-$target/$name.p7" ]; then
            echo "FAIL: the signed build wrote no detached signature of $name" >&2
            exit 1
        fi
    done
    if ! osslsigncode verify -CAfile "$tmp/cert.pem" -in "$first"/dist/*-windows-"$target"-setup.exe >"$tmp/verify.log" 2>&1; then
        cat "$tmp/verify.log" >&2
        echo "FAIL: the signed build's installer does not verify" >&2
        exit 1
    fi
fi

second="$tmp/the-second/clone/in/another/folder/watchdog"
echo "== Second build of $target, from a clone in $second, at UTC+14, umask 002, without ccache: $duration"
clone "$second" 002
if ! (umask 002 && { [ ${#second_env[@]} -eq 0 ] || export "${second_env[@]}"; } &&
    CCACHE_DISABLE=1 TZ=Pacific/Kiritimati build "$second" "$tmp/second.log"); then
    tail -n 40 "$tmp/second.log"
    echo "FAIL: the second build of $target failed (its last lines are above)" >&2
    exit 1
fi
artefacts "$second" "$tmp/second.sums"

differ=()
while read -r name; do
    differ+=("$name")
done < <(sort -k 2 "$tmp/first.sums" "$tmp/second.sums" | uniq -u | awk '{ print $2 }' | uniq)
wrong=()
# The packages' published sums are right.
sums="$second/dist/SHA256SUMS"
[ "$target" = deb ] && sums="$second/build/SHA256SUMS"
while read -r sum name; do
    name="${name#./}"
    if [ "$name" = "${name#windows-}" ] && ! grep -qx "$sum  $name" "$sums" 2>/dev/null; then
        wrong+=("SHA256SUMS has no line \"$sum  $name\"")
    fi
done <"$tmp/second.sums"
# The ZIP and dist/windows-ARCH/ hold the very same files (the installer is
# packed from the same staged files as the ZIP).
if [ "$target" != deb ]; then
    mkdir "$tmp/zip"
    (cd "$tmp/zip" && cmake -E tar xf "$second"/dist/*-windows-"$target".zip)
    if ! diff -r "$tmp"/zip/*/ "$second/dist/windows-$target" >"$tmp/zip.diff"; then
        wrong+=("the ZIP's files are not dist/windows-$target/'s:")
        while read -r line; do wrong+=("  $line"); done <"$tmp/zip.diff"
    fi
fi

count=$(wc -l <"$tmp/second.sums")
if [ ${#differ[@]} -gt 0 ] || [ ${#wrong[@]} -gt 0 ]; then
    echo "NOT reproducible ($target, $commit):"
    [ ${#differ[@]} -eq 0 ] || printf '  differs between the two builds: %s\n' "${differ[@]}"
    [ ${#wrong[@]} -eq 0 ] || printf '  %s\n' "${wrong[@]}"
    exit 1
fi
echo "Reproducible ($target, $commit): each of the $count artefacts is the same in both builds (checked in $((SECONDS - start)) s):"
sed 's/^/  /' "$tmp/second.sums"
