#!/usr/bin/env bash
# Fails when FOLDER lacks a DLL that watchdog.exe or its Qt plugins load,
# directly or through another DLL, other than Windows' own: Windows looks for
# them beside watchdog.exe, and a copy found elsewhere on a build machine hides the gap.
# Usage: tools/check-dist.sh i686|x86_64 FOLDER (tools/build-windows.sh runs it on dist/windows-ARCH)
set -euo pipefail
arch="${1:-}" folder="${2:-}"
case "$arch" in
    i686 | x86_64) ;;
    *) echo "usage: $0 i686|x86_64 FOLDER" >&2; exit 2 ;;
esac
[ -d "$folder" ] || { echo "$0: no folder $folder" >&2; exit 2; }
objdump="$arch-w64-mingw32-objdump"

# Windows' own DLLs that these files load, in lower case. One the program
# comes to need that is missing here fails the check: it goes beside
# watchdog.exe, or here if every Windows carries it.
declare -A windows_own
for dll in advapi32 d3d11 dwmapi dxgi gdi32 imm32 kernel32 mpr msvcrt netapi32 ole32 oleaut32 \
    shell32 user32 userenv uxtheme version winmm ws2_32 wtsapi32; do
    windows_own["$dll.dll"]=1
done

# The folder's DLLs by their lower-case names: Windows ignores case.
declare -A beside
for file in "$folder"/*; do
    [ -f "$file" ] || continue
    name="${file##*/}"
    beside["${name,,}"]="$file"
done

missing=0
declare -A done_files
queue=(watchdog.exe platforms/qwindows.dll styles/qwindowsvistastyle.dll)
for file in "${queue[@]}"; do
    [ -f "$folder/$file" ] && continue
    echo "$folder lacks $file" >&2
    missing=1
done
queue=("${queue[@]/#/$folder/}")
while [ ${#queue[@]} -gt 0 ]; do
    file="${queue[0]}"
    queue=("${queue[@]:1}")
    [ -f "$file" ] && [ -z "${done_files[$file]:-}" ] || continue
    done_files["$file"]=1
    imports="$("$objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr -d '\r')" ||
        { echo "$objdump could not read $file" >&2; exit 1; }
    for dll in $imports; do
        lower="${dll,,}"
        if [ -n "${beside[$lower]:-}" ]; then
            queue+=("${beside[$lower]}")
        elif [[ "$lower" != api-ms-win-* && "$lower" != ext-ms-* && -z "${windows_own[$lower]:-}" ]]; then
            echo "$folder lacks $dll, which ${file#"$folder"/} needs" >&2
            missing=1
        fi
    done
done
exit "$missing"
