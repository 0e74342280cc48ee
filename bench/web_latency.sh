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
bin=${2:-$root/build/linux}/bin
[ -x "$bin/tessivo-host" ] || { echo "web_latency: build first (no $bin/tessivo-host)" >&2; exit 1; }

. "$root/bench/timing.sh"
. "$root/scripts/npm_tool.sh"
export PUPPETEER_SKIP_DOWNLOAD=1
npm_tool puppeteer-core 24.43.1 node_modules/puppeteer-core/package.json
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
make_demo_token
export DEMO_MODULE DEMO_PIN DEMO_SIGN_CERT
head -c 1024 /dev/urandom >"$work/data"

for browser in chromium firefox; do
    node "$root/bench/web_latency.mjs" --puppeteer "$npm_tool_dir" --browser "$browser" \
        --host "$bin/tessivo-host" --web "${TESSIVO_WEB:-$root/web}" --runs "$runs"
done

tool_sign() {
    pkcs11-tool --module "$DEMO_MODULE" --token-label "Tessivo Demo" --login --pin "$DEMO_PIN" \
        --sign --id 5349474e -m SHA256-RSA-PKCS --input-file "$work/data" \
        --output-file "$work/tool.sig"
}
: >"$work/tool.us"
for _ in $(seq "$runs"); do micros tool_sign >>"$work/tool.us"; done
awk -v runs="$runs" -v tool="$(median "$work/tool.us")" \
    'BEGIN { printf "pkcs11-tool --sign, whole process, median of %d: %.1f ms\n", runs, tool / 1000 }'
