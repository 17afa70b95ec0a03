#!/usr/bin/env bash
# harrowbit-cli.exe -j1 against a bare libvorbisfile loop (bare-decode.exe), both under
# Wine on the same generated files, in turn: prints each one's best time of five and the
# ratio (the target is at most 1.05). Needs build/ (for harrowbit-gen) and build-windows/
# (scripts/build-windows.sh), and the Wine prefix that scripts/test-windows.sh makes.
# Usage: bench/windows.sh [FILES [SECONDS]]   (defaults: 12 files of 60 s)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
files=${1:-12} seconds=${2:-60}
export WINEPREFIX=$PWD/build-windows/wineprefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
work=$PWD/build-windows/bench-files
rm -rf "$work"
mkdir -p "$work"
names=()
for ((i = 0; i < files; i++)); do
  build/tests/gen/harrowbit-gen tone "$work/tone-$i.ogg" --seconds "$seconds" --serial "$((i + 1))"
  names+=("Z:${work//\//\\}\\tone-$i.ogg")
done
timeout -k 5 30 wineserver -p 2>/dev/null || true
trap 'timeout -k 5 30 wineserver -k || true' EXIT
# Wine's services start with nothing of ours to hold (see scripts/test-windows.sh).
timeout -k 10 120 wineboot </dev/null >/dev/null 2>&1
# A warm start for both: the first Wine start of a run loads more.
timeout -k 5 120 wine build-windows/bench/bare-decode.exe "${names[0]}" </dev/null >/dev/null

# One run of a program under Wine, in milliseconds.
run_ms() {
  local start end
  start=$(date +%s%N)
  timeout -k 5 600 wine "$@" </dev/null >/dev/null
  end=$(date +%s%N)
  echo $(((end - start) / 1000000))
}
# The three in turn, five rounds, so that a change in the machine's load hits them alike;
# each one's best time counts.
bare=0 cli=0 inproc=0
for _ in 1 2 3 4 5; do
  ms=$(run_ms build-windows/bench/bare-decode.exe "${names[@]}")
  ((bare == 0 || ms < bare)) && bare=$ms
  ms=$(run_ms build-windows/cli/harrowbit-cli.exe -j1 -q "${names[@]}")
  ((cli == 0 || ms < cli)) && cli=$ms
  # Without its helper: what is left between the two is the helper's start and answers.
  ms=$(run_ms build-windows/cli/harrowbit-cli.exe -j1 -q --in-process "${names[@]}")
  ((inproc == 0 || ms < inproc)) && inproc=$ms
done
echo "bare libvorbisfile loop under Wine: $bare ms"
echo "harrowbit-cli -j1 under Wine:       $cli ms"
echo "  the same --in-process:            $inproc ms"
awk -v c="$cli" -v b="$bare" 'BEGIN { r = c / b; printf "ratio: %.3f (target <= 1.05)\n", r; exit r > 1.05 }'
