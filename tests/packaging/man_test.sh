#!/usr/bin/env bash
# The man pages render with neither groff nor man warning about anything.
# usage: man_test.sh PAGE...
set -uo pipefail
failed=0
err=$(mktemp)
trap 'rm -f "$err"' EXIT
for page in "$@"; do
    warnings=$(groff -ww -z -man "$page" 2>&1)
    rendered=$(MANWIDTH=80 man --warnings -l "$page" 2>"$err")
    warnings+=$(cat "$err")
    if [ -n "$warnings" ] || ! grep -q '^NAME' <<<"$rendered"; then
        echo "FAIL: $page"
        echo "$warnings"
        failed=1
    fi
done
exit $failed
