#!/usr/bin/env bash
# Checks Windows executables for what they need from the system at load time:
# the import table must name only DLLs that every Windows installation has
# (no MinGW runtime such as libstdc++-6.dll, libgcc_s_dw2-1.dll or
# libwinpthread-1.dll), and the subsystem must be the expected one.
#
#   check-imports.sh OBJDUMP EXE console|windows [EXE console|windows ...]
set -euo pipefail

# Windows' own DLLs, as the import table spells them (compared without case).
system_dlls=" kernel32.dll user32.dll gdi32.dll shell32.dll advapi32.dll msvcrt.dll ole32.dll ntdll.dll shlwapi.dll "

objdump=$1
shift
(($# >= 2 && $# % 2 == 0)) || {
  echo "usage: $0 OBJDUMP EXE console|windows [EXE console|windows ...]" >&2
  exit 2
}

failed=0
while (($#)); do
  exe=$1 subsystem=$2
  shift 2
  headers=$("$objdump" -p "$exe")
  mapfile -t dlls < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
  if ((${#dlls[@]} == 0)); then
    echo "FAIL $exe: no import table found" >&2
    failed=1
  fi
  for dll in "${dlls[@]}"; do
    if [[ $system_dlls != *" ${dll,,} "* ]]; then
      echo "FAIL $exe imports $dll, which is not part of Windows" >&2
      failed=1
    fi
  done
  case $subsystem in
    console) want="(Windows CUI)" ;;
    windows) want="(Windows GUI)" ;;
    *)
      echo "unknown subsystem '$subsystem'" >&2
      exit 2
      ;;
  esac
  got=$(sed -n 's/^Subsystem[[:space:]]*[0-9a-fA-F]*[[:space:]]*//p' <<<"$headers")
  if [[ $got != "$want" ]]; then
    echo "FAIL $exe: subsystem $got, expected $want" >&2
    failed=1
  fi
  echo "$(basename "$exe"): ${dlls[*]} $got"
done
exit $failed
