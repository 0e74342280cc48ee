#!/usr/bin/env bash
# Signing on the virtual card stack (pcscd, virtual reader, emulated PIV card, OpenSC), by hand:
#  1. sign_bench against the card: the MWM_SIGN round trip next to a bare C_Sign through OpenSC;
#  2. the one-shot `tessivo-peer sign` next to `pkcs11-tool --sign` (module load, login, one
#     signature each), in alternating runs; medians and their ratio.
# usage: bench/vcard_bench.sh [BUILD_DIR] [RUNS]   (TESSIVO_VCARD_DIR: the stack tool)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux}
runs=${2:-15}
vcard=${TESSIVO_VCARD_DIR:-$(dirname "$root")/shared/vcard}
[ -x "$vcard/vcard-env.sh" ] || { echo "no virtual card stack at $vcard (set TESSIVO_VCARD_DIR)" >&2; exit 1; }
module=$(dpkg -L opensc-pkcs11 | grep '/opensc-pkcs11\.so$' | head -1)
certs=$build/tests/fixtures/certs/out
reader="Virtual PCD 00 00"
pin=123456

work=$(mktemp -d)
trap '"$vcard/vcard-env.sh" down "$work"; rm -rf "$work"' EXIT
VCARD_ARGS="--load 9C:$certs/ee.key:$certs/citizen.der --load 9D:$certs/ee.key:$certs/encipher.der" \
    "$vcard/vcard-env.sh" up "$work" >/dev/null

echo "== MWM_SIGN round trip vs bare C_Sign (sha256, 1 KiB, key 9C with a PIN before each use)"
TESSIVO_BENCH_MODULE=$module TESSIVO_BENCH_READER=$reader TESSIVO_BENCH_PIN=$pin \
    TESSIVO_BENCH_KEY_ID=02 "$build/bin/sign_bench" --benchmark_min_time=0.3 2>/dev/null |
    sed 's/\x1b\[[0-9;]*m//g' | grep -E '^(median|ratio)' || echo "sign_bench failed" >&2

echo "== one-shot: tessivo-peer sign vs pkcs11-tool --sign ($runs alternating runs each)"
head -c 1024 /dev/urandom >"$work/data"
ms() { local t0 t1; t0=$(date +%s%N); "$@" >/dev/null 2>&1 || echo "failed: $*" >&2; t1=$(date +%s%N); echo $(((t1 - t0) / 1000000)); }
peer=("$build/bin/tessivo-peer" --module "$module" sign "$reader" --mech sha256 --pin-stdin "$work/data")
tool=(pkcs11-tool --module "$module" --login --pin "$pin" --sign --id 02 -m SHA256-RSA-PKCS
    --input-file "$work/data" --output-file "$work/sig")
: >"$work/peer.ms"; : >"$work/tool.ms"
for _ in $(seq "$runs"); do
    ms bash -c 'echo '"$pin"' | "$@"' _ "${peer[@]}" >>"$work/peer.ms"
    ms "${tool[@]}" >>"$work/tool.ms"
done
median() { sort -n "$1" | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
p=$(median "$work/peer.ms"); t=$(median "$work/tool.ms")
echo "median tessivo-peer sign: $p ms"
echo "median pkcs11-tool --sign: $t ms"
awk -v p="$p" -v t="$t" 'BEGIN {printf "ratio (peer / pkcs11-tool): %.2f\n", p / t}'
