#!/usr/bin/env bash
# Runs a command while another process keeps every core of the machine busy, as CI's machine
# may be: the test run must hold there too. The busy loops run at normal priority for the
# whole command and are ended by their ids when it ends, however it ends.
#
#   scripts/busy.sh bash .ci/run          (BUSY_CORES=<n>: that many loops instead of one a core)
set -euo pipefail
n=${BUSY_CORES:-$(nproc)}
pids=()
cmd_pid=""
stop() {
  [ -z "$cmd_pid" ] || kill "$cmd_pid" 2>/dev/null || true
  [ ${#pids[@]} -eq 0 ] || kill "${pids[@]}" 2>/dev/null || true
}
trap stop EXIT
trap 'exit 130' INT TERM
for _ in $(seq "$n"); do
  bash -c 'while :; do :; done' &
  pids+=($!)
done
echo "busy: $n busy loops beside the command (ids ${pids[*]})"
start=$SECONDS
status=0
# In the background and waited for, so that a signal to this script ends it and the loops at once.
"$@" &
cmd_pid=$!
wait "$cmd_pid" || status=$?
cmd_pid=""
echo "busy: the command took $((SECONDS - start)) s beside them, exit status $status"
exit "$status"
