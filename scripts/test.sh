#!/usr/bin/env bash
# Installs what is missing, builds both trees and runs every test: the x86_64 tree under Wine
# here, in a throwaway prefix and HOME (tests/sandbox.sh), then the i686 tree (the shipped
# 32-bit programs) under Wine's WoW64 in an emulated Debian guest (scripts/test-wow64.sh).
# Extra arguments go to both ctest runs (-R name, -V): the two trees have the same entries.
# TAVREL_SKIP_WOW64=1 leaves the guest run out, for a quick run while working; CI runs both.
set -euo pipefail
{ # read whole before it runs: the script may be edited during a long run
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
root=${BUILD_ROOT:-build}
status=0
echo "test: x86_64 tree under Wine"
tests/sandbox.sh "$root/win64/bin" ctest --test-dir "$root/win64" --output-on-failure "$@" || status=1
# The release: reproducible, the tests' own bytes, signed and verified; its signed Installer.exe
# is left for the i686 run's entry release_signed_installer.
echo "test: the release"
tests/release/check-release.sh || status=1
if [ -n "${TAVREL_SKIP_WOW64:-}" ]; then
  echo "test: the i686 tree under WoW64 left out (TAVREL_SKIP_WOW64)"
else
  echo "test: i686 tree under Wine's WoW64, in the guest"
  scripts/test-wow64.sh "$@" || status=1
fi
exit "$status"
}
