#!/usr/bin/env bash
# Builds the Windows programs with the "win32" preset (32-bit, MinGW-w64) and
# runs the Windows tests under Wine: the shared logic's unit tests, the Win32
# platform layer, moxctrl.exe with moxpeer.exe in temporary installations,
# and the import tables. Needs g++-mingw-w64-i686, wine and wine32 (with the
# i386 architecture added), and Debian's googletest sources.
#
# Wine runs a 32-bit program natively, so the host must be able to execute
# 32-bit x86 code. Some virtual machines cannot (their kernel offers no
# 32-bit compatibility mode: even Debian's 32-bit Wine loader fails with
# "Exec format error"). There the 32-bit programs are still built and their
# import tables checked, and the Wine tests run on the "win64" preset's build
# of the same sources under the 64-bit Wine loader instead; that needs
# g++-mingw-w64-x86-64 and wine64 too. The script says which it did.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
jobs=$(nproc)

# Debian's 32-bit Wine loader is itself a 32-bit program; elsewhere, trust
# that "wine" runs what it is given.
host_runs_32bit() {
  if [[ -e /usr/lib/wine/wine ]]; then
    /usr/lib/wine/wine --version >/dev/null 2>&1
  else
    wine --version >/dev/null 2>&1
  fi
}

# End whatever a failed test left running in the prefixes, and their servers.
cleanup() {
  local preset
  for preset in win32 win64; do
    if [[ -d $root/build-$preset/wineprefix ]]; then
      MOX_WINEPREFIX=$root/build-$preset/wineprefix "$root/tests/win32/wine-run.sh" --kill || true
    fi
  done
}
trap cleanup EXIT

echo "== Windows build, 32-bit (preset win32)"
cmake --preset win32
cmake --build --preset win32 -j"$jobs"

if host_runs_32bit; then
  echo "== Windows tests under Wine, 32-bit"
  ctest --preset win32 -j"$jobs"
  exit 0
fi

echo "== This host cannot execute 32-bit x86 code, so Wine cannot run the 32-bit build."
echo "== Checking the 32-bit executables here, and running the Wine tests on the"
echo "== 64-bit build of the same sources (preset win64)."
ctest --preset win32 -L host

missing=()
command -v x86_64-w64-mingw32-g++ >/dev/null || missing+=(g++-mingw-w64-x86-64)
[[ -x /usr/lib/wine/wine64 ]] || command -v wine64 >/dev/null || missing+=(wine64)
if ((${#missing[@]})); then
  echo "run-wine-tests.sh: the 64-bit fallback needs: ${missing[*]}" >&2
  exit 1
fi

echo "== Windows build, 64-bit (preset win64)"
cmake --preset win64
cmake --build --preset win64 -j"$jobs"
echo "== Windows tests under Wine, 64-bit"
ctest --preset win64 -j"$jobs"
