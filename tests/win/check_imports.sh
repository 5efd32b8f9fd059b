#!/usr/bin/env bash
# Checks that a Windows executable needs nothing but DLLs that every Windows
# 10 and 11 has: the C++ runtime, libgcc and winpthread are linked in.
# Usage: check_imports.sh PROGRAM.exe
set -euo pipefail
system='^(kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|msvcrt|ucrtbase|api-ms-win-.*|bcrypt|crypt32|winhttp|normaliz|ws2_32|shlwapi|comctl32|dwmapi|uxtheme|winmm|version)\.dll$'
mapfile -t dlls < <(x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ ${#dlls[@]} -gt 0 ] || { echo "keine Importe gelesen: $1" >&2; exit 1; }
status=0
for dll in "${dlls[@]}"; do
  if ! echo "${dll,,}" | grep -Eq "$system"; then
    echo "nicht auf jedem Windows vorhanden: $dll" >&2
    status=1
  fi
done
echo "Importe: ${dlls[*]}"
exit $status
