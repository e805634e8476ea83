#!/usr/bin/env bash
# Installs what is missing, builds both trees and runs every test under Wine, in a
# throwaway prefix and HOME (tests/sandbox.sh). Extra arguments go to ctest (-R name, -V).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
root=${BUILD_ROOT:-build}
tests/sandbox.sh "$root/win64/bin" ctest --test-dir "$root/win64" --output-on-failure "$@"
