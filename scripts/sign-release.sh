#!/usr/bin/env bash
# Signs Windows programs, libraries and installers in place with Authenticode (osslsigncode).
#
# usage: sign-release.sh [options] FILE...
#   --cert FILE          the code-signing certificate with its chain (PEM)    [TESSIVO_SIGN_CERT]
#   --key KEY            the private key: a PEM file, or with --pkcs11-module a PKCS#11 URI
#                        ("pkcs11:token=...;object=...")                       [TESSIVO_SIGN_KEY]
#   --pkcs11-module SO   the PKCS#11 module that holds the key                 [TESSIVO_SIGN_PKCS11_MODULE]
#   --pkcs11-engine SO   OpenSSL's PKCS#11 engine (libengine-pkcs11-openssl)   [TESSIVO_SIGN_PKCS11_ENGINE]
#   --pass-file FILE     the key's password or the token's PIN, first line     [TESSIVO_SIGN_PASS_FILE]
#   --timestamp URL      an RFC 3161 time-stamping service (optional)          [TESSIVO_SIGN_TIMESTAMP]
# The key never needs to be in the source tree: give its path or its URI.
set -euo pipefail

cert=${TESSIVO_SIGN_CERT:-} key=${TESSIVO_SIGN_KEY:-} module=${TESSIVO_SIGN_PKCS11_MODULE:-}
engine=${TESSIVO_SIGN_PKCS11_ENGINE:-} passfile=${TESSIVO_SIGN_PASS_FILE:-}
timestamp=${TESSIVO_SIGN_TIMESTAMP:-}
usage() {
    sed -n '4,12p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}
files=()
while [ $# -gt 0 ]; do
    case $1 in
    --cert) cert=${2:?}; shift 2 ;;
    --key) key=${2:?}; shift 2 ;;
    --pkcs11-module) module=${2:?}; shift 2 ;;
    --pkcs11-engine) engine=${2:?}; shift 2 ;;
    --pass-file) passfile=${2:?}; shift 2 ;;
    --timestamp) timestamp=${2:?}; shift 2 ;;
    -h | --help) usage ;;
    -*) echo "sign-release.sh: unknown option $1" >&2; usage ;;
    *) files+=("$1"); shift ;;
    esac
done
[ -n "$cert" ] && [ -n "$key" ] && [ ${#files[@]} -gt 0 ] || usage
command -v osslsigncode >/dev/null || { echo "sign-release.sh: osslsigncode is not installed" >&2; exit 1; }

args=(-certs "$cert" -key "$key" -h sha256 -n Tessivo)
[ -z "$module" ] || args+=(-pkcs11module "$module")
[ -z "$engine" ] || args+=(-pkcs11engine "$engine")
[ -z "$passfile" ] || args+=(-readpass "$passfile")
[ -z "$timestamp" ] || args+=(-ts "$timestamp")

for file in "${files[@]}"; do
    out="$file.signing"
    rm -f "$out"
    if ! osslsigncode sign "${args[@]}" -in "$file" -out "$out" >"$out.log" 2>&1; then
        cat "$out.log" >&2
        rm -f "$out" "$out.log"
        echo "sign-release.sh: cannot sign $file" >&2
        exit 1
    fi
    mv "$out" "$file"
    rm -f "$out.log"
    echo "signed $file"
done
