#!/usr/bin/env bash
# The demo: a SoftHSM2 token holding a citizen-type certificate, driven through tessivo-peer
# (readers, card, login, certificate record, signing, logout), the signature checked with
# openssl. Ends with "demo: OK" or names the step that failed.
set -euo pipefail
. "$(dirname "$0")/common.sh"

install_packages "${TESSIVO_DEMO_PACKAGES[@]}"
# The agent and the peer only (the library comes with the agent); the tests are not needed here.
configure_tree linux
build_tree linux tessivo tessivo-peer

bin="$TESSIVO_ROOT/build/linux/bin"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

step() { echo "demo: $*"; }
fail() {
    echo "demo: FAILED: $*" >&2
    exit 1
}
indent() { sed 's/^/    /'; }
# The agent's console lines go to standard error; the demo shows the peer's answers only.
peer() { "$bin/tessivo-peer" --module "$DEMO_MODULE" "$@" 2>"$work/agent.log"; }

step "making a demo token in SoftHSM2"
if ! "$TESSIVO_ROOT/tests/fixtures/demo_token.sh" "$work/token" >"$work/token.log" 2>&1; then
    cat "$work/token.log" >&2
    fail "making the demo token"
fi
. "$work/token/demo.env"
echo "reader \"$DEMO_READER\", serial $DEMO_SERIAL" | indent

step "readers"
readers=$(peer readers) || fail "readers"
echo "$readers" | indent
# Each line: the reader's description, a tab, then the card in it (its label and serial).
line=$(DEMO_READER=$DEMO_READER awk -F'\t' '$1 == ENVIRON["DEMO_READER"]' <<<"$readers")
[[ -n $line && $line == *"$DEMO_SERIAL"* ]] || fail "readers: the demo reader with its card is not listed"

step "card"
serial=$(peer card "$DEMO_READER") || fail "card"
echo "$serial" | indent
[ "$serial" = "$DEMO_SERIAL" ] || fail "card: serial $serial, expected $DEMO_SERIAL"

sample="Tessivo demo: a sample text to sign."
printf '%s' "$sample" >"$work/sample.txt"
step "one agent session: slot, card, login, certificate record, sign (SHA-256), logout"
{
    echo "slot $DEMO_READER"
    echo "card"
    echo "login $DEMO_PIN"
    echo "certinfo"
    echo "sign sha256 $(base64 -w0 "$work/sample.txt")"
    echo "logout"
} >"$work/road.script"
peer script "$work/road.script" >"$work/road.out" || fail "the agent session"
indent <"$work/road.out"
expect_line() {
    sed -n "${1}p" "$work/road.out" | grep -qF "$2" || fail "$3"
}
expect_line 2 "\"serial\":\"$DEMO_SERIAL\"" "card in the session"
expect_line 3 '"status":0' "login"
expect_line 4 "TypeString='自然人憑證'" "certificate record"
expect_line 5 '"result":0' "signing"
expect_line 6 '"result":0' "logout"

step "signing the sample text with SHA-256 and checking the bare signature with openssl"
peer sign "$DEMO_READER" --mech sha256 --pin-stdin --raw-signature "$work/signature.bin" \
    "$work/sample.txt" <<<"$DEMO_PIN" | indent || fail "signing"
openssl dgst -sha256 -verify "$DEMO_SIGN_PUB" -signature "$work/signature.bin" \
    "$work/sample.txt" | indent || fail "openssl dgst -verify"

step "OK"
