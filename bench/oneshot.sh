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
. "$root/bench/timing.sh"
use_build "${2:-}" tessivo-peer
demo_work

alternate "$runs" demo_peer_sign demo_tool_sign
peer=$first_us
tool=$second_us
awk -v runs="$runs" -v peer="$peer" -v tool="$tool" 'BEGIN {
    printf "runs: %d each, alternating\n", runs
    printf "median tessivo-peer sign:  %8.1f ms\n", peer / 1000
    printf "median pkcs11-tool --sign: %8.1f ms\n", tool / 1000
    printf "ratio (peer / pkcs11-tool): %.2f\n", peer / tool
    # The agent waits 18 ms for its first tick by design; the goal is everything else.
    printf "ratio ((peer - 18 ms) / pkcs11-tool): %.2f (goal <= 1.5)\n", (peer / 1000 - 18) / (tool / 1000)
}'
