#!/usr/bin/env bash
# The first command of the README: installs what is missing, builds everything, and runs
# Uninstall.exe in a throwaway Wine prefix (HOME isolated too, tests/sandbox.sh) that holds a
# few sample printers and drivers. It saves screenshots into build/demo/: the dialog under its
# start-up warning, the dialog itself (also at 144 DPI), and the stages of one whole removal of
# a sample printer (selected row, progress, success box, rebuilt list).
#
#   scripts/demo.sh                screenshots into build/demo/ only
#   scripts/demo.sh --update-docs  the same, then copied over the README's pictures in docs/
#
# With $DISPLAY set, the program shows on that display and stays open until you close it
# (Cancel or the close box); without one it runs on a private Xvfb and ends by itself.
set -euo pipefail
cd "$(dirname "$0")/.."
root=${BUILD_ROOT:-build}

if [ "${1:-}" != "--in-sandbox" ]; then
  update_docs=0
  case "${1:-}" in
    "") ;;
    --update-docs) update_docs=1 ;;
    *) echo "usage: scripts/demo.sh [--update-docs]" >&2; exit 2 ;;
  esac
  scripts/setup.sh
  scripts/build.sh
  headless=1
  if [ -n "${DISPLAY:-}" ]; then
    export SANDBOX_USE_DISPLAY=1
    headless=0
  fi
  rm -rf "$root/demo"  # no picture of an earlier run is left to pass for a new one
  mkdir -p "$root/demo"
  out=$(cd "$root/demo" && pwd)
  DEMO_OUT=$out DEMO_HEADLESS=$headless tests/sandbox.sh "$root/win64/bin" "$0" --in-sandbox
  if [ "$update_docs" = 1 ]; then
    cp "$out"/uninstall-*.png docs/
    echo "demo: screenshots in $out/, copied into docs/"
  else
    echo "demo: screenshots in $out/ (scripts/demo.sh --update-docs copies them into docs/)"
  fi
  exit 0
fi

# ---- inside the sandbox: WINEPREFIX, HOME and DISPLAY are set ----
helper() {
  wine 'C:\testbin\demo_helper.exe' "$@" 2>/dev/null | tr -d '\r' || { echo "demo: demo_helper $1 failed" >&2; return 1; }
}
desktop=TavrelDemo

# Screenshot of the Wine desktop window, cut to "x y w h" (desktop coordinates) plus a margin;
# without the PNG's time stamps, so that an unchanged picture stays the same file.
shoot() {
  local file=$1 x y w h m=16
  read -r x y w h <<<"$2"
  xwd -display "$DISPLAY" -silent -name "$desktop - Wine desktop" |
    convert xwd:- -crop "$((w + 2 * m))x$((h + 2 * m))+$((x - m))+$((y - m))" +repage -strip "$file"
}

out=$DEMO_OUT
# Debian's fonts-wine lies where this Wine does not look; the prefix's font folder is searched,
# and Marlett draws the title bar buttons.
cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
helper setup

# First the dialog on a screen set to 150 % (144 DPI), as on most laptops: Wine takes the DPI
# of the programs it starts from LogPixels. Then back to 96 DPI for the rest of the demo.
desktop=TavrelDemo144
desktop_key='HKCU\Control Panel\Desktop'
wine reg add "$desktop_key" /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
wine explorer "/desktop=$desktop,1024x768" 'C:\testbin\Uninstall.exe' >/dev/null 2>&1 &
helper wait-warning "$desktop" >/dev/null
area=$(helper dismiss-warning "$desktop")
sleep 2
shoot "$out/uninstall-dialog-144dpi.png" "$area"
helper cancel "$desktop"
wine reg add "$desktop_key" /v LogPixels /t REG_DWORD /d 96 /f >/dev/null 2>&1
desktop=TavrelDemo

# Wine's own desktop window draws the title bars that a bare X server would leave out.
wine explorer "/desktop=$desktop,1024x768" 'C:\testbin\Uninstall.exe' >/dev/null 2>&1 &
area=$(helper wait-warning "$desktop")
sleep 2  # let the box finish painting
shoot "$out/uninstall-warning.png" "$area"
area=$(helper dismiss-warning "$desktop")
sleep 2
shoot "$out/uninstall-dialog.png" "$area"

# One whole removal of a sample printer, with the stand-ins for the calls Wine lacks loaded
# into the program (as the end-to-end tests do), so that it goes as it would on Windows.
helper inject "$desktop"
area=$(helper select "$desktop" "TAVREL TP-2100 PCL6")
sleep 1
shoot "$out/uninstall-selected.png" "$area"
area=$(helper press-uninstall "$desktop")
sleep 5
shoot "$out/uninstall-progress.png" "$area"
area=$(helper wait-success "$desktop")
sleep 2
shoot "$out/uninstall-success.png" "$area"
area=$(helper answer-no "$desktop")
sleep 1
shoot "$out/uninstall-rebuilt.png" "$area"

if [ "${DEMO_HEADLESS:-1}" = 1 ]; then
  helper cancel "$desktop"
else
  echo "demo: Uninstall is open on $DISPLAY; close it to end the demo"
  helper wait-exit "$desktop"
fi
