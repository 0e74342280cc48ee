# Shared by the one-shot benchmark scripts (sourced, not run): timing a command, medians, and
# the SoftHSM2 demo token. The caller sets `work` to its own temporary folder.

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
