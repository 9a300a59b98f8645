#!/bin/sh
# Runs a Windows program under Wine (no display needed for console programs)
# in the prefix WINEPREFIX, made on first use: the Windows builds' ctest
# starts every test program through this. WINEARCH says which Wine: win64
# (the default) is Debian's wine64, for 64-bit programs; win32 is its wine32,
# Wine's 32-bit loader, in a 32-bit prefix.
# Usage: WINEPREFIX=DIR [WINEARCH=win32] scripts/wine.sh PROGRAM.exe [ARGS...]
set -eu
: "${WINEPREFIX:?set WINEPREFIX to the prefix's folder}"
WINEARCH=${WINEARCH:-win64}
# Wine passes arguments and file names on in the locale's character set:
# UTF-8, as the project's names are.
export WINEPREFIX WINEARCH WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY= LC_ALL=C.UTF-8
case $WINEARCH in
  win64) wine=/usr/lib/wine/wine64 ;;
  win32) wine=/usr/lib/wine/wine ;;
  *) echo "wine.sh: WINEARCH is win64 or win32, not $WINEARCH" >&2; exit 2 ;;
esac
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
