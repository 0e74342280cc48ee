#!/usr/bin/env bash
# Installs what is missing, builds the Linux, sanitizer and Windows builds, and runs every test
# (the Windows ones under Wine), then a few seconds of each fuzz harness. Exits non-zero when
# anything failed.
set -euo pipefail
. "$(dirname "$0")/common.sh"

install_packages
build_all

status=0
for name in linux linux-asan win64; do
    say "testing $name"
    if ! ctest --test-dir "$TESSIVO_ROOT/build/$name" --output-on-failure --timeout 600; then
        status=1
    fi
done
say "fuzz smoke"
if ! "$TESSIVO_ROOT/scripts/fuzz.sh" --seeds-only 3; then
    status=1
fi
if [ $status -eq 0 ]; then say "all tests passed"; else say "some tests FAILED"; fi
exit $status
