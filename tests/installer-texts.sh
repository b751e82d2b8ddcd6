#!/usr/bin/env bash
# Every text the installer and the uninstaller show is ours in both
# languages: each LangString of packaging/installer-texts.nsh is given in
# English and in Simplified Chinese, and packaging/installer.nsi shows no
# words of its own, only $(...) texts, names and paths. (makensis fails on a
# LangString missing in one language too, but only where the Windows build runs.)
# Usage: tests/installer-texts.sh [REPOSITORY]
set -euo pipefail
root="${1:-$(cd "$(dirname "$0")/.." && pwd)}"
texts="$root/packaging/installer-texts.nsh"
script="$root/packaging/installer.nsi"
failed=0

# The names given in one language and not the other.
missing="$(sed -n 's/^LangString \([^ ]*\) \${LANG_\([A-Z]*\)} .*/\1 \2/p' "$texts" | sort -u |
    awk '{ langs[$1] = langs[$1] " " $2 }
         END { for (n in langs) if (langs[n] != " ENGLISH SIMPCHINESE") print n ":" langs[n] }')"
if ! grep -q '^LangString' "$texts"; then
    echo "$texts holds no LangString" >&2
    failed=1
elif [ -n "$missing" ]; then
    echo "LangStrings not in both English and Simplified Chinese (name: languages given):" >&2
    echo "$missing" >&2
    failed=1
fi

# Lines that show text: a quoted argument left with words once the $(...)
# texts, ${...} names, variables and escapes are taken out.
shown='^\s*(MessageBox|Abort|DetailPrint|!insertmacro MUI_HEADER_TEXT|\$\{NSD_Create[A-Za-z]*\}|Caption|SubCaption|BrandingText)\b'
# Continued lines are joined first.
literal="$(sed -e ':a' -e '/\\$/N; s/\\\n//; ta' "$script" | grep -E "$shown" | while IFS= read -r line; do
    rest="$(grep -oE '"[^"]*"' <<<"$line" | sed -E 's/\$\([^)]*\)//g; s/\$\{[^}]*\}//g; s/\$\\.//g; s/\$[A-Za-z_][A-Za-z0-9_]*//g')"
    if grep -qE '[A-Za-z]{2,}' <<<"$rest"; then echo "$line"; fi
done)"
if [ -n "$literal" ]; then
    echo "$script shows words that are not LangStrings:" >&2
    echo "$literal" >&2
    failed=1
fi
[ "$failed" = 0 ] && echo "installer texts: all in English and Simplified Chinese"
exit "$failed"
