#!/usr/bin/env bash
# Runs a Windows program under Wine, in a Wine prefix private to the build
# tree. The cross toolchains name this script as the emulator, so ctest runs
# every Windows test executable through it.
#
#   wine-run.sh PROGRAM.EXE [ARG...]   run it, standard input empty; exits
#                                      with its exit code
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

server=${WINESERVER:-wineserver}

# Makes the prefix if needed and makes sure its Wine server runs. The server
# is started to stay 30 s after its last program has ended, so the prefix's
# services stay up between tests (a cold start costs seconds). Whoever starts
# it also brings those services up, with no inherited output: they live as
# long as the server, and would otherwise hold the caller's pipes open.
# Parallel callers take turns.
prepare() {
  mkdir -p "$(dirname "$prefix")"
  exec 9>"$prefix.lock"
  flock 9
  if [[ ! -f $prefix/.mox-ready ]]; then
    rm -rf "$prefix" # left half-made by an interrupted run
    mkdir -p "$prefix"
    "$server" -p30 </dev/null >/dev/null 2>&1 9>&- || true
    local log
    log=$(mktemp)
    if ! "$wine" wineboot -i </dev/null >"$log" 2>&1 9>&-; then
      cat "$log" >&2
      rm -f "$log"
      die "wineboot failed in $prefix"
    fi
    rm -f "$log"
    touch "$prefix/.mox-ready"
  elif "$server" -p30 </dev/null >/dev/null 2>&1 9>&-; then
    "$wine" wineboot </dev/null >/dev/null 2>&1 9>&- || true
  fi
  flock -u 9
  exec 9>&-
}

case ${1:-} in
  "") die "usage: wine-run.sh PROGRAM.EXE [ARG...] | --init | --kill" ;;
  --init)
    prepare
    ;;
  --kill)
    if [[ -d $prefix ]]; then
      "$server" -k >/dev/null 2>&1 || true
    fi
    ;;
  *)
    prepare
    # The program's output goes through files, handed on when it ends. Every
    # Windows process Wine starts keeps the standard error of the process
    # that started it, so a program left running (a peer, say) would hold
    # the caller's pipe open, and ctest would wait for it until its time-out.
    # After a kill the files stay in wine-output/ for a look.
    output=$(dirname "$prefix")/wine-output
    mkdir -p "$output"
    out=$output/$$.out err=$output/$$.err
    rc=0
    "$wine" "$@" </dev/null >"$out" 2>"$err" || rc=$?
    cat "$out"
    cat "$err" >&2
    rm -f "$out" "$err"
    exit "$rc"
    ;;
esac
