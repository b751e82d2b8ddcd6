#!/usr/bin/env bash
# The English README and its Chinese user's guide must say the same: their
# tables keyed by names (switches, exit codes, files) list the same keys in
# the same order. A table is keyed so when each row's first cell is a `code`
# span or a number; the others (faults) are prose in each language.
# Usage: tests/readme-tables.sh [REPOSITORY]
set -euo pipefail
root="${1:-$(cd "$(dirname "$0")/.." && pwd)}"

# Each keyed table's first cells, a table to a line.
keys() {
    awk -F'|' '
        /^\|/ {
            cell = $2; gsub(/^ +| +$/, "", cell)
            if (++row <= 2) next                      # the header and its rule
            if (cell !~ /^(`[^`]+`|[0-9]+)$/) keyed = 0
            line = line " " cell
            next
        }
        { if (row > 2 && keyed) print substr(line, 2); row = 0; keyed = 1; line = "" }
        BEGIN { keyed = 1 }
        END { if (row > 2 && keyed) print substr(line, 2) }
    ' "$1"
}

english="$(keys "$root/README.md")"
chinese="$(keys "$root/README.zh-CN.md")"
# Switches, exit codes and files: three tables at least, or the parse broke.
if [ "$(wc -l <<<"$english")" -lt 3 ]; then
    echo "README.md: expected the tables of switches, exit codes and files, found:" >&2
    echo "$english" >&2
    exit 1
fi
if [ "$english" != "$chinese" ]; then
    echo "README.md and README.zh-CN.md list different switches, exit codes or files:" >&2
    diff <(echo "$english") <(echo "$chinese") >&2 || true
    exit 1
fi
echo "README.md and README.zh-CN.md: the same switches, exit codes and files"
