#!/usr/bin/env bash
# Runs firefox_test.mjs with puppeteer-core, installed on first use outside the tree (never a
# browser download: Debian's firefox-esr is the browser). Exits 77 (skipped) without firefox-esr,
# node or npm.
#
# usage: firefox_test.sh ARGUMENTS...   (firefox_test.mjs's, without --puppeteer)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/npm_tool.sh"

if [ ! -x /usr/bin/firefox-esr ] || ! command -v node >/dev/null; then
    echo "firefox_test: firefox-esr or node is not installed: skipped"
    exit 77
fi
export PUPPETEER_SKIP_DOWNLOAD=1
if ! npm_tool puppeteer-core 24.43.1 node_modules/puppeteer-core/package.json; then
    echo "firefox_test: puppeteer-core cannot be installed: skipped"
    exit 77
fi
exec node "$here/firefox_test.mjs" --puppeteer "$npm_tool_dir" "$@"
