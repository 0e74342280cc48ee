#!/usr/bin/env bash
# Every program reports the project's version, and the agent answers --help, each exiting 0;
# on Linux no program's library search path has an empty entry.
# usage: versions_test.sh VERSION BIN-DIR [EMULATOR...]   (the emulator runs Windows programs)
set -uo pipefail
version=$1 bin=$2
shift 2
suffix=
[ $# -gt 0 ] && suffix=.exe
failed=0
if [ $# -eq 0 ]; then
    # The agent's object makes its return channel even before it prints: in a directory of ours.
    run=$(mktemp -d /dev/shm/tessivo-versions-XXXXXX)
    trap 'rm -rf "$run"' EXIT
    export TESSIVO_RUNTIME_DIR=$run
fi

for program in tessivo tessivo-peer tessivo-host; do
    out=$("$@" "$bin/$program$suffix" --version | tr -d '\r')
    status=${PIPESTATUS[0]}
    if [ "$status" -ne 0 ] || [ "$out" != "$program $version" ]; then
        echo "FAIL: $program --version exited $status, printed \"$out\""
        failed=1
    fi
done
if [ $# -eq 0 ]; then
    # An empty entry in a program's search path makes the loader look for its libraries in
    # whatever folder the program is started from.
    for program in tessivo tessivo-peer tessivo-host; do
        path=$(readelf -d "$bin/$program" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]$/\1/p')
        if [ -n "$path" ] && [[ :$path: == *::* ]]; then
            echo "FAIL: $program's library search path \"$path\" has an empty entry"
            failed=1
        fi
    done
fi
out=$("$@" "$bin/tessivo$suffix" --help | tr -d '\r')
status=${PIPESTATUS[0]}
if [ "$status" -ne 0 ] || [[ $out != "usage: tessivo -/PEER-PID "* ]]; then
    echo "FAIL: tessivo --help exited $status, printed \"$out\""
    failed=1
fi
exit $failed
