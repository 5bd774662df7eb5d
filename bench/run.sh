#!/usr/bin/env bash
# Loopback benchmark of tavex-icapd against c-icap's echo service.
#
# Starts tavex-icapd in monitor mode (-m) with a bench configuration (no
# scanning daemon, Cache on /dev/shm when present, no log lines: LogLevel
# -1, as c-icap runs without an access log) and, when
# c-icap is installed, c-icap with srv_echo.so on another port with a
# configuration of its own under /tmp. Runs the same icap-bench cases against
# both, alternating, RUNS times each, and prints the medians and the ratio
# ours/theirs in one table. Everything started here is stopped on exit.
#
# Environment: BUILD (build directory, default ./build), RUNS (3),
# BENCH_SECONDS (seconds per measured run, 3), BENCH_WARMUP (0.5),
# TVX_PORT (13441), CICAP_PORT (13442), TVX_LOGLEVEL (LogLevel of
# tavex-icapd, -1; 0 adds its warning-level decision line per RESPMOD),
# BENCH_OUT (also write the table there).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
RUNS=${RUNS:-3}
SECS=${BENCH_SECONDS:-3}
WARM=${BENCH_WARMUP:-0.5}
TVX_PORT=${TVX_PORT:-13441}
CICAP_PORT=${CICAP_PORT:-13442}
TVX_LOGLEVEL=${TVX_LOGLEVEL:--1}
BENCH=$BUILD/tools/icap-bench/icap-bench
DAEMON=$BUILD/tavex-icapd
CICAP=$(command -v c-icap || true)
CICAP_ECHO=/usr/lib/x86_64-linux-gnu/c_icap/srv_echo.so

[ -x "$BENCH" ] || { echo "run.sh: $BENCH is missing; build first (make build)" >&2; exit 1; }

if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  WORK=$(mktemp -d /dev/shm/tvx-bench.XXXXXX)
else
  WORK=$(mktemp -d /tmp/tvx-bench.XXXXXX)
fi
CICAP_DIR=$(mktemp -d /tmp/tvx-bench-cicap.XXXXXX)
TVX_PID=""
CICAP_PID=""

stop_pid() {  # pid: TERM, wait up to 10 s, then KILL
  local pid=$1 i
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  stop_pid "$TVX_PID"
  stop_pid "$CICAP_PID"
  rm -rf "$WORK" "$CICAP_DIR"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# Waits until an OPTIONS request on the port is answered correctly.
wait_answering() {
  local port=$1 i
  for i in $(seq 50); do
    "$BENCH" options -p "$port" -n 1 -d 2 --timeout 2000 -q >/dev/null 2>&1 && return 0
    sleep 0.2
  done
  return 1
}

# ---------------------------------------------------------------- tavex-icapd
start_tavex() {
  mkdir -p "$WORK/cache" "$WORK/ucf" "$WORK/quarantine"
  cat >"$WORK/tavex-icapd.ini" <<EOF
LogFile = "$WORK/icapd.log"
LogLevel = $TVX_LOGLEVEL
PidFile = "$WORK/icapd.pid"
Cache = "$WORK/cache/"
UcfDirectory = "$WORK/ucf/"
PathToQuarantine = "$WORK/quarantine"
Templates = "$ROOT/etc/templates"
User = $(id -un)
BindAddress = 127.0.0.1
BindPort = $TVX_PORT
KeepAlive = yes
UsePreview = yes
EOF
  port_free "$TVX_PORT" || { echo "run.sh: port $TVX_PORT is taken (set TVX_PORT)" >&2; return 1; }
  : >"$WORK/ready"
  "$DAEMON" -m -f "$WORK/tavex-icapd.ini" >"$WORK/ready" 2>"$WORK/stderr" </dev/null &
  TVX_PID=$!
  local i
  for i in $(seq 100); do
    [ -s "$WORK/ready" ] && break
    kill -0 "$TVX_PID" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -s "$WORK/ready" ] || ! wait_answering "$TVX_PORT"; then
    echo "run.sh: tavex-icapd does not answer OPTIONS on port $TVX_PORT: its figures are left out" >&2
    sed 's/^/  tavex-icapd: /' "$WORK/stderr" >&2 || true
    stop_pid "$TVX_PID"
    TVX_PID=""
    return 1
  fi
}

# ---------------------------------------------------------------- c-icap
# c-icap serves at most MaxServers x ThreadsPerChild connections at once and
# a thread stays with its keep-alive connection; 20 x 64 lets it hold the
# 1,000 idle connections. No access log, debug level 0; bodies above
# MaxMemObject go to TmpDir, on the same file system as tavex-icapd's Cache.
start_cicap() {
  [ -n "$CICAP" ] && [ -f "$CICAP_ECHO" ] || { echo "run.sh: c-icap is not installed: its figures are left out" >&2; return 1; }
  mkdir -p "$WORK/cicap-tmp"
  cat >"$CICAP_DIR/c-icap.conf" <<EOF
PidFile $CICAP_DIR/c-icap.pid
CommandsSocket $CICAP_DIR/c-icap.ctl
Timeout 300
MaxKeepAliveRequests 0
KeepAliveTimeout 600
StartServers 20
MaxServers 20
MinSpareThreads 64
MaxSpareThreads 1280
ThreadsPerChild 64
MaxRequestsPerChild 0
Port 127.0.0.1:$CICAP_PORT
TmpDir $WORK/cicap-tmp
MaxMemObject 131072
DebugLevel 0
Pipelining on
ModulesDir $(dirname "$CICAP_ECHO")
ServicesDir $(dirname "$CICAP_ECHO")
TemplateDir /usr/share/c_icap/templates/
ServerLog $CICAP_DIR/server.log
Service echo srv_echo.so
EOF
  port_free "$CICAP_PORT" || { echo "run.sh: port $CICAP_PORT is taken (set CICAP_PORT)" >&2; return 1; }
  "$CICAP" -N -f "$CICAP_DIR/c-icap.conf" >"$CICAP_DIR/stdout" 2>&1 </dev/null &
  CICAP_PID=$!
  if ! wait_answering "$CICAP_PORT"; then
    echo "run.sh: c-icap does not answer on port $CICAP_PORT: its figures are left out" >&2
    stop_pid "$CICAP_PID"
    CICAP_PID=""
    return 1
  fi
}

HAVE_TVX=0
HAVE_CICAP=0
start_tavex && HAVE_TVX=1 || true
start_cicap && HAVE_CICAP=1 || true

# ---------------------------------------------------------------- cases
# name | metric | target | icap-bench arguments (the port is added per server)
CASES=(
  "OPTIONS keep-alive, 1 connection|req/s|>= 1.5x|options -c 1"
  "OPTIONS keep-alive, 16 connections|req/s|>= 1.5x|options -c 16"
  "RESPMOD 1 KiB, Preview: 0, Allow: 204, 16 conn.|req/s|>= 1.5x|respmod -s 1k -c 16 --preview 0 --allow204"
  "RESPMOD 1 KiB full echo, no preview, 16 conn.|req/s|>= 1.2x|respmod -s 1k -c 16"
  "RESPMOD 1 MiB full echo, 4 connections|MiB/s|>= 1.5x|respmod -s 1m -c 4"
  "OPTIONS, one connection per request, 16 conn.|req/s|>= 1.0x|options -c 16 --close"
  "1,000 idle connections, then one request each|answered|all|idle -c 1000 --settle 2 --timeout 20000"
)
RAW_ARGS="raw -s 1m -c 4"

RES=$WORK/results
mkdir -p "$RES"

# server case-index: runs one case once and appends its figures.
run_case() {
  local server=$1 idx=$2 port pid args out
  IFS='|' read -r _ _ _ args <<<"${CASES[$idx]}"
  if [ "$server" = ours ]; then port=$TVX_PORT; pid=$TVX_PID; else port=$CICAP_PORT; pid=$CICAP_PID; fi
  case $args in
    idle*) out=$("$BENCH" $args -p "$port" --pid "$pid" -q 2>&1 || true) ;;
    *) out=$("$BENCH" $args -p "$port" -d "$SECS" -w "$WARM" -q 2>&1 || true) ;;
  esac
  local line
  line=$(grep '^RESULT ' <<<"$out" | tail -1)
  [ -n "$line" ] || { echo "run.sh: no result from icap-bench $args: $out" >&2; return 0; }
  field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$line"; }
  local metric
  IFS='|' read -r _ metric _ _ <<<"${CASES[$idx]}"
  case $metric in
    req/s) echo "$(field rps)" >>"$RES/$idx.$server" ;;
    MiB/s) echo "$(field mibps)" >>"$RES/$idx.$server" ;;
    answered)
      echo "$(field answered)" >>"$RES/$idx.$server"
      echo "$(field pss_kib_per_conn)" >>"$RES/$idx.$server.pss" ;;
  esac
  echo "$(field failed)" >>"$RES/$idx.$server.failed"
  sleep 0.5  # let connection processes of this case end before the next one
  [ "$metric" = answered ] && sleep 3 || true
}

median() {  # file: median of the numbers in it, "-" when there are none
  [ -s "$1" ] || { echo "-"; return; }
  grep -E '^[0-9.]+$' "$1" | sort -g | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "-"; exit }
    if (NR % 2) print v[(NR + 1) / 2]; else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
sum() { [ -s "$1" ] && awk '{ s += $1 } END { print s + 0 }' "$1" || echo "-"; }
ratio() {  # ours theirs
  awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-" || b + 0 == 0) print "-"; else printf "%.2fx\n", a / b }'
}

echo "bench: $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg), $RUNS runs of ${SECS} s per case" >&2
[ $HAVE_TVX = 1 ] && echo "bench: tavex-icapd pid $TVX_PID on 127.0.0.1:$TVX_PORT, work files in $WORK" >&2
[ $HAVE_CICAP = 1 ] && echo "bench: c-icap pid $CICAP_PID on 127.0.0.1:$CICAP_PORT, configuration in $CICAP_DIR" >&2

for run in $(seq "$RUNS"); do
  echo "bench: run $run of $RUNS" >&2
  for idx in "${!CASES[@]}"; do
    # Alternate which server goes first so that drifting machine load is shared.
    if [ $((run % 2)) = 1 ]; then order="ours theirs"; else order="theirs ours"; fi
    for server in $order; do
      [ "$server" = ours ] && [ $HAVE_TVX = 0 ] && continue
      [ "$server" = theirs ] && [ $HAVE_CICAP = 0 ] && continue
      run_case "$server" "$idx"
    done
  done
  out=$("$BENCH" $RAW_ARGS -d "$SECS" -w "$WARM" -q 2>&1 || true)
  sed -n 's/.* mibps=\([^ ]*\).*/\1/p' <<<"$out" >>"$RES/raw"
  out=$("$BENCH" fork -c "$(nproc)" -d "$SECS" -q 2>&1 || true)
  sed -n 's/.* rps=\([^ ]*\).*/\1/p' <<<"$out" >>"$RES/fork"
done

# ---------------------------------------------------------------- table
{
  echo "Loopback, $(nproc) CPUs, $(uname -r), load average at the end $(cut -d' ' -f1-3 /proc/loadavg); medians of $RUNS runs of ${SECS} s; tavex-icapd LogLevel $TVX_LOGLEVEL"
  echo
  printf '| %-47s | %-8s | %12s | %12s | %7s | %-7s | %s |\n' "Case" "Metric" "tavex-icapd" "c-icap" "ratio" "target" "failed (ours/theirs)"
  printf '|%s|%s|%s|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' $(seq 49))" "----------" "--------------" "--------------" "---------" "---------" "----------------------"
  raw=$(median "$RES/raw")
  for idx in "${!CASES[@]}"; do
    IFS='|' read -r name metric target _ <<<"${CASES[$idx]}"
    ours=$(median "$RES/$idx.ours"); theirs=$(median "$RES/$idx.theirs")
    failed="$(sum "$RES/$idx.ours.failed") / $(sum "$RES/$idx.theirs.failed")"
    printf '| %-47s | %-8s | %12s | %12s | %7s | %-7s | %s |\n' "$name" "$metric" "$ours" "$theirs" "$(ratio "$ours" "$theirs")" "$target" "$failed"
    if [ "$metric" = MiB/s ]; then
      printf '| %-47s | %-8s | %12s | %12s | %7s | %-7s | %s |\n' "  the same as a share of the raw echo ceiling" "% raw" \
        "$(awk -v a="$ours" -v r="$raw" 'BEGIN { if (a == "-" || r == "-" || r + 0 == 0) print "-"; else printf "%.0f%%\n", 100 * a / r }')" \
        "$(awk -v a="$theirs" -v r="$raw" 'BEGIN { if (a == "-" || r == "-" || r + 0 == 0) print "-"; else printf "%.0f%%\n", 100 * a / r }')" \
        "" ">= 50%" ""
    fi
    if [ "$metric" = answered ]; then
      pss_o=$(median "$RES/$idx.ours.pss"); pss_t=$(median "$RES/$idx.theirs.pss")
      printf '| %-47s | %-8s | %12s | %12s | %7s | %-7s | %s |\n' "  server PSS per idle connection" "KiB" "$pss_o" "$pss_t" "$(ratio "$pss_o" "$pss_t")" "<= 300" ""
    fi
  done
  echo
  echo "Raw loopback echo ceiling (icap-bench raw, 1 MiB, 4 connections): $raw MiB/s"
  echo "Process ceiling (icap-bench fork, $(nproc) at a time): $(median "$RES/fork") processes forked, exited and reaped per second"
} | tee ${BENCH_OUT:+"$BENCH_OUT"}
