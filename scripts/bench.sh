#!/usr/bin/env bash
# Builds the programs and runs the clean-up benchmark (tests/bench/CleanupBench.cpp) in a
# throwaway sandbox prefix, whose Windows folder it fills with a busy PC's driver store and
# spooler driver folder. Prints each figure with its ratio to the bare floor of the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
root=${BUILD_ROOT:-build}
tests/sandbox.sh "$root/win64/bin" tests/wine-run.sh cleanup_bench.exe
