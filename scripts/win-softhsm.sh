#!/usr/bin/env bash
# Builds SoftHSM2 for Windows (upstream source from Debian's archive, mingw-w64, the cached
# mingw OpenSSL), once per machine. Prints the install prefix (bin/softhsm2.dll,
# bin/softhsm2-util.exe) on standard output; everything else goes to standard error.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/win-source.sh"
# --cached: only the folder of a finished build, if there is one (nothing is built).
answer_cached softhsm2 "$@"

ssl=$("$here/win-openssl.sh")
prefix="$cache_root/softhsm2-mingw64-2.6.1-${ssl##*-mingw64-}"
if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Only the upstream tarball is needed (the Debian part is packaging), and a mirror may not
# serve the Debian part: take the orig tarball even when apt-get reports the rest missing.
fetch_debian_source softhsm2 "$work" || true
tarball=$(find "$work" -maxdepth 1 -name 'softhsm2_*.orig.tar.gz' | head -n 1)
[ -n "$tarball" ] || { cat "$work/source.log" >&2 2>/dev/null; log "no softhsm2 source could be fetched"; exit 1; }
tar -xzf "$tarball" -C "$work"
src=$(find "$work" -maxdepth 1 -mindepth 1 -type d -name 'softhsm2-*' | head -n 1)

# The log needs the syslog and setenv stand-ins SoftHSM2 carries for Windows.
sed -i 's/^set(SOURCES Configuration.cpp/set(SOURCES Configuration.cpp ..\/win32\/syslog.cpp ..\/win32\/setenv.cpp/' \
    "$src/src/lib/common/CMakeLists.txt"
cat >"$work/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 $ssl)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
set(CMAKE_CXX_FLAGS_INIT "-I$src/src/lib/win32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# The configure checks link the static OpenSSL too: they need the same system libraries.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CMAKE_C_STANDARD_LIBRARIES CMAKE_CXX_STANDARD_LIBRARIES)
EOF

# The configure checks run small programs under Wine, in a prefix of their own.
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
log "building with mingw-w64 (a few minutes, once per machine)"
system_libs="-lpthread -lws2_32 -lcrypt32 -ladvapi32 -luser32"
mkdir -p "$cache_root"
rm -rf "$prefix"
(
    cmake -S "$src" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_TESTS=OFF \
        -DENABLE_GOST=OFF -DENABLE_P11_KIT=OFF -DDISABLE_NON_PAGED_MEMORY=ON \
        -DOPENSSL_ROOT_DIR="$ssl" -DOPENSSL_USE_STATIC_LIBS=ON \
        -DCMAKE_C_STANDARD_LIBRARIES="$system_libs" -DCMAKE_CXX_STANDARD_LIBRARIES="$system_libs" &&
        nice cmake --build "$work/build" -j"$(nproc)" --target softhsm2 softhsm2-util &&
        mkdir -p "$prefix/bin" &&
        cp "$work"/build/src/lib/*softhsm2.dll "$prefix/bin/softhsm2.dll" &&
        cp "$work/build/src/bin/util/softhsm2-util.exe" "$prefix/bin/"
) >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log" >&2; exit 1; }
x86_64-w64-mingw32-strip "$prefix/bin/"*
touch "$prefix/.complete"
echo "$prefix"
