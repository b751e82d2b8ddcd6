#!/usr/bin/env bash
# Builds watchdog.exe for Windows from this tree with MinGW-w64 and a Qt built
# for Windows (made once and cached by tools/build-qt-windows.sh), then fills
#   dist/windows-ARCH/                                         the program and all it needs
#   dist/tallowbrecken-watchdog-VERSION-windows-ARCH.zip       that folder
#   dist/tallowbrecken-watchdog-VERSION-windows-ARCH-setup.exe an installer
#   dist/SHA256SUMS                                            the sums of the ZIPs and installers
#   dist/winget/manifests/...                                  winget's manifests of the installers in dist/
# Signed when a code-signing certificate is given: WATCHDOG_SIGN_PKCS12 and its
# password (tools/sign.sh says how), watchdog.exe, the installer's helper, the
# uninstaller and the installer; their detached signatures go into
#   dist/signatures-ARCH/                                      published with the release
# With WATCHDOG_SIGNATURES, such a folder, an unsigned rebuild attaches them instead.
# Usage: tools/build-windows.sh i686|x86_64 [more cmake options]
# (tests/windows/run.sh adds the Windows tests to the same build that way.)
set -euo pipefail
trap 'echo "tools/build-windows.sh: failed at line $LINENO: $BASH_COMMAND" >&2' ERR
arch="${1:-}"
case "$arch" in
    i686) mingw=g++-mingw-w64-i686 ;;
    x86_64) mingw=g++-mingw-w64-x86-64 ;;
    *) echo "usage: $0 i686|x86_64 [cmake options]" >&2; exit 2 ;;
esac
shift
# The certificate's files as named from the caller's folder: cpack and makensis run elsewhere.
for var in WATCHDOG_SIGN_PKCS12 WATCHDOG_SIGN_PASSWORD_FILE WATCHDOG_SIGNATURES WATCHDOG_SIGN_CAFILE; do
    [ -z "${!var:-}" ] || export "$var=$(realpath -m -- "${!var}")"
done
cd "$(dirname "$0")/.."
root=$PWD
# The cross compiler, NSIS for the installer, dpkg-dev for Debian's Qt source,
# and Python for the winget manifests.
WATCHDOG_EXTRA_PACKAGES="$mingw nsis dpkg-dev python3 ${WATCHDOG_EXTRA_PACKAGES:-}"
signing=""
[ -z "${WATCHDOG_SIGN_PKCS12:-}${WATCHDOG_SIGNATURES:-}" ] || signing=yes
[ -z "$signing" ] || WATCHDOG_EXTRA_PACKAGES="$WATCHDOG_EXTRA_PACKAGES osslsigncode openssl"
. tools/setup.sh

# A wrong password fails here, before the build, and not after it.
if [ -n "${WATCHDOG_SIGNATURES:-}" ]; then
    if [ -n "${WATCHDOG_SIGN_PKCS12:-}" ]; then
        echo "tools/build-windows.sh: give WATCHDOG_SIGN_PKCS12 or WATCHDOG_SIGNATURES, not both" >&2
        exit 2
    fi
    tools/sign.sh --check
    echo "== Attaching the signatures in $WATCHDOG_SIGNATURES"
elif [ -n "$signing" ]; then
    if ! tools/sign.sh --check; then
        echo "tools/build-windows.sh: the code-signing certificate can't be used: nothing was built" >&2
        exit 1
    fi
    echo "== Signing with $WATCHDOG_SIGN_PKCS12${WATCHDOG_SIGN_TIMESTAMP_URL:+, time-stamped by $WATCHDOG_SIGN_TIMESTAMP_URL}"
    export WATCHDOG_SIGNATURES_OUT="$root/dist/signatures-$arch"
else
    echo "== No code-signing certificate (WATCHDOG_SIGN_PKCS12 is not set): the Windows files are not signed"
fi

# The same commit gives the same bytes (tools/check-reproducible.sh): every
# date is the last commit's (the linker's and strip's PE time stamps, the
# files in the ZIP and the installer), and the ZIP's DOS dates, which are
# local time, are UTC's.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    if SOURCE_DATE_EPOCH="$(git -C "$root" log -1 --format=%ct 2>/dev/null)"; then
        export SOURCE_DATE_EPOCH
    else
        unset SOURCE_DATE_EPOCH
        echo "Not a git checkout: the build carries today's dates. Set SOURCE_DATE_EPOCH to rebuild a release." >&2
    fi
fi
export TZ=UTC

qt="$(tools/build-qt-windows.sh "$arch" | tail -n 1)"
build="build-windows-$arch"
echo "== Building watchdog.exe for $arch with the Qt in $qt"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/tests/windows/mingw.cmake" \
    -DMINGW_ARCH="$arch" -DWATCHDOG_WINDOWS_QT="$qt" -DWATCHDOG_QT_MAJOR=5 \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DWATCHDOG_BENCH=OFF "$@"
cmake --build "$build" --parallel "$(nproc)"

echo "== Filling dist/windows-$arch and packing it"
rm -rf "dist/windows-$arch"
cmake --install "$build" --prefix "dist/windows-$arch" --strip
if ! tools/check-dist.sh "$arch" "dist/windows-$arch"; then
    echo "dist/windows-$arch lacks what watchdog.exe needs: not packed" >&2
    exit 1
fi
# Those of an earlier signed build would not be this build's.
[ -n "${WATCHDOG_SIGNATURES:-}" ] || rm -rf "dist/signatures-$arch"
# The same signature as the packages' copies get (cpack-sign.cmake): the same time, the same bytes.
[ -z "$signing" ] || tools/sign.sh "dist/windows-$arch/watchdog.exe"
(cd "$build" && cpack -B "$root/dist" >/dev/null)
rm -rf dist/_CPack_Packages
# Of every installer in dist/, so that the set covers both architectures once both are built.
/usr/bin/python3 tools/winget-manifests.py dist "$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
ls -l dist/*-windows-"$arch"*
cat dist/SHA256SUMS
