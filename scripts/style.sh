#!/usr/bin/env bash
# Checks the C++ style of the tree: clang-format on every tracked .cpp and .h file, then
# clang-tidy (.clang-tidy: the naming check and a few bugprone and performance checks) on every
# source of a Linux build tree. Exits non-zero on any finding and lists it.
#
# usage: scripts/style.sh [--fix] [BUILD_DIR]
#   BUILD_DIR  a Linux tree with compile_commands.json (default build/linux; the top CMakeLists
#              exports it). Sources it does not build (the Windows-only units) are not tidied.
#   --fix      rewrites the files with clang-format instead of checking them; clang-tidy's
#              findings are still only listed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
fix=no
if [ "${1:-}" = --fix ]; then
    fix=yes
    shift
fi
build=${1:-$root/build/linux}
cd "$root"
status=0

mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ $fix = yes ]; then
    clang-format -i "${files[@]}"
elif ! clang-format --dry-run --Werror "${files[@]}"; then
    echo "style: clang-format differs (scripts/style.sh --fix rewrites the files)" >&2
    status=1
fi

if [ ! -f "$build/compile_commands.json" ]; then
    echo "style: $build/compile_commands.json is missing: configure a Linux tree first" >&2
    exit 1
fi
# The tree's own sources as the build compiles them (not the generated ones under build/).
mapfile -t sources < <(python3 - "$build/compile_commands.json" "$root" <<'PY'
import json, os, sys
root = os.path.realpath(sys.argv[2]) + "/"
seen = set()
for entry in json.load(open(sys.argv[1])):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    if path.startswith(root) and not path.startswith(root + "build/") and path not in seen:
        seen.add(path)
        print(path)
PY
)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! run-clang-tidy -quiet -p "$build" -j "$(nproc)" "${sources[@]}" >"$log" 2>&1; then
    status=1
fi
# Findings without the terminal colours run-clang-tidy asks for.
if sed 's/\x1b\[[0-9;]*m//g' "$log" | grep -E '(warning|error):' | sort -u; then
    status=1
fi
if [ $status -ne 0 ]; then
    echo "style: FAILED" >&2
else
    echo "style: clean (${#files[@]} files formatted, ${#sources[@]} sources tidied)"
fi
exit $status
