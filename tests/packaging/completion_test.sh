#!/usr/bin/env bash
# The bash completion of tessivo-peer, sourced into bash and asked as readline would ask it;
# reader names come from the real program on the test module.
# usage: completion_test.sh COMPLETION-FILE TESSIVO-PEER TEST-MODULE
set -uo pipefail
completion=$1 peer=$2 module=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The channels' directory must be a private one on tmpfs.
run=$(mktemp -d /dev/shm/tessivo-package-XXXXXX)
trap 'rm -rf "$work" "$run"' EXIT
export TESSIVO_RUNTIME_DIR=$run
printf 'slot = Reader A ; 1 ; Token A ; 11\nslot = Gemalto USB Reader 00 00 ; 0\n' >"$work/module.conf"
export TESSIVO_TESTMODULE_CONFIG=$work/module.conf

. "$completion"
failed=0

# expect "WORDS..." "EXPECTED" (completions joined by "|"); the last word is the one completed.
expect() {
    local line=$1 want=$2 got
    eval "COMP_WORDS=($line)"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _tessivo_peer
    got=$(IFS='|'; echo "${COMPREPLY[*]}")
    if [ "$got" != "$want" ]; then
        echo "FAIL: [$line] gave [$got], expected [$want]"
        failed=1
    fi
}

expect "tessivo-peer " "readers|modules|card|certs|certinfo|cert|sign|verify|script"
expect "tessivo-peer c" "card|certs|certinfo|cert"
expect "tessivo-peer --mo" "--module"
expect "tessivo-peer --json sign --mech sha2" "sha256|sha224"
expect "tessivo-peer sign 'Reader A' --" \
    "--mech|--format|--pem|--output|--raw-signature|--allow-expired|--pin-stdin|--help"
expect "tessivo-peer sign --format " "xml|raw|base64|cms"
expect "$peer --module $module certs " "Reader A|Gemalto USB Reader 00 00"
expect "tessivo-peer readers " ""
# Reader names, the --module on the line passed on to the program that lists them.
expect "$peer --module $module card " "Reader A|Gemalto USB Reader 00 00"
expect "$peer --module $module --timeout 5 sign --pin-stdin Gem" "Gemalto USB Reader 00 00"
# "--opt=value" as bash splits it: "--opt", "=", "value".
expect "tessivo-peer sign --mech = sha5" "sha512"
expect "$peer --module = $module --json cert R" "Reader A"
# A module that cannot be loaded offers nothing, quietly.
expect "$peer --module $work/module.conf card " ""
exit $failed
