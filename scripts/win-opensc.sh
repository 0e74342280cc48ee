#!/usr/bin/env bash
# Builds OpenSC for Windows (Debian's source with Debian's patches, mingw-w64, the cached mingw
# OpenSSL linked in statically), once per machine. Prints the install prefix
# (bin/opensc-pkcs11.dll, bin/pkcs11-tool.exe, bin/opensc-tool.exe) on standard output;
# everything else goes to standard error.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/win-source.sh"
# --cached: only the folder of a finished build, if there is one (nothing is built).
answer_cached opensc "$@"

ssl=$("$here/win-openssl.sh")
for prefix in "$cache_root"/opensc-mingw64-*; do
    if [ -f "$prefix/.complete" ] && [ "${prefix##*+openssl-}" = "${ssl##*-mingw64-}" ]; then
        echo "$prefix"
        exit 0
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fetch_debian_source opensc "$work" || { cat "$work/source.log" >&2; log "no opensc source could be fetched"; exit 1; }
src=$(find "$work" -maxdepth 1 -mindepth 1 -type d -name 'opensc-*' | head -n 1)
version=$(sed -n '1s/^opensc (\([^)]*\)).*/\1/p' "$src/debian/changelog")
prefix="$cache_root/opensc-mingw64-$version+openssl-${ssl##*-mingw64-}"

log "building with mingw-w64 (a few minutes, once per machine)"
mkdir -p "$cache_root"
rm -rf "$prefix"
# pass_all: libtool would otherwise refuse to link the static OpenSSL into the DLL.
(
    cd "$src" &&
        autoreconf -fi &&
        ./configure --host=x86_64-w64-mingw32 --prefix="$prefix" \
            --disable-doc --disable-man --disable-notify --disable-readline --disable-zlib \
            --disable-openpace --disable-cmocka --disable-minidriver --disable-dnie-ui \
            --disable-strict --enable-pcsc --enable-openssl \
            OPENSSL_CFLAGS="-I$ssl/include" \
            OPENSSL_LIBS="-L$ssl/lib -lcrypto -lws2_32 -lcrypt32 -lgdi32 -ladvapi32 -luser32" \
            LDFLAGS="-static-libgcc" lt_cv_deplibs_check_method=pass_all &&
        nice make -j"$(nproc)" &&
        mkdir -p "$prefix/bin" &&
        cp src/pkcs11/.libs/opensc-pkcs11.dll src/tools/.libs/pkcs11-tool.exe \
            src/tools/.libs/opensc-tool.exe "$prefix/bin/" &&
        # The tools use OpenSC's own library as a DLL.
        { cp src/libopensc/.libs/libopensc-*.dll "$prefix/bin/" 2>/dev/null || true; }
) >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log" >&2; exit 1; }
[ -f "$prefix/bin/opensc-pkcs11.dll" ] || { tail -n 40 "$work/build.log" >&2; exit 1; }
x86_64-w64-mingw32-strip "$prefix/bin/"*
touch "$prefix/.complete"
echo "$prefix"
