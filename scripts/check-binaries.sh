#!/bin/bash
# Shows what the shipped programs are and checks that every .exe needs only
# system DLLs (static runtime: no MinGW DLL).
set -euo pipefail
cd "$(dirname "$0")/.."
allowed='^(kernel32|user32|gdi32|comctl32|comdlg32|advapi32|setupapi|winmm|msvcrt|shell32|ole32|oleaut32|version|newdev|ntdll|ntoskrnl\.exe|hal\.dll|api-ms-win-.*)(\.dll)?$'
status=0
for cfg in win32 win64; do
  while IFS= read -r exe; do
    printf '%s: %s\n' "$exe" "$(file -b "$exe" | cut -d, -f1-2)"
    objdump=$([ "$cfg" = win32 ] && echo i686-w64-mingw32-objdump || echo x86_64-w64-mingw32-objdump)
    while IFS= read -r dll; do
      if ! echo "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$allowed"; then
        echo "  needs non-system DLL: $dll"; status=1
      fi
    done < <($objdump -p "$exe" | awk '/DLL Name:/ {print $3}')
  done < <(find "build/$cfg" -name '*.exe' -not -path '*/CMakeFiles/*' | sort)
done
exit $status
