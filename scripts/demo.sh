#!/usr/bin/env bash
# The main job on a demo token: until the agent's token requests exist this only builds the
# Linux tree and says what the demo will do.
set -euo pipefail
. "$(dirname "$0")/common.sh"

install_packages
build_linux
echo "demo: the agent and its library are being built; once the token requests exist this"
echo "demo makes a SoftHSM2 token and runs readers, card, login, certificate record, signing"
echo "and logout through tessivo-peer, then checks the signature with openssl."
