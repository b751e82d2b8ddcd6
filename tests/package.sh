#!/usr/bin/env bash
# Makes the Debian package of a build with cpack, checks what it holds and says,
# then installs and removes it with dpkg in a private database and root: the
# machine's own packages and its dpkg lock are never touched.
#   package.sh SOURCE_DIR BUILD_DIR QT_MAJOR
set -euo pipefail
source_dir="$1"
build="$2"
qt="$3"
package=tallowbrecken-watchdog
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# Runs a command quietly; shows its output when it fails.
quiet() {
    "$@" >"$tmp/log" 2>&1 || { cat "$tmp/log" >&2; fail "$*"; }
}

quiet cpack --config "$build/CPackConfig.cmake" -B "$tmp/out"
debs=("$tmp"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one package, found: ${debs[*]}"
deb="${debs[0]}"

# The program under the package's name ("watchdog" is Debian's hardware-watchdog
# daemon), its desktop entry, icon, manual page, changelog and copyright; nothing else.
contents="$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $6, $1 }' | sort)"
expected="./usr/bin/$package -rwxr-xr-x
./usr/share/applications/$package.desktop -rw-r--r--
./usr/share/doc/$package/changelog.gz -rw-r--r--
./usr/share/doc/$package/copyright -rw-r--r--
./usr/share/icons/hicolor/180x180/apps/$package.png -rw-r--r--
./usr/share/man/man1/$package.1.gz -rw-r--r--"
[ "$contents" = "$expected" ] || fail "contents:"$'\n'"$contents"

# Debian's policy checks: no error and no warning (overrides would need a reason beside them).
command -v lintian >/dev/null || fail "lintian is missing: apt-get install lintian"
lintian --fail-on error,warning "$deb" >"$tmp/lintian" 2>&1 ||
    { cat "$tmp/lintian" >&2; fail "lintian"; }

[ "$(dpkg-deb --field "$deb" Package)" = "$package" ] || fail "package name"
[ "$(dpkg-deb --field "$deb" Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture"
# The Qt runtime this build links, and not the other one.
depends="$(dpkg-deb --field "$deb" Depends)"
other=$((11 - qt))
for runtime in libc6 libstdc++6 "libqt${qt}core$qt" "libqt${qt}gui$qt" "libqt${qt}widgets$qt"; do
    [[ "$depends" == *"$runtime"* ]] || fail "$runtime missing from Depends: $depends"
done
[[ "$depends" != *"libqt$other"* ]] || fail "Qt $other in Depends: $depends"

# A private copy of the machine's dpkg database, so that Depends and file
# conflicts are checked against what is installed. The package has no
# maintainer scripts, so nothing runs inside the root.
admin="$tmp/admin"
root="$tmp/root"
mkdir -p "$admin/info" "$admin/updates" "$root"
cp /var/lib/dpkg/status "$admin/"
cp /var/lib/dpkg/info/*.list "$admin/info/"
# The machine's dpkg log is left alone too. Nothing here needs root: only dpkg's own check asks for it.
dpkg=(dpkg --admindir="$admin" --instdir="$root" --log="$tmp/dpkg.log" --force-not-root)
status() { dpkg-query --admindir="$admin" -W -f='${db:Status-Status}' "$package" 2>/dev/null || true; }

quiet "${dpkg[@]}" --install "$deb"
[ "$(status)" = installed ] || fail "not installed: $(status)"
ldd "$root/usr/bin/$package" >"$tmp/ldd" || fail "ldd"
! grep 'not found' "$tmp/ldd" || fail "libraries missing"
cmp "$source_dir/ui/img/Logo.png" "$root/usr/share/icons/hicolor/180x180/apps/$package.png" || fail "icon"
desktop="$root/usr/share/applications/$package.desktop"
quiet desktop-file-validate "$desktop"
for line in "Name=Tallowbrecken_VRTN" "Name[zh_CN]=Tallowbrecken_VRTN" "Comment[zh_CN]=让指定的程序始终保持运行" \
    "Icon=$package" "Type=Application"; do
    grep -qxF "$line" "$desktop" || fail "no $line in the desktop entry"
done
# Started as a desktop starts it, the entry runs the program in the user's own
# folder, made when missing: a stand-in first on PATH says where it ran.
mkdir -p "$tmp/bin" "$tmp/home"
printf '#!/bin/sh\npwd >"%s/ran-in"\n' "$tmp" >"$tmp/bin/$package"
chmod +x "$tmp/bin/$package"
for data_home in "" "$tmp/data home"; do
    rm -f "$tmp/ran-in"
    HOME="$tmp/home" XDG_DATA_HOME="$data_home" PATH="$tmp/bin:$PATH" quiet gio launch "$desktop"
    for _ in $(seq 100); do [ -s "$tmp/ran-in" ] && break; sleep 0.1; done
    expected="${data_home:-$tmp/home/.local/share}/tallowbrecken-watchdog"
    [ "$(cat "$tmp/ran-in" 2>/dev/null)" = "$expected" ] ||
        fail "the desktop entry ran the program in \"$(cat "$tmp/ran-in" 2>/dev/null)\", not \"$expected\""
done

quiet "${dpkg[@]}" --purge "$package"
[ -z "$(status)" ] || [ "$(status)" = not-installed ] || fail "still known after removal: $(status)"
left="$(find "$root" ! -type d)"
[ -z "$left" ] || fail "left after removal: $left"
echo "$(basename "$deb"): contents, control data, install and removal as expected"
