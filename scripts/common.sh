# Shared by test.sh and demo.sh: packages, the OpenSSL cache for Windows, configure and build.
# Sourced, not run.

TESSIVO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
TESSIVO_PACKAGES=(cmake make g++ pkg-config libssl-dev libp11-kit-dev p11-kit-modules libgtest-dev libgmock-dev
    libbenchmark-dev softhsm2 opensc openssl g++-mingw-w64-x86-64 wine wine64 xvfb xauth
    nlohmann-json3-dev libcli11-dev dpkg-dev clang-format clang-tidy binutils clang libclang-rt-14-dev
    pcscd vsmartcard-vpcd opensc-pkcs11 python3-cryptography man-db groff-base unzip
    chromium chromium-driver python3-selenium fonts-wqy-microhei autoconf automake libtool
    wine64-tools firefox-esr nodejs npm debhelper lintian doxygen wixl msitools osslsigncode gettext)
# What configuring the Linux tree and running the demo need, without the Windows and browser tools.
TESSIVO_DEMO_PACKAGES=(cmake make g++ pkg-config libssl-dev libp11-kit-dev libgtest-dev libgmock-dev
    libbenchmark-dev nlohmann-json3-dev libcli11-dev softhsm2 opensc openssl)

say() { echo "$(basename "$0"): $*"; }

# Like quietly, but says every few seconds how far the command has got (the latest build step or
# package being set up), for the long steps a user sits through.
narrated() {
    local log=$1
    shift
    mkdir -p "$(dirname "$log")"
    "$@" >"$log" 2>&1 &
    local pid=$! said="" latest i status=0
    while kill -0 "$pid" 2>/dev/null; do
        for ((i = 0; i < 10; i++)); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 1
        done
        latest=$(grep -aE '^\[ *[0-9]+%\]|^(Setting up|Unpacking|Get:[0-9]+) ' "$log" | tail -n 1 | cut -c1-100)
        if [ -n "$latest" ] && [ "$latest" != "$said" ]; then
            echo "    $latest"
            said=$latest
        fi
    done
    wait "$pid" || status=$?
    if [ $status -ne 0 ]; then
        say "failed: $*" >&2
        tail -n 60 "$log" >&2
        return 1
    fi
}

# Runs a command with its output in a log file; shows the log's end only when it fails.
quietly() {
    local log=$1
    shift
    mkdir -p "$(dirname "$log")"
    if ! "$@" >"$log" 2>&1; then
        say "failed: $*" >&2
        tail -n 60 "$log" >&2
        return 1
    fi
}

# install_packages [PACKAGE...]: the given ones, by default every package the builds and tests use.
install_packages() {
    local missing=() p wanted=("$@")
    [ ${#wanted[@]} -gt 0 ] || wanted=("${TESSIVO_PACKAGES[@]}")
    for p in "${wanted[@]}"; do
        # A machine may have Node.js with its own npm from elsewhere; Debian's npm conflicts with
        # that nodejs, and either serves the browser tests.
        case $p in nodejs | npm) command -v npm >/dev/null && continue ;; esac
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Run this first (as root), then run $(basename "$0") again:"
        echo "  apt-get update && apt-get install -y ${missing[*]}"
        exit 1
    fi
    say "installing ${missing[*]} (log: /tmp/tessivo-apt.log)"
    export DEBIAN_FRONTEND=noninteractive
    narrated /tmp/tessivo-apt.log bash -c "apt-get update -q && apt-get install -y -q ${missing[*]}"
}

# The second local user of the test that shows one user's channels and windows are out of another
# user's reach. Made once, only as root, without a home or login shell.
TESSIVO_OTHER_USER=tessivo-other
ensure_other_user() {
    id -u "$TESSIVO_OTHER_USER" >/dev/null 2>&1 && return 0
    if [ "$(id -u)" -ne 0 ]; then
        say "not root: the test as a second local user ($TESSIVO_OTHER_USER) will be skipped"
        return 0
    fi
    say "creating the local user $TESSIVO_OTHER_USER for the second-user test"
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin \
        --user-group "$TESSIVO_OTHER_USER"
}

# Configures one tree, once. configure_tree NAME [cmake options...]
configure_tree() {
    local name=$1
    shift
    local dir="$TESSIVO_ROOT/build/$name"
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        say "configuring $name"
        quietly "$TESSIVO_ROOT/build/logs/$name-configure.log" \
            cmake -S "$TESSIVO_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    fi
}

# Builds one configured tree: the given targets, or everything. build_tree NAME [TARGET...]
build_tree() {
    local name=$1
    shift
    local targets=()
    [ $# -eq 0 ] || targets=(--target "$@")
    say "building $name${*:+ ($*)} (log: build/logs/$name-build.log)"
    narrated "$TESSIVO_ROOT/build/logs/$name-build.log" \
        cmake --build "$TESSIVO_ROOT/build/$name" -j "$(nproc)" "${targets[@]}"
}

# Configures (once) and builds one tree. configure_and_build NAME [cmake options...]
configure_and_build() {
    configure_tree "$@"
    build_tree "$1"
}

build_linux() { configure_and_build linux; }

build_asan() { configure_and_build linux-asan -DTESSIVO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug; }

build_win64() {
    local ssl
    say "preparing OpenSSL for Windows"
    ssl=$("$TESSIVO_ROOT/scripts/win-openssl.sh")
    TESSIVO_WIN_OPENSSL=$ssl configure_and_build win64 \
        -DCMAKE_TOOLCHAIN_FILE="$TESSIVO_ROOT/cmake/mingw-w64-x86_64.cmake" \
        -DOPENSSL_ROOT_DIR="$ssl" -DOPENSSL_USE_STATIC_LIBS=ON -DTESSIVO_BENCH=OFF
    # Third-party PKCS#11 modules for the Windows roads: built once per machine, then cached.
    say "preparing SoftHSM2 and OpenSC for Windows (minutes, the first time on a machine only)"
    "$TESSIVO_ROOT/scripts/win-softhsm.sh" >/dev/null
    "$TESSIVO_ROOT/scripts/win-opensc.sh" >/dev/null
}

# The build directory of a build name: linux, asan (build/linux-asan) or win64.
build_dir_name() {
    case $1 in
    asan) echo linux-asan ;;
    *) echo "$1" ;;
    esac
}
