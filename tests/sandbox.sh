#!/usr/bin/env bash
# Runs a command inside a throwaway Windows environment: a fresh Wine prefix and HOME under
# one temporary folder, the Chinese (GBK) locale, and an Xvfb display of its own. The
# programs of <bin-dir> are reachable as C:\testbin\. Everything started here is ended on
# the way out, and the folder is removed.
#
#   tests/sandbox.sh <bin-dir> <command> [args...]
#
# The prefix's Z: drive (the host's /) is removed, so that a stray path of a deleting
# program cannot reach the host's files.
set -euo pipefail

bin_dir=$(cd "$1" && pwd); shift

root=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-sandbox.XXXXXX")
export WINEPREFIX="$root/prefix" HOME="$root/home"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8
export XDG_CONFIG_HOME="$HOME/.config" XDG_CACHE_HOME="$HOME/.cache" XDG_DATA_HOME="$HOME/.local/share"
mkdir -p "$HOME"
xvfb_pid=""

cleanup() {
  local rc=$?
  set +e
  WINEPREFIX="$WINEPREFIX" wineserver -k >/dev/null 2>&1
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" >/dev/null 2>&1 && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$root"
  exit $rc
}
trap cleanup EXIT INT TERM

if [ -z "${SANDBOX_USE_DISPLAY:-}" ] || [ -z "${DISPLAY:-}" ]; then
  # Xvfb picks a free display number and writes it to the pipe.
  exec {fd}<> <(:)
  Xvfb -displayfd "$fd" -screen 0 1024x768x24 -nolisten tcp >"$root/xvfb.log" 2>&1 &
  xvfb_pid=$!
  read -r -t 20 -u "$fd" display_no
  exec {fd}>&-
  export DISPLAY=":$display_no"
fi

wineboot -i >"$root/wineboot.log" 2>&1
wineserver -w
rm -f "$WINEPREFIX/dosdevices/z:"
ln -s "$bin_dir" "$WINEPREFIX/drive_c/testbin"
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
touch "$WINEPREFIX/.tavrel-sandbox"
# Keep one wineserver for the whole run: each later program starts in well under a second.
wineserver -p || true  # already running after the steps above: fine

"$@"
