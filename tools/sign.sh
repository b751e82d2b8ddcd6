#!/usr/bin/env bash
# Signs each Windows program named, in place, with an Authenticode SHA-256
# signature (osslsigncode), with the code-signing certificate that the
# environment names:
#   WATCHDOG_SIGN_PKCS12         the PKCS#12 file: the certificate, its chain and its key
#   WATCHDOG_SIGN_PASSWORD_FILE  a file that holds its password (first line), or
#   WATCHDOG_SIGN_PASSWORD       the password itself
#   WATCHDOG_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server (optional)
#   WATCHDOG_SIGNATURES_OUT      a folder for each file's detached signature (optional)
# The password reaches osslsigncode and openssl through a file (a private
# temporary one for WATCHDOG_SIGN_PASSWORD), never on a command line that a
# process list or a log shows. The signing time is SOURCE_DATE_EPOCH's where
# set, so that a signature is the same bytes again.
# With WATCHDOG_SIGNATURES instead, a folder of detached signatures that a
# signed build wrote, it attaches each file's own signature: an unsigned
# rebuild then gives the signed release's bytes, or fails on the first file
# that differs. WATCHDOG_SIGN_CAFILE names the certificate that the
# signatures' chain must lead to, where it is not in the system's list.
# A signature is named after the file, or after NAME for the file after --as.
# Usage: tools/sign.sh [--as NAME] FILE...
#        tools/sign.sh --check   only check that the certificate opens with the password
set -euo pipefail
fail() {
    echo "tools/sign.sh: $*" >&2
    exit 1
}
usage="usage: tools/sign.sh --check | [--as NAME] FILE..."
signatures="${WATCHDOG_SIGNATURES:-}"
if [ -n "$signatures" ]; then
    [ -d "$signatures" ] || fail "WATCHDOG_SIGNATURES: no folder $signatures"
    [ "${1:-}" != --check ] || exit 0
else
    p12="${WATCHDOG_SIGN_PKCS12:-}"
    [ -n "$p12" ] || fail "neither WATCHDOG_SIGN_PKCS12 nor WATCHDOG_SIGNATURES is set: nothing to sign with"
    [ -f "$p12" ] && [ -r "$p12" ] || fail "WATCHDOG_SIGN_PKCS12: no readable file $p12"
    if [ -n "${WATCHDOG_SIGN_PASSWORD_FILE:-}" ]; then
        [ -r "$WATCHDOG_SIGN_PASSWORD_FILE" ] || fail "WATCHDOG_SIGN_PASSWORD_FILE: no readable file $WATCHDOG_SIGN_PASSWORD_FILE"
    elif [ -z "${WATCHDOG_SIGN_PASSWORD+set}" ]; then
        fail "neither WATCHDOG_SIGN_PASSWORD_FILE nor WATCHDOG_SIGN_PASSWORD is set: the certificate's password is needed"
    fi
    password="${WATCHDOG_SIGN_PASSWORD_FILE:-}"
    if [ -z "$password" ]; then
        password="$(umask 077 && mktemp)"
        own_password="$password"
        trap 'rm -f "$own_password"' EXIT
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
    options=(-pkcs12 "$p12" -readpass "$password" -h sha256)
    [ -z "${SOURCE_DATE_EPOCH:-}" ] || options+=(-time "$SOURCE_DATE_EPOCH")
    [ -z "${WATCHDOG_SIGN_TIMESTAMP_URL:-}" ] || options+=(-ts "$WATCHDOG_SIGN_TIMESTAMP_URL")
fi
name=""
if [ "${1:-}" = --as ]; then
    [ $# -eq 3 ] || fail "$usage"
    name="$2"
    shift 2
fi
[ $# -gt 0 ] || fail "$usage"

log="$(mktemp)"
# The caller's password file stays; only our own copy of the password goes.
trap 'rm -f "$log" ${own_password:+"$own_password"}' EXIT
[ -n "${WATCHDOG_SIGNATURES_OUT:-}" ] && [ -z "$signatures" ] && mkdir -p "$WATCHDOG_SIGNATURES_OUT"
for file in "$@"; do
    signature="${name:-$(basename "$file")}.p7"
    if [ -n "$signatures" ]; then
        [ -f "$signatures/$signature" ] || fail "no signature $signatures/$signature for $file"
        command=(osslsigncode attach-signature -sigin "$signatures/$signature")
        [ -z "${WATCHDOG_SIGN_CAFILE:-}" ] || command+=(-CAfile "$WATCHDOG_SIGN_CAFILE")
        why="it is not the file that was signed, or the signature's chain leads to no certificate known here (WATCHDOG_SIGN_CAFILE)"
        verb="attach a signature to"
    else
        command=(osslsigncode sign "${options[@]}")
        why="a wrong password, or the time-stamp server?"
        verb=sign
    fi
    rm -f "$file.signed"
    if ! "${command[@]}" -in "$file" -out "$file.signed" >"$log" 2>&1; then
        tail -n 20 "$log" >&2
        rm -f "$file.signed"
        fail "could not $verb $file: $why"
    fi
    # Into the file itself, which keeps its mode whatever the umask.
    cat "$file.signed" >"$file"
    rm -f "$file.signed"
    if [ -n "$signatures" ]; then
        echo "Attached $signatures/$signature to $file"
        continue
    fi
    echo "Signed $file"
    if [ -n "${WATCHDOG_SIGNATURES_OUT:-}" ]; then
        rm -f "$WATCHDOG_SIGNATURES_OUT/$signature"
        osslsigncode extract-signature -in "$file" -out "$WATCHDOG_SIGNATURES_OUT/$signature" >"$log" 2>&1 ||
            { cat "$log" >&2; fail "could not write the detached signature of $file"; }
    fi
done
