#!/usr/bin/env bash
# One-shot signing as a user runs it: `tessivo-peer sign` (start the agent, select the reader,
# log in, sign, log out) next to `pkcs11-tool --sign` on the same SoftHSM2 token, run
# alternately so that both see the same machine. Prints the median of each, their ratio, and the
# ratio without the agent's fixed 18 ms wait for its first tick (bench/oneshot_breakdown.sh shows
# where the rest goes).
#
# usage: bench/oneshot.sh [RUNS] [BUILD_DIR]   (defaults: 25, build/linux)
set -euo pipefail

runs=${1:-25}
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${2:-$root/build/linux}/bin
[ -x "$bin/tessivo-peer" ] || { echo "oneshot: build first (no $bin/tessivo-peer)" >&2; exit 1; }

. "$root/bench/timing.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
make_demo_token
head -c 1024 /dev/urandom >"$work/data"

peer_sign() {
    "$bin/tessivo-peer" --module "$DEMO_MODULE" sign "$DEMO_READER" --mech sha256 --pin-stdin \
        "$work/data" <<<"$DEMO_PIN"
}
tool_sign() {
    pkcs11-tool --module "$DEMO_MODULE" --token-label "Tessivo Demo" --login --pin "$DEMO_PIN" \
        --sign --id 5349474e -m SHA256-RSA-PKCS --input-file "$work/data" \
        --output-file "$work/tool.sig"
}

peer_sign >/dev/null 2>&1 && tool_sign >/dev/null 2>&1 || { echo "oneshot: a first run failed" >&2; exit 1; }
: >"$work/peer.us"
: >"$work/tool.us"
for _ in $(seq "$runs"); do
    micros peer_sign >>"$work/peer.us"
    micros tool_sign >>"$work/tool.us"
done
peer=$(median "$work/peer.us")
tool=$(median "$work/tool.us")
awk -v runs="$runs" -v peer="$peer" -v tool="$tool" 'BEGIN {
    printf "runs: %d each, alternating\n", runs
    printf "median tessivo-peer sign:  %8.1f ms\n", peer / 1000
    printf "median pkcs11-tool --sign: %8.1f ms\n", tool / 1000
    printf "ratio (peer / pkcs11-tool): %.2f\n", peer / tool
    # The agent waits 18 ms for its first tick by design; the goal is everything else.
    printf "ratio ((peer - 18 ms) / pkcs11-tool): %.2f (goal <= 1.5)\n", (peer / 1000 - 18) / (tool / 1000)
}'
