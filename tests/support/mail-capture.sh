#!/bin/sh
# A sendmail stand-in for tests: stores each message it is given on standard
# input, byte for byte, as a file in DIR, or plays a broken mailer. It never
# sends anything anywhere and never touches a file outside DIR.
#
# Usage, as a MailCommand:  mail-capture.sh [MODE] DIR ARG...   (ARG: "%s", ...)
#   (no MODE)   read standard input to its end, store it, exit 0
#   --fail[=N]  read standard input to its end, store nothing, exit N (75)
#   --hang[=S]  never read standard input; sleep S seconds (300) in DIR, exit 0
#   --no-read   read nothing, exit 0 at once
#
# What DIR gets (the C++ side, tests/support/mail_capture.h, reads it):
#   calls          one line per run, in every mode, appended as the run
#                  starts: "MODE PID" (the pid of the sleep for --hang)
#   ID.args        every ARG, each followed by a NUL byte
#   ID.msg         the bytes read from standard input, nothing added
# ID is "msg-" + nanoseconds since 1970 (19 digits) + "-" + pid, so names
# sort in the order the messages were complete. Both files are written under
# a name starting with "." and renamed into place, .args before .msg: a .msg
# that can be seen is whole and its .args is there.
set -u

mode=store
status=75
seconds=300
case "${1-}" in
  --fail) mode=fail; shift ;;
  --fail=*) mode=fail; status=${1#--fail=}; shift ;;
  --hang) mode=hang; shift ;;
  --hang=*) mode=hang; seconds=${1#--hang=}; shift ;;
  --no-read) mode=no-read; shift ;;
esac
if [ $# -lt 1 ]; then
  echo "usage: $0 [--fail[=N]|--hang[=S]|--no-read] DIR ARG..." >&2
  exit 64
fi
dir=$1
shift

echo "$mode $$" >>"$dir/calls" || exit 73

case $mode in
  fail) cat >/dev/null; exit "$status" ;;
  hang) cd "$dir" && exec sleep "$seconds" ;;  # its cwd tells whose sleep it is
  no-read) exit 0 ;;
esac

tmp_msg=$(mktemp "$dir/.msg.XXXXXX") || exit 73
tmp_args=$(mktemp "$dir/.args.XXXXXX") || { rm -f "$tmp_msg"; exit 73; }
# printf repeats its format for every argument, and prints it once for none.
if [ $# -gt 0 ]; then
  printf '%s\0' "$@" >"$tmp_args" || { rm -f "$tmp_msg" "$tmp_args"; exit 74; }
fi
if ! cat >"$tmp_msg"; then
  rm -f "$tmp_msg" "$tmp_args"
  exit 74
fi
id="msg-$(date +%s%N)-$$"
mv "$tmp_args" "$dir/$id.args" && mv "$tmp_msg" "$dir/$id.msg" || exit 74
exit 0
