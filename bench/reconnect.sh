#!/usr/bin/env bash
# What a new connection to the scanning daemon costs per scan, measured
# against tavexd on this machine.
#
# Starts tavexd from the build on a Unix socket and a loopback port (bodies
# kept on /dev/shm when present, as the ICAP bench keeps its Cache there),
# runs `icap-bench reconnect` RUNS times (each run measures the four cases:
# kept connection and new connection per scan, on the Unix socket and on
# TCP, taking turns), and prints the medians per case and the median of the
# per-run cost of reconnecting. Everything started here is stopped on exit.
#
# Environment: BUILD (build directory, default ./build), RUNS (5),
# BENCH_SECONDS (measured seconds per case and run, 5), BENCH_WARMUP (0.5),
# BODY (bytes per scan, 1k), BENCH_OUT (also write the table there).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
RUNS=${RUNS:-5}
SECS=${BENCH_SECONDS:-5}
WARM=${BENCH_WARMUP:-0.5}
BODY=${BODY:-1k}
BENCH=$BUILD/tools/icap-bench/icap-bench
TAVEXD=$BUILD/tools/tavexd

for p in "$BENCH" "$TAVEXD"; do
  [ -x "$p" ] || { echo "reconnect.sh: $p is missing; build first (make build)" >&2; exit 1; }
done

if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  WORK=$(mktemp -d /dev/shm/tvx-reconnect.XXXXXX)
else
  WORK=$(mktemp -d /tmp/tvx-reconnect.XXXXXX)
fi
TVD_PID=""

cleanup() {
  if [ -n "$TVD_PID" ]; then
    kill -TERM "$TVD_PID" 2>/dev/null || true
    wait "$TVD_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$TAVEXD" -l "local:$WORK/tavexd.sock" -l inet:0@127.0.0.1 -p "$WORK/tavexd.pid" \
  --temp-dir "$WORK" 2>"$WORK/stderr" </dev/null &
TVD_PID=$!
for _ in $(seq 100); do
  [ -s "$WORK/tavexd.pid" ] && break
  kill -0 "$TVD_PID" 2>/dev/null || break
  sleep 0.1
done
[ -s "$WORK/tavexd.pid" ] || { echo "reconnect.sh: tavexd did not start:" >&2; cat "$WORK/stderr" >&2; exit 1; }
PORT=$(sed -n '3s/.*://p' "$WORK/tavexd.pid")

echo "reconnect: $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg), $RUNS runs of ${SECS} s per case" >&2
RES=$WORK/results
mkdir -p "$RES"
for run in $(seq "$RUNS"); do
  echo "reconnect: run $run of $RUNS" >&2
  out=$("$BENCH" reconnect --local "$WORK/tavexd.sock" -p "$PORT" -s "$BODY" -d "$SECS" -w "$WARM" -q 2>&1 || true)
  grep '^RESULT ' <<<"$out" >>"$RES/lines" || { echo "reconnect.sh: no result: $out" >&2; exit 1; }
  for t in unix tcp; do
    kept=$(sed -n "s/.* transport=$t conn=kept .* us_per_scan=\([^ ]*\).*/\1/p" <<<"$out")
    new=$(sed -n "s/.* transport=$t conn=new .* us_per_scan=\([^ ]*\).*/\1/p" <<<"$out")
    awk -v k="$kept" -v n="$new" 'BEGIN { printf "%.1f\n", n - k }' >>"$RES/cost.$t"
    awk -v k="$kept" -v n="$new" 'BEGIN { printf "%.2f\n", (k > 0 ? n / k : 0) }' >>"$RES/ratio.$t"
  done
done

median() {  # numbers on standard input: their median
  sort -g | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "-"; exit }
    if (NR % 2) print v[(NR + 1) / 2]; else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
field() {  # transport conn name: that field of every run, one per line
  sed -n "s/.* transport=$1 conn=$2 .* $3=\([^ ]*\).*/\1/p" "$RES/lines"
}
sum() { awk '{ s += $1 } END { print s + 0 }'; }

{
  echo "tavexd on loopback, $(nproc) CPUs, $(uname -r), load average at the end $(cut -d' ' -f1-3 /proc/loadavg); medians of $RUNS runs of ${SECS} s per case; $BODY bytes per scan, sent whole"
  echo
  # "µs" is two bytes wide for printf and one column on the screen.
  printf '| %-29s | %10s | %11s | %11s | %11s | %s |\n' "Case" "scans/s" "µs/scan" "p50 µs" "p99 µs" "failed"
  printf '|%s|%s|%s|%s|%s|%s|\n' "-------------------------------" "------------" "------------" "------------" "------------" "--------"
  for t in unix tcp; do
    for c in kept new; do
      [ "$c" = kept ] && name="$t, kept connection" || name="$t, new connection per scan"
      printf '| %-29s | %10s | %10s | %10s | %10s | %s |\n' "$name" \
        "$(field $t $c sps | median)" "$(field $t $c us_per_scan | median)" \
        "$(field $t $c p50_us | median)" "$(field $t $c p99_us | median)" "$(field $t $c failed | sum)"
    done
  done
  echo
  for t in unix tcp; do
    echo "Reconnecting on $t costs $(median <"$RES/cost.$t") µs per scan (median of the per-run differences; a scan on a new connection takes $(median <"$RES/ratio.$t")x the time of one on a kept connection)"
  done
} | tee ${BENCH_OUT:+"$BENCH_OUT"}
