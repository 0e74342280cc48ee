#!/usr/bin/env bash
# Installs what is missing, builds the Linux, sanitizer and Windows builds, and runs every test
# (the Windows ones under Wine), then a few seconds of each fuzz harness, and with the Linux build
# the style check (scripts/style.sh: clang-format and clang-tidy). Exits non-zero when anything
# failed.
#
# usage: scripts/test.sh [linux|asan|win64|fuzz ...]   (default: all four)
set -euo pipefail
. "$(dirname "$0")/common.sh"

builds=()
fuzz=no
[ $# -gt 0 ] || set -- linux asan win64 fuzz
for name in "$@"; do
    case $name in
    linux | asan | win64) builds+=("$name") ;;
    fuzz) fuzz=yes ;;
    *)
        echo "usage: $(basename "$0") [linux|asan|win64|fuzz ...]" >&2
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
    # Every Linux test keeps to its own channels, windows and token folder, so two run at once;
    # under Wine a test now and then meets a process still ending from the test before it, so
    # they run one by one, and a failure that repeats is still a failure.
    how=(--parallel 2)
    [ "$name" != win64 ] || how=(--repeat until-pass:2)
    if ! ctest --test-dir "$TESSIVO_ROOT/build/$(build_dir_name "$name")" --output-on-failure \
        --timeout 600 "${how[@]}"; then
        status=1
    fi
done
if [[ " ${builds[*]} " == *" linux "* ]]; then
    say "style"
    if ! "$TESSIVO_ROOT/scripts/style.sh" "$TESSIVO_ROOT/build/linux"; then
        status=1
    fi
fi
if [ $fuzz = yes ]; then
    say "fuzz smoke"
    if ! "$TESSIVO_ROOT/scripts/fuzz.sh" --seeds-only 3; then
        status=1
    fi
fi
if [ $status -eq 0 ]; then say "all tests passed"; else say "some tests FAILED"; fi
exit $status
