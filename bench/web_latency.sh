#!/usr/bin/env bash
# How long a web page waits for the PIN window: a page's sign() call to the extension's PIN window
# showing the card, with the browser, the extension and tessivo-host already running (median of
# RUNS), in Chromium and Firefox ESR; next to a bare `pkcs11-tool --sign` on the same SoftHSM2
# token. puppeteer-core drives both browsers (installed on first use outside the tree).
#
# usage: bench/web_latency.sh [RUNS] [BUILD_DIR]   (defaults: 10, build/linux)
# TESSIVO_WEB: another web/ folder to time (an older extension, say).
set -euo pipefail

runs=${1:-10}
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/timing.sh"
use_build "${2:-}" tessivo-host
. "$root/scripts/npm_tool.sh"
export PUPPETEER_SKIP_DOWNLOAD=1
npm_tool puppeteer-core 24.43.1 node_modules/puppeteer-core/package.json
demo_work
export DEMO_MODULE DEMO_PIN DEMO_SIGN_CERT

for browser in chromium firefox; do
    node "$root/bench/web_latency.mjs" --puppeteer "$npm_tool_dir" --browser "$browser" \
        --host "$bin/tessivo-host" --web "${TESSIVO_WEB:-$root/web}" --runs "$runs"
done

: >"$work/tool.us"
for _ in $(seq "$runs"); do micros demo_tool_sign >>"$work/tool.us"; done
awk -v runs="$runs" -v tool="$(median "$work/tool.us")" \
    'BEGIN { printf "pkcs11-tool --sign, whole process, median of %d: %.1f ms\n", runs, tool / 1000 }'
