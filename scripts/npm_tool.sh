# Installs an npm package on first use into a cache folder outside the tree
# (TESSIVO_TOOLS_CACHE, default ~/.cache/tessivo), one install at a time, into a temporary folder
# moved into place whole (so a broken install is never taken for a finished one). Sourced.
#
# npm_tool NAME VERSION MARKER: sets npm_tool_dir to the package's install folder once MARKER (a
# path inside it) is there; returns 1 when npm is missing or the install fails.
npm_tool() {
    local name=$1 version=$2 marker=$3
    local cache=${TESSIVO_TOOLS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tessivo}
    npm_tool_dir=$cache/$name-$version
    [ -e "$npm_tool_dir/$marker" ] && return 0
    command -v npm >/dev/null || { echo "npm is not installed" >&2; return 1; }
    mkdir -p "$cache"
    (
        flock 9
        [ -e "$npm_tool_dir/$marker" ] && exit 0
        echo "installing $name $version into $npm_tool_dir" >&2
        partial=$(mktemp -d "$npm_tool_dir.partial.XXXXXX")
        if ! npm install --prefix "$partial" --no-audit --no-fund --loglevel=error \
            "$name@$version" >"$partial.log" 2>&1; then
            cat "$partial.log" >&2
            rm -rf "$partial" "$partial.log"
            exit 1
        fi
        rm -f "$partial.log"
        mv "$partial" "$npm_tool_dir"
    ) 9>"$npm_tool_dir.lock"
}
