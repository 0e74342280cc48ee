#!/usr/bin/env bash
# The Windows zip: made by cpack from the Windows build, it holds the three programs, Vantrel.dll
# with its header and import library, and the README, and every DLL a program imports is either in the zip or one
# that Windows itself provides (the programs carry their C++ runtime and OpenSSL).
# usage: zip_test.sh BUILD-DIR VERSION
set -euo pipefail
build=$1 version=$2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "zip_test: $*" >&2
    exit 1
}

cpack --config "$build/CPackConfig.cmake" -G ZIP -B "$work/cpack" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
zip=$work/cpack/tessivo-$version-win64.zip
[ -f "$zip" ] || fail "no tessivo-$version-win64.zip in $(ls "$work/cpack")"

top=tessivo-$version-win64
listed=$(unzip -Z1 "$zip" | grep -v '/$' | sort)
expected=$(sort <<LIST
$top/bin/Vantrel.dll
$top/bin/tessivo-host.exe
$top/bin/tessivo-peer.exe
$top/bin/tessivo.exe
$top/include/vantrel.h
$top/lib/libvantrel.dll.a
$top/share/doc/tessivo/README.md
LIST
)
[ "$listed" = "$expected" ] || fail "the zip holds:"$'\n'"$listed"

unzip -q "$zip" -d "$work/root"
system=" advapi32.dll bcrypt.dll crypt32.dll gdi32.dll kernel32.dll msvcrt.dll ole32.dll shell32.dll user32.dll ws2_32.dll "
shipped=" $(cd "$work/root/$top/bin" && ls | tr 'A-Z' 'a-z' | tr '\n' ' ') "
for exe in "$work/root/$top"/bin/*.exe "$work/root/$top"/bin/*.dll; do
    for dll in $(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z'); do
        [[ $system == *" $dll "* || $shipped == *" $dll "* ]] ||
            fail "$(basename "$exe") needs $dll, which the zip does not hold"
    done
done
echo "zip_test: $(basename "$zip") OK"
