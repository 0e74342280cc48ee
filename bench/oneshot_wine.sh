#!/usr/bin/env bash
# One-shot signing as a user of the Windows build under Wine runs it, each side a whole Windows
# process started by `wine`: `tessivo-peer.exe sign` (which starts the agent, selects the
# reader, logs in, signs and logs out) against `ratio_bench.exe --module-sign-once` (the card
# module loaded, initialised, logged in, one signature, finalised), run alternately on the test
# module's card, or with --softhsm on a SoftHSM2-for-Windows token (scripts/win-softhsm.sh and
# scripts/win-opensc.sh build what it needs). No pkcs11-tool runs under Wine here, so the module
# side is our own program. Prints the median of each and their ratio.
#
# usage: bench/oneshot_wine.sh [--softhsm] [RUNS] [BUILD_DIR]   (defaults: 15, build/win64)
set -euo pipefail

softhsm=no
if [ "${1:-}" = --softhsm ]; then
    softhsm=yes
    shift
fi
runs=${1:-15}
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${2:-$root/build/win64}" && pwd)
for program in bin/tessivo-peer.exe bin/ratio_bench.exe bench/card/tessivo.exe; do
    [ -f "$build/$program" ] || { echo "oneshot_wine: build first (no $build/$program)" >&2; exit 1; }
done
certs=$build/tests/fixtures/certs/out
[ -f "$certs/citizen.der" ] || { echo "oneshot_wine: no test certificates in $certs" >&2; exit 1; }

. "$root/bench/timing.sh"
work=$(mktemp -d)
export TESSIVO_WINE_DIR=$work/wine
trap '"$root/scripts/wine-env.sh" stop "$TESSIVO_WINE_DIR" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
"$root/scripts/wine-env.sh" start "$TESSIVO_WINE_DIR" >/dev/null

# A Unix path as the Windows programs see it.
native() { printf 'Z:%s' "${1//\//\\}"; }
agent=$build/bench/card/tessivo.exe
reader="Tessivo Reader"
if [ $softhsm = yes ]; then
    # A token of the fixture's certificates and key, and a copy of the agent beside SoftHSM2's
    # module under the card vendor's file name (where the agent looks for its module).
    mkdir -p "$work/token" "$work/card"
    slot=$("$root/tests/fixtures/win_softhsm_token.sh" "$work/token" "$certs")
    reader=${slot%%$'\t'*}
    hsm_module=$("$root/scripts/win-softhsm.sh" --cached)/bin/softhsm2.dll
    cp "$build/bin/tessivo.exe" "$work/card/tessivo.exe"
    cp "$hsm_module" "$work/card/TorvexPKCS11.dll"
    agent=$work/card/tessivo.exe
    export SOFTHSM2_CONF TESSIVO_BENCH_MODULE TESSIVO_BENCH_READER=$reader
    SOFTHSM2_CONF=$(native "$work/token/softhsm2.conf")
    TESSIVO_BENCH_MODULE=$(native "$hsm_module")
fi
# The card the agent's module and ratio_bench's see alike: one reader, the fixture's
# certificates and key under "SIGN" and "KEYX".
cat >"$work/card.conf" <<EOF
slot = Tessivo Reader ; 1 ; BENCH ; BENCH001
pin = 123456
object = cert ; SIGN ; $(native "$certs/citizen.der")
object = key ; SIGN ; $(native "$certs/ee.key")
object = cert ; KEYX ; $(native "$certs/encipher.der")
object = key ; KEYX ; $(native "$certs/ee.key")
EOF
export TESSIVO_TESTMODULE_CONFIG
TESSIVO_TESTMODULE_CONFIG=$(native "$work/card.conf")
printf 'abc' >"$work/data"
echo 123456 >"$work/pin"

peer_sign() {
    "$root/scripts/wine-run.sh" "$build/bin/tessivo-peer.exe" \
        --agent "$(native "$agent")" sign "$reader" --mech sha256 \
        --pin-stdin "$(native "$work/data")" <"$work/pin"
}
module_sign() {
    "$root/scripts/wine-run.sh" "$build/bin/ratio_bench.exe" --module-sign-once
}

# Wine's first start of each program is slower (its caches): the untimed first runs take it.
alternate "$runs" peer_sign module_sign
peer=$first_us
module=$second_us
card=$([ $softhsm = yes ] && echo "SoftHSM2 for Windows" || echo "the test module")
awk -v card="$card" -v runs="$runs" -v peer="$peer" -v module="$module" 'BEGIN {
    printf "runs: %d each, alternating, under Wine, on %s\n", runs, card
    printf "median tessivo-peer.exe sign:               %8.1f ms\n", peer / 1000
    printf "median ratio_bench.exe --module-sign-once:  %8.1f ms\n", module / 1000
    printf "ratio (peer / module): %.2f\n", peer / module
}'
