#!/usr/bin/env bash
# The Debian packages as a distribution gets them: built by dpkg-buildpackage from a copy of the
# source tree, checked by lintian (no error, no warning), installed with dpkg into a temporary
# root and used from there with nothing of the build tree (versions, a signature on a SoftHSM2
# token made by the installed programs, the C example built with pkg-config and run on the same
# token, the browsers' host manifests), then purged: nothing of ours may be left.
# usage: package_test.sh BUILD-DIR SOURCE-DIR VERSION SOFTHSM-MODULE
set -euo pipefail
build=$1 source=$2 version=$3
export DEMO_MODULE=$4

# A fixed place per build tree, so that ccache finds the last build's objects again.
work=$build/debian-package
rm -rf "$work"
mkdir -p "$work/src"
# Every agent started here uses a private channel directory of this test's own (on tmpfs).
run=$(mktemp -d /dev/shm/tessivo-package-XXXXXX)
trap 'rm -rf "$run"' EXIT
export TESSIVO_RUNTIME_DIR=$run
fail() {
    echo "package_test: $*" >&2
    exit 1
}

# The checkout as it stands (uncommitted changes included), without any build tree.
if git -C "$source" rev-parse --git-dir >/dev/null 2>&1; then
    (cd "$source" && git ls-files -z --cached --others --exclude-standard |
        tar --null -T - --ignore-failed-read -cf -) | tar -xf - -C "$work/src"
else
    tar -C "$source" --exclude=./build -cf - . | tar -xf - -C "$work/src"
fi
if command -v ccache >/dev/null; then
    export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=$work
fi
(cd "$work/src" && dpkg-buildpackage -b -us -uc -j"$(nproc)") >"$work/build.log" 2>&1 ||
    { tail -n 60 "$work/build.log" >&2; fail "dpkg-buildpackage failed (log: $work/build.log)"; }
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
debs=()
for package in tessivo libvantrel1 libvantrel-dev; do
    deb=$work/${package}_${version}_$arch.deb
    [ -f "$deb" ] || fail "no $(basename "$deb") among: $(ls "$work")"
    debs+=("$deb")
done

# Policy: lintian finds nothing to report at error or warning level.
if ! lintian --fail-on error,warning "${debs[@]}" >"$work/lintian.log" 2>&1; then
    cat "$work/lintian.log" >&2
    fail "lintian reports the above"
fi
cat "$work/lintian.log"

# What each package holds (directories left out).
contents() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort; }
expect_contents() {
    local got
    got=$(contents "$1" | grep -v '^usr/share/doc/libvantrel-dev/html/' || true)
    [ "$got" = "$(sort)" ] || fail "$(basename "$1") holds:"$'\n'"$got"
}
expect_contents "${debs[0]}" <<LIST
etc/chromium/native-messaging-hosts/org.tessivo.host.json
etc/opt/chrome/native-messaging-hosts/org.tessivo.host.json
usr/bin/tessivo
usr/bin/tessivo-host
usr/bin/tessivo-peer
usr/lib/mozilla/native-messaging-hosts/org.tessivo.host.json
usr/share/bash-completion/completions/tessivo-peer
usr/share/doc/tessivo/README.md.gz
usr/share/doc/tessivo/changelog.gz
usr/share/doc/tessivo/copyright
usr/share/lintian/overrides/tessivo
usr/share/locale/zh_TW/LC_MESSAGES/tessivo-peer.mo
usr/share/man/man1/tessivo-host.1.gz
usr/share/man/man1/tessivo-peer.1.gz
usr/share/man/man1/tessivo.1.gz
usr/share/tessivo/native-messaging-hosts/org.tessivo.host.json
LIST
expect_contents "${debs[1]}" <<LIST
usr/lib/$multiarch/libvantrel.so.1
usr/lib/$multiarch/libvantrel.so.$version
usr/share/doc/libvantrel1/changelog.gz
usr/share/doc/libvantrel1/copyright
LIST
expect_contents "${debs[2]}" <<LIST
usr/include/vantrel.h
usr/lib/$multiarch/libvantrel.so
usr/lib/$multiarch/pkgconfig/vantrel.pc
usr/share/doc-base/libvantrel-dev.libvantrel-dev
usr/share/doc/libvantrel-dev/changelog.gz
usr/share/doc/libvantrel-dev/copyright
usr/share/doc/libvantrel-dev/examples/vantrel_sign.c
LIST
contents "${debs[2]}" | grep -qx 'usr/share/doc/libvantrel-dev/html/index.html' ||
    fail "libvantrel-dev has no HTML reference"

# Installed with dpkg into a root of our own, as a user would install them.
root=$work/root
admin=$root/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates"
touch "$admin/status"
dpkg_root() {
    dpkg --root="$root" --log=/dev/null --force-not-root --force-script-chrootless \
        --force-depends "$@" >>"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log" >&2; fail "dpkg $*"; }
}
dpkg_root -i "${debs[@]}"
bin=$root/usr/bin
lib=$root/usr/lib/$multiarch
export LD_LIBRARY_PATH=$lib

for program in tessivo tessivo-peer tessivo-host; do
    got=$("$bin/$program" --version) || fail "$program --version failed"
    [ "$got" = "$program $version" ] || fail "$program --version printed \"$got\""
done
loaded=$(ldd "$bin/tessivo" | awk '$1 == "libvantrel.so.1" { print $3 }')
[ -n "$loaded" ] && [ "$(realpath "$loaded")" = "$(realpath "$lib/libvantrel.so.1")" ] ||
    fail "tessivo loads libvantrel.so.1 from \"$loaded\", not from $lib"

# The browsers' manifests name the installed host and the extension's ids.
for manifest in etc/chromium etc/opt/chrome usr/lib/mozilla; do
    file=$root/$manifest/native-messaging-hosts/org.tessivo.host.json
    python3 - "$file" "$manifest" "$root" <<'PY' || fail "$file is not the host's manifest"
import json, os, sys
path = sys.argv[1]
if os.path.islink(path):  # a link names its target as installed, outside the temporary root
    path = sys.argv[3] + os.readlink(path)
m = json.load(open(path))
assert m["name"] == "org.tessivo.host" and m["type"] == "stdio", m
assert m["path"] == "/usr/bin/tessivo-host", m
if sys.argv[2] == "usr/lib/mozilla":
    assert len(m["allowed_extensions"]) == 1 and "@" in m["allowed_extensions"][0], m
else:
    o = m["allowed_origins"]
    assert len(o) == 1 and o[0].startswith("chrome-extension://") and o[0].endswith("/"), m
PY
done

# One road with the installed programs: the peer starts the agent beside it.
"$source/tests/fixtures/demo_token.sh" "$work/token" >"$work/token.log" 2>&1 ||
    { cat "$work/token.log" >&2; fail "cannot make the SoftHSM2 token"; }
. "$work/token/demo.env"
head -c 100000 /dev/urandom >"$work/data"
"$bin/tessivo-peer" --module "$DEMO_MODULE" sign "$DEMO_READER" --pin-stdin --raw-signature \
    "$work/data.sig" "$work/data" <<<"$DEMO_PIN" >/dev/null || fail "tessivo-peer sign failed"
openssl dgst -sha256 -verify "$DEMO_SIGN_PUB" -signature "$work/data.sig" "$work/data" \
    >/dev/null || fail "openssl does not verify the agent's signature"

# The installed example, built as C11 from the installed header and pkg-config file, signs too.
export PKG_CONFIG_PATH=$lib/pkgconfig
flags=$(pkg-config --cflags --libs vantrel) || fail "pkg-config does not know vantrel"
[ "$(pkg-config --modversion vantrel)" = "$version" ] || fail "vantrel.pc has the wrong version"
cc -std=c11 -Wall -Wextra -pedantic -Werror \
    "$root/usr/share/doc/libvantrel-dev/examples/vantrel_sign.c" $flags -o "$work/vantrel_sign" ||
    fail "cannot build the example with: $flags"
"$work/vantrel_sign" "$DEMO_MODULE" "$work/data" "$work/example.sig" "$DEMO_READER" \
    <<<"$DEMO_PIN" >"$work/example.out" || fail "the example failed: $(cat "$work/example.out")"
grep -qF "$DEMO_READER" "$work/example.out" || fail "the example did not list the reader"
openssl dgst -sha256 -verify "$DEMO_SIGN_PUB" -signature "$work/example.sig" "$work/data" \
    >/dev/null || fail "openssl does not verify the example's signature"
# C++ sees the same header, the two C++-named functions included.
cat >"$work/uses_vantrel.cpp" <<'CPP'
#include <vantrel.h>
int main() {
    PKCS11 p11{};
    void* cert = nullptr;
    return GetCertByKU(&p11, &cert, 0x80) == BASIC_MODULE_NOT_LOADED ? 0 : 1;
}
CPP
c++ -std=c++17 -Wall -Wextra -Werror "$work/uses_vantrel.cpp" $flags -o "$work/uses_vantrel" &&
    "$work/uses_vantrel" || fail "a C++ program cannot use the installed header and library"

# Removed (not yet purged), the package leaves no browser a manifest naming a host that is gone.
dpkg_root --remove tessivo
left=$(cd "$root" && find . -name org.tessivo.host.json)
[ -z "$left" ] || fail "removing tessivo left:"$'\n'"$left"
# Purged, the packages leave nothing behind: no file, no empty folder.
dpkg_root --purge tessivo libvantrel-dev libvantrel1
left=$(cd "$root" && find . -mindepth 1 | grep -v -e '^\./var/lib/dpkg' -e '^\./var$' -e '^\./var/lib$' || true)
[ -z "$left" ] || fail "purging left:"$'\n'"$left"
echo "package_test: $(cd "$work" && echo *.deb) OK"
