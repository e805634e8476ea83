#!/usr/bin/env bash
# The cross-compiling emulator of the test programs: runs one Windows program under Wine,
# but only inside the throwaway environment of tests/sandbox.sh, never in a real prefix.
#   wine-run.sh <host path of a program in the test tree's bin folder | C:\...> [arguments...]
set -eu
if [ -z "${WINEPREFIX:-}" ] || [ ! -e "$WINEPREFIX/.tavrel-sandbox" ]; then
  echo "wine-run.sh: not inside tests/sandbox.sh; refusing to run $1" >&2
  exit 2
fi
case "$1" in
  [Cc]:\\*) program=$1 ;;
  *) program="C:\\testbin\\$(basename "$1")" ;;
esac
shift
# What the program starts may outlive it (Wine starts its desktop process with the starter's
# standard error), and ctest waits for its pipe to close: a process left holding it turned a
# passed entry into a timeout. So the program writes to a file in the sandbox, shown as it grows.
out=$(mktemp "$(dirname "$WINEPREFIX")/wine-run.XXXXXX")
wine "$program" "$@" >"$out" 2>&1 &
pid=$!
tail -s 0.2 -n +1 -f --pid="$pid" "$out" &
tail_pid=$!
status=0
wait "$pid" || status=$?
wait "$tail_pid" || true
rm -f "$out"
exit "$status"
