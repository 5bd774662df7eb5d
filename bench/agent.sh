#!/usr/bin/env bash
# What the statistics records cost: RESPMOD scans of bodies that carry the
# EICAR test file (each one an action, so each one a record to the agent
# when SendStat is on), through tavex-icapd with tavexd behind it, with
# SendStat and SendUrlsWithViruses off, then on with tavex-agent up, then
# on with the agent down. The same icap-bench run for each case, in turns.
# Environment: BUILD (default ./build), WORK (/tmp/tvx-agent-bench),
# PORT (13461), CONNS (4), SECS (3), RUNS (3).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
WORK=${WORK:-/tmp/tvx-agent-bench}
PORT=${PORT:-13461}
CONNS=${CONNS:-4}
SECS=${SECS:-3}
RUNS=${RUNS:-3}
DAEMON=$BUILD/tavex-icapd
BENCH=$BUILD/tools/icap-bench/icap-bench

rm -rf "$WORK"
mkdir -p "$WORK/cache" "$WORK/q" "$WORK/ucf"
pids=()
cleanup() { for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$WORK"; }
trap cleanup EXIT

"$BUILD/tools/tavexd" -l "local:$WORK/tavexd.sock" -p "$WORK/tavexd.pid" 2>/dev/null &
pids+=($!)
touch "$WORK/c.ini"
"$BUILD/tools/tavex-agent" -l "local:$WORK/agent.sock" -c "$WORK/c.ini" -o "$WORK/stats.jsonl" \
    -p "$WORK/agent.pid" 2>/dev/null &
agent_pid=$!
pids+=($agent_pid)
sleep 0.5

# run_case KEYS off|up|down: the configuration from the file (off), or
# from the agent, which stays up (up) or is stopped once the daemon runs
# (down).
run_case() {
    local keys=$1 how=$2 source=""
    cat >"$WORK/c.ini" <<INI
LogLevel = -1
PidFile = "$WORK/icapd.pid"
Cache = "$WORK/cache/"
UcfDirectory = "$WORK/ucf/"
PathToQuarantine = "$WORK/q"
Templates = "$ROOT/etc/templates"
User = $(id -un)
BindAddress = 127.0.0.1
BindPort = $PORT
TavexAddress = "local:$WORK/tavexd.sock"
Infected = report
Timeout = 2
$keys
INI
    source="$WORK/c.ini"
    if [ "$how" != off ]; then
        kill -HUP "$agent_pid"  # serve the text just written
        sleep 0.3
        source="local:$WORK/agent.sock"
    fi
    "$DAEMON" -m -f "$source" >/dev/null &
    local pid=$!
    sleep 0.5
    if [ "$how" = down ]; then
        kill -TERM "$agent_pid"
        sleep 0.3
    fi
    "$BENCH" respmod -p "$PORT" -u av -c "$CONNS" -d "$SECS" -w 0.5 -s 4k --infected -q | sed 's/^/  /'
    kill -TERM "$pid"
    wait "$pid" 2>/dev/null || true
}

for i in $(seq "$RUNS"); do
    echo "== run $i: SendStat off"
    run_case "" off
    echo "== run $i: SendStat and SendUrlsWithViruses on, agent up"
    run_case $'SendStat = yes\nSendUrlsWithViruses = yes' up
done
echo "records the agent wrote: $(wc -l <"$WORK/stats.jsonl")"
echo "== SendStat and SendUrlsWithViruses on, agent down"
run_case $'SendStat = yes\nSendUrlsWithViruses = yes' down
