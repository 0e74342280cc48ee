#!/usr/bin/env bash
# The .deb as a user gets it: made by cpack, unpacked into a temporary root, and used from there
# with nothing of the build tree: the programs' versions, the reader list and a signature on a
# SoftHSM2 token checked with openssl, and a program built against libvantrel with pkg-config.
# usage: package_test.sh BUILD-DIR SOURCE-DIR VERSION
set -euo pipefail
build=$1 source=$2 version=$3

work=$(mktemp -d)
# Every agent started here, even one asked only for its version, uses a private channel
# directory of this test's own (on tmpfs, as the channels require).
run=$(mktemp -d /dev/shm/tessivo-package-XXXXXX)
trap 'rm -rf "$work" "$run"' EXIT
export TESSIVO_RUNTIME_DIR=$run
fail() {
    echo "package_test: $*" >&2
    exit 1
}

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/cpack" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb=("$work"/cpack/tessivo_"$version"_*.deb)
[ -f "${deb[0]}" ] || fail "no tessivo_${version} .deb in $(ls "$work/cpack")"
root=$work/root
dpkg-deb -x "${deb[0]}" "$root"
bin=$root/usr/bin
lib=$root/usr/lib

# Only what a user needs: no test module, test program or fixture rides along.
installed=$(cd "$root" && find . ! -type d | sed 's|^\./||' | sort)
expected=$(sort <<'LIST'
usr/bin/tessivo
usr/bin/tessivo-host
usr/bin/tessivo-peer
usr/include/vantrel.h
usr/lib/libvantrel.so
usr/lib/libvantrel.so.1
usr/lib/libvantrel.so.1.0.0
usr/lib/pkgconfig/vantrel.pc
usr/share/bash-completion/completions/tessivo-peer
usr/share/doc/tessivo/README.md
usr/share/man/man1/tessivo-host.1
usr/share/man/man1/tessivo-peer.1
usr/share/man/man1/tessivo.1
LIST
)
[ "$installed" = "$expected" ] || fail "the package holds:"$'\n'"$installed"

for program in tessivo tessivo-peer tessivo-host; do
    got=$("$bin/$program" --version) || fail "$program --version failed"
    [ "$got" = "$program $version" ] || fail "$program --version printed \"$got\""
done
# The unpacked agent uses the unpacked library, not one of the build tree or the system.
loaded=$(ldd "$bin/tessivo" | awk '$1 == "libvantrel.so.1" { print $3 }')
[ -n "$loaded" ] && [ "$(realpath "$loaded")" = "$(realpath "$lib/libvantrel.so.1")" ] ||
    fail "tessivo loads libvantrel.so.1 from \"$loaded\", not from $lib"

# One road with the unpacked programs: the peer starts the agent beside it.
"$source/tests/fixtures/demo_token.sh" "$work/token" >"$work/token.log" 2>&1 ||
    { cat "$work/token.log" >&2; fail "cannot make the SoftHSM2 token"; }
. "$work/token/demo.env"
peer() { "$bin/tessivo-peer" --module "$DEMO_MODULE" "$@"; }
readers=$(peer readers) || fail "readers failed"
grep -qF "$DEMO_READER"$'\t' <<<"$readers" || fail "readers did not list \"$DEMO_READER\": $readers"
head -c 100000 /dev/urandom >"$work/data"
peer sign "$DEMO_READER" --pin-stdin --raw-signature "$work/data.sig" "$work/data" \
    <<<"$DEMO_PIN" >/dev/null || fail "sign failed"
openssl dgst -sha256 -verify "$DEMO_SIGN_PUB" -signature "$work/data.sig" "$work/data" \
    >/dev/null || fail "openssl does not verify the signature"

# The library's header and pkg-config file from the unpacked root are enough to use it.
export PKG_CONFIG_PATH=$lib/pkgconfig
flags=$(pkg-config --cflags --libs vantrel) || fail "pkg-config does not know vantrel"
[ "$(pkg-config --modversion vantrel)" = "$version" ] || fail "vantrel.pc has the wrong version"
cat >"$work/uses_vantrel.cpp" <<'CPP'
#include <cstdio>
#include <vantrel.h>
int main(int argc, char** argv) {
    PKCS11 p11{};
    char text[128];
    std::uint32_t length = sizeof text;
    if (argc != 2 || InitLibrary(argv[1], &p11) != OK || GetLibraryDesc(&p11, text, &length) != OK)
        return 1;
    std::puts(text);
    return CloseLibrary(&p11) == OK ? 0 : 1;
}
CPP
c++ -std=c++17 "$work/uses_vantrel.cpp" $flags -o "$work/uses_vantrel" ||
    fail "cannot build a program with: $flags"
desc=$(LD_LIBRARY_PATH=$lib "$work/uses_vantrel" "$DEMO_MODULE") || fail "libvantrel cannot load $DEMO_MODULE"
want=$(pkcs11-tool --module "$DEMO_MODULE" -I 2>/dev/null | sed -n 's/^Library  *//p')
[ -n "$desc" ] && [[ $want == "$desc ("* ]] ||
    fail "the library describes the module as \"$desc\", pkcs11-tool as \"$want\""
echo "package_test: $(basename "${deb[0]}") OK"
