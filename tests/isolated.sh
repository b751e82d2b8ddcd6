#!/bin/sh
# Runs a command in a process-id namespace of its own, with its own /proc,
# where this machine allows one (as root); otherwise as it is, and says so.
#   tests/isolated.sh COMMAND [ARGS...]
# Wine's server sends SIGKILL, by process id, to each of its processes as it
# ends. On a busy machine that can come after the id was freed and taken
# again: by a compiler, or by another test's process, which dies of it (traced
# with the signal_generate event). Another namespace's ids are out of its
# reach, and ids in a new namespace start at 1, so they are not taken again
# before some 32,000 processes. Everything in it ends with the command.
# Scripts that start Wine run themselves through this once (WATCHDOG_ISOLATED).
export WATCHDOG_ISOLATED=1
if [ "$(id -u)" = 0 ] && unshare --pid --fork --mount-proc --kill-child true 2>/dev/null; then
    exec unshare --pid --fork --mount-proc --kill-child -- "$@"
fi
echo "tests/isolated.sh: no process-id namespace here (it takes root): Wine's server may end processes elsewhere on this machine" >&2
exec "$@"
