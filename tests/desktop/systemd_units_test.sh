#!/usr/bin/env bash
# Checks the systemd user units as systemd reads them, for a folder whose name needs
# escaping: instantiated for it, with ExecStart at the CLI under test and the manual
# where `man` finds it. Needs no running user manager. systemd-analyze exits 0 after
# mere warnings (an unknown key, a value it ignores), so any output fails too. Then the
# service's command checks a library under the system calls the unit allows.
set -euo pipefail
cli=$1
units=$2
manuals=$3
unit_syscalls_run=$4
gen=$5
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
# with %S and %f filled in, on a library of a clean and a damaged file, under the system
# calls SystemCallFilter= allows and the rest of what the unit's filters refuse
# (unit_syscalls_run). The decoder helpers must still confine themselves, every file
# must be checked and recorded, and the damaged one reported.
mkdir -p "$work/state/harrowbit" "$work/music"
"$gen" cases "$work/cases" >/dev/null
cp "$work/cases/clean.ogg" "$work/cases/dropped-page.ogg" "$work/music/"
expand() {
  systemd-analyze syscall-filter "$1" | sed -n 's/^    \([^#].*\)$/\1/p' |
    while read -r name; do
      case $name in @*) expand "$name" ;; *) echo "$name" ;; esac
    done
}
filters=$(sed -n 's/^SystemCallFilter=//p' "$work/harrowbit-scrub@.service")
[ "$filters" = $'@system-service seccomp\n~@privileged' ] ||
  { echo "SystemCallFilter= changed; make this test's list follow it: $filters"; exit 1; }
comm -23 <({ expand @system-service; echo seccomp; } | sort -u) <(expand @privileged | sort -u) \
  >"$work/allowed"
command=$(sed -n 's/^ExecStart=//p' "$work/harrowbit-scrub@.service")
command=${command//%S/$work/state}
command=${command//%f/$work/music}
status=0
# LeakSanitizer looks for leaks from a thread that ptraces the process, which the unit
# forbids; the other tests look for this run's leaks.
# shellcheck disable=SC2086 # the command line is words, as systemd splits it
ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
  "$unit_syscalls_run" "$work/allowed" -- $command >"$work/out" 2>"$work/err" || status=$?
coverage=$("$cli" --db "$work/state/harrowbit/scrub.db" --coverage 90 "$work/music" 2>&1) || true
if [ "$status" -ne 1 ] || [ -s "$work/err" ] ||
   ! grep -q 'dropped-page.ogg\.\.\.ERROR (OV_HOLE' "$work/out" ||
   [ "$coverage" != "$work/music: 2 of 2 files on disk checked within the last 90 days (100%)" ]; then
  echo "the service's command line under the unit's system calls (status $status): $command"
  cat "$work/out" "$work/err"
  echo "$coverage"
  exit 1
fi
