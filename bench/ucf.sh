#!/usr/bin/env bash
# What URL-category files cost: compile time of ucf-build, load and lookup
# times of the matcher (one file of a million URL records, then all eleven
# categories with such files), and the memory of connection processes
# with about 100 MiB of category files loaded against none.
# Environment: BUILD (default ./build), WORK (default /tmp/tvx-ucf-bench),
# PORT (13451), LOOKUPS (200000).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
WORK=${WORK:-/tmp/tvx-ucf-bench}
PORT=${PORT:-13451}
LOOKUPS=${LOOKUPS:-200000}
UCFB=${UCFB:-$BUILD/tools/ucf-build/ucf-build}
BENCH=$BUILD/tools/ucf-bench
DAEMON=$BUILD/tavex-icapd
KEY=$ROOT/etc/keys/ucf-test-key.private
CATS="porno violence weapon gamble drugs obscenity chats terrorism e-mail socialnetwork malware"

rm -rf "$WORK"
mkdir -p "$WORK/one" "$WORK/all" "$WORK/mem" "$WORK/none" "$WORK/cache" "$WORK/q"

# A million list lines of the kinds category lists hold: host names, host +
# path prefixes, pages, and pages with a required parameter.
make_list() {
    awk -v seed="$1" 'BEGIN { srand(seed); for (i = 0; i < 1000000; i++) { r = int(rand() * 4);
        if (r == 0) printf "h%d.d%d.example\n", i, i % 5000;
        else if (r == 1) printf "d%d.test/p%d/\n", i, i % 300;
        else if (r == 2) printf "www.s%d.example/a%d/b%d.html\n", i, i % 50, i % 7;
        else printf "s%d.example/q?id=%d\n", i, i % 100 } }' >"$2"
}

n=0
for c in $CATS; do
    n=$((n + 1))
    make_list "$n" "$WORK/$c.txt"
    start=$(date +%s.%N)
    "$UCFB" --category "$c" --key "$KEY" -o "$WORK/all/$c.ucf" --urls "$WORK/$c.txt" 2>/dev/null
    end=$(date +%s.%N)
    [ "$n" = 1 ] && printf 'ucf-build: 1,000,000 lines compiled in %.2f s\n' "$(echo "$end - $start" | bc)"
    rm -f "$WORK/$c.txt"
done
cp "$WORK/all/porno.ucf" "$WORK/one/"
for c in porno violence weapon gamble; do cp "$WORK/all/$c.ucf" "$WORK/mem/"; done

echo "== one category file of a million URL records"
"$BENCH" lookup "$WORK/one" "$LOOKUPS"
echo "== eleven category files of a million URL records each"
"$BENCH" lookup "$WORK/all" "$LOOKUPS"

pss_case() {
    local ucf=$1 label=$2
    cat >"$WORK/c.ini" <<INI
LogLevel = -1
PidFile = "$WORK/icapd.pid"
Cache = "$WORK/cache/"
UcfDirectory = "$ucf/"
PathToQuarantine = "$WORK/q"
Templates = "$ROOT/etc/templates"
User = $(id -un)
BindAddress = 127.0.0.1
BindPort = $PORT
INI
    "$DAEMON" -m -f "$WORK/c.ini" >/dev/null &
    local pid=$!
    sleep 1
    echo "== memory of 16 connection processes, $label: after an OPTIONS request, then after one lookup"
    "$BENCH" pss-idle "$PORT" "$pid" 16 || true
    "$BENCH" pss "$PORT" "$pid" 16 || true
    kill -TERM "$pid"
    wait "$pid" 2>/dev/null || true
}
pss_case "$WORK/mem" "$(du -sm "$WORK/mem" | cut -f1) MiB of category files loaded"
pss_case "$WORK/none" "no category files"
rm -rf "$WORK"
