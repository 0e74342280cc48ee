#!/usr/bin/env bash
# The Windows installer, signed and installed under Wine in a prefix of its own:
#  - made by scripts/make-msi.sh and signed with a throwaway code-signing CA; the MSI and every
#    program and library inside it verify against that CA;
#  - installed per machine (msiexec /i /qn, with the SDK): the files in Program Files\Tessivo,
#    the browsers' host keys naming the manifests there, the installed host answering `status`
#    through the manifest Chrome's key names;
#  - the module choice of the installed programs: HKLM\Software\Tessivo\Module, and
#    tessivo-peer --module, each signing through a module of another name; the SDK's C example
#    built on the installed header and import library, signing on the installed Vantrel.dll;
#  - a newer MSI (with the extension's update URL) upgrades: one product, the newer version;
#  - msiexec /x leaves no file, folder or key behind.
# usage: msi_test.sh BUILD-DIR SOURCE-DIR VERSION TEST-MODULE CERTS-DIR
set -euo pipefail
build=$1 source=$2 version=$3 test_module=$4 certs=$5

work=$build/msi-test
rm -rf "$work"
mkdir -p "$work"
wine_dir=$work/wine
cleanup() { "$source/scripts/wine-env.sh" stop "$wine_dir" >/dev/null 2>&1 || true; }
trap cleanup EXIT
fail() {
    echo "msi_test: FAIL: $*" >&2
    exit 1
}
step() { echo "msi_test: $*"; }

# ---- a throwaway code-signing CA and certificate ----
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Tessivo Test Code Signing CA" \
    -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout sign.key -out sign.csr -subj "/CN=Tessivo Test Signer" 2>/dev/null
printf 'basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >sign.ext
openssl x509 -req -in sign.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile sign.ext -out sign.pem 2>/dev/null
export TESSIVO_SIGN_CERT=$work/sign.pem TESSIVO_SIGN_KEY=$work/sign.key

# ---- two signed MSIs: this version and a newer one that also offers the extension ----
IFS=. read -r major minor patch <<<"$version"
newer=$major.$minor.$((patch + 1))
update_url=https://updates.example.invalid/tessivo/updates.xml
"$source/scripts/make-msi.sh" "$build" "$work/old.msi" --version "$version" --sign >/dev/null
"$source/scripts/make-msi.sh" "$build" "$work/new.msi" --version "$newer" --update-url "$update_url" --sign >/dev/null

step "signatures"
verify() { osslsigncode verify -CAfile "$work/ca.pem" -in "$1" >"$work/verify.log" 2>&1 || { cat "$work/verify.log" >&2; fail "$(basename "$1") does not verify"; }; }
verify old.msi
verify new.msi
msiextract -C "$work/extracted" old.msi >/dev/null
signed=0
while IFS= read -r -d '' file; do
    verify "$file"
    signed=$((signed + 1))
done < <(find "$work/extracted" \( -name '*.exe' -o -name '*.dll' \) -print0)
[ $signed -eq 4 ] || fail "the MSI holds $signed programs and libraries, not 4"
osslsigncode verify -CAfile /dev/null -in old.msi >/dev/null 2>&1 && fail "the MSI verifies without its CA"

# ---- a fresh prefix of our own ----
"$source/scripts/wine-env.sh" start "$wine_dir" >/dev/null
export WINEPREFIX=$wine_dir/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
DISPLAY=$(cat "$wine_dir/display")
export DISPLAY
win() { LC_ALL=zh_TW.UTF-8 wine "$@"; }
winpath() { win winepath -w "$1" 2>/dev/null | tr -d '\r'; }
install_dir="$WINEPREFIX/drive_c/Program Files/Tessivo"
files="README.md
Vantrel.dll
chromium-org.tessivo.host.json
firefox-org.tessivo.host.json
sdk/examples/vantrel_sign.c
sdk/include/vantrel.h
sdk/lib/libvantrel.dll.a
sdk/lib/vantrel.def
tessivo-host.exe
tessivo-peer.exe
tessivo.exe"
host_keys=('HKLM\Software\Google\Chrome\NativeMessagingHosts\org.tessivo.host'
    'HKLM\Software\Chromium\NativeMessagingHosts\org.tessivo.host'
    'HKLM\Software\Microsoft\Edge\NativeMessagingHosts\org.tessivo.host'
    'HKLM\Software\Mozilla\NativeMessagingHosts\org.tessivo.host')
extension_keys=('HKLM\Software\Wow6432Node\Google\Chrome\Extensions\odjbehelncmcpifhghbpaeabblndacbo'
    'HKLM\Software\Wow6432Node\Microsoft\Edge\Extensions\odjbehelncmcpifhghbpaeabblndacbo')
# The value of a key ("" for the default one), or nothing when it is missing.
reg_value() {
    local name=(/ve)
    [ -z "$2" ] || name=(/v "$2")
    wine reg query "$1" "${name[@]}" 2>/dev/null | tr -d '\r' | sed -n 's/^ .*    REG_[A-Z_]*    //p'
}
installed_products() {
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
        grep -c 'DisplayName *REG_SZ *Tessivo$' || true
}

step "install $version"
win msiexec /i "$(winpath "$work/old.msi")" /qn ADDLOCAL=ALL || fail "msiexec /i old.msi failed"
listed=$(cd "$install_dir" && find . -type f | sed 's|^\./||' | sort)
[ "$listed" = "$files" ] || fail "installed files:"$'\n'"$listed"
for key in "${host_keys[@]}"; do
    manifest=$(reg_value "$key" "")
    case $key in
    *Mozilla*) expected='C:\Program Files\Tessivo\firefox-org.tessivo.host.json' ;;
    *) expected='C:\Program Files\Tessivo\chromium-org.tessivo.host.json' ;;
    esac
    [ "$manifest" = "$expected" ] || fail "$key names \"$manifest\""
    echo "  $key = $manifest"
done
[ "$(reg_value 'HKLM\Software\Tessivo' InstallDir)" = 'C:\Program Files\Tessivo\' ] || fail "no InstallDir"
for key in "${extension_keys[@]}"; do
    [ -z "$(reg_value "$key" update_url)" ] || fail "$key written without an update URL"
done
[ "$(installed_products)" = 1 ] || fail "$(installed_products) Tessivo products registered"

# The host as Chrome finds it: key -> manifest -> program, relative to the manifest's folder.
manifest=$(reg_value "${host_keys[0]}" "")
manifest_unix=$(win winepath -u "$manifest" 2>/dev/null | tr -d '\r')
python3 - "$manifest_unix" "$(grep -o '"allowed_extensions"' "$install_dir/firefox-org.tessivo.host.json")" <<'PY' || fail "the Chromium manifest is wrong"
import json, sys
m = json.load(open(sys.argv[1]))
assert m["name"] == "org.tessivo.host" and m["type"] == "stdio", m
assert m["path"] == "tessivo-host.exe", m
assert m["allowed_origins"] == ["chrome-extension://odjbehelncmcpifhghbpaeabblndacbo/"], m
assert sys.argv[2] == '"allowed_extensions"'
PY
host_exe="$(dirname "$manifest_unix")/$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["path"])' "$manifest_unix")"
# One framed request (a 32-bit little-endian length, then the JSON), the framed reply back.
ask_status() {
    python3 - <<'PY' | win "$host_exe" chrome-extension://odjbehelncmcpifhghbpaeabblndacbo/ >"$work/reply.bin"
import struct, sys
body = b'{"version": 1, "id": "s1", "command": "status"}'
sys.stdout.buffer.write(struct.pack("<I", len(body)) + body)
PY
    python3 - "$work/reply.bin" <<'PY'
import json, struct, sys
data = open(sys.argv[1], "rb").read()
(n,) = struct.unpack("<I", data[:4])
reply = json.loads(data[4:4 + n])
assert reply["id"] == "s1" and "result" in reply, reply
print(reply["result"]["hostVersion"], reply["result"]["protocolVersion"])
PY
}
status=$(ask_status) || fail "the installed host does not answer status"
[ "$status" = "$version 1" ] || fail "status: $status"
step "  the host answers status: $status"

step "module choice"
# The test module under other names.
cards="$WINEPREFIX/drive_c/cards"
mkdir -p "$cards"
cp "$test_module" "$cards/configured.dll"
cp "$test_module" "$cards/other.dll"
# The card: the citizen certificate and the encipherment one, each with its key.
for id in SIGN:citizen KEYX:encipher; do
    printf 'object = cert ; %s ; %s\nobject = key ; %s ; %s\n' "${id%%:*}" "$(winpath "$certs/${id#*:}.der")" \
        "${id%%:*}" "$(winpath "$certs/ee.key")"
done >"$cards/card.conf"
export TESSIVO_TESTMODULE_CONFIG='C:\cards\card.conf'
echo "data to sign" >"$work/data.txt"
openssl x509 -inform DER -in "$certs/citizen.der" -pubkey -noout >"$work/citizen.pub"
peer() { win "$install_dir/tessivo-peer.exe" "$@"; }
sign_with() { # sign_with LABEL [peer options...]: signs data.txt and checks the signature
    local label=$1 reader
    shift
    reader=$(peer "$@" --json readers | tr -d '\r' | python3 -c 'import json,sys; print(json.load(sys.stdin)["readers"][0]["description"])') ||
        fail "$label: no reader"
    rm -f "$work/sig.bin"
    echo 1234 | peer "$@" sign "$reader" --mech sha256 --pin-stdin "$(winpath "$work/data.txt")" \
        --raw-signature "$(winpath "$work/sig.bin")" >/dev/null || fail "$label: sign failed"
    openssl dgst -sha256 -verify "$work/citizen.pub" -signature "$work/sig.bin" "$work/data.txt" >/dev/null ||
        fail "$label: the signature does not verify"
    step "  $label: signed and verified"
}
wine reg add 'HKLM\Software\Tessivo' /v Module /t REG_SZ /d 'C:\cards\configured.dll' /f >/dev/null
sign_with "HKLM\\Software\\Tessivo\\Module"
wine reg delete 'HKLM\Software\Tessivo' /v Module /f >/dev/null
# The SDK's C example, built on the installed header and import library, signs through the
# installed Vantrel.dll.
x86_64-w64-mingw32-gcc -std=c11 -Wall -I"$install_dir/sdk/include" "$install_dir/sdk/examples/vantrel_sign.c" \
    "$install_dir/sdk/lib/libvantrel.dll.a" -o "$work/vantrel_sign.exe" || fail "cannot build the example on the SDK"
x86_64-w64-mingw32-objdump -p "$work/vantrel_sign.exe" | grep 'DLL Name: Vantrel.dll' >/dev/null ||
    fail "the example does not import Vantrel.dll"
rm -f "$work/sig.bin"
echo 1234 | WINEPATH='C:\Program Files\Tessivo' win "$work/vantrel_sign.exe" 'C:\cards\other.dll' \
    "$(winpath "$work/data.txt")" "$(winpath "$work/sig.bin")" >/dev/null || fail "the example did not sign"
openssl dgst -sha256 -verify "$work/citizen.pub" -signature "$work/sig.bin" "$work/data.txt" >/dev/null ||
    fail "the example's signature does not verify"
step "  the SDK's C example: signed and verified"
sign_with "--module other.dll" --module 'C:\cards\other.dll'
# Neither chosen nor configured: the default name, which nothing here provides.
! peer readers >/dev/null 2>&1 || fail "readers listed without a module"
unset TESSIVO_TESTMODULE_CONFIG

step "upgrade to $newer"
# Windows keeps the features of the version it replaces (MigrateFeatureStates); Wine's installer
# does not, so the SDK is asked for again.
win msiexec /i "$(winpath "$work/new.msi")" /qn ADDLOCAL=ALL || fail "msiexec /i new.msi failed"
[ "$(installed_products)" = 1 ] || fail "$(installed_products) Tessivo products after the upgrade"
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
    grep -q "DisplayVersion *REG_SZ *$newer$" || fail "the registered version is not $newer"
listed=$(cd "$install_dir" && find . -type f | sed 's|^\./||' | sort)
[ "$listed" = "$files" ] || fail "files after the upgrade:"$'\n'"$listed"
for key in "${extension_keys[@]}"; do
    [ "$(reg_value "$key" update_url)" = "$update_url" ] || fail "$key has no update_url"
    echo "  $key update_url = $update_url"
done
status=$(ask_status) || fail "no status after the upgrade"
[ "$status" = "$version 1" ] || fail "status after the upgrade: $status"

step "uninstall"
win msiexec /x "$(winpath "$work/new.msi")" /qn || fail "msiexec /x failed"
[ ! -e "$install_dir" ] || fail "left behind: $(cd "$install_dir" && find . | tr '\n' ' ')"
# In a fresh prefix the browsers' keys above ours were made by the installer too.
for key in "${host_keys[@]}" "${extension_keys[@]}" 'HKLM\Software\Tessivo' 'HKLM\Software\Google' \
    'HKLM\Software\Chromium' 'HKLM\Software\Microsoft\Edge' 'HKLM\Software\Mozilla' \
    'HKLM\Software\Wow6432Node\Google' 'HKLM\Software\Wow6432Node\Microsoft\Edge'; do
    ! wine reg query "$key" >/dev/null 2>&1 || fail "left behind: $key"
done
[ "$(installed_products)" = 0 ] || fail "still registered after the uninstall"
step "OK"
