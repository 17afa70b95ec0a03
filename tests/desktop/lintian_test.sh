#!/usr/bin/env bash
# Builds the Debian package and runs Debian's own checker on it: any error or warning it
# prints fails. An override belongs in the package only with its reason beside it.
set -euo pipefail
build=$1
packages=$(mktemp -d)
trap 'rm -rf "$packages"' EXIT
# A group-writable umask (common on desktops) must still give Debian's 0644 and 0755.
(cd "$build" && umask 002 && cpack -G DEB -B "$packages" >/dev/null)
deb=$(ls "$packages"/harrowbit_*.deb)
status=0
lintian --fail-on error,warning "$deb" >"$packages/lintian.out" 2>&1 || status=$?
# Run as root (a container, CI), lintian says so; that is about the run, not the package.
output=$(grep -vxF 'running with root privileges is not recommended!' "$packages/lintian.out" || true)
if [ "$status" -ne 0 ] || [ -n "$output" ]; then
  echo "lintian $deb (status $status):"
  echo "$output"
  exit 1
fi
