#!/usr/bin/env bash
# Installs what is missing, builds the Linux, sanitizer and Windows builds, and runs every test
# (the Windows ones under Wine). Exits non-zero when anything failed.
#
# usage: scripts/test.sh [linux|asan|win64 ...]   (default: all three)
set -euo pipefail
. "$(dirname "$0")/common.sh"

builds=("$@")
[ ${#builds[@]} -gt 0 ] || builds=(linux asan win64)
for name in "${builds[@]}"; do
    case $name in
    linux | asan | win64) ;;
    *)
        echo "usage: $(basename "$0") [linux|asan|win64 ...]" >&2
        exit 2
        ;;
    esac
done

install_packages
ensure_other_user
for name in "${builds[@]}"; do "build_$name"; done

status=0
for name in "${builds[@]}"; do
    say "testing $name"
    if ! ctest --test-dir "$TESSIVO_ROOT/build/$(build_dir_name "$name")" --output-on-failure \
        --timeout 600; then
        status=1
    fi
done
if [ $status -eq 0 ]; then say "all tests passed"; else say "some tests FAILED"; fi
exit $status
