#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, build/fuzz) and runs each for SECONDS (default 60), one
# after the other. Exits non-zero when any harness found something; the input that shows it is
# kept in build/fuzz/findings. The corpus each run grows is kept in build/fuzz/corpus; with
# --seeds-only (the CI smoke) each harness starts from its seeds alone and keeps nothing.
#
# usage: fuzz.sh [--seeds-only] [SECONDS] [HARNESS...]
set -euo pipefail
. "$(dirname "$0")/common.sh"

seeds_only=0
if [ "${1:-}" = --seeds-only ]; then
    seeds_only=1
    shift
fi
seconds=${1:-60}
shift || true
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(fuzz_cert fuzz_dispatch fuzz_base64 fuzz_command_line fuzz_codepage
    fuzz_host_messages)

dir="$TESSIVO_ROOT/build/fuzz"
if [ ! -f "$dir/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ quietly "$TESSIVO_ROOT/build/logs/fuzz-configure.log" \
        cmake -S "$TESSIVO_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSIVO_FUZZ=ON
fi
say "building the fuzz harnesses"
quietly "$TESSIVO_ROOT/build/logs/fuzz-build.log" \
    cmake --build "$dir" -j "$(nproc)" --target "${harnesses[@]}" tessivo_fuzz_seeds

status=0
mkdir -p "$dir/findings"
for name in "${harnesses[@]}"; do
    corpus="$dir/corpus/$name"
    [ $seeds_only -eq 0 ] || corpus=$(mktemp -d)
    mkdir -p "$corpus"
    log="$dir/logs/$name.log"
    mkdir -p "$(dirname "$log")"
    if "$dir/bin/$name" -max_total_time="$seconds" -timeout=60 -print_final_stats=1 \
        -artifact_prefix="$dir/findings/$name-" "$corpus" "$dir/fuzz-seeds/$name" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
        say "$name: ${runs:-?} runs in ${seconds}s, nothing found"
    else
        status=1
        say "$name: FINDING (log: $log)" >&2
        grep -E -A 30 'ERROR: (AddressSanitizer|libFuzzer|UndefinedBehaviorSanitizer)|runtime error|deadly signal' \
            "$log" | head -n 60 >&2 || tail -n 60 "$log" >&2
    fi
    [ $seeds_only -eq 0 ] || rm -rf "$corpus"
done
exit $status
