#!/usr/bin/env bash
# ctest entry release_signed_installer (tests/release/CMakeLists.txt): the Installer test's
# runs of the real program, on the signed Installer.exe in <bin>/signed/. Inside tests/sandbox.sh
# only, as tests/wine-run.sh.
set -eu
if [ -z "${WINEPREFIX:-}" ] || [ ! -e "$WINEPREFIX/.tavrel-sandbox" ]; then
  echo "run-signed.sh: not inside tests/sandbox.sh; refusing to run" >&2
  exit 2
fi
if [ ! -f "$1/signed/Installer.exe" ]; then
  echo "run-signed.sh: no signed release in $1/signed (tests/release/check-release.sh makes it)"
  exit 77
fi
# A signed program: its certificate table (data directory 4 of the 32-bit PE header) is not empty.
exe="$1/signed/Installer.exe"
pe=$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')
table=$(od -An -tu4 -j$((pe + 156)) -N4 "$exe" | tr -d ' ')
[ "${table:-0}" -gt 0 ] || { echo "run-signed.sh: $exe carries no signature" >&2; exit 1; }
exec "$(dirname "$0")/../wine-run.sh" 'C:\testbin\signed\installer_tests.exe' --gtest_filter='InstallerProgram.*'
