#!/usr/bin/env bash
# Vantrel.dll exports exactly the library's functions (the names of vantrel.map, 61), tessivo.exe
# forwards each of them to Vantrel.dll, and a program built on the import library imports them
# from Vantrel.dll.
# usage: dll_exports_test.sh OBJDUMP VANTREL-MAP VANTREL-DLL TESSIVO-EXE IMPORTING-EXE
set -euo pipefail
objdump=$1 map=$2 dll=$3 exe=$4 importer=$5
failed=0
fail() {
    echo "FAIL: $*"
    failed=1
}

expected=$(sed -n 's/^ *\([A-Za-z_0-9]*\);$/\1/p' "$map" | sort)
[ "$(wc -l <<<"$expected")" -eq 61 ] || fail "vantrel.map lists $(wc -l <<<"$expected") names, not 61"

# The names of an export table: "[   n] Name" lines of the name pointer table.
exported() { "$objdump" -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] //p' | sort; }

dll_names=$(exported "$dll")
[ "$dll_names" = "$expected" ] ||
    fail "Vantrel.dll exports differ from vantrel.map:"$'\n'"$(diff <(echo "$expected") <(echo "$dll_names") || true)"

exe_names=$(exported "$exe")
[ "$exe_names" = "$expected" ] ||
    fail "tessivo.exe exports differ from vantrel.map:"$'\n'"$(diff <(echo "$expected") <(echo "$exe_names") || true)"
forwards=$("$objdump" -p "$exe" | sed -n 's/.*Forwarder RVA -- //p' | sort)
[ "$forwards" = "$(sed 's/^/Vantrel./' <<<"$expected")" ] || fail "tessivo.exe does not forward every function to Vantrel.dll"

# The program on the import library takes the functions from the DLL, not from a copy of its own.
"$objdump" -p "$importer" | grep 'DLL Name: Vantrel.dll' >/dev/null || fail "$(basename "$importer") does not import Vantrel.dll"
"$objdump" -p "$exe" | grep 'DLL Name: Vantrel.dll' >/dev/null || fail "tessivo.exe does not import Vantrel.dll"
[ $failed -eq 0 ] && echo "dll_exports_test: 61 functions in Vantrel.dll, forwarded by tessivo.exe"
exit $failed
