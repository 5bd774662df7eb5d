#!/usr/bin/env bash
# Starts tavex-icapd in the foreground on a demo set-up kept under the build
# tree (configuration, pid file, log, cache, quarantine), with the stand-in
# scanning daemon tavexd beside it. Ctrl-C stops both.
# Usage: scripts/run-demo.sh BUILD_DIR [PORT]
set -euo pipefail

src="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:?usage: run-demo.sh BUILD_DIR [PORT]}" && pwd)"
port="${2:-1344}"
demo="$build/demo"
daemon="$build/tavex-icapd"
tavexd="$build/tools/tavexd"

mkdir -p "$demo/cache" "$demo/quarantine" "$demo/ucf"
# The category files the build compiled from etc/lists/categories.
rm -f "$demo/ucf/"*.ucf
cp "$build/demo-ucf/"*.ucf "$demo/ucf/" 2>/dev/null || echo "run-demo: no category files in $build/demo-ucf" >&2
rm -f "$demo/tavexd.pid" "$demo/tavexd.sock"

tavexd_pid=""
icapd_pid=""
stop() {
  [ -n "$icapd_pid" ] && kill -TERM "$icapd_pid" 2>/dev/null || true
  [ -n "$tavexd_pid" ] && kill -TERM "$tavexd_pid" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap stop EXIT
trap 'exit 130' INT TERM

scanner_line="# TavexAddress: no scanning daemon in this build"
if [ -x "$tavexd" ]; then
  "$tavexd" -l "local:$demo/tavexd.sock" -p "$demo/tavexd.pid" -s "$src/etc/tavexd/demo.sig" \
    2>"$demo/tavexd.log" &
  tavexd_pid=$!
  for _ in $(seq 50); do
    [ -s "$demo/tavexd.pid" ] && break
    sleep 0.1
  done
  if [ ! -s "$demo/tavexd.pid" ]; then
    echo "run-demo: tavexd did not start, see $demo/tavexd.log" >&2
    exit 1
  fi
  scanner_line="TavexAddress = pid:$demo/tavexd.pid"
fi

cat >"$demo/tavex-icapd.ini" <<INI
# Demo configuration written by scripts/run-demo.sh; every path is under $demo.
LogFile = "$demo/icapd.log"
LogLevel = 3
PidFile = "$demo/icapd.pid"
Cache = "$demo/cache/"
UcfDirectory = "$demo/ucf/"
PathToQuarantine = "$demo/quarantine"
Templates = "$src/etc/templates"
User = $(id -un)
BindAddress = 127.0.0.1
BindPort = $port
$scanner_line
INI

cat <<TXT
tavex-icapd demo on 127.0.0.1:$port (configuration $demo/tavex-icapd.ini, log $demo/icapd.log)
Try it from another terminal:
  c-icap-client -i 127.0.0.1 -p $port -s avscan                      # OPTIONS
  c-icap-client -i 127.0.0.1 -p $port -s avscan -f /etc/hostname \\
      -resp http://example.com/hostname -v                          # RESPMOD
  printf 'a TAVEX-DEMO-CURABLE-MARKER b' >/tmp/demo.txt; rm -f /tmp/demo.out
  c-icap-client -i 127.0.0.1 -p $port -s avscan -f /tmp/demo.txt \\
      -resp http://example.com/demo.txt -o /tmp/demo.out            # cured body:
  cat /tmp/demo.out       # (c-icap-client never overwrites an -o file)
  A RESPMOD carrying the EICAR test file gets the access-denied page.
  c-icap-client -i 127.0.0.1 -p $port -s avscan \\
      -req http://www.adult.example/index.html -v                   # category "porno":
      # the download-block page, and "ucf:[porno]" in the log
  $build/tools/ucf-build/ucf-build --dump $demo/ucf/porno.ucf        # what a category file holds
  tail -f $demo/icapd.log
Ctrl-C stops it.
TXT

"$daemon" -m -f "$demo/tavex-icapd.ini" >/dev/null &
icapd_pid=$!
wait "$icapd_pid"
