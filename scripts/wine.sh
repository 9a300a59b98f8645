#!/bin/sh
# Runs a Windows program under Wine (Debian's wine64, no display needed for
# console programs) in the prefix WINEPREFIX, made on first use: the Windows
# build's ctest starts every test program through this.
# Usage: WINEPREFIX=DIR scripts/wine.sh PROGRAM.exe [ARGS...]
set -eu
: "${WINEPREFIX:?set WINEPREFIX to the prefix's folder}"
# Wine passes arguments and file names on in the locale's character set:
# UTF-8, as the project's names are.
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= LC_ALL=C.UTF-8
wine=/usr/lib/wine/wine64
if [ ! -e "$WINEPREFIX/.initialised" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -e "$WINEPREFIX/.initialised" ]; then
      timeout 300 "$wine" wineboot -i >/dev/null 2>&1
      touch "$WINEPREFIX/.initialised"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
exec "$wine" "$@"
