#!/usr/bin/env bash
# Installs what is missing, builds both trees and runs every test under Wine, in a
# throwaway prefix and HOME (tests/sandbox.sh). Extra arguments go to ctest (-R name, -V).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
tests/sandbox.sh build/win64/bin ctest --test-dir build/win64 --output-on-failure "$@"
