#!/usr/bin/env bash
# Builds the watchdog and starts it in demo/, watching a stand-in program
# called Quillbarrow.exe. Stop it with Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")"
. tools/setup.sh

cmake -S . -B build -DBUILD_TESTING=ON
cmake --build build --parallel "$(nproc)" --target watchdog standin

mkdir -p demo/bin
cp build/tests/standin demo/bin/Quillbarrow.exe
if [ ! -e demo/sys.ini ]; then
    printf '[General]\nVORTELIN_PATH=%s\n' "$PWD/demo/bin/Quillbarrow.exe" > demo/sys.ini
fi
# The watched program is started by its bare name, so it must be found on PATH.
export PATH="$PWD/demo/bin:$PATH"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display found: using Qt's offscreen platform, so the window is not seen."
    export QT_QPA_PLATFORM=offscreen
fi

cd demo
echo "Watching as configured in $PWD/sys.ini; restarts are logged in $PWD/restart_vortelin_recored.txt"
echo "Press Ctrl+C to stop."
exec ../build/tallowbrecken-watchdog
