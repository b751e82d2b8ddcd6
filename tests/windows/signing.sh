#!/usr/bin/env bash
# Signing, with a throwaway self-signed certificate made here. A wrong password
# stops tools/build-windows.sh before it builds, with a clear message and a
# non-zero code, and dist/ is left alone. The stage's build is packed again
# with the certificate into a folder of its own (dist/ stays unsigned), and
# osslsigncode verifies each signed file: the installer, the helper packed
# into it, watchdog.exe in the ZIP, and, installed under Wine, the uninstaller
# the installer carries and the installed watchdog.exe. The unsigned
# installer of dist/ doesn't verify.
# Usage: tests/windows/signing.sh x86_64|i686, after tools/build-windows.sh ARCH. About 1 min.
set -euo pipefail
arch="${1:-}"
case "$arch" in
    x86_64 | i686) ;;
    *) echo "usage: $0 x86_64|i686" >&2; exit 2 ;;
esac
root="$(cd "$(dirname "$0")/../.." && pwd)"
. "$root/tests/windows/wine.sh"
wine_isolate "$@"
build="$root/build-windows-$arch"
[ -f "$build/CPackConfig.cmake" ] || { say "$build is missing: run tests/windows/run.sh $arch"; exit 1; }
wine_prefix
mkdir -p "$root/build-wine"
work="$(mktemp -d "$root/build-wine/signing-$arch.XXXXXX")"
folder_w='C:\signed-test'
folder="$WINEPREFIX/drive_c/signed-test"
wine_session "$work" "$folder"

failures=0
fail() {
    say "FAIL: $*"
    failures=$((failures + 1))
}
verify() {
    if ! osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$work/verify.log" 2>&1; then
        cat "$work/verify.log" >&2
        fail "$2 does not verify"
    fi
}

# A password with a space and quotes: it must pass through no command line.
printf '%s\n' "throwaway pass 'word\" \$HOME" >"$work/password"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
    -subj "/CN=Tallowbrecken throwaway test signing" \
    -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/cert.p12" \
    -passout "file:$work/password"
export WATCHDOG_SIGN_PKCS12="$work/cert.p12"

say "A wrong password"
sums_before="$(cat "$root/dist/SHA256SUMS")"
status=0
WATCHDOG_SIGN_PASSWORD=wrong "$root/tools/build-windows.sh" "$arch" >"$work/wrong.log" 2>&1 || status=$?
[ "$status" -ne 0 ] || fail "a wrong password did not fail the build"
grep -q "does not open with the password" "$work/wrong.log" || { cat "$work/wrong.log" >&2; fail "no clear message for a wrong password"; }
! grep -q "^== Building" "$work/wrong.log" || fail "the build went on with a wrong password"
[ "$(cat "$root/dist/SHA256SUMS")" = "$sums_before" ] || fail "a build with a wrong password changed dist/"

say "Packing the $arch build again, signed"
if ! (cd "$build" && WATCHDOG_SIGN_PASSWORD_FILE="$work/password" cpack -B "$work/out") >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    tail -n 30 "$work"/out/_CPack_Packages/*/NSIS/NSISOutput.log >&2 2>/dev/null || true
    fail "the signed packing failed"
    exit 1
fi
setup="$(ls "$work"/out/*-windows-"$arch"-setup.exe)"
verify "$setup" "the installer"
verify "$(ls "$work"/out/_CPack_Packages/*/NSIS/helper/setuphelper.exe)" "the installer's helper"
mkdir "$work/zip"
(cd "$work/zip" && cmake -E tar xf "$work"/out/*-windows-"$arch".zip)
verify "$(ls "$work"/zip/*/watchdog.exe)" "watchdog.exe in the ZIP"
if osslsigncode verify -CAfile "$work/cert.pem" -in "$(ls "$root"/dist/*-windows-"$arch"-setup.exe)" >/dev/null 2>&1; then
    fail "dist/'s unsigned installer verifies: the check proves nothing"
fi

say "Installing the signed installer under Wine"
status=0
"$wine" "$(windows_path "$setup")" /S "/D=$folder_w" || status=$?
[ "$status" -eq 0 ] || fail "the signed installer exited with $status"
verify "$folder/Uninstall.exe" "the uninstaller the installer wrote"
verify "$folder/watchdog.exe" "the installed watchdog.exe"
status=0
"$wine" "$folder_w\\Uninstall.exe" /S "_?=$folder_w" || status=$?
[ "$status" -eq 0 ] || fail "the signed uninstaller exited with $status"

[ "$failures" -eq 0 ] || exit 1
echo "Signed with a throwaway certificate: the installer, its helper, the uninstaller it writes and watchdog.exe verify; a wrong password stops the build"
