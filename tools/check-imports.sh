#!/usr/bin/env bash
# Fails when a shipped executable imports a DLL that Windows itself does not provide (a mingw
# runtime DLL, for instance): the executables are deployed without anything beside them.
set -euo pipefail
allowed='^(kernel32|advapi32|user32|shell32|version|netapi32|msvcrt)\.dll$'
status=0
for exe in "$@"; do
  while read -r dll; do
    if ! echo "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$allowed"; then
      echo "$exe imports $dll" >&2
      status=1
    fi
  done < <(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
  headers=$(x86_64-w64-mingw32-objdump -p "$exe")
  [[ "$headers" == *"(Windows CUI)"* && "$headers" == *"(PE32+)"* ]] ||
    { echo "$exe is not an x86-64 console program" >&2; status=1; }
done
[ $status -eq 0 ] && echo "imports and subsystem as expected: $*"
exit $status
