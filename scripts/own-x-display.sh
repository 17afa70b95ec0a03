#!/usr/bin/env bash
# Runs a command on an X server of its own and returns the command's status.
# Usage: scripts/own-x-display.sh WIDTHxHEIGHTxDEPTH COMMAND [ARG...]
# Xvfb chooses a free display itself (-displayfd): a number chosen by looking from outside,
# as xvfb-run does, can be taken by another test started in the same instant. The command
# starts only once the server has answered a client, so a loaded machine that is slow to
# bring the server up costs time, never a failed connection. -noreset: by default the server
# resets when its last client leaves and drops any client that connected meanwhile but was
# not yet answered; the readiness probe and a test's own xprop polls are such last clients.
set -euo pipefail
screen=$1
shift
dir=$(mktemp -d)
server=""
cleanup() {
  if [ -n "$server" ]; then
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
  fi
  rm -rf "$dir"
}
trap cleanup EXIT
# The file is made here, not by the server's redirection: that happens in the child, which a
# busy machine may not have run yet when the first look below reads the file.
: >"$dir/display"
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 "$screen" 3>"$dir/display" >"$dir/log" 2>&1 &
server=$!
number=""
for _ in $(seq 1200); do
  number=$(sed -n '1s/^\([0-9][0-9]*\)$/\1/p' "$dir/display")
  [ -n "$number" ] && break
  kill -0 "$server" 2>/dev/null || break
  sleep 0.05
done
if [ -z "$number" ]; then
  echo "Xvfb did not start within 60 s:" >&2
  cat "$dir/log" >&2
  exit 1
fi
export DISPLAY=:$number
unset XAUTHORITY
for _ in $(seq 1200); do
  xprop -root -len 0 >/dev/null 2>&1 && break
  sleep 0.05
done
xprop -root -len 0 >/dev/null || { echo "Xvfb on $DISPLAY never answered" >&2; exit 1; }
set +e
"$@"
status=$?
set -e
exit "$status"
