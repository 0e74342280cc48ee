#!/usr/bin/env bash
# Runs one Windows program under the test run's Wine environment (see wine-env.sh).
# Used as CMake's CMAKE_CROSSCOMPILING_EMULATOR for the Windows build.
set -euo pipefail
exe=${1:?program}
dir=${TESSIVO_WINE_DIR:-$(cd "$(dirname "$exe")/.." && pwd)/wine}
export WINEPREFIX="$dir/prefix" WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
if [ -z "${DISPLAY:-}" ] && [ -f "$dir/display" ]; then
    export DISPLAY=$(cat "$dir/display")
fi
# Wine takes the ANSI code page from the locale name at every start: this gives GetACP() 950.
exec env LC_ALL=zh_TW.UTF-8 wine "$@"
