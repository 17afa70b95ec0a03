#!/usr/bin/env bash
# The nightly scrub reads files nobody vouches for: systemd-analyze must score its unit at
# most 2.0, without taking away what it needs to work (the library readable wherever it
# lies, its database written, the decoder helper's own seccomp filter and socket).
set -euo pipefail
units=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sed "s#@bindir@#/usr/bin#" "$units/harrowbit-scrub@.service.in" >"$work/harrowbit-scrub@.service"
instance=$(systemd-escape --path "/srv/music")
ln -s "harrowbit-scrub@.service" "$work/harrowbit-scrub@$instance.service"

fail=0
report=$(cd "$work" && systemd-analyze security --offline=yes "harrowbit-scrub@$instance.service" 2>&1)
score=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$report")
if [ -z "$score" ] || ! awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }'; then
  echo "exposure ${score:-unknown}, more than 2.0:"
  echo "$report"
  fail=1
fi

# What the score would reward but the scrub cannot do without.
setting() { sed -n "s/^$1=//p" "$work/harrowbit-scrub@.service"; }
needs() {
  local key=$1 want=$2 why=$3
  grep -qxF -- "$want" <<<"$(setting "$key")" || { echo "$key must hold $want: $why"; fail=1; }
}
needs ProtectHome read-only "libraries live under /home too"
needs StateDirectory harrowbit "the database is written there"
needs RestrictAddressFamilies AF_UNIX "the decoder helpers' requests go over a Unix socket"
grep -q -- ' seccomp' <<<"$(setting SystemCallFilter)" ||
  { echo "SystemCallFilter must allow seccomp: the decoder helper confines itself"; fail=1; }
for key in InaccessiblePaths TemporaryFileSystem ReadOnlyPaths BindPaths; do
  [ -z "$(setting "$key")" ] || { echo "$key may hide the library"; fail=1; }
done
exit $fail
