#!/usr/bin/env bash
# Fails, naming the files, when a tracked C++ file is not as clang-format writes it.
# scripts/check-format.sh --fix formats them instead.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
clang-format --dry-run --Werror "${files[@]}"
