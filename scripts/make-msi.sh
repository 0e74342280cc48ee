#!/usr/bin/env bash
# Makes the Windows installer (an MSI, with wixl) from a Windows build tree.
#
# usage: make-msi.sh BUILD-DIR OUTPUT.msi [--version X.Y.Z] [--update-url URL] [--sign]
#   --version     the product version (default: the build's project version)
#   --update-url  offer the extension to Chrome and Edge from this update URL (their external
#                 extension keys); without it the installer writes no extension keys
#   --sign        sign the programs, Vantrel.dll and the MSI (scripts/sign-release.sh, with its
#                 TESSIVO_SIGN_* settings)
# The programs are stripped (their debug information stays in the build tree) and, with --sign,
# signed before they go into the MSI.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
build=$(cd "${1:?build directory}" && pwd)
output=${2:?output .msi}
shift 2
version="" update_url=none sign=no
while [ $# -gt 0 ]; do
    case $1 in
    --version) version=${2:?}; shift 2 ;;
    --update-url) update_url=${2:?}; shift 2 ;;
    --sign) sign=yes; shift ;;
    *) echo "make-msi.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
[ -n "$version" ] || version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "make-msi.sh: not a version: $version" >&2; exit 2; }
command -v wixl >/dev/null || { echo "make-msi.sh: wixl (Debian package wixl) is not installed" >&2; exit 1; }

# The names the browsers match, as the host itself writes them.
constant() { sed -n "s/.*constexpr const char\* $1 = \"\([^\"]*\)\";.*/\1/p" "$root/host/Install.h"; }
host_name=$(constant kHostName)
extension_id=$(constant kExtensionId)
# Firefox knows the extension by the id its own manifest declares.
firefox_id=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["browser_specific_settings"]["gecko"]["id"])' \
    "$root/web/extension/manifest.json")
[ -n "$host_name" ] && [ -n "$extension_id" ] && [ -n "$firefox_id" ] ||
    { echo "make-msi.sh: cannot read the host's names from host/Install.h and the extension's manifest" >&2; exit 1; }

stage=$(mktemp -d "${TMPDIR:-/tmp}/tessivo-msi-XXXXXX")
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/sdk/include" "$stage/sdk/lib" "$stage/sdk/examples"
for program in tessivo.exe tessivo-peer.exe tessivo-host.exe Vantrel.dll; do
    x86_64-w64-mingw32-strip -o "$stage/$program" "$build/bin/$program"
done
cp "$root/README.md" "$stage/"
cp "$root/include/vantrel.h" "$stage/sdk/include/"
cp "$build/lib/libvantrel.dll.a" "$build/token/vantrel.def" "$stage/sdk/lib/"
cp "$root/examples/vantrel_sign.c" "$stage/sdk/examples/"

# The host manifests name the host relative to their own folder (the install folder), which
# Chrome, Edge and Firefox accept on Windows: the registry keys carry the installed path.
manifest() { # manifest ALLOWED-KEY ALLOWED-VALUE
    printf '{\n  "name": "%s",\n  "description": "Tessivo: signing with the smart card from web pages",\n  "path": "tessivo-host.exe",\n  "type": "stdio",\n  "%s": [\n    "%s"\n  ]\n}\n' \
        "$host_name" "$1" "$2"
}
manifest allowed_origins "chrome-extension://$extension_id/" >"$stage/chromium-$host_name.json"
manifest allowed_extensions "$firefox_id" >"$stage/firefox-$host_name.json"

if [ $sign = yes ]; then
    "$here/sign-release.sh" "$stage"/*.exe "$stage"/*.dll >/dev/null
fi
mkdir -p "$(dirname "$output")"
output=$(cd "$(dirname "$output")" && pwd)/$(basename "$output")
# wixl takes the sources relative to the folder it runs in.
(cd "$stage" && wixl -a x64 -D Version="$version" -D Stage=. -D UpdateUrl="$update_url" \
    -D ExtensionId="$extension_id" -D HostName="$host_name" -o "$output" "$root/installer/tessivo.wxs")
if [ $sign = yes ]; then
    "$here/sign-release.sh" "$output" >/dev/null
fi
echo "made $output"
