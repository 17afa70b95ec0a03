#!/usr/bin/env bash
# Builds Harrowbit, writes a small demo library into demo/ and checks it: in the window
# when there is a display, otherwise with harrowbit-cli.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
scripts/setup.sh
rm -rf demo
build/tests/gen/harrowbit-gen demo demo
if [ -x build/app/harrowbit ] && [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec build/app/harrowbit "$PWD/demo"
fi
status=0
build/cli/harrowbit-cli demo || status=$?
echo "(harrowbit-cli exit status $status: 0 all clean, 1 damage found)"
