#!/usr/bin/env bash
# harrowbit-cli.exe -j1 against a bare libvorbisfile loop (bare-decode.exe), both under
# Wine on the same generated files, in turn: prints each one's median time of seven rounds
# and the median of the rounds' ratios (the target is at most 1.05): a round's two runs
# follow each other, so a change in the machine's speed between rounds moves both. The
# default corpus is an album: twelve tracks of four minutes. What a run costs whatever its
# files (Wine starting the programs, and the CLI's helper) is timed apart on one file of
# 1 s and printed first: on a corpus that decodes in much less than a second it is that
# cost, not the checking, that the ratio shows.
# Needs build/ (for harrowbit-gen) and build-windows/ (scripts/build-windows.sh), and the
# Wine prefix that scripts/test-windows.sh makes.
# Usage: bench/windows.sh [FILES [SECONDS]]   (defaults: 12 files of 240 s)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
files=${1:-12} seconds=${2:-240}
export WINEPREFIX=$PWD/build-windows/wineprefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
work=$PWD/build-windows/bench-files
rm -rf "$work"
mkdir -p "$work"
windows_name() { echo "Z:${1//\//\\}"; }
names=()
for ((i = 0; i < files; i++)); do
  build/tests/gen/harrowbit-gen tone "$work/tone-$i.ogg" --seconds "$seconds" --serial "$((i + 1))"
  names+=("$(windows_name "$work/tone-$i.ogg")")
done
build/tests/gen/harrowbit-gen tone "$work/short.ogg" --seconds 1 --serial 99
short=$(windows_name "$work/short.ogg")
timeout -k 5 30 wineserver -p 2>/dev/null || true
trap 'timeout -k 5 30 wineserver -k || true' EXIT
# Wine's services start with nothing of ours to hold (see scripts/test-windows.sh).
timeout -k 10 120 wineboot </dev/null >/dev/null 2>&1
# A warm start for both: the first Wine start of a run loads more.
timeout -k 5 120 wine build-windows/bench/bare-decode.exe "$short" </dev/null >/dev/null

bare=(build-windows/bench/bare-decode.exe)
cli=(build-windows/cli/harrowbit-cli.exe -j1 -q)
# Without its helper: what is left between the two is the helper's start and answers.
inproc=(build-windows/cli/harrowbit-cli.exe -j1 -q --in-process)

# One run of a program under Wine, in milliseconds.
run_ms() {
  local start end
  start=$(date +%s%N)
  timeout -k 5 600 wine "$@" </dev/null >/dev/null
  end=$(date +%s%N)
  echo $(((end - start) / 1000000))
}
median() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }

# The three in turn, seven rounds, so that a change in the machine's load hits them alike.
# Sets B, C and I to the medians of the bare loop, the CLI and the CLI in-process, and R to
# the median of the CLI's time over the loop's in each round.
time_three() {
  local b=() c=() p=() r=()
  for _ in 1 2 3 4 5 6 7; do
    b+=("$(run_ms "${bare[@]}" "$@")")
    c+=("$(run_ms "${cli[@]}" "$@")")
    p+=("$(run_ms "${inproc[@]}" "$@")")
    r+=("$(awk -v c="${c[-1]}" -v b="${b[-1]}" 'BEGIN { printf "%.4f", c / b }')")
  done
  B=$(median "${b[@]}") C=$(median "${c[@]}") I=$(median "${p[@]}") R=$(median "${r[@]}")
}

time_three "$short"
echo "a run's own cost (one file of 1 s): loop $B ms, CLI -j1 $C ms, --in-process $I ms"
echo "  so Wine's start of the helper: about $((C - I)) ms a run"
time_three "${names[@]}"
echo "$files files of $seconds s:"
echo "bare libvorbisfile loop under Wine: $B ms"
echo "harrowbit-cli -j1 under Wine:       $C ms"
echo "  the same --in-process:            $I ms"
awk -v r="$R" 'BEGIN { printf "ratio: %.3f (target <= 1.05)\n", r; exit r > 1.05 }'
