#!/usr/bin/env bash
# harrowbit-cli.exe under Wine against the Linux harrowbit-cli on the same files: the
# generated cases (one file per kind of damage, and the codebook made to exhaust the
# decoder's stack), paths longer than 259 characters and the demo library, full and --quick, -j1 and -j2; the Opus and FLAC
# cases with --all-codecs, and the breaches of the format rules with --strict. Given the
# same list of files (--files-from), the reports must be the same bytes once Windows' paths
# ("Z:\dir\a.ogg") and line ends ("\r\n") are mapped, and so must the exit statuses.
# Given the folder, each system lists it in its own order (Windows: by name), so there the
# verdicts of each file must agree. With --db (@DB: each system's own database), a first run
# records and a second takes the recorded verdicts, times of the check masked. With
# --salvage (@OUT: each system's own folder) the copies written must be the same bytes too.
# Every Wine call has a hard timeout.
# Usage: cli_compare.sh LINUX_CLI WINDOWS_CLI_EXE HARROWBIT_GEN WORK_DIR
set -euo pipefail
linux_cli=$1 windows_cli=$2 gen=$3 work=$4
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
"$gen" cases "$work/cases" >/dev/null
"$gen" demo "$work/demo" >/dev/null
"$gen" codec-cases "$work/codecs" >/dev/null
"$gen" strict-cases "$work/strict" >/dev/null
# Names beyond ASCII, in a list of UTF-8 bytes and from the folder: the engine's paths are
# UTF-8, and a path that went through Windows' ANSI code page would name no file.
mkdir -p "$work/names/Sigur Rós" "$work/names/日本"
cp "$work/cases/clean.ogg" "$work/names/Sigur Rós/Ágætis byrjun.ogg"
cp "$work/cases/dropped-page.ogg" "$work/names/日本/音楽 🎵.ogg"
cp "$work/cases/cut-mid-file.ogg" "$work/names/Ελληνικά.ogg"
# An album three folders deep with long names: paths of 300 and more characters, one of
# them beginning with the whole 259-character path of another, damaged, file; each must get
# its own verdict, on Windows through "\\?\" paths.
long=$work/long/$(printf 'A%.0s' {1..100})
damaged=$long/$(printf 'd%.0s' $(seq $((259 - ${#long} - 1 - 4)))).ogg
album="$damaged (Deluxe Edition)/$(printf 'c%.0s' {1..60})"
mkdir -p "$album"
cp "$work/cases/cut-mid-file.ogg" "$damaged"
cp "$work/cases/clean.ogg" "$album/$(printf 't%.0s' {1..40}).ogg"
cp "$work/codecs/opus-clean.opus" "$album/$(printf 'o%.0s' {1..40}).opus"
cp "$work/codecs/flac-cut-mid-file.oga" "$album/$(printf 'f%.0s' {1..40}).oga"
# Pages past 2 GiB, where libvorbisfile on Windows cannot seek (its tell answers a 32-bit
# long): gigabytes of zeros amid a link's audio (a hole of a sparse file: no disk, read
# fast), then a page whose CRC fails; in a chain, the hole in the first link and the broken
# page in the second.
mkdir -p "$work/big"
python3 - "$work/cases/clean.ogg" "$work/cases/chained.ogg" "$work/big" <<'EOF'
import os, sys
def pages(data):
    out, i = [], 0
    while i < len(data):
        n = data[i + 26]
        end = i + 27 + n + sum(data[i + 27:i + 27 + n])
        out.append(bytearray(data[i:end]))
        i = end
    return out
for source, hole, broken in ((sys.argv[1], 0.5, 0.8), (sys.argv[2], 0.25, 0.75)):
    ps = pages(open(source, "rb").read())
    ps[int(broken * len(ps))][-1] ^= 0x55
    with open(os.path.join(sys.argv[3], os.path.basename(source)), "wb") as f:
        f.write(b"".join(ps[:int(hole * len(ps))]))
        f.seek(int(2.1 * 2 ** 30), os.SEEK_CUR)
        f.write(b"".join(ps[int(hole * len(ps)):]))
EOF
for folder in cases demo names codecs strict long big; do
  # The names each run takes from a folder: --all-codecs takes .opus and .oga too.
  (cd "$work" && find "$folder" -name '*.ogg' -o -name '*.opus' -o -name '*.oga' | LC_ALL=C sort) \
    >"$work/$folder.names"
  for codecs in all-codecs vorbis; do
    names=$work/$folder.names
    if [ "$codecs" = vorbis ]; then
      grep '\.ogg$' "$work/$folder.names" >"$work/$folder.ogg-names" || true
      names=$work/$folder.ogg-names
    fi
    sed "s|^|$work/|" "$names" >"$work/$folder.$codecs.linux-list"
    sed -e "s|^|$work/|" -e 's|/|\\|g' -e 's|^|Z:|' "$names" >"$work/$folder.$codecs.windows-list"
  done
done

# Wine shows the Unix root as drive Z:.
to_windows() { printf 'Z:%s' "${1//\//\\}"; }
# A Windows report read as the Linux one: Z:\x\y as /x/y, "\r\n" as "\n"; and the times a
# database recorded, which differ between the systems' runs.
# JSON doubles each backslash, and escapes a quote with one, which is kept.
from_windows() {
  sed -e 's/\r$//' -e 's|\\\\|\\|g' -e 's|\\"|\x01|g' -e 's|Z:\\|/|g' -e 's|\\|/|g' \
    -e 's|\x01|\\"|g' | mask_times
}
mask_times() {
  sed -e 's/[0-9]\{4\}-[0-9][0-9]-[0-9][0-9]T[0-9:.]*Z/TIME/g' \
    -e "s#$work/\(linux\|windows\)-salvage#SALVAGE#g"
}
# Each file's verdict, in no particular order.
verdicts() { sed -n 's/^\[[0-9]*\/[0-9]*\]\t//p' "$1" | LC_ALL=C sort; }

failed=0
cases=(
  # folder  options
  "cases    -j1"
  "cases    -j2"
  "cases    --quick -j1"
  "cases    --quick -j2"
  "demo     -j1"
  "demo     -j2"
  "demo     --quick -j1"
  "demo     --quick -j2"
  "demo     --db @DB -j2"
  "demo     --db @DB --skip-checked 30 --json -j1"
  "names    -j1"
  "names    --quick -j2 --json"
  "long     -j1"
  "long     --all-codecs --quick -j2"
  "codecs   --all-codecs -j1"
  "codecs   --all-codecs --quick -j2 --json"
  "strict   --strict -j1"
  "strict   --all-codecs --strict -j2"
  "strict   --all-codecs --strict --quick -j1 --json"
  "strict   --all-codecs --strict --db @DB -j2"
  "strict   --all-codecs --strict --db @DB --skip-checked 30 -j1"
  "cases    --salvage @OUT -j1"
  "codecs   --all-codecs --salvage @OUT --json -j2"
  "strict   --all-codecs --strict --salvage @OUT -j1"
  "long     --all-codecs --salvage @OUT -j2"
  "big      -j2"
  "big      --quick --strict -j1"
  "big      --all-codecs --salvage @OUT -j2"
)
for c in "${cases[@]}"; do
  read -r folder options <<<"$c"
  codecs=vorbis
  [[ " $options " == *" --all-codecs "* ]] && codecs=all-codecs
  linux_options=${options//@DB/$work/linux.db}
  windows_options=${options//@DB/$(to_windows "$work/windows.db")}
  linux_options=${linux_options//@OUT/$work/linux-salvage}
  windows_options=${windows_options//@OUT/$(to_windows "$work/windows-salvage")}
  rm -rf "$work/linux-salvage" "$work/windows-salvage"
  # shellcheck disable=SC2086 # the options are words
  linux_status=0
  "$linux_cli" $linux_options --files-from "$work/$folder.$codecs.linux-list" 2>"$work/linux.err" |
    mask_times >"$work/linux.txt" || linux_status=${PIPESTATUS[0]}
  windows_status=0
  windows_list=$(to_windows "$work/$folder.$codecs.windows-list")
  # Into files, not pipes: a Wine service started meanwhile would hold a pipe open.
  # shellcheck disable=SC2086
  timeout -k 10 300 wine "$windows_cli" $windows_options --files-from "$windows_list" \
    </dev/null >"$work/windows.raw" 2>"$work/windows.err" || windows_status=$?
  from_windows <"$work/windows.raw" >"$work/windows.txt"
  "$linux_cli" $linux_options "$work/$folder" 2>/dev/null | mask_times >"$work/linux-folder.txt" ||
    true
  # shellcheck disable=SC2086
  timeout -k 10 300 wine "$windows_cli" $windows_options "$(to_windows "$work/$folder")" \
    </dev/null >"$work/windows-folder.raw" 2>"$work/windows-folder.err" || true
  from_windows <"$work/windows-folder.raw" >"$work/windows-folder.txt"
  if ! cmp -s "$work/linux.txt" "$work/windows.txt"; then
    echo "FAIL $folder $options: the reports differ (- Linux, + Windows)"
    diff -u "$work/linux.txt" "$work/windows.txt" | head -40
    failed=1
  elif ((linux_status != windows_status)); then
    echo "FAIL $folder $options: exit status $linux_status on Linux, $windows_status on Windows"
    cat "$work/windows.err"
    failed=1
  elif ! cmp -s <(verdicts "$work/linux-folder.txt") <(verdicts "$work/windows-folder.txt") ||
       [ "$(wc -l <"$work/linux-folder.txt")" -ne "$(wc -l <"$work/linux.txt")" ]; then
    echo "FAIL $folder $options: given the folder, the verdicts differ (- Linux, + Windows)"
    diff -u <(verdicts "$work/linux-folder.txt") <(verdicts "$work/windows-folder.txt") | head -40
    cat "$work/windows-folder.err"
    failed=1
  elif [[ " $options " == *" @OUT "* ]] &&
       ! diff -r "$work/linux-salvage" "$work/windows-salvage" >"$work/salvage.diff"; then
    echo "FAIL $folder $options: the salvages differ"
    head -20 "$work/salvage.diff"
    failed=1
  elif ! grep -q $'\r$' "$work/windows.raw"; then
    echo "FAIL $folder $options: the Windows report's lines do not end in \\r\\n"
    failed=1
  else
    echo "ok   $folder $options ($(wc -l <"$work/linux.txt") lines, exit $linux_status)"
  fi
done

# Wine applies neither the helper's integrity level nor its job's limits (docs/sandbox.md): the
# run says so once however many helpers it starts, and with --require-sandbox checks
# nothing, a fault of the run.
mkdir -p "$work/sandbox"
for name in a b c; do cp "$work/cases/clean.ogg" "$work/sandbox/$name.ogg"; done
for c in "0 1 0 -j2" "2 0 1 -j2 --require-sandbox" "2 0 1 -j1 --require-sandbox"; do
  read -r want_status want_warnings want_refusal options <<<"$c"
  status=0
  # shellcheck disable=SC2086 # the options are words
  timeout -k 10 300 wine "$windows_cli" $options "$(to_windows "$work/sandbox")" \
    </dev/null >"$work/sandbox.raw" 2>"$work/sandbox.err" || status=$?
  warnings=$(grep -c '^harrowbit: the decoder helper runs unconfined: ' "$work/sandbox.err" || true)
  refusal=$(grep -c '^harrowbit: the decoder helper cannot be confined (' "$work/sandbox.err" || true)
  if ((status != want_status || warnings != want_warnings || (refusal > 0) != want_refusal)); then
    echo "FAIL sandbox $options: exit $status, $warnings warnings, $refusal refusals"
    cat "$work/sandbox.err"
    failed=1
  else
    echo "ok   sandbox $options (exit $status)"
  fi
done
exit "$failed"
