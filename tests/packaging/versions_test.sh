#!/usr/bin/env bash
# Every program reports the project's version, and the agent answers --help, each exiting 0.
# usage: versions_test.sh VERSION BIN-DIR [EMULATOR...]   (the emulator runs Windows programs)
set -uo pipefail
version=$1 bin=$2
shift 2
suffix=
[ $# -gt 0 ] && suffix=.exe
failed=0

for program in tessivo tessivo-peer tessivo-host; do
    out=$("$@" "$bin/$program$suffix" --version | tr -d '\r')
    status=${PIPESTATUS[0]}
    if [ "$status" -ne 0 ] || [ "$out" != "$program $version" ]; then
        echo "FAIL: $program --version exited $status, printed \"$out\""
        failed=1
    fi
done
out=$("$@" "$bin/tessivo$suffix" --help | tr -d '\r')
status=${PIPESTATUS[0]}
if [ "$status" -ne 0 ] || [[ $out != "usage: tessivo -/PEER-PID "* ]]; then
    echo "FAIL: tessivo --help exited $status, printed \"$out\""
    failed=1
fi
exit $failed
