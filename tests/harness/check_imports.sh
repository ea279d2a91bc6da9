#!/usr/bin/env bash
# Every Windows program and library we build must import nothing but system DLLs: no mingw
# runtime, no zlib1.dll. Usage: check_imports.sh BUILD-DIR
set -uo pipefail
build=$1
allowed='^(kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|uuid|comctl32|comdlg32|msvcrt|ws2_32|wsock32|wininet|iphlpapi|winmm|winspool\.drv|version|shlwapi|imm32|msimg32|dinput8|ddraw|dxguid|htmlhelp|hhctrl\.ocx|crypt32|rpcrt4|urlmon|mpr|netapi32|setupapi|icmp|dnsapi|psapi|secur32|bcrypt|ntdll|userenv|gdiplus|olepro32|oledlg)\.(dll|drv|ocx)?$'
bad=0
count=0
while IFS= read -r -d '' file; do
  count=$((count + 1))
  while read -r dll; do
    lower=$(tr 'A-Z' 'a-z' <<<"$dll")
    if ! grep -Eq "$allowed" <<<"$lower"; then
      echo "$file imports $dll"
      bad=1
    fi
  done < <(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p')
done < <(find "$build" \( -name wine -o -name CMakeFiles -o -name googletest \) -prune -o \
           -type f \( -name '*.exe' -o -name '*.dll' \) -print0)
echo "checked $count files"
[ "$count" -gt 0 ] && [ "$bad" -eq 0 ]
