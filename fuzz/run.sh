#!/bin/sh
# Builds the libFuzzer targets with clang++ in their own build directory and
# runs each for a while on a copy of its committed seed corpus.
#   fuzz/run.sh [SECONDS] [TARGET...]     (default 60 seconds; targets icap icap_policy config ucf host_list agent mail)
# Environment: BUILD (default build-fuzz), WORK (default BUILD/fuzz-work: the
# growing corpus and any crash-*, timeout-*, leak-* files), JOBS (default 2).
# A finding is minimised with e.g.
#   build-fuzz/fuzz/icap_fuzz -minimize_crash=1 -runs=100000 CRASH_FILE
# and, once fixed, its reproducer goes to fuzz/corpus/<target>/ so that the
# replay tests of "make test" keep running it.
set -eu
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-60}
[ $# -gt 0 ] && shift
TARGETS=${*:-icap icap_policy config ucf host_list agent mail}
BUILD=${BUILD:-build-fuzz}
WORK=${WORK:-$BUILD/fuzz-work}
mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)  # the config target changes its directory
JOBS=${JOBS:-2}

scripts/deps.sh clang libclang-rt-14-dev  # libFuzzer comes with clang's runtime
CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DTVX_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
for t in $TARGETS; do
    cmake --build "$BUILD" -j "$JOBS" --target "${t}_fuzz"
done

status=0
for t in $TARGETS; do
    mkdir -p "$WORK/$t/corpus" "$WORK/$t/artifacts"
    cp fuzz/corpus/"$t"/* "$WORK/$t/corpus/"
    echo "== $t: $SECONDS_EACH s"
    "$BUILD/fuzz/${t}_fuzz" "$WORK/$t/corpus" \
        -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=1024 -max_len=65536 \
        -print_final_stats=1 -artifact_prefix="$WORK/$t/artifacts/" || status=1
done
exit $status
