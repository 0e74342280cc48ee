#!/usr/bin/env bash
# Starts or stops the headless Wine environment of a Windows test run:
#   wine-env.sh start DIR   Xvfb on a free display, a WINEPREFIX in DIR/prefix booted under it,
#                           ANSI code page 950
#   wine-env.sh stop DIR    stops the wineserver and the Xvfb started by "start"
set -euo pipefail
cmd=${1:?start or stop}
dir=${2:?directory}
mkdir -p "$dir"
export WINEPREFIX="$dir/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
# Wine takes the ANSI code page from the locale name: zh_TW gives 950.
wine_locale=(env LC_ALL=zh_TW.UTF-8)

stop() {
    if [ -f "$dir/display" ]; then
        DISPLAY=$(cat "$dir/display") wineserver -k 2>/dev/null || true
    fi
    wineserver -k 2>/dev/null || true
    if [ -f "$dir/xvfb.pid" ]; then
        kill "$(cat "$dir/xvfb.pid")" 2>/dev/null || true
        rm -f "$dir/xvfb.pid"
    fi
    rm -f "$dir/display"
}

case "$cmd" in
start)
    stop
    # -displayfd lets Xvfb pick a free display number and tell us which.
    rm -f "$dir/display.fd"
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1920x1080x24 3>"$dir/display.fd" >"$dir/xvfb.log" 2>&1 &
    echo $! >"$dir/xvfb.pid"
    for _ in $(seq 100); do
        [ -s "$dir/display.fd" ] && break
        sleep 0.1
    done
    [ -s "$dir/display.fd" ] || { echo "Xvfb did not start" >&2; cat "$dir/xvfb.log" >&2; exit 1; }
    echo ":$(tr -d '\n' <"$dir/display.fd")" >"$dir/display"
    export DISPLAY=$(cat "$dir/display")
    # A prefix must first boot with a display, or its windows stay invisible to EnumWindows.
    if [ ! -f "$dir/prefix/.booted" ]; then
        rm -rf "$dir/prefix"
        "${wine_locale[@]}" wineboot -i >"$dir/wineboot.log" 2>&1
        touch "$dir/prefix/.booted"
    else
        "${wine_locale[@]}" wineboot >"$dir/wineboot.log" 2>&1 || true
    fi
    "${wine_locale[@]}" wine reg add 'HKLM\System\CurrentControlSet\Control\Nls\CodePage' /v ACP /t REG_SZ /d 950 /f \
        >>"$dir/wineboot.log" 2>&1
    ;;
stop)
    stop
    ;;
*)
    echo "usage: $0 start|stop DIR" >&2
    exit 2
    ;;
esac
