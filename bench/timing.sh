# Shared by the benchmark scripts (sourced, not run): timing a command, medians, the build's
# programs and the SoftHSM2 demo token. The caller sets `root` to the source tree and `work` to its
# own temporary folder (demo_work makes one).

# Microseconds one command takes, its output discarded; ends the script when the command fails,
# with what it wrote on standard error.
micros() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null 2>"$work/last.err" || { echo "$(basename "$0"): failed: $*" >&2; cat "$work/last.err" >&2; exit 1; }
    end=$(date +%s%N)
    echo $(((end - start) / 1000))
}

# The same for a command whose failure is part of what is timed.
micros_any() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1 || true
    end=$(date +%s%N)
    echo $(((end - start) / 1000))
}

# The median of the numbers in FILE, or on standard input.
median() {
    sort -n "$@" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# A SoftHSM2 demo token in $work/token, its settings (DEMO_MODULE, DEMO_READER, DEMO_PIN…) read
# and SOFTHSM2_CONF exported.
make_demo_token() {
    "$root/tests/fixtures/demo_token.sh" "$work/token" >"$work/token.log" 2>&1 ||
        { cat "$work/token.log" >&2; exit 1; }
    . "$work/token/demo.env"
    export SOFTHSM2_CONF
}

# The programs of BUILD_DIR (default build/linux) in `bin`; ends the script when PROGRAM is not
# built there.
use_build() {
    bin=${1:-$root/build/linux}/bin
    [ -x "$bin/$2" ] || { echo "$(basename "$0"): build first (no $bin/$2)" >&2; exit 1; }
}

# `work`, a temporary folder removed at exit, with the demo token (above) and 1 KiB of data to
# sign in $work/data.
demo_work() {
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    make_demo_token
    head -c 1024 /dev/urandom >"$work/data"
}

# One signature of $work/data on the demo token, the whole process each: tessivo-peer (agent
# start, reader, login, sign, logout) and pkcs11-tool.
demo_peer_sign() {
    "$bin/tessivo-peer" --module "$DEMO_MODULE" sign "$DEMO_READER" --mech sha256 --pin-stdin \
        "$work/data" <<<"$DEMO_PIN"
}
demo_tool_sign() {
    pkcs11-tool --module "$DEMO_MODULE" --token-label "Tessivo Demo" --login --pin "$DEMO_PIN" \
        --sign --id 5349474e -m SHA256-RSA-PKCS --input-file "$work/data" \
        --output-file "$work/tool.sig"
}

# RUNS timings of two commands in turn, so that both see the same machine, after one untimed run
# of each (caches warmed, a failure shown before anything is timed). Their medians, in
# microseconds, in `first_us` and `second_us`.
alternate() {
    local runs=$1 first=$2 second=$3
    micros "$first" >/dev/null
    micros "$second" >/dev/null
    : >"$work/first.us"
    : >"$work/second.us"
    for _ in $(seq "$runs"); do
        micros "$first" >>"$work/first.us"
        micros "$second" >>"$work/second.us"
    done
    first_us=$(median "$work/first.us")
    second_us=$(median "$work/second.us")
}
