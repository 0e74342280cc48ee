# Debian source packages for the Windows builds of third-party software, and the cache the
# builds go to. Sourced, not run.

cache_root=${TESSIVO_CACHE:-/var/cache/tessivo}
log() { echo "$(basename "$0" .sh): $*" >&2; }

# With --cached as the script's first argument: prints the folder of a finished build of NAME
# (the last by name, if there are several) and ends the script, with status 1 when there is
# none; no build is started. Otherwise nothing.
# usage: answer_cached NAME "$@"
answer_cached() {
    local name=$1 found= prefix
    [ "${2:-}" = --cached ] || return 0
    for prefix in "$cache_root/$name"-mingw64-*; do
        [ -f "$prefix/.complete" ] && found=$prefix
    done
    [ -n "$found" ] && echo "$found"
    exit $?
}

# Adds deb-src entries beside the deb ones when apt knows no source packages yet.
ensure_deb_src() {
    if [ -n "$(apt-cache showsrc openssl 2>/dev/null | sed -n '/^Package: openssl$/p')" ]; then
        return
    fi
    log "adding deb-src entries"
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed -i 's/^Types: deb$/Types: deb deb-src/' /etc/apt/sources.list.d/debian.sources
    fi
    if [ -f /etc/apt/sources.list ] && grep -q '^deb ' /etc/apt/sources.list; then
        grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' >/etc/apt/sources.list.d/tessivo-src.list
    fi
    apt-get update -qq >/dev/null
}

# fetch_debian_source PACKAGE DIR: the newest version of PACKAGE's source a mirror serves,
# unpacked into DIR (apt-get's messages in DIR/source.log). A mirror may not serve every listed
# version, so older ones are tried in turn. Fails when none could be fetched, but leaves what
# was fetched of the last one in DIR.
fetch_debian_source() {
    local package=$1 dir=$2 v
    ensure_deb_src
    for v in $(apt-cache showsrc "$package" | sed -n 's/^Version: //p' | sort -rV | awk '!seen[$0]++'); do
        log "fetching Debian's $package $v source"
        if (cd "$dir" && apt-get source -qq "$package=$v" >"$dir/source.log" 2>&1); then
            return 0
        fi
        find "$dir" -mindepth 1 -maxdepth 1 ! -name source.log ! -name '*.orig.tar.*' -exec rm -rf {} +
    done
    return 1
}
