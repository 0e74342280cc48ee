#!/usr/bin/env bash
# Runs one Windows program under the test run's Wine environment (see wine-env.sh).
# Used as CMake's CMAKE_CROSSCOMPILING_EMULATOR for the Windows build.
set -euo pipefail
exe=${1:?program}
dir=${TESSIVO_WINE_DIR:-$(cd "$(dirname "$exe")/.." && pwd)/wine}
# TESSIVO_WINE_DLLOVERRIDES: more load orders for one run (e.g. a native winscard.dll).
export WINEPREFIX="$dir/prefix" WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d${TESSIVO_WINE_DLLOVERRIDES:+;$TESSIVO_WINE_DLLOVERRIDES}"
if [ -z "${DISPLAY:-}" ] && [ -f "$dir/display" ]; then
    export DISPLAY=$(cat "$dir/display")
fi
# Wine takes the ANSI code page from the locale name at every start: this gives GetACP() 950.
exec env LC_ALL=zh_TW.UTF-8 wine "$@"
