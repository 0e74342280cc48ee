#!/usr/bin/env bash
# Where the time of one `tessivo-peer sign` goes, in ms: the parts a one-shot cannot do without
# (two process starts, the agent's first tick, the card's login and signature) and what is left.
# The agent starts its module while it waits for that tick. Two kinds of figures, medians of RUNS
# each:
#   - separate programs: an empty process, the peer's start (`--version`), the agent's start
#     (`--help`, which returns before the module is loaded); `pkcs11-tool` listing the token
#     (its start and the module's) and signing, for the card's own time;
#   - traced runs (perf's scheduler and system-call tracepoints, which do not stop the
#     programs): peer start to agent start, agent start to the first request, each request from
#     its send to its reply, and the end. A one-shot sign sends MWM_SLOT, MWM_CARD, MWM_LOGIN,
#     MWM_SIGN and MWM_LOGOUT, each answered, then posts MWM_EXIT.
#
# usage: bench/oneshot_breakdown.sh [RUNS] [BUILD_DIR]   (defaults: 15, build/linux)
set -euo pipefail

runs=${1:-15}
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/timing.sh"
use_build "${2:-}" tessivo-peer
command -v perf >/dev/null || { echo "oneshot_breakdown: needs perf (linux-perf)" >&2; exit 1; }
demo_work

times() { # RUNS times a command, the median in ms
    for _ in $(seq "$runs"); do micros_any "$@"; done | median | awk '{ printf "%.1f", $1 / 1000 }'
}

echo "separate programs, median of $runs runs (ms):"
printf "  %-58s %6s\n" "an empty process (/bin/true)" "$(times /bin/true)"
printf "  %-58s %6s\n" "tessivo-peer --version (the peer's start)" "$(times "$bin/tessivo-peer" --version)"
printf "  %-58s %6s\n" "tessivo --help (the agent's start)" "$(times "$bin/tessivo" --help)"
printf "  %-58s %6s\n" "pkcs11-tool -L (its start, the module's start)" "$(times pkcs11-tool --module "$DEMO_MODULE" -L)"
printf "  %-58s %6s\n" "pkcs11-tool --sign (start, module, login, sign)" "$(times demo_tool_sign)"
printf "  %-58s %6s\n" "tessivo-peer sign" "$(times demo_peer_sign)"

# Traced runs: process starts and ends, and every send on a message connection (a request is
# 32 bytes from the peer, a reply 4 bytes from the agent).
for i in $(seq "$runs"); do
    perf record -q -o "$work/perf.$i" -e sched:sched_process_exec -e sched:sched_process_exit \
        -e syscalls:sys_enter_sendto -- "$bin/tessivo-peer" --module "$DEMO_MODULE" sign \
        "$DEMO_READER" --mech sha256 --pin-stdin "$work/data" <<<"$DEMO_PIN" >/dev/null 2>&1
    perf script -i "$work/perf.$i" -F comm,pid,time,event,trace >"$work/trace.$i" 2>/dev/null
done
/usr/bin/env python3 - "$work" "$runs" <<'EOF'
import re, statistics, sys
work, runs = sys.argv[1], int(sys.argv[2])
requests = ["MWM_SLOT", "MWM_CARD", "MWM_LOGIN", "MWM_SIGN", "MWM_LOGOUT"]
phases = {}
for i in range(1, runs + 1):
    events = []
    for line in open(f"{work}/trace.{i}"):
        m = re.match(r"\s*(\S+)\s+(\d+)\s+([\d.]+):\s+(\S+):\s*(.*)", line)
        if m:
            events.append((m.group(1), int(m.group(2)), float(m.group(3)) * 1000, m.group(4),
                           m.group(5)))
    starts = [e for e in events if e[3] == "sched:sched_process_exec"]
    peer_start = next(e for e in starts if e[4].split()[0].endswith("/tessivo-peer"))
    agent_start = next(e for e in starts if e[4].split()[0].endswith("/tessivo"))
    sends = [e for e in events if e[3] == "syscalls:sys_enter_sendto"]
    asked = [e for e in sends if e[1] == peer_start[1] and "len: 0x00000020" in e[4]]
    answered = [e for e in sends if e[1] == agent_start[1] and "len: 0x00000004" in e[4]]
    ends = {e[1]: e[2] for e in events
            if e[3] == "sched:sched_process_exit" and "group_dead=true" in e[4]}
    if len(asked) != len(requests) + 1 or len(answered) != len(requests):
        print(f"run {i}: {len(asked)} requests and {len(answered)} replies, not a sign's; "
              "left out", file=sys.stderr)
        continue
    row = {"peer start to agent start": agent_start[2] - peer_start[2],
           "agent start to the first request (window, 18 ms tick)":
               asked[0][2] - agent_start[2]}
    for name, sent, reply in zip(requests, asked, answered):
        row[name + " (send to reply)"] = reply[2] - sent[2]
    row["between requests (the peer's own work)"] = sum(
        asked[k + 1][2] - answered[k][2] for k in range(len(requests)))
    row["MWM_EXIT posted to the agent's end"] = ends[agent_start[1]] - asked[-1][2]
    row["agent's end to the peer's end"] = ends[peer_start[1]] - ends[agent_start[1]]
    row["whole run"] = ends[peer_start[1]] - peer_start[2]
    for k, v in row.items():
        phases.setdefault(k, []).append(v)
print(f"traced runs (perf tracepoints), median of {len(phases.get('whole run', []))} (ms):")
for k, v in phases.items():
    print(f"  {k:<64} {statistics.median(v):6.1f}")
EOF
