#!/usr/bin/env bash
# Builds the Windows targets (scripts/build-windows.sh) and runs their tests under Wine,
# in a Wine prefix of its own (build-windows/wineprefix) with a wineserver kept running
# for the whole run, so each test program starts in about a second instead of several;
# then harrowbit-cli.exe against the Linux harrowbit-cli (tests/windows/cli_compare.sh),
# which needs the Linux build in build/ (scripts/setup.sh). Every Wine call has a hard
# timeout: nothing here can hold CI.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
scripts/build-windows.sh -DHARROWBIT_WERROR=ON
# harrowbit-cli.exe is also each helper: every DLL it imports is loaded, and started, at
# every start. Another one (advapi32 for a library's stack canary, which loads user32
# behind it) once cost Wine 50 ms a start.
imports=$(x86_64-w64-mingw32-objdump -p build-windows/cli/harrowbit-cli.exe |
            sed -n 's/^\tDLL Name: //p' | sort | tr '\n' ' ')
if [ "$imports" != "KERNEL32.dll msvcrt.dll " ]; then
  echo "harrowbit-cli.exe imports $imports- not only KERNEL32.dll and msvcrt.dll" >&2
  exit 1
fi

export WINEPREFIX=$PWD/build-windows/wineprefix WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko installer prompts, no desktop integration: nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
if [ ! -e "$WINEPREFIX/system.reg" ]; then
  echo "Making the Wine prefix $WINEPREFIX"
  timeout -k 10 300 wineboot --init >/dev/null 2>&1
  # Wine starts its debugger at an unhandled exception, where Windows, told by the helper's
  # job and error mode, ends the process at once: the hostile cases would wait on it.
  timeout -k 10 60 wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
    /v Debugger /d '' /f >/dev/null 2>&1
fi
# Fails when one already serves this prefix, which serves as well.
timeout -k 5 30 wineserver -p 2>/dev/null || true
trap 'timeout -k 5 30 wineserver -k || true' EXIT
# The first Wine program of a wineserver starts Wine's own services (services.exe,
# winedevice.exe, plugplay.exe, svchost.exe), which inherit its standard output and error
# and, with the server kept running, hold them open after the program ended: ctest, which
# reads a test's output to its end, then waited out its timeout (the test program's
# "hang at exit" of one run in four, which was the run that came first). Started here with
# nothing to inherit, they hold nothing of the tests'.
timeout -k 10 120 wineboot </dev/null >/dev/null 2>&1
ctest --test-dir build-windows --output-on-failure --timeout 600
tests/windows/cli_compare.sh build/cli/harrowbit-cli build-windows/cli/harrowbit-cli.exe \
  build/tests/gen/harrowbit-gen build-windows/cli-compare
