#!/usr/bin/env bash
# Installs what is missing, builds both trees and runs every test: the x86_64 tree under Wine
# here, in a throwaway prefix and HOME (tests/sandbox.sh), and the i686 tree (the shipped
# 32-bit programs) under Wine's WoW64 in an emulated Debian guest (scripts/test-wow64.sh).
# Extra arguments go to both ctest runs (-R name, -V): the two trees have the same entries.
# TAVREL_SKIP_WOW64=1 leaves the guest run out, for a quick run while working; CI runs both.
#
# The guest is the longest part, so it does not wait for the rest: its disk is made beside the
# build, and it runs the i686 tree as soon as that tree and the release check are done, while
# the x86_64 tree is built and tested here. Its output goes to <build root>/wow64.out and is
# shown after the x86_64 run's, then as it comes.
set -euo pipefail
{ # read whole before it runs: the script may be edited during a long run
cd "$(dirname "$0")/.."
root=${BUILD_ROOT:-build}
say() { echo "test: $* ($SECONDS s in)"; }
scripts/setup.sh
guest=${TAVREL_SKIP_WOW64:+skip}
disk_pid="" guest_pid="" tail_pid=""
stop() { for pid in $disk_pid $guest_pid $tail_pid; do kill "$pid" 2>/dev/null || true; done; }
trap stop EXIT
trap 'exit 130' INT TERM
mkdir -p "$root"
[ -n "$guest" ] || { scripts/test-wow64.sh --disk-only >"$root/wow64-disk.out" 2>&1 & disk_pid=$!; }

status=0
# Seconds, and they fail no build: the code's style and static checks, the documents' links.
say "style, static checks and links"
scripts/check-style.sh || status=1
scripts/check-docs.sh || status=1

say "build of the i686 tree"
scripts/build.sh win32
# The release: reproducible, the tests' own bytes, signed and verified; its signed Installer.exe
# is left for the i686 run's entry release_signed_installer.
say "the release"
tests/release/check-release.sh || status=1

if [ -z "$guest" ]; then
  disk_status=0
  wait "$disk_pid" || disk_status=$?
  disk_pid=""
  cat "$root/wow64-disk.out"
  if [ "$disk_status" = 0 ]; then
    say "i686 tree under Wine's WoW64 started in the guest, beside the x86_64 tree"
    scripts/test-wow64.sh "$@" >"$root/wow64.out" 2>&1 &
    guest_pid=$!
  else
    say "the guest's disk could not be made" >&2
    guest=failed
    status=1
  fi
fi

say "build of the x86_64 tree"
scripts/build.sh win64
say "x86_64 tree under Wine"
tests/sandbox.sh "$root/win64/bin" ctest --test-dir "$root/win64" --output-on-failure "$@" || status=1

case "$guest" in
  skip) echo "test: the i686 tree under WoW64 left out (TAVREL_SKIP_WOW64)" ;;
  failed) ;;
  *)
    say "i686 tree under Wine's WoW64, in the guest"
    tail -n +1 -f --pid="$guest_pid" "$root/wow64.out" &
    tail_pid=$!
    wait "$guest_pid" || status=1
    guest_pid=""
    wait "$tail_pid" || true
    ;;
esac
say "done, exit status $status"
exit "$status"
}
