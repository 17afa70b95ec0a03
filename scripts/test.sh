#!/usr/bin/env bash
# Builds Harrowbit and runs the whole test suite.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
scripts/setup.sh
ctest --test-dir build --output-on-failure -j "$(nproc)"
