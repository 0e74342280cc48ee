#!/usr/bin/env bash
# Writes the fuzz harnesses' seed folders: the test certificates and bundles for fuzz_cert, and
# a few well-formed inputs for the others (request sequences for fuzz_dispatch: select the card
# reader, log in, read the card, the certificate record, sign, log out).
#
# usage: make_seeds.sh CERTSDIR OUTDIR
set -euo pipefail

certs=${1:?certificate folder}
out=${2:?output folder}
rm -rf "$out"
mkdir -p "$out"/{fuzz_cert,fuzz_dispatch,fuzz_base64,fuzz_command_line,fuzz_codepage,fuzz_host_messages}

cp "$certs"/*.der "$certs"/*.p7b "$out/fuzz_cert/"

# Requests of fuzz_dispatch (see fuzz_dispatch.cpp), each payload written to the channel once,
# whole: "SELECTOR:MODE:WPARAM:KIND:TEXT" with KIND u16 (UTF-16 text), sign (a signing request
# with mechanism WPARAM over the Base64 of TEXT) or none.
dispatch() {
    perl -CA -MEncode -MMIME::Base64 -e '
        binmode STDOUT;
        for (@ARGV) {
            my ($sel, $mode, $w, $kind, $text) = split /:/, $_, 5;
            my $p = "";
            if ($kind eq "u16") { $p = encode("UTF-16LE", $text); }
            if ($kind eq "sign") { $p = pack("vvv", 6, $w, 0) . encode_base64($text, ""); $w = 0; }
            my $n = length $p;
            print pack("CCVv", $sel, $mode, $w, $n), substr(pack("V", $n), 0, 3), $p;
        }' "$@"
}
d="$out/fuzz_dispatch"
slot="3:1:0:u16:Card Reader"
login="9:1:0:u16:123456"
dispatch "$slot" >"$d/slot"
dispatch "$slot" "4:0:0:none:" >"$d/card"
dispatch "$slot" "$login" "6:0:0:none:" >"$d/certinf"
dispatch "$slot" "9:1:0:u16:654321" >"$d/wrong_pin"
for mech in 1 5 6 64 65 66 70; do
    dispatch "$slot" "$login" "5:2:$mech:sign:data to sign" "10:0:0:none:" >"$d/sign_$mech"
done
dispatch "0:0:$$:none:" "13:0:0:none:" >"$d/hello"

printf 'QUJD\r\nREVG' >"$out/fuzz_base64/lines"
printf 'YQ==' >"$out/fuzz_base64/padded"
printf 'A-B_C D\tE' >"$out/fuzz_base64/noise"

# The agent's line is UTF-16; the words are read from the same bytes.
printf '%s' 'tessivo.exe -/1234 -/Global\qorFileMappingObject -/LogMem' | iconv -f UTF-8 -t UTF-16LE >"$out/fuzz_command_line/agent"
printf 'raw 1228 0x10 -1 43006100720064' >"$out/fuzz_command_line/raw"
printf 'sign 0x40 sha256 md5 raw 18446744073709551616' >"$out/fuzz_command_line/numbers"

printf '\0%s' "$(printf '憑證卡已逾期' | iconv -f UTF-8 -t CP950)" >"$out/fuzz_codepage/big5"
printf '\1%s' '王小明 ASCII' >"$out/fuzz_codepage/utf8"
{ printf '\0'; printf '錯誤的 PIN 碼' | iconv -f UTF-8 -t UTF-16LE; } >"$out/fuzz_codepage/utf16"

# Requests of the browser host, as the extension sends them.
h="$out/fuzz_host_messages"
printf '%s' '{"version":1,"id":"s-1","command":"status"}' >"$h/status"
printf '%s' '{"version":1,"id":"r-2","command":"readers"}' >"$h/readers"
printf '%s' '{"version":1,"id":"c-3","command":"get-signing-certificate","arguments":{"origin":"https://example.tw"}}' >"$h/certificate"
printf '%s' '{"version":1,"id":"g-4","command":"sign","arguments":{"origin":"https://example.tw","reader":"R","certificate":"QUJD","hash":"ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=","hashAlgorithm":"SHA-256","pin":"123456"}}' >"$h/sign"
