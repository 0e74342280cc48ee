#!/usr/bin/env bash
# Builds Debian's own OpenSSL 3 source with mingw-w64 as static libraries, once per machine.
# Prints the install prefix on standard output; everything else goes to standard error.
set -euo pipefail

. "$(dirname "$0")/win-source.sh"

# Prefer the version of the installed libssl-dev, so both builds use one OpenSSL; a mirror may
# not serve every listed source version, so fall back to the others, newest first.
installed=$(dpkg-query -W -f='${Version}' libssl-dev)
for prefix in "$cache_root"/openssl-mingw64-*; do
    if [ -f "$prefix/.complete" ] && [ "${prefix##*-mingw64-}" = "$installed" ]; then
        echo "$prefix"
        exit 0
    fi
done

ensure_deb_src
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
versions=$( { echo "$installed"; apt-cache showsrc openssl | sed -n 's/^Version: //p' | sort -rV; } | awk '!seen[$0]++')
version=
for v in $versions; do
    if [ -f "$cache_root/openssl-mingw64-$v/.complete" ]; then
        echo "$cache_root/openssl-mingw64-$v"
        exit 0
    fi
done
for v in $versions; do
    prefix="$cache_root/openssl-mingw64-$v"
    log "fetching Debian's openssl $v source"
    if (cd "$work" && apt-get source -qq "openssl=$v" >"$work/source.log" 2>&1); then
        version=$v
        break
    fi
    rm -rf "${work:?}"/*
done
[ -n "$version" ] || { cat "$work/source.log" >&2 2>/dev/null; log "no openssl source could be fetched"; exit 1; }
src=$(find "$work" -maxdepth 1 -mindepth 1 -type d -name 'openssl-*' | head -n 1)

log "building with mingw-w64 (about a minute and a half)"
mkdir -p "$cache_root"
rm -rf "$prefix"
(
    cd "$src"
    ./Configure mingw64 no-shared no-tests --cross-compile-prefix=x86_64-w64-mingw32- \
        --prefix="$prefix" --libdir=lib >"$work/build.log" 2>&1
    make -j"$(nproc)" build_libs >>"$work/build.log" 2>&1
    make install_dev >>"$work/build.log" 2>&1
) || { tail -n 40 "$work/build.log" >&2; exit 1; }
touch "$prefix/.complete"
echo "$prefix"
