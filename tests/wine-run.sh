#!/usr/bin/env bash
# The cross-compiling emulator of the test programs: runs one Windows program under Wine,
# but only inside the throwaway environment of tests/sandbox.sh, never in a real prefix.
set -eu
if [ -z "${WINEPREFIX:-}" ] || [ ! -e "$WINEPREFIX/.tavrel-sandbox" ]; then
  echo "wine-run.sh: not inside tests/sandbox.sh; refusing to run $1" >&2
  exit 2
fi
exe=$(basename "$1"); shift
exec wine "C:\\testbin\\$exe" "$@"
