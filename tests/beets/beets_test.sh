#!/usr/bin/env bash
# Debian's beets on a small generated library of Ogg Vorbis files: the user guide's badfiles
# configuration names exactly the damaged files, and Harrowbit's plugin (configured as the
# guide shows it, found through Python's path, as the package installs it) keeps exactly
# their verdicts, from a check on demand, with --db, and on import, and salvages them on
# demand.
#
#   tests/beets/beets_test.sh HARROWBIT_CLI HARROWBIT_GEN GUIDE PLUGIN_PARENT
set -euo pipefail
cli=$1 gen=$2 guide=$3 plugins=$4
command -v beet >/dev/null || { echo "beets is not installed (scripts/setup.sh installs it)"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"
ln -s "$cli" "$work/bin/harrowbit-cli"
export PATH="$work/bin:$PATH" PYTHONPATH="$plugins" HOME="$work"

"$gen" cases "$work/lib" >/dev/null
# Made to exhaust the decoder's stack: slow, and not what this test is about.
rm "$work/lib/huge-codebook.ogg"
damaged="dropped-page flipped-byte renumbered-page cut-last-page corrupt-last-page cut-mid-file
         headers-only not-ogg empty bad-id-header"

fail=0
# A beets of its own in $work/$1, with the lines of standard input added to its config.
beets_dir() {
  mkdir -p "$work/$1"
  { printf 'directory: %s\nlibrary: %s\nui:\n  color: no\n' "$work/lib" "$work/$1/library.db"
    printf 'import:\n  copy: no\n  write: no\n  autotag: no\n  quiet: yes\n'
    cat; } >"$work/$1/config.yaml"
}
in_beets() { local dir=$1; shift; BEETSDIR="$work/$dir" beet "$@"; }
# The library's paths, sorted, one a line; with a query, those it matches.
paths() { local dir=$1; shift; in_beets "$dir" ls -f '$path' "$@" | sort; }
# Of the library's files, those the generator damaged.
damaged_in() { paths "$1" | grep -E "/($(echo $damaged | tr ' ' '|'))\.ogg$" || true; }
same() {
  if [ "$2" != "$3" ]; then
    printf '%s\n  expected:\n%s\n  got:\n%s\n' "$1" "$(sed 's/^/    /' <<<"$2")" "$(sed 's/^/    /' <<<"$3")"
    fail=1
  fi
}

# badfiles, configured as the guide says (its fenced block from "plugins: badfiles" on).
sed -n '/^plugins: badfiles$/,/^```$/{/^```$/!p}' "$guide" | beets_dir bad
grep -q 'ogg: harrowbit-cli' "$work/bad/config.yaml" || { echo "no badfiles block in $guide"; exit 1; }
in_beets bad import -s "$work/lib" >/dev/null 2>&1
expected=$(damaged_in bad)
[ -n "$expected" ] || { echo "beets imported none of the damaged files"; exit 1; }
named=$(in_beets bad bad 2>&1 | sed -n 's/: checker exited with status 1$//p' | sort)
same "beet bad named other files than the damaged ones" "$expected" "$named"

# The plugin, on demand, configured as the guide shows it (every setting at its default).
sed -n '/^plugins: harrowbit$/,/^```$/{/^```$/!p}' "$guide" | beets_dir plugin
grep -q 'check_on_import: no' "$work/plugin/config.yaml" || { echo "no plugin block in $guide"; exit 1; }
in_beets plugin import -s "$work/lib" >/dev/null 2>&1
in_beets plugin harrowbit -j 2 >"$work/plugin.out" || { echo "beet harrowbit failed"; fail=1; }
same "harrowbit_verdict:error is not the damaged files" "$expected" "$(paths plugin harrowbit_verdict:error)"
ok=$(paths plugin | grep -vxF -f <(printf '%s\n' "$expected"))
same "harrowbit_verdict:ok is not the clean files" "$ok" "$(paths plugin harrowbit_verdict:ok)"
unchecked=$(in_beets plugin ls -f '$path $harrowbit_checked' | awk 'NF < 2 || $2 !~ /^[0-9.]+$/')
same "an item has no check time" "" "$unchecked"
grep -q "OV_HOLE @ " "$work/plugin.out" || { echo "beet harrowbit did not show the reasons"; fail=1; }
reason=$(in_beets plugin ls -f '$harrowbit_reason' path:"$work/lib/dropped-page.ogg")
same "the reason kept for dropped-page.ogg" "OV_HOLE @ 0m 00s" "$reason"
# The sound's hash as harrowbit-cli gives it; none for a file that did not decode to its end.
hash_of() { in_beets plugin ls -f '$harrowbit_audio_hash' path:"$work/lib/$1"; }
want=$("$cli" --json "$work/lib/clean.ogg" | sed -n 's/.*"audio_hash":"\([0-9a-f]*\)".*/\1/p')
[ ${#want} -eq 32 ] || { echo "harrowbit-cli gave no audio hash for clean.ogg"; fail=1; }
same "the audio hash kept for clean.ogg" "$want" "$(hash_of clean.ogg)"
same "the audio hash kept for dropped-page.ogg" "" "$(hash_of dropped-page.ogg)"

# A salvage of each damaged file, at its path below the library's folder, that passes the
# check; the library's files untouched.
before=$(cd "$work/lib" && sha256sum -- * | sort)
in_beets plugin harrowbit --salvage "$work/salvaged" >"$work/salvage.out" ||
  { echo "beet harrowbit --salvage failed"; fail=1; }
for f in dropped-page flipped-byte renumbered-page; do
  grep -qF "$work/lib/$f.ogg: SALVAGED as $work/salvaged/$f.ogg (kept " "$work/salvage.out" ||
    { echo "beet harrowbit --salvage did not salvage $f.ogg"; fail=1; }
done
grep -qF "$work/lib/headers-only.ogg: NOT SALVAGED (no audio packet of a stream could be kept)" \
  "$work/salvage.out" || { echo "beet harrowbit --salvage did not say why headers-only.ogg was not salvaged"; fail=1; }
same "the library changed" "$before" "$(cd "$work/lib" && sha256sum -- * | sort)"
"$cli" --strict "$work/salvaged" >/dev/null || { echo "a salvage fails its check"; fail=1; }

# A query picks the files, and --db reaches harrowbit-cli.
printf 'plugins: harrowbit\n' | beets_dir query
in_beets query import -s "$work/lib" >/dev/null 2>&1
in_beets query harrowbit --db "$work/results.db" path:"$work/lib/clean.ogg" >/dev/null
same "a query checks only its files" "$work/lib/clean.ogg" "$(paths query harrowbit_verdict::.)"
"$cli" --db "$work/results.db" --coverage 1 "$work/lib" 2>&1 | grep -q . ||
  { echo "--db did not reach harrowbit-cli"; fail=1; }
[ -s "$work/results.db" ] || { echo "no results database"; fail=1; }

# On import.
printf 'plugins: harrowbit\nharrowbit:\n  check_on_import: yes\n' | beets_dir onimport
in_beets onimport import -s "$work/lib" >/dev/null 2>&1
same "a check on import did not keep the verdicts" "$expected" "$(paths onimport harrowbit_verdict:error)"
exit $fail
