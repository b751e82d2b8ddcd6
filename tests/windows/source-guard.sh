#!/usr/bin/env bash
# The Qt source lookup on a machine whose apt has no deb-src entries, as a new
# user's has: tools/fetch-qt-source.sh under a private apt configuration (the
# machine's deb entries only, its own lists and cache) and an empty cache must
# add the source entries there, fetch the source, and leave /etc/apt alone.
# Needs root (apt-get update) and the network to Debian's mirrors; under a
# minute. Exit 77 means skipped.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
if [ "$(id -u)" != 0 ]; then
    echo "SKIP: the source lookup guard needs root (apt-get update)"
    exit 77
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/parts" "$work/lists/partial" "$work/cache/archives/partial" "$work/xdg"

# The machine's deb entries, without any deb-src ones.
for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         match($0, /Types:[^\n]*/) && substr($0, RSTART, RLENGTH) ~ /[ \t]deb([ \t]|$)/ {
             sub(/Types:[^\n]*/, "Types: deb"); print }' "$f" >"$work/parts/${f##*/}"
done
grep -s '^deb ' /etc/apt/sources.list >"$work/sources.list" || true
cat >"$work/apt.conf" <<EOF
Dir::Etc::sourcelist "$work/sources.list";
Dir::Etc::sourceparts "$work/parts";
Dir::State::lists "$work/lists";
Dir::Cache "$work/cache";
APT::Sandbox::User "root";
EOF
export APT_CONFIG="$work/apt.conf" XDG_CACHE_HOME="$work/xdg"
# A mirror in the middle of a sync may fail one index; the checks below decide.
apt-get update -q >/dev/null || echo "apt-get update reported errors: going on with the lists it fetched"

if apt-get source --print-uris qtbase-opensource-src >/dev/null 2>&1; then
    echo "FAIL: the private configuration has source entries already"
    exit 1
fi
before="$(ls -l --time-style=+%s /etc/apt/sources.list.d)"
status=0
dsc="$("$root/tools/fetch-qt-source.sh" 2>"$work/stderr" | tail -n 1)" || status=$?
failed=0
check() {
    local what="$1"
    shift
    if "$@"; then echo "PASS: $what"; else echo "FAIL: $what"; failed=$((failed + 1)); fi
}
check "the lookup succeeds without source entries" [ "$status" = 0 ]
[ "$status" = 0 ] || cat "$work/stderr" >&2
check "it adds deb-src entries of its own" grep -qs '^Types: deb-src' "$work/parts/tallowbrecken-watchdog-src.sources"
check "it fetches the source package" [ -f "$dsc" ]
check "the source lies in the cache" [ "${dsc#"$XDG_CACHE_HOME"/}" != "$dsc" ]
check "the machine's own apt sources are untouched" [ "$before" = "$(ls -l --time-style=+%s /etc/apt/sources.list.d)" ]
[ "$failed" = 0 ] || { echo "Qt source lookup: $failed checks failed"; exit 1; }
echo "Qt source lookup without deb-src entries: all checks passed"
