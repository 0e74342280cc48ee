#!/usr/bin/env bash
# Lints the browser extension with Mozilla's web-ext: the Firefox side of the one extension
# source, which no browser on these machines can run. Fails on any error, and on any warning not
# accepted below (with its reason). web-ext is installed on first use into a cache folder outside
# the tree (scripts/npm_tool.sh). Exits 77 (a skipped test for CTest) when npm is missing or the
# install fails.
#
# usage: lint_extension.sh [EXTENSION_DIR]   (default: web/extension)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
source_dir=${1:-$root/web/extension}
. "$root/scripts/npm_tool.sh"

say() { echo "lint_extension: $*"; }

if ! npm_tool web-ext 10.8.0 node_modules/.bin/web-ext; then
    say "web-ext cannot be installed: skipped"
    exit 77
fi
web_ext=$npm_tool_dir/node_modules/.bin/web-ext

report=$(mktemp)
trap 'rm -f "$report"' EXIT
# web-ext's exit status already says whether there were errors; the report says which.
status=0
"$web_ext" lint --source-dir "$source_dir" --output json --no-input >"$report" || status=$?

/usr/bin/python3 - "$report" "$status" <<'PY'
import json
import sys

# Warnings that follow from building one source for Chromium and Firefox.
ACCEPTED = {
    # Chromium needs the service worker, Firefox the scripts: each browser reads its own key.
    'BACKGROUND_SERVICE_WORKER_IGNORED',
    # The extension does not run on Firefox for Android (no native messaging there), so no
    # Android version is declared.
    'KEY_FIREFOX_ANDROID_UNSUPPORTED_BY_MIN_VERSION',
}

path, status = sys.argv[1], int(sys.argv[2])
try:
    with open(path, encoding='utf-8') as f:
        report = json.load(f)
except (OSError, ValueError):
    print('lint_extension: web-ext gave no report (exit status %d)' % status)
    sys.exit(1)
failed = False
for kind in ('errors', 'warnings', 'notices'):
    for item in report.get(kind, []):
        accepted = kind != 'errors' and (kind == 'notices' or item['code'] in ACCEPTED)
        failed = failed or not accepted
        where = item.get('file') or ''
        print('lint_extension: %-8s %s %s%s: %s' % (
            kind[:-1], 'accepted' if accepted else 'FAILED  ', item['code'],
            ' (' + where + ')' if where else '', item['message']))
summary = report.get('summary', {})
print('lint_extension: %d errors, %d warnings, %d notices' % (
    summary.get('errors', 0), summary.get('warnings', 0), summary.get('notices', 0)))
sys.exit(1 if failed or status != 0 else 0)
PY
