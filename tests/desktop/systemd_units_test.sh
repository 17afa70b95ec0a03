#!/usr/bin/env bash
# Checks the systemd user units as systemd reads them, for a folder whose name needs
# escaping: instantiated for it, with ExecStart at the CLI under test and the manual
# where `man` finds it. Needs no running user manager. systemd-analyze exits 0 after
# mere warnings (an unknown key, a value it ignores), so any output fails too.
set -euo pipefail
cli=$1
units=$2
manuals=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sed "s#@bindir@#$(dirname "$cli")#" "$units/harrowbit-scrub@.service.in" >"$work/harrowbit-scrub@.service"
cp "$units/harrowbit-scrub@.timer" "$work/"
instance=$(systemd-escape --path "/srv/my music/ä")
for kind in service timer; do
  ln -s "harrowbit-scrub@.$kind" "$work/harrowbit-scrub@$instance.$kind"
done
mkdir -p "$work/man/man1" "$work/runtime"
ln -s "$manuals/harrowbit-cli.1" "$work/man/man1/"
chmod 700 "$work/runtime"

status=0
output=$(MANPATH="$work/man" XDG_RUNTIME_DIR="$work/runtime" \
  systemd-analyze --user verify "$work/harrowbit-scrub@$instance.service" \
  "$work/harrowbit-scrub@$instance.timer" 2>&1) || status=$?
if [ "$status" -ne 0 ] || [ -n "$output" ]; then
  echo "systemd-analyze verify (status $status):"
  echo "$output"
  exit 1
fi

# systemd does not know the CLI's options: run the service's command line as it stands,
# with %S and %f filled in, on a folder with one file in it.
mkdir -p "$work/state/harrowbit" "$work/music"
command=$(sed -n 's/^ExecStart=//p' "$work/harrowbit-scrub@.service")
command=${command//%S/$work/state}
command=${command//%f/$work/music}
status=0
run=$($command 2>&1) || status=$?
if [ "$status" -ne 0 ] || [ "$run" != "0 files, 0 errors" ] || [ ! -s "$work/state/harrowbit/scrub.db" ]; then
  echo "the service's command line failed (status $status): $command"
  echo "$run"
  exit 1
fi
