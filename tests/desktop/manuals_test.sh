#!/usr/bin/env bash
# Every option a program's --help names is in its manual page, and the other way round.
set -euo pipefail
program=$1
manual=$2
fail=0
help_options=$("$program" --help | grep -oE -- '(^|[ ,])--?[a-zA-Z0-9][-a-zA-Z]*' | tr -d ' ,' | sort -u)
man_options=$(sed -n '/^\.SH OPTIONS/,/^\.SH [^O]/p' "$manual" | grep -oE '\\fB\\-[^\\]*(\\-[^\\]*)*\\fR' |
              sed -e 's/\\fB//; s/\\fR//; s/\\-/-/g' | sort -u)
for o in $help_options; do
  grep -qxF -- "$o" <<<"$man_options" || { echo "$manual lacks $o"; fail=1; }
done
for o in $man_options; do
  grep -qxF -- "$o" <<<"$help_options" || { echo "--help lacks $o"; fail=1; }
done
exit $fail
