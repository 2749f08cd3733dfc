#!/usr/bin/env bash
# Runs a Windows program under Wine, in a Wine prefix private to the build
# tree. The cross toolchains name this script as the emulator, so ctest runs
# every Windows test executable through it.
#
#   wine-run.sh PROGRAM.EXE [ARG...]   run it; exits with its exit code
#   wine-run.sh --init                 make the prefix (done on first use too)
#   wine-run.sh --kill                 end every Windows process of the prefix
#
# The prefix is $MOX_WINEPREFIX, else "wineprefix" in the build tree that
# holds the current directory (ctest runs each test inside the build tree).
# $MOX_WINE names the Wine loader to use; by default the first of "wine" and
# the 64-bit loader that runs on this host.
set -euo pipefail

die() {
  echo "wine-run.sh: $*" >&2
  exit 2
}

build_root() {
  local dir=$PWD
  while [[ $dir != / ]]; do
    if [[ -f $dir/CMakeCache.txt ]]; then
      echo "$dir"
      return 0
    fi
    dir=$(dirname "$dir")
  done
  return 1
}

prefix=${MOX_WINEPREFIX:-}
if [[ -z $prefix ]]; then
  root=$(build_root) || die "not inside a build tree; set MOX_WINEPREFIX"
  prefix=$root/wineprefix
fi
export WINEPREFIX=$prefix
export WINEDEBUG=${MOX_WINEDEBUG:--all}
# Nothing here uses .NET or HTML; without these overrides a fresh prefix
# would try to install Mono and Gecko.
export WINEDLLOVERRIDES="mscoree,mshtml="
# The programs under test show no window; keep Wine off any display.
unset DISPLAY WAYLAND_DISPLAY

# Debian's "wine" runs the 32-bit loader when it is installed, which fails on
# a host that cannot execute 32-bit x86 code; the 64-bit loader then still
# runs 64-bit programs.
wine=${MOX_WINE:-}
if [[ -z $wine ]]; then
  if command -v wine >/dev/null && wine --version >/dev/null 2>&1; then
    wine=wine
  else
    for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
      if [[ -n $candidate && -x $candidate ]] && "$candidate" --version >/dev/null 2>&1; then
        wine=$candidate
        export WINELOADER=$candidate
        if [[ -x /usr/lib/wine/wineserver64 ]]; then
          export WINESERVER=/usr/lib/wine/wineserver64
        fi
        break
      fi
    done
  fi
  [[ -n $wine ]] || die "no Wine loader runs on this host (install wine, wine32 and/or wine64)"
fi

ensure_prefix() {
  [[ -f $prefix/.mox-ready ]] && return 0
  mkdir -p "$(dirname "$prefix")"
  # Tests may start in parallel; one of them makes the prefix.
  exec 9>"$prefix.lock"
  flock 9
  if [[ ! -f $prefix/.mox-ready ]]; then
    rm -rf "$prefix" # left half-made by an interrupted run
    local log
    log=$(mktemp)
    if ! "$wine" wineboot -i >"$log" 2>&1; then
      cat "$log" >&2
      rm -f "$log"
      die "wineboot failed in $prefix"
    fi
    rm -f "$log"
    touch "$prefix/.mox-ready"
  fi
  flock -u 9
  exec 9>&-
}

case ${1:-} in
  "") die "usage: wine-run.sh PROGRAM.EXE [ARG...] | --init | --kill" ;;
  --init)
    ensure_prefix
    ;;
  --kill)
    if [[ -d $prefix ]]; then
      "${WINESERVER:-wineserver}" -k >/dev/null 2>&1 || true
    fi
    ;;
  *)
    ensure_prefix
    exec "$wine" "$@"
    ;;
esac
