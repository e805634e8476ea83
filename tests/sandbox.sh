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
  # Seconds on an idle machine; minutes are allowed for the emulated guest with its host busy.
  read -r -t 180 -u "$fd" display_no || { echo "sandbox: Xvfb did not start within 180 s" >&2; exit 1; }
  exec {fd}>&-
  export DISPLAY=":$display_no"
fi

# SANDBOX_PREFIX_TEMPLATE=<file.tar>: a fresh prefix is made once and kept in that file, and
# later sandboxes unpack a copy of it instead of making their own (where making one is slow, as
# in the emulated guest of scripts/test-wow64.sh). Wine links the user's folders to HOME, so
# they are pointed at this sandbox's HOME.
template=${SANDBOX_PREFIX_TEMPLATE:-}
if [ -n "$template" ] && [ -f "$template" ]; then
  mkdir "$WINEPREFIX"
  tar -C "$WINEPREFIX" -xf "$template"
  old_home=$(cat "$WINEPREFIX/.tavrel-template-home")
  for link in "$WINEPREFIX"/drive_c/users/*/*; do
    target=$(readlink "$link") || continue
    case "$target" in "$old_home" | "$old_home"/*) ln -sfn "$HOME${target#"$old_home"}" "$link" ;; esac
  done
  rm -f "$WINEPREFIX/.tavrel-template-home"
else
  boot_status=0
  # The loader's own errors stay on, so that a boot it gave up waiting for can be told.
  WINEDEBUG=-all,err+environ wineboot -i >"$root/wineboot.log" 2>&1 || boot_status=$?
  wineserver -w
  if [ "$boot_status" != 0 ] && grep -q "boot event wait timed out" "$root/wineboot.log"; then
    # Wine's loader waits at most 5 minutes for a new prefix's first boot, then gives up on the
    # program that asked for it ("could not load kernel32.dll") while the boot goes on; in the
    # emulated guest with its host busy the boot takes longer. It has finished once
    # wineserver -w returns, and one more start finds the prefix made.
    echo "sandbox: Wine gave up waiting for the prefix's first boot after 5 minutes; starting it once more"
    boot_status=0
    wineboot -i >>"$root/wineboot.log" 2>&1 || boot_status=$?
    wineserver -w
  fi
  if [ "$boot_status" != 0 ]; then
    echo "sandbox: making the prefix failed (wineboot exit status $boot_status); its log ends:" >&2
    tail -n 20 "$root/wineboot.log" >&2
    exit 1
  fi
  if [ -n "$template" ]; then
    echo "$HOME" >"$WINEPREFIX/.tavrel-template-home"
    tar -C "$WINEPREFIX" -cf "$template.part" . && mv "$template.part" "$template"
    rm -f "$WINEPREFIX/.tavrel-template-home"
  fi
fi
rm -f "$WINEPREFIX/dosdevices/z:"
ln -s "$bin_dir" "$WINEPREFIX/drive_c/testbin"
# One wineserver, and with it Wine's own services (services.exe, the device and plug-and-play
# hosts, rpcss, the desktop), for the whole run, as Windows keeps them: a server that is not
# persistent ends them with the last program, and every test program started them anew (about
# 10 s in the emulated guest, a minute with its host busy). It must be the prefix's first
# server: Debian's wineserver wrapper starts every other one with -p0, and a later -p finds
# one running and does nothing.
wineserver -p
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
touch "$WINEPREFIX/.tavrel-sandbox"

"$@"
