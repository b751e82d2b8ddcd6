# shellcheck shell=bash
# Sourced by the Windows stage's scripts: Wine in a private prefix, a private
# X display, and polling with a deadline. Needs $root, the repository.

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
[ -x "$wine" ] || wine="$(command -v wine64 || command -v wine)"
[ -x "$wineserver" ] || wineserver="$(command -v wineserver64 || command -v wineserver)"

# One 64-bit prefix for both targets: with wine32 it runs 32-bit programs too.
export WINEPREFIX="$root/build-wine/prefix"
export WINEDEBUG=-all
# No wine-mono or Gecko: their install prompts would wait for ever. No menu
# builder: it writes desktop entries into the user's home.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
# The programs of dist/ and of the installer must find their DLLs beside
# themselves: a WINEPATH naming Qt's would hide one missing there. (The suites
# set their own, through CTest.)
unset WINEPATH
# Nothing reaches the user's own display or session.
unset DISPLAY WAYLAND_DISPLAY XAUTHORITY

say() { echo "$*" >&2; }

# Called with the script's arguments before it starts Wine: the script again,
# in a process-id namespace of its own (tests/isolated.sh), unless it is in one.
wine_isolate() { [ -n "${WATCHDOG_ISOLATED:-}" ] || exec "$root/tests/isolated.sh" "$0" "$@"; }

# Runs "$@" every 0.1 s until it succeeds; fails after $1 seconds.
wait_until() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

# The prefix is a copy of one made once per Wine version and kept outside the
# repository, so that a fresh clone doesn't make it again: where 32-bit
# programs run under emulation that takes minutes. A copy made from one
# without a 32-bit half (made where 32-bit programs could not run) is made
# again from one with it, once they can.
. "$root/tools/i386-emulation.sh"
export QEMU_RESERVED_VA="$i386_reserved_va"
wine_prefix() {
    local half=without-32-bit
    [ "$(i386_mode)" = none ] || half=with-32-bit
    if [ -e "$WINEPREFIX/.complete" ]; then
        [ "$(cat "$WINEPREFIX/.complete")" = without-32-bit ] && [ "$half" = with-32-bit ] || return 0
    fi
    local cache="${XDG_CACHE_HOME:-$HOME/.cache}/tallowbrecken-watchdog/wine"
    local template
    template="$cache/prefix-$("$wine" --version | tr -c 'A-Za-z0-9.\n-' _)-$half"
    mkdir -p "$cache"
    (
        flock 9
        [ -e "$template/.complete" ] && exit 0
        case "$half" in
            with-32-bit) say "== Making the Wine prefix $template (about 20 s; 5 min where 32-bit programs run under qemu)" ;;
            *) say "== Making the Wine prefix $template (about 20 s)" ;;
        esac
        local start=$SECONDS log="$cache/wineboot.log"
        rm -rf "$template"
        mkdir -p "$template"
        if ! WINEPREFIX="$template" "$wine" wineboot --init </dev/null >"$log" 2>&1 ||
            ! WINEPREFIX="$template" "$wineserver" -w; then
            cat "$log" >&2
            say "Making the Wine prefix failed; its log is $log"
            exit 1
        fi
        echo "$half" >"$template/.complete"
        say "== Wine prefix made in $((SECONDS - start)) s"
    ) 9>"$cache/prefix.lock" || return 1
    say "== Copying the Wine prefix to $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    mkdir -p "${WINEPREFIX%/*}"
    cp -a --reflink=auto "$template" "$WINEPREFIX"
}

# Ends every process of the prefix, and its server. Processes whose server
# crashed are out of its reach: they are found by the prefix they carry.
wine_stop() {
    "$wineserver" -k >/dev/null 2>&1 || true
    "$wineserver" -w >/dev/null 2>&1 || true
    local pid
    for pid in $(grep -lsxF "WINEPREFIX=$WINEPREFIX" -z /proc/[0-9]*/environ | cut -d/ -f3); do
        case "$(readlink "/proc/$pid/exe")" in
            /usr/lib/wine/* | */wine*-preloader | */wineserver* | */qemu-i386-static) kill -9 "$pid" 2>/dev/null || true ;;
        esac
    done
}

# A Windows path for a Unix one (Wine maps / to Z:).
windows_path() {
    local path
    path="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
    printf 'Z:%s' "${path//\//\\}"
}

# An X server of our own on a free display, reachable only through a cookie
# in $1 (a folder the caller removes). Sets DISPLAY and XAUTHORITY, and
# xvfb_pid for xvfb_stop.
xvfb_pid=""
xvfb_start() {
    local dir="$1" n
    export XAUTHORITY="$dir/Xauthority"
    for n in $(seq 90 189); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        : >"$XAUTHORITY"
        xauth -q -f "$XAUTHORITY" add ":$n" . "$(mcookie)"
        Xvfb ":$n" -nolisten tcp -auth "$XAUTHORITY" -screen 0 1280x1024x24 >"$dir/Xvfb.log" 2>&1 &
        xvfb_pid=$!
        export DISPLAY=":$n"
        # Taken by another server in the meantime: it exits, and the next is tried.
        if wait_until 10 xdotool getdisplaygeometry && kill -0 "$xvfb_pid" 2>/dev/null; then
            return 0
        fi
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
        xvfb_pid=""
    done
    say "No free X display found between :90 and :189"
    return 1
}

xvfb_stop() {
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
        xvfb_pid=""
    fi
}

# For a script that runs the program on a display: no Wine process of the
# prefix left from before, an X server in the folder $1, and on exit both
# ended and the folders named ($1 and any more) removed.
wine_session() {
    session_folders=("$@")
    trap 'wine_stop; xvfb_stop; rm -rf "${session_folders[@]}"' EXIT
    trap 'exit 1' INT TERM
    wine_stop
    xvfb_start "$1"
}

# The shown X window whose whole title is $1 (as a regular expression's text), if any.
window_named() {
    local id
    for id in $(xdotool search --onlyvisible --name "$1" 2>/dev/null); do
        if [ "$(xdotool getwindowname "$id" 2>/dev/null)" = "$1" ]; then
            echo "$id"
            return 0
        fi
    done
    return 1
}

has_window() { window_named "$1" >/dev/null; }
no_window() { ! has_window "$1"; }

# Keys for the window named $1: Wine lets the focused window have them.
keys_to() {
    local id
    id="$(window_named "$1")" || return 1
    xdotool windowfocus --sync "$id" && sleep 0.3
    shift
    "$@"
}

# Runs a check, prints its result, and counts the failures in $failed.
failed=0
check() {
    local what="$1"
    shift
    if "$@"; then
        echo "PASS: $what"
    else
        echo "FAIL: $what"
        failed=$((failed + 1))
    fi
}
