#!/usr/bin/env bash
# Signs each Windows program named, in place, with an Authenticode SHA-256
# signature (osslsigncode), with the code-signing certificate that the
# environment names:
#   WATCHDOG_SIGN_PKCS12         the PKCS#12 file: the certificate, its chain and its key
#   WATCHDOG_SIGN_PASSWORD_FILE  a file that holds its password (first line), or
#   WATCHDOG_SIGN_PASSWORD       the password itself
#   WATCHDOG_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server (optional)
# The password reaches osslsigncode and openssl through a file (a private
# temporary one for WATCHDOG_SIGN_PASSWORD), never on a command line that a
# process list or a log shows. The signing time is
# SOURCE_DATE_EPOCH's where set, so that a signature is the same bytes again.
# Usage: tools/sign.sh FILE...   sign
#        tools/sign.sh --check   only check that the certificate opens with the password
set -euo pipefail
fail() {
    echo "tools/sign.sh: $*" >&2
    exit 1
}
p12="${WATCHDOG_SIGN_PKCS12:-}"
[ -n "$p12" ] || fail "WATCHDOG_SIGN_PKCS12 is not set: nothing to sign with"
[ -f "$p12" ] && [ -r "$p12" ] || fail "WATCHDOG_SIGN_PKCS12: no readable file $p12"
if [ -n "${WATCHDOG_SIGN_PASSWORD_FILE:-}" ]; then
    [ -r "$WATCHDOG_SIGN_PASSWORD_FILE" ] || fail "WATCHDOG_SIGN_PASSWORD_FILE: no readable file $WATCHDOG_SIGN_PASSWORD_FILE"
elif [ -z "${WATCHDOG_SIGN_PASSWORD+set}" ]; then
    fail "neither WATCHDOG_SIGN_PASSWORD_FILE nor WATCHDOG_SIGN_PASSWORD is set: the certificate's password is needed"
fi
password="${WATCHDOG_SIGN_PASSWORD_FILE:-}"
if [ -z "$password" ]; then
    password="$(umask 077 && mktemp)"
    trap 'rm -f "$password"' EXIT
    printf '%s\n' "$WATCHDOG_SIGN_PASSWORD" >"$password"
fi

if [ "${1:-}" = --check ]; then
    # PKCS#12 files from older tools use ciphers OpenSSL 3 keeps in its legacy provider.
    if ! openssl pkcs12 -in "$p12" -passin "file:$password" -noout 2>/dev/null &&
        ! openssl pkcs12 -legacy -in "$p12" -passin "file:$password" -noout 2>/dev/null; then
        fail "the certificate $p12 does not open with the password given (a wrong password, or not a PKCS#12 file)"
    fi
    exit 0
fi
[ $# -gt 0 ] || fail "usage: tools/sign.sh FILE... | --check"

options=(-pkcs12 "$p12" -readpass "$password" -h sha256)
[ -z "${SOURCE_DATE_EPOCH:-}" ] || options+=(-time "$SOURCE_DATE_EPOCH")
[ -z "${WATCHDOG_SIGN_TIMESTAMP_URL:-}" ] || options+=(-ts "$WATCHDOG_SIGN_TIMESTAMP_URL")
for file in "$@"; do
    log="$(mktemp)"
    if ! osslsigncode sign "${options[@]}" -in "$file" -out "$file.signed" >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log" "$file.signed"
        fail "could not sign $file (osslsigncode's words are above: a wrong password, or the time-stamp server?)"
    fi
    rm -f "$log"
    # Into the file itself, which keeps its mode whatever the umask.
    cat "$file.signed" >"$file"
    rm -f "$file.signed"
    echo "Signed $file"
done
