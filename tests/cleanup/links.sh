#!/bin/sh
# Fixture of scanner_tests: Wine 8 cannot make a junction or directory link from a Windows
# program, but lists a Unix link to a folder as a directory reparse point. This places one
# at C:\tavrel-links\tree\link (pointing to C:\tavrel-links\target) before the tests, and
# removes the folder again after them. For the swap tests it also makes the folder
# C:\tavrel-links\outside and places the host's sh at C:\tavrel-links\sh: Wine runs a Unix
# program started from a Windows one, and only a Unix program can put a link in place in the
# middle of a walk (Wine's MoveFileW moves a link's target, not the link). Only ever inside
# the sandbox's throwaway prefix.
#   links.sh setup|cleanup
set -eu
if [ -z "${WINEPREFIX:-}" ] || [ ! -e "$WINEPREFIX/.tavrel-sandbox" ]; then
  echo "links.sh: not inside tests/sandbox.sh" >&2
  exit 2
fi
base="$WINEPREFIX/drive_c/tavrel-links"
case "$1" in
  setup)
    rm -rf "$base"
    mkdir -p "$base/tree" "$base/target" "$base/outside"
    ln -s "$base/target" "$base/tree/link"
    ln -s "$(command -v sh)" "$base/sh"
    ;;
  cleanup)
    rm -rf "$base"
    ;;
esac
