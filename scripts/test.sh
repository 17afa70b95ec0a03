#!/usr/bin/env bash
# Builds Harrowbit and runs the whole test suite. Then, unless --quick: the whole suite
# again under ASan+UBSan (build-asan/), the whole suite under TSan (build-tsan/), and a
# one-minute run of each fuzz target (build-fuzz/, clang). CI runs it all.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
case "${1:-}" in
  --quick) quick=1 ;;
  "") quick=0 ;;
  *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
esac

# Warnings are errors here, where they are cheapest to mend.
scripts/setup.sh -DHARROWBIT_WERROR=ON
scripts/check-format.sh
ctest --test-dir build --output-on-failure -j "$(nproc)" --timeout 600
((quick)) && exit 0

failed=()
timings=("$(printf '%5d s  %s' "$SECONDS" "Build and the whole suite")")
# Runs one stage even when an earlier one failed, so that CI reports every stage. Set -e
# is off inside a function run from an || list, hence the || return after each step.
stage() {
  local name=$1 start=$SECONDS
  shift
  printf '\n== %s\n' "$name"
  "$@" || failed+=("$name")
  timings+=("$(printf '%5d s  %s' $((SECONDS - start)) "$name")")
}

# The decoder helper's verdict on a crash rests on the helper dying by the signal; the
# sanitizers' own handlers would catch it, write a report (slowly) and exit instead.
signals=handle_segv=0:handle_sigbus=0:handle_sigfpe=0
sanitized=(-DHARROWBIT_BUILD_BENCH=OFF)
# A hang under a sanitizer fails its test instead of holding CI.
suite=(--output-on-failure -j "$(nproc)" --timeout 600)

asan() {
  BUILD_DIR=build-asan scripts/setup.sh -DHARROWBIT_SANITIZE=address "${sanitized[@]}" || return
  ASAN_OPTIONS=$signals LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
    UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build-asan "${suite[@]}"
}

# Every test, the engine's and the dialog's included: none is known to misbehave under
# TSan once Qt's own synchronisation is accounted for (tests/tsan.supp).
# The window's scenes under a window manager start it as a child process, and the child
# of a threaded process starts threads of its own before it runs anything else: TSan stops
# such a child unless told that this is expected.
tsan() {
  BUILD_DIR=build-tsan scripts/setup.sh -DHARROWBIT_SANITIZE=thread "${sanitized[@]}" || return
  TSAN_OPTIONS=$signals:die_after_fork=0:suppressions=$PWD/tests/tsan.supp \
    ctest --test-dir build-tsan "${suite[@]}"
}

fuzz() {
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DHARROWBIT_FUZZ=ON \
    -DHARROWBIT_BUILD_TESTS=OFF -DHARROWBIT_BUILD_UI=OFF -DHARROWBIT_BUILD_BENCH=OFF >/dev/null || return
  cmake --build build-fuzz -j "$(nproc)" --target ogg_check_fuzz quick_diff_fuzz collection_fuzz \
    opus_check_fuzz flac_check_fuzz || return
  local status=0
  tests/fuzz/run.sh build-fuzz ogg_check_fuzz 60 || status=1
  tests/fuzz/run.sh build-fuzz quick_diff_fuzz 60 || status=1
  tests/fuzz/run.sh build-fuzz collection_fuzz 60 || status=1
  tests/fuzz/run.sh build-fuzz opus_check_fuzz 60 || status=1
  tests/fuzz/run.sh build-fuzz flac_check_fuzz 60 || status=1
  return "$status"
}

# The Windows programs, cross-built with MinGW-w64: their suites and the CLI against the
# Linux one, under Wine (scripts/test-windows.sh).
stage "Windows: cross-built suites and the CLI under Wine" scripts/test-windows.sh
# The native window and the installer under Wine, Xvfb and a window manager.
stage "Windows: the window and its installer under Wine" scripts/test-windows-ui.sh
stage "ASan+UBSan: the whole suite" asan
stage "TSan: the whole suite" tsan
stage "Fuzzing: one minute per target" fuzz

printf '\n== Stages\n'
printf '%s\n' "${timings[@]}"
if ((${#failed[@]})); then
  printf 'FAILED: %s\n' "${failed[@]}" >&2
  exit 1
fi
