#!/usr/bin/env bash
# Fuzzes one target for a while, from its seeds and a corpus kept in the build folder, and
# sorts what it found. A crash whose first frame in known code lies in the system's
# libvorbis, libvorbisfile, libogg, libopus, libopusfile or libFLAC is the decoder's:
# the product contains it in the decoder helper, and it is listed, not failed. Every
# other crash or leak is ours, and so is a hang or runaway memory in file collection. Findings stay in
# BUILD_DIR/tests/fuzz/findings/TARGET/ until the next run of that target.
#
#   tests/fuzz/run.sh BUILD_DIR ogg_check_fuzz|quick_diff_fuzz|opus_check_fuzz|flac_check_fuzz|collection_fuzz SECONDS [flags]
#
# Exit status 1 when a finding is ours, 2 on bad usage or when the fuzzer did not run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
if (($# < 3)); then
  sed -n '2,10s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" >&2
  exit 2
fi
dir=$(cd "$1" && pwd)/tests/fuzz
target=$2
seconds=$3
shift 3
binary=$dir/$target
case $target in
  ogg_check_fuzz | quick_diff_fuzz) seeds=$dir/seeds/ogg; flags=() ;;
  opus_check_fuzz | flac_check_fuzz) seeds=$dir/seeds/ogg-codecs; flags=() ;;
  collection_fuzz) seeds=$root/tests/fuzz/names; flags=(-dict="$root/tests/fuzz/names.dict") ;;
  *) echo "run.sh: unknown target $target" >&2; exit 2 ;;
esac
[ -x "$binary" ] || { echo "run.sh: $binary is not built (configure with -DHARROWBIT_FUZZ=ON)" >&2; exit 2; }

corpus=$dir/corpus/$target
findings=$dir/findings/$target
log=$dir/$target.log
rm -rf "$findings"
mkdir -p "$corpus" "$findings"

export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp
export UBSAN_OPTIONS=print_stacktrace=1
# -fork=1 -ignore_crashes=1: fuzzing goes on in a fresh process after a crash, so one
# libvorbis crash does not end the run. A hostile header may make the decoder allocate
# hundreds of MiB for real; the product's helper allows 4 GiB.
status=0
"$binary" -fork=1 -ignore_crashes=1 -max_total_time="$seconds" -timeout=30 \
  -rss_limit_mb=4096 -malloc_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" \
  "${flags[@]}" "$@" "$corpus" "$seeds" >"$log" 2>&1 || status=$?

# Decides by the first frame of the first stack that names our sources or the libraries.
culprit() {
  { "$binary" "$1" 2>&1 || true; } | awk -v root="$root/" '
    /^ *#[0-9]+ / {
      for (i = 1; i <= NF; ++i) {
        if (index($i, root) == 1 && $i ~ /\.(cpp|cc|h|hpp):[0-9]+/) { found = "ours"; exit }
      }
      if ($0 ~ /\/lib(vorbis|vorbisfile|ogg|opus|opusfile|FLAC)\.so/) { found = "libvorbis"; exit }
    }
    END { print found == "" ? "unknown" : found }'
}

ours=0
runs=$(grep -aoE '^#[0-9]+' "$log" | tail -n 1 | tr -d '#')
echo "$target: ${runs:-0} inputs run in about $seconds s; corpus $(ls "$corpus" | wc -l) files; log $log"
for finding in "$findings"/*; do
  [ -e "$finding" ] || continue
  name=${finding##*/}
  case $name in
    crash-* | leak-*)
      where=$(culprit "$finding")
      if [ "$where" = libvorbis ]; then
        echo "  $name: inside the system's Ogg, Vorbis, Opus or FLAC libraries (contained by the decoder helper)"
      else
        [ "$where" = ours ] && where="" || where=" (no frame in our sources or the libraries)"
        echo "  $name: OURS$where; reproduce with: LSAN_OPTIONS=$LSAN_OPTIONS $binary $finding"
        ours=1
      fi ;;
    *)
      # A timeout or an out-of-memory stops at a limit, not at a frame.
      if [ "$target" != collection_fuzz ]; then
        echo "  $name: the decoder ran into a limit (the product reports LIMIT)"
      else
        echo "  $name: OURS (file collection ran into a limit); reproduce with: $binary $finding"
        ours=1
      fi ;;
  esac
done
if ((status != 0)) && [ -z "$(ls -A "$findings")" ]; then
  echo "$target: the fuzzer failed (exit status $status) without a finding; see $log" >&2
  exit 2
fi
exit "$ours"
